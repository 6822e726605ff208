#pragma once
#include "platform/Shell.h"

#include <vector>

namespace platform {

// Records every request; answers `result` (42 = success by default).
class ScriptedShell final : public Shell {
public:
    ScriptedShell();
    ~ScriptedShell() override;
    int result = 42;
    std::vector<std::string> opened;
    int open(const std::string &target) override;

private:
    Shell *previous_;
};

} // namespace platform
