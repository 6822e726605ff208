#include "net/Psock.h"

#include "net/FtpReply.h"
#include "net/TlsSession.h"
#include "platform/Pump.h"

#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Live instances, for the one-time information lines.
int g_instances = 0;

// Transfers move through one buffer of this size per instance: large enough
// that a loopback transfer is not bound by system calls.
constexpr size_t kChunk = 256 * 1024;
// At most this many reads per readiness event, so a fast peer cannot starve
// the rest of the event loop (timers, the user's clicks).
constexpr int kReadsPerEvent = 16;
// TLS hands out one record (at most 16 KiB) per read.
constexpr int kTlsReadsPerEvent = 64;

struct ErrorRow {
    int number;
    const char *text;
};

const ErrorRow kErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

// Writes all of `n` bytes; returns 0 or the errno of the failure.
int writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (w == 0)
            return EIO;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// Clears a flag on every way out of a scope.
struct FlagGuard {
    bool &flag;
    explicit FlagGuard(bool &f) : flag(f) { flag = true; }
    ~FlagGuard() { flag = false; }
};

} // namespace

std::string DurationText(int ms)
{
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + " s";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", ms / 1000.0);
    return buf;
}

int WinsockError(int e)
{
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
        return 10024;
    case EWOULDBLOCK:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
    case EPIPE:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return e;
    }
}

// ---------------------------------------------------------------- TThreadTimer

TThreadTimer::TThreadTimer() : timer_(std::make_unique<QTimer>())
{
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
        if (!onTimer_)
            return;
        try {
            onTimer_(this);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
        } catch (...) {
        }
    });
}

TThreadTimer::~TThreadTimer()
{
    timer_->stop();
}

void TThreadTimer::SetEnabled(bool on)
{
    enabled_ = on;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned ms)
{
    interval_ = ms;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(std::function<void(TThreadTimer *)> handler)
{
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer()
{
    timer_->stop();
    if (interval_ != 0 && enabled_ && onTimer_)
        timer_->start(static_cast<int>(interval_));
}

// ------------------------------------------------------------------ TPowersock

TPowersock::TPowersock()
{
    ReportStatus(8, "Create");
    notifier_ = std::make_unique<QObject>();
    timer_ = std::make_unique<TThreadTimer>();
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](TThreadTimer *) { TimerTriggered(); });
    InitializeWinsock();
}

TPowersock::~TPowersock()
{
    ReportStatus(8, "Destroy");
    Abort();
    Cancel();
    timer_.reset();
    destroying_ = true;
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    --g_instances;
    notifier_.reset();
}

