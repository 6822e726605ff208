#include "hostsim/HostSimProcess.h"

#include "support/TestFiles.h"

#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

static std::string hostSimBinary()
{
#ifdef QUELLON_BIN_DIR
    return std::string(QUELLON_BIN_DIR) + "/quellon-hostsim";
#else
    return binDir() + "quellon-hostsim";
#endif
}

HostSimProcess::HostSimProcess(const std::string &root, const std::vector<std::string> &extra,
                               const std::string &user, const std::string &password)
{
    std::vector<std::string> args{hostSimBinary(), "--listen", "127.0.0.1:0", "--root", root};
    if (!user.empty()) {
        args.insert(args.end(), {"--user", user, "--password", password});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    // The first line says where it listens; it comes once connections are accepted.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (::read(out[0], &c, 1) != 1)
            break;
        line.push_back(c);
    }
    ::close(out[0]);
    firstLine_ = line.substr(0, line.find('\n'));
    const auto colon = firstLine_.rfind(':');
    if (colon != std::string::npos)
        port_ = std::atoi(firstLine_.c_str() + colon + 1);
}

HostSimProcess::~HostSimProcess() { stop(); }

int HostSimProcess::stop(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            port_ = 0;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    port_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
