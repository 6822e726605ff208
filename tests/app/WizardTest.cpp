#include "WizardFixture.h"

#include "app/CommandLine.h"
#include "app/Program.h"
#include "app/SaveFileLibrary.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace app;
using platform::Buttons;
using platform::Icon;
using testsupport::fileExists;
using testsupport::writeFile;

std::vector<std::string> WizardTest::listLines() const
{
    std::vector<std::string> out;
    for (int i = 0; i < form->list->count(); ++i)
        out.push_back(form->list->item(i)->text().toStdString());
    return out;
}

// ---------------------------------------------------------------- command line

TEST_F(WizardTest, CommandLineChoosesTheMode)
{
    const std::string file = tmp.file("MyLib.4ql");
    writeFile(file, "PK");
    struct Case {
        std::vector<std::string> args;
        int mode;
        std::string file;
    } cases[] = {
        {{}, msSave, ""},
        {{"/zip"}, msSave, ""},
        {{"/UNZIP"}, msRestore, ""},
        {{"/uNzIp"}, msRestore, ""},
        {{"/Zip", "/Unzip"}, msRestore, ""},
        {{"/Unzip", "/zip"}, msSave, ""},
        {{file}, msRestore, file},
        {{file, "/zip"}, msSave, file},
    };
    for (const auto &c : cases) {
        const CommandLine cl = parseCommandLine(c.args);
        EXPECT_TRUE(cl.valid);
        EXPECT_EQ(cl.mode, c.mode) << (c.args.empty() ? "" : c.args.back());
        EXPECT_EQ(cl.file, c.file);
    }
    // File names are taken as typed: no case folding, no folders.
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{tmp.file("MYLIB.4QL")}, {tmp.path()}, {"/zip", "-zip", file}, {"zip"}}) {
        const CommandLine cl = parseCommandLine(bad);
        EXPECT_FALSE(cl.valid);
    }
    EXPECT_EQ(parseCommandLine({"/zip", "nosuch.4ql", file}).badArgument, "nosuch.4ql");
}

TEST_F(WizardTest, UnusableArgumentShowsQln0005AndRefusesStart)
{
    TestForm &f = create({"/zip", "nosuch.4ql", "/unzip"});
    EXPECT_TRUE(f.startupRefused());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0005'");
    EXPECT_EQ(dialogs.boxes[0].text, "Invalid startup parameter or \nfile name 'nosuch.4ql' not found. \n\nvalid "
                                     "startup params are: \n/Zip => Start in save mode, \n/Unzip => Start in "
                                     "restore mode");
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::Ok);
    // Nothing was made for a run that never starts.
    EXPECT_TRUE(f.runFolder().empty());
}

TEST_F(WizardTest, ProgramEndsWithStatusZeroAfterQln0005)
{
    EXPECT_EQ(runProgram({"/unzip", "no such file"}), 0);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0005'");
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty() ||
                std::none_of(QApplication::topLevelWidgets().begin(), QApplication::topLevelWidgets().end(),
                             [](QWidget *w) { return w->isVisible(); }));
    // Nothing was left behind in the temporary folder.
    EXPECT_EQ(QDir(QString::fromStdString(tmp.path())).entryList({"_4Q*"}, QDir::Dirs).size(), 0);
}

TEST_F(WizardTest, StartMakesAPrivateRunFolderAndDefaults)
{
    TestForm &f = create({});
    EXPECT_FALSE(f.startupRefused());
    EXPECT_EQ(f.mode(), msSave);
    const std::string folder = f.runFolder();
    ASSERT_EQ(folder.rfind(tmp.path() + "/_4Q", 0), 0u) << folder;
    struct stat st{};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(f.Port, 21);
    EXPECT_EQ(f.ProxyPort, 0);
    EXPECT_EQ(f.ArchiveInfo.FormatVersion, 101);
    EXPECT_EQ(f.ArchiveInfo.savedRelease(), "*CURRENT");
    EXPECT_EQ(f.ArchiveInfo.defaultRestoreLibrary(), "*SAVLIB");
    EXPECT_EQ(f.windowTitle().toStdString(), "Quellon for iSeries and AS/400");
    EXPECT_EQ(f.width(), 584);
    EXPECT_EQ(f.height(), 372);
}