void TPowersock::InitializeWinsock()
{
    ReportStatus(8, "Initializing Winsock");
    if (g_instances++ == 0) {
        rlimit rl{};
        ::getrlimit(RLIMIT_NOFILE, &rl);
        WinsockInfo = {"Version= 1.1",
                       "High Version= 2.2",
                       "Description= POSIX sockets",
                       "System= Running",
                       "Max Sockets= " + std::to_string(rl.rlim_cur),
                       "Max Udp pack size= 65467"};
    }
    try {
        OpenSocket(true);
    } catch (...) {
        --g_instances;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

void TPowersock::OpenSocket(bool withLinger)
{
    fd_ = ::socket(family_, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, withLinger ? IPPROTO_TCP : 0);
    if (fd_ < 0)
        CheckError(10035);
    if (withLinger) {
        // Closing resets the connection instead of lingering.
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, notifier_.get());
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, notifier_.get());
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    QObject::connect(readNotifier_, &QSocketNotifier::activated, notifier_.get(), [this] { OnReadable(); });
    QObject::connect(writeNotifier_, &QSocketNotifier::activated, notifier_.get(), [this] { OnWritable(); });
}

void TPowersock::CloseHandle()
{
    // The notifiers may be the very sender whose signal runs now: retire them
    // through the event loop instead of deleting them here.
    for (QSocketNotifier **n : {&readNotifier_, &writeNotifier_}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    // Records the session took but never sent are lost with it: a transfer
    // that waits for them must not end as a success.
    if (TlsUnsent()) {
        sendFailed_ = true;
        if (LastError == 0)
            LastError = 10053;
    }
    tls_.reset();
    tlsHandshaking_ = tlsReadWantsWrite_ = tlsWriteWantsRead_ = tlsMore_ = tlsClosing_ = false;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    listening_ = false;
    connecting_ = false;
}

void TPowersock::UpdateNotifiers()
{
    if (fd_ < 0 || !readNotifier_)
        return;
    bool rd = false;
    if (listening_)
        rd = !Connected;
    else if (Connected && !connecting_)
        rd = fileMode_ ? (fileError_ == 0 && !Canceled) : PendingBytes() < kMaxLine;
    bool sendPending =
        fileMode_ ? (!sendComplete_ && (fileFd_ >= 0 || fileSource_)) : sendPos_ < send_.size();
    bool wr = connecting_ || (Connected && !listening_ && sendPending && !sendFailed_);
    if (tlsHandshaking_) {
        rd = !tlsHsWantsWrite_;
        wr = tlsHsWantsWrite_;
    } else if (tls_ && Connected) {
        rd = rd || (tlsWriteWantsRead_ && wr);
        wr = (wr && !tlsWriteWantsRead_) || (tlsReadWantsWrite_ && rd) || tlsClosing_ ||
             (TlsUnsent() && !sendFailed_);
    }
    if (readNotifier_->isEnabled() != rd)
        readNotifier_->setEnabled(rd);
    if (writeNotifier_->isEnabled() != wr)
        writeNotifier_->setEnabled(wr);
}

void TPowersock::WaitUntil(const std::function<bool()> &done)
{
    for (;;) {
        UpdateNotifiers();
        if (done())
            return;
        if (const std::string why = StopReason(); !why.empty())
            throw EAbortError(why);
        // Records already inside the TLS session raise no socket event.
        if (tlsMore_ && readNotifier_ && readNotifier_->isEnabled() && !handlerGuard_) {
            ReadToStream();
            continue;
        }
        platform::WaitForEvents(2);
    }
}

// ---------------------------------------------------------------- connecting

namespace
{
// "[::1]" (as in URLs) names the address inside the brackets.
std::string withoutBrackets(const std::string &name)
{
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return name.substr(1, name.size() - 2);
    return name;
}

sockaddr_storage v4Address(in_addr_t a)
{
    sockaddr_storage ss{};
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = a;
    return ss;
}

socklen_t addressLength(const sockaddr_storage &ss)
{
    return ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}
} // namespace

void TPowersock::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    const std::string name = withoutBrackets(Proxy.empty() ? Host : Proxy);
    candidates_.clear();
    in_addr_t literal = ::inet_addr(name.c_str());
    if (literal != INADDR_NONE) {
        // 0.0.0.0 is no address.
        if (literal != 0)
            candidates_.push_back(v4Address(literal));
        return;
    }
    sockaddr_storage v6{};
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&v6);
    if (::inet_pton(AF_INET6, name.c_str(), &sin6->sin6_addr) == 1) {
        sin6->sin6_family = AF_INET6;
        if (!IN6_IS_ADDR_UNSPECIFIED(&sin6->sin6_addr))
            candidates_.push_back(v6);
        return;
    }
    StartTimer();
    lookupDone_ = false;
    lookupCandidates_.clear();
    // The answer lands in members, not in this frame: a lookup abandoned on a
    // time-out may still answer later.
    int id =
        QHostInfo::lookupHost(QString::fromStdString(name), notifier_.get(), [this](const QHostInfo &info) {
            lookupDone_ = true;
            lookupCandidates_.clear();
            // In the resolver's order of preference; IPv6 and IPv4 alike.
            for (const auto &a : info.addresses()) {
                bool isV4 = false;
                const quint32 v4 = a.toIPv4Address(&isV4);
                if (isV4) {
                    lookupCandidates_.push_back(v4Address(htonl(v4)));
                } else if (a.protocol() == QAbstractSocket::IPv6Protocol) {
                    sockaddr_storage ss{};
                    auto *p = reinterpret_cast<sockaddr_in6 *>(&ss);
                    p->sin6_family = AF_INET6;
                    const Q_IPV6ADDR b = a.toIPv6Address();
                    std::memcpy(&p->sin6_addr, b.c, 16);
                    p->sin6_scope_id = static_cast<uint32_t>(a.scopeId().toUInt());
                    lookupCandidates_.push_back(ss);
                }
            }
            noError_ = !lookupCandidates_.empty();
        });
    try {
        WaitUntil([this] { return lookupDone_ || TimedOut || Canceled; });
    } catch (...) {
        StopTimer();
        QHostInfo::abortHostLookup(id);
        throw;
    }
    StopTimer();
    if (!lookupDone_)
        QHostInfo::abortHostLookup(id);
    if (TimedOut)
        throw ESockError("Host Lookup Timed Out");
    if (Canceled)
        throw ESockError("Host Lookup Canceled");
    if (!noError_)
        throw ESockError("Host Lookup Failed");
    candidates_ = lookupCandidates_;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TPowersock::Connect()
{
    ReportStatus(8, "Connecting");
    Canceled = false;
    if (Connected)
        throw ESockError("Already connected");

    for (int round = 0;; ++round) {
        try {
            ResolveHost();
        } catch (const ESockError &e) {
            std::string m = e.what();
            if (m == "Host Lookup Timed Out" || m == "Host Lookup Canceled" ||
                dynamic_cast<const EAbortError *>(&e))
                throw;
            candidates_.clear();
        }
        if (!candidates_.empty())
            break;
        bool handled = false;
        if (round == 0 && OnInvalidHost)
            OnInvalidHost(handled);
        if (!handled)
            throw ESockError("Null Remote Address");
    }

    // Each address in turn: a name may have IPv6 and IPv4 addresses, of
    // which only some are reachable from here.
    const uint16_t port = htons(static_cast<uint16_t>(Proxy.empty() ? Port : ProxyPort));
    std::string firstError;
    for (size_t i = 0; i < candidates_.size(); ++i) {
        RemoteAddress = candidates_[i];
        if (RemoteAddress.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6 *>(&RemoteAddress)->sin6_port = port;
        else
            reinterpret_cast<sockaddr_in *>(&RemoteAddress)->sin_port = port;
        lookupDone_ = false;
        noError_ = true;
        peerClosed_ = false;
        sendFailed_ = false;
        ClearReceived();
        if (fd_ < 0 || family_ != RemoteAddress.ss_family) {
            CloseHandle();
            family_ = RemoteAddress.ss_family;
            OpenSocket(false);
        }
        const bool last = i + 1 == candidates_.size();
        int r = ::connect(fd_, reinterpret_cast<sockaddr *>(&RemoteAddress), addressLength(RemoteAddress));
        if (r == 0) {
            Connected = true;
            SocketConnected();
        } else {
            // A non-blocking connect answers "in progress"; that is the normal case.
            if (errno == EINPROGRESS)
                errno = EWOULDBLOCK;
            try {
                CheckError(10035);
            } catch (const ESockError &) {
                // No route to this address family, say: the next may do.
                if (last)
                    throw;
                CloseHandle();
                OpenSocket(false);
                continue;
            }
            connecting_ = true;
            StartTimer();
            try {
                WaitUntil([this] { return Connected || TimedOut || Canceled || !noError_; });
            } catch (...) {
                // Stopped: the half-made connection must not linger.
                StopTimer();
                connecting_ = false;
                Connected = false;
                CloseHandle();
                OpenSocket(false);
                throw;
            }
            StopTimer();
            connecting_ = false;
        }
        if (!TimedOut && !Canceled && noError_ && Connected) {
            SetKeepAlive();
            UpdateNotifiers();
            return;
        }
        // A half-made or refused connection leaves the socket unusable for the
        // next attempt: start again from a fresh one.
        Connected = false;
        CloseHandle();
        OpenSocket(false);
        if (Canceled || last)
            break;
    }
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (TimedOut)
        throw ESockError("Connection Timed out");
    if (Canceled)
        throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TPowersock::SocketConnected()
{
    if (OnConnect)
        OnConnect(this);
}

void TPowersock::Disconnect()
{
    ReportStatus(8, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::RequestCloseSocket()
{
    ReportStatus(4, "Request Close Socket");
    Connected = false;
    if (fd_ < 0)
        return;
    CloseHandle();
    if (!destroying_ && OnDisconnect)
        OnDisconnect(this);
    if (!destroying_)
        OpenSocket(false);
}

void TPowersock::Cancel()
{
    ReportStatus(8, "Canceling");
    Canceled = true;
}

// ------------------------------------------------------------------ time-out

void TPowersock::StartTimer()
{
    ReportStatus(8, "Timer On");
    TimedOut = false;
    timer_->SetInterval(static_cast<unsigned>(TimeOut));
    timer_->SetEnabled(true);
}

void TPowersock::StopTimer()
{
    ReportStatus(8, "Timer Off");
    timer_->SetEnabled(false);
}

void TPowersock::TimerTriggered()
{
    ReportStatus(8, "Timer Triggered");
    StopTimer();
    TimedOut = true;
    Abort();
}

// ------------------------------------------------------------- notifications

void TPowersock::OnReadable()
{
    try {
        if (listening_) {
            // The accept event of a listening socket.
            noError_ = true;
            lookupDone_ = true;
            Connected = true;
            UpdateNotifiers();
            return;
        }
        if (tlsHandshaking_)
            return TlsStep();
        if (tlsWriteWantsRead_)
            WriteFromStream();
        ReadToStream();
    } catch (...) {
        // Nothing escapes a notification.
    }
}

void TPowersock::OnWritable()
{
    try {
        if (connecting_) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
            connecting_ = false;
            noError_ = err == 0;
            if (noError_) {
                Connected = true;
                SocketConnected();
            } else {
                LastError = WinsockError(err);
            }
            UpdateNotifiers();
            return;
        }
        if (tlsHandshaking_)
            return TlsStep();
        if (tlsClosing_)
            return TlsCloseStep();
        if (tlsReadWantsWrite_)
            ReadToStream();
        WriteFromStream();
    } catch (...) {
    }
}

void TPowersock::Compact()
{
    if (recvPos_ == recv_.size()) {
        recv_.clear();
        recvPos_ = 0;
    } else if (recvPos_ > 0 && recvPos_ >= recv_.size() / 2) {
        recv_.erase(0, recvPos_);
        recvPos_ = 0;
    }
}

void TPowersock::ReadToStream()
{
    if (handlerGuard_ || fd_ < 0)
        return;
    // After a cancel nothing more goes into the capture file.
    if (Canceled && fileMode_) {
        UpdateNotifiers();
        return;
    }
    bool stored = false;
    bool closed = false;
    {
        FlagGuard guard(handlerGuard_);
        ReportStatus(8, "ReadToStream");
        if (chunk_.size() < kChunk)
            chunk_.resize(kChunk);
        const int rounds = tls_ ? kTlsReadsPerEvent : kReadsPerEvent;
        tlsMore_ = false;
        for (int round = 0; round < rounds; ++round) {
            if (fileMode_ ? fileError_ != 0 : PendingBytes() >= kMaxLine) {
                tlsMore_ = tls_ != nullptr;
                break;
            }
            ssize_t n;
            if (tls_) {
                tls::TWant want;
                n = tls_->Read(chunk_.data(), chunk_.size(), want);
                tlsReadWantsWrite_ = want == tls::TWant::Write;
                if (n == 0) {
                    if (want == tls::TWant::Read || want == tls::TWant::Write)
                        break;
                    if (want == tls::TWant::Error)
                        tlsError_ = tls_->LastError();
                    closed = true;
                    break;
                }
                tlsMore_ = round + 1 == rounds;
            } else {
                n = ::recv(fd_, chunk_.data(), chunk_.size(), 0);
            }
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                // A reset connection: report it, then treat it as closed.
                LastError = WinsockError(errno);
                if (OnError)
                    OnError(this, static_cast<uint16_t>(LastError), ErrorMessage(LastError));
                closed = true;
                break;
            }
            if (n == 0) {
                closed = true;
                break;
            }
            if (fileMode_) {
                const size_t got = static_cast<size_t>(n);
                if (int e = fileSink_ ? fileSink_(chunk_.data(), got) : writeAll(fileFd_, chunk_.data(), got))
                    fileError_ = e;
            } else {
                Compact();
                recv_.append(chunk_.data(), static_cast<size_t>(n));
            }
            stored = true;
            if (counting_) {
                bytesReceived_ += n;
                if (OnPacketRecvd)
                    OnPacketRecvd(this);
            }
            if (Canceled || (!tls_ && static_cast<size_t>(n) < chunk_.size()))
                break; // a short read: the socket is drained for now
        }
    }
    if (closed)
        HandleClose();
    else
        UpdateNotifiers();
    if (stored && DataArrivalHook)
        DataArrivalHook();
}

void TPowersock::HandleClose()
{
    peerClosed_ = true;
    Connected = false;
    RequestCloseSocket();
}

void TPowersock::WriteFromStream()
{
    if (handlerGuard_ || fd_ < 0)
        return;
    {
        FlagGuard guard(handlerGuard_);
        ReportStatus(8, "WriteFromStream");
        while (!Canceled && !sendFailed_) {
            const char *p;
            size_t n;
            if (fileMode_) {
                if (sendComplete_)
                    break; // a capture file, or a file sent to its end
                if (chunkPos_ == chunkLen_) {
                    ssize_t r;
                    if (fileSource_) {
                        r = fileSource_(chunk_.data(), chunk_.size());
                        if (r < 0) {
                            fileError_ = static_cast<int>(-r);
                            break;
                        }
                    } else {
                        r = ::read(fileFd_, chunk_.data(), chunk_.size());
                        if (r < 0) {
                            if (errno == EINTR)
                                continue;
                            fileError_ = errno;
                            break;
                        }
                    }
                    if (r == 0) {
                        sendComplete_ = true;
                        break;
                    }
                    chunkPos_ = 0;
                    chunkLen_ = static_cast<size_t>(r);
                }
                p = chunk_.data() + chunkPos_;
                n = chunkLen_ - chunkPos_;
            } else {
                if (sendPos_ == send_.size()) {
                    send_.clear();
                    sendPos_ = 0;
                    sendComplete_ = true;
                    break;
                }
                p = send_.data() + sendPos_;
                n = send_.size() - sendPos_;
            }
            ssize_t s;
            if (tls_) {
                tls::TWant want;
                s = tls_->Write(p, n, want);
                tlsWriteWantsRead_ = want == tls::TWant::Read;
                if (s == 0) {
                    if (want == tls::TWant::Read || want == tls::TWant::Write)
                        break;
                    tlsError_ = tls_->LastError();
                    LastError = 10053;
                    sendFailed_ = true;
                    break;
                }
            } else {
                s = ::send(fd_, p, n, MSG_NOSIGNAL);
            }
            if (s < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break; // the next write event resumes
                // The connection is gone: queued bytes will never leave.
                LastError = WinsockError(errno);
                sendFailed_ = true;
                break;
            }
            if (fileMode_)
                chunkPos_ += static_cast<size_t>(s);
            else
                sendPos_ += static_cast<size_t>(s);
            bytesSent_ += s;
            if (counting_ && OnPacketSent)
                OnPacketSent(this);
        }
        // Records the session holds go out now; what the socket does not
        // take waits for the next write event.
        if (TlsUnsent() && !sendFailed_ && !Canceled) {
            const tls::TWant w = tls_->Flush();
            if (w == tls::TWant::Error) {
                tlsError_ = tls_->LastError();
                LastError = 10053;
                sendFailed_ = true;
            }
        }
    }
    UpdateNotifiers();
}

// ----------------------------------------------------------------- sending

void TPowersock::Write(const std::string &text)
{
    ReportStatus(8, "Write");
    SendBuffer(text.c_str(), 0);
}

void TPowersock::Writeln(const std::string &text)
{
    ReportStatus(8, "Writeln");
    Write(text + "\r\n");
}

void TPowersock::SendBuffer(const char *data, uint16_t length)
{
    ReportStatus(4, "Sending Buffer");
    if (Canceled)
        return;
    size_t n = length ? length : std::strlen(data);
    send_.append(data, n);
    sendComplete_ = false;
    WriteFromStream();
    WaitUntil([this] { return (sendComplete_ && !TlsUnsent()) || Canceled || sendFailed_ || !Connected; });
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
    if (!sendComplete_ || TlsUnsent() || sendFailed_) {
        send_.clear();
        sendPos_ = 0;
        throw ESockError(ErrorMessage(sendFailed_ && LastError ? LastError : 10057));
    }
}

void TPowersock::SendFile(const std::string &path)
{
    ReportStatus(8, "SendFile");
    int f = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0)
        throw std::runtime_error("Cannot open file " + path);
    struct stat st {
    };
    ::fstat(f, &st);
    fileFd_ = f;
    struct Close {
        int f;
        ~Close() { ::close(f); }
    } close{f};
    SendQueued(st.st_size, "file " + path);
}

void TPowersock::SendFrom(const TDataSource &source, int64_t size, const std::string &what)
{
    ReportStatus(8, "SendFrom");
    fileSource_ = source;
    SendQueued(size, what);
}

void TPowersock::SendQueued(int64_t size, const std::string &what)
{
    counting_ = true;
    fileMode_ = true;
    if (chunk_.size() < kChunk)
        chunk_.resize(kChunk);
    chunkPos_ = chunkLen_ = 0;
    fileError_ = 0;
    sendFailed_ = false;
    sendComplete_ = false;
    bytesSent_ = 0;
    BytesTotal = size;
    auto restore = [&] {
        fileFd_ = -1;
        fileSource_ = nullptr;
        fileMode_ = false;
        counting_ = false;
        sendComplete_ = true;
        UpdateNotifiers();
    };
    try {
        if (BytesTotal > 0) {
            WriteFromStream();
            WaitUntil([this] {
                return (sendComplete_ && !TlsUnsent()) || Canceled || sendFailed_ || fileError_ || !Connected;
            });
        } else {
            sendComplete_ = true;
        }
    } catch (...) {
        restore();
        throw;
    }
    // Complete means sent: nothing may still wait inside the TLS session, and
    // a connection that failed on the way has not delivered it either.
    bool complete = sendComplete_ && !TlsUnsent() && !sendFailed_;
    restore();
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
    if (fileError_)
        throw std::runtime_error("Cannot read " + what + ": " + std::strerror(fileError_));
    if (!complete)
        throw ESockError(ErrorMessage(sendFailed_ && LastError ? LastError : 10057));
}

// ---------------------------------------------------------------- receiving

bool TPowersock::LineReady() const
{
    return std::memchr(recv_.data() + recvPos_, '\n', PendingBytes()) != nullptr;
}

void TPowersock::ClearReceived()
{
    recv_.clear();
    recvPos_ = 0;
}

std::string TPowersock::ReadLn()
{
    ReportStatus(8, "ReadLn");
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    const bool limited = ReplyTimeOut > 0 && !replyWithoutLimit_;
    bool overdue = false;
    bool late = false;
    // Besides a line or a cancel, the wait ends when the peer closes or sends
    // an over-long line (neither can ever complete the line), and when the
    // reply is later than allowed.
    auto ready = [&] {
        if (LineReady() || Canceled || !Connected || PendingBytes() >= kMaxLine)
            return true;
        const auto waited = Clock::now() - began;
        if (limited && waited >= std::chrono::milliseconds(ReplyTimeOut)) {
            late = true;
            return true;
        }
        if (!overdue && OverdueAfter > 0 && OnReplyOverdue &&
            waited >= std::chrono::milliseconds(OverdueAfter)) {
            overdue = true;
            OnReplyOverdue(true);
        }
        return false;
    };
    try {
        WaitUntil(ready);
    } catch (...) {
        if (overdue)
            OnReplyOverdue(false);
        throw;
    }
    if (overdue)
        OnReplyOverdue(false);
    if (Canceled)
        throw EAbortError("Socket readln aborted");
    if (!LineReady()) {
        if (late) {
            ClearReceived();
            RequestCloseSocket();
            throw ESockError("No reply from the host within " + DurationText(ReplyTimeOut));
        }
        if (PendingBytes() >= kMaxLine) {
            ClearReceived();
            RequestCloseSocket();
            throw ESockError("Reply line too long");
        }
        throw ESockError(peerClosed_ ? "Connection closed by peer" : ErrorMessage(10057));
    }
    const char *start = recv_.data() + recvPos_;
    const char *lf = static_cast<const char *>(std::memchr(start, '\n', PendingBytes()));
    size_t len = static_cast<size_t>(lf - start) + 1;
    std::string line(start, len);
    recvPos_ += len;
    Compact();
    UpdateNotifiers();
    return line;
}

std::string TPowersock::Read(uint16_t count)
{
    ReportStatus(8, "Read( " + std::to_string(count) + " )");
    if (count != 0)
        WaitUntil([this, count] { return PendingBytes() >= count || Canceled || !Connected; });
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
    size_t n = count == 0 ? PendingBytes() : std::min<size_t>(count, PendingBytes());
    std::string out(recv_.data() + recvPos_, n);
    recvPos_ += n;
    Compact();
    UpdateNotifiers();
    return out;
}

std::string TPowersock::Transaction(const std::string &line)
{
    ReportStatus(8, "Transaction");
    ReplyNumber = 0;
    Writeln(line);
    std::string reply = ReadLn();
    TransactionReply = reply;
    if (!reply.empty()) {
        ReportStatus(1, reply);
        ReplyNumber = ftpreply::ReplyNumber(reply);
    }
    return reply;
}

void TPowersock::CaptureFile(const std::string &path)
{
    ReportStatus(8, "CaptureFile");
    int f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f < 0)
        throw std::runtime_error("Cannot create file " + path);
    CaptureInto(f, path);
}

void TPowersock::CaptureInto(int f, const std::string &path)
{
    fileFd_ = f;
    CaptureQueued(f, "file " + path);
}

void TPowersock::CaptureTo(const TDataSink &sink, const std::string &what)
{
    fileSink_ = sink;
    CaptureQueued(-1, what);
}

void TPowersock::CaptureQueued(int f, const std::string &what)
{
    counting_ = true;
    fileMode_ = true;
    fileError_ = 0;
    bytesReceived_ = 0;
    if (PendingBytes() > 0) {
        bytesReceived_ = static_cast<int64_t>(PendingBytes());
        fileError_ = fileSink_ ? fileSink_(recv_.data() + recvPos_, PendingBytes())
                               : writeAll(f, recv_.data() + recvPos_, PendingBytes());
        ClearReceived();
    }
    auto restore = [&] {
        // A full disk may only show when the file is closed.
        if (f >= 0 && ::close(f) < 0 && fileError_ == 0)
            fileError_ = errno;
        fileFd_ = -1;
        fileSink_ = nullptr;
        fileMode_ = false;
        counting_ = false;
        UpdateNotifiers();
    };
    try {
        WaitUntil([this] { return !Connected || Canceled || fileError_ != 0; });
    } catch (...) {
        restore();
        throw;
    }
    restore();
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
    if (fileError_)
        throw std::runtime_error("Cannot write " + what + ": " + std::strerror(fileError_));
}

// ---------------------------------------------------------------------- TLS

void TPowersock::StartTls(tls::TClientContext &ctx, const std::string &host, const TPowersock *resumeFrom)
{
    ReportStatus(8, "Starting TLS");
    if (!Connected || fd_ < 0)
        throw ESockError(ErrorMessage(10057));
    tlsError_.clear();
    tlsFacts_ = {};
    tls_ = std::make_unique<tls::TSession>(ctx, fd_, host, resumeFrom ? resumeFrom->tls_.get() : nullptr);
    tlsHandshaking_ = true;
    TlsStep();
}

void TPowersock::TlsStep()
{
    tls::TWant w = tls_->Handshake();
    if (w == tls::TWant::Read || w == tls::TWant::Write) {
        tlsHsWantsWrite_ = w == tls::TWant::Write;
    } else {
        tlsHandshaking_ = false;
        if (w != tls::TWant::None)
            tlsError_ = tls_->LastError();
        else
            tlsFacts_ = {true, tls_->Protocol(), tls_->PeerFingerprint(), tls_->VerifyError(),
                         tls_->Resumed()};
    }
    UpdateNotifiers();
}

bool TPowersock::TlsUnsent() const
{
    return tls_ && tls_->HasUnsent();
}

void TPowersock::FinishTls()
{
    // The handshake is an exchange like a reply: a host that never answers
    // (a plain port that waits for the client to speak) must not hold it.
    const int connectLimit = TimeOut;
    if (ReplyTimeOut > 0)
        TimeOut = ReplyTimeOut;
    StartTimer();
    TimeOut = connectLimit;
    WaitUntil([this] { return !tlsHandshaking_ || TimedOut || Canceled || !Connected; });
    StopTimer();
    // A connection the host has already closed still counts when its
    // handshake was complete: the data it carried is waiting in the buffer.
    if (!tlsHandshaking_ && tlsFacts_.established && tlsError_.empty()) {
        ReportStatus(4, "TLS " + tlsFacts_.protocol + (tlsFacts_.resumed ? " (resumed)" : ""));
        return;
    }
    std::string why = TimedOut             ? "timed out"
                      : Canceled           ? "canceled"
                      : !tlsError_.empty() ? tlsError_
                                           : "the host closed the connection";
    const bool canceled = Canceled && !TimedOut;
    RequestCloseSocket();
    if (canceled) {
        Canceled = false;
        throw EAbortError("TLS handshake canceled");
    }
    throw ESockError("TLS handshake failed: " + why);
}

void TPowersock::TlsCloseStep()
{
    tls::TWant w = tls_ ? tls_->SendCloseNotify() : tls::TWant::None;
    tlsClosing_ = w == tls::TWant::Write;
    UpdateNotifiers();
}

void TPowersock::CloseTls()
{
    if (!tls_ || !Connected || tlsHandshaking_)
        return;
    TlsCloseStep();
    WaitUntil([this] { return !tlsClosing_ || Canceled || !Connected; });
    tlsClosing_ = false;
}

void TPowersock::ShutdownSend()
{
    if (fd_ >= 0 && Connected)
        ::shutdown(fd_, SHUT_WR);
}

// ---------------------------------------------------------- data connections

void TPowersock::Listen(bool useLookupMessage)
{
    (void)useLookupMessage; // both ways end in the same accept flags here
    ReportStatus(8, "Listening");
    sockaddr_storage ss{};
    if (family_ == AF_INET6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_any;
        a->sin6_port = htons(static_cast<uint16_t>(Port));
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        a->sin_port = htons(static_cast<uint16_t>(Port));
    }
    lookupDone_ = false;
    noError_ = true;
    ::bind(fd_, reinterpret_cast<sockaddr *>(&ss), addressLength(ss));
    ::listen(fd_, 1);
    listening_ = true;
    Connected = false;
    UpdateNotifiers();
}

int TPowersock::Accept()
{
    WaitUntil([this] { return lookupDone_ || Canceled; });
    if (Canceled)
        throw ESockError("Accepting Canceled");
    if (!noError_)
        throw ESockError("Error creating Data Connection");
    ReportStatus(4, "Accepting");
    socklen_t len = sizeof RemoteAddress;
    int nfd =
        ::accept4(fd_, reinterpret_cast<sockaddr *>(&RemoteAddress), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (nfd < 0)
        throw ESockError("Error creating Data Connection");
    if (Canceled) {
        Canceled = false;
        ::close(nfd);
        throw EAbortError("Socket send aborted");
    }
    return nfd;
}

void TPowersock::UseAcceptedSocket(int fd)
{
    CloseHandle();
    fd_ = fd;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, notifier_.get());
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, notifier_.get());
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    QObject::connect(readNotifier_, &QSocketNotifier::activated, notifier_.get(), [this] { OnReadable(); });
    QObject::connect(writeNotifier_, &QSocketNotifier::activated, notifier_.get(), [this] { OnWritable(); });
    Connected = true;
    peerClosed_ = false;
    SetKeepAlive();
    UpdateNotifiers();
}

