#include "cli/CliUsage.h"

#include "cli/CliCommon.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace cli
{

const char kExitStatusHelp[] =
    "Exit status: 0 success; 1 failed (a quellon-cli: line on stderr says what\n"
    "and where); 2 wrong usage; 130 stopped by SIGINT, 143 stopped by SIGTERM.";

namespace
{
// Where CLI11 starts an option's description.
constexpr std::size_t kDescriptionColumn = 30;

std::size_t indentOf(const std::string &line)
{
    if (line.size() > kDescriptionColumn && line.rfind("  ", 0) == 0 && line[kDescriptionColumn - 1] == ' ' &&
        line[kDescriptionColumn] != ' ')
        return kDescriptionColumn;
    return line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' ');
}
} // namespace

std::string wrapHelp(const std::string &text, std::size_t width)
{
    std::string out;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        const bool last = end == std::string::npos;
        std::string line = text.substr(at, last ? std::string::npos : end - at);
        const std::size_t indent = indentOf(line);
        while (line.size() > width) {
            std::size_t cut = line.rfind(' ', width);
            if (cut == std::string::npos || cut <= indent)
                break; // one word longer than the line: leave it whole
            out += line.substr(0, cut) + "\n";
            line = std::string(indent, ' ') + line.substr(line.find_first_not_of(' ', cut));
        }
        out += line;
        if (last)
            break;
        out += "\n";
        at = end + 1;
    }
    return out;
}

int usageError(const std::string &command, const std::string &what)
{
    std::fprintf(stderr, "quellon-cli: %s%s%s\nTry 'quellon-cli %s%s--help'.\n", command.c_str(),
                 command.empty() ? "" : ": ", what.c_str(), command.c_str(), command.empty() ? "" : " ");
    return kUsage;
}

int parseCommand(CLI::App &app, int argc, char **argv, const std::string &command)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(wrapHelp(app.help()).c_str(), stdout);
        return kOk;
    } catch (const CLI::ParseError &e) {
        return usageError(command, e.what());
    }
    return -1;
}

} // namespace cli
