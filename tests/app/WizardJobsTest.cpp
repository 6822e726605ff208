// The wizard's own widgets driven through whole jobs against quellon-hostsim
// and real archives: what the operator sees when a step fails, that the
// window stays locked while a job runs, and that a file which is no Quellon
// archive never gets past the file page.

#include "app/WizardJobs.h"
#include "app/fromMain.h"
#include "hostsim/HostSimProcess.h"
#include "hostsim/SshdProcess.h"
#include "jobs/formDspJobLog.h"
#include "platform/ProgramDir.h"
#include "platform/QtDialogs.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ScriptedShell.h"
#include "support/TestFiles.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class RealForm : public app::TfrmMain {
public:
    using TfrmMain::jobRunning_;
    std::vector<int> ended;
    void runShowPoster() { showPoster(); }

protected:
    void endProgram(int status) override { ended.push_back(status); }
};

void mouseClick(QWidget *w)
{
    const QPointF c = QRectF(w->rect()).center();
    QMouseEvent press(QEvent::MouseButtonPress, c, w->mapToGlobal(c), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, c, w->mapToGlobal(c), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
}

void pressKey(QWidget *w, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
}

// How often `what` occurs in `text`.
int countOf(const std::string &text, const std::string &what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class WizardJobs : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("TMPDIR", QByteArray::fromStdString(tmp.path()));
        qputenv("QPW", "secret");
        platform::Registry::useFile(tmp.file("settings.ini"));
        platform::setProgramDir(QUELLON_BIN_DIR);
    }
    void TearDown() override
    {
        dropForm();
        platform::Registry::useFile("");
        platform::setProgramDir("");
        qunsetenv("TMPDIR");
    }
    void dropForm()
    {
        if (form && !form->runFolder().empty())
            form->removeRunFolder();
        form.reset();
    }
    RealForm &newForm(std::vector<std::string> args)
    {
        dropForm();
        form = std::make_unique<RealForm>();
        EXPECT_TRUE(form->formCreate(args));
        form->formActivate();
        return *form;
    }
    std::unique_ptr<HostSimProcess> host(const std::string &root, std::vector<std::string> extra = {})
    {
        fs::create_directories(root);
        auto h = std::make_unique<HostSimProcess>(root, extra);
        EXPECT_TRUE(h->running()) << h->firstLine();
        return h;
    }
    void answerViewer(int result)
    {
        dialogs.modalScripts.push_back([result](QDialog &) { return result; });
    }
    void connectPage(int port, const std::string &password = "secret")
    {
        form->edtServerName->setEditText("localhost");
        QFocusEvent left(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(form->edtServerName->lineEdit(), &left);
        form->Port = port;
        form->edtUserProfile->setText("JOE");
        form->edtPassword->setText(QString::fromStdString(password));
    }
    // The save pages up to the summary.
    void toSaveSummary(int port, const std::string &archive, const std::string &library)
    {
        newForm({"/zip"});
        form->btnNextClick();
        form->edtLibraryNameToSave->setText(QString::fromStdString(library));
        dialogs.fileAnswers.push_back(archive);
        form->btnNextClick();
        form->btnNextClick();
        form->btnNextClick();
        connectPage(port);
        form->btnNextClick();
        ASSERT_EQ(form->Wizard->currentWidget(), form->tabProcess);
    }
    void toRestoreSummary(int port, const std::string &file, bool createLibrary = false)
    {
        newForm({file});
        form->btnNextClick();
        form->btnNextClick();
        ASSERT_EQ(form->Wizard->currentWidget(), form->tabRestoreHostInfo);
        form->boxAutoCreateLibrary->setChecked(createLibrary);
        form->btnNextClick();
        connectPage(port);
        form->btnNextClick();
        ASSERT_EQ(form->Wizard->currentWidget(), form->tabProcess);
    }
    // The failure text as the operator reads it.
    std::string errorsShown() const
    {
        QTextDocument doc;
        doc.setHtml(form->lblJobErrors->text());
        return doc.toPlainText().toStdString();
    }
    // Hidden half-made archives left in the folder.
    int partialsIn(const std::string &dir) const
    {
        return static_cast<int>(QDir(QString::fromStdString(dir)).entryList({".*.4ql.*"}, QDir::Files | QDir::Hidden).size());
    }

    TempDir tmp;
    platform::ScriptedDialogs dialogs;
    platform::ScriptedShell shell;
    std::unique_ptr<RealForm> form;
};

} // namespace

