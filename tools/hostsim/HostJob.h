#pragma once
// One host job (an FTP server session, or one command of an SSH session):
// the CL commands it runs, its private QTEMP library, its spooled files and
// its job log.

#include "ClParser.h"
#include "HostStore.h"
#include "JobLog.h"

#include <map>
#include <optional>
#include <memory>
#include <regex.h>
#include <string>
#include <vector>

namespace hostsim {

// A POSIX extended regular expression, matched without regard to case.
class FailPattern {
public:
    // Nothing when `pattern` does not compile.
    static std::shared_ptr<FailPattern> compile(const std::string &pattern);
    ~FailPattern();
    bool matches(const std::string &text) const;
    // The escape message the command fails with (--fail-message).
    std::string messageId = "CPF9899";
    std::string messageText = "Error occurred during processing of command.";

private:
    FailPattern() = default;
    regex_t re_{};
};

struct HostConfig {
    std::string system = "HOSTSIM";
    std::string release = "V7R3M0";
    // RCMD texts matching one of these fail on purpose (--fail).
    std::vector<std::shared_ptr<FailPattern>> failPatterns;
};

// Release names a host may run, oldest first.
const std::vector<std::string> &knownReleases();

struct CommandResult {
    bool ok = true;
    std::string escapeText; // first-level text of the escape message on failure
};

struct SpooledFile {
    std::string name;
    int number = 0;
    std::vector<std::string> lines;
};

class HostJob {
public:
    // `namePrefix`: the job name's first five letters (QTFTP for the FTP
    // server's jobs, QZSHS for jobs of SSH sessions).
    HostJob(HostStore &store, const HostConfig &config, int jobNumber, const std::string &namePrefix = "QTFTP");
    ~HostJob();
    HostJob(const HostJob &) = delete;
    HostJob &operator=(const HostJob &) = delete;

    void signedOn(const std::string &user) { user_ = user; }
    const std::string &user() const { return user_; }
    const JobIdentity &identity() const { return identity_; }
    const JobLog &log() const { return log_; }

    // Runs one command as RCMD does; the request and every message go to
    // the job log.
    CommandResult run(const std::string &text);

    // The folder of a library: QTEMP is this job's own, the others are the
    // store's. Nothing when the name is not valid or the library missing.
    std::optional<fs::path> libraryDir(const std::string &name) const;

private:
    struct Failure {
        std::string text;
    };
    using Params = std::map<std::string, std::string>;

    void message(const std::string &id, MsgType type, int severity, const std::string &text,
                 const std::string &cause = {}, const std::string &recovery = {});
    [[noreturn]] void escape(const std::string &id, const std::string &text, const std::string &cause = {},
                             const std::string &recovery = {});
    [[noreturn]] void commandError(const std::string &command, const std::string &diagId,
                                   const std::string &diagText);

    void dispatch(const std::string &name, const Params &params);
    std::string resolveLibrary(const std::string &spec, bool forCreate) const;
    QualifiedName qualifiedParam(const std::string &command, const Params &p, const std::string &key);
    fs::path requireLibrary(const std::string &name);
    fs::path findSaveFile(const std::string &command, const Params &p, QualifiedName *name = nullptr);

    void chgjob(const Params &p);
    void crtsavf(const Params &p);
    void crtpf(const Params &p);
    void ovrprtf(const Params &p);
    void clrsavf(const Params &p);
    void clrpfm(const Params &p);
    void save(const std::string &command, const Params &p);
    void restore(const std::string &command, const Params &p);
    void crtlib(const Params &p);
    void dspjoblog(const Params &p);
    void cpysplf(const Params &p);
    void dltsplf(const Params &p);
    void call(const Params &p);
    void dltf(const Params &p);

    SpooledFile *findSpool(const std::string &file, const std::string &number);
    std::string tgtrls(const std::string &command, const std::string &value);

    HostStore &store_;
    const HostConfig &config_;
    JobIdentity identity_;
    std::string user_;
    fs::path qtemp_;
    JobLog log_;
    bool secondLevel_ = false;
    std::vector<SpooledFile> spooled_;
    int nextSpoolNumber_ = 1;
    std::map<std::string, std::string> printOverrides_;
};

} // namespace hostsim
