// quellon-cli save, restore and info: the wizard's own host jobs, without a
// window. A failure the wizard would show in the job log viewer is printed
// with the job log's last lines and stops the job unless --ignore-errors.

#include "cli/CliCommon.h"
#include "cli/CliEncryption.h"
#include "cli/CliJson.h"
#include "cli/CliTransport.h"
#include "cli/CliUsage.h"

#include "jobs/ArchiveInfo.h"
#include "jobs/HostJobs.h"
#include "jobs/SaveFile.h"
#include "jobs/SshHostLink.h"
#include "net/NMFtp.h"
#include "platform/Dialogs.h"
#include "platform/TempFiles.h"
#include "zip/ZipBuilder.h"

#include <CLI/CLI.hpp>

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

bool isFile(const std::string &p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string trimBlanks(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string oneLine(std::string s)
{
    for (char &c : s)
        if (c == '\n' || c == '\t')
            c = ' ';
    std::string out;
    for (char c : s)
        if (!(c == ' ' && !out.empty() && out.back() == ' '))
            out += c;
    return out;
}

// The per-run temporary folder, removed with everything in it at the end.
struct RunFolder {
    std::string path = platform::makeRunFolder(platform::tempPath(), "_4Q");
    ~RunFolder()
    {
        if (!path.empty())
            platform::removeRunFolder(path, nullptr);
    }
};

class CliJobUi : public jobs::JobUi {
public:
    CliJobUi(bool ignoreErrors, bool progress, bool quiet)
        : ignoreErrors_(ignoreErrors), quiet_(quiet), bar_(progress, !quiet)
    {
    }
    jobs::HostJobs *jobs = nullptr;
    int warnings = 0; // failures that do not spoil the result (CRTLIB)

    // Activity lines go to stdout, as rsync's do; -q and --json drop them.
    void addLine(const std::string &line) override
    {
        if (quiet_)
            return;
        endTransfer();
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    int showJobLog(bool, const std::string &message, const std::string &logPath) override
    {
        jobs::FailureReport report;
        report.message = message;
        report.stage = jobs ? jobs->lastFailureStage : 0;
        return showFailure(report, logPath);
    }

    // The stage's text, the host's reasons under it, then the log's end.
    int showFailure(const jobs::FailureReport &report, const std::string &logPath) override
    {
        endTransfer();
        if (report.stage == jobs::jsCreateLibrary) {
            // The library exists (or cannot be made); the restore says
            // whether it could go on.
            std::string line = oneLine(report.message);
            for (const auto &r : report.reasonLines())
                line += "; " + r;
            // Most often the library is there already: nothing for -q to mail.
            if (!quiet_)
                warning(line);
            ++warnings;
            return platform::mrIgnore;
        }
        error(report.message.empty() ? "the host refused a request" : oneLine(report.message));
        for (const auto &r : report.reasonLines())
            error("  " + r);
        std::ifstream in(logPath);
        std::deque<std::string> tail;
        for (std::string l; std::getline(in, l);) {
            tail.push_back(trimLineEnd(l));
            if (tail.size() > 15)
                tail.pop_front();
        }
        if (!tail.empty()) {
            std::fprintf(stderr, "quellon-cli: last lines of the host job log:\n");
            for (const auto &l : tail)
                std::fprintf(stderr, "  %s\n", l.c_str());
        }
        return ignoreErrors_ ? platform::mrIgnore : platform::mrAbort;
    }
    bool askToClose() override { return true; }
    void warning(const std::string &text) override
    {
        // -q keeps the warnings that ask for action: a save file left on
        // the host. A job log that could not be fetched changes nothing.
        if (quiet_ && text.find("could not be deleted") == std::string::npos)
            return;
        endTransfer();
        std::fprintf(stderr, "quellon-cli: warning: %s\n", oneLine(text).c_str());
    }
    // The same size lines as the wizard's list, then a bar of the bytes.
    void zipProgress(int type, int64_t size, const std::string &, int stage) override
    {
        if (type == ptTotalBytes) {
            if (stage == jobs::jsZip)
                addLine("Total size to be zipped: " + std::to_string(size / 1024) + " kb");
            else if (stage == jobs::jsUnzip)
                addLine("Total size to be unzipped: " + std::to_string(size / 1024) + " kb");
            if (bar_.enabled()) {
                bar_.start(stage == jobs::jsZip ? "zip" : "unzip", size);
                zipDone_ = 0;
            }
        } else if (type == ptBytesDone) {
            zipDone_ += size;
            bar_.update(zipDone_);
        } else if (type == ptBatchEnd) {
            bar_.finish();
        }
    }
    void showMessage(const std::string &text, const std::string &messageId) override
    {
        error(oneLine(text) + " (" + messageId + ")");
        messages.push_back(text);
    }
    // Connection failures end in an exception: the verdict line says both.
    void connectionMessage(const std::string &text, const std::string &) override { connectFailure = text; }
    std::string connectFailure;
    // A bar for the save file only: the job log's few lines need none.
    void transferProgress(int64_t done, int64_t total) override
    {
        if (!bar_.enabled() || !jobs)
            return;
        const bool down = jobs->JobStage == jobs::jsDownloadSaveFile;
        if (!down && jobs->JobStage != jobs::jsUploadSaveFile)
            return;
        if (!barOpen_) {
            bar_.start(down ? "download" : "upload", total);
            barOpen_ = true;
        }
        bar_.update(done);
    }
    // The bar's line ends before any other line is printed.
    void endTransfer()
    {
        bar_.finish();
        barOpen_ = false;
    }
    std::vector<std::string> messages;

private:
    bool ignoreErrors_;
    bool quiet_;
    Progress bar_;
    bool barOpen_ = false;
    int64_t zipDone_ = 0;
};

struct Connection {
    std::string host, proxy, user, passwordEnv, passwordFile;
    int port = 21, proxyPort = 21, timeout = defaultTimeout();
    bool ignoreErrors = false, progress = false, verbose = false, quiet = false, json = false,
         noStream = false;
    TransportOptions transport;
    CLI::Option *portOption = nullptr;
    bool ssh = false;
    std::string sshLibrary = jobs::kDefaultSshLibrary, hostKey;
    // The unknown host key refused, for the advice.
    std::shared_ptr<std::string> refusedKey = std::make_shared<std::string>();

    void add(CLI::App &app)
    {
        app.add_flag("--ssh", ssh,
                     "reach the host through its SSH server (IBM's OpenSSH for i) instead of FTP, for hosts "
                     "whose FTP server is off (the host needs OpenSSH for i running with its sftp subsystem and "
                     "the user allowed to sign on): --port, else ~/.ssh/config's Port, else 22; signs on with "
                     "the keys of your SSH agent and ~/.ssh, then once with the password when one is given");
        app.add_option("--ssh-library", sshLibrary,
                       "with --ssh: the library that holds the save file while the job runs (each SSH command "
                       "is a job of its own, so QTEMP cannot); deleted at the end")
            ->capture_default_str();
        app.add_option("--host-key", hostKey,
                       "with --ssh: trust this host key (SHA256:... as ssh-keygen -l shows it) when "
                       "~/.ssh/known_hosts has none for the host, and add it there");
        app.add_option("--host", host,
                       "host name or address of the IBM i host (its FTP server; its SSH server with --ssh)")
            ->required();
        portOption = app.add_option("--port", port, "port (default 21; 990 with --tls implicit; 22 with --ssh)")
                         ->check(CLI::Range(1, 65535));
        transport.add(app);
        app.add_option("--proxy", proxy, "FTP proxy; the user is sent as USER@HOST");
        app.add_option("--proxy-port", proxyPort, "FTP proxy port")->capture_default_str()->check(CLI::Range(1, 65535));
        app.add_option("--user", user, "OS/400 user profile")->required();
        app.add_option("--password-env", passwordEnv, "read the password from this environment variable");
        app.add_option("--password-file", passwordFile,
                       "read the password from the first line of this file (- for standard input); without "
                       "either option it is asked for at the terminal");
        app.add_option("--timeout", timeout,
                       "milliseconds allowed for the host lookup, the connection, each reply and a stalled "
                       "transfer (0: no limit); host commands may take as long as they need")
            ->capture_default_str();
        app.add_flag("--ignore-errors", ignoreErrors, "go on after a failing host step, as Ignore does");
        app.add_flag("--progress", progress, "show progress on stderr even when it is not a terminal");
        app.add_flag("--no-stream", noStream,
                     "keep a whole copy of the save file on disk between the transfer and the archive "
                     "(by default it moves straight between them)");
        app.add_flag("-v,--verbose", verbose, "show the FTP dialogue on stderr");
        app.add_flag("-q,--quiet", quiet,
                     "print nothing on success (for cron); failures still go to stderr");
        app.add_flag("--json", json,
                     "print the result as one JSON object on stdout instead of the activity lines "
                     "(keys: see man quellon-cli)");
    }

    // Over SSH: the link as the options say; false after an error line.
    bool setUpSsh(jobs::SshHostLink &link) const
    {
        if (!proxy.empty() || transport.passive || !transport.tls.empty() || !transport.fingerprint.empty() ||
            !transport.caFile.empty()) {
            error("--ssh goes without --proxy, --passive and the --tls options: SSH protects and carries all");
            return false;
        }
        if (!jobs::SshHostLink::isLibraryName(jobs::hostUpper(sshLibrary))) {
            error("--ssh-library " + sshLibrary + " is not a library name");
            return false;
        }
        if (!hostKey.empty() && hostKey.rfind("SHA256:", 0) != 0) {
            error("--host-key " + hostKey + " is not a SHA256:... fingerprint (ssh-keygen -l -E sha256)");
            return false;
        }
        // Keys may be all it takes: the password is optional here.
        std::optional<std::string> password = std::string();
        if (!passwordEnv.empty() || !passwordFile.empty())
            password = readPassword(passwordEnv, passwordFile);
        if (!password)
            return false;
        TSshSession &s = link.Session;
        link.Library = jobs::hostUpper(sshLibrary);
        s.Host = host;
        s.Port = portOption->count() > 0 ? port : 0; // 0: ~/.ssh/config's, else 22
        s.UserID = user;
        s.Password = *password;
        s.TimeOutSeconds = timeout > 0 ? std::max(1, (timeout + 999) / 1000) : 0;
        catchStopSignals();
        s.StopCheck = [] { return stopReason(); };
        // Nobody can be asked here: an unknown key is refused unless it is
        // the one given, and named in the advice.
        s.OnUnknownHostKey = [want = hostKey, refused = refusedKey](const std::string &fp, TCertAnswer &a) {
            if (!want.empty() && fp == want) {
                a = TCertAnswer::AcceptAndRemember;
                return;
            }
            *refused = fp;
            a = TCertAnswer::Reject;
        };
        return true;
    }

    std::string sshAdvice() const
    {
        if (refusedKey->empty())
            return {};
        return " (if " + *refusedKey +
               " is the fingerprint your host's administrator gives for its SSH host key, pass --host-key " +
               *refusedKey + ")";
    }

    bool setUp(TNMFTP &ftp) const
    {
        if (!transport.check())
            return false;
        auto password = readPassword(passwordEnv, passwordFile, "Password for " + user + " on " + host + ": ");
        if (!password)
            return false;
        ftp.Host = host;
        transport.apply(ftp, port, portOption->count() > 0);
        signOn(ftp, user, *password, proxy, proxyPort, timeout, verbose);
        return true;
    }
};

// Runs the job inside Connect; false when it ended early (an exception, or
// stopped at a failure).
// `why` gets the cause for the verdict line.
bool runJob(const std::function<void()> &connect, CliJobUi &ui, const std::string &host, std::string &why,
            std::string *raw = nullptr)
{
    try {
        connect();
        ui.endTransfer();
        return true;
    } catch (const jobs::JobStopped &) {
        ui.endTransfer(); // the verdict line says what was stopped
    } catch (const jobs::JobAborted &) {
        ui.endTransfer();
        why = "stopped at a host failure";
    } catch (const std::exception &e) {
        ui.endTransfer();
        const std::string what = oneLine(trimLineEnd(e.what()));
        if (raw)
            *raw = what;
        // The socket layer's words for a name that does not resolve; the
        // sign-on message the wizard shows then would only mislead here.
        if (what == "Null Remote Address")
            why = "host " + host + " not found";
        else if (!ui.connectFailure.empty())
            why = oneLine(ui.connectFailure) + (what == "Connection Failed" ? "" : ": " + what);
        else
            why = what;
    }
    return false;
}

// The zip component's complaints, as lines on stderr.
void attachZipMessages(TZipBuilder &zip, std::vector<std::string> &errors)
{
    zip.Unattended = true;
    zip.OnMessage = [&errors](TZipBuilder *z, int code, const std::string &text) {
        const int id = code ? 0 : z->LastErrorCode;
        if (code == 0 && id == 0)
            return;
        // The component's words for its own cancel: the stop's line says it.
        if (stopSignal())
            return;
        errors.push_back(oneLine(text));
        error("zip: " + oneLine(text));
    };
    // Nobody to ask for a password: an encrypted member is skipped, and the
    // count of extracted files tells.
    zip.OnPasswordError = [](TZipBuilder *, std::string &pw, const std::string &, unsigned &repeat) {
        pw.clear();
        repeat = 0;
    };
}

// INPUT as an absolute path (the zip component extracts from inside its
// target folder); false, after an error line, when there is no such file.
bool resolveInput(std::string &input)
{
    input = QFileInfo(QString::fromStdString(input)).absoluteFilePath().toStdString();
    if (isFile(input))
        return true;
    error("File '" + input + "' does not exist");
    return false;
}

// The archive's record, extracted into `folder` by the zip component, which
// keeps the archive as its current one; false after an error line.
bool readArchiveRecord(TZipBuilder &zip, const std::string &archive, const std::string &folder,
                       jobs::TArchiveInfo &info, bool *checkMatches = nullptr)
{
    zip.SetZipFileName(archive);
    if (zip.ZipFileName().empty()) {
        error("Error in file '" + archive + "' or it is not a valid Quellon file. " +
              jobs::archiveProblem(false, {}, folder));
        return false;
    }
    zip.FSpecArgs = {jobs::kInfoMemberName};
    zip.ExtrBaseDir = folder;
    zip.ExtrOptions = ExtrOpts{ExtrOverWrite};
    try {
        zip.Extract();
    } catch (...) {
        // A missing or broken member shows as an unreadable record below.
    }
    zip.FSpecArgs.clear();
    std::vector<std::string> members;
    for (const ZipDirEntry &e : zip.Entries)
        members.push_back(e.FileName);
    if (const std::string why = jobs::archiveProblem(true, members, folder); !why.empty()) {
        error("Error in file '" + archive + "' or it is not a valid Quellon file. " + why);
        return false;
    }
    if (!jobs::readInfoMember(info, folder, checkMatches)) {
        error(archive + " has no readable " + jobs::kInfoMemberName + "; not a Quellon file");
        return false;
    }
    return true;
}

// OUTPUT must be a file we may write, checked before anyone signs on: not a
// folder, in a folder that exists and takes new files, and not there yet
// unless --replace. False after an error line.
bool checkOutput(const std::string &output, bool replace)
{
    const QFileInfo f(QString::fromStdString(output));
    if (f.isDir()) {
        error(output + " is a folder; give the archive's file name, for example " +
              (output.empty() || output.back() == '/' ? output : output + "/") + "MYLIB.4ql");
        return false;
    }
    if (f.exists() && !replace) {
        error(output + " exists; --replace overwrites it");
        return false;
    }
    const std::string dir = f.absolutePath().toStdString();
    if (!QFileInfo(f.absolutePath()).isDir()) {
        error("cannot write " + output + ": the folder " + dir + " does not exist");
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        error("cannot write " + output + ": " + dir + ": " + std::strerror(errno));
        return false;
    }
    if (f.exists() && !f.isFile()) {
        error(output + " is no regular file; --replace replaces files only");
        return false;
    }
    return true;
}

// Why `archive` cannot be read whole (a member's data damaged, a wrong CRC,
// data cut off), tested by the zip component without writing anything;
// empty when every member reads back intact. An encrypted archive is
// tested with its password. `streamed` names a member left out: the
// streamed upload checks it on its way, and one pass over it is enough.
std::string unreadablePart(const std::string &archive, const std::string &password,
                           const std::string &streamed = {})
{
    TZipBuilder z;
    z.Password = password;
    z.Unattended = true;
    std::vector<std::string> problems;
    int bad = 0;
    z.OnMessage = [&problems](TZipBuilder *zb, int code, const std::string &text) {
        if (code != 0 || zb->LastErrorCode != 0)
            problems.push_back(oneLine(text));
    };
    z.OnCRC32Error = [&bad](TZipBuilder *, const std::string &, unsigned, unsigned, bool &keep) {
        ++bad;
        keep = false;
    };
    z.OnExtractSkipped = [&bad](TZipBuilder *, const std::string &, UnZipSkipTypes, int) { ++bad; };
    z.OnPasswordError = [](TZipBuilder *, std::string &pw, const std::string &, unsigned &repeat) {
        pw.clear();
        repeat = 0;
    };
    z.SetZipFileName(archive);
    if (z.ZipFileName().empty())
        return problems.empty() ? "not a readable zip archive" : problems.front();
    int files = z.GetCount();
    if (!streamed.empty()) {
        const QString skip = QString::fromStdString(streamed);
        for (const ZipDirEntry &e : z.Entries)
            if (QString::fromStdString(e.FileName).compare(skip, Qt::CaseInsensitive) != 0)
                z.FSpecArgs.push_back(e.FileName);
        files = static_cast<int>(z.FSpecArgs.size());
        if (files == 0)
            return {};
    }
    z.ExtrOptions = ExtrOpts{ExtrTest};
    try {
        z.Extract();
    } catch (...) {
        problems.push_back("the zip component failed while testing it");
    }
    if (!problems.empty())
        return problems.front();
    if (bad > 0 || z.ProcessedCount < files)
        return std::to_string(files - z.ProcessedCount) + " of " + std::to_string(files) +
               " member(s) do not read back intact";
    return {};
}

// Characters, not bytes, as a user counts them.
std::size_t characters(const std::string &s)
{
    std::size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// A value for a field of the archive's record must fit whole: the restore
// would otherwise run a cut command, or propose a cut name. False after an
// error line naming the option and its limit.
bool fitsRecord(const std::string &option, const std::string &value, std::size_t maxChars)
{
    const std::size_t chars = characters(value);
    if (chars > maxChars) {
        error(option + " takes at most " + std::to_string(maxChars) + " characters; " + std::to_string(chars) +
              " given");
        return false;
    }
    // The record stores UTF-8 in a fixed field of maxChars bytes.
    if (value.size() > maxChars) {
        error(option + " does not fit the archive: its " + std::to_string(chars) + " characters take " +
              std::to_string(value.size()) + " bytes, at most " + std::to_string(maxChars) + " fit");
        return false;
    }
    return true;
}

int parse(CLI::App &app, int argc, char **argv)
{
    return parseCommand(app, argc, argv, argv[0]);
}

// What a save or a restore runs with: the FTP client as the options say, the
// per-run folder, the record, the zip component and the host job over them.
struct CliJob {
    explicit CliJob(const Connection &connection)
        : c(connection), ui(connection.ignoreErrors, connection.progress, connection.quiet || connection.json),
          job(ftp, zip, info, ui)
    {
        info.reset();
        attachZipMessages(zip, zipErrors);
        ui.jobs = &job;
        job.wireEvents();
        catchStopSignals();
        job.StopCheck = [] { return stopReason(); };
        job.runFolder = folder.path;
        job.userProfile = c.user;
    }
    // kOk, or the exit status after its error line.
    int prepare()
    {
        job.streamTransfers = !c.noStream;
        if (c.ssh) {
            if (!c.setUpSsh(ssh))
                return kUsage;
            job.useSsh(&ssh);
        } else if (!c.setUp(ftp)) {
            return kUsage;
        }
        if (folder.path.empty()) {
            error("cannot make a temporary folder in " + platform::tempPath());
            return kFailed;
        }
        return kOk;
    }
    // The job, inside Connect; false when it ended early, with `why`.
    bool run(std::string &why)
    {
        std::string raw;
        const bool ran = c.ssh ? runJob([this] { job.runOverSsh(); }, ui, c.host, why)
                               : runJob([this] { ftp.Connect(); }, ui, c.host, why, &raw);
        if (ran || stopped())
            return ran;
        // A connection that was never made: where to, and why not.
        if (const std::string cause = c.ssh ? std::string() : connectCause(ftp, raw); !cause.empty())
            why = "cannot connect to " + connectTarget(ftp) + ": " + cause;
        why += c.ssh ? c.sshAdvice() : c.transport.advice();
        return ran;
    }
    // A signal stopped the job: "stopped by SIGINT while zipping ...".
    bool stopped() const { return stopSignal() != 0; }
    std::string stopLine() const { return stopReason() + " while " + job.activity(); }

    const Connection &c;
    TNMFTP ftp;
    jobs::SshHostLink ssh;
    RunFolder folder;
    jobs::TArchiveInfo info;
    TZipBuilder zip;
    std::vector<std::string> zipErrors;
    CliJobUi ui;
    jobs::HostJobs job;
};

// The object and type of an object save travel in the archive's comment
// (the record has no field for them): "Saved object: NAME" and
// "Object type: TYPE" lines.
constexpr const char *kObjectLine = "Saved object: ";
constexpr const char *kTypeLine = "Object type: ";

std::optional<std::string> commentValue(const std::string &comment, const std::string &prefix)
{
    std::size_t at = 0;
    while (at < comment.size()) {
        std::size_t end = comment.find('\n', at);
        if (end == std::string::npos)
            end = comment.size();
        const std::string line = trimLineEnd(comment.substr(at, end - at));
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
        at = end + 1;
    }
    return std::nullopt;
}


// ---------------------------------------------------------------- save

// What --json reports of a save or a restore, whatever its end.
struct JobReport {
    bool json = false;
    std::string command, start = isoNow();
    std::vector<std::pair<std::string, std::optional<std::string>>> facts;
    std::vector<std::string> warnings;
    std::string stopped;
    void fact(const std::string &k, const std::optional<std::string> &v) { facts.emplace_back(k, v); }
    void print(int status) const
    {
        JsonObject o;
        o.text("command", command).flag("ok", status == kOk).number("exitStatus", status);
        for (const auto &[k, v] : facts)
            o.textOrNull(k, v);
        o.text("startTime", start).text("endTime", isoNow());
        o.textOrNull("stopped", stopped.empty() ? std::nullopt : std::optional<std::string>(stopped));
        o.textOrNull("error", status == kOk || lastError().empty() ? std::nullopt
                                                                     : std::optional<std::string>(lastError()));
        o.texts("warnings", warnings);
        std::printf("%s\n", o.str().c_str());
    }
};

std::optional<std::string> orNull(const std::string &s)
{
    return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

int save(int argc, char **argv, JobReport &report);
int restore(int argc, char **argv, JobReport &report);

} // namespace

int runSave(int argc, char **argv)
{
    JobReport report;
    report.command = "save";
    const int rc = save(argc, argv, report);
    if (report.json)
        report.print(exitStatus(rc));
    return rc;
}

int runRestore(int argc, char **argv)
{
    JobReport report;
    report.command = "restore";
    const int rc = restore(argc, argv, report);
    if (report.json)
        report.print(exitStatus(rc));
    return rc;
}

namespace {

int save(int argc, char **argv, JobReport &report)
{
    CLI::App app{"Save a library (or objects of it) on an IBM i host into a zipped save file (.4ql).",
                 "quellon-cli save"};
    Connection c;
    c.add(app);
    std::string output, library, object, type, release = jobs::kCurrentRelease, command, defaultHost,
                                                defaultUser, defaultLibrary = jobs::kSavLib, poster, posterLink,
                                                owner = jobs::defaultOwnerName();
    bool posterStretch = false, replace = false;
    app.add_option("OUTPUT", output, "the archive to write (.4ql)")->required();
    app.add_option("--library", library, "library to save")->required();
    app.add_option("--object", object, "save only this object (a name, a generic name* or *ALL)");
    app.add_option("--type", type, "object type of --object, for example *PGM or *ALL");
    app.add_option("--release", release, "target release, for example V7R3M0")->capture_default_str();
    app.add_option("--command", command, "OS/400 command to run after a restore");
    app.add_option("--default-host", defaultHost, "host proposed on restore");
    app.add_option("--default-user", defaultUser, "user profile proposed on restore");
    app.add_option("--default-library", defaultLibrary, "library proposed on restore")->capture_default_str();
    app.add_option("--poster", poster, "picture shown after the restore");
    app.add_option("--poster-link", posterLink, "address opened when the poster is clicked");
    app.add_flag("--poster-stretch", posterStretch, "stretch the poster");
    app.add_option("--owner", owner, "who made the archive (default: your name)");
    app.add_flag("--replace", replace, "overwrite OUTPUT when it exists");
    ArchivePasswordOptions archivePassword;
    archivePassword.add(app, true);
    app.footer("Examples:\n"
               "  QPW=secret quellon-cli save MYLIB.4ql --host as400 --user JOE --password-env QPW --library MYLIB\n"
               "  quellon-cli save PGMS.4ql --host as400 --user JOE --password-file ~/.as400pw \\\n"
               "      --library MYLIB --object 'PAY*' --type '*PGM' --release V7R3M0\n"
               "  quellon-cli save /srv/backup/MYLIB.4ql --host as400 --user BACKUP \\\n"
               "      --password-file /etc/quellon/backup.pw --library MYLIB --replace   (cron: see man quellon-cli)\n"
               "  quellon-cli save MYLIB.4ql --host as400 --user JOE --password-env QPW --library MYLIB \\\n"
               "      --passive --tls explicit --tls-fingerprint 3A:F1:...:0F:63   (the host's certificate)\n"
               "  quellon-cli save MYLIB.4ql --host as400 --user JOE --password-env QPW \\\n"
               "      --library MYLIB --encrypt   (AES-256; asks twice for the archive's password)\n"
               "\n" +
               std::string(kExitStatusHelp));
    if (int r = parse(app, argc, argv); r >= 0)
        return r;
    if (!passwordOptionsOk(argv[0], c.passwordEnv, c.passwordFile))
        return kUsage;
    if (!object.empty() && type.empty())
        type = "*ALL";
    report.json = c.json;
    report.fact("archive", output);
    report.fact("host", c.host);
    report.fact("library", jobs::hostUpper(library));
    report.fact("object", orNull(jobs::hostUpper(object)));
    report.fact("objectType", orNull(jobs::hostUpper(trimBlanks(type))));
    if (object.empty() && !type.empty()) {
        error("--type needs --object");
        return kUsage;
    }
    if (library.size() > 10 || object.size() > 10) {
        error("OS/400 names have at most 10 characters");
        return kUsage;
    }
    const std::string posterPath =
        poster.empty() ? std::string() : QFileInfo(QString::fromStdString(poster)).absoluteFilePath().toStdString();
    if (!fitsRecord("--command", command, 255) || !fitsRecord("--default-host", defaultHost, 255) ||
        !fitsRecord("--default-user", defaultUser, 10) || !fitsRecord("--default-library", defaultLibrary, 10) ||
        !fitsRecord("--owner", owner, 255) || !fitsRecord("--poster-link", posterLink, 255) ||
        !fitsRecord("--poster (its full path)", posterPath, 255))
        return kUsage;
    if (!checkOutput(output, replace))
        return kFailed;
    if (!poster.empty() && !isFile(poster)) {
        error("poster " + poster + " not found");
        return kFailed;
    }

    CliJob j(c);
    if (int r = j.prepare(); r != kOk)
        return r;
    jobs::TArchiveInfo &info = j.info;
    info.setTargetCommand(command);
    info.setDefaultTargetHost(defaultHost);
    info.setDefaultUserProfile(defaultUser);
    info.setDefaultRestoreLibrary(defaultLibrary);
    info.setPosterFile(posterPath);
    info.setPosterLink(posterLink);
    info.PosterStretch = posterStretch ? 1 : 0;

    // The archive is built under a temporary name beside OUTPUT and takes
    // OUTPUT's name only when every step that makes its content succeeded.
    const std::string outAbs = QFileInfo(QString::fromStdString(output)).absoluteFilePath().toStdString();
    const std::string outDir = outAbs.substr(0, outAbs.find_last_of('/'));
    std::string partial = platform::makeUniqueTempFile(outDir, "." + outAbs.substr(outAbs.find_last_of('/') + 1) + ".");
    if (partial.empty()) {
        error("cannot write in " + outDir + ": " + std::strerror(errno));
        return kFailed;
    }
    ::unlink(partial.c_str());

    j.zip.SetZipFileName(partial);
    if (!archivePassword.prepareSave(j.zip))
        return kFailed;

    jobs::HostJobs &job = j.job;
    job.mode = jobs::HostJobs::Mode::Save;
    jobs::SaveInputs &in = job.saveInputs;
    in.saveType = object.empty() ? 0 : 1;
    in.library = library;
    in.targetRelease = release;
    in.objectName = object;
    in.objectType = type;
    in.hostName = c.host;
    in.archivePath = output;
    in.ownerName = owner;
    in.downloadAddress = jobs::kDownloadAddress;

    std::string why;
    const bool ran = j.run(why);
    report.warnings = job.warnings;
    report.stopped = stopReason();
    const bool contentGood = ran && !j.stopped() && !job.saveCommandFailed && !job.transferFailed &&
                             !job.zipFailed && j.zipErrors.empty() && isFile(partial);
    if (!contentGood) {
        ::unlink(partial.c_str());
        if (j.stopped())
            error("save of " + library + " from " + c.host + " " + j.stopLine() + "; no archive written");
        else if (job.transferFailed)
            error("the save file did not arrive complete" +
                  (job.downloadProblem.empty() ? std::string() : " (" + oneLine(job.downloadProblem) + ")") +
                  "; no archive written");
        else
            error("save of " + library + " from " + c.host + " failed" + (why.empty() ? "" : ": " + why) +
                  "; no archive written");
        return kFailed;
    }
    if (in.saveType == 1)
        j.zip.SetZipComment(std::string(kObjectLine) + jobs::hostUpper(object) + "\n" + kTypeLine +
                            jobs::hostUpper(trimBlanks(type)) + "\n");
    if (::rename(partial.c_str(), outAbs.c_str()) != 0) {
        ::unlink(partial.c_str());
        error("cannot write " + output);
        return kFailed;
    }
    const int failures = job.failuresReported - j.ui.warnings;
    if (failures > 0) {
        error("archive " + output + " written, but " + std::to_string(failures) + " host step(s) failed");
        return kFailed;
    }
    if (!c.quiet && !c.json)
        std::printf("Saved %s from %s into %s\n", library.c_str(), c.host.c_str(), output.c_str());
    return kOk;
}

// ---------------------------------------------------------------- restore

int restore(int argc, char **argv, JobReport &report)
{
    CLI::App app{"Restore a zipped save file (.4ql) or a bare save file (.savf) on an IBM i host.",
                 "quellon-cli restore"};
    Connection c;
    c.add(app);
    std::string input, toLibrary, savedLibrary;
    bool createLibrary = false;
    app.add_option("INPUT", input, "the archive (.4ql) or save file (.savf)")->required();
    app.add_option("--to-library", toLibrary, "library to restore into (default: the archive's proposal)");
    app.add_flag("--create-library", createLibrary, "create the library first");
    app.add_option("--saved-library", savedLibrary, "library held by a bare save file (default: read from it)");
    ArchivePasswordOptions archivePassword;
    archivePassword.add(app, false);
    app.footer("Examples:\n"
               "  QPW=secret quellon-cli restore MYLIB.4ql --host as400 --user QSECOFR --password-env QPW\n"
               "  quellon-cli restore MYLIB.4ql --host testhost --user JOE --password-file ~/.as400pw \\\n"
               "      --to-library MYLIB2 --create-library\n"
               "  quellon-cli restore mylib.savf --host as400 --user JOE --password-env QPW --saved-library MYLIB\n"
               "  quellon-cli restore MYLIB.4ql --host as400 --user JOE --password-env QPW --passive --tls implicit\n"
               "\n" +
               std::string(kExitStatusHelp));
    if (int r = parse(app, argc, argv); r >= 0)
        return r;
    if (!passwordOptionsOk(argv[0], c.passwordEnv, c.passwordFile))
        return kUsage;
    report.json = c.json;
    report.fact("input", input);
    report.fact("host", c.host);
    if (!resolveInput(input))
        return kFailed;

    CliJob j(c);
    if (int r = j.prepare(); r != kOk)
        return r;
    jobs::TArchiveInfo &info = j.info;
    TZipBuilder &zip = j.zip;

    const bool fromSaveFile = endsWith(input, ".savf");
    if (fromSaveFile) {
        if (savedLibrary.empty()) {
            bool tooShort = false;
            if (!jobs::saveFileLibrary(input, savedLibrary, &tooShort))
                return kFailed;
            if (tooShort || savedLibrary.empty()) {
                error(input + " holds no library name (too short for a save file); give --saved-library");
                return kFailed;
            }
        }
        if (toLibrary.empty())
            toLibrary = savedLibrary;
    } else {
        if (!archivePassword.unlock(zip, input, j.folder.path) ||
            !readArchiveRecord(zip, input, j.folder.path, info))
            return kFailed;
        // Found now, before sign-on, not after the host got half of it. The
        // save file's data is checked as it streams to the host, which then
        // never gets its end nor a restore command.
        const std::string streamed = c.noStream ? std::string() : info.saveFileMemberName();
        if (const std::string why = unreadablePart(input, zip.Password, streamed); !why.empty()) {
            error(input + " cannot be read whole: " + why + "; nothing sent to " + c.host);
            return kFailed;
        }
        if (info.FormatVersion > jobs::kArchiveFormatVersion) {
            error(input + " was made by a newer version of Quellon; see " + info.downloadAddress());
            return kFailed;
        }
        if (toLibrary.empty())
            toLibrary = info.defaultRestoreLibrary() == jobs::kSavLib ? info.savedLibrary()
                                                                       : info.defaultRestoreLibrary();
    }

    jobs::HostJobs &job = j.job;
    job.mode = jobs::HostJobs::Mode::Restore;
    jobs::RestoreInputs &in = job.restoreInputs;
    in.chosenFile = input;
    in.restoreToLibrary = toLibrary;
    in.savedLibrary = savedLibrary;
    in.hostName = c.host;
    in.autoCreateLibrary = createLibrary;
    in.fromSaveFile = fromSaveFile;

    report.fact("savedLibrary", orNull(jobs::hostUpper(info.savedLibrary())));
    report.fact("toLibrary", orNull(jobs::hostUpper(toLibrary)));
    std::string why;
    const bool ran = j.run(why);
    report.warnings = job.warnings;
    report.stopped = stopReason();
    if (j.stopped()) {
        error("restore of " + input + " on " + c.host + " " + j.stopLine());
        return kFailed;
    }
    const bool restored = !job.restoreFailed && !job.transferFailed && !job.zipFailed && j.zipErrors.empty();
    if (restored && job.commandFailed) {
        // The library is there; only what the archive asked to run after it
        // failed (the job stops there unless --ignore-errors).
        error("restored " + jobs::hostUpper(info.savedLibrary()) + " into " + jobs::hostUpper(toLibrary) + " on " +
              c.host + ", but the command after the restore failed: " + info.targetCommand());
        return kFailed;
    }
    if (!ran || !restored) {
        error("restore of " + input + " on " + c.host + " failed" + (why.empty() ? "" : ": " + why));
        return kFailed;
    }
    const int failures = job.failuresReported - j.ui.warnings;
    if (failures > 0) {
        error("restored, but " + std::to_string(failures) + " host step(s) failed");
        return kFailed;
    }
    if (!c.quiet && !c.json)
        std::printf("Restored %s into %s on %s\n", jobs::hostUpper(info.savedLibrary()).c_str(),
                    jobs::hostUpper(toLibrary).c_str(), c.host.c_str());
    return kOk;
}

} // namespace

// ---------------------------------------------------------------- info

int runInfo(int argc, char **argv)
{
    CLI::App app{"Show what a zipped save file (.4ql) or a bare save file (.savf) holds.", "quellon-cli info"};
    std::string input;
    bool json = false;
    app.add_option("INPUT", input, "the archive (.4ql) or save file (.savf)")->required();
    app.add_flag("--json", json, "print the fields as one JSON object");
    ArchivePasswordOptions archivePassword;
    archivePassword.add(app, false);
    app.footer("Examples:\n"
               "  quellon-cli info MYLIB.4ql\n"
               "  quellon-cli info MYLIB.4ql --json | jq -r .savedLibrary\n"
               "  quellon-cli info mylib.savf\n"
               "\n" +
               std::string(kExitStatusHelp));
    if (int r = parse(app, argc, argv); r >= 0)
        return r;
    if (!resolveInput(input))
        return kFailed;

    if (endsWith(input, ".savf")) {
        std::string lib;
        bool tooShort = false;
        if (!jobs::saveFileLibrary(input, lib, &tooShort))
            return kFailed;
        if (tooShort) {
            error(input + " is too short for a save file: no library name");
            return kFailed;
        }
        if (json)
            std::printf("%s\n", JsonObject().text("kind", "savf").text("file", input).text("savedLibrary", lib).str().c_str());
        else
            std::printf("File:             %s\nKind:             bare save file\nSaved library:    %s\n",
                        input.c_str(), lib.c_str());
        return kOk;
    }

    RunFolder run;
    TZipBuilder zip;
    std::vector<std::string> zipErrors;
    attachZipMessages(zip, zipErrors);
    jobs::TArchiveInfo info;
    info.reset();
    bool checkMatches = false;
    if (!archivePassword.unlock(zip, input, run.path) ||
        !readArchiveRecord(zip, input, run.path, info, &checkMatches))
        return kFailed;
    if (const std::string why = unreadablePart(input, zip.Password); !why.empty()) {
        error(input + " cannot be read whole: " + why);
        return kFailed;
    }
    const std::string encryption = encryptionSummary(zip.Entries);

    if (json) {
        const bool object = info.SaveType == 1;
        const std::string comment = zip.ZipComment();
        std::optional<std::string> saveTime = isoFromRecordTime(info.saveTime());
        for (const ZipDirEntry &e : zip.Entries)
            if (!saveTime && e.FileName == jobs::kInfoMemberName)
                saveTime = isoFromDosTime(e.DateTime);
        std::string members = "[";
        for (const ZipDirEntry &e : zip.Entries)
            members += (members.size() > 1 ? ", " : "") + JsonObject()
                                                              .text("name", e.FileName)
                                                              .number("size", static_cast<int64_t>(e.UncompressedSize))
                                                              .number("compressedSize",
                                                                      static_cast<int64_t>(e.CompressedSize))
                                                              .str();
        JsonObject o;
        o.text("kind", "4ql")
            .text("file", input)
            .number("formatVersion", info.FormatVersion)
            .text("saveType", info.SaveType == 0 ? "library" : object ? "object" : "unknown")
            .text("savedLibrary", info.savedLibrary())
            .textOrNull("savedObject", object ? commentValue(comment, kObjectLine) : std::nullopt)
            .textOrNull("savedObjectType", object ? commentValue(comment, kTypeLine) : std::nullopt)
            .textOrNull("saveTime", saveTime)
            .text("saveTimeText", info.saveTime())
            .text("savedRelease", info.savedRelease())
            .text("ownerName", info.ownerName())
            .text("downloadAddress", info.downloadAddress())
            .text("targetCommand", info.targetCommand())
            .text("defaultTargetHost", info.defaultTargetHost())
            .text("defaultUserProfile", info.defaultUserProfile())
            .text("defaultRestoreLibrary", info.defaultRestoreLibrary())
            .text("posterFile", info.posterFile())
            .text("posterLink", info.posterLink())
            .flag("posterStretch", info.PosterStretch != 0)
            .text("saveFileMember", info.saveFileMemberName())
            .flag("checkValueMatches", checkMatches)
            .raw("members", members + "]")
            .textOrNull("encryption", encryption.empty() ? std::nullopt : std::optional<std::string>(encryption));
        std::printf("%s\n", o.str().c_str());
        return kOk;
    }
    std::printf("File:                    %s\n", input.c_str());
    std::printf("Format version:          %d\n", info.FormatVersion);
    std::printf("Saved library:           %s\n", info.savedLibrary().c_str());
    std::printf("Save type:               %s\n", info.SaveType == 0   ? "entire library"
                                                 : info.SaveType == 1 ? "single object"
                                                                      : std::to_string(info.SaveType).c_str());
    std::printf("Save time:               %s\n", info.saveTime().c_str());
    std::printf("Saved release:           %s\n", info.savedRelease().c_str());
    std::printf("Saved by:                %s\n", info.ownerName().c_str());
    std::printf("Download address:        %s\n", info.downloadAddress().c_str());
    std::printf("Command after restore:   %s\n", info.targetCommand().c_str());
    std::printf("Default target host:     %s\n", info.defaultTargetHost().c_str());
    std::printf("Default user profile:    %s\n", info.defaultUserProfile().c_str());
    std::printf("Default restore library: %s\n", info.defaultRestoreLibrary().c_str());
    std::printf("Poster:                  %s\n", info.posterFile().c_str());
    std::printf("Poster link:             %s\n", info.posterLink().c_str());
    std::printf("Poster stretched:        %s\n", info.PosterStretch ? "yes" : "no");
    std::printf("Save file member:        %s\n", info.saveFileMemberName().c_str());
    std::printf("Encryption:              %s\n", encryption.empty() ? "none" : encryption.c_str());
    if (info.SaveType == 1) {
        const std::string comment = zip.ZipComment();
        std::printf("Saved object:            %s\n", commentValue(comment, kObjectLine).value_or("").c_str());
        std::printf("Object type:             %s\n", commentValue(comment, kTypeLine).value_or("").c_str());
    }
    std::printf("Members:\n");
    for (const ZipDirEntry &e : zip.Entries)
        std::printf("  %12llu  %s\n", static_cast<unsigned long long>(e.UncompressedSize), e.FileName.c_str());
    return kOk;
}

} // namespace cli
