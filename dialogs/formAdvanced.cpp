#include "dialogs/formAdvanced.h"

#include "dialogs/DialogCommon.h"
#include "platform/Dialogs.h"

#include <QGroupBox>
#include <QLabel>

TfrmAdvanced *frmAdvanced = nullptr;

namespace {
TCSpinEdit *portEdit(QWidget *parent, const char *name)
{
    auto *e = new TCSpinEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setRange(0, 65535);
    e->setIncrement(1);
    return e;
}
} // namespace

TfrmAdvanced::TfrmAdvanced(int port, const std::string &proxy, int proxyPort, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAdvanced"));
    setWindowTitle(QStringLiteral("Advanced server configuration"));
    setFixedSize(326, 231);

    auto *grpPort = new QGroupBox(QStringLiteral("Remote host port information"), this);
    grpPort->setGeometry(8, 8, 310, 60);
    auto *lblPort = new QLabel(QStringLiteral("Port number to connect to"), grpPort);
    lblPort->setGeometry(12, 26, 170, 20);
    edtPort = portEdit(grpPort, "edtPort");
    edtPort->setGeometry(200, 24, 96, 24);

    auto *grpProxy = new QGroupBox(QStringLiteral("Proxy server information"), this);
    grpProxy->setGeometry(8, 76, 310, 100);
    auto *lblProxy = new QLabel(QStringLiteral("Name or IP Address"), grpProxy);
    lblProxy->setGeometry(12, 28, 130, 20);
    edtProxy = new QLineEdit(grpProxy);
    edtProxy->setObjectName(QStringLiteral("edtProxy"));
    edtProxy->setGeometry(146, 26, 150, 24);
    auto *lblProxyPort = new QLabel(QStringLiteral("Proxy port number"), grpProxy);
    lblProxyPort->setGeometry(12, 64, 130, 20);
    edtProxyPort = portEdit(grpProxy, "edtProxyPort");
    edtProxyPort->setGeometry(200, 62, 96, 24);

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(156, 192, 75, 27);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(240, 192, 75, 27);

    connect(btnOk, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrOk); });
    connect(btnCancel, &QPushButton::clicked, this, [this] {
        btnCancelClick();
        dialogs::closeWith(*this, platform::mrCancel);
    });

    edtPort->setText(QString::number(port));
    edtProxy->setText(QString::fromStdString(proxy));
    edtProxyPort->setText(QString::number(proxyPort));
}
