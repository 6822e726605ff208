#include "dialogs/PosterPanel.h"

#include "dialogs/PosterLayout.h"
#include "platform/Shell.h"

#include <QMouseEvent>
#include <QPixmap>

namespace dialogs {

PosterImage::PosterImage(QWidget *parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("imgPoster"));
    setCursor(Qt::PointingHandCursor);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void PosterImage::mouseReleaseEvent(QMouseEvent *e)
{
    QLabel::mouseReleaseEvent(e);
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
        emit clicked();
}

PosterPanel::PosterPanel(QSize size, QWidget *parent) : QFrame(parent), imgPoster(new PosterImage(this))
{
    setObjectName(QStringLiteral("pnlPoster"));
    setFixedSize(size);
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    connect(imgPoster, &PosterImage::clicked, this, [this] { posterClick(imgPoster->hint()); });
}

void PosterPanel::setPicture(const QImage &picture)
{
    picture_ = picture;
    setPosterPicture(*imgPoster, picture_);
}

void PosterPanel::applyLayout(bool stretch) { applyPosterLayout(*this, *imgPoster, stretch); }

void setPosterPicture(QLabel &image, const QImage &picture)
{
    // The image control takes the picture's natural size first.
    image.setScaledContents(false);
    image.setPixmap(QPixmap::fromImage(picture));
    image.setGeometry(QRect(QPoint(0, 0), picture.size()));
}

void applyPosterLayout(QWidget &panel, QLabel &image, bool stretch)
{
    const PosterPlacement p = posterLayout(image.pixmap().size(), panel.size(), stretch);
    image.setScaledContents(p.scaled);
    image.setGeometry(p.rect);
}

void posterClick(const QString &hint)
{
    if (hint.isEmpty())
        return;
    platform::shell().open(hint.toStdString());
}

} // namespace dialogs
