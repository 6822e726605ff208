#include "net/FtpReply.h"

#include <cctype>

namespace ftpreply
{

namespace
{
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
} // namespace

int16_t ReplyNumber(const std::string &line)
{
    int64_t value = 0;
    size_t i = 0;
    for (; i < line.size() && i < 10 && isDigit(line[i]); ++i)
        value = value * 10 + (line[i] - '0');
    if (i == 0 || value > 32767)
        return 0;
    return static_cast<int16_t>(value);
}

int64_t ByteCount(const std::string &line)
{
    std::string upper(line);
    for (auto &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    size_t at = upper.find("BYTE");
    if (at == std::string::npos)
        return 0;
    // Walk back to the nearest digit, then to the first digit of its run.
    size_t end = at;
    while (end > 0 && !isDigit(upper[end - 1]))
        --end;
    if (end == 0)
        return 0;
    size_t start = end;
    while (start > 0 && isDigit(upper[start - 1]))
        --start;
    // The digits that open the line are the reply code, not a count: a short
    // transfer is judged against this number.
    if (start == 0)
        return 0;
    int64_t value = 0;
    for (size_t i = start; i < end; ++i) {
        if (value > (INT64_MAX - 9) / 10)
            return 0; // absurd count: treat as not announced
        value = value * 10 + (upper[i] - '0');
    }
    return value;
}

TCmdType Classify(const std::string &command)
{
    // Case-sensitive on purpose: "cwd /x" reports as an other command.
    std::string word = command.substr(0, command.find(' ')) + " ";
    if (word == "CWD ")
        return ctChangeDirectory;
    if (word == "DELE ")
        return ctDeleteFile;
    if (word == "MKD ")
        return ctMakeDirectory;
    if (word == "RMD ")
        return ctRemoveDirectory;
    if (command == "PWD")
        return ctPrintDirectory;
    return ctOtherCommand;
}

bool ReplyAssembler::NeedsMore(const std::string &line)
{
    if (!code_.empty()) {
        if (line.size() >= 4 && line.compare(0, 3, code_) == 0 && line[3] == ' ')
            return false;
        // "DDD" + line end also closes the reply.
        if (line.compare(0, 3, code_) == 0 && (line.size() == 3 || line[3] == '\r' || line[3] == '\n'))
            return false;
        return true;
    }
    if (!line.empty() && line[0] == ' ')
        return true;
    if (line.size() >= 4 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) && line[3] == '-') {
        code_ = line.substr(0, 3);
        return true;
    }
    return false;
}

} // namespace ftpreply

namespace ftpreply
{

int PassivePort(const std::string &line)
{
    const int code = ReplyNumber(line);
    const size_t open = line.find('(');
    const size_t close = line.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos)
        return -1;
    const std::string inner = line.substr(open + 1, close - open - 1);
    long port = -1;
    if (code == 229) {
        // (<d><d><d>port<d>): the delimiter is any printable character.
        if (inner.size() < 5)
            return -1;
        const char d = inner[0];
        if (inner[1] != d || inner[2] != d || inner.back() != d)
            return -1;
        const std::string digits = inner.substr(3, inner.size() - 4);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        port = std::stol(digits);
    } else if (code == 227) {
        long v[6];
        int n = 0;
        bool extra = false;
        size_t pos = 0;
        while (n < 6 && pos <= inner.size()) {
            size_t comma = inner.find(',', pos);
            std::string part = inner.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            while (!part.empty() && part.front() == ' ')
                part.erase(0, 1);
            if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
                return -1;
            v[n++] = std::stol(part);
            if (v[n - 1] > 255)
                return -1;
            if (comma == std::string::npos)
                break;
            extra = n == 6;
            pos = comma + 1;
        }
        if (n != 6 || extra)
            return -1;
        port = v[4] * 256 + v[5];
    }
    return port > 0 && port <= 65535 ? static_cast<int>(port) : -1;
}

} // namespace ftpreply
