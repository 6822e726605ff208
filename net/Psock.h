#pragma once
// Message-driven socket base of the network components. One instance owns one
// non-blocking IPv4 TCP socket; its readiness arrives through the Qt event
// loop, and the blocking operations below pump that loop while they wait, so
// the user interface, timers and other sockets stay live inside a transfer.

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tls
{
class TClientContext;
class TSession;
} // namespace tls

class QObject;
class QSocketNotifier;
class QTimer;

// Socket failures. Both carry only a message.
class ESockError : public std::runtime_error
{
public:
    explicit ESockError(const std::string &msg) : std::runtime_error(msg) {}
};
class EAbortError : public ESockError
{
public:
    explicit EAbortError(const std::string &msg) : ESockError(msg) {}
};

class TPowersock;
using TNotifyEvent = std::function<void(TPowersock *Sender)>;
using THandlerEvent = std::function<void(bool &Handled)>;
using TOnHostResolved = std::function<void(TPowersock *Sender)>;
using TOnStatus = std::function<void(TPowersock *Sender, const std::string &Status)>;
using TOnErrorEvent = std::function<void(TPowersock *Sender, uint16_t Errno, const std::string &Errmsg)>;

// A timer on the GUI thread (the name is historical: no thread is involved).
class TThreadTimer
{
public:
    TThreadTimer();
    ~TThreadTimer();
    TThreadTimer(const TThreadTimer &) = delete;
    TThreadTimer &operator=(const TThreadTimer &) = delete;

    bool Enabled() const { return enabled_; }
    unsigned Interval() const { return interval_; }
    void SetEnabled(bool on);
    void SetInterval(unsigned ms);
    void SetOnTimer(std::function<void(TThreadTimer *)> handler);

private:
    void UpdateTimer();
    bool enabled_ = true;
    unsigned interval_ = 1000;
    std::function<void(TThreadTimer *)> onTimer_;
    std::unique_ptr<QTimer> timer_;
};

class TPowersock
{
public:
    TPowersock();
    virtual ~TPowersock();
    TPowersock(const TPowersock &) = delete;
    TPowersock &operator=(const TPowersock &) = delete;

    // Published properties.
    std::string Host;
    int Port = 0;
    int TimeOut = 0; // ms for lookup and connection set-up; 0 = no limit
    // ms a reply line (or a TLS handshake) may be awaited; 0 = no limit. A
    // wait that runs out closes the connection: the dialogue is out of step.
    int ReplyTimeOut = 0;
    // After this many ms of waiting for a reply OnReplyOverdue(true) fires,
    // and OnReplyOverdue(false) when the wait ends; 0 = never.
    int OverdueAfter = 0;
    std::function<void(bool Overdue)> OnReplyOverdue;
    // Asked between the rounds of every wait; a non-empty answer ends the
    // wait with EAbortError carrying it (the user or a signal stopped the
    // work, or the transfer lost its control connection).
    std::function<std::string()> StopCheck;
    int ReportLevel = 1; // highest status level passed to OnStatus
    std::string Proxy;
    int ProxyPort = 0;

    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;

    // Run-time state, read by the components and their users.
    // The peer: IPv4 or IPv6.
    sockaddr_storage RemoteAddress{};
    bool Connected = false;
    bool Canceled = false;
    bool TimedOut = false;
    int LastError = 0;
    std::string LastStatus;
    std::string TransactionReply;
    int16_t ReplyNumber = 0;
    // 64-bit: save files beyond 2 GiB are ordinary.
    int64_t BytesTotal = 0;
    std::vector<std::string> WinsockInfo;
    // Run after received data was stored (the FTP client watches for 421/426).
    std::function<void()> DataArrivalHook;

    virtual int64_t BytesSent() const { return bytesSent_; }
    virtual int64_t BytesReceived() const { return bytesReceived_; }

    virtual void Connect();
    virtual void Disconnect();
    virtual std::string Transaction(const std::string &line);
    virtual void Abort() {}
    virtual int Accept();

