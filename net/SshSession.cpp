#include "net/SshSession.h"

#include "net/KnownHosts.h"
#include "platform/Pump.h"

#include <QCoreApplication>

#include <libssh/libssh.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

// An exec channel, closed when its command is done. A failure that ended
// the session has freed it already, with the session: it is not touched then.
struct TSshSession::Channel {
    ssh_session_struct *const &live; // the session as it is now
    ssh_session_struct *const mine;  // the session the channel belongs to
    ssh_channel ch = nullptr;
    ~Channel()
    {
        if (ch && live == mine) {
            ssh_channel_close(ch);
            ssh_channel_free(ch);
        }
    }
};

TSshSession::TSshSession() = default;

TSshSession::~TSshSession()
{
    Disconnect();
}

std::string TSshSession::ShellQuote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string TSshSession::KnownHostsName(const std::string &host, int port)
{
    return port == 22 ? host : "[" + host + "]:" + std::to_string(port);
}

std::string TSshSession::HostText(const std::string &text)
{
    // Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
    bool utf8 = true;
    for (size_t i = 0; i < text.size() && utf8;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        const size_t n = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
        if (n == 0 || i + n >= text.size()) {
            utf8 = false;
            break;
        }
        for (size_t k = 1; k <= n; ++k)
            utf8 = utf8 && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        const auto c1 = static_cast<unsigned char>(text[i + 1]);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 > 0x8F))
            utf8 = false;
        i += n + 1;
    }
    if (utf8)
        return text;
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string TSshSession::sshDir() const
{
    if (!SshDir.empty())
        return SshDir;
    const char *home = std::getenv("HOME");
    if ((!home || !*home))
        if (const passwd *pw = ::getpwuid(::getuid()))
            home = pw->pw_dir;
    return std::string(home ? home : "") + "/.ssh";
}

std::string TSshSession::knownHostsFile() const
{
    return KnownHostsFile.empty() ? sshDir() + "/known_hosts" : KnownHostsFile;
}

void TSshSession::Disconnect()
{
    if (!session_)
        return;
    ssh_disconnect(session_);
    ssh_free(session_);
    session_ = nullptr;
}

void TSshSession::fail(const std::string &what)
{
    std::string why = session_ ? ssh_get_error(session_) : "";
    Disconnect();
    throw ESshError(what + (why.empty() ? "" : ": " + why));
}

void TSshSession::progressMade()
{
    lastProgress_ = nowMs();
    if (overdue_) {
        overdue_ = false;
        if (OnOverdue)
            OnOverdue(false);
    }
    deadline_ = untimed_ || TimeOutSeconds <= 0 ? std::numeric_limits<int64_t>::max()
                                                : nowMs() + static_cast<int64_t>(TimeOutSeconds) * 1000;
}

// One wait for the socket (or 2 ms), with the event loop kept live and the
// time-out and Abort checked.
void TSshSession::checkAbort()
{
    std::string why = aborted_ ? (abortReason_.empty() ? "The transfer was aborted" : abortReason_) : "";
    if (why.empty() && StopCheck)
        why = StopCheck();
    if (!why.empty()) {
        aborted_ = false;
        abortReason_.clear();
        Disconnect();
        throw EAbortError(why);
    }
}

// Sleeps until the socket has something for libssh (or can take its
// pending output), or a bound passes that keeps the window's events (20 ms),
// the time-out, the overdue notice and StopCheck on time.
void TSshSession::wait(bool connecting)
{
    checkAbort();
    // Silent for long (a command may be, or a host that hangs): the user may
    // be offered a way out; the step itself goes on.
    if (OverdueAfterMs > 0 && !overdue_ && nowMs() - lastProgress_ > OverdueAfterMs) {
        overdue_ = true;
        if (OnOverdue)
            OnOverdue(true);
        checkAbort();
    }
    if (nowMs() > deadline_) {
        const std::string host = Host;
        Disconnect();
        throw ESshError("No answer from " + host + " over SSH for " + std::to_string(TimeOutSeconds) +
                        " seconds");
    }
    // The window's own events are processed after the wait, so it stays
    // live; a poll on the socket alone costs nothing while data streams.
    int64_t bound = QCoreApplication::instance() ? 20 : 100;
    const int64_t now = nowMs();
    if (deadline_ != std::numeric_limits<int64_t>::max())
        bound = std::min(bound, deadline_ - now + 1);
    if (OverdueAfterMs > 0 && !overdue_)
        bound = std::min(bound, lastProgress_ + OverdueAfterMs - now + 1);
    bound = std::max<int64_t>(bound, 1);
    const int fd = session_ ? ssh_get_fd(session_) : -1;
    if (fd >= 0) {
        // Writable matters only while the TCP connection is being made or
        // libssh holds output the socket did not take; else it is always
        // true and the wait would spin.
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        const bool write = (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) ||
                           (connecting && ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0);
        pollfd p{fd, static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
        ::poll(&p, 1, static_cast<int>(bound));
    } else {
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, static_cast<int>(bound));
    }
    platform::ProcessMessages();
    lastPump_ = nowMs();
    checkAbort();
}

