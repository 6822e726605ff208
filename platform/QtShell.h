#pragma once
#include "platform/Shell.h"

namespace platform {
// Default action through the desktop: addresses and local files.
class QtShell final : public Shell {
public:
    int open(const std::string &target) override;
};
} // namespace platform
