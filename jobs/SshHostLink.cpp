#include "jobs/SshHostLink.h"

#include "jobs/HostJobs.h"

#include <algorithm>
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

void SshHostLink::command(const std::string &cl)
{
    const TSshResult r = Session.Exec("system " + TSshSession::ShellQuote(cl));
    // Only a save file this job made is deleted at the end.
    if (r.ExitStatus == 0 && hostUpper(cl) == "CRTSAVF " + saveFile())
        created_ = true;
    finish(r, cl, "the command ended");
}

void SshHostLink::getSaveFile(const std::string &local)
{
    const std::string cmd = "cat " + TSshSession::ShellQuote(remotePath());
    finish(Session.Download(cmd, local, 0, OnProgress), cmd, "the download ended");
}

void SshHostLink::putSaveFile(const std::string &local)
{
    const std::string cmd = "cat > " + TSshSession::ShellQuote(remotePath());
    finish(Session.Upload(local, cmd, OnProgress), cmd, "the upload ended");
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
    try {
        if (!Session.Connected()) {
            // The job's connection is gone: one more sign-on, to the same
            // host key only, and quickly given up.
            const std::string known = Session.HostKeyFingerprint();
            Session.OnUnknownHostKey = [known](const std::string &fp, TCertAnswer &a) {
                a = fp == known ? TCertAnswer::Accept : TCertAnswer::Reject;
            };
            Session.TimeOutSeconds = Session.TimeOutSeconds > 0 ? std::min(Session.TimeOutSeconds, 10) : 10;
            Session.Connect();
        }
        const std::string cl = "DLTF FILE(" + saveFile() + ")";
        const TSshResult r = Session.Exec("system " + TSshSession::ShellQuote(cl));
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
