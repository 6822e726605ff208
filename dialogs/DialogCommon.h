#pragma once
// Pieces shared by the dialog forms: the white header panel with the small
// product logo, link labels, and the guard that keeps typed text inside the
// archive info record's fixed fields.

#include <QDialog>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QStringList>

class QWidget;

namespace dialogs {

// The small product logo at the right of every header panel.
QPixmap productLogo(int size = 40);

// A white panel across the top of `parent`: bold title, text lines, logo.
QWidget *makeHeaderPanel(QWidget *parent, int width, int height, const QString &title,
                         const QStringList &lines);

// A label that acts as a web link (hand cursor, link colours); clicking it
// runs the link-label rule.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(const QString &caption, QWidget *parent = nullptr);
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *e) override;
};

// Link-label rule: the hint (tooltip) when there is one, else the caption.
QString linkTarget(const QLabel &label);
// Hands the label's target to the shell; the shell's result is not used.
void urlClick(const QLabel &label);

// Text for a fixed record field of `maxBytes` bytes (terminator not
// counted). Longer text is refused with a message naming the field, so
// nothing typed is ever cut silently; returns false then.
bool fitsField(const QString &text, int maxBytes, const QString &fieldName);

// Message id of the "text too long" refusal.
inline constexpr const char *kTooLongMessageId = "Qln0078";

// Ends a form with a modal result of the program's numbering.
void closeWith(QDialog &form, int modalResult);

} // namespace dialogs
