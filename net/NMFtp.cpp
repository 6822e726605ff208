#include "net/NMFtp.h"

#include "net/TlsSession.h"
#include "platform/Pump.h"

#include <arpa/inet.h>

#include <chrono>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

TNMFTP::TNMFTP()
{
    Port = 21;
    Vendor = 2411;
    DataArrivalHook = [this] { CheckServerAbort(); };
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
    while (reply.NeedsMore(line)) {
        line = ReadLn();
        ReportStatus(1, line);
        LastReplyText += line;
        if (byteCount && *byteCount == 0)
            *byteCount = ftpreply::ByteCount(line);
    }
}

std::string TNMFTP::Transaction(const std::string &line)
{
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
    epsvRefused_ = false;
    peerFingerprint_.clear();
    tlsContext_.reset();
    TPowersock::Connect();
    try {
        if (Security == TFtpSecurity::Implicit)
            SecureControl();
        // Starting from a blank line reads at least one line, and a
        // multi-line greeting to its end.
        ftpreply::ReplyAssembler greeting;
        SkipContinuationLines(" ", greeting);
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
    char addr[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &RemoteAddress.sin_addr, addr, sizeof addr);
    data_->Host = addr;
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
    std::string reply = Transaction(command);
    if (between(ReplyNumber, 400, 599)) {
        if (between(ReplyNumber, 500, 502) && OnUnSupportedFunction)
            OnUnSupportedFunction(type);
        Failure(reply, type);
        return;
    }
    if (command.size() > 5 && (command.compare(0, 5, "TYPE ") == 0 || command.compare(0, 5, "type ") == 0)) {
        char t = static_cast<char>(std::toupper(static_cast<unsigned char>(command[5])));
        binary_ = t == 'I' || t == 'L';
    }
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
}

bool TNMFTP::OpenDataConnection(TCmdType type, const std::string *uploadFile)
{
    data_ = std::make_unique<TPowersock>();
    Read(0);
    data_->TimeOut = TimeOut;
    data_->Port = 0;
    if (!Passive)
        data_->Listen(true);
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
    const std::string cmd = "PORT " + PortAddressText() + data_->PortNumberText();
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
    WaitUntil(
        [this] { return data_->AcceptReady() || data_->Canceled || Canceled || LineReady() || !Connected; });
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

void TNMFTP::Download(const std::string &remote, const std::string &local)
{
    Canceled = false;
    aborted_ = false;
    RequireConnection();
    if (!Connected)
        return;
    try {
        if (!OpenDataConnection(ctDownload, nullptr))
            return;
        if (OnPacketRecvd)
            data_->OnPacketRecvd = OnPacketRecvd;
        ReportStatus(1, "RETR " + remote);
        BytesTotal = 0;
        std::string line = TPowersock::Transaction("RETR " + remote);
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
        SkipContinuationLines(line, reply, &BytesTotal);
        const int64_t announced = BytesTotal;

        if (!AwaitDataConnection(ctDownload))
            return;
        if (OnTransactionStart)
            OnTransactionStart(this);
        std::exception_ptr localError;
        if (!Canceled && !TimedOut) {
            try {
                data_->CaptureFile(local.empty() ? remote : local);
            } catch (const ESockError &) {
                throw;
            } catch (...) {
                // The local file failed (disk full): the download has failed,
                // whatever the server says next.
                localError = std::current_exception();
            }
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
            Failure("Transfer incomplete: the data connection ended without a TLS close (" + tlsCut +
                        ")\r\n",
                    ctDownload);
            return;
        }
        // A binary transfer that ends short of the announced size lost data,
        // even when the server calls it complete.
        if (binary_ && announced > 0 && BytesTotal < announced) {
            Failure("Transfer incomplete: " + std::to_string(BytesTotal) + " of " +
                        std::to_string(announced) + " bytes received\r\n",
                    ctDownload);
            return;
        }
        if (OnSuccess)
            OnSuccess(ctDownload);
    } catch (...) {
        CloseData();
        // The server still answers a transfer we broke off; that answer must
        // not pass as the reply to the next command.
        if (Canceled || aborted_) {
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
    try {
        if (!OpenDataConnection(ctUpload, &local))
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
                data_->SendFile(local);
            } catch (const EAbortError &) {
                throw;
            } catch (const ESockError &) {
                sendError = std::current_exception();
            } catch (...) {
                sendError = std::current_exception();
                localFault = true;
            }
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
                WaitUntil([this] { return !data_->Connected || LineReady() || Canceled || !Connected; });
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
        // The server still answers a transfer we broke off; that answer must
        // not pass as the reply to the next command.
        if (Canceled || aborted_) {
            try {
                DrainAfterCancel();
            } catch (...) {
                // The first failure is the one to report.
            }
        }
        throw;
    }
}
