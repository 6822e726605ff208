#include "platform/ProgramDir.h"

#include <QCoreApplication>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {
std::string overrideDir;

bool isFile(const std::string &p)
{
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Installed by the package, the programs sit in .../bin and what they keep
// beside themselves lives in .../lib/quellon. The program's own folder wins
// whenever the data files are there (a build tree, an unpacked copy).
std::string installedDataDir(const std::string &binDir)
{
    if (isFile(binDir + "tgtrls.txt"))
        return binDir;
    const std::string lib = binDir + "../lib/quellon/";
    if (isFile(lib + "tgtrls.txt")) {
        char real[PATH_MAX];
        if (::realpath(lib.c_str(), real))
            return std::string(real) + '/';
        return lib;
    }
    return binDir;
}
} // namespace

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
    return overrideDir.empty() ? installedDataDir(dir) : dir;
}

void setProgramDir(const std::string &dir) { overrideDir = dir; }

} // namespace platform
