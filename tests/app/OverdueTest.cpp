// A host that stops answering during a job: Cancel is offered while a reply
// is overdue and, confirmed, stops the job through the FTP client.
#include "WizardFixture.h"

#include "app/WizardJobs.h"

#include <QProgressBar>
#include <QTimer>

TEST_F(WizardTest, OverdueReplyOffersCancelThatStopsTheJob)
{
    TestForm &f = create({"/zip"});
    f.jobRunning_ = true;
    f.TimerBar->start();
    f.TimerBarTimer();
    f.TimerBarTimer();
    ASSERT_FALSE(f.btnCancel->isEnabled()); // a normal job keeps it locked
    // A press that reaches the handler anyway is ignored without a word.
    f.btnCancelClick();
    EXPECT_TRUE(dialogs.boxes.empty());

    f.ftpReplyOverdue(true);
    f.TimerBarTimer();
    EXPECT_TRUE(f.btnCancel->isEnabled());
    EXPECT_FALSE(f.btnBack->isEnabled());

    dialogs.boxAnswers = {platform::mrNo, platform::mrYes};
    f.btnCancelClick();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0013'");
    EXPECT_FALSE(f.jobParts().ftp.Stopped());
    f.btnCancelClick();
    EXPECT_TRUE(f.jobParts().ftp.Stopped());
    EXPECT_NE(f.jobParts().ftp.StopReason().find("did not answer"), std::string::npos);
    EXPECT_TRUE(f.ended.empty()); // the job ends, not the program

    // The reply came after all: the timer locks Cancel again.
    f.ftpReplyOverdue(false);
    f.TimerBarTimer();
    EXPECT_FALSE(f.btnCancel->isEnabled());
    EXPECT_EQ(app::TfrmMain::stoppedJobMessage("Error while trying to save library 'BIG'.", "Stopped."),
              "Error while trying to save library 'BIG'.\n\nStopped.");
}
