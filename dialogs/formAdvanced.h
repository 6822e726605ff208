#pragma once
// Connection settings: the FTP port, the proxy and the proxy port of the
// main form, and how the transfer runs: passive mode, TLS, the host
// certificate accepted earlier and how long a reply may take. The form only edits; btnAdvancedClick takes
// the values back.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "net/FtpTransport.h"

#include "widgets/TCSpinEdit.h"

#include <string>

class TfrmAdvanced : public QDialog
{
    Q_OBJECT
public:
    TfrmAdvanced(int port, const std::string &proxy, int proxyPort, const FtpTransport &transport = {},
                 QWidget *parent = nullptr);

    TCSpinEdit *edtPort;
    QLineEdit *edtProxy;
    TCSpinEdit *edtProxyPort;
    QCheckBox *chkPassive;
    QComboBox *cmbSecurity;    // None, explicit TLS, implicit TLS
    QLineEdit *edtFingerprint; // read only
    QPushButton *btnForget;
    TCSpinEdit *edtReplyTimeOut; // seconds, 0 = no limit
    QPushButton *btnOk;
    QPushButton *btnCancel;

    // Values as the main form takes them on OK (spin-edit rules applied,
    // the proxy exactly as typed).
    int port() const { return edtPort->value(); }
    std::string proxy() const { return edtProxy->text().toStdString(); }
    int proxyPort() const { return edtProxyPort->value(); }
    FtpTransport transport() const;

    void btnCancelClick() {}
    // Implicit TLS has a port of its own: the standard ports follow the choice.
    void cmbSecurityChange(int index);
    void btnForgetClick();

private:
    int securityIndex_ = 0;
};

extern TfrmAdvanced *frmAdvanced;
