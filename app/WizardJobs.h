#pragma once
// The main window's FTP client, zip component and host jobs, and the job UI
// that shows what the jobs report in the window.

#include "jobs/HostJobs.h"
#include "jobs/SshHostLink.h"
#include "net/NMFtp.h"
#include "platform/Cursor.h"
#include "zip/ZipBuilder.h"

namespace app {

class TfrmMain;

class WizardJobUi : public jobs::JobUi {
public:
    explicit WizardJobUi(TfrmMain &f) : f_(f) {}
    void addLine(const std::string &line) override;
    void jobStarted() override;
    void jobEnded() override;
    void failureBegins() override;
    void setTimerEnabled(bool on) override;
    void transferProgress(int64_t done, int64_t total) override;
    void zipProgress(int type, int64_t size, const std::string &file, int stage) override;
    void streamBegins(bool zipping) override;
    void streamEnds() override;
    int showJobLog(bool errorMode, const std::string &message, const std::string &logPath) override;
    int showFailure(const jobs::FailureReport &report, const std::string &logPath) override;
    bool askToClose() override;
    void showMessage(const std::string &text, const std::string &messageId) override;
    void showPoster() override;
    // Sign-on messages wait for the cause the client names next.
    void connectionMessage(const std::string &text, const std::string &messageId) override;
    // Shows the held sign-on message, with `cause` when it is not empty;
    // false when none was held.
    bool showPendingConnectionMessage(const std::string &cause);

private:
    void resumeJob();
    TfrmMain &f_;
    platform::CursorShape savedCursor_ = platform::CursorShape::Default;
    std::string pendingText_, pendingId_;
};

struct WizardJobParts {
    explicit WizardJobParts(TfrmMain &f);
    TNMFTP ftp;
    jobs::SshHostLink ssh; // for hosts reached through SSH
    TZipBuilder zip;
    WizardJobUi ui;
    jobs::HostJobs jobs;
};

} // namespace app
