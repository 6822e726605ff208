#pragma once
// How the jobs reach the host once signed on: run a CL command, move the save
// file, sign off. FTP sends RCMD and keeps the save file in the job's QTEMP;
// SSH (SshHostLink.h) runs `system` and keeps it in a real library. A failing
// operation is reported through the failure handler of the jobs, as the FTP
// client's OnFailure does, and throws when the handler does not take it.

#include "net/Psock.h"

#include <string>

class TNMFTP;

namespace jobs
{

class HostLink
{
public:
    virtual ~HostLink() = default;

    // One CL command, as the host's command line takes it.
    virtual void command(const std::string &cl) = 0;
    // Binary (save files) or text (the job log) for what moves next.
    virtual void setBinary(bool binary) = 0;
    virtual void getSaveFile(const std::string &local) = 0;
    virtual void putSaveFile(const std::string &local) = 0;
    // The save file streamed: its bytes to `sink` as they arrive, or `size`
    // bytes from `source` as they are made. A sink returns 0 or an errno; a
    // source the bytes it gave, 0 at the end of whole data, or a negative
    // errno. `what` names the other end in messages.
    virtual void getSaveFile(const TPowersock::TDataSink &sink, const std::string &what) = 0;
    virtual void putSaveFile(const TPowersock::TDataSource &source, int64_t size, const std::string &what) = 0;
    // The size of the save file on the host, -1 when the host gives none.
    virtual int64_t saveFileSize() = 0;
    virtual void disconnect() = 0;

    // The host's reply to the operation that failed, line ends included;
    // `firstReply` the reply that began it (a transfer's 150 line), else
    // the same.
    virtual std::string lastReply() const = 0;
    virtual std::string firstReply() const = 0;
    // What the failure was about when the client found it itself (a
    // transfer cut short); else the host's reply line.
    virtual std::string failureText() const = 0;

    // The save file the commands name: LIB/NAME.
    virtual std::string saveFile() const = 0;
    // What protects sign-on and transfers, for the activity list; empty
    // when nothing does.
    virtual std::string protection() const = 0;
};

// Today's way: the FTP client's RCMD, RETR and STOR of QTEMP/SAVF.
class FtpHostLink : public HostLink
{
public:
    explicit FtpHostLink(TNMFTP &ftp) : ftp_(ftp) {}
    void command(const std::string &cl) override;
    void setBinary(bool binary) override;
    void getSaveFile(const std::string &local) override;
    void putSaveFile(const std::string &local) override;
    void getSaveFile(const TPowersock::TDataSink &sink, const std::string &what) override;
    void putSaveFile(const TPowersock::TDataSource &source, int64_t size, const std::string &what) override;
    int64_t saveFileSize() override;
    void disconnect() override;
    std::string lastReply() const override;
    std::string firstReply() const override;
    std::string failureText() const override;
    std::string saveFile() const override { return "qtemp/savf"; }
    std::string protection() const override;

private:
    TNMFTP &ftp_;
};

} // namespace jobs
