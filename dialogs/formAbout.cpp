#include "dialogs/formAbout.h"

#include "dialogs/ProductInfo.h"
#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"

#include <QFrame>

TfrmAbout *frmAbout = nullptr;

TfrmAbout::TfrmAbout(QWidget *parent) : QDialog(parent)
{
    using namespace dialogs;
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Quellon for iSeries and AS/400"));
    setFixedSize(425, 308);

    makeHeaderPanel(this, 425, 73, QStringLiteral("Quellon"),
                    {QStringLiteral("The zip utility for IBMi, iSeries and AS/400")});

    auto *contact = new QFrame(this);
    contact->setObjectName(QStringLiteral("pnlContact"));
    contact->setFrameShape(QFrame::Panel);
    contact->setFrameShadow(QFrame::Sunken);
    contact->setGeometry(12, 88, 260, 168);
    int y = 10;
    for (const char *line : {kMakerName, kMakerStreet, kMakerTown, kMakerCountry, kMakerPhone}) {
        auto *l = new QLabel(QLatin1String(line), contact);
        l->setGeometry(12, y, 236, 20);
        y += 24;
    }
    Label8 = new LinkLabel(QLatin1String(kProductWebPage), contact);
    Label8->setObjectName(QStringLiteral("Label8"));
    Label8->setGeometry(12, y + 8, 236, 20);

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(300, 88, 112, 27);
    btnOk->setDefault(true);
    btnAcknowledgments = new QPushButton(QStringLiteral("Acknowledgments"), this);
    btnAcknowledgments->setObjectName(QStringLiteral("btnAcknowledgments"));
    btnAcknowledgments->setGeometry(300, 124, 112, 27);

    pnlVersion = new QLabel(this);
    pnlVersion->setObjectName(QStringLiteral("pnlVersion"));
    pnlVersion->setFrameShape(QFrame::Panel);
    pnlVersion->setFrameShadow(QFrame::Sunken);
    pnlVersion->setAlignment(Qt::AlignCenter);
    pnlVersion->setGeometry(300, 226, 112, 30);

    lblCopyRights = new LinkLabel(QLatin1String(kCopyRight), this);
    lblCopyRights->setObjectName(QStringLiteral("lblCopyRights"));
    lblCopyRights->setToolTip(QLatin1String(kMakerWebPage));
    lblCopyRights->setAlignment(Qt::AlignCenter);
    lblCopyRights->setGeometry(0, 278, 425, 22);

    connect(btnOk, &QPushButton::clicked, this, [this] { closeWith(*this, platform::mrOk); });
    connect(btnAcknowledgments, &QPushButton::clicked, this,
            [this] { platform::guarded([this] { btnAcknowledgmentsClick(); }); });
    connect(Label8, &LinkLabel::clicked, this, [this] { URLClik(*Label8); });
    connect(lblCopyRights, &LinkLabel::clicked, this, [this] { URLClik(*lblCopyRights); });

    FormActivate();
}

void TfrmAbout::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    FormActivate();
}

void TfrmAbout::FormActivate()
{
    pnlVersion->setText(QStringLiteral("Version %1.%2.%3")
                            .arg(dialogs::kVersionMajor)
                            .arg(dialogs::kVersionMinor)
                            .arg(dialogs::kVersionRelease));
}

void TfrmAbout::URLClik(const QLabel &label) { dialogs::urlClick(label); }

void TfrmAbout::btnAcknowledgmentsClick()
{
    // programDir() ends with the separator already.
    const std::string path = platform::programDir() + dialogs::kAcknowledgmentsFile;
    if (platform::shell().open(path) <= 32)
        platform::dialogs().messageBox("Error in file '" + path + "'", "", platform::Buttons::OkCancel,
                                       platform::Icon::None);
}
