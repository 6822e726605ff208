#include "net/NMFtp.h"

#include "net/TlsSession.h"
#include "platform/Pump.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

bool between(int v, int lo, int hi)
{
    return v >= lo && v <= hi;
}

std::string fileNamePart(const std::string &path)
{
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Holds back the 421/426 watch while a reply that may legitimately carry
// those codes is read as an answer.
struct HookPause {
    std::function<void()> &hook;
    std::function<void()> saved;
    explicit HookPause(std::function<void()> &h) : hook(h), saved(std::move(h)) { hook = nullptr; }
    ~HookPause() { hook = std::move(saved); }
};

// Sets a flag for one scope.
struct ScopedFlag {
    bool &flag;
    bool saved;
    ScopedFlag(bool &f, bool on) : flag(f), saved(f) { flag = on; }
    ~ScopedFlag() { flag = saved; }
};

bool isRemoteCommand(const std::string &command)
{
    if (command.size() < 5)
        return false;
    std::string word = command.substr(0, 5);
    for (auto &c : word)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word == "RCMD ";
}

mode_t currentUmask()
{
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

// The file a download writes. It is made before anything is sent, so a path
// that cannot be written fails with the host untouched. A regular file is
// written under a temporary name beside it and put in place only when the
// transfer succeeded: a failed download leaves no partial file looking
// complete, and an earlier file of that name survives it.
class LocalTarget
{
public:
    explicit LocalTarget(std::string path) : path_(std::move(path))
    {
        struct stat st {
        };
        const bool exists = ::stat(path_.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            // A device or a pipe is written as it stands.
            fd_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            if (fd_ < 0)
                throw std::runtime_error("Cannot create file " + path_);
            return;
        }
        if (exists && ::access(path_.c_str(), W_OK) != 0)
            throw std::runtime_error("Cannot create file " + path_);
        const size_t cut = path_.rfind('/');
        const std::string dir = cut == std::string::npos ? "" : path_.substr(0, cut + 1);
        const std::string base = cut == std::string::npos ? path_ : path_.substr(cut + 1);
        std::string pattern = dir + "." + base.substr(0, 200) + ".part-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("Cannot create file " + path_);
        temp_ = name.data();
        ::fchmod(fd_, exists ? (st.st_mode & 07777) : (0666 & ~currentUmask()));
    }
    ~LocalTarget()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!committed_ && !temp_.empty())
            ::unlink(temp_.c_str());
    }
    LocalTarget(const LocalTarget &) = delete;
    LocalTarget &operator=(const LocalTarget &) = delete;

    // The descriptor, now owned by the caller.
    int take()
    {
        const int f = fd_;
        fd_ = -1;
        return f;
    }
    const std::string &path() const { return path_; }
    void commit()
    {
        if (!temp_.empty() && ::rename(temp_.c_str(), path_.c_str()) != 0)
            throw std::runtime_error("Cannot create file " + path_ + ": " + std::strerror(errno));
        committed_ = true;
    }

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace

TNMFTP::TNMFTP()
{
    Port = 21;
    Vendor = 2411;
    ReplyTimeOut = kDefaultReplyTimeOut;
    DataArrivalHook = [this] { CheckServerAbort(); };
}

void TNMFTP::Stop(const std::string &why)
{
    stopReason_ = why.empty() ? "Stopped" : why;
}

std::string TNMFTP::StopReason() const
{
    return stopReason_.empty() ? TPowersock::StopReason() : stopReason_;
}

bool TNMFTP::Expired(std::chrono::steady_clock::time_point since) const
{
    return ReplyTimeOut > 0 &&
           std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(ReplyTimeOut);
}

bool TNMFTP::ServerAbortPending() const
{
    std::string_view p = PendingData();
    return p.size() >= 4 && (p.substr(0, 3) == "421" || p.substr(0, 3) == "426");
}

std::string TNMFTP::DataStopReason()
{
    std::string why = StopReason();
    if (!why.empty())
        return why;
    // The host's own word first: a 426 may come just before it closes.
    if (ServerAbortPending())
        return "The host broke off the transfer";
    // A host may close right after its final reply; the data's own end then
    // comes next (and the stall limit below still holds).
    if (!Connected && !LineReady())
        return "The host closed the control connection during the transfer";
    const bool watchOverdue = OverdueAfter > 0 && OnReplyOverdue;
    if (data_ && (ReplyTimeOut > 0 || watchOverdue)) {
        const int64_t moved = data_->BytesReceived() + data_->BytesSent();
        const auto now = std::chrono::steady_clock::now();
        if (moved != dataMoved_) {
            dataMoved_ = moved;
            dataMovedAt_ = now;
            SetDataOverdue(false);
        } else if (Expired(dataMovedAt_)) {
            outOfStep_ = true; // the host's reply to the transfer is still to come
            return "The transfer stalled: no data moved for " + DurationText(ReplyTimeOut);
        } else if (watchOverdue && now - dataMovedAt_ >= std::chrono::milliseconds(OverdueAfter)) {
            // A stalled transfer is overdue like a reply: the user may stop it.
            SetDataOverdue(true);
        }
    }
    return {};
}

void TNMFTP::SetDataOverdue(bool overdue)
{
    if (overdue == dataOverdue_)
        return;
    dataOverdue_ = overdue;
    if (OnReplyOverdue)
        OnReplyOverdue(overdue);
}

TNMFTP::~TNMFTP()
{
    Cancel();
    if (Connected) {
        try {
            Disconnect();
        } catch (...) {
        }
    }
    CloseData();
}

int64_t TNMFTP::BytesSent() const
{
    return data_ ? data_->BytesSent() : 0;
}
int64_t TNMFTP::BytesReceived() const
{
    return data_ ? data_->BytesReceived() : 0;
}

// ------------------------------------------------------------------- replies

void TNMFTP::SkipContinuationLines(const std::string &first, ftpreply::ReplyAssembler &reply,
                                   int64_t *byteCount)
{
    std::string line = first;
    size_t lines = 1, bytes = first.size();
    while (reply.NeedsMore(line)) {
        if (lines >= kMaxReplyLines || bytes >= kMaxReplyBytes) {
            // The rest of the reply is still coming: the session is out of
            // step and ends here.
            ClearReceived();
            RequestCloseSocket();
            throw ESockError("Reply too long: more than " +
                             (lines >= kMaxReplyLines
                                  ? std::to_string(kMaxReplyLines) + " lines"
                                  : std::to_string(kMaxReplyBytes / (1024 * 1024)) + " MiB"));
        }
        line = ReadLn();
        ++lines;
        bytes += line.size();
        ReportStatus(1, line);
        LastReplyText += line;
        if (byteCount && *byteCount == 0)
            *byteCount = ftpreply::ByteCount(line);
    }
}

std::string TNMFTP::Transaction(const std::string &line)
{
    // Nothing new goes to a host once the work was stopped.
    if (const std::string why = StopReason(); !why.empty())
        throw EAbortError(why);
    // A 421 or 426 here is the answer itself, with the host's own text.
    HookPause pause(DataArrivalHook);
    LastReplyText.clear();
    std::string first = TPowersock::Transaction(line);
    LastReplyText = first;
    ftpreply::ReplyAssembler reply;
    SkipContinuationLines(first, reply);
    return first;
}

void TNMFTP::CheckServerAbort()
{
    std::string_view p = PendingData();
    if (p.size() >= 4 && (p.substr(0, 3) == "421" || p.substr(0, 3) == "426"))
        Cancel();
}

void TNMFTP::DrainAfterCancel()
{
    // The answer awaited here is typically the 426 itself.
    HookPause pause(DataArrivalHook);
    Canceled = false;
    aborted_ = false;
    const auto start = std::chrono::steady_clock::now();
    std::string got;
    do {
        got += Read(0);
        if (!got.empty())
            break;
        platform::WaitForEvents(2);
    } while (std::chrono::steady_clock::now() - start < std::chrono::microseconds(950400));
    ReportStatus(1, got);
}

void TNMFTP::LocalVerdict(const std::string &why, TCmdType type)
{
    // Handlers read the failing "reply" where they read the host's.
    ReplyNumber = 0;
    TransactionReply = why;
    LastReplyText = why;
    Failure(why, type);
}

void TNMFTP::Failure(const std::string &reply, TCmdType type)
{
    LastFailureText = reply;
    if (!OnFailure)
        throw FTPException(reply);
    bool handled = false;
    OnFailure(handled, type);
    if (!handled)
        throw FTPException(reply);
}

// ------------------------------------------------------------ sign-on/off

void TNMFTP::Connect()
{
    Canceled = false;
    if (Connected)
        return;
    ClearReceived();
    stopReason_.clear();
    epsvRefused_ = false;
    peerFingerprint_.clear();
    tlsContext_.reset();
    TPowersock::Connect();
    try {
        if (Security == TFtpSecurity::Implicit)
            SecureControl();
        // Starting from a blank line reads at least one line, and a
        // multi-line greeting to its end.
        {
            HookPause pause(DataArrivalHook);
            ftpreply::ReplyAssembler greeting;
            LastReplyText.clear();
            std::string first;
            try {
                first = ReadLn();
            } catch (const ESockError &e) {
                if (std::string(e.what()).rfind("No reply", 0) != 0 || Security == TFtpSecurity::Implicit)
                    throw;
                throw ESockError("The host sent no greeting within " + DurationText(ReplyTimeOut) +
                                 " (a port that expects TLS from the first byte stays silent like this)");
            }
            ReportStatus(1, first);
            LastReplyText = first;
            SkipContinuationLines(first, greeting);
            // A host that turns the session away (421 too many users) says why.
            if (between(ftpreply::ReplyNumber(first), 400, 599))
                throw FTPException(first);
        }
        if (Security == TFtpSecurity::Explicit) {
            ReportStatus(1, "AUTH TLS");
            Transaction("AUTH TLS");
            // Never on in the clear: the password must not leave unprotected.
            if (ReplyNumber != 234)
                throw ETlsError("the host refused TLS: " + TransactionReply);
            // Nothing sent in the clear after 234 may pass as a protected reply.
            ClearReceived();
            SecureControl();
        }
        if (Security != TFtpSecurity::None) {
            for (const char *cmd : {"PBSZ 0", "PROT P"}) {
                ReportStatus(1, cmd);
                Transaction(cmd);
                if (!between(ReplyNumber, 200, 299))
                    throw ETlsError(std::string("the host refused ") + cmd + ": " + TransactionReply);
            }
        }
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        ReportStatus(1, "USER " + UserID);
        Transaction(Proxy.empty() ? "USER " + UserID : "USER " + UserID + "@" + Host);
        if (between(ReplyNumber, 401, 599)) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(TransactionReply);
        }
        if (ReplyNumber == 331) {
            ReportStatus(1, "PASS ");
            Transaction("PASS " + Password);
            if (between(ReplyNumber, 401, 599)) {
                if (OnConnectionFailed)
                    OnConnectionFailed(this);
                throw FTPException(TransactionReply);
            }
        }
        binary_ = false; // every session starts in ASCII
        if (OnConnect)
            OnConnect(this);
    } catch (const ETlsError &) {
        // Nothing more is said to a host that is not trusted.
        TPowersock::Disconnect();
        ReportStatus(1, "Disconnected");
        throw;
    } catch (...) {
        // Sign off before the failure goes on; a failing QUIT must not hide
        // the reason the session ended.
        try {
            Disconnect();
        } catch (...) {
        }
        ReportStatus(1, "Disconnected");
        throw;
    }
}

