#pragma once
// The shell's default action on a file or address. Results keep the shell's
// convention: a value of 32 or less means failure.

#include <string>

namespace platform {

class Shell {
public:
    virtual ~Shell() = default;
    virtual int open(const std::string &target) = 0;
};

Shell &shell();
void setShell(Shell *s); // not owned; nullptr restores the fallback (which fails every request)

} // namespace platform