void TPowersock::SetKeepAlive()
{
    if (fd_ < 0)
        return;
    const int on = 1, idle = 30, interval = 10, probes = 9;
    const unsigned userTimeout = 120000;
    ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Also bounds data the host never acknowledges.
    ::setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

void TPowersock::SetLingerOff()
{
    linger l{0, 0};
    if (fd_ >= 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void TPowersock::UseFamily(int family)
{
    if (family == family_ || Connected)
        return;
    CloseHandle();
    family_ = family;
    OpenSocket(false);
}

std::string TPowersock::PeerAddressText() const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (RemoteAddress.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&RemoteAddress)->sin6_addr, text,
                    sizeof text);
    else
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&RemoteAddress)->sin_addr, text,
                    sizeof text);
    return text;
}

std::string TPowersock::EprtArgument(const TPowersock &data) const
{
    sockaddr_in6 local{};
    socklen_t len = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &len);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &local.sin6_addr, text, sizeof text);
    sockaddr_in6 listening{};
    len = sizeof listening;
    ::getsockname(data.fd_, reinterpret_cast<sockaddr *>(&listening), &len);
    return std::string("|2|") + text + "|" + std::to_string(ntohs(listening.sin6_port)) + "|";
}

std::string TPowersock::PortAddressText() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    std::string s = ::inet_ntoa(a.sin_addr);
    for (auto &c : s)
        if (c == '.')
            c = ',';
    return s;
}

