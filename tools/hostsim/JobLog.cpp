#include "JobLog.h"

#include <cstdio>
#include <ctime>

namespace hostsim {

namespace {

constexpr size_t kPageLines = 60;
constexpr size_t kTextWidth = 75;
constexpr const char *kColumnHeader =
    "MSGID      TYPE                    SEV  DATE      TIME             FROM PGM     LIBRARY     INST     "
    "TO PGM      LIBRARY     INST";

std::tm localTm(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string dateText(const std::tm &tm)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100);
    return buf;
}

// Puts `text` at column `col`, widening the line as needed.
void place(std::string &line, size_t col, const std::string &text)
{
    if (line.size() < col + text.size())
        line.resize(col + text.size(), ' ');
    line.replace(col, text.size(), text);
}

std::string rtrim(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Splits `text` into lines of at most `width` characters at blanks.
std::vector<std::string> wrap(const std::string &text, size_t width)
{
    std::vector<std::string> out;
    std::string rest = text;
    while (rest.size() > width) {
        size_t cut = rest.rfind(' ', width);
        if (cut == std::string::npos || cut == 0)
            cut = width;
        out.push_back(rtrim(rest.substr(0, cut)));
        rest = rest.substr(cut);
        while (!rest.empty() && rest.front() == ' ')
            rest.erase(0, 1);
    }
    if (!rest.empty() || out.empty())
        out.push_back(rest);
    return out;
}

void detail(std::vector<std::string> &out, const char *label, const std::string &text, bool request)
{
    const std::string head = std::string(37, ' ') + label + (request ? "  -" : "   ");
    const auto lines = wrap(text, kTextWidth);
    out.push_back(head + lines[0]);
    for (size_t i = 1; i < lines.size(); ++i)
        out.push_back(std::string(39, ' ') + lines[i]);
}

} // namespace

const char *msgTypeName(MsgType type)
{
    switch (type) {
    case MsgType::Information: return "Information";
    case MsgType::Completion: return "Completion";
    case MsgType::Diagnostic: return "Diagnostic";
    case MsgType::Escape: return "Escape";
    case MsgType::Request: return "Request";
    case MsgType::Inquiry: return "Inquiry";
    case MsgType::Reply: return "Reply";
    }
    return "Information";
}

void JobLog::add(JobMessage message)
{
    if (message.when == std::chrono::system_clock::time_point{})
        message.when = std::chrono::system_clock::now();
    messages_.push_back(std::move(message));
}

std::vector<std::string> JobLog::print(const JobIdentity &job, bool secondLevel) const
{
    const auto now = std::chrono::system_clock::now();
    const std::tm nowTm = localTm(now);
    char zone[8] = {};
    std::strftime(zone, sizeof zone, "%Z", &nowTm);

    std::vector<std::string> body;
    for (const auto &m : messages_) {
        const std::tm tm = localTm(m.when);
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(m.when.time_since_epoch()).count() %
                            1000000;
        char timeBuf[64];
        std::snprintf(timeBuf, sizeof timeBuf, "%02d:%02d:%02d.%06lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<long long>(micros));
        std::string line;
        place(line, 0, m.id);
        place(line, 11, msgTypeName(m.type));
        if (m.type != MsgType::Request) {
            char sev[4];
            std::snprintf(sev, sizeof sev, "%02d", m.severity);
            place(line, 35, sev);
        }
        place(line, 40, dateText(tm));
        place(line, 50, timeBuf);
        place(line, 67, m.fromPgm);
        place(line, 80, m.fromLib);
        place(line, 92, "0000");
        place(line, 101, m.type == MsgType::Request ? "QTMFSRVR" : "*EXT");
        if (m.type == MsgType::Request)
            place(line, 113, "QTCP");
        place(line, 125, "*N");
        body.push_back(rtrim(line));
        detail(body, "Message . . . . :", m.text, m.type == MsgType::Request);
        if (secondLevel && !m.cause.empty())
            detail(body, "Cause . . . . . :", m.cause, false);
        if (secondLevel && !m.recovery.empty())
            detail(body, "Recovery  . . . :", m.recovery, false);
    }

    std::vector<std::string> out;
    const size_t bodyPerPage = kPageLines - 4;
    size_t page = 0;
    size_t i = 0;
    do {
        ++page;
        char head[200];
        char timeBuf[16];
        std::strftime(timeBuf, sizeof timeBuf, "%H:%M:%S", &nowTm);
        std::snprintf(head, sizeof head,
                      " 5770SS1 %-6.6s  160422                    Display Job Log                     %-8.8s  "
                      "%s  %s %-3.3s     Page %4zu",
                      job.release.c_str(), job.system.c_str(), dateText(nowTm).c_str(), timeBuf, zone, page);
        out.push_back(head);
        std::string l1 = "  Job name . . . . . . . . . . :   ";
        place(l1, 35, job.name);
        place(l1, 51, "User  . . . . . . :   " + job.user);
        place(l1, 86, "Number . . . . . . . . . . . :   " + job.number);
        out.push_back(l1);
        out.push_back("  Job description  . . . . . . :   QDFTSVR         Library . . . . . :   QGPL");
        out.push_back(kColumnHeader);
        for (size_t n = 0; n < bodyPerPage && i < body.size(); ++n)
            out.push_back(body[i++]);
    } while (i < body.size());
    return out;
}

} // namespace hostsim