TEST_F(WizardTest, PosterDefaultsAreReadInSaveModeOnly)
{
    {
        platform::Registry reg;
        reg.writeString("Poster", "Poster", "/home/op/logo.bmp");
        reg.writeString("Poster", "PosterWWW", "https://example.com/");
        reg.writeBool("Poster", "PosterStretch", true);
    }
    TestForm &f = create({"/zip"});
    EXPECT_EQ(f.ArchiveInfo.posterFile(), "/home/op/logo.bmp");
    EXPECT_EQ(f.ArchiveInfo.posterLink(), "https://example.com/");
    EXPECT_EQ(f.ArchiveInfo.PosterStretch, 1);
    f.removeRunFolder();
    TestForm &r = create({"/unzip"});
    EXPECT_EQ(r.ArchiveInfo.posterFile(), "");
    EXPECT_EQ(r.ArchiveInfo.PosterStretch, 0);
}

// ---------------------------------------------------------------- save pages

TEST_F(WizardTest, SaveWizardWalksItsSevenSteps)
{
    TestForm &f = start({"/zip"});

    // 1: start page with About instead of Back, pictures and releases loaded.
    EXPECT_EQ(page(), f.tabSaveStart);
    EXPECT_TRUE(f.btnNext->isEnabled());
    EXPECT_FALSE(f.btnBack->isEnabled());
    EXPECT_FALSE(f.btnAbout->isHidden());
    EXPECT_TRUE(f.btnBack->isHidden());
    EXPECT_FALSE(f.imgStamp->pixmap().isNull());
    EXPECT_FALSE(f.imgMainSave->pixmap().isNull());
    EXPECT_EQ(f.edtTgtRls->currentText().toStdString(), "*CURRENT");
    EXPECT_EQ(f.edtTgtRls->itemText(2).toStdString(), "V7R5M0");
    EXPECT_TRUE(dialogs.exceptions.empty());

    // 2: what to save.
    next();
    EXPECT_EQ(page(), f.tabSaveInfo);
    EXPECT_TRUE(f.btnAbout->isHidden());
    EXPECT_FALSE(f.btnBack->isHidden());
    EXPECT_TRUE(f.btnBack->isEnabled());
    EXPECT_FALSE(f.btnNext->isEnabled());
    EXPECT_TRUE(f.boxSaveLibrary->isHidden());
    EXPECT_FALSE(f.edtObjToBeSaved->isEnabled());
    f.edtLibraryNameToSave->setText("mylib");
    EXPECT_TRUE(f.btnNext->isEnabled());
    f.setGrpSaveTypeIndex(1);
    EXPECT_FALSE(f.boxSaveLibrary->isHidden());
    EXPECT_TRUE(f.txtObjToBeSaved->isEnabled());
    EXPECT_FALSE(f.btnNext->isEnabled()); // the object name is missing
    f.edtObjToBeSaved->setText("MYOBJ*");
    EXPECT_TRUE(f.btnNext->isEnabled());
    f.setGrpSaveTypeIndex(0);
    EXPECT_FALSE(f.lblObjToBeSaved->isEnabled());
    EXPECT_TRUE(f.btnNext->isEnabled());

    // 3: the destination; an empty field opens the save dialog at once.
    dialogs.fileAnswers.push_back(std::nullopt);
    next();
    EXPECT_EQ(page(), f.tabSaveFileInfo);
    ASSERT_EQ(dialogs.fileDialogs.size(), 1u);
    EXPECT_EQ(dialogs.fileDialogs[0].fileName, "mylib");
    EXPECT_EQ(dialogs.fileDialogs[0].defaultExt, "4ql");
    EXPECT_FALSE(f.edtSaveToZippedFile->isEnabled());
    EXPECT_FALSE(f.btnNext->isEnabled()); // cancelled
    const std::string archive = tmp.file("mylib.4ql");
    dialogs.fileAnswers.push_back(archive);
    f.btnBrowseClick();
    EXPECT_EQ(f.edtSaveToZippedFile->text().toStdString(), archive);
    EXPECT_EQ(f.saveDialogFileName(), archive);
    EXPECT_TRUE(f.btnNext->isEnabled());
    // A cancelled Browse keeps the archive the field shows.
    dialogs.fileAnswers.push_back(std::nullopt);
    f.btnBrowseClick();
    EXPECT_EQ(f.saveDialogFileName(), archive);

    // Back and forth again: a filled field opens no dialog.
    back();
    next();
    EXPECT_EQ(dialogs.fileDialogs.size(), 3u);
    EXPECT_TRUE(f.btnNext->isEnabled());

    // 4: restore behaviour.
    next();
    EXPECT_EQ(page(), f.tabRestoreDefaults);
    EXPECT_TRUE(f.btnNext->isEnabled());

    // 5: the host.
    next();
    EXPECT_EQ(page(), f.tabConnectInfo);
    EXPECT_FALSE(f.btnNext->isEnabled());
    f.edtServerName->setEditText("as1");
    f.edtUserProfile->setText("joe");
    EXPECT_FALSE(f.btnNext->isEnabled());
    f.edtPassword->setText("secret");
    EXPECT_TRUE(f.btnNext->isEnabled());

    // 6: summary, values as typed.
    next();
    EXPECT_EQ(page(), f.tabProcess);
    EXPECT_EQ(listLines(), jobs::saveSummary("mylib", "*CURRENT", "as1", "joe"));
    EXPECT_FALSE(f.btnFinish->isHidden());
    EXPECT_TRUE(f.btnFinish->isEnabled());
    EXPECT_TRUE(f.btnNext->isHidden());

    // OK: the job runs inside Connect and ends with Next.
    f.Port = 2121;
    f.job = [&](TestForm &t) {
        EXPECT_FALSE(t.btnFinish->isEnabled()); // no second start
        EXPECT_EQ(t.lblProcess->text().toStdString(), "Processing ...");
        EXPECT_TRUE(t.lblFinish->isHidden());
        EXPECT_TRUE(t.jobRunning_);
        t.btnNextClick();
    };
    f.btnFinishClick();
    ASSERT_EQ(f.connects.size(), 1u);
    EXPECT_EQ(f.disconnects, 1);
    EXPECT_EQ(f.connects[0].host, "as1");
    EXPECT_EQ(f.connects[0].userId, "joe");
    EXPECT_EQ(f.connects[0].password, "secret");
    EXPECT_EQ(f.connects[0].port, 2121);
    EXPECT_EQ(f.ZipFileName, archive);
    EXPECT_EQ(listLines().back(), "Connecting to as1");

    // 7: the last page.
    EXPECT_EQ(page(), f.tabSaveDone);
    EXPECT_FALSE(f.btnClose->isHidden());
    EXPECT_TRUE(f.btnClose->isEnabled());
    EXPECT_TRUE(f.btnCancel->isHidden());
    EXPECT_FALSE(f.btnDspJobLog->isHidden());
    EXPECT_FALSE(f.btnAbout->isHidden());
    EXPECT_FALSE(f.btnBack->isEnabled());
    EXPECT_FALSE(f.jobRunning_);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(WizardTest, SaveOkAsksBeforeReplacingAnArchive)
{
    TestForm &f = start({"/zip"});
    const std::string archive = tmp.file("old.4ql");
    writeFile(archive, "old archive");
    next();
    f.edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(archive);
    next();
    next();
    next();
    f.edtServerName->setEditText("AS1");
    f.edtUserProfile->setText("JOE");
    f.edtPassword->setText("pw");
    next();

    dialogs.boxAnswers.push_back(platform::mrNo);
    f.btnFinishClick();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "File '" + archive + "' already exist - delete old file?");
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0003'");
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::YesNo);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Warning);
    // Enter keeps the old archive.
    EXPECT_EQ(dialogs.boxes[0].defaultButton, platform::DefaultButton::Second);
    EXPECT_TRUE(f.connects.empty());
    EXPECT_TRUE(fileExists(archive));
    EXPECT_TRUE(f.btnFinish->isEnabled());

    dialogs.boxAnswers.push_back(platform::mrYes);
    f.btnFinishClick();
    EXPECT_FALSE(fileExists(archive));
    EXPECT_EQ(f.connects.size(), 1u);
    EXPECT_EQ(f.ZipFileName, archive);
}

