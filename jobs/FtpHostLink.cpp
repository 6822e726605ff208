#include "jobs/HostJobs.h"
#include "jobs/HostLink.h"

#include "net/NMFtp.h"

namespace jobs
{

void FtpHostLink::command(const std::string &cl)
{
    ftp_.SendCommand("RCMD " + cl);
}

void FtpHostLink::setBinary(bool binary)
{
    ftp_.SetTransferType(binary ? 2 : 1);
}

void FtpHostLink::getSaveFile(const std::string &local)
{
    ftp_.Download(kRemoteSaveFile, local);
}

void FtpHostLink::putSaveFile(const std::string &local)
{
    ftp_.Upload(local, kRemoteSaveFile);
}

void FtpHostLink::getSaveFile(const TPowersock::TDataSink &sink, const std::string &what)
{
    ftp_.Download(kRemoteSaveFile, sink, what);
}

void FtpHostLink::putSaveFile(const TPowersock::TDataSource &source, int64_t size, const std::string &what)
{
    ftp_.Upload(source, size, what, kRemoteSaveFile);
}

int64_t FtpHostLink::saveFileSize()
{
    return ftp_.RemoteSize(kRemoteSaveFile);
}

void FtpHostLink::disconnect()
{
    ftp_.Disconnect();
}

std::string FtpHostLink::lastReply() const
{
    return ftp_.LastReplyText;
}

std::string FtpHostLink::firstReply() const
{
    return ftp_.TransactionReply;
}

std::string FtpHostLink::failureText() const
{
    return ftp_.LastFailureText;
}

std::string FtpHostLink::protection() const
{
    // The operator sees that the password and the save file are protected.
    if (ftp_.Security == TFtpSecurity::None)
        return {};
    return "Sign-on and transfers protected by " + ftp_.TlsFacts().protocol;
}

} // namespace jobs
