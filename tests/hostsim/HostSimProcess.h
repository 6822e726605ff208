#pragma once
// Starts quellon-hostsim as a separate process on a free loopback port and
// stops it with SIGTERM. Usable by any test that needs an emulated host.

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class HostSimProcess {
public:
    // `root` is the host's library folder; `extra` more command-line options.
    explicit HostSimProcess(const std::string &root, const std::vector<std::string> &extra = {},
                            const std::string &user = "JOE", const std::string &password = "secret");
    ~HostSimProcess();
    HostSimProcess(const HostSimProcess &) = delete;
    HostSimProcess &operator=(const HostSimProcess &) = delete;

    bool running() const { return port_ != 0; }
    int port() const { return port_; }
    const std::string &firstLine() const { return firstLine_; }
    // Sends SIGTERM and waits up to `timeoutMs`; returns the exit status,
    // or -1 when the process had to be killed.
    int stop(int timeoutMs = 5000);

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string firstLine_;
};

} // namespace testsupport