TEST_F(WizardTest, MissingPicturesAreReportedAndSkipTheRest)
{
    testsupport::TempDir empty;
    platform::setProgramDir(empty.path());
    TestForm &f = start({"/zip"});
    ASSERT_EQ(dialogs.exceptions.size(), 1u);
    EXPECT_NE(dialogs.exceptions[0].find(empty.path() + "/QuellonSplash.bmp"), std::string::npos);
    EXPECT_EQ(f.edtTgtRls->count(), 0);
    // The page still works.
    EXPECT_EQ(page(), f.tabSaveStart);
    EXPECT_TRUE(f.btnNext->isEnabled());
}

TEST_F(WizardTest, ObjectTypeListKeepsItsBlanks)
{
    const auto &types = TfrmMain::objectTypes();
    ASSERT_EQ(types.size(), 69u);
    EXPECT_EQ(types.front(), "*ALL");
    EXPECT_EQ(types.back(), "*WSCST");
    const auto at = [&](const std::string &name) {
        for (const auto &t : types)
            if (t.rfind(name, 0) == 0 && t.find_first_not_of(' ', name.size()) == std::string::npos)
                return t;
        return std::string();
    };
    EXPECT_EQ(at("*CLS"), "*CLS   ");
    EXPECT_EQ(at("*OVL"), "*OVL        ");
    EXPECT_EQ(at("*PGM"), "*PGM        ");
    EXPECT_EQ(at("*USRQ").size(), 12u);
    EXPECT_EQ(at("*USRSPC"), "*USRSPC");
}

