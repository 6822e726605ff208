// A host that stops answering in the middle of a job: while a reply is
// overdue, Cancel is offered and, after a confirmation, stops the job as a
// failure of its stage. Jobs whose host answers keep Cancel locked.

#include "app/WizardJobs.h"
#include "app/fromMain.h"
#include "platform/Dialogs.h"

#include <QComboBox>
#include <QPushButton>

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

std::string TfrmMain::stoppedJobMessage(const std::string &stageMessage, const std::string &reason)
{
    return stageMessage.empty() ? reason : stageMessage + "\n\n" + reason;
}

} // namespace app