// ---------------------------------------------------------------- the last page

TEST_F(WizardJobs, LastPageSaysWhichStepFailedAndNoCutSaveFileIsPacked)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB"});

    // A library the host does not have: SAVLIB fails, Ignore goes on.
    const std::string nosuch = tmp.file("nosuch.4ql");
    answerViewer(platform::mrIgnore);
    toSaveSummary(as1->port(), nosuch, "NOSUCH");
    form->btnFinishClick();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_EQ(form->lblDoneTitle->text().toStdString(), "The job ended with errors");
    EXPECT_EQ(form->lblDoneText->text().indexOf("successfully"), -1);
    EXPECT_FALSE(form->lblJobErrors->isHidden());
    EXPECT_TRUE(form->pnlPoster->isHidden());
    EXPECT_NE(errorsShown().find("Error while trying to save library 'NOSUCH'"), std::string::npos)
        << errorsShown();
    EXPECT_NE(errorsShown().find("No archive was written: the save command failed"), std::string::npos);
    EXPECT_FALSE(fileExists(nosuch));
    EXPECT_EQ(partialsIn(tmp.path()), 0);
    // The activity list tells the job as it ran.
    EXPECT_EQ(form->list->item(form->list->count() - 1)->text().toStdString(), "Deleting temp files");

    // The same wizard steps with a library that exists end successfully.
    const std::string good = tmp.file("mylib.4ql");
    toSaveSummary(as1->port(), good, "MYLIB");
    form->btnFinishClick();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_EQ(form->lblDoneTitle->text().toStdString(), "Thanks for using Quellon");
    EXPECT_EQ(form->lblDoneText->text().toStdString(),
              "The Wizard has now ended the zip operation successfully. Press Close to leave the wizard");
    EXPECT_TRUE(form->lblJobErrors->isHidden());
    EXPECT_TRUE(fileExists(good));
    EXPECT_EQ(partialsIn(tmp.path()), 0);

    // A download the host breaks off: the cut save file is not packed.
    fs::create_directories(tmp.file("as3/MYLIB"));
    writeFile(tmp.file("as3/MYLIB/BIG.FILE"), randomBytes(1 << 20, 9));
    auto as3 = host(tmp.file("as3"), {"--abort-transfer-after", "200000"});
    const std::string cut = tmp.file("cut.4ql");
    answerViewer(platform::mrIgnore);
    toSaveSummary(as3->port(), cut, "MYLIB");
    form->btnFinishClick();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_EQ(form->lblDoneTitle->text().toStdString(), "The job ended with errors");
    EXPECT_NE(errorsShown().find("Error while trying to copy data from MYLIB to " + cut), std::string::npos)
        << errorsShown();
    EXPECT_NE(errorsShown().find("No archive was written: the save file did not arrive complete."),
              std::string::npos);
    EXPECT_FALSE(fileExists(cut));
    EXPECT_EQ(partialsIn(tmp.path()), 0);

    // A restore whose RSTLIB fails in both forms.
    auto as2 = host(tmp.file("as2"), {"--fail", "^RSTLIB"});
    toRestoreSummary(as2->port(), good);
    answerViewer(platform::mrIgnore);
    form->btnFinishClick();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_EQ(form->lblDoneTitle->text().toStdString(), "The job ended with errors");
    EXPECT_NE(errorsShown().find("Error while trying to restore a library on localhost"), std::string::npos)
        << errorsShown();
    EXPECT_NE(errorsShown().find("The library was not restored on localhost."), std::string::npos);
    EXPECT_TRUE(form->ended.empty());
}

// ---------------------------------------------------------------- locked while running

