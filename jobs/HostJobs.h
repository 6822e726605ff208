#pragma once
// The host jobs: what happens once the FTP client has signed on. The host job
// is prepared, then the save job or the restore job runs; every host action is
// an OS/400 command sent as RCMD. The jobs take their inputs as plain values
// and report through JobUi, so the wizard and quellon-cli run the same code.

#include "jobs/ArchiveInfo.h"
#include "jobs/HostLink.h"
#include "jobs/JobLogReader.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

class TNMFTP;
class TPowersock;
class TZipBuilder;

namespace jobs {

class SshHostLink;

// What the running job does; selects the message of a failure.
enum JobStageValue : int {
    jsNone = 0,
    jsPrepareJob = 1,
    jsRestoreObjects = 2,
    jsClearSaveFile = 3,
    jsSave = 4,
    jsDownloadSaveFile = 5,
    jsDisconnect = 6,
    jsUploadSaveFile = 7,
    jsRestoreLibrary = 8,
    jsRunCommand = 9,
    jsZip = 10,
    jsUnzip = 11,
    jsCreateLibrary = 12,
};

inline constexpr std::size_t kCommandMax = 506; // fits "RCMD " and the line end in 511
inline constexpr const char *kRemoteSaveFile = "/qsys.lib/qtemp.lib/savf.file";
// In name format 1 a physical file is a folder of members; CRTPF made one
// member named like the file.
inline constexpr const char *kRemoteJobLog = "/qsys.lib/qtemp.lib/joblog.file/joblog.mbr";
inline constexpr const char *kJobLogFileName = "joblog.txt";
inline constexpr const char *kTempSaveFilePrefix = "4QL";

// The product web page: the download address written into new archives.
inline constexpr const char *kDownloadAddress = "https://www.quellon.com/";

// Who the archives are made by: the user's full name from the account
// database, else the login name.
std::string defaultOwnerName();

// Fills each "%s" of `format` with the next argument ("%%" is one '%'); the
// result is cut to `max` bytes without splitting a UTF-8 character.
std::string formatCommand(const std::string &format, const std::vector<std::string> &args,
                          std::size_t max = kCommandMax);

// The backslash rule: the listed text is the command up to its first
// backslash; the sent text has that backslash replaced by one blank. The
// command after a restore (from the archive) is listed as sent.
struct SplitCommand {
    std::string listed;
    std::string sent;
};
SplitCommand splitCommand(const std::string &command);

// ASCII upper case, as OS/400 names are sent to the host.
std::string hostUpper(const std::string &s);

// Cuts `s` to at most `max` bytes at a UTF-8 character boundary.
std::string cutUtf8(const std::string &s, std::size_t max);

// What the save job needs from the wizard (values as typed).
struct SaveInputs {
    int saveType = 0; // 0 entire library, 1 single object
    std::string library;
    std::string targetRelease;
    std::string objectName;
    std::string objectType; // trailing blanks included
    std::string hostName;
    std::string archivePath; // the zip component's archive name
    std::string ownerName;
    std::string downloadAddress;
};

// What the restore job needs from the wizard.
struct RestoreInputs {
    std::string chosenFile;
    std::string restoreToLibrary;
    std::string savedLibrary; // of a bare save file
    std::string hostName;
    bool autoCreateLibrary = false;
    bool fromSaveFile = false; // the chosen file's name ends in ".savf"
};

// A failure as the user sees it: the stage's text, and with it what the host
// (or a check of ours) said.
struct FailureReport {
    int stage = jsNone;
    std::string message;                // the stage's text; empty for stages without one
    std::vector<std::string> hostReply; // every line of the host's reply
    std::string check;                  // a check of ours that failed, in words
    std::string command;                // the failing host command, as sent
    JobLogMessage escape;               // its escape message in the fetched job log
    std::string jobLogProblem;          // why the job log could not be fetched

