#include "dialogs/formNewVersion.h"

#include "dialogs/DialogCommon.h"
#include "platform/Dialogs.h"

#include <QLabel>
#include <QStyle>

TfrmNewVersion *frmNewVersion = nullptr;

TfrmNewVersion::TfrmNewVersion(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmNewVersion"));
    setWindowTitle(QStringLiteral("New program version needed"));
    setFixedSize(552, 134);

    PnlNewVersion = dialogs::makeHeaderPanel(
        this, 552, 88, QStringLiteral("New version needed!"),
        {QStringLiteral("The file cannot be opened with your current version of Quellon."),
         QStringLiteral("You must download the latest version before you can continue.")});
    PnlNewVersion->setObjectName(QStringLiteral("PnlNewVersion"));
    // Room for the picture at the left of the texts.
    for (QLabel *l : PnlNewVersion->findChildren<QLabel *>())
        if (l->pixmap().isNull())
            l->move(l->x() + 44, l->y());
    auto *picture = new QLabel(PnlNewVersion);
    picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    picture->setGeometry(12, 12, 32, 32);

    btnDownload = new QPushButton(QStringLiteral("Download"), this);
    btnDownload->setObjectName(QStringLiteral("btnDownload"));
    btnDownload->setGeometry(380, 98, 75, 27);
    btnDownload->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(464, 98, 75, 27);
    setTabOrder(btnDownload, btnCancel);

    connect(btnDownload, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrYes); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrCancel); });
}