TEST_F(WizardJobs, BackAndCancelAreLockedFromTheInstantOfOkUntilTheJobEnds)
{
    // A save file big enough that unzipping it takes many event rounds.
    fs::create_directories(tmp.file("as1/MYLIB"));
    writeFile(tmp.file("as1/MYLIB/BIG.FILE"), randomBytes(12 << 20, 7));
    auto as1 = host(tmp.file("as1"));
    const std::string archive = tmp.file("big.4ql");
    toSaveSummary(as1->port(), archive, "MYLIB");
    form->btnFinishClick();
    ASSERT_TRUE(fileExists(archive));

    // The target has the library already: CRTLIB fails and is ignored, and
    // the rest of the job must stay locked too.
    fs::create_directories(tmp.file("as2/MYLIB"));
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log")});
    toRestoreSummary(as2->port(), archive, true);
    RealForm &f = *form;
    f.jobParts().jobs.streamTransfers = false; // the unzip as a stage of its own
    f.show();
    answerViewer(platform::mrIgnore);

    int probes = 0, duringUnzip = 0, afterIgnore = 0, unlocked = 0;
    const int stepAtOk = f.step();
    QTimer probe;
    probe.setInterval(2);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (!f.jobRunning_)
            return;
        ++probes;
        if (f.jobParts().jobs.JobStage == jobs::jsUnzip)
            ++duringUnzip;
        if (dialogs.modalCount > 0)
            ++afterIgnore;
        if (f.btnBack->isEnabled() || f.btnCancel->isEnabled())
            ++unlocked;
        // What an impatient operator does.
        mouseClick(f.btnBack);
        mouseClick(f.btnCancel);
        pressKey(&f, Qt::Key_Escape);
        f.close();
    });
    // The very first event round after OK, before the timer's first tick.
    QTimer::singleShot(0, [&] {
        ++probes;
        if (f.btnBack->isEnabled() || f.btnCancel->isEnabled())
            ++unlocked;
        mouseClick(f.btnBack);
    });
    probe.start();
    mouseClick(f.btnFinish);
    probe.stop();

    EXPECT_GT(probes, 3);
    EXPECT_GT(duringUnzip, 0);
    EXPECT_GT(afterIgnore, 0);
    EXPECT_EQ(unlocked, 0);
    EXPECT_EQ(dialogs.modalCount, 1);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.boxes[0].text; // no close question was asked
    ASSERT_EQ(f.Wizard->currentWidget(), f.tabSaveDone);
    EXPECT_EQ(f.step(), stepAtOk + 1);
    EXPECT_FALSE(f.TimerBar->isActive());
    // The library existed: the restore into it went on and succeeded.
    EXPECT_EQ(f.lblDoneTitle->text().toStdString(), "Thanks for using Quellon");
    EXPECT_EQ(readFile(tmp.file("as2/MYLIB/BIG.FILE")), readFile(tmp.file("as1/MYLIB/BIG.FILE")));
    EXPECT_EQ(countOf(readFile(tmp.file("as2.log")), "RCMD RSTLIB"), 1);
    f.hide();
}

// ---------------------------------------------------------------- sign-on failures

TEST_F(WizardJobs, RefusedSignOnNamesHostPortAndCauseAndOkTriesAgain)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB"});
    const std::string archive = tmp.file("mylib.4ql");
    toSaveSummary(as1->port(), archive, "MYLIB");
    form->edtPassword->setText("wrong");
    form->btnFinishClick();

    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0007'");
    const std::string &text = dialogs.boxes[0].text;
    EXPECT_EQ(text.rfind("Connection to iSeries (AS/400) localhost failed\n\nlocalhost, port " +
                             std::to_string(as1->port()) + ": 530",
                         0),
              0u)
        << text;
    EXPECT_TRUE(dialogs.exceptions.empty());
    // Ready for another try.
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabProcess);
    EXPECT_EQ(form->lblProcess->text().toStdString(), "Properties:");
    EXPECT_FALSE(form->lblFinish->isHidden());
    EXPECT_TRUE(form->btnFinish->isEnabled());
    EXPECT_TRUE(form->btnCancel->isEnabled());
    EXPECT_TRUE(form->btnBack->isEnabled());

    // Nothing listens on a port that was just freed: refused.
    dialogs.boxes.clear();
    auto gone = host(tmp.file("gone"));
    const int freed = gone->port();
    gone->stop();
    form->Port = freed;
    form->btnFinishClick();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_NE(dialogs.boxes[0].text.find("localhost, port " + std::to_string(freed) + ": Connection refused"),
              std::string::npos)
        << dialogs.boxes[0].text;
    EXPECT_TRUE(form->btnFinish->isEnabled());

    dialogs.boxes.clear();
    form->Port = as1->port();
    form->edtPassword->setText("secret");
    form->btnFinishClick();
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(fileExists(archive));
}

