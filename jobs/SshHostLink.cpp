#include "jobs/SshHostLink.h"

#include "jobs/HostJobs.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

namespace jobs
{
namespace
{

bool isMessageId(const std::string &s)
{
    if (s.size() != 7)
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (!(s[i] >= 'A' && s[i] <= 'Z'))
            return false;
    for (std::size_t i = 3; i < 7; ++i)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'A' && s[i] <= 'F')))
            return false;
    return true;
}

} // namespace

bool SshHostLink::isLibraryName(const std::string &name)
{
    if (name.empty() || name.size() > 10)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool first = (c >= 'A' && c <= 'Z') || c == '$' || c == '#' || c == '@';
        if (!first && (i == 0 || !((c >= '0' && c <= '9') || c == '_' || c == '.')))
            return false;
    }
    return true;
}

std::string SshHostLink::uniqueName()
{
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device rd;
    std::uniform_int_distribution<int> pick(0, 35);
    std::string name = "QLN";
    for (int i = 0; i < 7; ++i)
        name += kChars[pick(rd)];
    return name;
}

JobLogMessage SshHostLink::lastMessage(const std::string &output)
{
    JobLogMessage m;
    for (const auto &l : splitReply(output)) {
        const auto colon = l.find(": ");
        if (colon != std::string::npos && isMessageId(l.substr(0, colon))) {
            m.id = l.substr(0, colon);
            m.type = "Escape";
            m.text = l.substr(colon + 2);
        }
    }
    return m;
}

std::string SshHostLink::saveFile() const
{
    return hostUpper(Library) + "/" + name_;
}

std::string SshHostLink::remotePath() const
{
    return "/QSYS.LIB/" + hostUpper(Library) + ".LIB/" + name_ + ".FILE";
}

std::string SshHostLink::protection() const
{
    return "Sign-on and transfers protected by SSH (host key " + Session.HostKeyFingerprint() + ")";
}

void SshHostLink::connect()
{
    transcript_.clear();
    created_ = false;
    name_ = uniqueName();
    Session.Connect();
}

void SshHostLink::finish(const TSshResult &r, const std::string &what, const std::string &nothingSaid)
{
    transcript_.push_back("> " + what);
    for (const auto &l : splitReply(r.Out + r.Err))
        transcript_.push_back(l);
    if (r.ExitStatus == 0) {
        lastReply_ = r.Out;
        failureText_.clear();
        if (OnSuccess)
            OnSuccess();
        return;
    }
    lastReply_ = r.Err.empty() ? r.Out : r.Err;
    escape_ = lastMessage(lastReply_);
    const auto said = splitReply(lastReply_);
    // The host's own words when it gave any; otherwise what we saw.
    if (r.InputCut)
        failureText_ = "the host did not take the whole save file";
    else if (said.empty())
        failureText_ = nothingSaid + (r.ExitStatus < 0 ? " without an exit status"
                                                       : " with exit status " + std::to_string(r.ExitStatus));
    else
        failureText_ = said.front();
    bool handled = false;
    if (OnFailure)
        OnFailure(handled);
    if (!handled)
        throw ESshError(what + ": " + (said.empty() ? failureText_ : said.back()));
}

std::string SshHostLink::systemCommand(const std::string &cl)
{
    // Messages in UTF-8 whatever the job's CCSID, as IBM's own tools ask.
    return "LC_ALL=EN_US.UTF-8 system " + TSshSession::ShellQuote(cl);
}

void SshHostLink::command(const std::string &cl)
{
    const TSshResult r = Session.Exec(systemCommand(cl));
    // Only a save file this job made is deleted at the end.
    const std::string made = "CRTSAVF " + saveFile();
    const std::string upper = hostUpper(cl);
    if (r.ExitStatus == 0 && upper.rfind(made, 0) == 0 && (upper.size() == made.size() || upper[made.size()] == ' '))
        created_ = true;
    finish(r, cl, "the command ended");
}