TEST_F(WizardTest, LinkLabelOpensTheProductPage)
{
    TestForm &f = start({"/zip"});
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(f.Label32, &press);
    QApplication::sendEvent(f.Label32, &release);
    ASSERT_EQ(shell.opened.size(), 1u);
    EXPECT_EQ(shell.opened[0], kProductWebAddress);
}

// ---------------------------------------------------------------- restore pages

namespace {

jobs::TArchiveInfo sampleRecord()
{
    jobs::TArchiveInfo r;
    r.reset();
    r.setOwnerName("Tamsholt Data");
    r.setSavedLibrary("mylib");
    r.setSaveTime("08.12.2026 01:02:03");
    r.setSavedRelease("V7R4M0");
    r.setDefaultTargetHost("as2");
    r.setDefaultUserProfile("joe");
    r.SaveType = 1;
    r.setTempSaveFilePath("/tmp/_4QAbCdEf/4QL1234.tmp");
    return r;
}

} // namespace

TEST_F(WizardTest, RestoreWizardWalksItsSixSteps)
{
    const std::string archive = tmp.file("MyLib.4ql");
    writeFile(archive, "PK archive");
    TestForm &f = start({archive});
    f.memberInArchive = sampleRecord();

    EXPECT_EQ(f.mode(), msRestore);
    EXPECT_EQ(page(), f.tabRestoreStart);
    EXPECT_FALSE(f.imgMainRestore->pixmap().isNull());
    EXPECT_FALSE(f.btnAbout->isHidden());

    next();
    EXPECT_EQ(page(), f.tabRestoreInfo);
    EXPECT_EQ(f.edtSavedZippedFile->text().toStdString(), archive);
    EXPECT_TRUE(f.btnNext->isEnabled());
    f.edtSavedZippedFile->setText(QString::fromStdString(tmp.file("nosuch.4ql")));
    EXPECT_FALSE(f.btnNext->isEnabled());
    dialogs.fileAnswers.push_back(archive);
    f.Button1Click();
    ASSERT_EQ(dialogs.fileDialogs.size(), 1u);
    EXPECT_EQ(dialogs.fileDialogs[0].fileName, "*.4ql");
    EXPECT_EQ(dialogs.fileDialogs[0].filters.size(), 2u);
    EXPECT_TRUE(f.btnNext->isEnabled());

    next();
    EXPECT_EQ(page(), f.tabRestoreHostInfo);
    EXPECT_EQ(f.ZipFileName, archive);
    EXPECT_EQ(f.windowTitle().toStdString(), "MYLIB from: Tamsholt Data");
    EXPECT_EQ(f.edtRestoreToLibrary->text().toStdString(), "mylib"); // default "*SAVLIB"
    EXPECT_EQ(f.edtServerName->currentText().toStdString(), "as2");
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "joe");
    EXPECT_FALSE(f.boxAutoCreateLibrary->isHidden()); // single-object save
    EXPECT_TRUE(f.boxRestSavf->isHidden());
    EXPECT_FALSE(f.RestoreFromSaveFile);
    f.edtRestoreToLibrary->clear();
    EXPECT_TRUE(f.btnNext->isEnabled()); // only the file counts
    f.edtRestoreToLibrary->setText("newlib");

    next();
    EXPECT_EQ(page(), f.tabConnectInfo);
    f.edtPassword->setText("pw");
    EXPECT_TRUE(f.btnNext->isEnabled());

    next();
    EXPECT_EQ(page(), f.tabProcess);
    EXPECT_EQ(listLines(), jobs::restoreSummary(f.ArchiveInfo, "newlib", "as2", "joe", archive));
    EXPECT_EQ(listLines().size(), 9u);
    // The rule under "Saved by" ends inside the list whatever the font.
    const QListWidgetItem *rule = f.list->item(1);
    const QFont ruleFont = rule->data(Qt::FontRole).isValid() ? rule->font() : f.list->font();
    EXPECT_LE(QFontMetrics(ruleFont).horizontalAdvance(rule->text()), f.list->width() - 2 * f.list->frameWidth());

    f.job = [](TestForm &t) { t.btnNextClick(); };
    f.btnFinishClick();
    EXPECT_EQ(f.ZipFileName, archive);
    EXPECT_EQ(page(), f.tabSaveDone);
}

