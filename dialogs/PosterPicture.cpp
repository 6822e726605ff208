#include "dialogs/PosterPicture.h"

#include "dialogs/PosterWmf.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QSvgRenderer>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

extern "C" {
#include <emf2svg.h>
}

namespace dialogs {
namespace {

// Screen resolution the metafile sizes are given for, as on the PCs that make
// the posters.
constexpr double kScreenDpi = 96.0;

bool readWhole(const std::string &path, QByteArray &data, std::string &error)
{
    QFile f(QString::fromStdString(path));
    if (!f.exists()) {
        error = "file not found";
        return false;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        error = "cannot open the file: " + f.errorString().toStdString();
        return false;
    }
    if (f.size() > kMaxPosterFileSize) {
        error = "the file is too large for a poster";
        return false;
    }
    data = f.readAll();
    if (data.isEmpty()) {
        error = "the file is empty";
        return false;
    }
    return true;
}

} // namespace

bool posterSizeAcceptable(qint64 w, qint64 h, std::string &error)
{
    if (w <= 0 || h <= 0) {
        error = "the picture has no size";
        return false;
    }
    if (w > 65535 || h > 65535 || w * h > kMaxPosterPixels) {
        error = "the picture is too large (" + std::to_string(w) + " x " + std::to_string(h) + " pixels)";
        return false;
    }
    return true;
}

namespace {

bool sizeAcceptable(qint64 w, qint64 h, std::string &error) { return posterSizeAcceptable(w, h, error); }

// ---- JPEG (libjpeg) ------------------------------------------------------

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<JpegError *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void jpegOutputMessage(j_common_ptr) {} // warnings stay quiet; corrupt data still decodes as far as it goes

// Only plain C objects live in this frame: longjmp skips destructors.
bool decodeJpeg(const unsigned char *bytes, unsigned long size, QImage *out, char *errorText, size_t errorSize)
{
    jpeg_decompress_struct cinfo;
    JpegError jerr;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&jerr.mgr);
    jerr.mgr.error_exit = jpegErrorExit;
    jerr.mgr.output_message = jpegOutputMessage;
    jerr.message[0] = '\0';
    if (setjmp(jerr.jump)) {
        std::snprintf(errorText, errorSize, "damaged JPEG picture: %s", jerr.message);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes, size);
    jpeg_read_header(&cinfo, TRUE);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    const qint64 w = cinfo.image_width, h = cinfo.image_height;
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535 || w * h > kMaxPosterPixels) {
        std::snprintf(errorText, errorSize, "the picture is too large (%lld x %lld pixels)",
                      static_cast<long long>(w), static_cast<long long>(h));
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    // Allocated before any further libjpeg call that could jump: the QImage
    // lives in the caller's frame.
    *out = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), QImage::Format_RGB32);
    if (out->isNull()) {
        std::snprintf(errorText, errorSize, "not enough memory for the picture");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    const int comps = cinfo.output_components;
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                cinfo.output_width * static_cast<JDIMENSION>(comps), 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, row, 1);
        auto *dst = reinterpret_cast<QRgb *>(out->scanLine(y));
        const JSAMPLE *src = row[0];
        for (JDIMENSION x = 0; x < cinfo.output_width; ++x, src += comps) {
            if (cmyk) {
                // Adobe writes CMYK inverted; k scales the others.
                const int k = src[3];
                dst[x] = qRgb(src[0] * k / 255, src[1] * k / 255, src[2] * k / 255);
            } else {
                dst[x] = qRgb(src[0], src[1], src[2]);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

bool loadJpeg(const QByteArray &data, QImage &out, std::string &error)
{
    char text[JMSG_LENGTH_MAX + 64] = {};
    QImage img;
    if (!decodeJpeg(reinterpret_cast<const unsigned char *>(data.constData()),
                    static_cast<unsigned long>(data.size()), &img, text, sizeof text)) {
        error = text;
        return false;
    }
    out = img;
    return true;
}

// ---- metafiles, drawn through SVG -----------------------------------------

bool renderSvg(const QByteArray &svg, QSize size, QImage &out, std::string &error)
{
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) {
        error = "the drawing could not be read";
        return false;
    }
    if (!size.isValid())
        size = renderer.defaultSize();
    if (!sizeAcceptable(size.width(), size.height(), error))
        return false;
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) {
        error = "not enough memory for the picture";
        return false;
    }
    img.fill(Qt::transparent);
    QPainter p(&img);
    renderer.render(&p, QRectF(QPointF(0, 0), QSizeF(size)));
    p.end();
    out = img;
    return true;
}