// ---------------------------------------------------------------- foreign files

TEST_F(WizardJobs, FileThatIsNoQuellonArchiveIsRefusedOnTheFilePageAndByTheCli)
{
    const std::string dir = tmp.file("files");
    fs::create_directories(dir);
    auto zipUp = [&](const std::string &archive, const std::vector<std::string> &members) {
        std::string cmd = "cd '" + dir + "' && zip -q -j '" + archive + "'";
        for (const auto &m : members)
            cmd += " '" + m + "'";
        ASSERT_EQ(runCommand(cmd), 0) << cmd;
    };
    jobs::TArchiveInfo record;
    record.reset();
    record.setSavedLibrary("MYLIB");
    record.setTempSaveFilePath("/tmp/_4Qx/4QL1.tmp");
    record.setPosterFile("logo.bmp"); // not in the archive
    ASSERT_TRUE(jobs::writeInfoMember(record, dir));
    writeFile(dir + "/4QL1.tmp", randomBytes(4096, 3));
    writeFile(dir + "/readme.txt", "not a save\n");
    zipUp("good.4ql", {"zipInfo.4qi", "4QL1.tmp"});
    zipUp("no-savefile.4ql", {"zipInfo.4qi"});
    zipUp("foreign.4ql", {"readme.txt"});
    writeFile(dir + "/zipInfo.4qi", "");
    zipUp("empty-info.4ql", {"zipInfo.4qi", "4QL1.tmp"});
    writeFile(dir + "/zipInfo.4qi", randomBytes(1884, 11));
    zipUp("random-info.4ql", {"zipInfo.4qi", "4QL1.tmp"});
    writeFile(dir + "/notazip.4ql", randomBytes(5000, 5));

    const struct {
        std::string file, why;
    } refused[] = {
        {"notazip.4ql", "It is not a zip archive."},
        {"foreign.4ql", "It holds no zipInfo.4qi, so it was not made by Quellon."},
        {"empty-info.4ql", "Its zipInfo.4qi is damaged: it holds 0 bytes, not 1884 bytes."},
        {"random-info.4ql", "Its zipInfo.4qi is damaged: "},
        {"no-savefile.4ql", "The save file member 4QL1.tmp that its zipInfo.4qi names is missing."},
    };
    auto as1 = host(tmp.file("as1"), {"--log", tmp.file("as1.log")});
    for (const auto &c : refused) {
        SCOPED_TRACE(c.file);
        const std::string path = dir + "/" + c.file;
        dialogs.boxes.clear();
        RealForm &f = newForm({path});
        f.btnNextClick();
        f.btnNextClick();
        EXPECT_EQ(f.Wizard->currentWidget(), f.tabRestoreInfo);
        EXPECT_EQ(f.step(), 2);
        ASSERT_EQ(dialogs.boxes.size(), 1u) << dialogs.boxes[0].caption << " " << dialogs.boxes[0].text;
        EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0010'");
        EXPECT_EQ(dialogs.boxes[0].icon, platform::Icon::Error);
        const std::string head = "Error in file '" + path + "' or it is not a valid Quellon file.\n\n";
        EXPECT_EQ(dialogs.boxes[0].text.substr(0, head.size() + c.why.size()), head + c.why);

        std::string out;
        EXPECT_EQ(runCommand(std::string(QUELLON_BIN_DIR) + "/quellon-cli info '" + path + "' 2>&1", &out), 1);
        EXPECT_NE(out.find(c.why), std::string::npos) << out;
        EXPECT_EQ(runCommand(std::string(QUELLON_BIN_DIR) + "/quellon-cli restore '" + path +
                                 "' --host 127.0.0.1 --port " + std::to_string(as1->port()) +
                                 " --user JOE --password-env QPW 2>&1",
                             &out),
                  1);
        EXPECT_NE(out.find(c.why), std::string::npos) << out;
    }
    // No host ever heard of them.
    EXPECT_EQ(readFile(tmp.file("as1.log")), "");

    // A sound archive passes; its poster is simply not there, which is no
    // fault of the zip library.
    dialogs.boxes.clear();
    RealForm &f = newForm({dir + "/good.4ql"});
    f.btnNextClick();
    f.btnNextClick();
    EXPECT_EQ(f.Wizard->currentWidget(), f.tabRestoreHostInfo);
    EXPECT_TRUE(dialogs.boxes.empty());
    f.runShowPoster();
    for (const auto &b : dialogs.boxes)
        EXPECT_EQ(b.text.find("Fatal DLL"), std::string::npos) << b.caption << ": " << b.text;
}

