#pragma once
// The jobs over SSH, for hosts whose FTP server is off (IBM's OpenSSH for i).
// Every command runs as `system "CL"` on an exec channel of its own, which
// the host runs as a job of its own: QTEMP does not carry from one command to
// the next, so the save file lives in a real library (QGPL unless the user
// chose another) under a name unique to this job, and is deleted at the end,
// also when the job fails, or is stopped. It is made AUT(*EXCLUDE): in a
// real library the public would otherwise read or rewrite it. It moves by
// SFTP through its /QSYS.LIB path.
// What `system` printed for each command is the job log.

#include "jobs/HostLink.h"
#include "jobs/JobLogReader.h"
#include "net/SshSession.h"

#include <functional>
#include <string>
#include <vector>

namespace jobs
{

inline constexpr const char *kDefaultSshLibrary = "QGPL";

class SshHostLink : public HostLink
{
public:
    // Host, port, user, password, SSH folder and the host key question are
    // set here by the front end.
    TSshSession Session;
    // The library that holds the save file while the job runs.
    std::string Library = kDefaultSshLibrary;

    // Wired by the jobs: a failing operation (the handler may take it) and
    // a successful one.
    std::function<void(bool &Handled)> OnFailure;
    std::function<void()> OnSuccess;
    std::function<void(int64_t Done, int64_t Total)> OnProgress;

    // Signs on; the save file gets a new name.
    void connect();
    // Deletes the save file when this job made it, signing on once more if
    // the connection is gone. Empty when done (or nothing to do), else why
    // it could not be deleted.
    std::string removeSaveFile();
    bool saveFileCreated() const { return created_; }

    // The commands of this job with what each printed, as the job log.
    bool writeJobLog(const std::string &path) const;
    // The escape message that ended the last failing command: its last
    // message line ("CPF3781: Library NOPE not found.").
    JobLogMessage lastEscape() const { return escape_; }

    void command(const std::string &cl) override;
    void setBinary(bool) override {}
    void getSaveFile(const std::string &local) override;
    void putSaveFile(const std::string &local) override;
    void getSaveFile(const TPowersock::TDataSink &sink, const std::string &what) override;
    void putSaveFile(const TPowersock::TDataSource &source, int64_t size, const std::string &what) override;
    int64_t saveFileSize() override;
    void disconnect() override;
    std::string lastReply() const override { return lastReply_; }
    std::string firstReply() const override { return lastReply_; }
    std::string failureText() const override { return failureText_; }
    std::string saveFile() const override;
    std::string protection() const override;

    // An OS/400 library name: 1 to 10 of A-Z 0-9 $ # @ _ ., not starting
    // with a digit, '_' or '.'.
    static bool isLibraryName(const std::string &name);
    // `cl` as the host's shell runs it: `system`, messages asked in UTF-8.
    static std::string systemCommand(const std::string &cl);
    // A fresh save file name: QLN and seven letters and digits.
    static std::string uniqueName();
    // "CPF3781: text" lines: the id and text of the last one.
    static JobLogMessage lastMessage(const std::string &output);

private:
    std::string remotePath() const;
    void finish(const TSshResult &r, const std::string &what, const std::string &nothingSaid);
    void transferred(const TSftpResult &r, const std::string &what);

    std::string name_;
    bool created_ = false;
    std::string lastReply_;
    std::string failureText_;
    JobLogMessage escape_;
    std::vector<std::string> transcript_;
};

} // namespace jobs
