#pragma once
// The OS/400 command run on the target host after a restore.

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <string>

class TfrmSaveAdvanced : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSaveAdvanced(const std::string &command, QWidget *parent = nullptr);

    QLabel *lblTgtCmd;
    QLineEdit *edtTgtCmd;
    QPushButton *btnOk;
    QPushButton *btnCancel;

    // The command stored by OK (the record's value until then).
    const std::string &command() const { return command_; }

    void FormActivate();
    void edtTgtCmdChange();
    void btnOkClick();

private:
    std::string command_;
};

extern TfrmSaveAdvanced *frmSaveAdvanced;
