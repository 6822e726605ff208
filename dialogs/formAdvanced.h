#pragma once
// Connection settings: FTP or SSH, the port, the proxy and the proxy port of
// the main form, and how the transfer runs: passive mode, TLS, the host
// certificate accepted earlier, how long a reply may take and, over SSH, the
// library that holds the save file. The form only edits; btnAdvancedClick takes
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

    QComboBox *cmbProtocol; // FTP, SSH
    TCSpinEdit *edtPort;
    QLineEdit *edtProxy;
    TCSpinEdit *edtProxyPort;
    QCheckBox *chkPassive;
    QComboBox *cmbSecurity;    // None, explicit TLS, implicit TLS
    QLineEdit *edtFingerprint; // read only
    QPushButton *btnForget;
    TCSpinEdit *edtReplyTimeOut; // seconds, 0 = no limit
    QLineEdit *edtSshLibrary;     // over SSH: where the save file lives
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
    // SSH has a port of its own, and the FTP-only fields do not apply.
    void cmbProtocolChange(int index);
    void btnForgetClick();

private:
    void enableFields();
    int securityIndex_ = 0;
    int protocolIndex_ = 0;
};

extern TfrmAdvanced *frmAdvanced;
