#include "dialogs/PosterWmf.h"

#include "dialogs/PosterPicture.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <unistd.h>

extern "C" {
#include <libwmf/api.h>
#include <libwmf/defs.h>
#include <libwmf/ipa.h>
#include <libwmf/macro.h>
}

namespace dialogs {

namespace {

// Device data, allocated by libwmf (wmf_malloc) and freed with the API.
struct Device {
    QPainter *painter;
    float x0, y0; // metafile point shown at the top-left pixel
    double sx, sy; // pixels per metafile unit
};

Device *dev(wmfAPI *api) { return static_cast<Device *>(api->device_data); }

QPointF map(wmfAPI *api, const wmfD_Coord &c)
{
    const Device *d = dev(api);
    return {(c.x - d->x0) * d->sx, (c.y - d->y0) * d->sy};
}

QColor color(const wmfRGB *c) { return QColor(c->r, c->g, c->b); }

QPen penOf(wmfAPI *api, wmfDC *dc)
{
    wmfPen *p = WMF_DC_PEN(dc);
    if (!p || WMF_PEN_STYLE(p) == PS_NULL)
        return Qt::NoPen;
    QPen pen(color(WMF_PEN_COLOR(p)));
    const double w = WMF_PEN_WIDTH(p) * dev(api)->sx;
    pen.setWidthF(w < 1.0 ? 1.0 : w);
    switch (WMF_PEN_STYLE(p)) {
    case PS_DASH: pen.setStyle(Qt::DashLine); break;
    case PS_DOT:
    case PS_ALTERNATE: pen.setStyle(Qt::DotLine); break;
    case PS_DASHDOT: pen.setStyle(Qt::DashDotLine); break;
    case PS_DASHDOTDOT: pen.setStyle(Qt::DashDotDotLine); break;
    default: break;
    }
    switch (WMF_PEN_ENDCAP(p)) {
    case PS_ENDCAP_SQUARE: pen.setCapStyle(Qt::SquareCap); break;
    case PS_ENDCAP_FLAT: pen.setCapStyle(Qt::FlatCap); break;
    default: pen.setCapStyle(Qt::RoundCap); break;
    }
    switch (WMF_PEN_JOIN(p)) {
    case PS_JOIN_BEVEL: pen.setJoinStyle(Qt::BevelJoin); break;
    case PS_JOIN_MITER: pen.setJoinStyle(Qt::MiterJoin); break;
    default: pen.setJoinStyle(Qt::RoundJoin); break;
    }
    return pen;
}

QBrush brushOf(wmfDC *dc)
{
    wmfBrush *b = WMF_DC_BRUSH(dc);
    if (!b || WMF_BRUSH_STYLE(b) == BS_NULL)
        return Qt::NoBrush;
    const QColor c = color(WMF_BRUSH_COLOR(b));
    if (WMF_BRUSH_STYLE(b) == BS_HATCHED) {
        switch (WMF_BRUSH_HATCH(b)) {
        case HS_HORIZONTAL: return QBrush(c, Qt::HorPattern);
        case HS_VERTICAL: return QBrush(c, Qt::VerPattern);
        case HS_FDIAGONAL: return QBrush(c, Qt::FDiagPattern);
        case HS_BDIAGONAL: return QBrush(c, Qt::BDiagPattern);
        case HS_CROSS: return QBrush(c, Qt::CrossPattern);
        case HS_DIAGCROSS: return QBrush(c, Qt::DiagCrossPattern);
        default: break;
        }
    }
    // Pattern brushes are drawn in their colour: a poster's fills are solid
    // in practice, and a plain fill beats an empty one.
    return QBrush(c);
}

void useDc(wmfAPI *api, wmfDC *dc, bool fill)
{
    QPainter *p = dev(api)->painter;
    p->setPen(penOf(api, dc));
    p->setBrush(fill ? brushOf(dc) : QBrush(Qt::NoBrush));
}

QRectF rectOf(wmfAPI *api, const wmfD_Coord &tl, const wmfD_Coord &br)
{
    return QRectF(map(api, tl), map(api, br)).normalized();
}

// Arc end points come relative to the ellipse's centre; Windows runs
// counter-clockwise on screen from start to end, as Qt's angles do.
void arcAngles(const wmfDrawArc_t *a, int &start16, int &span16)
{
    const double s = std::atan2(-a->start.y, a->start.x) * 180.0 / M_PI;
    const double e = std::atan2(-a->end.y, a->end.x) * 180.0 / M_PI;
    double span = e - s;
    while (span <= 0)
        span += 360.0;
    start16 = qRound(s * 16);
    span16 = qRound(span * 16);
}

void noop(wmfAPI *) {}
void noFlood(wmfAPI *, wmfFlood_t *) {}
void noUdata(wmfAPI *, wmfUserData_t *) {}

void drawPixel(wmfAPI *api, wmfDrawPixel_t *d)
{
    const QPointF p = map(api, d->pt);
    dev(api)->painter->fillRect(QRectF(p, QSizeF(std::max(1.0, d->pixel_width * dev(api)->sx),
                                                 std::max(1.0, d->pixel_height * dev(api)->sy))),
                                color(&d->color));
}

void drawEllipse(wmfAPI *api, wmfDrawArc_t *a)
{
    useDc(api, a->dc, true);
    dev(api)->painter->drawEllipse(rectOf(api, a->TL, a->BR));
}

void drawArc(wmfAPI *api, wmfDrawArc_t *a)
{
    int start, span;
    arcAngles(a, start, span);
    useDc(api, a->dc, false);
    dev(api)->painter->drawArc(rectOf(api, a->TL, a->BR), start, span);
}

void drawPie(wmfAPI *api, wmfDrawArc_t *a)
{
    int start, span;
    arcAngles(a, start, span);
    useDc(api, a->dc, true);
    dev(api)->painter->drawPie(rectOf(api, a->TL, a->BR), start, span);
}

void drawChord(wmfAPI *api, wmfDrawArc_t *a)
{
    int start, span;
    arcAngles(a, start, span);
    useDc(api, a->dc, true);
    dev(api)->painter->drawChord(rectOf(api, a->TL, a->BR), start, span);
}

void drawLine(wmfAPI *api, wmfDrawLine_t *l)
{
    useDc(api, l->dc, false);
    dev(api)->painter->drawLine(map(api, l->from), map(api, l->to));
}

QPolygonF polygonOf(wmfAPI *api, const wmfD_Coord *pts, unsigned count)
{
    QPolygonF poly;
    poly.reserve(count);
    for (unsigned i = 0; i < count; ++i)
        poly << map(api, pts[i]);
    return poly;
}

void polyLine(wmfAPI *api, wmfPolyLine_t *l)
{
    useDc(api, l->dc, false);
    dev(api)->painter->drawPolyline(polygonOf(api, l->pt, l->count));
}

Qt::FillRule fillRule(wmfDC *dc) { return WMF_DC_POLYFILL(dc) == WINDING ? Qt::WindingFill : Qt::OddEvenFill; }

void drawPolygon(wmfAPI *api, wmfPolyLine_t *l)
{
    useDc(api, l->dc, true);
    dev(api)->painter->drawPolygon(polygonOf(api, l->pt, l->count), fillRule(l->dc));
}

void drawPolyPolygon(wmfAPI *api, wmfPolyPoly_t *pp)
{
    QPainterPath path;
    path.setFillRule(fillRule(pp->dc));
    for (unsigned i = 0; i < pp->npoly; ++i) {
        QPolygonF poly = polygonOf(api, pp->pt[i], pp->count[i]);
        if (!poly.isEmpty()) {
            poly << poly.first();
            path.addPolygon(poly);
        }
    }
    useDc(api, pp->dc, true);
    dev(api)->painter->drawPath(path);
}

void drawRectangle(wmfAPI *api, wmfDrawRectangle_t *r)
{
    useDc(api, r->dc, true);
    const QRectF rect = rectOf(api, r->TL, r->BR);
    if (r->width > 0 || r->height > 0)
        dev(api)->painter->drawRoundedRect(rect, r->width * dev(api)->sx / 2, r->height * dev(api)->sy / 2);
    else
        dev(api)->painter->drawRect(rect);
}

void ropDraw(wmfAPI *api, wmfROP_Draw_t *r)
{
    const QRectF rect = rectOf(api, r->TL, r->BR);
    switch (r->ROP) {
    case 0x00000042: dev(api)->painter->fillRect(rect, Qt::black); break; // BLACKNESS
    case 0x00FF0062: dev(api)->painter->fillRect(rect, Qt::white); break; // WHITENESS
    case 0x00AA0029: break;                                               // destination unchanged
    default: dev(api)->painter->fillRect(rect, brushOf(r->dc)); break;  // PATCOPY and the rest
    }
}

void bmpRead(wmfAPI *api, wmfBMP_Read_t *r) { wmf_ipa_bmp_read(api, r); }
void bmpFree(wmfAPI *api, wmfBMP *b) { wmf_ipa_bmp_free(api, b); }

void bmpDraw(wmfAPI *api, wmfBMP_Draw_t *b)
{
    if (!b->bmp.data || b->crop.w == 0 || b->crop.h == 0)
        return;
    QImage img(b->crop.w, b->crop.h, QImage::Format_ARGB32);
    if (img.isNull())
        return;
    // libwmf counts bitmap rows from the bottom, as DIBs store them.
    for (unsigned y = 0; y < b->crop.h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(int(b->crop.h - 1 - y)));
        for (unsigned x = 0; x < b->crop.w; ++x) {
            wmfRGB rgb{0, 0, 0};
            const int opacity = wmf_ipa_bmp_color(api, &b->bmp, &rgb, b->crop.x + x, b->crop.y + y);
            line[x] = opacity < 0 ? qRgba(0, 0, 0, 0) : qRgba(rgb.r, rgb.g, rgb.b, std::clamp(opacity, 0, 255));
        }
    }
    const QPointF tl = map(api, b->pt);
    const QSizeF size(b->crop.w * b->pixel_width * dev(api)->sx, b->crop.h * b->pixel_height * dev(api)->sy);
    dev(api)->painter->drawImage(QRectF(tl, size), img);
}

void drawText(wmfAPI *api, wmfDrawText_t *t)
{
    wmfFont *f = WMF_DC_FONT(t->dc);
    if (!t->str || !f)
        return;
    QPainter *p = dev(api)->painter;
    QFont font(WMF_FONT_NAME(f) ? QString::fromLatin1(WMF_FONT_NAME(f)) : QString());
    font.setPixelSize(std::max(1, qRound(t->font_height * dev(api)->sy)));
    font.setWeight(WMF_FONT_WEIGHT(f) >= 600 ? QFont::Bold : QFont::Normal);
    font.setItalic(WMF_FONT_ITALIC(f));
    font.setUnderline(WMF_TEXT_UNDERLINE(f));
    font.setStrikeOut(WMF_TEXT_STRIKEOUT(f));
    p->save();
    p->setFont(font);
    p->setPen(color(WMF_DC_TEXTCOLOR(t->dc)));
    const QPointF at = map(api, t->pt);
    p->translate(at);
    p->rotate(-WMF_TEXT_ANGLE(f) * 180.0 / M_PI);
    // Metafile text is single-byte Windows text.
    p->drawText(QPointF(0, 0), QString::fromLatin1(t->str));
    p->restore();
}

void regionPaint(wmfAPI *api, wmfPolyRectangle_t *r)
{
    for (unsigned i = 0; i < r->count; ++i)
        dev(api)->painter->fillRect(rectOf(api, r->TL[i], r->BR[i]), brushOf(r->dc));
}

void regionFrame(wmfAPI *api, wmfPolyRectangle_t *r)
{
    QPen pen(brushOf(r->dc), std::max(1.0, double(r->width) * dev(api)->sx));
    dev(api)->painter->setPen(pen);
    dev(api)->painter->setBrush(Qt::NoBrush);
    for (unsigned i = 0; i < r->count; ++i)
        dev(api)->painter->drawRect(rectOf(api, r->TL[i], r->BR[i]));
}

void regionClip(wmfAPI *api, wmfPolyRectangle_t *r)
{
    if (r->count == 0) {
        dev(api)->painter->setClipping(false);
        return;
    }
    QPainterPath clip;
    for (unsigned i = 0; i < r->count; ++i)
        clip.addRect(rectOf(api, r->TL[i], r->BR[i]));
    dev(api)->painter->setClipPath(clip);
}

void installDevice(wmfAPI *api)
{
    auto *fr = static_cast<wmfFunctionReference *>(api->function_reference);
    fr->device_open = noop;
    fr->device_close = noop;
    fr->device_begin = noop;
    fr->device_end = noop;
    fr->flood_interior = noFlood;
    fr->flood_exterior = noFlood;
    fr->draw_pixel = drawPixel;
    fr->draw_pie = drawPie;
    fr->draw_chord = drawChord;
    fr->draw_arc = drawArc;
    fr->draw_ellipse = drawEllipse;
    fr->draw_line = drawLine;
    fr->poly_line = polyLine;
    fr->draw_polygon = drawPolygon;
    fr->draw_polypolygon = drawPolyPolygon;
    fr->draw_rectangle = drawRectangle;
    fr->rop_draw = ropDraw;
    fr->bmp_draw = bmpDraw;
    fr->bmp_read = bmpRead;
    fr->bmp_free = bmpFree;
    fr->draw_text = drawText;
    fr->udata_init = noUdata;
    fr->udata_copy = noUdata;
    fr->udata_set = noUdata;
    fr->udata_free = noUdata;
    fr->region_frame = regionFrame;
    fr->region_paint = regionPaint;
    fr->region_clip = regionClip;
    api->device_data = wmf_malloc(api, sizeof(Device));
    std::memset(api->device_data, 0, sizeof(Device));
}

// libwmf draws every text with the URW base 35 fonts and fails the whole
// metafile when they are missing; Debian only recommends them.
constexpr const char *kWmfFontFile = "/usr/share/fonts/type1/urw-base35/NimbusSans-Regular.t1";

std::string failureReason()
{
    if (::access(kWmfFontFile, R_OK) != 0)
        return "the metafile cannot be drawn: the fonts it needs are missing (install the package "
               "fonts-urw-base35)";
    return "damaged metafile";
}

struct Api {
    wmfAPI *api = nullptr;
    ~Api()
    {
        if (api)
            wmf_api_destroy(api);
    }
};

} // namespace

