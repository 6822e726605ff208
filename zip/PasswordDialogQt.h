#pragma once
// The component's password dialog, TPasswordDlg, and the prompt that shows it
// through the platform's modal-form service (so tests can fill and press it).
// Only the wizard links this (library quellon_zip_gui).

#include "zip/ZipBuilder.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class TPasswordDlg : public QDialog {
    Q_OBJECT
public:
    TPasswordDlg(QWidget *owner, const std::string &okCaption, const std::string &cancelCaption);
    // Shows the dialog modally; the typed text when OK was pressed, else "".
    std::string ShowModalPwdDlg(const std::string &title, const std::string &prompt);

    QLabel *lblPrompt;
    QLineEdit *edtPassword;
    QPushButton *btnOk;
    QPushButton *btnCancel;
    bool confirmed = false;

private:
    void PwdOkClick();
};

class QtZipPasswordPrompt final : public ZipPasswordPrompt {
public:
    std::optional<std::string> ask(const std::string &caption, const std::string &prompt,
                                   const std::string &okCaption, const std::string &cancelCaption) override;
};

// Installs the dialog as the component's password prompt (the wizard calls
// this once at start-up).
void installQtZipPasswordPrompt();