void SshHostLink::transferred(const TSftpResult &r, const std::string &what)
{
    transcript_.push_back("> " + what);
    if (r.Ok) {
        lastReply_ = what + ": " + std::to_string(r.Size) + " bytes";
        failureText_.clear();
        if (OnSuccess)
            OnSuccess();
        return;
    }
    transcript_.push_back(r.Error);
    lastReply_ = r.Error;
    failureText_ = r.Error;
    escape_ = {};
    bool handled = false;
    if (OnFailure)
        OnFailure(handled);
    if (!handled)
        throw ESshError(what + ": " + r.Error);
}

void SshHostLink::getSaveFile(const std::string &local)
{
    // By SFTP: the host states the size first, so a short or long file is
    // caught, and nothing a shell prints can get into the data.
    transferred(Session.GetFile(remotePath(), local, OnProgress), "sftp get " + remotePath());
}

void SshHostLink::putSaveFile(const std::string &local)
{
    transferred(Session.PutFile(local, remotePath(), OnProgress), "sftp put " + remotePath());
}

void SshHostLink::getSaveFile(const TPowersock::TDataSink &sink, const std::string &what)
{
    const auto take = [&](const char *p, size_t n) {
        if (const int e = sink(p, n))
            throw std::runtime_error("Cannot write " + what + ": " + std::strerror(e));
    };
    transferred(Session.GetFile(remotePath(), take, OnProgress), "sftp get " + remotePath());
}

void SshHostLink::putSaveFile(const TPowersock::TDataSource &source, int64_t size, const std::string &what)
{
    const auto give = [&](char *buf, size_t max) -> size_t {
        const long n = source(buf, max);
        if (n < 0)
            throw std::runtime_error("Cannot read " + what + ": " + std::strerror(static_cast<int>(-n)));
        return static_cast<size_t>(n);
    };
    transferred(Session.PutFile(give, size, remotePath(), OnProgress), "sftp put " + remotePath());
}

int64_t SshHostLink::saveFileSize()
{
    std::string error;
    return Session.FileSize(remotePath(), error);
}

void SshHostLink::disconnect()
{
    Session.Disconnect();
}

std::string SshHostLink::removeSaveFile()
{
    if (!created_)
        return {};
    // Tried once: a second try would only repeat the same complaint.
    created_ = false;
    // A stop asked for (Ctrl-C, Cancel) ended the job, not this clean-up:
    // it runs with the stop set aside, and quickly gives up.
    struct Restore {
        TSshSession &s;
        std::function<std::string()> stopCheck;
        int timeOut;
        ~Restore()
        {
            s.StopCheck = stopCheck;
            s.TimeOutSeconds = timeOut;
        }
    } restore{Session, Session.StopCheck, Session.TimeOutSeconds};
    Session.StopCheck = nullptr;
    Session.TimeOutSeconds = Session.TimeOutSeconds > 0 ? std::min(Session.TimeOutSeconds, 10) : 10;
    try {
        if (!Session.Connected()) {
            // The job's connection is gone: one more sign-on, to the same
            // host key only, and quickly given up.
            const std::string known = Session.HostKeyFingerprint();
            Session.OnUnknownHostKey = [known](const std::string &fp, TCertAnswer &a) {
                a = fp == known ? TCertAnswer::Accept : TCertAnswer::Reject;
            };
            Session.Connect();
        }
        const std::string cl = "DLTF FILE(" + saveFile() + ")";
        const TSshResult r = Session.Exec(systemCommand(cl));
        transcript_.push_back("> " + cl);
        for (const auto &l : splitReply(r.Out + r.Err))
            transcript_.push_back(l);
        if (r.ExitStatus != 0) {
            const auto said = splitReply(r.Err.empty() ? r.Out : r.Err);
            return said.empty() ? "DLTF ended with exit status " + std::to_string(r.ExitStatus) : said.back();
        }
    } catch (const std::exception &e) {
        return e.what();
    }
    return {};
}

bool SshHostLink::writeJobLog(const std::string &path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "Commands run over SSH on " << Session.Host << ", each a job of its own, with the messages "
        << "they sent:\r\n";
    for (const auto &l : transcript_)
        out << l << "\r\n";
    out.flush();
    return static_cast<bool>(out);
}

} // namespace jobs
