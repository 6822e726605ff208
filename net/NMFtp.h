#pragma once
// FTP client: sign-on (optionally through a proxy that takes "user@host"),
// raw commands with success and failure events, transfer types, and one-file
// downloads and uploads over an active (PORT) or passive (EPSV/PASV) data
// connection, in the clear or under TLS (explicit AUTH TLS or implicit).

#include "net/FtpReply.h"
#include "net/FtpTransport.h"
#include "net/Psock.h"

#include <chrono>
#include <memory>

// A failing reply; the message is the reply line, CR LF included.
class FTPException : public std::runtime_error
{
public:
    explicit FTPException(const std::string &msg) : std::runtime_error(msg) {}
};

// A TLS failure that ends the session: an untrusted or changed certificate,
// a host that refuses TLS, a failed handshake.
class ETlsError : public ESockError
{
public:
    explicit ETlsError(const std::string &msg) : ESockError(msg) {}
};
// The host shows another certificate than the one accepted for it: a new
// certificate, or another machine answering under its name.
class ECertificateChanged : public ETlsError
{
public:
    explicit ECertificateChanged(const std::string &msg) : ETlsError(msg) {}
};

enum class TCertAnswer : uint8_t { Reject, Accept, AcceptAndRemember };
// Asked when the host's certificate does not verify against the trust store
// (and no fingerprint is pinned). `Fingerprint` is SHA-256 as "AB:CD:..",
// `Problem` the verification error. AcceptAndRemember stores the fingerprint
// in TlsFingerprint, where the caller picks it up to keep with the host.
using TVerifyCertificateEvent =
    std::function<void(const std::string &Fingerprint, const std::string &Problem, TCertAnswer &Answer)>;

namespace tls
{
class TClientContext;
}

// The most a reply may hold: no real server's reply comes near it, and a
// server that sends reply lines without end is cut off here.
inline constexpr size_t kMaxReplyBytes = 8 * 1024 * 1024;
inline constexpr size_t kMaxReplyLines = 100000;

using TFailureEvent = std::function<void(bool &Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TNMListItem = std::function<void(const std::string &Listing)>;

class TNMFTP : public TPowersock
{
public:
    TNMFTP();
    ~TNMFTP() override;

    std::string UserID;
    std::string Password;
    // Data connections opened by the client (EPSV, falling back to PASV)
    // instead of by the host (PORT).
    bool Passive = false;
    TFtpSecurity Security = TFtpSecurity::None;
    // The host certificate's SHA-256, accepted once: when set, exactly this
    // certificate is accepted and any other refused, whatever signed it.
    std::string TlsFingerprint;
    // Extra trusted CA certificates (PEM), beside the system store.
    std::string TlsCaFile;
    TVerifyCertificateEvent OnVerifyCertificate;
    // A host profile's passive mode, security, accepted certificate and
    // reply time-out.
    void UseTransport(const FtpTransport &t)
    {
        Passive = t.passive;
        Security = t.security;
        TlsFingerprint = t.tlsFingerprint;
        ReplyTimeOut = t.replyTimeOut;
    }
    int Vendor = 2411;      // kept for directory listings, which this client has not
    bool ParseList = false; // likewise only stored

    // OnConnect (inherited) means "signed on" here.
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed; // never raised
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TUnsupportedEvent OnUnSupportedFunction;
    TNMListItem OnListItem; // never raised

    // Every line of the last reply read by Transaction, line ends included.
    std::string LastReplyText;
    // What the last failure passed to OnFailure was about: the host's reply
    // line, or the client's own finding (a transfer cut short).
    std::string LastFailureText;

    void Connect() override;
    void Disconnect() override;
    std::string Transaction(const std::string &line) override;
    void Abort() override;

    void SendCommand(const std::string &command);
    void SetTransferType(int type);
    void Download(const std::string &remote, const std::string &local);
    void Upload(const std::string &local, const std::string &remote);
    // The same transfers with the data going to `sink` or coming from
    // `source` (`size` bytes) instead of a file; `what` names it in messages.
    void Download(const std::string &remote, const TPowersock::TDataSink &sink, const std::string &what);
    void Upload(const TPowersock::TDataSource &source, int64_t size, const std::string &what,
                const std::string &remote);
    // The byte size the host gives for `remote` (SIZE, 213); -1 when it
    // gives none.
    int64_t RemoteSize(const std::string &remote);

    // Ends the wait that runs now, and every later one, with EAbortError
    // carrying `why`; the session is over (sign-off closes without QUIT, as
    // the host may not be answering). Safe to call from inside a wait.
    void Stop(const std::string &why);
    bool Stopped() const { return !StopReason().empty(); }
    std::string StopReason() const override;

    // Counters of the running transfer's data connection.
    int64_t BytesSent() const override;
    int64_t BytesReceived() const override;

    // The SHA-256 of the certificate the signed-on host presented; empty
    // without TLS.
    const std::string &PeerFingerprint() const { return peerFingerprint_; }

    static int64_t ParseByteCount(const std::string &line) { return ftpreply::ByteCount(line); }

protected:
    void SocketConnected() override {}

private:
    void SkipContinuationLines(const std::string &first, ftpreply::ReplyAssembler &reply,
                               int64_t *byteCount = nullptr);
    void CheckServerAbort();
    void DrainAfterCancel();
    // A failed command or transfer: OnFailure may take it (returns), else
    // FTPException.
    void Failure(const std::string &reply, TCmdType type);
    // A failure the client itself found (a short file): `why` stands in for
    // the reply line.
    void LocalVerdict(const std::string &why, TCmdType type);
    bool OpenDataConnection(TCmdType type, const std::string *uploadFile);
    bool AwaitDataConnection(TCmdType type);
    std::string FinalReply();
    void DownloadWith(const std::string &remote, const std::function<void()> &capture,
                      const std::function<void()> &commit);
    void UploadWith(const std::string &local, const std::string &remote, const std::string *file,
                    const std::function<void()> &send);
    // Why a wait on the data connection must end: a stop, the control
    // connection closed, the host broke off (421/426), nothing moved for
    // ReplyTimeOut; empty while the transfer may go on.
    std::string DataStopReason();
    bool ServerAbortPending() const;
    // A reply line may take that long (ms) to come; bounds the waits that
    // are no ReadLn.
    bool Expired(std::chrono::steady_clock::time_point since) const;
    void CloseData();
    void SecureControl();
    void CheckCertificate();
    bool OpenPassive(TCmdType type);
    void FinishDataTls();
    std::string TlsHostName() const { return Proxy.empty() ? Host : Proxy; }

    // Declared before data_ so it outlives the data connection's session.
    std::unique_ptr<tls::TClientContext> tlsContext_;
    std::unique_ptr<TPowersock> data_;
    bool binary_ = false;  // TYPE I (or L 8) is in force
    bool aborted_ = false; // Abort broke off the running transfer
    bool epsvRefused_ = false;
    std::string peerFingerprint_;
    std::string stopReason_;
    void SetDataOverdue(bool overdue);
    bool outOfStep_ = false;   // a transfer stalled: its reply may still come
    bool dataOverdue_ = false; // OnReplyOverdue(true) was raised for a stalled transfer
    int64_t dataMoved_ = 0;
    std::chrono::steady_clock::time_point dataMovedAt_;
};
