// The main window's seams to the parts that plug into it: the zip component,
// the FTP client and its jobs.

#include "app/fromMain.h"

#include "app/CertificateQuestion.h"
#include "app/WizardJobs.h"
#include "jobs/ArchivePassword.h"
#include "jobs/formDspJobLog.h"

#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "platform/TempFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {
std::string oneLine(const std::string &s);
} // namespace

void TfrmMain::loadZipDlls()
{
    TZipBuilder &zip = jobParts().zip;
    zip.Load_Zip_Dll();
    zip.Load_Unz_Dll();
}

void TfrmMain::unloadZipDlls()
{
    TZipBuilder::Unload_Zip_Dll();
    TZipBuilder::Unload_Unz_Dll();
}

// The component lists the archive; it drops the name of one it cannot read.
void TfrmMain::setZipFileName(const std::string &name)
{
    TZipBuilder &zip = jobParts().zip;
    // A file it cannot read is refused by the wizard in one box that says
    // why; the component's own box would say it twice.
    const bool unattended = zip.Unattended;
    zip.Unattended = true;
    zip.SetZipFileName(name);
    zip.Unattended = unattended;
    ZipFileName = zip.ZipFileName();
}

// The restore job later extracts the save file with the same folder and
// options.
void TfrmMain::extractInfoMember()
{
    TZipBuilder &zip = jobParts().zip;
    zip.FSpecArgs = {jobs::kInfoMemberName};
    zip.ExtrBaseDir = runFolder();
    zip.ExtrOptions = ExtrOpts{ExtrOverWrite};
    struct Clear {
        TZipBuilder &z;
        ~Clear() { z.FSpecArgs.clear(); }
    } clear{zip};
    zip.Extract();
}

bool TfrmMain::unlockArchive()
{
    TZipBuilder &zip = jobParts().zip;
    if (!jobs::archiveEncrypted(zip))
        return true;
    zip.Password.clear();
    // Kept by the component for the record and then the save file: asked once.
    if (zip.GetExtrPassword().empty())
        return false;
    if (jobs::archivePasswordFits(zip, runFolder()))
        return true;
    zip.Password.clear();
    platform::dialogs().messageBox("The password is wrong for '" + ZipFileName + "'. Nothing was sent to the host.",
                                   platform::messageIdCaption("Qln0010"), platform::Buttons::Ok,
                                   platform::Icon::Error);
    return false;
}

std::vector<std::string> TfrmMain::archiveMembers()
{
    std::vector<std::string> names;
    for (const ZipDirEntry &e : jobParts().zip.Entries)
        names.push_back(e.FileName);
    return names;
}

void TfrmMain::disconnectIfConnected()
{
    TNMFTP &ftp = jobParts().ftp;
    if (ftp.Connected)
        ftp.Disconnect();
    jobParts().ssh.disconnect();
}