void TNMFTP::Disconnect()
{
    Canceled = false;
    if (!Connected)
        return;
    if (Stopped()) {
        // The host may be the reason for the stop: nothing more is awaited.
        TPowersock::Disconnect();
        return;
    }
    ReportStatus(1, "QUIT");
    try {
        Vendor = 2411;
        Read(0);
        Transaction("QUIT");
        if (between(ReplyNumber, 301, 599))
            throw FTPException(TransactionReply);
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
}

// ----------------------------------------------------------------------- TLS

void TNMFTP::SecureControl()
{
    try {
        // A pinned certificate is accepted or refused on its fingerprint
        // alone; the trust store would not be asked.
        tlsContext_ = std::make_unique<tls::TClientContext>(TlsCaFile, TlsFingerprint.empty());
    } catch (const std::runtime_error &e) {
        throw ETlsError(e.what());
    }
    StartTls(*tlsContext_, TlsHostName());
    try {
        FinishTls();
    } catch (const EAbortError &) {
        throw;
    } catch (const ESockError &e) {
        throw ETlsError(e.what());
    }
    CheckCertificate();
    ReportStatus(1, "Control connection protected (" + TlsFacts().protocol + ")");
}

void TNMFTP::CheckCertificate()
{
    const std::string got = TlsFacts().fingerprint;
    const std::string problem = TlsFacts().verifyError;
    if (!TlsFingerprint.empty()) {
        if (tls::SameFingerprint(got, TlsFingerprint)) {
            peerFingerprint_ = got;
            return;
        }
        throw ECertificateChanged("the host's certificate changed: expected SHA-256 " +
                                  tls::ColonFingerprint(TlsFingerprint) + ", got " + got);
    }
    if (!problem.empty()) {
        TCertAnswer answer = TCertAnswer::Reject;
        if (OnVerifyCertificate && !got.empty())
            OnVerifyCertificate(got, problem, answer);
        if (answer == TCertAnswer::Reject)
            throw ETlsError("the host's certificate is not trusted (" + problem + "), SHA-256 " + got);
        if (answer == TCertAnswer::AcceptAndRemember)
            TlsFingerprint = got;
    }
    peerFingerprint_ = got;
}

void TNMFTP::FinishDataTls()
{
    data_->FinishTls();
    // The data connection must end at the very host the user trusted.
    const std::string got = data_->TlsFacts().fingerprint;
    if (got != peerFingerprint_)
        throw ETlsError("the data connection presented another certificate: expected SHA-256 " +
                        peerFingerprint_ + ", got " + got);
    ReportStatus(1, "Data connection protected (" + data_->TlsFacts().protocol +
                        (data_->TlsFacts().resumed ? ", session resumed)" : ")"));
}

bool TNMFTP::OpenPassive(TCmdType type)
{
    std::string reply;
    int port = -1;
    if (!epsvRefused_) {
        ReportStatus(1, "EPSV");
        reply = Transaction("EPSV");
        if (ReplyNumber == 229)
            port = ftpreply::PassivePort(reply);
        else if (between(ReplyNumber, 500, 502))
            epsvRefused_ = true; // an older host: PASV from now on
    }
    if (port < 0) {
        ReportStatus(1, "PASV");
        reply = Transaction("PASV");
        if (ReplyNumber == 227)
            port = ftpreply::PassivePort(reply);
    }
    if (port < 0) {
        CloseData();
        Failure(reply.empty() ? "425 No passive data port\r\n" : reply, type);
        return false;
    }
    data_->Host = PeerAddressText();
    data_->Port = port;
    data_->Connect();
    // The handshake starts now and runs on while the transfer command is
    // answered: hosts differ in whether they shake hands before or after 150.
    if (Security != TFtpSecurity::None)
        data_->StartTls(*tlsContext_, TlsHostName(), this);
    return true;
}

// ---------------------------------------------------------------- commands

void TNMFTP::SendCommand(const std::string &command)
{
    const TCmdType type = ftpreply::Classify(command);
    Canceled = false;
    RequireConnection();
    if (!Connected)
        return;
    ReportStatus(1, command);
    Read(0);
    std::string reply;
    {
        // A SAVLIB of a big library may run for hours before it answers.
        ScopedFlag unlimited(replyWithoutLimit_, isRemoteCommand(command));
        reply = Transaction(command);
    }
    if (between(ReplyNumber, 400, 599)) {
        // 421: the host closes the session now.
        if (ReplyNumber == 421)
            TPowersock::Disconnect();
        if (between(ReplyNumber, 500, 502) && OnUnSupportedFunction)
            OnUnSupportedFunction(type);
        Failure(reply, type);
        return;
    }
    // 221 (QUIT sent as a raw command): the host closes the session.
    const bool closing = ReplyNumber == 221;
    if (command.size() > 5 && (command.compare(0, 5, "TYPE ") == 0 || command.compare(0, 5, "type ") == 0)) {
        char t = static_cast<char>(std::toupper(static_cast<unsigned char>(command[5])));
        binary_ = t == 'I' || t == 'L';
    }
    if (closing)
        TPowersock::Disconnect();
    if (OnSuccess)
        OnSuccess(type);
}

void TNMFTP::SetTransferType(int type)
{
    switch (type) {
    case 1:
        SendCommand("TYPE A");
        break;
    case 2:
        SendCommand("TYPE I");
        break;
    case 3:
        SendCommand("TYPE L 8");
        break;
    default:
        break;
    }
}

void TNMFTP::Abort()
{
    if (data_) {
        data_->Cancel();
        aborted_ = true;
    }
}

// ---------------------------------------------------------- data transfers

void TNMFTP::CloseData()
{
    std::unique_ptr<TPowersock> d = std::move(data_);
    SetDataOverdue(false);
}

bool TNMFTP::OpenDataConnection(TCmdType type, const std::string *uploadFile)
{
    data_ = std::make_unique<TPowersock>();
    Read(0);
    // Setting up the data connection is bounded like a reply.
    data_->TimeOut = TimeOut > 0 ? TimeOut : ReplyTimeOut;
    data_->ReplyTimeOut = ReplyTimeOut;
    data_->Port = 0;
    data_->StopCheck = [this] { return DataStopReason(); };
    dataMoved_ = 0;
    dataMovedAt_ = std::chrono::steady_clock::now();
    outOfStep_ = false;
    if (!Passive) {
        data_->UseFamily(Family());
        data_->Listen(true);
    }
    if (uploadFile) {
        int f = ::open(uploadFile->c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {
        };
        if (f < 0 || ::fstat(f, &st) != 0) {
            if (f >= 0)
                ::close(f);
            CloseData();
            throw std::runtime_error("Cannot open file " + *uploadFile);
        }
        ::close(f);
        BytesTotal = st.st_size;
    }
    if (Passive)
        return OpenPassive(type);
    // PORT has no room for an IPv6 address; EPRT (RFC 2428) has.
    const std::string cmd = Family() == AF_INET6 ? "EPRT " + EprtArgument(*data_)
                                                 : "PORT " + PortAddressText() + data_->PortNumberText();
    ReportStatus(1, cmd);
    std::string reply = Transaction(cmd);
    if (between(ReplyNumber, 301, 599)) {
        // A handled failure ends the operation here: the server will open
        // no data connection to wait for.
        CloseData();
        Failure(reply, type);
        return false;
    }
    return true;
}

bool TNMFTP::AwaitDataConnection(TCmdType type)
{
    if (Passive) {
        if (Security != TFtpSecurity::None)
            FinishDataTls();
        return true;
    }
    // The server either connects, or answers on the control connection that
    // it will not (425 and the like); waiting on the accept alone would then
    // never end.
    const auto since = std::chrono::steady_clock::now();
    bool late = false;
    {
        HookPause pause(DataArrivalHook);
        WaitUntil([&] {
            late = Expired(since);
            return data_->AcceptReady() || data_->Canceled || Canceled || LineReady() || !Connected || late;
        });
    }
    if (late && !data_->AcceptReady() && !LineReady()) {
        CloseData();
        TPowersock::Disconnect();
        throw ESockError("The host opened no data connection within " + DurationText(ReplyTimeOut));
    }
    if (!data_->AcceptReady() && !data_->Canceled) {
        HookPause pause(DataArrivalHook);
        Canceled = false;
        std::string line = ReadLn();
        ReplyNumber = ftpreply::ReplyNumber(line);
        TransactionReply = line;
        ftpreply::ReplyAssembler reply;
        SkipContinuationLines(line, reply);
        CloseData();
        Failure(line, type);
        return false;
    }
    int fd = data_->Accept();
    data_->UseAcceptedSocket(fd);
    // The client is the TLS client on data connections in both directions.
    if (Security != TFtpSecurity::None) {
        data_->StartTls(*tlsContext_, TlsHostName(), this);
        FinishDataTls();
    }
    return true;
}

std::string TNMFTP::FinalReply()
{
    // A 421/426 seen during the transfer canceled the control connection; that
    // line is the final reply and must be judged like any other.
    HookPause pause(DataArrivalHook);
    Canceled = false;
    std::string line = ReadLn();
    ReportStatus(1, line);
    LastReplyText = line;
    ftpreply::ReplyAssembler reply;
    SkipContinuationLines(line, reply);
    return line;
}

int64_t TNMFTP::RemoteSize(const std::string &remote)
{
    ReportStatus(1, "SIZE " + remote);
    const std::string line = Transaction("SIZE " + remote);
    if (ReplyNumber != 213)
        return -1;
    size_t i = 3;
    while (i < line.size() && line[i] == ' ')
        ++i;
    int64_t size = 0;
    size_t digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 18; ++i, ++digits)
        size = size * 10 + (line[i] - '0');
    return digits > 0 ? size : -1;
}

void TNMFTP::Download(const std::string &remote, const std::string &local)
{
    Canceled = false;
    aborted_ = false;
    RequireConnection();
    if (!Connected)
        return;
    // Made before anything is sent: a file that cannot be created fails here
    // and the host is not asked for anything.
    LocalTarget target(local.empty() ? remote : local);
    DownloadWith(
        remote, [&] { data_->CaptureInto(target.take(), target.path()); }, [&] { target.commit(); });
}

void TNMFTP::Download(const std::string &remote, const TPowersock::TDataSink &sink, const std::string &what)
{
    Canceled = false;
    aborted_ = false;
    RequireConnection();
    if (!Connected)
        return;
    DownloadWith(remote, [&] { data_->CaptureTo(sink, what); }, [] {});
}

void TNMFTP::DownloadWith(const std::string &remote, const std::function<void()> &capture,
                          const std::function<void()> &commit)
{
    try {
        // IBM i announces no byte count in its 150 reply; the size the host
        // gives beforehand is what tells a short file from a whole one.
        const int64_t expected = binary_ ? RemoteSize(remote) : -1;
        if (!OpenDataConnection(ctDownload, nullptr))
            return;
        if (OnPacketRecvd)
            data_->OnPacketRecvd = OnPacketRecvd;
        ReportStatus(1, "RETR " + remote);
        BytesTotal = 0;
        std::string line;
        {
            HookPause pause(DataArrivalHook);
            line = TPowersock::Transaction("RETR " + remote);
        }
        LastReplyText = line;
        ftpreply::ReplyAssembler reply;
        if (between(ReplyNumber, 301, 599)) {
            SkipContinuationLines(line, reply);
            if (between(ReplyNumber, 500, 502) && OnUnSupportedFunction)
                OnUnSupportedFunction(ctDownload);
            CloseData();
            Failure(line, ctDownload);
            return;
        }
        BytesTotal = ftpreply::ByteCount(line);
        {
            HookPause pause(DataArrivalHook);
            SkipContinuationLines(line, reply, &BytesTotal);
        }
        const int64_t announced = BytesTotal;
        if (expected >= 0)
            BytesTotal = expected;

        if (!AwaitDataConnection(ctDownload))
            return;
        if (OnTransactionStart)
            OnTransactionStart(this);
        std::exception_ptr localError;
        bool brokenOff = false;
        if (!Canceled && !TimedOut) {
            try {
                capture();
            } catch (const EAbortError &) {
                // The host broke off (421/426): its reply says why.
                if (!ServerAbortPending() || Stopped())
                    throw;
                brokenOff = true;
            } catch (const ESockError &) {
                throw;
            } catch (...) {
                // The local file failed (disk full): the download has failed,
                // whatever the server says next.
                localError = std::current_exception();
            }
        } else {
            brokenOff = true; // nothing was taken in: no file may pass as whole
        }
        if (OnTransactionStop)
            OnTransactionStop(this);
        const std::string tlsCut = data_->TlsError();
        data_->RequestCloseSocket();
        BytesTotal = data_->BytesReceived();
        ReportStatus(1, "Received " + std::to_string(BytesTotal) + " Bytes");

        std::string final = FinalReply();
        const int finalCode = ftpreply::ReplyNumber(final);
        CloseData();
        if (localError)
            std::rethrow_exception(localError);
        if (between(finalCode, 400, 599)) {
            // A handler sees the failing reply, as after any other command.
            ReplyNumber = static_cast<int16_t>(finalCode);
            TransactionReply = final;
            Failure(final, ctDownload);
            return;
        }
        // Under TLS only close_notify proves the end of the data; a bare
        // close may be anyone's (or a cut) and the file may be short.
        if (!tlsCut.empty()) {
            LocalVerdict("Transfer incomplete: the data connection ended without a TLS close (" + tlsCut +
                             ")\r\n",
                         ctDownload);
            return;
        }
        // A binary transfer of another size than the host gave lost (or
        // gained) data, even when the server calls it complete.
        const int64_t whole = expected >= 0 ? expected : announced;
        const bool sizeWrong =
            expected >= 0 ? BytesTotal != expected : announced > 0 && BytesTotal < announced;
        if (binary_ && sizeWrong) {
            LocalVerdict("Transfer incomplete: " + std::to_string(BytesTotal) + " of " +
                             std::to_string(whole) + " bytes received\r\n",
                         ctDownload);
            return;
        }
        if (brokenOff) {
            LocalVerdict("Transfer incomplete: " + std::to_string(BytesTotal) + " bytes received\r\n",
                         ctDownload);
            return;
        }
        commit();
        if (OnSuccess)
            OnSuccess(ctDownload);
    } catch (...) {
        CloseData();
        // A stalled host may answer any time later: the session ends here.
        if (outOfStep_ && Connected)
            TPowersock::Disconnect();
        // The server still answers a transfer we broke off; that answer must
        // not pass as the reply to the next command.
        if ((Canceled || aborted_) && Connected && !Stopped()) {
            try {
                DrainAfterCancel();
            } catch (...) {
                // The first failure is the one to report.
            }
        }
        throw;
    }
}

void TNMFTP::Upload(const std::string &local, const std::string &remote)
{
    Canceled = false;
    aborted_ = false;
    RequireConnection();
    if (!Connected)
        return;
    UploadWith(local, remote, &local, [&] { data_->SendFile(local); });
}

void TNMFTP::Upload(const TPowersock::TDataSource &source, int64_t size, const std::string &what,
                    const std::string &remote)
{
    Canceled = false;
    aborted_ = false;
    RequireConnection();
    if (!Connected)
        return;
    BytesTotal = size;
    UploadWith(what, remote, nullptr, [&] { data_->SendFrom(source, size, what); });
}

void TNMFTP::UploadWith(const std::string &local, const std::string &remote, const std::string *file,
                        const std::function<void()> &send)
{
    try {
        if (!OpenDataConnection(ctUpload, file))
            return;
        if (OnPacketSent)
            data_->OnPacketSent = OnPacketSent;
        std::string cmd;
        if (!remote.empty()) {
            cmd = "STOR " + remote;
            ReportStatus(1, cmd);
        } else {
            ReportStatus(1, "STOR " + local);
            cmd = "STOR " + fileNamePart(local);
        }
        std::string line = Transaction(cmd);
        if (between(ReplyNumber, 301, 599)) {
            if (between(ReplyNumber, 500, 502) && OnUnSupportedFunction)
                OnUnSupportedFunction(ctUpload);
            CloseData();
            Failure(line, ctUpload);
            return;
        }
        if (!AwaitDataConnection(ctUpload))
            return;
        if (OnTransactionStart)
            OnTransactionStart(this);
        std::exception_ptr sendError;
        bool localFault = false;
        if (!Canceled && !TimedOut) {
            try {
                send();
            } catch (const EAbortError &) {
                // The host broke off (421/426): its reply says why.
                if (!ServerAbortPending() || Stopped())
                    throw;
                sendError = std::current_exception();
            } catch (const ESockError &) {
                sendError = std::current_exception();
            } catch (...) {
                sendError = std::current_exception();
                localFault = true;
            }
        } else {
            // Nothing was sent: the host must not keep an empty file as the whole.
            sendError = std::make_exception_ptr(ESockError("Transfer incomplete: nothing was sent"));
        }
        if (OnTransactionStop)
            OnTransactionStop(this);
        // A complete file closes gracefully so the server gets every byte; a
        // file that could not be read to its end resets the connection, so the
        // server does not take the part as the whole.
        if (!sendError) {
            if (data_->Tls()) {
                // close_notify marks the complete file. The host may still
                // send (session tickets); closing over unread bytes would
                // reset the connection and could destroy the close_notify
                // in flight, so wait for the host to finish first.
                data_->CloseTls();
                data_->ShutdownSend();
                const auto since = std::chrono::steady_clock::now();
                WaitUntil([&] {
                    return !data_->Connected || LineReady() || Canceled || !Connected || Expired(since);
                });
            }
            data_->SetLingerOff();
        }
        data_->RequestCloseSocket();

        std::string final = FinalReply();
        const int finalCode = ftpreply::ReplyNumber(final);
        CloseData();
        if (localFault)
            std::rethrow_exception(sendError);
        if (between(finalCode, 400, 599)) {
            ReplyNumber = static_cast<int16_t>(finalCode);
            TransactionReply = final;
            Failure(final, ctUpload);
            return;
        }
        if (sendError)
            std::rethrow_exception(sendError);
        if (OnSuccess)
            OnSuccess(ctUpload);
    } catch (...) {
        CloseData();
        // A stalled host may answer any time later: the session ends here.
        if (outOfStep_ && Connected)
            TPowersock::Disconnect();
        // The server still answers a transfer we broke off; that answer must
        // not pass as the reply to the next command.
        if ((Canceled || aborted_) && Connected && !Stopped()) {
            try {
                DrainAfterCancel();
            } catch (...) {
                // The first failure is the one to report.
            }
        }
        throw;
    }
}