bool renderWmf(QByteArray data, QImage &out, std::string &error)
{
    Api w;
    wmfAPI_Options options;
    std::memset(&options, 0, sizeof options);
    options.function = installDevice;
    const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    if (wmf_api_create(&w.api, flags, &options) != wmf_E_None || !w.api->device_data) {
        error = "the metafile library could not be started";
        return false;
    }
    if (wmf_mem_open(w.api, reinterpret_cast<unsigned char *>(data.data()), data.size()) != wmf_E_None) {
        error = failureReason();
        return false;
    }
    wmfD_Rect bbox;
    unsigned int width = 0, height = 0;
    if (wmf_scan(w.api, 0, &bbox) != wmf_E_None ||
        wmf_display_size(w.api, &width, &height, 96.0, 96.0) != wmf_E_None) {
        error = failureReason();
        return false;
    }
    if (!posterSizeAcceptable(width, height, error))
        return false;
    const double bw = bbox.BR.x - bbox.TL.x, bh = bbox.BR.y - bbox.TL.y;
    if (!(bw > 0) || !(bh > 0)) {
        error = failureReason();
        return false;
    }
    QImage img(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) {
        error = "not enough memory for the picture";
        return false;
    }
    img.fill(Qt::transparent);
    QPainter painter(&img);
    painter.setRenderHint(QPainter::Antialiasing);
    *dev(w.api) = Device{&painter, bbox.TL.x, bbox.TL.y, width / bw, height / bh};
    const wmf_error_t played = wmf_play(w.api, 0, &bbox);
    painter.end();
    dev(w.api)->painter = nullptr;
    if (played != wmf_E_None) {
        error = failureReason();
        return false;
    }
    out = img;
    return true;
}

} // namespace dialogs
