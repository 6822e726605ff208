#include "cli/CliJson.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include <cstdio>
#include <cstdlib>

namespace cli
{

std::string jsonText(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

JsonObject &JsonObject::add(const std::string &key, const std::string &json)
{
    if (body_.size() > 1)
        body_ += ", ";
    body_ += jsonText(key) + ": " + json;
    return *this;
}

JsonObject &JsonObject::text(const std::string &key, const std::string &value) { return add(key, jsonText(value)); }

JsonObject &JsonObject::textOrNull(const std::string &key, const std::optional<std::string> &value)
{
    return add(key, value ? jsonText(*value) : "null");
}

JsonObject &JsonObject::number(const std::string &key, int64_t value) { return add(key, std::to_string(value)); }
JsonObject &JsonObject::flag(const std::string &key, bool value) { return add(key, value ? "true" : "false"); }
JsonObject &JsonObject::null(const std::string &key) { return add(key, "null"); }
JsonObject &JsonObject::raw(const std::string &key, const std::string &json) { return add(key, json); }

JsonObject &JsonObject::texts(const std::string &key, const std::vector<std::string> &values)
{
    std::string a = "[";
    for (const auto &v : values)
        a += (a.size() > 1 ? ", " : "") + jsonText(v);
    return add(key, a + "]");
}

namespace
{
// Always with a numeric offset (+00:00, not Z): one form for scripts to parse.
std::string iso(const QDateTime &t)
{
    const int offset = t.offsetFromUtc();
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 3600,
                  std::abs(offset) % 3600 / 60);
    return t.toString("yyyy-MM-ddTHH:mm:ss").toStdString() + zone;
}
} // namespace

std::string isoNow() { return iso(QDateTime::currentDateTime()); }

std::optional<std::string> isoFromRecordTime(const std::string &text)
{
    const QLocale locale = QLocale::system();
    const QString t = QString::fromStdString(text);
    QDateTime parsed = locale.toDateTime(t, locale.dateFormat(QLocale::ShortFormat) + " " +
                                                 locale.timeFormat(QLocale::LongFormat));
    if (!parsed.isValid()) {
        // The zone's name may not parse back: the time without it, taken as
        // this machine's local time.
        const qsizetype blank = t.lastIndexOf(' ');
        if (blank > 0) {
            QString format = locale.timeFormat(QLocale::LongFormat);
            format = format.left(format.lastIndexOf(' '));
            parsed = locale.toDateTime(t.left(blank), locale.dateFormat(QLocale::ShortFormat) + " " + format);
        }
    }
    if (!parsed.isValid())
        return std::nullopt;
    // Short date formats may give two-digit years.
    if (parsed.date().year() < 1970)
        parsed = parsed.addYears(100);
    return iso(parsed);
}

std::string isoFromDosTime(uint32_t d)
{
    const QDate date(static_cast<int>(1980 + ((d >> 25) & 0x7F)), static_cast<int>((d >> 21) & 0x0F),
                     static_cast<int>((d >> 16) & 0x1F));
    const QTime time(static_cast<int>((d >> 11) & 0x1F), static_cast<int>((d >> 5) & 0x3F),
                     static_cast<int>((d & 0x1F) * 2));
    return iso(QDateTime(date, time));
}

} // namespace cli
