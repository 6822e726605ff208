// A host that stops answering in the middle of a job: while a reply is
// overdue, Cancel is offered and, after a confirmation, stops the job as a
// failure of its stage. Jobs whose host answers keep Cancel locked. A zip or
// unzip that takes long offers Cancel the same way; it stops the job and
// leaves no archive, save file or record behind.

#include "app/WizardJobs.h"
#include "app/fromMain.h"
#include "platform/Dialogs.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

namespace app
{

void TfrmMain::ftpReplyOverdue(bool overdue)
{
    replyOverdue_ = overdue;
    if (overdue)
        btnCancel->setEnabled(true);
}

bool TfrmMain::stopOverdueJob()
{
    if (!jobRunning_ || !replyOverdue_)
        return false;
    const std::string host = edtServerName->currentText().toStdString();
    const int answer = platform::dialogs().messageBox(
        "The host " + host + " has not answered for more than " + DurationText(ReplyOverdueMs) +
            ".\n\nStop the job? It ends as a failure of the step it is in.",
        platform::messageIdCaption("Qln0013"), platform::Buttons::YesNo, platform::Icon::Question);
    // The reply may have come while the question was open; the operator's
    // answer still holds.
    const std::string why = "Stopped by the operator: the host " + host + " did not answer.";
    if (answer == platform::mrYes && jobParts().jobs.overSsh())
        jobParts().ssh.Session.Abort(why);
    else if (answer == platform::mrYes)
        jobParts().ftp.Stop(why);
    return true;
}

void TfrmMain::zipBatchStarts()
{
    if (!jobRunning_)
        return;
    zipping_ = true;
    zipOverdue_ = false;
    zipPercent_ = -1;
    if (!zipOverdueTimer_) {
        zipOverdueTimer_ = new QTimer(this);
        zipOverdueTimer_->setSingleShot(true);
        connect(zipOverdueTimer_, &QTimer::timeout, this,
                [this] { platform::guarded([this] { zipOverdueTimeout(); }); });
    }
    zipOverdueTimer_->start(ZipOverdueMs);
}

void TfrmMain::zipBatchEnds()
{
    if (zipOverdueTimer_)
        zipOverdueTimer_->stop();
    const bool wasOverdue = zipOverdue_;
    zipping_ = false;
    zipOverdue_ = false;
    zipPercent_ = -1;
    // Unzipping runs without the timer, which would lock Cancel again.
    if (wasOverdue && jobRunning_ && !replyOverdue_)
        btnCancel->setEnabled(false);
}

void TfrmMain::zipOverdueTimeout()
{
    if (!zipping_ || !jobRunning_)
        return;
    zipOverdue_ = true;
    btnCancel->setEnabled(true);
}

bool TfrmMain::stopLongZip()
{
    if (!jobRunning_ || !zipOverdue_)
        return false;
    const bool zip = JobStage == jsZip || streamZipping_;
    const int answer = platform::dialogs().messageBox(
        std::string(zip ? "Zipping" : "Unzipping") + " the save file has taken more than " +
            DurationText(ZipOverdueMs) + ".\n\nStop the job? " +
            (zip ? "No archive is written." : "Nothing is uploaded or restored."),
        platform::messageIdCaption("Qln0013"), platform::Buttons::YesNo, platform::Icon::Question,
        platform::DefaultButton::Second);
    // The zip component takes the request at its next progress report.
    if (answer == platform::mrYes)
        jobParts().jobs.requestStop("Stopped by the operator");
    return true;
}

std::string TfrmMain::stoppedJobMessage(const std::string &stageMessage, const std::string &reason)
{
    return stageMessage.empty() ? reason : stageMessage + "\n\n" + reason;
}

} // namespace app