// ---------------------------------------------------------------- what the boxes show first

TEST_F(WizardJobs, JobLogViewerOpensAtTheStartOfTheLastLines)
{
    std::string log;
    for (int i = 0; i < 200; ++i)
        log += "CPF9898  Diagnostic 40  line " + std::to_string(i) + std::string(150, ' ') + "QCLCMD  QSYS\n";
    writeFile(tmp.file("joblog.txt"), log);
    int hscroll = -1, vscroll = -1, vmax = -2, logRows = 0, failureRows = 0;
    dialogs.modalScripts.push_back([&](QDialog &d) {
        auto &v = dynamic_cast<jobs::TfrmDspJobLog &>(d);
        v.show();
        QApplication::processEvents();
        hscroll = v.boxJobLog->horizontalScrollBar()->value();
        vscroll = v.boxJobLog->verticalScrollBar()->value();
        vmax = v.boxJobLog->verticalScrollBar()->maximum();
        // The log keeps its columns; the failure wraps, read without scrolling.
        logRows = v.boxJobLog->document()->firstBlock().layout()->lineCount();
        failureRows = v.boxJobLog->document()->lastBlock().layout()->lineCount();
        v.hide();
        return platform::mrIgnore;
    });
    jobs::ShowJobLog(tmp.file("joblog.txt"), true,
                     "Error while trying to save library 'MYLIB'. Some objects may have to be saved with a more "
                     "recent OS/400 version than specified. See previous listed messages for more information.");
    EXPECT_EQ(hscroll, 0);
    EXPECT_GT(vmax, 0);
    EXPECT_EQ(vscroll, vmax);
    EXPECT_EQ(logRows, 1);
    EXPECT_GT(failureRows, 1);
}

TEST_F(WizardJobs, MessageBoxesPressTheirDefaultButtonOnEnter)
{
    platform::QtDialogs real;
    struct Case {
        platform::Buttons buttons;
        platform::DefaultButton def;
        int expected;
    } cases[] = {
        {platform::Buttons::YesNo, platform::DefaultButton::Second, platform::mrNo},
        {platform::Buttons::YesNoCancel, platform::DefaultButton::Second, platform::mrNo},
        {platform::Buttons::YesNo, platform::DefaultButton::First, platform::mrYes},
        {platform::Buttons::OkCancel, platform::DefaultButton::Third, platform::mrCancel},
    };
    int narrow = 0;
    for (const auto &c : cases) {
        QTimer::singleShot(0, [&narrow] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                // The title bar has room for the whole message id.
                if (box->width() < box->fontMetrics().horizontalAdvance(box->windowTitle()) + 100)
                    ++narrow;
                pressKey(box, Qt::Key_Return);
            }
        });
        // Never left waiting for a key that did not come.
        QTimer::singleShot(3000, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        EXPECT_EQ(real.messageBox("Overwrite previous file x?", "MessageId: 'Qln0012'", c.buttons,
                                  platform::Icon::Warning, c.def),
                  c.expected);
    }
    EXPECT_EQ(narrow, 0);
}