    void Cancel();
    void Write(const std::string &text);
    void Writeln(const std::string &text);
    void SendBuffer(const char *data, uint16_t length);
    std::string ReadLn();
    std::string Read(uint16_t count);
    void Listen(bool useLookupMessage);
    void SendFile(const std::string &path);
    void CaptureFile(const std::string &path);
    // CaptureFile into a file the caller opened; `f` is closed in every case,
    // `path` names it in messages.
    void CaptureInto(int f, const std::string &path);
    // Where received data goes instead of a file: returns 0, or an errno
    // that ends the capture (the consumer failed or went away).
    using TDataSink = std::function<int(const char *data, std::size_t n)>;
    // Where sent data comes from instead of a file: bytes put in `buf`, 0 at
    // the end of whole data, or a negative errno.
    using TDataSource = std::function<long(char *buf, std::size_t max)>;
    // CaptureInto with `sink` for the file; `what` names it in messages.
    void CaptureTo(const TDataSink &sink, const std::string &what);
    // SendFile of the `size` bytes `source` gives; `what` names it in messages.
    void SendFrom(const TDataSource &source, int64_t size, const std::string &what);
    std::string PortAddressText() const;
    // The argument of EPRT for the listening socket `data`, for a control
    // connection over IPv6: "|2|<this side's address>|<port>|".
    std::string EprtArgument(const TPowersock &data) const;
    // The peer's address as text ("192.0.2.7", "2001:db8::7").
    std::string PeerAddressText() const;
    // AF_INET or AF_INET6: what the socket is, or will connect with.
    int Family() const { return family_; }
    // Makes the unconnected socket one of `family` (a data connection's
    // listener follows its control connection).
    void UseFamily(int family);
    std::string PortNumberText() const;
    void SendQueued(int64_t size, const std::string &what);
    void CaptureQueued(int f, const std::string &what);
    void RequestCloseSocket();
    void ReportStatus(int level, const std::string &text);
    std::string ErrorMessage(int error);
    std::string CheckError(int tolerated);
    void RequireConnection();

    // Hands an accepted connection to this instance in place of its listening
    // socket.
    void UseAcceptedSocket(int fd);
    // Turns the close behaviour to "deliver what is queued" (linger off).
    void SetLingerOff();
    // A complete line waits in the receive queue.
    bool LineReady() const;
    // The listening socket has a connection to accept (or failed).
    bool AcceptReady() const { return lookupDone_; }
    // What has been received and not yet read.
    std::string_view PendingData() const { return std::string_view(recv_).substr(recvPos_); }
    // Drops everything received and not yet read.
    void ClearReceived();
    int Handle() const { return fd_; }

    // TLS on the connected socket. StartTls sends the first handshake bytes
    // and returns; the handshake then runs on socket events, also while the
    // caller waits on another socket. FinishTls waits for its end and throws
    // ESockError when it failed. `resumeFrom` offers that socket's session
    // for reuse (the FTP data connection resumes the control connection's).
    void StartTls(tls::TClientContext &ctx, const std::string &host, const TPowersock *resumeFrom = nullptr);
    void FinishTls();
    // Sends close_notify and waits until it has left, so the peer can tell a
    // complete stream from a cut one.
    void CloseTls();
    const tls::TSession *Tls() const { return tls_.get(); }
    // What the last handshake established. It outlives the connection: a
    // short transfer can be over, and its socket closed, before anyone waits
    // for the handshake.
    struct TTlsFacts {
        bool established = false;
        std::string protocol, fingerprint, verifyError;
        bool resumed = false;
    };
    const TTlsFacts &TlsFacts() const { return tlsFacts_; }
    // Half-closes: the peer reads the end of the stream, this side can still
    // read what the peer sends until it closes.
    void ShutdownSend();
    // Why the TLS layer ended the connection (a record that failed, or the
    // peer closing without close_notify: the data may be cut short); empty
    // after a clean end.
    const std::string &TlsError() const { return tlsError_; }

