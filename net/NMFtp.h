#pragma once
// FTP client: sign-on (optionally through a proxy that takes "user@host"),
// raw commands with success and failure events, transfer types, and one-file
// downloads and uploads over an active-mode (PORT) data connection.

#include "net/FtpReply.h"
#include "net/Psock.h"

#include <memory>

// A failing reply; the message is the reply line, CR LF included.
class FTPException : public std::runtime_error
{
public:
    explicit FTPException(const std::string &msg) : std::runtime_error(msg) {}
};

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

    void Connect() override;
    void Disconnect() override;
    std::string Transaction(const std::string &line) override;
    void Abort() override;

    void SendCommand(const std::string &command);
    void SetTransferType(int type);
    void Download(const std::string &remote, const std::string &local);
    void Upload(const std::string &local, const std::string &remote);

    // Counters of the running transfer's data connection.
    int64_t BytesSent() const override;
    int64_t BytesReceived() const override;

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
    bool OpenDataConnection(TCmdType type, const std::string *uploadFile);
    bool AwaitDataConnection(TCmdType type);
    std::string FinalReply();
    void CloseData();

    std::unique_ptr<TPowersock> data_;
    bool binary_ = false;  // TYPE I (or L 8) is in force
    bool aborted_ = false; // Abort broke off the running transfer
};
