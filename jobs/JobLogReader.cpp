#include "jobs/JobLogReader.h"

#include <cctype>
#include <fstream>

namespace jobs {
namespace {

constexpr std::size_t kTypeColumn = 11;
constexpr std::size_t kTypeWidth = 19;

std::string trim(const std::string &s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// Upper case, runs of blanks as one: a command as the host logs it (wrapped
// at blanks) and as it was sent compare equal.
std::string normal(const std::string &s)
{
    std::string out;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u)) {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += static_cast<char>(std::toupper(u));
        }
    }
    if (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

bool isPageHeader(const std::string &line)
{
    const std::string t = trim(line);
    return t.rfind("5770SS1", 0) == 0 || t.rfind("MSGID ", 0) == 0 || t.rfind("Job name ", 0) == 0 ||
           t.rfind("Job description ", 0) == 0;
}

// "CPF3781    Escape   40 ..." or "*NONE      Request ...": an id at the
// margin and a type word in its column.
bool messageHeader(const std::string &line, JobLogMessage &m)
{
    if (line.empty() || line[0] == ' ' || line.size() <= kTypeColumn)
        return false;
    const std::string id = trim(line.substr(0, kTypeColumn));
    if (id.empty() || id.find(' ') != std::string::npos)
        return false;
    const std::string typeField = trim(line.substr(kTypeColumn, kTypeWidth));
    const std::string type = typeField.substr(0, typeField.find(' '));
    if (type.empty() || !std::isalpha(static_cast<unsigned char>(type[0])))
        return false;
    m = {id, type, {}};
    return true;
}

// "Message . . . . :   text" (a request's text follows a '-').
bool detailLabel(const std::string &line, std::string &label, std::string &text)
{
    const std::string t = trim(line);
    const auto colon = t.find(" : ");
    const auto dots = t.find(" . ");
    if (colon == std::string::npos || dots == std::string::npos || dots > colon)
        return false;
    label = t.substr(0, dots);
    text = trim(t.substr(colon + 2));
    return true;
}

} // namespace

std::vector<JobLogMessage> parseJobLog(const std::vector<std::string> &lines)
{
    std::vector<JobLogMessage> out;
    bool inText = false; // continuation lines belong to the Message text
    for (const std::string &line : lines) {
        if (trim(line).empty() || isPageHeader(line))
            continue;
        JobLogMessage m;
        if (messageHeader(line, m)) {
            out.push_back(m);
            inText = false;
            continue;
        }
        if (out.empty())
            continue;
        std::string label, text;
        if (detailLabel(line, label, text)) {
            inText = label == "Message";
            if (inText) {
                if (out.back().type == "Request" && !text.empty() && text[0] == '-')
                    text.erase(0, 1);
                out.back().text = text;
            }
            continue;
        }
        if (inText)
            out.back().text += " " + trim(line);
    }
    return out;
}

JobLogMessage escapeMessageFor(const std::vector<JobLogMessage> &log, const std::string &command)
{
    const std::string wanted = normal(command);
    std::size_t request = log.size();
    for (std::size_t i = log.size(); i-- > 0;) {
        if (log[i].type == "Request" && normal(log[i].text) == wanted) {
            request = i;
            break;
        }
    }
    for (std::size_t i = request + 1; i < log.size() && log[i].type != "Request"; ++i)
        if (log[i].type == "Escape")
            return log[i];
    return {};
}

std::vector<std::string> readTextLines(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    for (std::string l; std::getline(in, l);) {
        while (!l.empty() && (l.back() == '\r' || l.back() == '\n'))
            l.pop_back();
        out.push_back(l);
    }
    return out;
}

} // namespace jobs
