#include "dialogs/FormPreviewPoster.h"

#include "dialogs/DialogCommon.h"
#include "platform/Dialogs.h"

TfrmPreviewPoster *frmPreviewPoster = nullptr;

TfrmPreviewPoster::TfrmPreviewPoster(const QImage &picture, const QString &hint, bool stretch, QWidget *parent)
    : QDialog(parent), stretch_(stretch)
{
    setObjectName(QStringLiteral("frmPreviewPoster"));
    setWindowTitle(QStringLiteral("Preview poster"));
    setFixedSize(575, 365);

    dialogs::makeHeaderPanel(this, 575, 73, QStringLiteral("Thanks for using Quellon"),
                             {QStringLiteral("The Wizard has now ended the zip operation successfully. Press Close "
                                             "to leave the wizard")});
    pnlPoster = new dialogs::PosterPanel(QSize(575, 257), this);
    pnlPoster->move(0, 75);
    imgPoster = pnlPoster->imgPoster;
    pnlPoster->setPicture(picture);
    imgPoster->setHint(hint);

    btnClose = new QPushButton(QStringLiteral("Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setGeometry(488, 334, 75, 27);
    btnClose->setDefault(true);
    connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });

    FormActivate();
}

void TfrmPreviewPoster::FormActivate() { pnlPoster->applyLayout(stretch_); }

void TfrmPreviewPoster::btnCloseClick() { dialogs::closeWith(*this, platform::mrOk); }
