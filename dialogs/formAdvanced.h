#pragma once
// Connection settings: the FTP port, the proxy and the proxy port of the
// main form. The form only edits; btnAdvancedClick takes the values back.

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "widgets/TCSpinEdit.h"

#include <string>

class TfrmAdvanced : public QDialog {
    Q_OBJECT
public:
    TfrmAdvanced(int port, const std::string &proxy, int proxyPort, QWidget *parent = nullptr);

    TCSpinEdit *edtPort;
    QLineEdit *edtProxy;
    TCSpinEdit *edtProxyPort;
    QPushButton *btnOk;
    QPushButton *btnCancel;

    // Values as the main form takes them on OK (spin-edit rules applied,
    // the proxy exactly as typed).
    int port() const { return edtPort->value(); }
    std::string proxy() const { return edtProxy->text().toStdString(); }
    int proxyPort() const { return edtProxyPort->value(); }

    void btnCancelClick() {}
};

extern TfrmAdvanced *frmAdvanced;
