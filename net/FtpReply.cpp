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