TEST_F(WizardTest, RestoreRefusesNewerFormatAndStaysOnTheFilePage)
{
    const std::string archive = tmp.file("new.4ql");
    writeFile(archive, "PK");
    TestForm &f = start({archive});
    jobs::TArchiveInfo newer = sampleRecord();
    newer.FormatVersion = 102;
    newer.setDefaultRestoreLibrary("QGPL");
    f.memberInArchive = newer;
    next();
    next();
    EXPECT_EQ(page(), f.tabRestoreInfo);
    EXPECT_EQ(f.step(), 2);
    EXPECT_TRUE(f.btnNext->isEnabled()); // the file still exists
    // What was read is not undone.
    EXPECT_EQ(f.edtRestoreToLibrary->text().toStdString(), "QGPL");

    // A current one passes on the next try.
    f.memberInArchive = sampleRecord();
    next();
    EXPECT_EQ(page(), f.tabRestoreHostInfo);
    EXPECT_EQ(f.step(), 3);
}

TEST_F(WizardTest, RestoreInfoMemberFailures)
{
    const std::string archive = tmp.file("a.4ql");
    writeFile(archive, "PK");
    TestForm &f = start({archive});
    next();

    // No member in the archive: refused on the file page, the record kept.
    next();
    EXPECT_EQ(page(), f.tabRestoreInfo);
    EXPECT_EQ(f.step(), 2);
    EXPECT_TRUE(f.btnNext->isEnabled());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0010'");
    EXPECT_EQ(dialogs.boxes[0].text, "Error in file '" + archive + "' or it is not a valid Quellon file.\n\n"
                                     "It holds no zipInfo.4qi, so it was not made by Quellon.");
    EXPECT_EQ(f.windowTitle().toStdString(), "Quellon for iSeries and AS/400");

    // The zip library fails: its message, and the file goes no further.
    dialogs.boxes.clear();
    f.memberInArchive = sampleRecord();
    f.extractThrows = true;
    next();
    EXPECT_EQ(page(), f.tabRestoreInfo);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Error - Fatal DLL Exception");
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0011'");

    // A stale member from an earlier archive is not taken for this one.
    f.extractThrows = false;
    next();
    ASSERT_EQ(page(), f.tabRestoreHostInfo);
    back();
    f.memberInArchive.reset();
    f.ArchiveInfo.setSavedLibrary("CHANGED");
    next();
    EXPECT_EQ(page(), f.tabRestoreInfo);
    EXPECT_EQ(f.ArchiveInfo.savedLibrary(), "CHANGED");

    // The file went away before OK.
    f.memberInArchive = sampleRecord();
    next();
    next();
    f.edtPassword->setText("pw");
    f.edtServerName->setEditText("as2");
    f.edtUserProfile->setText("joe");
    next();
    ASSERT_EQ(page(), f.tabProcess);
    ::unlink(archive.c_str());
    dialogs.boxes.clear();
    f.btnFinishClick();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "File '" + archive + "' does not exist");
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0033'");
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Error);
    EXPECT_TRUE(f.connects.empty());
}

