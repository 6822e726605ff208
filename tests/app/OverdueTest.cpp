// A host that stops answering during a job: Cancel is offered while a reply
// is overdue and, confirmed, stops the job through the FTP client.
#include "WizardFixture.h"

#include "../net/ScriptedFtpServer.h"
#include "app/WizardJobs.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QStackedWidget>
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

namespace
{
// The window with its real FTP client and jobs; only the program's end is
// scripted.
class LiveForm : public app::TfrmMain
{
public:
    std::vector<int> ended;

protected:
    void endProgram(int status) override { ended.push_back(status); }
};
} // namespace

// The whole way through the real FTP client: a host that stops answering a
// host command leaves Cancel available; confirmed, it stops the job with the
// stage's failure text.
TEST_F(WizardTest, SilentHostIsStoppedByCancelAsAFailureOfItsStage)
{
    nettest::ScriptedFtpServer server([](nettest::Session &s) {
        s.reply("220 QTCP at host.example.com.");
        for (;;) {
            const std::string l = s.line();
            if (l.empty())
                return;
            if (l.rfind("USER ", 0) == 0)
                s.reply("331 Enter password.");
            else if (l.rfind("PASS ", 0) == 0)
                s.reply("230 JOE logged on.");
            else if (l.rfind("RCMD crtsavf", 0) == 0)
                return s.silent(); // busy for good
            else
                s.reply("250 Command accepted.");
        }
    });
    auto live = std::make_unique<LiveForm>();
    LiveForm &f = *live;
    f.formCreate({"/zip"});
    f.formActivate();
    f.ReplyOverdueMs = 200;
    f.btnNextClick();
    f.edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(tmp.file("MYLIB.4ql"));
    f.btnNextClick();
    f.btnNextClick();
    f.btnNextClick();
    ASSERT_EQ(f.Wizard->currentWidget(), f.tabConnectInfo);
    f.edtServerName->setEditText("127.0.0.1");
    f.edtUserProfile->setText("JOE");
    f.edtPassword->setText("pw");
    f.Port = server.port();
    f.btnNextClick();

    // The operator presses Cancel once it is offered, and confirms.
    bool offered = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (f.replyOverdue() && f.btnCancel->isEnabled() && !offered) {
            offered = true;
            f.btnCancelClick();
        }
    });
    poll.start(50);
    dialogs.boxAnswers.push_back(platform::mrYes);
    platform::guarded([&] { f.btnFinishClick(); });
    poll.stop();

    EXPECT_TRUE(offered);
    ASSERT_EQ(dialogs.exceptions.size(), 1u);
    EXPECT_EQ(dialogs.exceptions[0], "Error in the CHGJOB command on the iSeries (127.0.0.1)\n\n"
                                     "Stopped by the operator: the host 127.0.0.1 did not answer.");
    EXPECT_TRUE(f.ended.empty());
    EXPECT_FALSE(f.jobParts().ftp.Connected);
    f.removeRunFolder();
}
