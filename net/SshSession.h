#pragma once
// SSH client for hosts whose FTP server is off (IBM's OpenSSH for i): sign-on
// with the host key checked against known_hosts before anything secret is
// sent, then one command per exec channel with its exit status and output,
// and a save file streamed through a command's stdout or stdin. libssh runs
// non-blocking; every wait keeps the event loop live and ends within the
// time-out.

#include "net/NMFtp.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A failure that ends the SSH session: connection, host key, sign-on, a
// channel broken off, a time-out.
class ESshError : public ESockError
{
public:
    explicit ESshError(const std::string &msg) : ESockError(msg) {}
};
// The host shows another key than the one known for it.
class EHostKeyChanged : public ESshError
{
public:
    explicit EHostKeyChanged(const std::string &msg) : ESshError(msg) {}
};
// The user would not trust an unknown host key.
class EHostKeyRejected : public ESshError
{
public:
    explicit EHostKeyRejected(const std::string &msg) : ESshError(msg) {}
};
// Neither a key nor the password was accepted.
class ESshAuthFailed : public ESshError
{
public:
    explicit ESshAuthFailed(const std::string &msg) : ESshError(msg) {}
};

// What one remote command left: its exit status (-1 when the host gave
// none, as when the command was killed) and what it printed.
struct TSshResult {
    int ExitStatus = -1;
    std::string Out;
    std::string Err;
    // An upload's command ended before it took the whole file (ExitStatus
    // is then never 0).
    bool InputCut = false;
};

// Asked when known_hosts has no key for the host. `Fingerprint` is OpenSSH's
// "SHA256:..." form. AcceptAndRemember adds the key to known_hosts.
using TSshHostKeyEvent = std::function<void(const std::string &Fingerprint, TCertAnswer &Answer)>;
using TSshProgressEvent = std::function<void(int64_t Done, int64_t Total)>;

struct ssh_session_struct;

class TSshSession
{
public:
    TSshSession();
    ~TSshSession();
    TSshSession(const TSshSession &) = delete;
    TSshSession &operator=(const TSshSession &) = delete;

    std::string Host;
    int Port = 22;
    std::string UserID;
    // Tried after the agent's and the ~/.ssh keys; never stored.
    std::string Password;
    // The user's SSH folder (keys, known_hosts); empty: ~/.ssh.
    std::string SshDir;
    // Empty: known_hosts in SshDir.
    std::string KnownHostsFile;
    // Read ~/.ssh/config and /etc/ssh/ssh_config, as ssh does.
    bool ReadConfig = true;
    // Seconds any step but a running command may go without progress (a
    // command takes as long as it needs; TCP keepalive watches the host).
    // 0: no limit.
    int TimeOutSeconds = 30;
    // Asked while waiting: a non-empty answer (why) stops the step with
    // EAbortError, as Abort does.
    std::function<std::string()> StopCheck;
    TSshHostKeyEvent OnUnknownHostKey;

    // Connects, checks the host key, signs on. Throws ESshError (or a
    // descendant) and leaves the session closed on any failure.
    void Connect();
    bool Connected() const { return session_ != nullptr; }
    // "publickey", "password" or "keyboard-interactive": how the host took us.
    const std::string &AuthMethod() const { return authMethod_; }
    const std::string &HostKeyFingerprint() const { return fingerprint_; }

    // Runs `command`; output beyond `maxOutput` bytes per stream is dropped.
    TSshResult Exec(const std::string &command, std::size_t maxOutput = 1 << 20);
    // Runs `command` and writes its stdout to `localPath`, never more than a
    // buffer in memory. `expected` (0 = unknown) only feeds the progress.
    TSshResult Download(const std::string &command, const std::string &localPath, int64_t expected = 0,
                        const TSshProgressEvent &progress = {});
    // Runs `command` with `localPath` as its stdin, then end of file.
    TSshResult Upload(const std::string &localPath, const std::string &command,
                      const TSshProgressEvent &progress = {});

    void Disconnect();
    // Where the host keys are checked and kept.
    std::string KnownHostsPath() const { return knownHostsFile(); }
    // Breaks the running step off: it throws EAbortError.
    void Abort(const std::string &why = {})
    {
        aborted_ = true;
        abortReason_ = why;
    }
    // Raised with true once a step has seen nothing from the host for
    // OverdueAfterMs (0: never), with false when something comes again.
    int OverdueAfterMs = 0;
    std::function<void(bool Overdue)> OnOverdue;

    // `s` as one word for a POSIX shell: in single quotes, each quote as '\''.
    static std::string ShellQuote(const std::string &s);
    // "[host]:port" as known_hosts names a host on another port than 22.
    static std::string KnownHostsName(const std::string &host, int port);

private:
    struct Channel;
    void wait(bool wantWrite);
    void checkAbort();
    void progressMade();
    [[noreturn]] void fail(const std::string &what);
    void checkHostKey();
    void signOn();
    std::vector<std::string> knownFingerprints() const;
    std::string sshDir() const;
    std::string knownHostsFile() const;
    TSshResult run(const std::string &command, int outFd, std::size_t maxOutput, int inFd, int64_t total,
                   const TSshProgressEvent &progress);

    ssh_session_struct *session_ = nullptr;
    std::string fingerprint_;
    std::string authMethod_;
    int64_t deadline_ = 0; // ms, steady clock
    int64_t lastPump_ = 0; // ms
    bool aborted_ = false;
    bool untimed_ = false;     // a command runs: no time-out
    int64_t lastProgress_ = 0; // ms
    bool overdue_ = false;
    std::string abortReason_;
};
