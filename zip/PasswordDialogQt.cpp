#include "zip/PasswordDialogQt.h"

#include "platform/Dialogs.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TPasswordDlg::TPasswordDlg(QWidget *owner, const std::string &okCaption, const std::string &cancelCaption)
    : QDialog(owner)
{
    setFixedSize(344, 137);
    QFont f("Arial");
    f.setPixelSize(12);
    f.setBold(true);
    setFont(f);
    lblPrompt = new QLabel(this);
    lblPrompt->setGeometry(20, 8, 297, 18);
    edtPassword = new QLineEdit(this);
    edtPassword->setGeometry(20, 40, 297, edtPassword->sizeHint().height());
    edtPassword->setEchoMode(QLineEdit::Password);
    edtPassword->setMaxLength(80);
    btnOk = new QPushButton(QString::fromStdString(okCaption), this);
    btnOk->setGeometry(44, 72, 90, 28);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QString::fromStdString(cancelCaption), this);
    btnCancel->setGeometry(205, 72, 90, 28);
    connect(btnOk, &QPushButton::clicked, this, [this] { PwdOkClick(); });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TPasswordDlg::PwdOkClick()
{
    confirmed = true;
    accept();
}

std::string TPasswordDlg::ShowModalPwdDlg(const std::string &title, const std::string &prompt)
{
    setWindowTitle(QString::fromStdString(title));
    lblPrompt->setText(QString::fromStdString(prompt));
    confirmed = false;
    platform::dialogs().showModal(*this);
    return confirmed ? edtPassword->text().toStdString() : std::string();
}

std::optional<std::string> QtZipPasswordPrompt::ask(const std::string &caption, const std::string &prompt,
                                                    const std::string &okCaption, const std::string &cancelCaption)
{
    TPasswordDlg dlg(nullptr, okCaption, cancelCaption);
    std::string pw = dlg.ShowModalPwdDlg(caption, prompt);
    if (!dlg.confirmed)
        return std::nullopt;
    return pw;
}

void installQtZipPasswordPrompt()
{
    static QtZipPasswordPrompt prompt;
    setZipPasswordPrompt(&prompt);
}