    // Keeps a quiet connection alive through NAT devices and notices a host
    // that vanished: probes after 30 s of silence, the connection is given up
    // when the host has not answered for 120 s.
    void SetKeepAlive();
    // Why the waits must end now (StopCheck's answer); empty while they may
    // go on.
    virtual std::string StopReason() const { return StopCheck ? StopCheck() : std::string(); }

    // The longest reply line accepted; a peer that sends more without a line
    // end is cut off instead of growing the queue without bound.
    static constexpr size_t kMaxLine = 64 * 1024;

protected:
    // The socket-level connect notification; the FTP client replaces OnConnect
    // with its own sign-on event and overrides this to stay silent.
    virtual void SocketConnected();
    bool destroying_ = false;
    // The reply awaited now may legitimately take hours (a remote command):
    // ReadLn ignores ReplyTimeOut, the keepalive watches the host instead.
    bool replyWithoutLimit_ = false;
    // Pumps the event loop until `done` holds; re-tested after every round.
    void WaitUntil(const std::function<bool()> &done);

private:
    void InitializeWinsock();
    void OpenSocket(bool withLinger);
    void CloseHandle();
    void ResolveHost();
    void StartTimer();
    void StopTimer();
    void TimerTriggered();
    void UpdateNotifiers();
    void OnReadable();
    void OnWritable();
    void ReadToStream();
    void WriteFromStream();
    void HandleClose();
    size_t PendingBytes() const { return recv_.size() - recvPos_; }
    void Compact();
    void TlsStep();
    // Records the TLS session took that have not left yet.
    bool TlsUnsent() const;
    void TlsCloseStep();

    int fd_ = -1;
    bool listening_ = false;
    bool connecting_ = false;
    bool noError_ = true;
    bool lookupDone_ = false;
    bool sendComplete_ = true;
    bool fileMode_ = false;
    bool counting_ = false;
    bool handlerGuard_ = false;
    bool peerClosed_ = false;
    bool sendFailed_ = false;
    int fileError_ = 0;
    int family_ = AF_INET;
    std::vector<sockaddr_storage> candidates_;       // addresses to try, in order
    std::vector<sockaddr_storage> lookupCandidates_; // what the last lookup gave
    int64_t bytesSent_ = 0;
    int64_t bytesReceived_ = 0;

    // Receive queue: bytes [recvPos_, size) are unread.
    std::string recv_;
    size_t recvPos_ = 0;
    // Send queue in memory mode.
    std::string send_;
    size_t sendPos_ = 0;
    // File mode: the file that stands in for a queue, and the chunk in flight.
    int fileFd_ = -1;
    TDataSink fileSink_;     // instead of fileFd_ when set
    TDataSource fileSource_; // likewise
    std::vector<char> chunk_;
    size_t chunkPos_ = 0;
    size_t chunkLen_ = 0;
    bool fileEof_ = false;

    std::unique_ptr<QObject> notifier_;
    QSocketNotifier *readNotifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;
    std::unique_ptr<TThreadTimer> timer_;

    std::unique_ptr<tls::TSession> tls_;
    bool tlsHandshaking_ = false;
    bool tlsHsWantsWrite_ = false;
    bool tlsReadWantsWrite_ = false; // a record read needs the socket writable
    bool tlsWriteWantsRead_ = false; // ... or a write needs it readable
    bool tlsMore_ = false;           // records wait inside the session
    bool tlsClosing_ = false;        // close_notify waits for a writable socket
    std::string tlsError_;
    TTlsFacts tlsFacts_;
};

// WinSock's number for a POSIX errno value, so texts and OnError numbers stay
// those the program has always shown.
int WinsockError(int posixErrno);

// A limit in milliseconds as the messages show it: "60 s", "1.5 s".
std::string DurationText(int ms);
