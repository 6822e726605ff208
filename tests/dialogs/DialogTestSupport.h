#pragma once
// Helpers for driving the dialog forms headless through ScriptedDialogs.

#include "platform/Dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>

#include <functional>
#include <string>

namespace dialogtest {

// The source tree, as compiled into the test binary (tests run from the
// build folder).
inline std::string sourcePath(const std::string &rel) { return std::string(QUELLON_SOURCE_DIR) + "/" + rel; }
inline std::string poster(const std::string &name) { return sourcePath("tests/data/posters/" + name); }

// A modal script: shows the form (so focus and the close box behave as for a
// user), lets `act` work on it, and returns the form's modal result the way
// the Qt service does (a plain reject, e.g. the close box, is Cancel).
template <typename Form> std::function<int(QDialog &)> script(std::function<void(Form &)> act)
{
    return [act](QDialog &d) {
        d.show();
        QApplication::processEvents();
        act(dynamic_cast<Form &>(d));
        const int r = d.result();
        d.hide();
        return r == QDialog::Rejected ? int(platform::mrCancel) : r;
    };
}

inline void type(QLineEdit *e, const QString &text) { e->setText(text); }
inline void type(QLineEdit *e, const std::string &text) { e->setText(QString::fromStdString(text)); }
inline void type(QLineEdit *e, const char *text) { e->setText(QString::fromUtf8(text)); }

// Presses a button the way a user can: only when it is enabled.
inline bool press(QAbstractButton *b)
{
    if (!b->isEnabled())
        return false;
    b->click();
    return true;
}

} // namespace dialogtest
