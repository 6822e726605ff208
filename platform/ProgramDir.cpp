#include "platform/ProgramDir.h"

#include <QCoreApplication>

#include <climits>
#include <unistd.h>

namespace platform {
namespace {
std::string overrideDir;
}

std::string programDir()
{
    std::string dir = overrideDir;
    if (dir.empty() && QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath().toStdString();
    if (dir.empty()) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) {
            std::string exe(buf, static_cast<size_t>(n));
            dir = exe.substr(0, exe.rfind('/'));
        }
    }
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

void setProgramDir(const std::string &dir) { overrideDir = dir; }

} // namespace platform
