#include "platform/TempFiles.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

std::string tempPath()
{
    std::string p = QDir::tempPath().toStdString();
    if (p.empty() || p.back() != '/')
        p += '/';
    return p;
}

std::string makeRunFolder(const std::string &parent, const std::string &prefix)
{
    std::string base = parent;
    if (!base.empty() && base.back() != '/')
        base += '/';
    std::string pattern = base + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) // mkdtemp creates with mode 0700
        return {};
    return std::string(buf.data());
}

bool removeRunFolder(const std::string &folder, std::string *error)
{
    if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d)) {
            std::string full = folder + "/" + e->d_name;
            struct stat st{};
            if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                ::unlink(full.c_str());
        }
        ::closedir(d);
    }
    if (::rmdir(folder.c_str()) != 0) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    return true;
}

std::string makeUniqueTempFile(const std::string &dir, const std::string &prefix)
{
    std::string base = dir;
    if (!base.empty() && base.back() != '/')
        base += '/';
    static std::mt19937 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char unique[16];
        std::snprintf(unique, sizeof unique, "%04X", static_cast<unsigned>(rng() & 0xFFFF));
        std::string name = base + prefix + unique + ".tmp";
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST)
            return {};
    }
    return {};
}

} // namespace platform
