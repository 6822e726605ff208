#include "CliProcess.h"

#include "support/TestFiles.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace clitest {

namespace {
constexpr const char *kFileSizeCap = "QUELLON_TEST_FSIZE=";
}

CliProcess::CliProcess(const std::string &dir, const std::vector<std::string> &args,
                       const std::vector<std::string> &env)
    : outPath_(dir + "/cli-stdout.txt"), errPath_(dir + "/cli-stderr.txt")
{
    std::vector<std::string> argv{std::string(QUELLON_BIN_DIR) + "/quellon-cli"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        for (const auto &e : env) {
            if (e.rfind(kFileSizeCap, 0) == 0) {
                const rlimit cap{std::stoul(e.substr(std::strlen(kFileSizeCap))), RLIM_INFINITY};
                ::setrlimit(RLIMIT_FSIZE, &cap);
                ::signal(SIGXFSZ, SIG_IGN); // writes past it fail with EFBIG instead
                continue;
            }
            ::putenv(const_cast<char *>(e.c_str()));
        }
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        ::setsid(); // no controlling terminal: nothing to prompt at
        std::vector<char *> p;
        for (auto &a : argv)
            p.push_back(a.data());
        p.push_back(nullptr);
        ::execv(p[0], p.data());
        ::_exit(127);
    }
}

bool CliProcess::waitFor(const std::string &text, int timeoutMs) const
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (out().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void CliProcess::signal(int sig) const { ::kill(pid_, sig); }

int CliProcess::finish(int timeoutMs)
{
    for (int waited = 0; pid_ > 0 && waited <= timeoutMs; waited += 5) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return -1;
}

int CliProcess::poll()
{
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_)
        return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string CliProcess::out() const { return testsupport::readFile(outPath_); }
std::string CliProcess::err() const { return testsupport::readFile(errPath_); }

CliResult runCli(const std::string &dir, const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    CliProcess p(dir, args, env);
    const int status = p.finish();
    return {status, p.out(), p.err()};
}

std::vector<std::string> folderNames(const std::string &folder)
{
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string().rfind("cli-std", 0) != 0)
            out.push_back(e.path().filename().string());
    return out;
}

} // namespace clitest
