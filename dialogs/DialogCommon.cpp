#include "dialogs/DialogCommon.h"

#include "platform/Dialogs.h"
#include "platform/Shell.h"

#include <QFont>
#include <QFrame>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace dialogs {

QPixmap productLogo(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(1, 1, size - 2, size - 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 70, 140));
    p.drawRoundedRect(r, size / 6.0, size / 6.0);
    // A zipper down the middle of a "Q".
    QPen pen(Qt::white, size / 9.0);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF ring = r.adjusted(size * 0.18, size * 0.16, -size * 0.18, -size * 0.2);
    p.drawEllipse(ring);
    p.drawLine(QPointF(size * 0.55, size * 0.62), QPointF(size * 0.82, size * 0.88));
    p.setPen(QPen(QColor(255, 200, 0), size / 14.0));
    for (int i = 0; i < 3; ++i) {
        const double y = ring.top() + ring.height() * (0.3 + 0.2 * i);
        p.drawLine(QPointF(size * 0.44, y), QPointF(size * 0.56, y));
    }
    return pm;
}

QWidget *makeHeaderPanel(QWidget *parent, int width, int height, const QString &title, const QStringList &lines)
{
    auto *panel = new QFrame(parent);
    panel->setObjectName(QStringLiteral("pnlHeader"));
    panel->setGeometry(0, 0, width, height);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(pal);

    auto *logo = new QLabel(panel);
    logo->setPixmap(productLogo());
    logo->setGeometry(width - 52, (std::min(height, 73) - 40) / 2, 40, 40);

    auto *lblTitle = new QLabel(title, panel);
    QFont bold = lblTitle->font();
    bold.setBold(true);
    lblTitle->setFont(bold);
    lblTitle->setGeometry(16, 8, width - 80, 18);

    int y = 28;
    for (const QString &line : lines) {
        auto *l = new QLabel(line, panel);
        l->setWordWrap(true);
        const int h = l->heightForWidth(width - 100) > 18 ? 32 : 16;
        l->setGeometry(32, y, width - 100, h);
        y += h + 2;
    }
    auto *rule = new QFrame(parent);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(0, height, width, 2);
    return panel;
}

LinkLabel::LinkLabel(const QString &caption, QWidget *parent) : QLabel(caption, parent)
{
    setCursor(Qt::PointingHandCursor);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    setPalette(pal);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent *e)
{
    QLabel::mouseReleaseEvent(e);
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
        emit clicked();
}

QString linkTarget(const QLabel &label)
{
    return label.toolTip().isEmpty() ? label.text() : label.toolTip();
}

void urlClick(const QLabel &label) { platform::shell().open(linkTarget(label).toStdString()); }

bool fitsField(const QString &text, int maxBytes, const QString &fieldName)
{
    const qsizetype bytes = text.toUtf8().size();
    if (bytes <= maxBytes)
        return true;
    // The record holds bytes: a letter outside plain ASCII takes two or more,
    // so a count of characters would not add up for the operator.
    const qsizetype characters = text.toUcs4().size();
    QString msg = characters == bytes
                      ? QStringLiteral("The %1 is too long to be stored in the file: %2 characters are given, "
                                       "at most %3 fit. Please shorten it.")
                            .arg(fieldName)
                            .arg(bytes)
                            .arg(maxBytes)
                      : QStringLiteral("The %1 is too long to be stored in the file: its %2 characters take %3 "
                                       "bytes, at most %4 bytes fit (letters outside A to Z take more than one). "
                                       "Please shorten it.")
                            .arg(fieldName)
                            .arg(characters)
                            .arg(bytes)
                            .arg(maxBytes);
    platform::dialogs().messageBox(msg.toStdString(), platform::messageIdCaption(kTooLongMessageId),
                                   platform::Buttons::Ok, platform::Icon::Error);
    return false;
}

void closeWith(QDialog &form, int modalResult) { form.done(modalResult); }

} // namespace dialogs