// The whole job runs inside Connect: sign-on raises OnConnect, whose handler
// prepares the host job and runs the save or restore job.
void TfrmMain::connectToHost(const ConnectParams &p)
{
    WizardJobParts &parts = jobParts();
    TNMFTP &ftp = parts.ftp;
    ftp.UserID = p.userId;
    ftp.Password = p.password;
    ftp.Host = p.host;
    ftp.Port = p.port;
    ftp.Proxy = p.proxy;
    ftp.ProxyPort = p.proxyPort;
    ftp.UseTransport(p.transport);
    const std::string host = p.host;
    ftp.OnVerifyCertificate = [this, host](const std::string &fingerprint, const std::string &problem,
                                           TCertAnswer &answer) {
        answer = askAboutCertificate(host, fingerprint, problem);
        // Kept with the host at once: the whole job runs inside Connect.
        if (answer == TCertAnswer::AcceptAndRemember) {
            Transport.tlsFingerprint = fingerprint;
            storeHostProfile();
        }
    };

    ftp.OverdueAfter = ReplyOverdueMs;
    ftp.OnReplyOverdue = [this](bool overdue) { ftpReplyOverdue(overdue); };

    jobs::HostJobs &j = parts.jobs;
    const bool overSsh = p.transport.ssh;
    j.useSsh(overSsh ? &parts.ssh : nullptr);
    if (overSsh) {
        TSshSession &s = parts.ssh.Session;
        s.Host = p.host;
        s.Port = p.port;
        s.UserID = p.userId;
        s.Password = p.password;
        s.TimeOutSeconds = p.transport.replyTimeOut / 1000;
        parts.ssh.Library = jobs::hostUpper(p.transport.sshLibrary);
        // Yes adds the key to known_hosts, where ssh finds it too.
        s.OnUnknownHostKey = [host, &s](const std::string &fingerprint, TCertAnswer &answer) {
            answer = askAboutHostKey(host, fingerprint, s.KnownHostsPath());
        };
        // As over FTP: a host silent for long gets Cancel offered.
        s.OverdueAfterMs = ReplyOverdueMs;
        s.OnOverdue = [this](bool overdue) { ftpReplyOverdue(overdue); };
    }
    j.runFolder = runFolder();
    j.userProfile = p.userId;
    // What this job meets, not what an earlier try met.
    j.failuresReported = 0;
    j.saveCommandFailed = j.transferFailed = j.zipFailed = j.restoreFailed = false;
    j.failureMessages.clear();
    failureReports_.clear();
    j.clearStop();
    if (mode() == msSave) {
        j.mode = jobs::HostJobs::Mode::Save;
        jobs::SaveInputs &in = j.saveInputs;
        in.saveType = grpSaveTypeIndex();
        in.library = edtLibraryNameToSave->text().toStdString();
        in.targetRelease = edtTgtRls->currentText().toStdString();
        in.objectName = edtObjToBeSaved->text().toStdString();
        in.objectType = edtSaveObjType->currentText().toStdString();
        in.hostName = p.host;
        in.archivePath = ZipFileName;
        in.ownerName = jobs::defaultOwnerName();
        in.downloadAddress = kProductWebAddress;
        // Packed under a hidden name beside the archive; it takes the
        // archive's name only when the save file in it arrived whole.
        const auto slash = ZipFileName.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "." : ZipFileName.substr(0, slash);
        const std::string base = slash == std::string::npos ? ZipFileName : ZipFileName.substr(slash + 1);
        partialArchive_ = platform::makeUniqueTempFile(dir, "." + base + ".");
        if (partialArchive_.empty())
            throw std::runtime_error("Cannot create a file in " + dir);
        ::unlink(partialArchive_.c_str());
        parts.zip.SetZipFileName(partialArchive_);
        if (boxEncryptArchive->isChecked()) {
            parts.zip.Password = edtArchivePassword->text().toStdString();
            parts.zip.AddEncryption = zeAES256;
            parts.zip.AddOptions.insert(AddEncrypt);
        } else {
            parts.zip.AddOptions.erase(AddEncrypt);
        }
    } else {
        j.mode = jobs::HostJobs::Mode::Restore;
        jobs::RestoreInputs &in = j.restoreInputs;
        in.chosenFile = edtSavedZippedFile->text().toStdString();
        in.restoreToLibrary = edtRestoreToLibrary->text().toStdString();
        in.savedLibrary = edtSavedLibrary->text().toStdString();
        in.hostName = p.host;
        in.autoCreateLibrary = boxAutoCreateLibrary->isChecked();
        in.fromSaveFile = RestoreFromSaveFile;
    }
    struct DropPartial {
        std::string &path;
        ~DropPartial()
        {
            // Whatever did not get the archive's name is no archive.
            if (!path.empty())
                ::unlink(path.c_str());
            path.clear();
        }
    } dropPartial{partialArchive_};
    try {
        if (overSsh)
            j.runOverSsh();
        else
            ftp.Connect();
        parts.ui.showPendingConnectionMessage(std::string());
    } catch (const jobs::JobAborted &) {
        // The user stopped the job and the window closes; nothing to show.
        parts.ui.addLine("Job stopped by the operator; connection to " + p.host + " closed");
    } catch (const jobs::JobStopped &e) {
        // Stopped by Cancel during a long zip or unzip: the jobs have
        // removed what it made; the list and one box say so.
        ftpReplyOverdue(false);
        parts.ui.failureBegins();
        const std::string left = mode() == msSave ? "no archive was written" : "nothing was uploaded or restored";
        parts.ui.addLine("Job stopped while " + std::string(e.what()) + "; " + left);
        throw std::runtime_error("The job was stopped while " + std::string(e.what()) + ".\n\nIt " +
                                 (mode() == msSave ? "wrote no archive." : "uploaded and restored nothing."));
    } catch (const ECertificateChanged &e) {
        parts.ui.failureBegins();
        parts.ui.addLine("Not signed on to " + p.host + ": " + oneLine(e.what()));
        throw ECertificateChanged(fingerprintsOnTheirOwnLines(e.what()) +
                                  ".\n\nIf the host was given a new certificate, choose Forget in the connection "
                                  "settings (Advanced) and connect again; you will be asked about the new one.");
    } catch (const ESshError &e) {
        // A host key refused or changed, a sign-on refused, a connection
        // lost: the list ends with it, as every connection's end is listed.
        ftpReplyOverdue(false);
        parts.ui.failureBegins();
        const std::string where = p.host + ", port " + std::to_string(p.port);
        const std::string why = e.what();
        parts.ui.addLine("Connection ended: " + where + ": " + oneLine(why));
        if (parts.ui.showPendingConnectionMessage(where + ": " + why))
            return;
        throw std::runtime_error(fingerprintsOnTheirOwnLines(why));
    } catch (const std::exception &e) {
        // A lost connection ends the job without a reported failure: unlock
        // the window as a failure does, or Cancel would stay locked by the
        // timer and the wizard could not be left.
        ftpReplyOverdue(false);
        parts.ui.failureBegins();
        // A refused sign-on or connection: one box that names the host, the
        // port and the cause instead of a bare "failed" and a second box.
        const std::string where = overSsh || ftp.Proxy.empty()
                                      ? p.host + ", port " + std::to_string(overSsh ? p.port : ftp.Port)
                                      : "proxy " + ftp.Proxy + ", port " + std::to_string(ftp.ProxyPort);
        if (ftp.Stopped()) {
            const std::string stopped = stoppedJobMessage(j.stageMessage(j.JobStage), ftp.StopReason());
            parts.ui.addLine("Connection ended: " + where + ": " + oneLine(ftp.StopReason()));
            if (parts.ui.showPendingConnectionMessage(where + ": " + stopped))
                return;
            throw std::runtime_error(stopped);
        }
        std::string why = e.what();
        if (why == "Connection Failed" && ftp.LastError != 0) {
            why = ftp.ErrorMessage(ftp.LastError);
            // "10061:Connection refused": the number means nothing here.
            const auto colon = why.find(':');
            if (colon != std::string::npos && why.find_first_not_of("0123456789") == colon)
                why.erase(0, colon + 1);
        } else if (why == "Null Remote Address") {
            why = "no host of that name was found";
        }
        parts.ui.addLine("Connection ended: " + where + ": " + oneLine(why));
        if (parts.ui.showPendingConnectionMessage(where + ": " + why))
            return;
        throw;
    } catch (...) {
        ftpReplyOverdue(false);
        parts.ui.failureBegins();
        parts.ui.addLine("Connection to " + p.host + " ended by an unknown error");
        parts.ui.showPendingConnectionMessage(std::string());
        throw;
    }
}

