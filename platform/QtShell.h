#pragma once
#include "platform/Shell.h"

namespace platform {
// Default action through the desktop: addresses and local files. A local
// file that is not there fails at once; otherwise xdg-open is asked and its
// exit status tells whether a program took the target.
class QtShell final : public Shell {
public:
    int open(const std::string &target) override;
    // How long xdg-open may run before it counts as having started a
    // program (some desktops keep it until the program ends).
    int answerWithinMs = 3000;
};
} // namespace platform
