#include "jobs/HostJobs.h"

#include "jobs/SaveFile.h"
#include "jobs/SshHostLink.h"
#include "jobs/StreamPipe.h"
#include "net/NMFtp.h"
#include "platform/Dialogs.h"
#include "platform/TempFiles.h"
#include "zip/ZipBuilder.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <cerrno>
#include <cstdio>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace jobs {
namespace {

bool isFile(const std::string &path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string fileNamePart(const std::string &path)
{
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}


std::string joined(const std::vector<std::string> &lines)
{
    std::string out;
    for (const auto &l : lines)
        out += (out.empty() ? "" : " / ") + l;
    return out;
}

} // namespace

std::vector<std::string> splitReply(const std::string &text)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

std::string defaultOwnerName()
{
    if (const passwd *pw = ::getpwuid(::getuid())) {
        std::string gecos = pw->pw_gecos ? pw->pw_gecos : "";
        gecos = gecos.substr(0, gecos.find(','));
        if (!gecos.empty())
            return cutUtf8(gecos, 255);
        if (pw->pw_name)
            return cutUtf8(pw->pw_name, 255);
    }
    return {};
}

std::string cutUtf8(const std::string &s, std::size_t max)
{
    if (s.size() <= max)
        return s;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;
    return s.substr(0, cut);
}

std::string formatCommand(const std::string &format, const std::vector<std::string> &args, std::size_t max)
{
    // Only "%s" is ever used; the values are inserted as text, so a '%' typed
    // by the user is never read as a directive.
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == 's') {
                if (next < args.size())
                    out += args[next];
                ++next;
                ++i;
                continue;
            }
            if (format[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return cutUtf8(out, max);
}

SplitCommand splitCommand(const std::string &command)
{
    SplitCommand r{command, command};
    const auto bs = command.find('\\');
    if (bs != std::string::npos) {
        r.listed = command.substr(0, bs);
        r.sent[bs] = ' ';
    }
    return r;
}

std::string hostUpper(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::vector<std::string> FailureReport::reasonLines() const
{
    std::vector<std::string> out;
    if (!check.empty())
        out.push_back("Check failed: " + check);
    for (const auto &l : hostReply)
        out.push_back("Host reply: " + l);
    if (!escape.id.empty())
        out.push_back("Escape message: " + escape.id + " " + escape.text);
    if (!jobLogProblem.empty())
        out.push_back("Job log not fetched: " + jobLogProblem);
    return out;
}

std::string FailureReport::viewerText() const
{
    std::string out = message;
    for (const auto &l : reasonLines())
        out += (out.empty() ? "" : "\n") + l;
    return out;
}

HostJobs::HostJobs(TNMFTP &ftp, TZipBuilder &zip, TArchiveInfo &info, JobUi &ui)
    : ftp_(ftp), zip_(zip), info_(info), ui_(ui)
{
}

void HostJobs::wireEvents()
{
    ftp_.OnConnect = [this](TPowersock *) { ftpConnect(); };
    ftp_.OnInvalidHost = [this](bool &h) { ftpAuthenticationFailed(h); };
    ftp_.OnAuthenticationNeeded = [this](bool &h) { ftpAuthenticationFailed(h); };
    ftp_.OnAuthenticationFailed = [this](bool &h) { ftpAuthenticationFailed(h); };
    ftp_.OnHostResolved = [this](TPowersock *) { ftpHostResolved(); };
    ftp_.OnConnectionFailed = [this](TPowersock *) { ftpConnectionFailed(); };
    ftp_.OnError = [this](TPowersock *, uint16_t, const std::string &) { ftpError(); };
    ftp_.OnFailure = [this](bool &h, TCmdType) { ftpFailure(h); };
    ftp_.OnSuccess = [this](TCmdType) { ftpSuccess(); };
    ftp_.OnPacketRecvd = [this](TPowersock *s) { ftpPacketRecvd(s); };
    ftp_.OnPacketSent = [this](TPowersock *s) { ftpPacketSent(s); };
    zip_.OnProgress = [this](TZipBuilder *, ProgressType type, const std::string &file, long size) {
        // The component asks for CancelRequested after each report.
        if (!zip_.CancelRequested && !stopReason().empty())
            zip_.CancelRequested = true;
        // While the save file streams, the transfer's progress is the job's;
        // the zip's totals are shown when the zip stage begins, as ever.
        if (streaming_ && JobStage != jsZip) {
            if (type == ptTotalBytes || type == ptFileCount)
                heldProgress_.push_back({type, size, file});
            return;
        }
        ui_.zipProgress(type, size, file, JobStage);
    };
}

static std::string hostOf(const HostJobs &j);

void HostJobs::requestStop(const std::string &why)
{
    stopRequest_ = why.empty() ? "stopped" : why;
    ftp_.Stop(stopRequest_);
    if (ssh_)
        ssh_->Session.Abort(stopRequest_);
}

std::string HostJobs::stopReason() const
{
    if (!stopRequest_.empty())
        return stopRequest_;
    return StopCheck ? StopCheck() : std::string();
}

void HostJobs::clearStop()
{
    stopRequest_.clear();
    activity_.clear();
}

std::string HostJobs::activity() const
{
    return activity_.empty() ? "signing on to " + hostOf(*this) : activity_;
}

void HostJobs::stopIfRequested(const std::function<void()> &cleanUp)
{
    const std::string why = stopReason();
    if (why.empty())
        return;
    if (cleanUp)
        cleanUp();
    throw JobStopped(activity() + ": " + why);
}

std::string HostJobs::jobLogPath() const { return runFolder + "/" + kJobLogFileName; }

void HostJobs::useSsh(SshHostLink *ssh)
{
    ssh_ = ssh;
    link_ = ssh ? static_cast<HostLink *>(ssh) : &ftpLink_;
    if (!ssh)
        return;
    ssh->OnFailure = [this](bool &h) { ftpFailure(h); };
    ssh->OnSuccess = [this] { ftpSuccess(); };
    ssh->OnProgress = [this](int64_t done, int64_t total) { ui_.transferProgress(done, total); };
}

void HostJobs::runOverSsh()
{
    if (!ssh_)
        throw std::logic_error("runOverSsh without an SSH link");
    try {
        ssh_->connect();
    } catch (const ESshAuthFailed &e) {
        // Its own words: a refused password is no missing profile.
        ui_.connectionMessage(e.what(), "Qln0006");
        throw;
    } catch (const EHostKeyRefused &) {
        throw;
    } catch (const EHostKeyChanged &) {
        throw; // its own words say what happened and what to do
    } catch (const EHostKeyRejected &) {
        throw;
    } catch (const ESshError &) {
        ui_.connectionMessage("Connection to iSeries (AS/400) " + hostOf(*this) + " failed", "Qln0007");
        throw;
    }
    ui_.addLine("Connected to " + hostOf(*this));
    try {
        ftpConnect();
    } catch (...) {
        // Stopped, or the connection broke: the save file must not stay.
        removeHostSaveFile();
        ssh_->disconnect();
        throw;
    }
    removeHostSaveFile();
    ssh_->disconnect();
}

void HostJobs::removeHostSaveFile()
{
    if (!ssh_ || !ssh_->saveFileCreated())
        return;
    const std::string what = ssh_->saveFile();
    const std::string problem = ssh_->removeSaveFile();
    if (!problem.empty()) {
        const std::string text = "the temporary save file " + what + " could not be deleted on " + hostOf(*this) +
                                 ": " + problem + "; delete it with DLTF FILE(" + what + ")";
        warnings.push_back(text);
        ui_.warning(text);
    }
}

static std::string hostOf(const HostJobs &j)
{
    return j.mode == HostJobs::Mode::Save ? j.saveInputs.hostName : j.restoreInputs.hostName;
}

// ---------------------------------------------------------------- commands

void HostJobs::sendCommand(const std::string &format, const std::vector<std::string> &args)
{
    const SplitCommand c = splitCommand(formatCommand(format, args));
    // The command from an archive (anyone may have made it) is listed as
    // sent, whole: a backslash must not hide its tail.
    if (!quiet)
        ui_.addLine(listWhole_ ? c.sent : c.listed);
    // The failure handler finds the command's entry in the job log by it.
    struct Pending {
        std::string &slot;
        std::string saved;
        ~Pending() { slot = saved; }
    } pending{pendingRcmd_, pendingRcmd_};
    pendingRcmd_ = c.sent;
    link_->command(c.sent);
}

void HostJobs::RunHostCommand(const std::string &format, const std::vector<std::string> &args)
{
    tolerateFailure = false;
    sendCommand(format, args);
}

bool HostJobs::TryHostCommand(const std::string &format, const std::vector<std::string> &args)
{
    commandSucceeded = true;
    tolerateFailure = true;
    sendCommand(format, args);
    return commandSucceeded;
}

// ---------------------------------------------------------------- handlers

void HostJobs::ftpConnect()
{
    try {
        runSignedOn();
    } catch (const EAbortError &e) {
        // A wait that a stop request ended: say what was stopped.
        if (stopReason().empty())
            throw;
        throw JobStopped(activity() + ": " + e.what());
    }
}

void HostJobs::runSignedOn()
{
    const std::string host = hostOf(*this);
    activity_ = "preparing the host job on " + host;
    ui_.jobStarted();
    if (sendNameFormat && !ssh_) {
        // Not listed and never reported: a host that knows no name formats
        // (or already uses 1) changes nothing for the job. The flag stays set
        // until the job's first command, as after any tolerated command; the
        // stage stays what the last job left.
        const int stage = JobStage;
        commandSucceeded = true;
        tolerateFailure = true;
        ftp_.SendCommand("SITE NAMEFMT 1");
        JobStage = stage;
    }
    quiet = true;
    // Over SSH each command is a job of its own: a logging level, a job log
    // file or a print override would be gone with the command that set it.
    if (!ssh_)
        RunHostCommand("chgjob log(4 10 *SECLVL) logclpgm(*YES)");
    ui_.addLine("User profile '" + userProfile + "' now online with " + host);
    // The operator sees that the password and the save file are protected.
    if (const std::string protection = link_->protection(); !protection.empty())
        ui_.addLine(protection);
    JobStage = jsPrepareJob;
    quiet = true;
    ui_.addLine("Creating temporary files on " + host);
    quiet = true;
    // Over SSH the save file sits in a real library, whose CRTAUT would let
    // the public read or rewrite it: it is the owner's alone.
    RunHostCommand(ssh_ ? "crtsavf %s aut(*exclude)" : "crtsavf %s", {link_->saveFile()});
    if (!ssh_) {
        RunHostCommand("CRTPF FILE(QTEMP/JOBLOG) RCDLEN(528) SIZE(1000000 10000 100)");
        RunHostCommand("OVRPRTF FILE(QPJOBLOG) HOLD(*YES) SPLFOWN(*JOB) OVRSCOPE(*JOB)");
    }
    quiet = false;
    if (mode == Mode::Save)
        saveJob();
    else
        restoreJob();
    ui_.jobEnded();
}

void HostJobs::ftpSuccess()
{
    JobStage = jsNone;
    commandSucceeded = true;
}

std::string HostJobs::stageMessage(int stage) const
{
    const std::string host = hostOf(*this);
    switch (stage) {
    case jsPrepareJob: return "Error in the CHGJOB command on the iSeries (" + host + ")";
    case jsRestoreObjects:
        return "Error while trying to restore objects on " + host +
               " Check the following: \n\n--\tos/400 version and release \n--\tthe 'To library' must exists?";
    case jsClearSaveFile: return "Error while trying to clear save file on " + host;
    case jsSave:
        return "Error while trying to save library '" + saveInputs.library +
               "'. Some objects may have to be saved with a more recent OS/400 version than specified. See "
               "previous listed messages for more information.";
    case jsDownloadSaveFile:
        return "Error while trying to copy data from " + saveInputs.library + " to " + saveInputs.archivePath;
    case jsDisconnect: return "Error while trying to disconnect from " + host;
    case jsUploadSaveFile:
        // The upload goes from the chosen PC file to the host.
        return "Error while trying to copy data from " + restoreInputs.chosenFile + " to " + host;
    case jsRestoreLibrary:
        return "Error while trying to restore a library on " + host + " - check os/400 version and release";
    case jsRunCommand:
        return "Error while trying to run command:\n\n '" + restoreCommand_ + "' \n\n on server: " + host;
    case jsCreateLibrary: return "Library " + hostUpper(restoreInputs.restoreToLibrary) + " not created.";
    default: return {};
    }
}

// The host's reply to the failing operation, every line. The client's own
// findings (a transfer cut short) come with the host's last reply.
std::vector<std::string> HostJobs::replyLines() const
{
    const auto first = splitReply(link_->firstReply());
    auto all = splitReply(link_->lastReply());
    if (!first.empty() && !all.empty() && all.front() == first.front())
        return all;
    return first;
}

void HostJobs::ftpFailure(bool &Handled)
{
    if (fetchingLog_) {
        // The job log is a diagnostic: a step of its fetch that fails spoils
        // the log, never the job (nor does it report anything of its own).
        Handled = true;
        commandSucceeded = false;
        if (logProblem_.empty()) {
            const auto failure = splitReply(link_->failureText());
            const auto reply = replyLines();
            logProblem_ = joined(!failure.empty() && (reply.empty() || failure.front() != reply.front())
                                     ? failure
                                     : reply);
        }
        return;
    }
    if (tolerateFailure) {
        Handled = true;
        commandSucceeded = false;
        return;
    }
    if (inFailure_) {
        // Re-entered while a failure is being reported: that failure is the
        // one the user needs to see.
        Handled = true;
        commandSucceeded = false;
        return;
    }
    FailureReport r;
    r.stage = JobStage;
    r.message = stageMessage(r.stage);
    r.hostReply = replyLines();
    r.command = pendingRcmd_;
    // A finding of the client itself (no reply line of the host).
    const auto failure = splitReply(link_->failureText());
    if (!failure.empty() && (r.hostReply.empty() || failure.front() != r.hostReply.front()))
        r.check = joined(failure);
    Handled = !r.message.empty();
    reportFailure(std::move(r));
}

void HostJobs::reportFailure(FailureReport r)
{
    ui_.failureBegins();
    const int stage = r.stage;
    ++failuresReported;
    lastFailureStage = stage;
    lastFailureReply = r.hostReply.empty() ? std::string() : r.hostReply.front();
    failureMessages.push_back(r.message.empty() ? lastFailureReply : r.message);
    if (stage == jsSave)
        saveCommandFailed = true;
    if (stage == jsDownloadSaveFile || stage == jsUploadSaveFile)
        transferFailed = true;
    if (stage == jsDownloadSaveFile) {
        downloadFailed_ = true;
        if (downloadProblem.empty())
            downloadProblem = r.check.empty() ? joined(r.hostReply) : r.check;
    }
    if (stage == jsRestoreLibrary || stage == jsRestoreObjects)
        restoreFailed = true;
    if (stage == jsRunCommand)
        commandFailed = true;
    JobStage = jsPrepareJob;

    inFailure_ = true;
    try {
        FetchJobLog();
    } catch (...) {
        inFailure_ = false;
        throw;
    }
    inFailure_ = false;
    r.jobLogProblem = logProblem_;
    // The reply has the message's text; the job log has its id.
    if (ssh_ && !r.command.empty())
        r.escape = ssh_->lastEscape();
    else if (!r.command.empty() && logProblem_.empty())
        r.escape = escapeMessageFor(parseJobLog(readTextLines(jobLogPath())), r.command);
    lastFailure = r;

    const int result = ui_.showFailure(r, jobLogPath());
    if (result == platform::mrAbort && ui_.askToClose())
        throw JobAborted(r.message.empty() ? "The job was stopped." : r.message);
}

void HostJobs::ftpAuthenticationFailed(bool &)
{
    ui_.connectionMessage("User profile " + userProfile + " not found on iSeries (AS/400) " + hostOf(*this),
                          "Qln0006");
}

void HostJobs::ftpConnectionFailed()
{
    ui_.connectionMessage("Connection to iSeries (AS/400) " + hostOf(*this) + " failed", "Qln0007");
}

void HostJobs::ftpError()
{
    ui_.connectionMessage("Connection to iSeries (AS/400) " + hostOf(*this) + " failed", "Qln0008");
}

void HostJobs::ftpHostResolved() { ui_.addLine("Connected to " + hostOf(*this)); }

void HostJobs::ftpPacketSent(TPowersock *) { ui_.transferProgress(ftp_.BytesSent(), ftp_.BytesTotal); }

// Downloads move the bar as uploads do: the size comes from the server's
// "150 ... (N bytes)" reply when it gives one.
void HostJobs::ftpPacketRecvd(TPowersock *) { ui_.transferProgress(ftp_.BytesReceived(), ftp_.BytesTotal); }

// ---------------------------------------------------------------- job log

void HostJobs::FetchJobLog()
{
    quiet = true;
    struct Fetching {
        bool &flag;
        bool saved;
        ~Fetching() { flag = saved; }
    } fetching{fetchingLog_, fetchingLog_};
    fetchingLog_ = true;
    logProblem_.clear();
    // Over SSH no job outlives its command: what each command printed is
    // the log there is.
    if (ssh_) {
        if (!ssh_->writeJobLog(jobLogPath())) {
            logProblem_ = "cannot write " + jobLogPath();
            removeFile(jobLogPath());
        }
        return;
    }
    // Once a step fails the rest cannot bring a log of this job.
    for (const char *command : {"clrpfm qtemp/joblog", "DSPJOBLOG OUTPUT(*PRINT)",
                                "CPYSPLF FILE(QPJOBLOG) TOFILE(QTEMP/joblog) SPLNBR(*LAST)",
                                "DLTSPLF FILE(QPJOBLOG) SPLNBR(*LAST)"}) {
        RunHostCommand(command);
        if (!logProblem_.empty())
            break;
    }
    if (logProblem_.empty())
        link_->setBinary(false);
    if (logProblem_.empty())
        ftp_.Download(kRemoteJobLog, jobLogPath());
    // An older log, or part of this one, must not pass for this job's log.
    if (!logProblem_.empty())
        removeFile(jobLogPath());
}

void HostJobs::fetchJobLogAtEnd()
{
    try {
        FetchJobLog();
    } catch (const EAbortError &) {
        throw;
    } catch (const ESockError &e) {
        // The connection went while the log came: what the job did stands.
        logProblem_ = e.what();
        removeFile(jobLogPath());
    }
    if (!logProblem_.empty()) {
        const std::string text = "the host job log could not be fetched: " + logProblem_;
        warnings.push_back(text);
        ui_.warning(text);
    }
}

// ---------------------------------------------------------------- zip calls

bool HostJobs::zipAdd(const std::vector<std::string> &files)
{
    stopIfRequested();
    zip_.FSpecArgs = files;
    JobStage = jsZip;
    // The component writes a new archive under a name of its own and gives
    // it the archive's name only when complete; a new archive that exists
    // after a stop is no archive.
    const std::string archive = zip_.ZipFileName();
    const bool existed = isFile(archive);
    bool fault = false;
    try {
        zip_.Add();
    } catch (...) {
        fault = true;
    }
    // A cancelled run is the stop, not a fault of the component.
    stopIfRequested([&] {
        if (!existed)
            removeFile(archive);
    });
    if (fault) {
        ui_.showMessage("Error - Fatal DLL Exception", "Qln0001");
        return false;
    }
    return zip_.ProcessedCount == static_cast<int>(files.size());
}

bool HostJobs::zipExtract(const std::string &member)
{
    zip_.FSpecArgs = {member};
    zip_.ExtrBaseDir = runFolder;
    zip_.ExtrOptions = ExtrOpts{ExtrOverWrite};
    stopIfRequested();
    ui_.setTimerEnabled(false);
    JobStage = jsUnzip;
    bool fault = false;
    try {
        // A member name that is no plain file name would unpack elsewhere or
        // everything; the record is damaged then.
        if (member.empty() || member == "." || member == "..")
            throw std::runtime_error("no save file member");
        zip_.Extract();
    } catch (...) {
        fault = true;
    }
    if (!fault)
        ui_.setTimerEnabled(true);
    // A stop leaves nothing of the member to upload.
    stopIfRequested([&] {
        if (!fault)
            removeFile(runFolder + "/" + member);
        removeFile(infoMemberPath(runFolder));
    });
    if (fault) {
        ui_.showMessage("Error - Fatal DLL Exception", "Qln0012");
        return false;
    }
    return zip_.ProcessedCount >= 1;
}

void HostJobs::removeFile(const std::string &path)
{
    if (!path.empty())
        ::unlink(path.c_str());
}

// ---------------------------------------------------------------- save job

void HostJobs::saveJob()
{
    const SaveInputs &in = saveInputs;
    const std::string saveFile = platform::makeUniqueTempFile(runFolder, kTempSaveFilePrefix);
    if (saveFile.empty())
        throw std::runtime_error("Cannot create a temporary file in " + runFolder);
    // The member name travels in the record; a cut path would name another
    // file. Readers take the name after the path's last backslash.
    if (!info_.setTempSaveFilePath(recordPath(saveFile))) {
        removeFile(saveFile);
        throw std::runtime_error("The temporary folder's path is too long: " + saveFile);
    }
    info_.FormatVersion = kArchiveFormatVersion;
    info_.setOwnerName(in.ownerName);
    info_.setDownloadAddress(in.downloadAddress);
    info_.setSavedRelease(in.targetRelease);
    info_.setSavedLibrary(in.library);
    const QLocale locale = QLocale::system();
    info_.setSaveTime(locale.toString(QDate::currentDate(), QLocale::ShortFormat).toStdString() + " " +
                      locale.toString(QTime::currentTime(), QLocale::LongFormat).toStdString());
    info_.SaveType = in.saveType;

    JobStage = jsClearSaveFile;
    quiet = true;
    // Over SSH the save file was made for this job a moment ago: empty, and
    // every command costs the host a job of its own.
    if (!ssh_)
        RunHostCommand("clrsavf %s", {link_->saveFile()});

    JobStage = jsSave;
    quiet = false;
    activity_ = (in.saveType == 1 ? "saving " + hostUpper(in.objectName) + " of library " : "saving library ") +
                hostUpper(in.library) + " on " + in.hostName;
    if (in.saveType == 0)
        RunHostCommand("SAVLIB LIB(%s) TGTRLS(%s) \\ SavAct(*Lib) dtacpr(*yes) dev(*savf) savf(%s)",
                       {hostUpper(in.library), hostUpper(in.targetRelease), link_->saveFile()});
    else if (in.saveType == 1)
        RunHostCommand(
            "SAVOBJ OBJ(%s) LIB(%s) OBJTYPE(%s) TGTRLS(%s) \\ SavAct(*Lib) dtacpr(*yes) dev(*savf) savf(%s)",
            {hostUpper(in.objectName), hostUpper(in.library), hostUpper(in.objectType), hostUpper(in.targetRelease),
             link_->saveFile()});

    link_->setBinary(true);
    ui_.addLine("Now Downloading from: " + in.hostName);
    JobStage = jsDownloadSaveFile;
    activity_ = "downloading the save file from " + in.hostName;
    downloadFailed_ = false;
    if (streamTransfers && saveStreamed(saveFile))
        return;
    link_->getSaveFile(saveFile);
    // The 150 reply gives no size and a cut can still end in 226: the file
    // itself must show that it is whole.
    if (!downloadFailed_) {
        const std::string problem = jobs::saveFileProblem(saveFile, !saveCommandFailed);
        if (!problem.empty()) {
            FailureReport r;
            r.stage = jsDownloadSaveFile;
            r.message = stageMessage(r.stage);
            r.check = problem;
            r.hostReply = splitReply(link_->lastReply()); // the final reply: complete, it said
            reportFailure(std::move(r));
            downloadFailed_ = true;
        }
    }
    const bool saveFileComplete = !downloadFailed_;

    activity_ = "fetching the job log from " + in.hostName;
    fetchJobLogAtEnd();

    removeHostSaveFile();
    ui_.addLine("Now disconnecting from " + in.hostName);
    JobStage = jsDisconnect;
    activity_ = "signing off from " + in.hostName;
    link_->disconnect();

    if (!saveFileComplete) {
        // Ignore goes on with the job, but a short save file is never
        // zipped: the archive would look complete and restore nothing whole.
        ui_.addLine("No archive written: the save file did not arrive complete");
        ui_.addLine("Deleting temp files");
        ui_.showPoster();
        removeFile(saveFile);
        return;
    }

    ui_.addLine("Zip saved file to: " + in.archivePath);
    writeInfoMember(info_, runFolder);
    std::vector<std::string> files{infoMemberPath(runFolder), saveFile};
    const std::string poster = info_.posterFile();
    if (!poster.empty())
        files.push_back(poster);
    // The last page finds the picture in the archive by its name.
    info_.setPosterFile(fileNamePart(poster));
    activity_ = "zipping the save file into " + in.archivePath;
    bool zipped = false;
    try {
        zipped = zipAdd(files);
    } catch (const JobStopped &) {
        removeFile(saveFile);
        removeFile(infoMemberPath(runFolder));
        throw;
    }
    if (!zipped)
        zipFailed = true;

    ui_.addLine("Deleting temp files");
    ui_.showPoster();
    removeFile(saveFile);
}

// While it lives the save file streams: the zip's progress waits (its
// totals are held for the zip stage).
struct HostJobs::StreamingScope {
    HostJobs &jobs;
    explicit StreamingScope(HostJobs &j) : jobs(j)
    {
        jobs.streaming_ = true;
        jobs.heldProgress_.clear();
    }
    ~StreamingScope()
    {
        jobs.streaming_ = false;
        jobs.heldProgress_.clear();
    }
};

namespace {
// The front end's long-zip rules follow the transfer while it lives.
struct StreamShown {
    JobUi &ui;
    StreamShown(JobUi &u, bool zipping) : ui(u) { ui.streamBegins(zipping); }
    ~StreamShown() { ui.streamEnds(); }
};
} // namespace

// The save file goes into the archive as it arrives: no copy of it on disk,
// and zipping costs no time of its own. The archive is completed (and
// renamed) only once the download was found whole and the host signed off,
// as when the file was zipped afterwards; the members, their order and the
// bytes are the same. False when the link or the archive cannot stream
// (no size from the host, a multi-volume or program file archive): nothing
// was moved then.
bool HostJobs::saveStreamed(const std::string &saveFile)
{
    const SaveInputs &in = saveInputs;
    const int64_t size = link_->saveFileSize();
    if (size < 0)
        return false;
    writeInfoMember(info_, runFolder);
    std::vector<std::string> files{infoMemberPath(runFolder), saveFile};
    const std::string poster = info_.posterFile();
    if (!poster.empty())
        files.push_back(poster);
    const std::string archive = zip_.ZipFileName();
    const bool existed = isFile(archive);

    StreamPipe pipe;
    TZipBuilder::StreamIn source;
    source.path = saveFile;
    source.size = size;
    source.read = [&](uint8_t *buf, size_t max) { return pipe.read(buf, max); };
    source.closed = [&] { pipe.close(); };
    bool complete = false;
    bool zipGone = false;
    zip_.FSpecArgs = files;
    const StreamingScope streaming(*this);
    const auto cleanUp = [&] {
        removeFile(saveFile);
        removeFile(infoMemberPath(runFolder));
    };
    bool ran = false;
    try {
        ran = zip_.AddStreamed(source, [&] {
            // Whatever ends the download early, the zip gives up with it.
            struct Unwhole {
                StreamPipe &p;
                ~Unwhole() { p.finish(false); }
            } unwhole{pipe};
            try {
                const StreamShown shown(ui_, true);
                link_->getSaveFile(
                    [&](const char *data, size_t n) { return pipe.write(data, n) ? 0 : EPIPE; },
                    "the archive " + in.archivePath);
            } catch (const ESockError &) {
                throw;
            } catch (const FTPException &) {
                throw;
            } catch (const std::runtime_error &) {
                // The zip ended (a full disk): its own message says why.
                if (!pipe.consumerGone())
                    throw;
                zipGone = true;
            }
            if (!zipGone && !downloadFailed_) {
                const std::string problem = saveFileSizeProblem(pipe.bytesWritten(), !saveCommandFailed);
                if (!problem.empty()) {
                    FailureReport r;
                    r.stage = jsDownloadSaveFile;
                    r.message = stageMessage(r.stage);
                    r.check = problem;
                    r.hostReply = splitReply(link_->lastReply());
                    reportFailure(std::move(r));
                    downloadFailed_ = true;
                }
            }
            complete = !zipGone && !downloadFailed_;
            if (!complete)
                pipe.finish(false);

            activity_ = "fetching the job log from " + in.hostName;
            fetchJobLogAtEnd();
            removeHostSaveFile();
            ui_.addLine("Now disconnecting from " + in.hostName);
            JobStage = jsDisconnect;
            activity_ = "signing off from " + in.hostName;
            link_->disconnect();
            if (complete) {
                ui_.addLine("Zip saved file to: " + in.archivePath);
                JobStage = jsZip;
                activity_ = "zipping the save file into " + in.archivePath;
                for (const HeldProgress &h : heldProgress_)
                    ui_.zipProgress(h.type, h.size, h.file, jsZip);
                heldProgress_.clear();
                stopIfRequested();
                pipe.finish(true);
            }
        });
    } catch (...) {
        cleanUp();
        throw;
    }
    if (!ran) {
        zip_.FSpecArgs.clear();
        removeFile(infoMemberPath(runFolder));
        return false;
    }
    // A stop while the archive was completed leaves no archive.
    stopIfRequested([&] {
        if (!existed)
            removeFile(archive);
        cleanUp();
    });
    if (!complete && !zipGone)
        ui_.addLine("No archive written: the save file did not arrive complete");
    else if (zip_.ProcessedCount != static_cast<int>(files.size()))
        zipFailed = true;
    info_.setPosterFile(fileNamePart(poster));
    ui_.addLine("Deleting temp files");
    ui_.showPoster();
    cleanUp();
    return true;
}

// ---------------------------------------------------------------- restore job

void HostJobs::restoreJob()
{
    const RestoreInputs &in = restoreInputs;
    if (!isFile(in.chosenFile)) {
        ui_.showMessage("File '" + in.chosenFile + "' does not exists", "Qln0002");
        restoreFailed = true;
        return;
    }
    const std::string member = info_.saveFileMemberName();
    const Streamed streamed = !in.fromSaveFile && streamTransfers ? restoreStreamed(member) : Streamed::No;
    std::string local;
    if (streamed == Streamed::Failed) {
        endRestore(local);
        return;
    }
    if (streamed == Streamed::No) {
        activity_ = "unzipping the save file from " + in.chosenFile;
        if (!in.fromSaveFile && !zipExtract(member))
            zipFailed = true;
        clearAndSay();
        JobStage = jsUploadSaveFile;
        activity_ = "uploading the save file to " + in.hostName;
        if (in.fromSaveFile) {
            info_.setSavedLibrary(in.savedLibrary);
            local = in.chosenFile;
        } else {
            local = runFolder + "/" + member;
        }
        link_->putSaveFile(local);
    }

    if (in.autoCreateLibrary) {
        JobStage = jsCreateLibrary;
        activity_ = "creating library " + hostUpper(in.restoreToLibrary) + " on " + in.hostName;
        RunHostCommand("CRTLIB LIB(%s)", {hostUpper(in.restoreToLibrary)});
    }

    const std::vector<std::string> libs{hostUpper(info_.savedLibrary()), hostUpper(in.restoreToLibrary),
                                        link_->saveFile()};
    activity_ = "restoring " + hostUpper(info_.savedLibrary()) + " into " + hostUpper(in.restoreToLibrary) + " on " +
                in.hostName;
    if (info_.SaveType == 0) {
        JobStage = jsRestoreLibrary;
        quiet = false;
        if (!TryHostCommand("RSTLIB SAVLIB(%s) RSTLIB(%s) \\ dev(*savf) savf(%s) ", libs))
            RunHostCommand("RSTLIB SAVLIB(%s) RSTLIB(%s) \\ dev(*savf) savf(%s) RSTASP(1)", libs);
    } else if (info_.SaveType == 1) {
        JobStage = jsRestoreObjects;
        quiet = false;
        if (!TryHostCommand("RSTOBJ OBJ(*ALL) SAVLIB(%s) RSTLIB(%s) \\ dev(*savf) savf(%s)", libs))
            RunHostCommand("RSTOBJ OBJ(*ALL) SAVLIB(%s) RSTLIB(%s) \\ dev(*savf) savf(%s) RSTASP(1)", libs);
    }

    restoreCommand_ = info_.targetCommand();
    if (!restoreCommand_.empty()) {
        JobStage = jsRunCommand;
        activity_ = "running the command after the restore on " + in.hostName;
        quiet = false;
        // The command is the archive's text, not a format: a '%' in it stays.
        listWhole_ = true;
        struct Listed {
            bool &flag;
            ~Listed() { flag = false; }
        } listed{listWhole_};
        RunHostCommand("%s", {restoreCommand_});
    }

    endRestore(local);
}

void HostJobs::endRestore(const std::string &local)
{
    const RestoreInputs &in = restoreInputs;
    activity_ = "fetching the job log from " + in.hostName;
    fetchJobLogAtEnd();
    removeHostSaveFile();
    ui_.addLine("Now disconnecting from " + in.hostName);
    JobStage = jsDisconnect;
    activity_ = "signing off from " + in.hostName;
    link_->disconnect();
    ui_.showPoster();
    if (!in.fromSaveFile) {
        removeFile(infoMemberPath(runFolder));
        if (!local.empty())
            removeFile(local);
    }
}

void HostJobs::clearAndSay()
{
    JobStage = jsClearSaveFile;
    quiet = true;
    // Over SSH the save file was made for this job a moment ago: empty, and
    // every command costs the host a job of its own.
    if (!ssh_)
        RunHostCommand("clrsavf %s", {link_->saveFile()});
    link_->setBinary(true);
    ui_.addLine("Now uploading to: " + restoreInputs.hostName);
}

// The save file member is inflated straight into the upload: no copy of it
// on disk. Its end reaches the host only once its CRC matched; a damaged
// member breaks the upload off, the host's part of it is cleared and no
// restore command runs. No when the archive cannot stream (a multi-volume
// set, a member the listing lacks): nothing was moved then.
HostJobs::Streamed HostJobs::restoreStreamed(const std::string &member)
{
    const RestoreInputs &in = restoreInputs;
    int64_t size = -1;
    const QString wanted = QString::fromStdString(member);
    for (const ZipDirEntry &e : zip_.Entries) {
        if (QString::fromStdString(e.FileName).compare(wanted, Qt::CaseInsensitive) == 0) {
            size = static_cast<int64_t>(e.UncompressedSize);
            break;
        }
    }
    if (size < 0 || member.empty() || member == "." || member == "..")
        return Streamed::No;

    StreamPipe pipe;
    TZipBuilder::StreamOut target;
    target.member = member;
    target.write = [&](const uint8_t *data, size_t n) { return pipe.write(data, n); };
    target.end = [&](bool whole) { pipe.finish(whole); };
    bool damaged = false;
    stopIfRequested();
    // The unzip's progress is the upload's; its total is said as ever.
    const StreamingScope streaming(*this);
    const bool ran = zip_.ExtractStreamed(target, [&] {
        ui_.zipProgress(ptTotalBytes, static_cast<long>(size), member, jsUnzip);
        ui_.zipProgress(ptBatchEnd, 0, {}, jsUnzip);
        // However the upload ends, the inflating stops with it.
        struct Close {
            StreamPipe &p;
            ~Close() { p.close(); }
        } close{pipe};
        clearAndSay();
        JobStage = jsUploadSaveFile;
        activity_ = "uploading the save file to " + in.hostName;
        try {
            const StreamShown shown(ui_, false);
            link_->putSaveFile(
                [&](char *buf, size_t max) -> long {
                    const long n = pipe.read(buf, max);
                    return n < 0 ? -EBADMSG : n;
                },
                size, "the save file in " + in.chosenFile);
        } catch (const ESockError &) {
            throw;
        } catch (const FTPException &) {
            throw;
        } catch (const std::runtime_error &) {
            if (!pipe.failed())
                throw;
            damaged = true;
        }
    });
    if (!ran)
        return Streamed::No;
    if (!damaged)
        return Streamed::Yes;
    zipFailed = true;
    const std::string why = zip_.LastMessage;
    // What the host took of it must not be restored by anyone, whatever the
    // answer to the report is (over SSH the save file goes at the end).
    if (!ssh_) {
        quiet = true;
        TryHostCommand("clrsavf %s", {link_->saveFile()});
    }
    FailureReport r;
    r.stage = jsUploadSaveFile;
    r.message = stageMessage(r.stage);
    r.check =
        "the save file in the archive did not inflate whole" + (why.empty() ? std::string() : ": " + why);
    reportFailure(std::move(r));
    return Streamed::Failed;
}

} // namespace jobs