namespace {

std::string oneLine(const std::string &s)
{
    std::string out;
    for (char c : s) {
        const char d = (c == '\n' || c == '\t' || c == '\r') ? ' ' : c;
        if (!(d == ' ' && !out.empty() && out.back() == ' '))
            out += d;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

bool isFile(const std::string &path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

JobOutcome TfrmMain::endJob()
{
    const jobs::HostJobs &j = jobParts().jobs;
    JobOutcome o;
    // A library that could not be made (it exists, mostly) does not spoil a
    // restore into it; the restore's own result tells.
    const std::string notCreated = j.stageMessage(jobs::jsCreateLibrary);
    const bool overFtp = !j.overSsh();
    for (std::size_t i = 0; i < j.failureMessages.size(); ++i) {
        const std::string &m = j.failureMessages[i];
        if (m == notCreated && mode() == msRestore)
            continue;
        FailedStep step{oneLine(m), {}};
        // Reported in the same order; a report that never reached the
        // viewer (the connection went while its log came) has no reasons.
        if (i < failureReports_.size())
            step.reasons = failureReasons(failureReports_[i], overFtp);
        o.failedSteps.push_back(std::move(step));
    }
    const std::string zipSaid = jobParts().zip.LastMessage;
    auto zipStep = [&](const std::string &what) {
        FailedStep step{what, {}};
        if (!zipSaid.empty())
            step.reasons.push_back("The zip library said: " + oneLine(zipSaid));
        o.failedSteps.push_back(std::move(step));
    };
    if (mode() == msSave) {
        if (j.zipFailed)
            zipStep("Zipping the save file into " + ZipFileName);
        const bool whole = !j.saveCommandFailed && !j.transferFailed && !j.zipFailed && isFile(partialArchive_);
        const bool named = whole && ::rename(partialArchive_.c_str(), ZipFileName.c_str()) == 0;
        const int renameError = errno;
        if (named) {
            partialArchive_.clear();
            o.result = "The archive " + ZipFileName + " was written.";
        } else {
            if (whole)
                o.failedSteps.push_back({"Giving the archive its name " + ZipFileName,
                                         {std::string("The client found: ") + std::strerror(renameError)}});
            o.result = std::string("No archive was written: ") +
                       (j.saveCommandFailed   ? "the save command failed, so the save file is empty or cut."
                        : j.transferFailed    ? "the save file did not arrive complete."
                        : j.zipFailed         ? "the save file could not be zipped."
                                              : "the archive could not be given its name.");
            if (!partialArchive_.empty())
                ::unlink(partialArchive_.c_str());
            partialArchive_.clear();
        }
    } else {
        const std::string &file = j.restoreInputs.chosenFile;
        const std::string &host = j.restoreInputs.hostName;
        if (!isFile(file))
            o.failedSteps.push_back({"Finding the file " + file, {"The client found: it is no longer there"}});
        if (j.zipFailed)
            zipStep("Unzipping the save file from " + file);
        if (!isFile(file))
            o.result = "Nothing was restored: the file is not there.";
        else if (j.transferFailed || j.zipFailed)
            o.result = "The save file did not reach " + host + " complete, so what was restored from it cannot be "
                                                                "trusted.";
        else if (j.restoreFailed)
            o.result = "The library was not restored on " + host + ".";
        else
            o.result = "The library was restored on " + host + ", but a later step failed.";
    }
    o.ok = o.failedSteps.empty();
    return o;
}

std::vector<std::string> TfrmMain::failureReasons(const jobs::FailureReport &r, bool overFtp)
{
    std::vector<std::string> out;
    if (!r.check.empty())
        out.push_back("The client found: " + r.check);
    // Every FTP reply ends in a line that starts with its three-digit code;
    // lines without one are a verdict of the client (a transfer cut short).
    const std::string &last = r.hostReply.empty() ? std::string() : r.hostReply.back();
    const bool coded = last.size() >= 3 && std::isdigit(static_cast<unsigned char>(last[0])) &&
                       std::isdigit(static_cast<unsigned char>(last[1])) &&
                       std::isdigit(static_cast<unsigned char>(last[2]));
    const bool clientSaid = overFtp && !r.hostReply.empty() && !coded;
    for (const auto &l : r.hostReply)
        out.push_back((clientSaid ? "The client found: " : "Host reply: ") + l);
    if (!r.escape.id.empty())
        out.push_back("Escape message: " + r.escape.id + " " + r.escape.text);
    if (!r.jobLogProblem.empty())
        out.push_back("Job log not fetched: " + r.jobLogProblem);
    return out;
}

void TfrmMain::btnDspJobLogClick()
{
    jobs::ShowJobLog(runFolder() + "/" + jobs::kJobLogFileName, false, std::string());
}

// One member of the archive named by ZipFileName into `folder`; the
// component's folder, options and list are as they were afterwards.
void TfrmMain::extractMember(const std::string &member, const std::string &folder)
{
    TZipBuilder &zip = jobParts().zip;
    if (zip.ZipFileName().empty())
        throw std::runtime_error("No archive is open.");
    const auto savedArgs = zip.FSpecArgs;
    const std::string savedDir = zip.ExtrBaseDir;
    const ExtrOpts savedOpts = zip.ExtrOptions;
    struct Restore {
        TZipBuilder &z;
        const std::vector<std::string> &args;
        const std::string &dir;
        const ExtrOpts &opts;
        ~Restore()
        {
            z.FSpecArgs = args;
            z.ExtrBaseDir = dir;
            z.ExtrOptions = opts;
        }
    } restore{zip, savedArgs, savedDir, savedOpts};
    zip.FSpecArgs = {member};
    zip.ExtrBaseDir = folder;
    zip.ExtrOptions = ExtrOpts{ExtrOverWrite};
    zip.Extract();
    if (zip.ProcessedCount < 1)
        throw std::runtime_error("Member " + member + " could not be extracted from " + zip.ZipFileName());
}

void TfrmMain::endProgram(int status)
{
    if (jobRunning_) {
        // Aborted inside a running job: nothing of the job may go on, and
        // no half-made archive stays behind.
        if (!partialArchive_.empty())
            ::unlink(partialArchive_.c_str());
        std::fflush(nullptr);
        std::_Exit(status);
    }
    QCoreApplication::exit(status);
}

} // namespace app
