#pragma once
// The wizard's command line: "/zip", "/unzip" or the path of an existing file.

#include <string>
#include <vector>

namespace app {

enum Mode : int { msSave = 0, msRestore = 1 };

struct CommandLine {
    int mode = msSave;
    std::string file;        // last existing file named, as typed ("" when none)
    bool valid = true;
    std::string badArgument; // the first argument that is neither switch nor file
};

// Looks at each argument in turn; later ones win. The switches compare
// without case, a file name unchanged. Stops at the first unusable argument.
CommandLine parseCommandLine(const std::vector<std::string> &args);

// The Qln0005 text for an unusable argument.
std::string invalidParameterMessage(const std::string &argument);

} // namespace app