// Before libssh has the server's version line: a server that answers with
// anything else (an FTP server's "220 ...") is named as what it is.
void TSshSession::checkBanner()
{
    if (!session_ || ssh_get_serverbanner(session_))
        return;
    const int fd = ssh_get_fd(session_);
    char buf[256];
    const ssize_t n = fd >= 0 ? ::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT) : -1;
    if (n > 0 && notSsh_.empty()) {
        std::string line(buf, static_cast<size_t>(n));
        line = line.substr(0, line.find_first_of("\r\n"));
        if (line.rfind("SSH-", 0) != 0) {
            notSsh_ = HostText(line);
            notSshSince_ = nowMs();
        }
    }
    if (notSsh_.empty())
        return;
    // Lines before the version line are allowed, a reply code (FTP, SMTP)
    // never is; anything else gets a few seconds to end in one.
    const bool replyCode = notSsh_.size() >= 4 && std::isdigit(static_cast<unsigned char>(notSsh_[0])) &&
                           std::isdigit(static_cast<unsigned char>(notSsh_[1])) &&
                           std::isdigit(static_cast<unsigned char>(notSsh_[2])) &&
                           (notSsh_[3] == ' ' || notSsh_[3] == '-');
    if (replyCode || nowMs() - notSshSince_ > 3000) {
        const std::string what = "The server on " + Host + " port " + std::to_string(remotePort_) +
                                 " is not an SSH server: it answered \"" + notSsh_ + "\"";
        Disconnect();
        throw ESshError(what);
    }
}

void TSshSession::Connect()
{
    Disconnect();
    aborted_ = false;
    fingerprint_.clear();
    authMethod_.clear();
    notSsh_.clear();
    session_ = ssh_new();
    if (!session_)
        throw ESshError("Cannot start an SSH session");
    const long timeout = TimeOutSeconds;
    const std::string dir = sshDir();
    const std::string known = knownHostsFile();
    const std::string global = GlobalKnownHostsFile.empty() ? "/dev/null" : GlobalKnownHostsFile;
    const bool noConfig = false;
    const int nodelay = 1;
    if (ssh_options_set(session_, SSH_OPTIONS_HOST, Host.c_str()) != 0 ||
        (!UserID.empty() && ssh_options_set(session_, SSH_OPTIONS_USER, UserID.c_str()) != 0) ||
        ssh_options_set(session_, SSH_OPTIONS_SSH_DIR, dir.c_str()) != 0 ||
        ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, known.c_str()) != 0 ||
        ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, global.c_str()) != 0 ||
        ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout) != 0 ||
        // SFTP's small requests go out while replies stream in: Nagle would
        // hold each one for the peer's delayed ACK.
        ssh_options_set(session_, SSH_OPTIONS_NODELAY, &nodelay) != 0)
        fail("Cannot set up the SSH session for " + Host);
    // The configuration is read now, so that what the command line gives
    // (the port, the user) is set after it and wins, as with ssh.
    if (ReadConfig && ssh_options_parse_config(session_, nullptr) != 0)
        fail("Cannot read the SSH configuration for " + Host);
    ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &noConfig);
    if (Port > 0) {
        const unsigned port = static_cast<unsigned>(Port);
        if (ssh_options_set(session_, SSH_OPTIONS_PORT, &port) != 0)
            fail("Cannot set up the SSH session for " + Host);
    }
    if (!UserID.empty())
        ssh_options_set(session_, SSH_OPTIONS_USER, UserID.c_str());
    unsigned effectivePort = 22;
    ssh_options_get_port(session_, &effectivePort);
    remotePort_ = static_cast<int>(effectivePort);
    char *effectiveHost = nullptr;
    remoteHost_ = ssh_options_get(session_, SSH_OPTIONS_HOST, &effectiveHost) == SSH_OK && effectiveHost
                      ? effectiveHost
                      : Host;
    ssh_string_free_char(effectiveHost);
    ssh_set_blocking(session_, 0);
    progressMade();
    int rc;
    while ((rc = ssh_connect(session_)) == SSH_AGAIN) {
        checkBanner();
        wait(true);
        checkBanner();
    }
    if (rc != SSH_OK) {
        if (!notSsh_.empty()) {
            const std::string what = "The server on " + Host + " port " + std::to_string(remotePort_) +
                                     " is not an SSH server: it answered \"" + notSsh_ + "\"";
            Disconnect();
            throw ESshError(what);
        }
        fail("Cannot connect to " + Host + " port " + std::to_string(remotePort_) + " over SSH");
    }
    // A remote command may run for as long as it needs without a byte on
    // the wire; a host that is gone shows through TCP keepalive instead.
    if (const int fd = ssh_get_fd(session_); fd >= 0) {
        const int on = 1, idle = 60, interval = 10, count = 6;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    }
    checkHostKey();
    signOn();
}