    // "Host reply: ...", "Escape message: ID text", ... one line each.
    std::vector<std::string> reasonLines() const;
    // The stage's text, then the reason lines.
    std::string viewerText() const;
};

// How a job reports. The wizard shows these in its window; the CLI prints.
class JobUi {
public:
    virtual ~JobUi() = default;
    // A line of the activity list.
    virtual void addLine(const std::string &line) = 0;
    // Signed on: timer on, hourglass, bar shown.
    virtual void jobStarted() {}
    // The job has ended (normally): cursor back, last page.
    virtual void jobEnded() {}
    // A reported failure begins: cursor back, Cancel and Back enabled, bar
    // and timer off.
    virtual void failureBegins() {}
    // The activity timer around unzipping.
    virtual void setTimerEnabled(bool) {}
    // Transfer progress: `done` of `total` bytes (total 0 = unknown).
    virtual void transferProgress(int64_t /*done*/, int64_t /*total*/) {}
    // The save file streams between the transfer and the zip (zipping) or
    // the unzip: the zip's long-run rules apply to the transfer until
    // streamEnds.
    virtual void streamBegins(bool /*zipping*/) {}
    virtual void streamEnds() {}
    // The zip component's progress, with the stage it runs under.
    virtual void zipProgress(int /*type*/, int64_t /*size*/, const std::string & /*file*/, int /*stage*/) {}
    // The job log viewer; returns its modal result (1 Close, 2 Cancel,
    // 3 Abort, 5 Ignore). `logPath` is the fetched "joblog.txt".
    virtual int showJobLog(bool errorMode, const std::string &message, const std::string &logPath) = 0;
    // A reported failure: the viewer in error mode, the reasons under the
    // stage's text. Returns the viewer's modal result.
    virtual int showFailure(const FailureReport &report, const std::string &logPath)
    {
        return showJobLog(true, report.viewerText(), logPath);
    }
    // Something the user should know that does not change the job's result
    // (the job log could not be fetched).
    virtual void warning(const std::string &text) { addLine("Warning: " + text); }
    // Abort in the viewer: the wizard asks to close. True when the job must
    // stop here.
    virtual bool askToClose() = 0;
    // A message box with a message id caption (the zip failures).
    virtual void showMessage(const std::string &text, const std::string &messageId) = 0;
    // The poster on the last page.
    virtual void showPoster() {}
    // Connection failures, each with its message id.
    virtual void connectionMessage(const std::string &text, const std::string &messageId)
    {
        showMessage(text, messageId);
    }
};

// Leaves the job when the user chose to stop it (Abort, and closing allowed).
class JobAborted : public std::runtime_error {
public:
    explicit JobAborted(const std::string &why) : std::runtime_error(why) {}
};

// Leaves the job after a stop request (HostJobs::requestStop or StopCheck)
// that came while the zip component ran: what() is one line naming what was
// stopped and why, for example "zipping the save file into X.4ql stopped by
// SIGINT". The half-made archive and the temporary files are gone by then.
class JobStopped : public std::runtime_error {
public:
    explicit JobStopped(const std::string &what) : std::runtime_error(what) {}
};

class HostJobs {
public:
    HostJobs(TNMFTP &ftp, TZipBuilder &zip, TArchiveInfo &info, JobUi &ui);

    // Sets the FTP client's events to the handlers below.
    void wireEvents();

    // The jobs run over `ssh` from now on (nullptr: over FTP again); its
    // events go to the same handlers.
    void useSsh(SshHostLink *ssh);
    bool overSsh() const { return ssh_ != nullptr; }
    // Over SSH: signs on and runs the job, as the FTP client's Connect does
    // with OnConnect; the save file on the host is deleted however it ends.
    void runOverSsh();

    // The job to run once signed on.
    enum class Mode { Save, Restore };
    Mode mode = Mode::Save;
    SaveInputs saveInputs;
    RestoreInputs restoreInputs;
    std::string runFolder;     // per-run temporary folder
    std::string userProfile;   // for the activity list
    // Sent right after sign-on, its failure tolerated: hosts start in name
    // format 0 and refuse every /qsys.lib path until switched, the job log's
    // too (which a failing sign-on step needs first).
    bool sendNameFormat = true;
    // The save file moves between the transfer and the zip without a copy
    // on disk, where the host and the archive allow it.
    bool streamTransfers = true;

