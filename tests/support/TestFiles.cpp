#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace testsupport {

TempDir::TempDir()
{
    QTemporaryDir d(QDir::tempPath() + "/quellon-test-XXXXXX");
    d.setAutoRemove(false);
    path_ = d.path().toStdString();
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        ::chmod(path_.c_str(), 0700);
        QDir(QString::fromStdString(path_)).removeRecursively();
    }
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string &path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

std::string randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string binDir()
{
#ifdef QUELLON_BIN_DIR
    return std::string(QUELLON_BIN_DIR) + "/";
#else
    const char *e = std::getenv("QUELLON_BIN_DIR");
    return e ? std::string(e) + "/" : std::string("./");
#endif
}

std::string sourceDir()
{
#ifdef QUELLON_SOURCE_DIR
    return std::string(QUELLON_SOURCE_DIR) + "/";
#else
    return "./";
#endif
}

int runCommand(const std::string &cmd, std::string *output)
{
    // Peer tools (bsdtar above all) refuse UTF-8 member names under the C
    // locale, which is what an environment without LANG gives them.
    std::string full = "LC_ALL=C.UTF-8; export LC_ALL; " + cmd + " 2>&1";
    FILE *p = ::popen(full.c_str(), "r");
    if (!p)
        return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = ::pclose(p);
    if (output)
        *output = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace testsupport