void TSshSession::checkHostKey()
{
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session_, &key) != SSH_OK)
        fail("The host " + Host + " showed no host key");
    struct KeyFree {
        ssh_key k;
        ~KeyFree() { ssh_key_free(k); }
    } keyFree{key};
    fingerprint_ = knownhosts::fingerprint(key);
    const std::string host = KnownHostsName(remoteHost_, remotePort_);
    std::vector<std::string> files{knownHostsFile()};
    if (!GlobalKnownHostsFile.empty())
        files.push_back(GlobalKnownHostsFile);
    const knownhosts::Check known = knownhosts::check(files, host, key);
    switch (known.verdict) {
    case knownhosts::Verdict::Trusted:
        return;
    case knownhosts::Verdict::Revoked:
        Disconnect();
        throw EHostKeyRefused("The host key of " + host + " (" + fingerprint_ + ") is revoked in " + known.where +
                              "; not signed on");
    case knownhosts::Verdict::CertAuthority:
        // libssh checks no host certificates: the host's own key would have
        // to be trusted instead, and that is the user's call, not ours.
        Disconnect();
        throw EHostKeyRefused("The host " + host + " is vouched for by a certificate authority (" + known.where +
                              "), and this client cannot check host certificates; not signed on. Add the "
                              "host's own key (" + fingerprint_ + ") to " + knownHostsFile() +
                              " if its administrator confirms it.");
    case knownhosts::Verdict::Changed: {
        // Nothing has been sent but our version string: the password stays
        // with us when another machine answers under the host's name.
        std::string others;
        for (const auto &f : known.knownFingerprints)
            others += (others.empty() ? "" : ", ") + f;
        Disconnect();
        throw EHostKeyChanged(
            "The host key of " + host + " has changed: " + known.where + " knows " +
            (others.empty() ? "another key" : others) + ", the host now shows " + fingerprint_ +
            ". Not signed on; if the host's key was really replaced, remove the old line from " +
            knownHostsFile() + ".");
    }
    case knownhosts::Verdict::Unknown:
        break;
    }
    TCertAnswer answer = TCertAnswer::Reject;
    if (OnUnknownHostKey)
        OnUnknownHostKey(fingerprint_, answer);
    progressMade();
    if (answer == TCertAnswer::Reject) {
        Disconnect();
        throw EHostKeyRejected("The host key of " + host + " (" + fingerprint_ + ") was not trusted; not signed on");
    }
    if (answer == TCertAnswer::AcceptAndRemember) {
        std::vector<std::string> configs;
        if (ReadConfig)
            configs = {sshDir() + "/config", "/etc/ssh/ssh_config"};
        const std::string problem =
            knownhosts::append(knownHostsFile(), host, key, knownhosts::hashKnownHosts(configs, Host));
        if (!problem.empty()) {
            Disconnect();
            throw ESshError("Cannot add the host key of " + host + " to " + knownHostsFile() + ": " + problem);
        }
    }
}

