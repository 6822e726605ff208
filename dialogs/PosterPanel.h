#pragma once
// The poster area `pnlPoster` with its image `imgPoster`: used by the
// preview dialog and by the wizard's last page. The poster link is the
// image's hint (its tooltip); a click hands it to the shell.

#include <QFrame>
#include <QImage>
#include <QLabel>

namespace dialogs {

class PosterImage : public QLabel {
    Q_OBJECT
public:
    explicit PosterImage(QWidget *parent);
    QString hint() const { return toolTip(); }
    void setHint(const QString &h) { setToolTip(h); }
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *e) override;
};

class PosterPanel : public QFrame {
    Q_OBJECT
public:
    // `size` is fixed: 576 x 236 on the last page, 575 x 257 in the preview.
    PosterPanel(QSize size, QWidget *parent = nullptr);

    PosterImage *imgPoster;

    void setPicture(const QImage &picture);
    const QImage &picture() const { return picture_; }
    // Applies the poster layout rule to the current picture.
    void applyLayout(bool stretch);

private:
    QImage picture_;
};

// The same for any panel and image label (the wizard's own last page):
// the image takes the picture at its natural size, then the layout rule
// places it in `panel`.
void setPosterPicture(QLabel &image, const QImage &picture);
void applyPosterLayout(QWidget &panel, QLabel &image, bool stretch);

// The click rule of the poster: a non-empty hint goes to the shell as it
// stands; an empty one does nothing.
void posterClick(const QString &hint);

} // namespace dialogs
