#pragma once
// Where the poster image sits in its panel (last page and preview alike).

#include <QRect>
#include <QSize>

namespace dialogs {

struct PosterPlacement {
    QRect rect;          // image control, in panel coordinates
    bool scaled = false; // the picture is drawn stretched to `rect`
};

// A picture that fits is shown at natural size, centred (integer halves).
// One that is wider or taller than the panel is stretched over the whole
// panel when `stretch` is set (proportions are not kept), otherwise shown at
// natural size from the top-left corner and clipped by the panel.
PosterPlacement posterLayout(QSize picture, QSize panel, bool stretch);

} // namespace dialogs