// ---------------------------------------------------------------- what the last page says

TEST_F(WizardJobs, LastPageShowsTheReasonsUnderEachFailedStep)
{
    // The host refuses the save: its reply and escape message under the step.
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB"});
    answerViewer(platform::mrIgnore);
    toSaveSummary(as1->port(), tmp.file("nolib.4ql"), "NOLIB");
    form->btnFinishClick();
    EXPECT_NE(errorsShown().find("information.\nHost reply: 550-Error occurred on command SAVLIB\nHost reply: 550 "
                                 "Library NOLIB not found..\nEscape message: CPF3781 Library NOLIB not found."),
              std::string::npos)
        << errorsShown();
    // A download the host calls complete, cut short: the client's finding.
    fs::create_directories(tmp.file("as3/MYLIB"));
    writeFile(tmp.file("as3/MYLIB/BIG.FILE"), randomBytes(1 << 20, 9));
    auto as3 = host(tmp.file("as3"), {"--cut-download-after", "200000"});
    answerViewer(platform::mrIgnore);
    toSaveSummary(as3->port(), tmp.file("cut.4ql"), "MYLIB");
    form->btnFinishClick();
    EXPECT_NE(errorsShown().find("cut.4ql\nThe client found: Transfer incomplete: 200000 of "), std::string::npos)
        << errorsShown();
}

// ---------------------------------------------------------------- while it runs

TEST_F(WizardJobs, HeaderNamesTheRunningStepAndEveryConnectionEndIsListed)
{
    fs::create_directories(tmp.file("as1/MYLIB"));
    writeFile(tmp.file("as1/MYLIB/BIG.FILE"), randomBytes(8 << 20, 5));
    auto as1 = host(tmp.file("as1"));
    toSaveSummary(as1->port(), tmp.file("big.4ql"), "mylib");
    std::set<std::string> titles;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (form->jobRunning_)
            titles.insert(form->lblProcessTitle->text().toStdString());
    });
    probe.start(2);
    form->btnFinishClick();
    probe.stop();
    for (const char *step : {"Connecting to localhost", "Saving library MYLIB on localhost",
                             "Downloading the save file from localhost"})
        EXPECT_EQ(titles.count(step), 1u) << step;
    // Zipping shows how far it is.
    EXPECT_NE(titles.lower_bound("Zipping the save file: "), titles.end());
    EXPECT_EQ(titles.count("Ready to start"), 0u);

    auto lastLine = [this] { return form->list->item(form->list->count() - 1)->text().toStdString(); };
    // Refused, an SSH host key not trusted: the list ends with each, and
    // the page is ready again.
    auto gone = host(tmp.file("gone"));
    const std::string freed = std::to_string(gone->port());
    gone->stop();
    toSaveSummary(std::stoi(freed), tmp.file("refused.4ql"), "MYLIB");
    form->btnFinishClick();
    EXPECT_EQ(lastLine(), "Connection ended: localhost, port " + freed + ": Connection refused");
    EXPECT_EQ(form->lblProcessTitle->text().toStdString(), "Ready to start");
    if (!testsupport::haveSshd())
        return;
    fs::create_directories(tmp.file("sshd"));
    testsupport::SshdProcess sshd(tmp.file("sshd"), tmp.file("as1"));
    ASSERT_TRUE(sshd.problem().empty()) << sshd.problem();
    fs::create_directories(tmp.file("home"));
    fs::create_symlink(sshd.clientSshDir(), tmp.file("home/.ssh"));
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(tmp.file("home")));
    qunsetenv("SSH_AUTH_SOCK");
    form->Transport.ssh = true;
    form->Port = sshd.port();
    form->edtServerName->setEditText("127.0.0.1");
    dialogs.boxAnswers.push_back(platform::mrCancel); // the host key question
    mouseClick(form->btnFinish);
    qputenv("HOME", home);
    const std::string port = std::to_string(sshd.port());
    EXPECT_EQ(lastLine(), "Connection ended: 127.0.0.1, port " + port + ": The host key of [127.0.0.1]:" + port +
                              " (" + sshd.hostKeyFingerprint() + ") was not trusted; not signed on");
    // Shown with the fingerprint on a line of its own, never broken inside.
    ASSERT_EQ(dialogs.exceptions.size(), 1u);
    EXPECT_NE(dialogs.exceptions[0].find("\n" + sshd.hostKeyFingerprint() + ")\n"), std::string::npos);
}