TEST_F(WizardTest, RestoreFromBareSaveFile)
{
    // Library "QGPL$1" in EBCDIC at the header offset, then a blank.
    std::string savf(kSaveFileLibraryOffset + 10, '\0');
    const unsigned char name[] = {0xD8, 0xC7, 0xD7, 0xD3, 0x5B, 0xF1, 0x40, 0xC1, 0xC1, 0xC1};
    savf.replace(kSaveFileLibraryOffset, 10, reinterpret_cast<const char *>(name), 10);
    const std::string file = tmp.file("qgpl.savf");
    writeFile(file, savf);

    TestForm &f = start({file});
    f.edtServerName->setEditText("kept?");
    next();
    next();
    EXPECT_TRUE(f.RestoreFromSaveFile);
    EXPECT_EQ(page(), f.tabRestoreHostInfo);
    EXPECT_EQ(f.edtSavedLibrary->text().toStdString(), "QGPL$1");
    EXPECT_EQ(f.edtRestoreToLibrary->text().toStdString(), "QGPL$1");
    EXPECT_EQ(f.windowTitle().toStdString(), "Restore from save file " + file);
    EXPECT_EQ(f.edtServerName->currentText().toStdString(), "");
    EXPECT_FALSE(f.boxRestSavf->isHidden());
    EXPECT_TRUE(f.boxRestSavf->isEnabled());
    EXPECT_FALSE(f.boxAutoCreateLibrary->isHidden());

    // A truncated save file gives what it has; ".SAVF" counts as an archive.
    const unsigned char ten[] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1};
    EXPECT_EQ(ebcdicLibraryName(ten, 10), "ABCDEFGHIJ");
    EXPECT_EQ(ebcdicLibraryName(ten, 3), "ABC");
    std::string lib = "x";
    writeFile(tmp.file("short.savf"), "tiny");
    EXPECT_TRUE(saveFileLibrary(tmp.file("short.savf"), lib));
    EXPECT_EQ(lib, "");
    // The wizard takes it no further than the file page.
    f.removeRunFolder();
    TestForm &s = start({tmp.file("short.savf")});
    next();
    next();
    EXPECT_EQ(page(), s.tabRestoreInfo);
    ASSERT_FALSE(dialogs.boxes.empty());
    EXPECT_EQ(dialogs.boxes.back().caption, "MessageId: 'Qln0010'");
    EXPECT_NE(dialogs.boxes.back().text.find("It is too short to be a save file."), std::string::npos);
}

// ---------------------------------------------------------------- close rules

TEST_F(WizardTest, CloseInTheMiddleAsksFirst)
{
    TestForm &f = start({"/zip"});
    next();
    const std::string folder = f.runFolder();

    dialogs.boxAnswers.push_back(platform::mrNo);
    EXPECT_FALSE(f.formClose());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Are you sure that you want to exit the Wizard program?");
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0004'");
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::YesNo);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Question);
    EXPECT_TRUE(fileExists(folder));
    EXPECT_EQ(page(), f.tabSaveInfo); // the wizard did not restart
    EXPECT_TRUE(f.ended.empty());

    // The Cancel button goes the same way, through the window's close.
    f.show();
    dialogs.boxAnswers.push_back(platform::mrNo);
    f.btnCancelClick();
    EXPECT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_TRUE(f.isVisible());

    testsupport::writeFile(folder + "/joblog.txt", "log");
    dialogs.boxAnswers.push_back(platform::mrYes);
    f.btnCancelClick();
    EXPECT_FALSE(fileExists(folder));
    EXPECT_EQ(f.ended, std::vector<int>{0});
    EXPECT_FALSE(f.isVisible());
}

