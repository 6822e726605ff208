#pragma once
// Preview of a poster as the recipient will see it on the last page.

#include <QDialog>
#include <QImage>
#include <QPushButton>

#include "dialogs/PosterPanel.h"

class TfrmPreviewPoster : public QDialog {
    Q_OBJECT
public:
    // `stretch` is the set-up dialog's check box, not the record's flag.
    TfrmPreviewPoster(const QImage &picture, const QString &hint, bool stretch, QWidget *parent = nullptr);

    dialogs::PosterPanel *pnlPoster;
    dialogs::PosterImage *imgPoster;
    QPushButton *btnClose;

    void FormActivate();
    void btnCloseClick();

private:
    bool stretch_;
};

extern TfrmPreviewPoster *frmPreviewPoster;
