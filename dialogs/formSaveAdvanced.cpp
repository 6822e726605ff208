#include "dialogs/formSaveAdvanced.h"

#include "dialogs/DialogCommon.h"
#include "platform/Dialogs.h"

TfrmSaveAdvanced *frmSaveAdvanced = nullptr;

// Room of the record's target command field, terminator excluded.
static constexpr int kCommandBytes = 255;

TfrmSaveAdvanced::TfrmSaveAdvanced(const std::string &command, QWidget *parent)
    : QDialog(parent), command_(command)
{
    setObjectName(QStringLiteral("frmSaveAdvanced"));
    setWindowTitle(QStringLiteral("OS/400 Command"));
    setFixedSize(575, 262);

    dialogs::makeHeaderPanel(this, 575, 96, QStringLiteral("OS/400 Command"),
                             {QStringLiteral("You can prepare an OS/400 command that will execute automatically after "
                                             "the restore process has completed successfully. "),
                              QStringLiteral("E.g. enter CALL MYLIB/MYPROG to start program \"MYLIB/MYPROG\".")});

    lblTgtCmd = new QLabel(QStringLiteral("Type OS/400 command:"), this);
    lblTgtCmd->setObjectName(QStringLiteral("lblTgtCmd"));
    lblTgtCmd->setGeometry(24, 120, 300, 18);
    edtTgtCmd = new QLineEdit(this);
    edtTgtCmd->setObjectName(QStringLiteral("edtTgtCmd"));
    edtTgtCmd->setGeometry(24, 142, 529, 24);
    edtTgtCmd->setToolTip(QStringLiteral("Enter the OS/400 command to be executed (e.g. CALL MYPROG)"));
    lblTgtCmd->setBuddy(edtTgtCmd);

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(396, 222, 75, 27);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(480, 222, 75, 27);

    connect(edtTgtCmd, &QLineEdit::textChanged, this, [this] { edtTgtCmdChange(); });
    connect(btnOk, &QPushButton::clicked, this, [this] { platform::guarded([this] { btnOkClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrCancel); });

    FormActivate();
}

void TfrmSaveAdvanced::FormActivate()
{
    edtTgtCmd->setText(QString::fromStdString(command_));
    edtTgtCmdChange();
}

void TfrmSaveAdvanced::edtTgtCmdChange() { btnOk->setEnabled(!edtTgtCmd->text().isEmpty()); }

void TfrmSaveAdvanced::btnOkClick()
{
    // Stored exactly as typed: case and blanks are the user's business.
    if (!dialogs::fitsField(edtTgtCmd->text(), kCommandBytes, QStringLiteral("OS/400 command")))
        return;
    command_ = edtTgtCmd->text().toStdString();
    dialogs::closeWith(*this, platform::mrOk);
}