TEST_F(WizardTest, CloseDuringAJobIsIgnoredAndOnTheLastPageNeedsNoQuestion)
{
    TestForm &f = start({"/zip"});
    f.btnCancel->setEnabled(false); // what the timer does while a job runs
    EXPECT_FALSE(f.formClose());
    EXPECT_TRUE(dialogs.boxes.empty());

    const std::string folder = f.runFolder();
    f.btnCancel->setEnabled(true);
    for (int i = 0; i < 6; ++i)
        f.btnNextClick();
    dialogs.fileAnswers.clear();
    ASSERT_EQ(page(), f.tabSaveDone);
    EXPECT_TRUE(f.formClose());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_FALSE(fileExists(folder));
}

TEST_F(WizardTest, RunFolderThatCannotGoShowsTheSystemText)
{
    TestForm &f = start({"/zip"});
    for (int i = 0; i < 6; ++i)
        next();
    ASSERT_EQ(page(), f.tabSaveDone);
    const std::string folder = f.runFolder();
    ASSERT_EQ(::mkdir((folder + "/left-over").c_str(), 0700), 0);
    EXPECT_TRUE(f.formClose()); // the program still ends
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, std::strerror(ENOTEMPTY));
    EXPECT_EQ(dialogs.boxes[0].caption, "");
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::Ok);
    ::rmdir((folder + "/left-over").c_str());
    ::rmdir(folder.c_str());
}

TEST_F(WizardTest, ActivationShowsStepOneOnlyOnce)
{
    TestForm &f = create({"/zip"});
    f.show();
    EXPECT_EQ(page(), f.tabSaveStart);
    next();
    f.hide();
    f.show(); // e.g. after a dialog or another application
    EXPECT_EQ(page(), f.tabSaveInfo);
    EXPECT_EQ(f.step(), 2);
}

// ---------------------------------------------------------------- progress

TEST_F(WizardTest, ListScrollsOneLineForEveryLineAfterTheFifth)
{
    TestForm &f = create({});
    for (int i = 1; i <= 5; ++i)
        f.addLine("line " + std::to_string(i));
    EXPECT_EQ(f.listTopIndex(), 0);
    f.addLine("line 6");
    EXPECT_EQ(f.listTopIndex(), 1);
    f.addLine("line 7");
    f.addLine("line 8");
    EXPECT_EQ(f.listTopIndex(), 3);
    f.addLine(std::string(600, 'x'));
    EXPECT_EQ(f.list->item(8)->text().size(), 511);
}

TEST_F(WizardTest, TimerLocksCancelAndBackAndMovesTheBar)
{
    TestForm &f = create({});
    f.TimerBar->start();
    f.TimerBarTimer(); // first tick: the bar was disabled
    EXPECT_TRUE(f.btnCancel->isEnabled());
    EXPECT_TRUE(f.bar->isEnabled());
    EXPECT_EQ(f.bar->value(), 2);
    f.TimerBarTimer();
    EXPECT_FALSE(f.btnCancel->isEnabled());
    EXPECT_FALSE(f.btnBack->isEnabled());
    EXPECT_EQ(f.bar->value(), 3);
    for (int i = 0; i < 7; ++i)
        f.TimerBarTimer();
    EXPECT_EQ(f.bar->value(), 10);
    f.TimerBarTimer();
    EXPECT_EQ(f.bar->value(), 1);
    // A reported failure stops the timer: the next tick frees the buttons.
    f.TimerBar->stop();
    f.TimerBarTimer();
    EXPECT_FALSE(f.bar->isEnabled());
    f.TimerBarTimer();
    EXPECT_TRUE(f.btnCancel->isEnabled());
    EXPECT_TRUE(f.btnBack->isEnabled());
}

