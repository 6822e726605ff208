#include "dialogs/formAdvanced.h"

#include "dialogs/DialogCommon.h"
#include "platform/Dialogs.h"

#include <QGroupBox>
#include <QLabel>

TfrmAdvanced *frmAdvanced = nullptr;

namespace
{
TCSpinEdit *portEdit(QWidget *parent, const char *name)
{
    auto *e = new TCSpinEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setRange(0, 65535);
    e->setIncrement(1);
    return e;
}
} // namespace

TfrmAdvanced::TfrmAdvanced(int port, const std::string &proxy, int proxyPort, const FtpTransport &transport,
                           QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAdvanced"));
    setWindowTitle(QStringLiteral("Advanced server configuration"));
    setFixedSize(326, 477);

    auto *grpPort = new QGroupBox(QStringLiteral("Remote host port information"), this);
    grpPort->setGeometry(8, 8, 310, 94);
    auto *lblProtocol = new QLabel(QStringLiteral("Connect through"), grpPort);
    lblProtocol->setGeometry(12, 26, 130, 20);
    cmbProtocol = new QComboBox(grpPort);
    cmbProtocol->setObjectName(QStringLiteral("cmbProtocol"));
    cmbProtocol->addItems({QStringLiteral("FTP"), QStringLiteral("SSH")});
    cmbProtocol->setGeometry(146, 24, 150, 24);
    cmbProtocol->setToolTip(QStringLiteral(
        "SSH: for hosts whose FTP server is off. The host needs OpenSSH for i running and the user allowed "
        "to sign on; your SSH agent's and ~/.ssh keys are tried before the password."));
    auto *lblPort = new QLabel(QStringLiteral("Port number to connect to"), grpPort);
    lblPort->setGeometry(12, 60, 170, 20);
    edtPort = portEdit(grpPort, "edtPort");
    edtPort->setGeometry(200, 58, 96, 24);

    auto *grpProxy = new QGroupBox(QStringLiteral("Proxy server information"), this);
    grpProxy->setGeometry(8, 110, 310, 100);
    auto *lblProxy = new QLabel(QStringLiteral("Name or IP Address"), grpProxy);
    lblProxy->setGeometry(12, 28, 130, 20);
    edtProxy = new QLineEdit(grpProxy);
    edtProxy->setObjectName(QStringLiteral("edtProxy"));
    edtProxy->setGeometry(146, 26, 150, 24);
    auto *lblProxyPort = new QLabel(QStringLiteral("Proxy port number"), grpProxy);
    lblProxyPort->setGeometry(12, 64, 130, 20);
    edtProxyPort = portEdit(grpProxy, "edtProxyPort");
    edtProxyPort->setGeometry(200, 62, 96, 24);

    auto *grpTransfer = new QGroupBox(QStringLiteral("Transfer and security"), this);
    grpTransfer->setGeometry(8, 218, 310, 212);
    chkPassive = new QCheckBox(QStringLiteral("Passive mode"), grpTransfer);
    chkPassive->setObjectName(QStringLiteral("chkPassive"));
    chkPassive->setGeometry(12, 24, 284, 22);
    chkPassive->setToolTip(
        QStringLiteral("The PC opens the data connections: needed behind most firewalls and NAT"));
    auto *lblSecurity = new QLabel(QStringLiteral("Security"), grpTransfer);
    lblSecurity->setGeometry(12, 56, 130, 20);
    cmbSecurity = new QComboBox(grpTransfer);
    cmbSecurity->setObjectName(QStringLiteral("cmbSecurity"));
    cmbSecurity->addItems(
        {QStringLiteral("None"), QStringLiteral("Explicit TLS"), QStringLiteral("Implicit TLS")});
    cmbSecurity->setGeometry(146, 54, 150, 24);
    // The field spans the group, so its placeholder is read whole; Forget
    // sits beside the label above it.
    auto *lblFingerprint = new QLabel(QStringLiteral("Accepted host certificate (SHA-256)"), grpTransfer);
    lblFingerprint->setGeometry(12, 84, 218, 20);
    edtFingerprint = new QLineEdit(grpTransfer);
    edtFingerprint->setObjectName(QStringLiteral("edtFingerprint"));
    edtFingerprint->setReadOnly(true);
    edtFingerprint->setPlaceholderText(QStringLiteral("none: the system's trust store decides"));
    edtFingerprint->setGeometry(12, 108, 284, 24);
    btnForget = new QPushButton(QStringLiteral("Forget"), grpTransfer);
    btnForget->setObjectName(QStringLiteral("btnForget"));
    btnForget->setGeometry(234, 80, 62, 26);
    btnForget->setToolTip(QStringLiteral("Ask again about the host's certificate on the next connection"));
    auto *lblReplyTimeOut = new QLabel(QStringLiteral("Seconds to wait for a reply"), grpTransfer);
    lblReplyTimeOut->setGeometry(12, 142, 180, 20);
    edtReplyTimeOut = new TCSpinEdit(grpTransfer);
    edtReplyTimeOut->setObjectName(QStringLiteral("edtReplyTimeOut"));
    edtReplyTimeOut->setRange(0, 3600);
    edtReplyTimeOut->setIncrement(10);
    edtReplyTimeOut->setGeometry(200, 140, 96, 24);
    edtReplyTimeOut->setToolTip(QStringLiteral(
        "How long sign-on and each command may take to answer (0: no limit). Host commands such as a "
        "save may take as long as they need."));
    auto *lblSshLibrary = new QLabel(QStringLiteral("Library for the save file (SSH)"), grpTransfer);
    lblSshLibrary->setGeometry(12, 178, 180, 20);
    edtSshLibrary = new QLineEdit(grpTransfer);
    edtSshLibrary->setObjectName(QStringLiteral("edtSshLibrary"));
    edtSshLibrary->setMaxLength(10);
    edtSshLibrary->setGeometry(200, 176, 96, 24);
    edtSshLibrary->setToolTip(QStringLiteral(
        "Each SSH command is a job of its own, so QTEMP cannot hold the save file: it goes into this "
        "library under a unique name and is deleted when the job ends."));

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(156, 440, 75, 27);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(240, 440, 75, 27);

    connect(btnOk, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrOk); });
    connect(btnCancel, &QPushButton::clicked, this, [this] {
        btnCancelClick();
        dialogs::closeWith(*this, platform::mrCancel);
    });

    edtPort->setText(QString::number(port));
    edtProxy->setText(QString::fromStdString(proxy));
    edtProxyPort->setText(QString::number(proxyPort));
    chkPassive->setChecked(transport.passive);
    cmbSecurity->setCurrentIndex(static_cast<int>(transport.security));
    edtFingerprint->setText(QString::fromStdString(transport.tlsFingerprint));
    edtFingerprint->setToolTip(edtFingerprint->text());
    edtFingerprint->setCursorPosition(0);
    btnForget->setEnabled(!transport.tlsFingerprint.empty());
    edtReplyTimeOut->setText(QString::number(transport.replyTimeOut / 1000));
    cmbProtocol->setCurrentIndex(transport.ssh ? 1 : 0);
    edtSshLibrary->setText(QString::fromStdString(transport.sshLibrary));
    // Connected after the values are in, so the stored port is kept as is.
    connect(cmbSecurity, &QComboBox::currentIndexChanged, this, [this](int i) { cmbSecurityChange(i); });
    connect(cmbProtocol, &QComboBox::currentIndexChanged, this, [this](int i) { cmbProtocolChange(i); });
    connect(btnForget, &QPushButton::clicked, this, [this] { btnForgetClick(); });
    securityIndex_ = cmbSecurity->currentIndex();
    protocolIndex_ = cmbProtocol->currentIndex();
    enableFields();
}

