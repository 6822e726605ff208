#include "platform/ScriptedShell.h"

namespace platform {
ScriptedShell::ScriptedShell() : previous_(&shell()) { setShell(this); }
ScriptedShell::~ScriptedShell() { setShell(previous_); }
int ScriptedShell::open(const std::string &target)
{
    opened.push_back(target);
    return result;
}
} // namespace platform