TEST_F(WizardTest, ZipProgressArithmetic)
{
    TestForm &f = create({});
    f.JobStage = jsZip;
    f.zipProgress(ptTotalBytes, 20 * 1024 * 1024, "");
    EXPECT_EQ(listLines().back(), "Total size to be zipped: 20480 kb");
    EXPECT_EQ(f.bar->maximum(), 10001);
    EXPECT_EQ(f.bar->value(), 1);
    f.zipProgress(ptFileStart, 0, "4QL1.tmp");
    f.zipProgress(ptBytesDone, 5 * 1024 * 1024, "4QL1.tmp");
    EXPECT_EQ(f.bar->value(), 2501);
    f.zipProgress(ptBytesDone, 15 * 1024 * 1024, "4QL1.tmp");
    EXPECT_EQ(f.bar->value(), 10001);
    f.zipProgress(ptBatchEnd, 0, "");
    EXPECT_EQ(f.bar->maximum(), 10);
    EXPECT_EQ(f.bar->value(), 1);

    // Big archives: the product is taken in 64 bits.
    f.JobStage = jsUnzip;
    const int64_t six = 6LL * 1024 * 1024 * 1024;
    f.zipProgress(ptTotalBytes, six, "");
    EXPECT_EQ(listLines().back(), "Total size to be unzipped: 6291456 kb");
    f.zipProgress(ptBytesDone, six / 2, "");
    EXPECT_EQ(f.bar->value(), 5001);
    f.zipProgress(ptBatchEnd, 0, "");

    // Other stages list nothing; a zero total leaves the bar alone.
    const auto lines = f.list->count();
    f.JobStage = 0;
    f.zipProgress(ptTotalBytes, 1023, "");
    EXPECT_EQ(f.list->count(), lines);
    f.zipProgress(ptTotalBytes, 0, "");
    f.zipProgress(ptBytesDone, 100, "");
    EXPECT_EQ(f.bar->value(), 1);
    f.JobStage = jsZip;
    f.zipProgress(ptTotalBytes, 1023, "");
    EXPECT_EQ(listLines().back(), "Total size to be zipped: 0 kb");
}

// ---------------------------------------------------------------- keyboard

namespace {

void key(QWidget *w, int k)
{
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
}

} // namespace

TEST_F(WizardTest, EnterPressesTheDefaultButtonAndEscapeCancels)
{
    TestForm &f = start({"/zip"});
    f.show();
    // Next has the focus on the start page.
    key(f.focusWidget(), Qt::Key_Return);
    EXPECT_EQ(page(), f.tabSaveInfo);
    // Enter in a field with Next disabled does nothing; with it enabled, Next.
    key(f.edtLibraryNameToSave, Qt::Key_Enter);
    EXPECT_EQ(page(), f.tabSaveInfo);
    f.edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(tmp.file("mylib.4ql"));
    key(f.edtLibraryNameToSave, Qt::Key_Return);
    EXPECT_EQ(page(), f.tabSaveFileInfo);
    // Back with the focus does not take Enter: Next does.
    f.btnBack->setFocus();
    key(f.btnBack, Qt::Key_Return);
    ASSERT_EQ(page(), f.tabRestoreDefaults);
    key(f.btnNext, Qt::Key_Return);
    ASSERT_EQ(page(), f.tabConnectInfo);

    // Enter in the host name field leaves it first: its profile applies.
    f.edtServerName->setEditText("as1");
    f.edtUserProfile->setText("JOE");
    f.edtPassword->setText("pw");
    f.edtServerName->lineEdit()->setFocus();
    key(f.edtServerName->lineEdit(), Qt::Key_Return);
    ASSERT_EQ(page(), f.tabProcess);
    EXPECT_EQ(platform::Registry().subKeys("Hosts").size(), 1u);

    // Escape is Cancel: the question, answered No.
    dialogs.boxAnswers.push_back(platform::mrNo);
    key(&f, Qt::Key_Escape);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "MessageId: 'Qln0004'");
    EXPECT_TRUE(f.isVisible());

    // Enter is OK on the summary page; while the job runs neither key acts.
    f.job = [&](TestForm &t) {
        key(&t, Qt::Key_Escape);
        key(&t, Qt::Key_Return);
        t.btnNextClick();
    };
    key(f.focusWidget(), Qt::Key_Return);
    EXPECT_EQ(f.connects.size(), 1u);
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    ASSERT_EQ(page(), f.tabSaveDone);
    // Enter is Close on the last page.
    key(f.focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(f.isVisible());
}