quint32 le32(const QByteArray &d, qsizetype at)
{
    const auto *p = reinterpret_cast<const unsigned char *>(d.constData()) + at;
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

bool loadEmf(QByteArray data, QImage &out, std::string &error)
{
    // EMR_HEADER: type 1, then rclBounds (device pixels) and rclFrame
    // (0.01 mm); the frame gives the picture's size on the saving PC.
    if (data.size() < 88 || le32(data, 0) != 1 || le32(data, 40) != 0x464D4520) {
        error = "damaged enhanced metafile";
        return false;
    }
    const qint64 fl = qint32(le32(data, 24)), ft = qint32(le32(data, 28));
    const qint64 fr = qint32(le32(data, 32)), fb = qint32(le32(data, 36));
    qint64 w = qRound64((fr - fl) * kScreenDpi / 2540.0);
    qint64 h = qRound64((fb - ft) * kScreenDpi / 2540.0);
    if (w <= 0 || h <= 0) {
        // Some writers leave the frame empty; the bounds are in pixels.
        w = qint64(qint32(le32(data, 16))) - qint32(le32(data, 8)) + 1;
        h = qint64(qint32(le32(data, 20))) - qint32(le32(data, 12)) + 1;
    }
    if (!sizeAcceptable(w, h, error))
        return false;
    generatorOptions options;
    std::memset(&options, 0, sizeof options);
    options.nameSpace = const_cast<char *>("svg");
    options.svgDelimiter = true;
    options.emfplus = true;
    options.imgWidth = static_cast<double>(w);
    options.imgHeight = static_cast<double>(h);
    char *svg = nullptr;
    size_t svgLen = 0;
    const int ok = emf2svg(data.data(), static_cast<size_t>(data.size()), &svg, &svgLen, &options);
    QByteArray svgText = svg ? QByteArray(svg, static_cast<qsizetype>(svgLen)) : QByteArray();
    std::free(svg);
    if (!ok || svgText.isEmpty()) {
        error = "damaged enhanced metafile";
        return false;
    }
    return renderSvg(svgText, QSize(static_cast<int>(w), static_cast<int>(h)), out, error);
}

bool loadQt(const QByteArray &data, const char *format, QImage &out, std::string &error)
{
    QImage img;
    if (!img.loadFromData(data, format)) {
        error = std::string("damaged ") + (std::strcmp(format, "ICO") == 0 ? "icon" : "bitmap");
        return false;
    }
    if (!sizeAcceptable(img.width(), img.height(), error))
        return false;
    out = img;
    return true;
}

} // namespace

bool loadPosterPicture(const std::string &path, QImage &out, std::string &error)
{
    out = QImage();
    error.clear();
    const QString ext = QFileInfo(QString::fromStdString(path)).suffix().toLower();
    const bool known = ext == "bmp" || ext == "ico" || ext == "jpg" || ext == "jpeg" || ext == "wmf" || ext == "emf";
    if (!known) {
        error = ext.isEmpty() ? "the file name has no picture extension"
                              : "pictures of type ." + ext.toStdString() + " cannot be shown";
        return false;
    }
    QByteArray data;
    if (!readWhole(path, data, error))
        return false;
    if (ext == "bmp")
        return loadQt(data, "BMP", out, error);
    if (ext == "ico")
        return loadQt(data, "ICO", out, error);
    if (ext == "jpg" || ext == "jpeg")
        return loadJpeg(data, out, error);
    if (ext == "wmf")
        return renderWmf(data, out, error);
    return loadEmf(data, out, error);
}

} // namespace dialogs