void TSshSession::signOn()
{
    int rc;
    progressMade();
    while ((rc = ssh_userauth_none(session_, nullptr)) == SSH_AUTH_AGAIN)
        wait();
    if (rc == SSH_AUTH_ERROR)
        fail("Sign-on to " + Host + " over SSH failed");
    if (rc == SSH_AUTH_SUCCESS) {
        authMethod_ = "none";
        return;
    }
    const int methods = ssh_userauth_list(session_, nullptr);
    // The agent's keys, then the keys in the SSH folder, as ssh tries them.
    if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
        while ((rc = ssh_userauth_publickey_auto(session_, nullptr, nullptr)) == SSH_AUTH_AGAIN)
            wait();
        if (rc == SSH_AUTH_ERROR)
            fail("Sign-on to " + Host + " over SSH failed");
        if (rc == SSH_AUTH_SUCCESS) {
            authMethod_ = "publickey";
            return;
        }
    }
    // The password is tried once per run, by one method: each try counts
    // against the profile's sign-on attempts (QMAXSIGN), and a second try
    // with the same password could only fail again.
    bool tried = false;
    if (!Password.empty() && (methods & SSH_AUTH_METHOD_PASSWORD)) {
        tried = true;
        while ((rc = ssh_userauth_password(session_, nullptr, Password.c_str())) == SSH_AUTH_AGAIN)
            wait();
        if (rc == SSH_AUTH_SUCCESS) {
            authMethod_ = "password";
            return;
        }
        if (rc == SSH_AUTH_ERROR)
            fail("Sign-on to " + Host + " over SSH failed");
    } else if (!Password.empty() && (methods & SSH_AUTH_METHOD_INTERACTIVE)) {
        // Hosts that ask through keyboard-interactive prompts: the first
        // hidden prompt gets the password; a host that asks again is told
        // nothing more.
        bool given = false;
        for (int round = 0; round < 4; ++round) {
            while ((rc = ssh_userauth_kbdint(session_, nullptr, nullptr)) == SSH_AUTH_AGAIN)
                wait();
            if (rc != SSH_AUTH_INFO)
                break;
            const int prompts = ssh_userauth_kbdint_getnprompts(session_);
            bool hidden = false;
            for (int i = 0; i < prompts; ++i) {
                char echo = 0;
                ssh_userauth_kbdint_getprompt(session_, static_cast<unsigned>(i), &echo);
                hidden = hidden || !echo;
            }
            if (hidden && given)
                break;
            for (int i = 0; i < prompts; ++i) {
                char echo = 0;
                ssh_userauth_kbdint_getprompt(session_, static_cast<unsigned>(i), &echo);
                const bool answer = !echo && !given;
                ssh_userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), answer ? Password.c_str() : "");
            }
            if (hidden) {
                given = true;
                tried = true;
            }
        }
        if (rc == SSH_AUTH_SUCCESS) {
            authMethod_ = "keyboard-interactive";
            return;
        }
    }
    const std::string user = UserID;
    const std::string host = Host;
    Disconnect();
    if (tried)
        throw ESshAuthFailed("The host refused the password for " + user);
    throw ESshAuthFailed("User " + user + " was not accepted by " + host +
                         (Password.empty() ? " over SSH (no key was taken and no password was given)"
                                           : " over SSH (no key was taken and the host takes no password)"));
}