void TfrmAdvanced::enableFields()
{
    const bool ftp = cmbProtocol->currentIndex() == 0;
    for (QWidget *w : std::initializer_list<QWidget *>{edtProxy, edtProxyPort, chkPassive, cmbSecurity})
        w->setEnabled(ftp);
    btnForget->setEnabled(ftp && !edtFingerprint->text().isEmpty());
    edtSshLibrary->setEnabled(!ftp);
}

void TfrmAdvanced::cmbProtocolChange(int index)
{
    const bool toSsh = index == 1 && protocolIndex_ != 1;
    const bool fromSsh = index != 1 && protocolIndex_ == 1;
    protocolIndex_ = index;
    // Only a standard port follows; a port the user chose stays.
    const int ftpPort = cmbSecurity->currentIndex() == static_cast<int>(TFtpSecurity::Implicit) ? kImplicitTlsPort : 21;
    if (toSsh && edtPort->value() == ftpPort)
        edtPort->setText(QString::number(kSshPort));
    else if (fromSsh && edtPort->value() == kSshPort)
        edtPort->setText(QString::number(ftpPort));
    enableFields();
}

FtpTransport TfrmAdvanced::transport() const
{
    FtpTransport t;
    t.passive = chkPassive->isChecked();
    t.security = static_cast<TFtpSecurity>(cmbSecurity->currentIndex());
    t.tlsFingerprint = edtFingerprint->text().toStdString();
    t.replyTimeOut = edtReplyTimeOut->value() * 1000;
    t.ssh = cmbProtocol->currentIndex() == 1;
    // The host folds names to upper case; an empty field is the default.
    t.sshLibrary = edtSshLibrary->text().trimmed().toUpper().toStdString();
    if (t.sshLibrary.empty())
        t.sshLibrary = FtpTransport{}.sshLibrary;
    return t;
}

void TfrmAdvanced::cmbSecurityChange(int index)
{
    const int implicitIndex = static_cast<int>(TFtpSecurity::Implicit);
    const bool toImplicit = index == implicitIndex && securityIndex_ != implicitIndex;
    const bool fromImplicit = index != implicitIndex && securityIndex_ == implicitIndex;
    securityIndex_ = index;
    // Only a standard port follows; a port the user chose stays.
    if (toImplicit && edtPort->value() == 21)
        edtPort->setText(QString::number(kImplicitTlsPort));
    else if (fromImplicit && edtPort->value() == kImplicitTlsPort)
        edtPort->setText(QStringLiteral("21"));
}

void TfrmAdvanced::btnForgetClick()
{
    edtFingerprint->clear();
    edtFingerprint->setToolTip(QString());
    btnForget->setEnabled(false);
}
