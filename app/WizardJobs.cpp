#include "app/WizardJobs.h"

#include "app/fromMain.h"
#include "jobs/formDspJobLog.h"
#include "platform/Dialogs.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <climits>

namespace app {

WizardJobParts::WizardJobParts(TfrmMain &f) : ui(f), jobs(ftp, zip, f.ArchiveInfo, ui) { jobs.wireEvents(); }

WizardJobParts &TfrmMain::jobParts()
{
    if (!jobParts_)
        jobParts_ = std::make_shared<WizardJobParts>(*this);
    return *jobParts_;
}

void WizardJobUi::addLine(const std::string &line)
{
    f_.followJobStage();
    f_.addLine(line);
}

int WizardJobUi::showFailure(const jobs::FailureReport &report, const std::string &logPath)
{
    // Kept for the last page, which shows every failed step with its reasons.
    f_.failureReports_.push_back(report);
    const std::string step = f_.stageTitle(report.stage);
    f_.showJobHeader(step.empty() ? std::string("A step failed") : "Failed: " + step);
    const int result = JobUi::showFailure(report, logPath);
    // Going on: the header follows the job's steps again.
    f_.shownStage_ = jobs::jsNone;
    return result;
}

void WizardJobUi::jobStarted()
{
    // Signed on after all (an empty user or password was only a warning).
    showPendingConnectionMessage(std::string());
    f_.TimerBar->start();
    savedCursor_ = platform::cursor().current();
    platform::cursor().set(platform::CursorShape::Wait);
    f_.bar->show();
}

void WizardJobUi::jobEnded()
{
    platform::cursor().set(savedCursor_);
    f_.TimerBar->stop();
    f_.setJobOutcome(f_.endJob());
    f_.btnNextClick();
}

void WizardJobUi::failureBegins()
{
    platform::cursor().set(savedCursor_);
    // While the job still runs (the job log is fetched, the viewer is open)
    // the window stays locked; Abort frees Cancel for its close question.
    if (!f_.jobRunning_) {
        f_.btnCancel->setEnabled(true);
        f_.btnBack->setEnabled(true);
    }
    f_.bar->setEnabled(false);
    f_.TimerBar->stop();
}

void WizardJobUi::setTimerEnabled(bool on)
{
    if (on)
        f_.TimerBar->start();
    else
        f_.TimerBar->stop();
}

void WizardJobUi::transferProgress(int64_t done, int64_t total)
{
    f_.followJobStage();
    if (total <= 0) {
        // Size unknown (the server did not announce it): the bar still moves
        // with the data, one step per 64 KiB.
        if (f_.bar->maximum() != 10)
            f_.bar->setMaximum(10);
        f_.bar->setValue(static_cast<int>((done / 65536) % 10) + 1);
        return;
    }
    // The bar counts in int; big save files are shown in proportion.
    int64_t max = total, pos = done;
    if (total > INT_MAX) {
        max = 10000;
        pos = done * 10000 / total;
    }
    f_.bar->setMaximum(static_cast<int>(max));
    f_.bar->setValue(static_cast<int>(std::clamp<int64_t>(pos, f_.bar->minimum(), max)));
}

void WizardJobUi::zipProgress(int type, int64_t size, const std::string &file, int stage)
{
    f_.JobStage = stage;
    f_.followJobStage();
    f_.zipProgress(type, size, file);
}

// A streamed transfer zips or unzips all along: after the zip's time it may
// be stopped like a long zip.
void WizardJobUi::streamBegins(bool zipping)
{
    f_.streamZipping_ = zipping;
    f_.zipBatchStarts();
}

void WizardJobUi::streamEnds()
{
    f_.streamZipping_ = false;
    f_.zipBatchEnds();
}

int WizardJobUi::showJobLog(bool errorMode, const std::string &message, const std::string &logPath)
{
    const int result = jobs::ShowJobLog(logPath, errorMode, message);
    // Abort asks to close, which needs Cancel free; anything else goes on
    // with the job, locked again.
    if (result != platform::mrAbort)
        resumeJob();
    return result;
}

bool WizardJobUi::askToClose()
{
    // The close rules ask only while Cancel is enabled.
    f_.btnCancel->setEnabled(true);
    const bool closing = f_.close();
    if (!closing)
        resumeJob();
    return closing;
}

void WizardJobUi::resumeJob()
{
    if (!f_.jobRunning_)
        return;
    f_.lockForJob();
    platform::cursor().set(platform::CursorShape::Wait);
    f_.TimerBar->start();
}

void WizardJobUi::connectionMessage(const std::string &text, const std::string &messageId)
{
    // One box for a sign-on that fails: the first message, with the cause.
    if (pendingText_.empty()) {
        pendingText_ = text;
        pendingId_ = messageId;
    }
}

bool WizardJobUi::showPendingConnectionMessage(const std::string &cause)
{
    if (pendingText_.empty())
        return false;
    const std::string text = cause.empty() ? pendingText_ : pendingText_ + "\n\n" + cause;
    const std::string id = pendingId_;
    pendingText_.clear();
    pendingId_.clear();
    platform::dialogs().messageBox(text, platform::messageIdCaption(id), platform::Buttons::Ok,
                                   platform::Icon::Error);
    return true;
}

void WizardJobUi::showMessage(const std::string &text, const std::string &messageId)
{
    platform::dialogs().messageBox(text, platform::messageIdCaption(messageId), platform::Buttons::Ok,
                                   messageId == "Qln0002" ? platform::Icon::Error : platform::Icon::None);
}

void WizardJobUi::showPoster() { f_.showPoster(); }

} // namespace app