TSshResult TSshSession::run(const std::string &command, int outFd, std::size_t maxOutput, int inFd,
                            int64_t total, const TSshProgressEvent &progress)
{
    if (!session_)
        throw ESshError("Not connected to " + Host + " over SSH");
    progressMade();
    Channel c{session_, session_};
    c.ch = ssh_channel_new(session_);
    if (!c.ch)
        fail("Cannot open an SSH channel to " + Host);
    int rc;
    while ((rc = ssh_channel_open_session(c.ch)) == SSH_AGAIN)
        wait();
    if (rc != SSH_OK)
        fail("Cannot open an SSH channel to " + Host);
    while ((rc = ssh_channel_request_exec(c.ch, command.c_str())) == SSH_AGAIN)
        wait();
    if (rc != SSH_OK)
        fail("The host " + Host + " would not run a command over SSH");
    // A CL command (a SAVLIB of a large library) says nothing until it
    // ends: it is given all the time it needs. Transfers are timed.
    struct Untimed {
        bool &flag;
        ~Untimed() { flag = false; }
    } untimed{untimed_};
    untimed_ = inFd < 0 && outFd < 0;
    progressMade();

    TSshResult r;
    std::vector<char> buf(256 * 1024);
    int64_t moved = 0;
    std::vector<char> pending; // read from the file, not yet taken by the channel
    size_t pendingOff = 0;
    bool inputDone = inFd < 0;
    bool inputCut = false; // the command went before it took the whole file
    if (inputDone)
        ssh_channel_send_eof(c.ch);
    bool outEof = false, errEof = false;
    while (!(outEof && errEof)) {
        bool busy = false;
        // Our side first: the file into the channel as far as its window goes.
        if (!inputDone && inputCut) {
            inputDone = true;
            r.InputCut = true;
        }
        if (!inputDone) {
            if (pendingOff == pending.size()) {
                pending.resize(64 * 1024);
                const ssize_t n = ::read(inFd, pending.data(), pending.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throw std::runtime_error("Cannot read the file being sent");
                pending.resize(static_cast<size_t>(n));
                pendingOff = 0;
                if (n == 0) {
                    inputDone = true;
                    while ((rc = ssh_channel_send_eof(c.ch)) == SSH_AGAIN)
                        wait();
                    if (rc == SSH_ERROR)
                        fail("The upload to " + Host + " was broken off");
                }
            }
            if (pendingOff < pending.size() && (ssh_channel_is_eof(c.ch) || ssh_channel_is_closed(c.ch))) {
                // The command is gone: what it said comes below.
                pendingOff = pending.size();
                inputCut = true;
            }
            if (pendingOff < pending.size()) {
                const int w = ssh_channel_write(c.ch, pending.data() + pendingOff,
                                                static_cast<uint32_t>(pending.size() - pendingOff));
                if (w == SSH_ERROR && ssh_channel_is_closed(c.ch)) {
                    pendingOff = pending.size();
                    inputCut = true;
                    continue;
                }
                if (w == SSH_ERROR)
                    fail("The upload to " + Host + " was broken off");
                if (w > 0) {
                    pendingOff += static_cast<size_t>(w);
                    moved += w;
                    busy = true;
                    progressMade();
                    if (progress)
                        progress(moved, total);
                }
            }
        }
        for (int stream = 0; stream < 2; ++stream) {
            bool &eof = stream == 0 ? outEof : errEof;
            if (eof)
                continue;
            const int n =
                ssh_channel_read_nonblocking(c.ch, buf.data(), static_cast<uint32_t>(buf.size()), stream);
            if (n == SSH_ERROR)
                fail("The connection to " + Host + " broke off");
            if (n > 0) {
                busy = true;
                progressMade();
                if (stream == 0 && outFd >= 0) {
                    if (!writeAll(outFd, buf.data(), static_cast<size_t>(n)))
                        throw std::runtime_error("Cannot write the file being received");
                    moved += n;
                    if (progress)
                        progress(moved, total);
                } else {
                    std::string &text = stream == 0 ? r.Out : r.Err;
                    if (text.size() < maxOutput)
                        text.append(buf.data(), std::min(static_cast<size_t>(n), maxOutput - text.size()));
                }
            } else if (n == SSH_EOF || ssh_channel_is_eof(c.ch) || ssh_channel_is_closed(c.ch)) {
                // A read that brings nothing once the host has sent EOF means
                // both streams are drained.
                if (ssh_channel_poll(c.ch, stream) <= 0)
                    eof = true;
            }
        }
        if (!busy && !(outEof && errEof)) {
            wait();
        } else if (nowMs() - lastPump_ > 20) {
            // Data keeps coming: the window and Cancel still get their turn.
            platform::ProcessMessages();
            lastPump_ = nowMs();
            checkAbort();
        }
    }
    if (!inputDone)
        r.InputCut = true;
    // The exit status may trail the end of the output.
    while ((r.ExitStatus = ssh_channel_get_exit_status(c.ch)) == -1 && !ssh_channel_is_closed(c.ch))
        wait();
    // A command that did not take the whole file never counts as done.
    if (r.InputCut && r.ExitStatus == 0)
        r.ExitStatus = -1;
    return r;
}

TSshResult TSshSession::Exec(const std::string &command, std::size_t maxOutput)
{
    TSshResult r = run(command, -1, maxOutput, -1, 0, {});
    r.Out = HostText(r.Out);
    r.Err = HostText(r.Err);
    return r;
}
