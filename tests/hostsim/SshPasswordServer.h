#pragma once
// A stand-in SSH server for password sign-on, built on libssh's server API:
// sshd checks passwords against the system's own accounts (or PAM), which a
// test must not touch. It takes one user and password, by the password
// method and keyboard-interactive (or that one alone), runs each exec
// request, and the sftp subsystem as sftp-server, through quellon-hostsim
// --ssh-command (the forced command sshd would run) and relays stdin,
// stdout, stderr and the exit status. One session at a time, on a free
// loopback port.

#include <atomic>
#include <string>
#include <thread>

namespace testsupport
{

class SshPasswordServer
{
public:
    SshPasswordServer(const std::string &root, const std::string &user, const std::string &password,
                      bool keyboardInteractiveOnly = false);
    ~SshPasswordServer();
    SshPasswordServer(const SshPasswordServer &) = delete;
    SshPasswordServer &operator=(const SshPasswordServer &) = delete;

    const std::string &problem() const { return problem_; }
    int port() const { return port_; }
    const std::string &hostKeyFingerprint() const { return fingerprint_; }
    // Passwords refused so far, by either method.
    int refusals() const { return refusals_; }

private:
    void serve();
    void session(void *session);

    std::string root_, user_, password_;
    std::string problem_, fingerprint_;
    int port_ = 0;
    void *bind_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> refusals_{0};
    int methods_ = 0;
    std::thread thread_;
};

} // namespace testsupport