std::string TPowersock::PortNumberText() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    unsigned port = ntohs(a.sin_port);
    return "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

// ---------------------------------------------------------------- reporting

void TPowersock::ReportStatus(int level, const std::string &text)
{
    if (ReportLevel < level)
        return;
    LastStatus = text;
    if (!destroying_ && OnStatus)
        OnStatus(this, text);
}

std::string TPowersock::ErrorMessage(int error)
{
    ReportStatus(8, "Looking Up Error Message");
    if (error == 0)
        return "";
    for (const auto &row : kErrorTable)
        if (row.number == error)
            return std::to_string(error) + ":" + row.text;
    return "Unknown Error No. " + std::to_string(error);
}

std::string TPowersock::CheckError(int tolerated)
{
    int e = errno;
    ReportStatus(16, "Checking Error In Error Manager");
    LastError = WinsockError(e);
    if (LastError == tolerated)
        return "";
    std::string text = ErrorMessage(LastError);
    if (OnError)
        OnError(this, static_cast<uint16_t>(LastError), text);
    throw ESockError(text);
}

void TPowersock::RequireConnection()
{
    for (int round = 0; !Connected; ++round) {
        if (round > 0 || !OnConnectionRequired)
            throw std::runtime_error("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw std::runtime_error("Not Connected");
    }
}