    // ---- stopping ----
    // Asks the running job to stop, from any front end (a Cancel button, a
    // signal noted by the caller): the host link's waits end with
    // EAbortError, a running zip or unzip is cancelled and ends the job with
    // JobStopped. Call it from the thread that runs the job (the zip
    // component's callbacks process the event loop, so a button can).
    void requestStop(const std::string &why);
    // Asked while the job runs; a non-empty answer (why) stops it as
    // requestStop does. The CLI hands in its signal flag here.
    std::function<std::string()> StopCheck;
    // Why the job must stop; empty while it may go on.
    std::string stopReason() const;
    // Forgets a stop request and the activity, before the next run.
    void clearStop();
    // What the job is doing now, as a stop names it: "signing on to H",
    // "downloading the save file from H", "zipping the save file into F"...
    std::string activity() const;

    // ---- the state that lives as long as the program ----
    int JobStage = jsNone;
    bool quiet = false;
    bool tolerateFailure = false;
    bool commandSucceeded = false;

    // ---- what the job has seen (for callers that must judge the result) ----
    int failuresReported = 0;
    bool saveCommandFailed = false;
    bool transferFailed = false; // download or upload of the save file
    bool zipFailed = false;
    bool restoreFailed = false;
    bool commandFailed = false;     // the command after the restore
    std::string downloadProblem;    // why the downloaded save file was refused
    std::vector<std::string> warnings;
    FailureReport lastFailure;
    std::vector<std::string> failureMessages;
    int lastFailureStage = jsNone;    // the stage of the failure being reported
    std::string lastFailureReply;     // the first line of the host's reply to it

    // ---- command runners ----
    void RunHostCommand(const std::string &format, const std::vector<std::string> &args = {});
    bool TryHostCommand(const std::string &format, const std::vector<std::string> &args = {});

    // ---- ftp event handlers ----
    void ftpConnect();
    void ftpSuccess();
    void ftpFailure(bool &Handled);
    void ftpAuthenticationFailed(bool &Handled);
    void ftpConnectionFailed();
    void ftpError();
    void ftpHostResolved();
    void ftpPacketSent(TPowersock *sender);
    void ftpPacketRecvd(TPowersock *sender);

    // ---- the jobs ----
    void saveJob();
    void restoreJob();

    // ---- job log ----
    void FetchJobLog();
    std::string jobLogPath() const;

    // The message of a failure at `stage`; empty for the stages without one.
    std::string stageMessage(int stage) const;

private:
    // The job once signed on (ftpConnect without its stop handling).
    void runSignedOn();
    void reportFailure(FailureReport report);
    std::vector<std::string> replyLines() const;
    void fetchJobLogAtEnd();
    void sendCommand(const std::string &format, const std::vector<std::string> &args);
    bool zipAdd(const std::vector<std::string> &files);
    bool zipExtract(const std::string &member);
    void removeFile(const std::string &path);

    bool saveStreamed(const std::string &saveFile);
    enum class Streamed { No, Yes, Failed };
    Streamed restoreStreamed(const std::string &member);
    void clearAndSay();
    void endRestore(const std::string &local);
    bool streaming_ = false; // the save file streams: zip progress waits
    struct HeldProgress {
        int type;
        long size;
        std::string file;
    };
    std::vector<HeldProgress> heldProgress_;
    struct StreamingScope;

    // Over SSH: the save file goes; a warning when it cannot.
    void removeHostSaveFile();

    TNMFTP &ftp_;
    FtpHostLink ftpLink_{ftp_};
    HostLink *link_ = &ftpLink_;
    SshHostLink *ssh_ = nullptr;
    TZipBuilder &zip_;
    TArchiveInfo &info_;
    JobUi &ui_;
    std::string restoreCommand_; // the target command, for the stage 9 text
    bool inFailure_ = false;     // the failure handling fetches the log once
    bool fetchingLog_ = false;   // failures now only spoil the job log
    std::string logProblem_;     // the first failure of the last fetch
    std::string pendingRcmd_;    // the RCMD being sent, for its job log entry
    bool downloadFailed_ = false;
    bool listWhole_ = false;     // the command being sent is listed as sent
    std::string stopRequest_;
    std::string activity_;
    // Throws JobStopped when a stop was asked for; `cleanUp` runs first.
    void stopIfRequested(const std::function<void()> &cleanUp = {});
};

// The non-empty lines of a host reply or of what a command printed.
std::vector<std::string> splitReply(const std::string &text);

} // namespace jobs
