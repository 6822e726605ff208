#pragma once
// How quellon-cli talks about its own use: --help wrapped at 80 columns, a
// usage error as one line and a hint, the exit statuses in the same words
// under every command.

#include <string>

namespace CLI
{
class App;
}

namespace cli
{

// The exit statuses, for the end of every --help (the manual has the same).
extern const char kExitStatusHelp[];

// `text` with every line longer than `width` broken at blanks; the broken
// part lines up under the description column of an option line (or the
// line's own indentation).
std::string wrapHelp(const std::string &text, std::size_t width = 80);

// "quellon-cli: COMMAND: WHAT" and "Try 'quellon-cli COMMAND --help'." on
// stderr; returns the usage exit status.
int usageError(const std::string &command, const std::string &what);

// Parses argv into `app`: -1 to go on, else the exit status (after the
// wrapped help on stdout, or a usage error line).
int parseCommand(CLI::App &app, int argc, char **argv, const std::string &command);

} // namespace cli
