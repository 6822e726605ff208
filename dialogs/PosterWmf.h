#pragma once
// Windows metafiles (.wmf) drawn by libwmf's player straight onto a QPainter:
// a device layer of our own, so colours come out exact (libwmf's SVG layer
// rounds every colour to the nearest named one, its bitmap layer leaves
// ellipses unfilled).

#include <QByteArray>
#include <QImage>

#include <string>

namespace dialogs {

// Renders a WMF (placeable or not) at its size on a 96 dpi screen.
bool renderWmf(QByteArray data, QImage &out, std::string &error);

} // namespace dialogs
