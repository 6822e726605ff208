#pragma once
// Poster pictures, loaded by file extension as the program always has:
// .bmp and .ico through Qt, .jpg/.jpeg through libjpeg's decompressor,
// .wmf played by libwmf onto a QPainter, .emf through libemf2svg and QtSvg.

#include <QImage>

#include <string>

namespace dialogs {

// Loads `path` into `out`. On failure returns false, leaves `out` null and
// says why in `error` (missing file, unknown extension, damaged picture).
bool loadPosterPicture(const std::string &path, QImage &out, std::string &error);

// Pictures larger than this many pixels are refused rather than decoded: a
// damaged or hostile header must not make the wizard allocate gigabytes.
constexpr qint64 kMaxPosterPixels = 64LL * 1024 * 1024;
// False (with the reason) for sizes that are empty or beyond the limits above.
bool posterSizeAcceptable(qint64 w, qint64 h, std::string &error);

// Largest picture file read at all.
constexpr qint64 kMaxPosterFileSize = 256LL * 1024 * 1024;

} // namespace dialogs
