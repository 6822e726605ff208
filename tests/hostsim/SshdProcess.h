#pragma once
// OpenSSH's sshd in the foreground on a free loopback port, with its own
// config, host key and authorized_keys, and quellon-hostsim --ssh-command as
// the forced command: the emulated host as an SSH client sees it. It signs on
// the user running the test, by key only (no PAM, no system passwords).

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport
{

class SshdProcess
{
public:
    // `dir`: a folder of the test's own for keys, config and logs; `root`:
    // the host's libraries; `hostsimArgs`: more options of the forced command.
    // Without `emulator`, no forced command: the user's shell runs commands
    // and OpenSSH's own sftp-server serves SFTP, as on any Linux host.
    SshdProcess(const std::string &dir, const std::string &root,
                const std::vector<std::string> &hostsimArgs = {}, bool emulator = true);
    ~SshdProcess();
    SshdProcess(const SshdProcess &) = delete;
    SshdProcess &operator=(const SshdProcess &) = delete;

    // Empty when sshd runs; else why not (sshd missing, did not start).
    const std::string &problem() const { return problem_; }
    int port() const { return port_; }
    const std::string &user() const { return user_; }
    // A client's SSH folder: id_ed25519 (authorized on the host), and an
    // empty known_hosts.
    std::string clientSshDir() const { return dir_ + "/client"; }
    // "SHA256:..." of the host key in use.
    const std::string &hostKeyFingerprint() const { return fingerprint_; }
    // What sshd logged.
    std::string log() const;

    // The host gets a new key and sshd starts again on the same port.
    bool replaceHostKey();
    void stop();

private:
    bool makeHostKey();
    bool start();

    std::string dir_;
    std::string root_;
    std::vector<std::string> hostsimArgs_;
    bool emulator_ = true;
    std::string problem_;
    std::string user_;
    std::string fingerprint_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// True when sshd and ssh-keygen are installed.
bool haveSshd();

} // namespace testsupport