// ---------------------------------------------------------------- a long zip or unzip

// A streamed save zips all along its download: the long zip's Cancel.
TEST_F(WizardJobs, ALongStreamedSaveCanBeStoppedLikeALongZip)
{
    fs::create_directories(tmp.file("as1/MYLIB"));
    writeFile(tmp.file("as1/MYLIB/BIG.FILE"), randomBytes(12 << 20, 5));
    auto as1 = host(tmp.file("as1"), {"--transfer-rate", "4000000"});
    const std::string archive = tmp.file("big.4ql");
    toSaveSummary(as1->port(), archive, "MYLIB");
    form->ZipOverdueMs = 100;
    dialogs.boxAnswers = {platform::mrYes};
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (form->zipOverdue() && form->btnCancel->isEnabled())
            mouseClick(form->btnCancel);
    });
    probe.start(5);
    mouseClick(form->btnFinish);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Zipping the save file has taken more than " + DurationText(100) +
                                         ".\n\nStop the job? No archive is written.");
    EXPECT_FALSE(fileExists(archive));
    EXPECT_EQ(partialsIn(tmp.path()), 0);
    EXPECT_EQ(QDir(QString::fromStdString(form->runFolder())).entryList(QDir::Files), QStringList{});
    EXPECT_EQ(form->list->item(form->list->count() - 1)->text().toStdString(),
              "Job stopped while downloading the save file from localhost: Stopped by the operator; no archive was "
              "written");
}

TEST_F(WizardJobs, LongZipShowsItsPercentageAndCancelStopsItLeavingNothing)
{
    fs::create_directories(tmp.file("as1/MYLIB"));
    writeFile(tmp.file("as1/MYLIB/BIG.FILE"), randomBytes(24 << 20, 3));
    auto as1 = host(tmp.file("as1"));
    const std::string archive = tmp.file("big.4ql");
    toSaveSummary(as1->port(), archive, "MYLIB");
    form->jobParts().jobs.streamTransfers = false; // the zip as a stage of its own
    form->ZipOverdueMs = 100;
    // Cancel pressed whenever it is offered: the first question is answered
    // No, the second Yes.
    dialogs.boxAnswers = {platform::mrNo, platform::mrYes};
    std::set<int> percents;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        percents.insert(form->zipPercent());
        if (form->zipOverdue() && form->btnCancel->isEnabled())
            mouseClick(form->btnCancel);
    });
    probe.start(5);
    mouseClick(form->btnFinish);
    ASSERT_GE(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[0].text, "Zipping the save file has taken more than " + DurationText(100) +
                                         ".\n\nStop the job? No archive is written.");
    EXPECT_EQ(dialogs.boxes[0].defaultButton, platform::DefaultButton::Second);
    EXPECT_GT(percents.size(), 2u); // -1 before, then some between 0 and 99
    EXPECT_LT(*percents.rbegin(), 100);
    EXPECT_FALSE(fileExists(archive));
    EXPECT_EQ(partialsIn(tmp.path()), 0);
    // Only the job log stays, for the Job log button.
    EXPECT_EQ(QDir(QString::fromStdString(form->runFolder())).entryList(QDir::Files), QStringList{"joblog.txt"});
    EXPECT_EQ(form->list->item(form->list->count() - 1)->text().toStdString(),
              "Job stopped while zipping the save file into " + archive +
                  ": Stopped by the operator; no archive was written");
    EXPECT_TRUE(form->btnFinish->isEnabled());
}
