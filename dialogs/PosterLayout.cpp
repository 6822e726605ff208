#include "dialogs/PosterLayout.h"

namespace dialogs {

PosterPlacement posterLayout(QSize picture, QSize panel, bool stretch)
{
    if (panel.width() < picture.width() || panel.height() < picture.height()) {
        if (stretch)
            return {QRect(QPoint(0, 0), panel), true};
        return {QRect(QPoint(0, 0), picture), false};
    }
    const int left = (panel.width() - picture.width()) / 2;
    const int top = (panel.height() - picture.height()) / 2;
    return {QRect(QPoint(left, top), picture), false};
}

} // namespace dialogs
