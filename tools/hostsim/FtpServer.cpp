#include "FtpServer.h"

#include "ClParser.h"
#include "Ebcdic.h"
#include "SaveFile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hostsim {

namespace {

constexpr size_t kBuffer = 256 * 1024;

// Holds a transfer to --transfer-rate: after `bytes` in all it sleeps until
// they took as long as the rate allows.
class Pacer {
public:
    explicit Pacer(long long rate) : rate_(rate), start_(std::chrono::steady_clock::now()) {}
    void moved(long long bytes)
    {
        if (rate_ <= 0)
            return;
        total_ += bytes;
        std::this_thread::sleep_until(start_ + std::chrono::microseconds(total_ * 1000000 / rate_));
    }

private:
    long long rate_;
    long long total_ = 0;
    std::chrono::steady_clock::time_point start_;
};
constexpr int kDataTimeoutMs = 30000;

std::string upperAscii(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string trimRight(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n'))
        s.pop_back();
    return s;
}

void setTimeouts(int fd, int seconds)
{
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendAll(int fd, const char *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// A transfer's target or source: LIB/FILE(.MBR) in either name format.
struct FileTarget {
    std::string library;
    std::string file;
    std::string member;
    bool savfSuffix = false; // named NAME.SAVF in the path
    bool pathForm = false;   // given as a /QSYS.LIB path (name format 1)
};

enum class Outcome { Done, Aborted, Failed };

// Records what OpenSSL reads from and writes to the socket, so --wire-log
// holds the bytes as they crossed the wire.
long wireTap(BIO *bio, int oper, const char *argp, size_t, int, long, int ret, size_t *processed)
{
    if ((oper == (BIO_CB_READ | BIO_CB_RETURN) || oper == (BIO_CB_WRITE | BIO_CB_RETURN)) && ret > 0 && processed)
        static_cast<FtpServer *>(static_cast<void *>(BIO_get_callback_arg(bio)))->logWire(argp, *processed);
    return ret;
}

// A connection's TLS layer, made and shaken hands with on a blocking socket.
SSL *acceptTls(FtpServer &server, int fd)
{
    SSL *ssl = SSL_new(server.tlsContext());
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    // Records leave through a buffer and go out together when a send is
    // complete (ioSendAll flushes), not with one write() each.
    BIO *sock = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO *buffered = BIO_new(BIO_f_buffer());
    if (!sock || !buffered || BIO_set_write_buffer_size(buffered, 256 * 1024) != 1) {
        BIO_free(sock);
        BIO_free(buffered);
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set0_wbio(ssl, BIO_push(buffered, sock));
    if (server.wireLogging()) {
        for (BIO *bio : {SSL_get_rbio(ssl), sock}) {
            BIO_set_callback_ex(bio, wireTap);
            BIO_set_callback_arg(bio, static_cast<char *>(static_cast<void *>(&server)));
        }
    }
    ERR_clear_error();
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

// close_notify, pushed through the write buffer at once.
void sendCloseNotify(SSL *ssl)
{
    SSL_shutdown(ssl);
    BIO_flush(SSL_get_wbio(ssl));
}

// recv/send through TLS when the connection has it. Receiving answers 0 only
// for a clean end (close_notify under TLS), -1 for anything else.
ssize_t ioRecv(FtpServer &server, int fd, SSL *ssl, char *buf, size_t len)
{
    if (ssl) {
        size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl, buf, len, &got) != 1) {
            const int e = SSL_get_error(ssl, 0);
            ERR_clear_error();
            return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
        // Records already read ahead go along, one file write for many.
        while (got < len && SSL_has_pending(ssl) == 1) {
            size_t more = 0;
            if (SSL_read_ex(ssl, buf + got, len - got, &more) != 1) {
                ERR_clear_error(); // met again by the next call
                break;
            }
            got += more;
        }
        return static_cast<ssize_t>(got);
    }
    ssize_t n;
    do
        n = ::recv(fd, buf, len, 0);
    while (n < 0 && errno == EINTR);
    if (n > 0 && server.wireLogging())
        server.logWire(buf, static_cast<size_t>(n));
    return n;
}

bool ioSendAll(FtpServer &server, int fd, SSL *ssl, const char *data, size_t len)
{
    if (ssl) {
        while (len > 0) {
            size_t put = 0;
            ERR_clear_error();
            if (SSL_write_ex(ssl, data, len, &put) != 1) {
                ERR_clear_error();
                return false;
            }
            data += put;
            len -= put;
        }
        return BIO_flush(SSL_get_wbio(ssl)) == 1;
    }
    if (server.wireLogging())
        server.logWire(data, len);
    return sendAll(fd, data, len);
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

class FtpSession {
public:
    FtpSession(FtpServer &server, int fd, std::atomic<int> &dataFd)
        : server_(server), cfg_(server.config()), fd_(fd), dataFdSlot_(dataFd)
    {
    }
    ~FtpSession()
    {
        closePassive();
        if (ctlSsl_) {
            sendCloseNotify(ctlSsl_);
            SSL_free(ctlSsl_);
        }
    }
    void run();

private:
    bool readLine(std::string &line);
    void reply(const std::string &text);
    void handle(const std::string &verb, const std::string &arg);

    void cmdAuth(const std::string &arg);
    void cmdProt(const std::string &arg);
    bool secureData(int dataFd);
    ssize_t dataRecv(int fd, char *buf, size_t len) { return ioRecv(server_, fd, dataSsl_, buf, len); }
    bool dataSend(int fd, const char *p, size_t len) { return ioSendAll(server_, fd, dataSsl_, p, len); }
    void cmdPass(const std::string &arg);
    void cmdType(const std::string &arg);
    void cmdPort(const std::string &arg, bool extended);
    void cmdPasv(bool extended);
    void cmdCwd(const std::string &arg);
    void cmdPwd();
    void cmdSite(const std::string &arg);
    void cmdRcmd(const std::string &arg);
    void cmdRetr(const std::string &arg);
    void cmdSize(const std::string &arg);
    void cmdStor(const std::string &arg);
    void cmdList(const std::string &arg, bool names);

    bool resolveFile(const std::string &arg, FileTarget &t, std::string &err) const;
    std::optional<fs::path> findFile(const std::string &arg, FileTarget &t, std::string &err) const;
    bool resolvePath(const std::string &arg, std::vector<std::string> &comps) const;
    std::string currentPath() const;
    int openData();
    void closePassive();
    void endTransfer(Outcome outcome, int dataFd);

    FtpServer &server_;
    const ServerConfig &cfg_;
    int fd_;
    std::atomic<int> &dataFdSlot_;
    std::string inbuf_;
    std::unique_ptr<HostJob> job_;
    std::string pendingUser_;
    bool loggedIn_ = false;
    bool binary_ = false;
    int nameFormat_ = 0;
    std::string curLibrary_ = "QGPL";
    std::vector<std::string> curDir_{"QSYS.LIB", "QGPL.LIB"};
    bool haveActive_ = false;
    sockaddr_storage active_{};
    int pasvFd_ = -1;
    sockaddr_storage local_{}; // IPv4 or IPv6, as the client came
    sockaddr_storage peer_{};
    bool quit_ = false;
    SSL *ctlSsl_ = nullptr;
    SSL *dataSsl_ = nullptr;
    bool pbsz_ = false;
    bool protData_ = false;
};

void FtpSession::run()
{
    socklen_t len = sizeof local_;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&local_), &len);
    len = sizeof peer_;
    ::getpeername(fd_, reinterpret_cast<sockaddr *>(&peer_), &len);
    job_ = std::make_unique<HostJob>(server_.store(), cfg_.host, server_.nextJobNumber());
    // Every reply leaves in one send: holding it back for the client's
    // delayed ACK (Nagle) would only add 40 ms per exchange.
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (cfg_.tlsMode == TlsMode::Implicit) {
        setTimeouts(fd_, 30);
        ctlSsl_ = acceptTls(server_, fd_);
        setTimeouts(fd_, 0);
        if (!ctlSsl_)
            return;
    }

    reply("220-QTCP at " + upperAscii(cfg_.host.system) + ".\n220 Connection will close if idle more than " +
          std::to_string(std::max(1, (cfg_.idleSeconds + 59) / 60)) + " minutes.");
    std::string line;
    while (!quit_ && readLine(line)) {
        const auto blank = line.find(' ');
        const std::string verb = upperAscii(line.substr(0, blank));
        std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        server_.logCommand(verb == "PASS" ? "PASS ****" : line);
        handle(verb, arg);
    }
}

bool FtpSession::readLine(std::string &line)
{
    while (true) {
        const auto nl = inbuf_.find('\n');
        if (nl != std::string::npos) {
            line = inbuf_.substr(0, nl);
            inbuf_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            // Telnet commands (IAC sequences) carry nothing for us.
            std::string clean;
            for (size_t i = 0; i < line.size(); ++i) {
                if (static_cast<uint8_t>(line[i]) == 0xFF && i + 1 < line.size()) {
                    ++i;
                    continue;
                }
                clean.push_back(line[i]);
            }
            line = clean;
            return true;
        }
        if (inbuf_.size() > 64 * 1024)
            return false; // not an FTP client
        if (!ctlSsl_ || SSL_has_pending(ctlSsl_) == 0) {
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, cfg_.idleSeconds * 1000);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false; // idle too long, as the greeting warned
        }
        char buf[4096];
        const ssize_t n = ioRecv(server_, fd_, ctlSsl_, buf, sizeof buf);
        if (n <= 0)
            return false;
        inbuf_.append(buf, static_cast<size_t>(n));
    }
}

void FtpSession::reply(const std::string &rawText)
{
    // Replies echo client text (commands, names); a stray CR must not start
    // a line of its own on the client's side.
    std::string text = rawText;
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        const auto nl = text.find('\n', start);
        out += text.substr(start, nl == std::string::npos ? std::string::npos : nl - start) + "\r\n";
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    ioSendAll(server_, fd_, ctlSsl_, out.data(), out.size());
}

void FtpSession::handle(const std::string &verb, const std::string &arg)
{
    if (verb == "QUIT") {
        reply("221 QUIT subcommand received.");
        quit_ = true;
        return;
    }
    if (cfg_.tlsMode != TlsMode::Off && !ctlSsl_ && (verb == "USER" || verb == "PASS"))
        return reply("530 Use AUTH TLS before signing on.");
    if (verb == "USER") {
        pendingUser_ = upperAscii(trimRight(arg));
        loggedIn_ = false;
        reply("331 Enter password.");
        return;
    }
    if (verb == "PASS")
        return cmdPass(arg);
    if (verb == "NOOP")
        return reply("200 NOOP subcommand successful.");
    if (verb == "SYST")
        return reply("215  OS/400 is the remote operating system. The TCP/IP version is \"" + cfg_.host.release +
                     "\".");
    if (verb == "FEAT")
        return reply(std::string("211-Feature listing follows:\n AUTH TLS\n CCC\n PBSZ\n PROT\n EPSV\n EPRT\n") +
                     (cfg_.answerSize ? " SIZE\n" : "") + "211 End of feature listing.");
    if (verb == "OPTS")
        return reply("501 OPTS unsuccessful; specified subcommand not recognized.");
    if (verb == "AUTH")
        return cmdAuth(arg);
    if (verb == "PBSZ") {
        if (!ctlSsl_)
            return reply("503 Secure control connection required first.");
        pbsz_ = true;
        return reply("200 PBSZ subcommand successful.");
    }
    if (verb == "PROT")
        return cmdProt(arg);

    static const char *const kKnown[] = {"TYPE", "MODE", "STRU", "PORT", "EPRT", "PASV", "EPSV", "RETR",
                                         "STOR", "RCMD", "CWD",  "XCWD", "CDUP", "PWD",  "XPWD", "SITE",
                                         "LIST", "NLST", "SIZE"};
    bool known = false;
    for (const char *k : kKnown)
        known = known || verb == k;
    if (verb == "SIZE" && !cfg_.answerSize)
        known = false;
    if (!known)
        return reply("500 Subcommand " + verb + " not valid.");
    if (!loggedIn_)
        return reply("530 Not logged in.");
    if (verb == "TYPE") return cmdType(arg);
    if (verb == "MODE") return reply(upperAscii(arg) == "S" ? "200 Data transfer mode is STREAM." : "504 Mode not supported.");
    if (verb == "STRU") return reply(upperAscii(arg) == "F" ? "200 Data structure is file." : "504 Structure not supported.");
    if (verb == "PORT") return cmdPort(arg, false);
    if (verb == "EPRT") return cmdPort(arg, true);
    if (verb == "PASV") return cmdPasv(false);
    if (verb == "EPSV") return cmdPasv(true);
    if (verb == "RETR") return cmdRetr(arg);
    if (verb == "SIZE") return cmdSize(arg);
    if (verb == "STOR") return cmdStor(arg);
    if (verb == "RCMD") return cmdRcmd(arg);
    if (verb == "CWD" || verb == "XCWD") return cmdCwd(arg);
    if (verb == "CDUP") return cmdCwd("..");
    if (verb == "PWD" || verb == "XPWD") return cmdPwd();
    if (verb == "SITE") return cmdSite(arg);
    if (verb == "LIST") return cmdList(arg, false);
    if (verb == "NLST") return cmdList(arg, true);
}

void FtpSession::cmdAuth(const std::string &arg)
{
    if (!server_.tlsContext())
        return reply("431 Requested security mechanism not available at this time.");
    if (ctlSsl_)
        return reply("503 Security environment already established.");
    const std::string mech = upperAscii(trimRight(arg));
    // TLS and TLS-C protect the control connection only; TLS-P and SSL also
    // the data connection (AUTH TLS-C, PBSZ 0, PROT P in one).
    if (mech == "TLS-P" || mech == "SSL") {
        pbsz_ = true;
        protData_ = true;
    } else if (mech != "TLS" && mech != "TLS-C") {
        return reply("504 Security mechanism " + mech + " not supported.");
    }
    reply("234 Security environment established; ready for negotiation.");
    // Whatever was sent in the clear behind AUTH is not taken as protected.
    inbuf_.clear();
    setTimeouts(fd_, 30);
    ctlSsl_ = acceptTls(server_, fd_);
    setTimeouts(fd_, 0);
    if (!ctlSsl_)
        quit_ = true;
}

void FtpSession::cmdProt(const std::string &arg)
{
    if (!ctlSsl_)
        return reply("503 Secure control connection required first.");
    if (!pbsz_)
        return reply("503 PBSZ subcommand required first.");
    const std::string level = upperAscii(trimRight(arg));
    if (level == "P")
        protData_ = true;
    else if (level == "C")
        protData_ = false;
    else
        return reply("504 Protection level " + level + " not supported.");
    reply("200 PROT subcommand successful.");
}

// After the 150 reply: the client shakes hands on the data connection.
bool FtpSession::secureData(int dataFd)
{
    if (!protData_)
        return true;
    dataSsl_ = acceptTls(server_, dataFd);
    return dataSsl_ != nullptr;
}

void FtpSession::cmdPass(const std::string &arg)
{
    if (pendingUser_.empty())
        return reply("503 Send USER subcommand first.");
    bool ok = cfg_.users.empty();
    for (const auto &[user, password] : cfg_.users)
        ok = ok || (user == pendingUser_ && password == arg);
    if (!ok) {
        reply("530 Log on attempt by user " + pendingUser_ + " rejected.");
        pendingUser_.clear();
        return;
    }
    loggedIn_ = true;
    job_->signedOn(pendingUser_);
    reply("230 " + pendingUser_ + " logged on.");
}

void FtpSession::cmdType(const std::string &arg)
{
    const std::string a = upperAscii(trimRight(arg));
    if (a == "A" || a == "A N") {
        binary_ = false;
        return reply("200 Representation type is ASCII nonprint.");
    }
    if (a == "I" || a == "L 8") {
        binary_ = true;
        return reply("200 Representation type is binary IMAGE.");
    }
    reply("504 Representation type " + a + " not supported.");
}

void FtpSession::cmdPort(const std::string &arg, bool extended)
{
    sockaddr_storage ss{};
    auto *addr = reinterpret_cast<sockaddr_in *>(&ss);
    auto *addr6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    const bool v6 = peer_.ss_family == AF_INET6;
    if (extended) {
        // EPRT |1|127.0.0.1|5282|, EPRT |2|::1|5282|
        if (arg.size() < 4)
            return reply("501 EPRT subcommand not valid.");
        const char d = arg[0];
        std::vector<std::string> parts;
        size_t pos = 1;
        while (pos <= arg.size()) {
            const auto next = arg.find(d, pos);
            if (next == std::string::npos)
                break;
            parts.push_back(arg.substr(pos, next - pos));
            pos = next + 1;
        }
        const bool ok =
            parts.size() == 3 &&
            (v6 ? parts[0] == "2" && ::inet_pton(AF_INET6, parts[1].c_str(), &addr6->sin6_addr) == 1
                : parts[0] == "1" && ::inet_pton(AF_INET, parts[1].c_str(), &addr->sin_addr) == 1);
        if (!ok)
            return reply(v6 ? "522 Network protocol not supported, use (2)."
                            : "522 Network protocol not supported, use (1).");
        const long port = std::strtol(parts[2].c_str(), nullptr, 10);
        if (port <= 0 || port > 65535)
            return reply("501 EPRT subcommand not valid.");
        if (v6)
            addr6->sin6_port = htons(static_cast<uint16_t>(port));
        else
            addr->sin_port = htons(static_cast<uint16_t>(port));
    } else {
        unsigned v[6];
        char tail;
        if (v6 || std::sscanf(arg.c_str(), "%u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                              &tail) != 6)
            return reply("501 PORT subcommand not valid.");
        for (unsigned x : v)
            if (x > 255)
                return reply("501 PORT subcommand not valid.");
        addr->sin_addr.s_addr = htonl((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]);
        addr->sin_port = htons(static_cast<uint16_t>((v[4] << 8) | v[5]));
    }
    ss.ss_family = peer_.ss_family;
    // Data connections go only back to the client itself (no bounce attacks).
    const bool same =
        v6 ? std::memcmp(&addr6->sin6_addr, &reinterpret_cast<sockaddr_in6 *>(&peer_)->sin6_addr, 16) == 0
           : addr->sin_addr.s_addr == reinterpret_cast<sockaddr_in *>(&peer_)->sin_addr.s_addr;
    if (!same)
        return reply("501 PORT address must be that of the client.");
    closePassive();
    active_ = ss;
    haveActive_ = true;
    reply(extended ? "200 EPRT subcommand request successful." : "200 PORT subcommand request successful.");
}

void FtpSession::cmdPasv(bool extended)
{
    closePassive();
    haveActive_ = false;
    const bool v6 = local_.ss_family == AF_INET6;
    // PASV can only name an IPv4 address.
    if (v6 && !extended)
        return reply("522 Network protocol not supported, use EPSV.");
    pasvFd_ = ::socket(local_.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss = local_;
    auto *addr = reinterpret_cast<sockaddr_in *>(&ss);
    if (v6)
        reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = 0;
    else
        addr->sin_port = 0;
    socklen_t len = sizeof ss;
    const socklen_t size = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (pasvFd_ < 0 || ::bind(pasvFd_, reinterpret_cast<sockaddr *>(&ss), size) != 0 ||
        ::listen(pasvFd_, 1) != 0 || ::getsockname(pasvFd_, reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        closePassive();
        return reply("425 Cannot open passive connection.");
    }
    const unsigned port = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port : addr->sin_port);
    if (extended)
        return reply("229 Entering Extended Passive Mode (!!!" + std::to_string(port) + "!).");
    const uint32_t ip = ntohl(addr->sin_addr.s_addr);
    char buf[96];
    std::snprintf(buf, sizeof buf, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", ip >> 24, (ip >> 16) & 255,
                  (ip >> 8) & 255, ip & 255, port >> 8, port & 255);
    reply(buf);
}

void FtpSession::closePassive()
{
    if (pasvFd_ >= 0)
        ::close(pasvFd_);
    pasvFd_ = -1;
}

int FtpSession::openData()
{
    int fd = -1;
    if (pasvFd_ >= 0) {
        // Also watch the control connection, so a client that goes away (or
        // a server shutting down) does not leave us waiting the full time.
        pollfd p[2] = {{pasvFd_, POLLIN, 0}, {fd_, POLLRDHUP, 0}};
        if (::poll(p, 2, kDataTimeoutMs) > 0 && (p[0].revents & POLLIN) &&
            !(p[1].revents & (POLLRDHUP | POLLHUP | POLLERR)))
            fd = ::accept4(pasvFd_, nullptr, nullptr, SOCK_CLOEXEC);
        closePassive();
    } else if (haveActive_) {
        fd = ::socket(active_.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd >= 0) {
            const socklen_t size = active_.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            int r = ::connect(fd, reinterpret_cast<sockaddr *>(&active_), size);
            if (r != 0 && errno == EINPROGRESS) {
                pollfd p[2] = {{fd, POLLOUT, 0}, {fd_, POLLRDHUP, 0}};
                int err = 0;
                socklen_t len = sizeof err;
                if (::poll(p, 2, kDataTimeoutMs) > 0 && (p[0].revents & POLLOUT) &&
                    !(p[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                    r = 0;
            }
            if (r != 0) {
                ::close(fd);
                fd = -1;
            } else {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            }
        }
        haveActive_ = false;
    }
    if (fd >= 0) {
        setTimeouts(fd, cfg_.idleSeconds);
        dataFdSlot_.store(fd);
    }
    return fd;
}

void FtpSession::endTransfer(Outcome outcome, int dataFd)
{
    if (dataSsl_) {
        // Only a complete transfer ends with close_notify: a client must be
        // able to tell it from one that was broken off.
        if (outcome == Outcome::Done)
            sendCloseNotify(dataSsl_);
        SSL_free(dataSsl_);
        dataSsl_ = nullptr;
    }
    dataFdSlot_.store(-1);
    ::shutdown(dataFd, SHUT_WR);
    ::close(dataFd);
    switch (outcome) {
    case Outcome::Done:
        reply(std::to_string(cfg_.transferEndCode) + " File transfer completed successfully.");
        break;
    case Outcome::Aborted:
        reply("426 Data transfer ended; connection closed.");
        break;
    case Outcome::Failed:
        reply("451 Data transfer failed.");
        break;
    }
}

// Path components below "/" in upper case, "." and ".." applied.
bool FtpSession::resolvePath(const std::string &arg, std::vector<std::string> &comps) const
{
    if (arg.empty() || arg[0] != '/')
        comps = curDir_;
    else
        comps.clear();
    size_t pos = 0;
    while (pos <= arg.size()) {
        auto next = arg.find('/', pos);
        if (next == std::string::npos)
            next = arg.size();
        const std::string part = upperAscii(arg.substr(pos, next - pos));
        if (part == "..") {
            if (!comps.empty())
                comps.pop_back();
        } else if (!part.empty() && part != ".") {
            comps.push_back(part);
        }
        pos = next + 1;
    }
    return true;
}

std::string FtpSession::currentPath() const
{
    std::string path;
    for (const auto &c : curDir_)
        path += "/" + c;
    return path.empty() ? "/" : path;
}

static bool stripSuffix(const std::string &part, const std::string &suffix, std::string &name)
{
    if (part.size() <= suffix.size() || part.compare(part.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    name = part.substr(0, part.size() - suffix.size());
    return isValidName(name);
}

bool FtpSession::resolveFile(const std::string &rawArg, FileTarget &t, std::string &err) const
{
    const std::string arg = trimRight(rawArg);
    const bool path = nameFormat_ == 1 || (!arg.empty() && arg[0] == '/');
    if (path && nameFormat_ == 0 && cfg_.strictNameFormat) {
        err = "501 File must be specified by library/file.member.";
        return false;
    }
    if (!path) {
        std::string rest = upperAscii(arg);
        t.library = curLibrary_;
        if (const auto slash = rest.find('/'); slash != std::string::npos) {
            t.library = rest.substr(0, slash);
            rest = rest.substr(slash + 1);
        }
        t.file = rest;
        if (const auto dot = rest.find('.'); dot != std::string::npos) {
            t.file = rest.substr(0, dot);
            t.member = rest.substr(dot + 1);
        }
        if (!isValidName(t.library) || !isValidName(t.file) || (!t.member.empty() && !isValidName(t.member))) {
            err = "501 File must be specified by library/file.member.";
            return false;
        }
        return true;
    }
    std::vector<std::string> comps;
    resolvePath(arg, comps);
    t.pathForm = true;
    std::string name;
    bool ok = !comps.empty() && comps[0] == "QSYS.LIB";
    size_t i = 1;
    t.library = "QSYS";
    if (ok && comps.size() >= 3 && stripSuffix(comps[1], ".LIB", name)) {
        t.library = name;
        i = 2;
    }
    if (ok && i < comps.size() && stripSuffix(comps[i], ".SAVF", name)) {
        t.file = name;
        t.savfSuffix = true;
        ok = i + 1 == comps.size();
    } else if (ok && i < comps.size() && stripSuffix(comps[i], ".FILE", name)) {
        t.file = name;
        if (i + 2 == comps.size())
            ok = stripSuffix(comps[i + 1], ".MBR", t.member);
        else
            ok = i + 1 == comps.size();
    } else {
        ok = false;
    }
    if (!ok) {
        err = "550 Specified file " + arg + " does not exist or cannot be accessed.";
        return false;
    }
    return true;
}

void FtpSession::cmdCwd(const std::string &rawArg)
{
    const std::string arg = trimRight(rawArg);
    std::string prefix;
    if (nameFormat_ == 0 && !arg.empty() && arg[0] == '/') {
        nameFormat_ = 1;
        prefix = "250-NAMEFMT set to 1.\n";
    }
    if (nameFormat_ == 0) {
        const std::string lib = upperAscii(arg);
        if (!job_->libraryDir(lib))
            return reply("550 Specified directory does not exist or cannot be accessed.");
        curLibrary_ = lib;
        curDir_ = {"QSYS.LIB", lib + ".LIB"};
        return reply("250 \"" + lib + "\" is current library.");
    }
    std::vector<std::string> comps;
    resolvePath(arg, comps);
    std::string lib;
    const bool isRoot = comps.empty();
    const bool isQsys = comps.size() == 1 && comps[0] == "QSYS.LIB";
    const bool isLib = comps.size() == 2 && comps[0] == "QSYS.LIB" && stripSuffix(comps[1], ".LIB", lib) &&
                       job_->libraryDir(lib).has_value();
    if (!isRoot && !isQsys && !isLib)
        return reply(prefix + "550 Specified directory does not exist or cannot be accessed.");
    curDir_ = comps;
    if (isLib) {
        curLibrary_ = lib;
        return reply(prefix + "250 \"" + currentPath() + "\" is current library.");
    }
    reply(prefix + "250 \"" + currentPath() + "\" is current directory.");
}

void FtpSession::cmdPwd()
{
    if (nameFormat_ == 0)
        return reply("257 \"" + curLibrary_ + "\" is current library.");
    const bool isLib = curDir_.size() == 2;
    reply("257 \"" + currentPath() + "\" is current " + (isLib ? "library." : "directory."));
}

void FtpSession::cmdSite(const std::string &arg)
{
    const auto words = clElements(upperAscii(trimRight(arg)));
    if (words.empty() || words[0] == "NAMEFMT") {
        const std::string v = words.size() > 1 ? words[1] : "0";
        if (v != "0" && v != "1")
            return reply("501 Naming format " + v + " not valid.");
        nameFormat_ = v == "1" ? 1 : 0;
        return reply("250  Now using naming format \"" + v + "\".");
    }
    if (words[0] == "LISTFMT") {
        const std::string v = words.size() > 1 ? words[1] : "0";
        return reply("250 Directory listing format (LISTFMT) option set to " + v + ".");
    }
    reply("501 SITE subcommand " + words[0] + " not valid.");
}

void FtpSession::cmdRcmd(const std::string &arg)
{
    const std::string command = trimRight(arg);
    if (command.empty())
        return reply("501 RCMD subcommand requires a CL command.");
    if (command.size() > 1000)
        return reply("501 Command string longer than 1000 characters.");
    for (const auto &slow : cfg_.slowPatterns) {
        if (!slow->matches(command))
            continue;
        // Busy with it, as long as the client waits for the answer.
        for (int i = 0; i < 1200; ++i) {
            pollfd p{fd_, POLLIN, 0};
            char c;
            if (::poll(&p, 1, 50) > 0 && ((p.revents & POLLHUP) || ::recv(fd_, &c, 1, MSG_PEEK) <= 0))
                return;
        }
        break;
    }
    const CommandResult result = job_->run(command);
    if (result.ok)
        return reply("250 Command " + command + " successful.");
    // The id stays in the job log; the reply carries the escape message's
    // first-level text, with the period the server adds.
    std::string name = command.substr(0, command.find(' '));
    reply("550-Error occurred on command " + upperAscii(name) + "\n550 " + result.escapeText + ".");
}

// The file object a RETR or SIZE names; err is the reply when there is none.
std::optional<fs::path> FtpSession::findFile(const std::string &arg, FileTarget &t, std::string &err) const
{
    if (!resolveFile(arg, t, err))
        return std::nullopt;
    const auto dir = job_->libraryDir(t.library);
    if (!dir) {
        err = "550 Library " + t.library + " not found.";
        return std::nullopt;
    }
    auto obj = HostStore::findObject(*dir, t.file, "FILE");
    if (!obj)
        err = "550 File " + t.file + " in library " + t.library + " not found.";
    return obj;
}

void FtpSession::cmdRetr(const std::string &arg)
{
    FileTarget t;
    std::string err;
    const auto obj = findFile(arg, t, err);
    if (!obj)
        return reply(err);
    if (!t.member.empty() && t.member != t.file)
        return reply("550 Member " + t.member + " not found in file " + t.file + " in library " + t.library + ".");
    const FileKind kind = HostStore::fileKind(*obj);
    // In name format 1 a physical file is a folder of members: only a
    // member (or a save file, which has none) can be read as a stream.
    if (kind == FileKind::Physical && t.pathForm && t.member.empty())
        return reply("550 Specified file " + trimRight(arg) + " is a directory; specify a member.");
    const size_t rcdlen = kind == FileKind::Physical ? HostStore::pfRecordLength(*obj) : kSavfRecordLength;
    // Open before the data connection: the file stays readable even if a
    // command replaces it meanwhile.
    std::ifstream in(*obj, std::ios::binary);
    if (!in || rcdlen == 0)
        return reply("550 File " + t.file + " in library " + t.library + " cannot be opened.");
    if (kind == FileKind::Physical)
        in.seekg(static_cast<std::streamoff>(kPfHeaderLength));

    const int data = openData();
    if (data < 0)
        return reply("425 Cannot open data connection.");
    reply("150 Retrieving member " + t.file + " in file " + t.file + " in library " + t.library + ".");
    if (!secureData(data))
        return endTransfer(Outcome::Aborted, data);

    const long long limit = cfg_.abortTransferAfter;
    // The quiet cut: the data simply ends early and the reply says complete.
    const long long cut = binary_ && kind == FileKind::SaveFile ? cfg_.cutDownloadAfter : -1;
    long long sent = 0;
    Pacer pacer(cfg_.transferRate);
    std::vector<char> buf(binary_ ? kBuffer : rcdlen * ((kBuffer / rcdlen) + 1));
    Outcome outcome = Outcome::Done;
    while (outcome == Outcome::Done && (cut < 0 || sent < cut)) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0)
            break;
        std::string out;
        if (!binary_) {
            // Each record becomes one text line; database records lose their
            // trailing blanks, as the server trims by default.
            for (size_t off = 0; off < got; off += rcdlen) {
                const size_t n = std::min(rcdlen, got - off);
                std::string line;
                if (kind == FileKind::Physical) {
                    line = fromEbcdic(std::string(buf.data() + off, n));
                    while (!line.empty() && line.back() == ' ')
                        line.pop_back();
                } else {
                    for (size_t k = 0; k < n; ++k)
                        line.push_back(static_cast<char>(ebcdicToLatin1(static_cast<uint8_t>(buf[off + k]))));
                }
                out += line + "\r\n";
            }
        }
        // Binary goes out straight from the read buffer.
        const char *from = binary_ ? buf.data() : out.data();
        size_t n = binary_ ? got : out.size();
        if (limit >= 0 && sent + static_cast<long long>(n) > limit) {
            n = static_cast<size_t>(limit - sent);
            outcome = Outcome::Aborted;
        }
        if (cut >= 0 && sent + static_cast<long long>(n) > cut)
            n = static_cast<size_t>(cut - sent);
        if (!dataSend(data, from, n)) {
            outcome = Outcome::Aborted;
            break;
        }
        sent += static_cast<long long>(n);
        pacer.moved(static_cast<long long>(n));
    }
    endTransfer(outcome, data);
}

// SIZE: the byte count a binary RETR sends. Only save files have one that
// does not depend on the transfer type; members are converted records.
void FtpSession::cmdSize(const std::string &arg)
{
    FileTarget t;
    std::string err;
    const auto obj = findFile(arg, t, err);
    if (!obj)
        return reply(err);
    if (HostStore::fileKind(*obj) != FileKind::SaveFile)
        return reply("550 SIZE not available for file " + t.file + " in library " + t.library + ".");
    std::error_code ec;
    const auto size = fs::file_size(*obj, ec);
    if (ec)
        return reply("550 File " + t.file + " in library " + t.library + " cannot be opened.");
    reply("213 " + std::to_string(size));
}

void FtpSession::cmdStor(const std::string &arg)
{
    FileTarget t;
    std::string err;
    if (!resolveFile(arg, t, err))
        return reply(err);
    const auto dir = job_->libraryDir(t.library);
    if (!dir)
        return reply("550 Library " + t.library + " not found.");
    if (!t.member.empty() && t.member != t.file)
        return reply("550 Member " + t.member + " not found in file " + t.file + " in library " + t.library + ".");
    const auto existing = HostStore::findObject(*dir, t.file, "FILE");
    if (existing && t.pathForm && t.member.empty() && HostStore::fileKind(*existing) == FileKind::Physical)
        return reply("550 Specified file " + trimRight(arg) + " is a directory; specify a member.");
    const fs::path target = existing ? *existing : *dir / (t.file + ".FILE");
    // A missing file becomes a save file only when the path says .SAVF;
    // otherwise the server makes a physical file, as a real host does.
    FileKind kind = existing ? HostStore::fileKind(*existing) : (t.savfSuffix ? FileKind::SaveFile : FileKind::Physical);
    size_t rcdlen = kind == FileKind::Physical ? (existing ? HostStore::pfRecordLength(*existing) : 528) : 0;
    if (kind == FileKind::Physical && rcdlen == 0)
        rcdlen = 528;

    const fs::path tmp = HostStore::tempPathFor(target);
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out)
        return reply("550 File " + t.file + " in library " + t.library + " cannot be written.");
    const int data = openData();
    if (data < 0) {
        out.close();
        std::error_code ec;
        fs::remove(tmp, ec);
        return reply("425 Cannot open data connection.");
    }
    reply("150 Sending file to member " + t.file + " in file " + t.file + " in library " + t.library + ".");
    if (!secureData(data)) {
        out.close();
        std::error_code ec;
        fs::remove(tmp, ec);
        return endTransfer(Outcome::Aborted, data);
    }

    if (kind == FileKind::Physical)
        out << HostStore::pfHeader(rcdlen);
    const long long limit = cfg_.abortTransferAfter;
    long long received = 0;
    uint64_t dataBytes = 0; // written after the header
    std::string line;       // ASCII to a physical file: the line being built
    std::vector<char> buf(kBuffer);
    Pacer pacer(cfg_.transferRate);
    Outcome outcome = Outcome::Done;
    auto writeRecord = [&](std::string record) {
        record.resize(rcdlen, '\x40');
        out.write(record.data(), static_cast<std::streamsize>(record.size()));
        dataBytes += record.size();
    };
    while (true) {
        const ssize_t n = dataRecv(data, buf.data(), buf.size());
        if (n < 0) {
            outcome = Outcome::Aborted;
            break;
        }
        if (n == 0)
            break;
        size_t got = static_cast<size_t>(n);
        if (limit >= 0 && received + n > limit) {
            got = static_cast<size_t>(limit - received);
            outcome = Outcome::Aborted;
        }
        received += static_cast<long long>(got);
        pacer.moved(n);
        if (binary_) {
            out.write(buf.data(), static_cast<std::streamsize>(got));
            dataBytes += got;
        } else if (kind == FileKind::SaveFile) {
            // Text into a save file: line ends are taken as record ends and
            // the rest converted to EBCDIC, which ruins the save file.
            for (size_t k = 0; k < got; ++k) {
                const auto c = static_cast<uint8_t>(buf[k]);
                if (c == '\r' || c == '\n')
                    continue;
                out.put(static_cast<char>(latin1ToEbcdic(c)));
                ++dataBytes;
            }
        } else {
            for (size_t k = 0; k < got; ++k) {
                if (buf[k] == '\n') {
                    if (!line.empty() && line.back() == '\r')
                        line.pop_back();
                    writeRecord(toEbcdic(line));
                    line.clear();
                } else {
                    line.push_back(buf[k]);
                }
            }
        }
        if (outcome != Outcome::Done)
            break;
    }
    if (outcome == Outcome::Done && kind == FileKind::Physical) {
        if (!binary_ && !line.empty())
            writeRecord(toEbcdic(line));
        if (const size_t rest = dataBytes % rcdlen; binary_ && rest != 0)
            out << std::string(rcdlen - rest, '\x40');
    }
    out.flush();
    const bool written = static_cast<bool>(out);
    out.close();
    std::error_code ec;
    if (outcome == Outcome::Done && written) {
        // Library objects change under the store's lock; QTEMP is ours alone.
        std::unique_lock<std::mutex> lock(server_.store().mutex(), std::defer_lock);
        if (t.library != "QTEMP")
            lock.lock();
        fs::rename(tmp, target, ec);
        if (ec)
            outcome = Outcome::Failed;
    } else if (outcome == Outcome::Done) {
        outcome = Outcome::Failed;
    }
    if (outcome != Outcome::Done)
        fs::remove(tmp, ec);
    endTransfer(outcome, data);
}

void FtpSession::cmdList(const std::string &rawArg, bool names)
{
    std::string arg = trimRight(rawArg);
    if (!arg.empty() && arg[0] == '-')
        arg.clear(); // "ls -l" style options
    std::vector<std::string> comps;
    if (nameFormat_ == 0 && (arg.empty() || arg[0] != '/'))
        comps = {"QSYS.LIB", (arg.empty() ? curLibrary_ : upperAscii(arg)) + ".LIB"};
    else
        resolvePath(arg, comps);
    std::vector<std::string> lines;
    auto stamp = [](const fs::path &p) {
        std::error_code ec;
        const auto ft = fs::last_write_time(p, ec);
        const auto sys = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
            ft - fs::file_time_type::clock::now() + std::chrono::system_clock::now());
        const std::time_t tt = std::chrono::system_clock::to_time_t(sys);
        std::tm tm{};
        localtime_r(&tt, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &tm);
        return std::string(buf);
    };
    std::string lib;
    if (comps.empty()) {
        lines.push_back(names ? "QSYS.LIB" : "QSYS                                            *DIR       QSYS.LIB/");
    } else if (comps.size() == 1 && comps[0] == "QSYS.LIB") {
        for (const auto &l : server_.store().libraries())
            lines.push_back(names ? l + ".LIB" : "QSYS                                            *LIB       " + l + ".LIB");
    } else if (comps.size() == 2 && comps[0] == "QSYS.LIB" && stripSuffix(comps[1], ".LIB", lib) &&
               job_->libraryDir(lib)) {
        for (const auto &obj : HostStore::objects(*job_->libraryDir(lib))) {
            std::error_code ec;
            char buf[160];
            std::snprintf(buf, sizeof buf, "QSYS       %14llu %s *%-9s %s.%s",
                          static_cast<unsigned long long>(fs::file_size(obj.path, ec)), stamp(obj.path).c_str(),
                          obj.type.c_str(), obj.name.c_str(), obj.type.c_str());
            lines.push_back(names ? obj.name + "." + obj.type : std::string(buf));
        }
    } else {
        return reply("550  Path does not exist: " + rawArg);
    }
    const int data = openData();
    if (data < 0)
        return reply("425 Cannot open data connection.");
    reply("125 List started.");
    if (!secureData(data))
        return endTransfer(Outcome::Aborted, data);
    std::string out;
    for (const auto &l : lines)
        out += l + "\r\n";
    const bool sent = dataSend(data, out.data(), out.size());
    if (dataSsl_) {
        sendCloseNotify(dataSsl_);
        SSL_free(dataSsl_);
        dataSsl_ = nullptr;
    }
    dataFdSlot_.store(-1);
    ::close(data);
    reply(sent ? "250 List completed." : "426 Data transfer ended; connection closed.");
}

FtpServer::FtpServer(ServerConfig config, HostStore &store)
    : config_(std::move(config)), store_(store), jobCounter_(static_cast<int>(100000 + (::getpid() % 800000)))
{
}

FtpServer::~FtpServer()
{
    stop();
    reap(true);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    SSL_CTX_free(tlsCtx_);
}

uint16_t FtpServer::listen(std::string *error)
{
    if (!config_.tlsCert.empty()) {
        tlsCtx_ = SSL_CTX_new(TLS_server_method());
        const std::string key = config_.tlsKey.empty() ? config_.tlsCert : config_.tlsKey;
        if (!tlsCtx_ || SSL_CTX_use_certificate_chain_file(tlsCtx_, config_.tlsCert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tlsCtx_, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(tlsCtx_) != 1) {
            char why[256] = "unknown reason";
            if (const unsigned long e = ERR_get_error())
                ERR_error_string_n(e, why, sizeof why);
            *error = "cannot use certificate " + config_.tlsCert + " and key " + key + ": " + why;
            return 0;
        }
        SSL_CTX_set_min_proto_version(tlsCtx_, TLS1_2_VERSION);
        // Whole records per read instead of header and body apart.
        SSL_CTX_set_read_ahead(tlsCtx_, 1);
        SSL_CTX_set_default_read_buffer_len(tlsCtx_, 256 * 1024);
        // Data connections may resume the control connection's session.
        static const unsigned char kSessionContext[] = "quellon-hostsim";
        SSL_CTX_set_session_id_context(tlsCtx_, kSessionContext, sizeof kSessionContext - 1);
    } else if (config_.tlsMode != TlsMode::Off) {
        *error = "--tls needs --tls-cert";
        return 0;
    }
    sockaddr_storage ss{};
    auto *addr = reinterpret_cast<sockaddr_in *>(&ss);
    auto *addr6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    socklen_t size = sizeof(sockaddr_in);
    if (::inet_pton(AF_INET, config_.listenAddress.c_str(), &addr->sin_addr) == 1) {
        addr->sin_family = AF_INET;
        addr->sin_port = htons(config_.port);
    } else if (::inet_pton(AF_INET6, config_.listenAddress.c_str(), &addr6->sin6_addr) == 1) {
        addr6->sin6_family = AF_INET6;
        addr6->sin6_port = htons(config_.port);
        size = sizeof(sockaddr_in6);
    } else {
        *error = "not an IPv4 or IPv6 address: " + config_.listenAddress;
        return 0;
    }
    listenFd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof ss;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&ss), size) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        *error = "cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.port) + ": " +
                 std::strerror(errno);
        return 0;
    }
    return ntohs(ss.ss_family == AF_INET6 ? addr6->sin6_port : addr->sin_port);
}

void FtpServer::serve(int stopFd)
{
    while (!stopping_) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int r = ::poll(p, stopFd >= 0 ? 2 : 1, 1000);
        reap(false);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (stopFd >= 0 && (p[1].revents & POLLIN))
            break;
        if (!(p[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        auto client = std::make_unique<Client>();
        client->fd = fd;
        Client *c = client.get();
        {
            std::lock_guard<std::mutex> lock(clientsMutex_);
            clients_.push_back(std::move(client));
        }
        c->thread = std::thread([this, c] {
            {
                FtpSession session(*this, c->fd, c->dataFd);
                session.run();
            }
            ::shutdown(c->fd, SHUT_RDWR);
            c->done = true;
        });
    }
    stop();
}

void FtpServer::stop()
{
    stopping_ = true;
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (auto &c : clients_) {
        if (!c->done) {
            ::shutdown(c->fd, SHUT_RDWR);
            const int data = c->dataFd.load();
            if (data >= 0)
                ::shutdown(data, SHUT_RDWR);
        }
    }
}

void FtpServer::reap(bool all)
{
    std::list<std::unique_ptr<Client>> finished;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &c : finished) {
        if (c->thread.joinable())
            c->thread.join();
        ::close(c->fd);
    }
}

void FtpServer::logWire(const char *data, size_t len)
{
    std::lock_guard<std::mutex> lock(wireMutex_);
    std::ofstream out(config_.wireLog, std::ios::app | std::ios::binary);
    out.write(data, static_cast<std::streamsize>(len));
}

void FtpServer::logCommand(const std::string &line)
{
    if (config_.logFile.empty())
        return;
    std::lock_guard<std::mutex> lock(logMutex_);
    std::ofstream out(config_.logFile, std::ios::app);
    out << line << '\n';
}

} // namespace hostsim
