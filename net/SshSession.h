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
// The host's key is revoked in known_hosts, or vouched for only by a
// certificate authority this client cannot check.
class EHostKeyRefused : public ESshError
{
public:
    explicit EHostKeyRefused(const std::string &msg) : ESshError(msg) {}
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
// A file's bytes in order, as they come (throw to stop); and where an upload
// takes them from: up to `max` bytes into `buf`, 0 at the end.
using TSshSink = std::function<void(const char *Data, std::size_t Size)>;
using TSshSource = std::function<std::size_t(char *Buf, std::size_t Max)>;

// What an SFTP transfer left. Not Ok: `Error` has the host's words (its
// status message) or what the client found (a file shorter or longer than
// the size the host gave).
struct TSftpResult {
    bool Ok = false;
    int64_t Size = -1; // the size the host gave (download) or holds now (upload)
    std::string Error;
};

struct ssh_session_struct;

class TSshSession
{
public:
    TSshSession();
    ~TSshSession();
    TSshSession(const TSshSession &) = delete;
    TSshSession &operator=(const TSshSession &) = delete;

    std::string Host;
    // 0: as ~/.ssh/config says for the host, else 22. Any other value wins
    // over the configuration, as ssh's -p does.
    int Port = 0;
    std::string UserID;
    // Tried after the agent's and the ~/.ssh keys; never stored.
    std::string Password;
    // The user's SSH folder (keys, known_hosts); empty: ~/.ssh.
    std::string SshDir;
    // Empty: known_hosts in SshDir.
    std::string KnownHostsFile;
    // Read too (revoked keys and certificate authorities count from both);
    // empty: none. New keys go to KnownHostsFile only.
    std::string GlobalKnownHostsFile = "/etc/ssh/ssh_known_hosts";
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
    // Output that is not UTF-8 (a host answering in its CCSID 819) comes
    // decoded as Latin-1.
    TSshResult Exec(const std::string &command, std::size_t maxOutput = 1 << 20);
    // The host and port signed on to, after ~/.ssh/config (HostName, Port).
    const std::string &RemoteHost() const { return remoteHost_; }
    int RemotePort() const { return remotePort_; }

    // SFTP on a channel of its own: the file at `remotePath` to `sink`, its
    // size taken from the host first; every byte from offset 0 to that size
    // arrives, in order, or the result says what did not.
    TSftpResult GetFile(const std::string &remotePath, const TSshSink &sink,
                        const TSshProgressEvent &progress = {});
    TSftpResult GetFile(const std::string &remotePath, const std::string &localPath,
                        const TSshProgressEvent &progress = {});
    // `size` bytes from `source` into the existing file at `remotePath`
    // (truncated first); the file's size on the host is checked afterwards.
    TSftpResult PutFile(const TSshSource &source, int64_t size, const std::string &remotePath,
                        const TSshProgressEvent &progress = {});
    TSftpResult PutFile(const std::string &localPath, const std::string &remotePath,
                        const TSshProgressEvent &progress = {});
    // The size of the file at `remotePath`; -1 (and `error`) when the host
    // gives none.
    int64_t FileSize(const std::string &remotePath, std::string &error);
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
    // `text` when it is UTF-8, else read as Latin-1 (ISO-8859-1).
    static std::string HostText(const std::string &text);
    // "[host]:port" as known_hosts names a host on another port than 22.
    static std::string KnownHostsName(const std::string &host, int port);

private:
    struct Channel;
    struct Sftp;
    friend struct Sftp;
    void wait(bool connecting = false);
    void checkAbort();
    void progressMade();
    [[noreturn]] void fail(const std::string &what);
    void checkHostKey();
    void signOn();
    void checkBanner();
    std::string sshDir() const;
    std::string knownHostsFile() const;
    TSshResult run(const std::string &command, int outFd, std::size_t maxOutput, int inFd, int64_t total,
                   const TSshProgressEvent &progress);

    ssh_session_struct *session_ = nullptr;
    std::string fingerprint_;
    std::string authMethod_;
    std::string remoteHost_;
    int remotePort_ = 22;
    std::string notSsh_;        // the first line of a server that is no SSH server
    int64_t notSshSince_ = 0;   // ms
    int64_t deadline_ = 0; // ms, steady clock
    int64_t lastPump_ = 0; // ms
    bool aborted_ = false;
    bool untimed_ = false;     // a command runs: no time-out
    int64_t lastProgress_ = 0; // ms
    bool overdue_ = false;
    std::string abortReason_;
};
