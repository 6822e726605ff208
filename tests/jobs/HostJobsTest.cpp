// The command runners, their formatting rules and the failure handling, on
// their own and against the emulated host.

#include "hostsim/HostSimProcess.h"
#include "jobs/HostJobs.h"
#include "jobs/SaveFile.h"
#include "net/NMFtp.h"
#include "platform/Dialogs.h"
#include "platform/TempFiles.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace jobs;
using namespace testsupport;

TEST(HostCommandText, FormattingAndTheBackslashRule)
{
    EXPECT_EQ(formatCommand("CRTLIB LIB(%s)", {"MYLIB"}), "CRTLIB LIB(MYLIB)");
    // Values are text, never directives; "%%" is one percent sign.
    EXPECT_EQ(formatCommand("%s", {"SNDMSG MSG('100%s done %d')"}), "SNDMSG MSG('100%s done %d')");
    EXPECT_EQ(formatCommand("A %% B %s", {"x"}), "A % B x");
    // Cut to 506 bytes, never inside a UTF-8 character.
    const std::string longText = std::string(505, 'A') + "\xC3\xA9" + "tail";
    EXPECT_EQ(formatCommand("%s", {longText}), std::string(505, 'A'));
    EXPECT_EQ(formatCommand("%s", {std::string(600, 'B')}).size(), kCommandMax);

    const SplitCommand c = splitCommand("SAVLIB LIB(A) \\ dev(*savf) x\\y");
    EXPECT_EQ(c.listed, "SAVLIB LIB(A) ");
    EXPECT_EQ(c.sent, "SAVLIB LIB(A)   dev(*savf) x\\y"); // only the first backslash goes
    EXPECT_EQ(splitCommand("clrsavf qtemp/savf").listed, "clrsavf qtemp/savf");
    EXPECT_EQ(splitCommand("clrsavf qtemp/savf").sent, "clrsavf qtemp/savf");

    EXPECT_EQ(hostUpper("mylib *pgm   \xC3\xA9"), "MYLIB *PGM   \xC3\xA9");
}

// A printed job log as IBM i lays it out: the escape that ended the failing
// command is found by the command's request, not by being first in the log.
TEST(JobLogText, TheEscapeMessageOfTheFailingCommand)
{
    const std::string pad(37, ' ');
    const std::vector<std::string> log = {
        " 5770SS1 V7R3M0  160422                    Display Job Log                     SYSNAME   01/15/24  "
        "10:22:33 CET     Page    1",
        "  Job name . . . . . . . . . . :   QTFTP01234      User  . . . . . . :   QTCP",
        "MSGID      TYPE                    SEV  DATE      TIME             FROM PGM     LIBRARY     INST",
        "*NONE      Request                      01/15/24  10:22:30.000001  QTMFSRVR     QTCP        0000",
        pad + "Message . . . . :  -CRTLIB LIB(MYLIB)",
        "CPF2111    Escape                  40   01/15/24  10:22:30.000002  QLICRLIB     QSYS        0000",
        pad + "Message . . . . :   Library MYLIB already exists.",
        "*NONE      Request                      01/15/24  10:22:31.000001  QTMFSRVR     QTCP        0000",
        pad + "Message . . . . :  -SAVLIB LIB(NOLIB) TGTRLS(*CURRENT) SavAct(*Lib) dtacpr(*yes) dev(*savf)",
        // A page break inside the wrapped request text.
        " 5770SS1 V7R3M0  160422                    Display Job Log                     SYSNAME   01/15/24  "
        "10:22:33 CET     Page    2",
        "MSGID      TYPE                    SEV  DATE      TIME             FROM PGM     LIBRARY     INST",
        std::string(39, ' ') + "savf(qtemp/savf)",
        "CPF3781    Escape                  40   01/15/24  10:22:31.000002  QSRSAVO      QSYS        0000",
        pad + "Message . . . . :   Library NOLIB not found.",
        pad + "Cause . . . . . :   The library was not found.",
        "*NONE      Request                      01/15/24  10:22:32.000001  QTMFSRVR     QTCP        0000",
        pad + "Message . . . . :  -DSPJOBLOG OUTPUT(*PRINT)",
    };
    const auto messages = parseJobLog(log);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[2].text,
              "SAVLIB LIB(NOLIB) TGTRLS(*CURRENT) SavAct(*Lib) dtacpr(*yes) dev(*savf) savf(qtemp/savf)");
    const auto escape = escapeMessageFor(
        messages, "SAVLIB LIB(NOLIB) TGTRLS(*CURRENT)   SavAct(*Lib) dtacpr(*yes) dev(*savf) savf(qtemp/savf)");
    EXPECT_EQ(escape.id, "CPF3781");
    EXPECT_EQ(escape.text, "Library NOLIB not found.");
    EXPECT_EQ(escapeMessageFor(messages, "crtlib lib(mylib)").id, "CPF2111");
    // A command the log does not hold, or one without an escape: nothing.
    EXPECT_TRUE(escapeMessageFor(messages, "CLRSAVF QTEMP/SAVF").id.empty());
    EXPECT_TRUE(escapeMessageFor(messages, "DSPJOBLOG OUTPUT(*PRINT)").id.empty());
}

TEST(SaveFileHeader, LibraryNameOrNothing)
{
    TempDir tmp;
    auto savf = [&](const std::string &name, std::vector<unsigned char> bytes, std::size_t size) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < bytes.size() && kSaveFileLibraryOffset + i < size; ++i)
            data[kSaveFileLibraryOffset + i] = static_cast<char>(bytes[i]);
        writeFile(tmp.file(name), data);
        return tmp.file(name);
    };
    std::string lib;
    bool tooShort = true;
    // "MYLIB" and EBCDIC blanks.
    ASSERT_TRUE(saveFileLibrary(savf("a.savf", {0xD4, 0xE8, 0xD3, 0xC9, 0xC2, 0x40, 0x40, 0x40, 0x40, 0x40}, 20000),
                                lib, &tooShort));
    EXPECT_EQ(lib, "MYLIB");
    EXPECT_FALSE(tooShort);
    // Ten characters without a blank are taken whole; $ # @ _ map as in CCSID 37.
    ASSERT_TRUE(saveFileLibrary(savf("b.savf", {0x5B, 0x7B, 0x7C, 0x6D, 0xC1, 0xC2, 0xF1, 0xF2, 0xC3, 0xC4}, 12684),
                                lib, &tooShort));
    EXPECT_EQ(lib, "$#@_AB12CD");
    // Ending inside the name field: no header, no name.
    ASSERT_TRUE(saveFileLibrary(savf("c.savf", {0xC1, 0xC1, 0xC1, 0xC1, 0xC1, 0xC1}, 12680), lib, &tooShort));
    EXPECT_EQ(lib, "");
    EXPECT_TRUE(tooShort);
    EXPECT_FALSE(saveFileLibrary(tmp.file("missing.savf"), lib));

    // A download is whole records; one that holds a save is not empty.
    writeFile(tmp.file("whole.savf"), std::string(2 * 528, 'x'));
    writeFile(tmp.file("cut.savf"), std::string(528 + 100, 'x'));
    writeFile(tmp.file("empty.savf"), "");
    EXPECT_EQ(saveFileProblem(tmp.file("whole.savf"), true), "");
    EXPECT_EQ(saveFileProblem(tmp.file("cut.savf"), true),
              "the save file is not a whole number of 528-byte records (628 bytes arrived)");
    EXPECT_EQ(saveFileProblem(tmp.file("empty.savf"), true), "the save file arrived empty (0 bytes)");
    EXPECT_EQ(saveFileProblem(tmp.file("empty.savf"), false), "");
    EXPECT_NE(saveFileProblem(tmp.file("missing.savf"), false), "");
}

namespace {

// Records what a job reports; answers the viewer with `answer`.
struct RecordingUi : JobUi {
    std::vector<std::string> lines;
    std::vector<std::string> viewerMessages;
    std::vector<std::string> boxes;
    int answer = platform::mrIgnore;
    int failuresBegun = 0;
    void addLine(const std::string &l) override { lines.push_back(l); }
    void failureBegins() override { ++failuresBegun; }
    int showJobLog(bool, const std::string &m, const std::string &) override
    {
        viewerMessages.push_back(m);
        return answer;
    }
    bool askToClose() override { return true; }
    void showMessage(const std::string &t, const std::string &id) override { boxes.push_back(id + ": " + t); }
};

class HostJobsLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(tmp.file("root"));
        run = platform::makeRunFolder(tmp.path(), "_4Q");
    }
    void start(std::vector<std::string> extra)
    {
        extra.push_back("--log");
        extra.push_back(tmp.file("host.log"));
        sim = std::make_unique<HostSimProcess>(tmp.file("root"), extra);
        ASSERT_TRUE(sim->running());
        info.reset();
        job = std::make_unique<HostJobs>(ftp, zip, info, ui);
        job->wireEvents();
        job->runFolder = run;
        job->mode = HostJobs::Mode::Restore;
        job->restoreInputs.hostName = "AS1";
        ftp.Host = "127.0.0.1";
        ftp.Port = sim->port();
        ftp.UserID = "JOE";
        ftp.Password = "secret";
    }
    void connectOnly()
    {
        ftp.OnConnect = nullptr;
        ftp.Connect();
    }
    void TearDown() override
    {
        if (ftp.Connected)
            ftp.Disconnect();
    }
    std::string hostLog() { return readFile(tmp.file("host.log")); }

    TempDir tmp;
    std::string run;
    std::unique_ptr<HostSimProcess> sim;
    TNMFTP ftp;
    TZipBuilder zip;
    TArchiveInfo info{};
    RecordingUi ui;
    std::unique_ptr<HostJobs> job;
};

} // namespace

TEST_F(HostJobsLive, RunnersListSendAndTolerate)
{
    start({"--fail", "^DLTF"});
    connectOnly();
    job->JobStage = jsSave;
    // A tolerated failure shows nothing, says false and keeps the stage.
    EXPECT_FALSE(job->TryHostCommand("DLTF FILE(%s) \\ x", {"QTEMP/NONE"}));
    EXPECT_EQ(job->JobStage, jsSave);
    EXPECT_TRUE(ui.viewerMessages.empty());
    EXPECT_EQ(ui.lines, std::vector<std::string>{"DLTF FILE(QTEMP/NONE) "});
    // A succeeding one says true and resets the stage.
    EXPECT_TRUE(job->TryHostCommand("crtsavf qtemp/savf"));
    EXPECT_EQ(job->JobStage, jsNone);
    // Quiet: sent, not listed.
    job->quiet = true;
    job->RunHostCommand("clrsavf qtemp/savf");
    EXPECT_EQ(ui.lines.size(), 2u);
    const std::string log = hostLog();
    EXPECT_NE(log.find("RCMD DLTF FILE(QTEMP/NONE)   x\n"), std::string::npos) << log;
    EXPECT_NE(log.find("RCMD clrsavf qtemp/savf\n"), std::string::npos);
}

TEST_F(HostJobsLive, AFailureFetchesTheLogOnceEvenWhenTheFetchFails)
{
    // No QTEMP/JOBLOG: every command of the fetch fails as well.
    start({"--fail", "^CRTLIB"});
    connectOnly();
    job->restoreInputs.restoreToLibrary = "mylib";
    job->JobStage = jsCreateLibrary;
    job->RunHostCommand("CRTLIB LIB(%s)", {"MYLIB"});
    ASSERT_EQ(ui.viewerMessages.size(), 1u);
    // The stage's text, the host's reply, and why there is no log.
    EXPECT_EQ(ui.viewerMessages[0], "Library MYLIB not created.\n"
                                    "Host reply: 550-Error occurred on command CRTLIB\n"
                                    "Host reply: 550 Error occurred during processing of command..\n"
                                    "Job log not fetched: 550-Error occurred on command CLRPFM / 550 File JOBLOG in "
                                    "library QTEMP not found..");
    EXPECT_EQ(ui.failuresBegun, 1);
    EXPECT_EQ(job->failuresReported, 1);
    // The job can go on on the same connection.
    job->RunHostCommand("crtsavf qtemp/savf");
    EXPECT_EQ(job->JobStage, jsNone);
    EXPECT_EQ(ui.viewerMessages.size(), 1u);
}

TEST_F(HostJobsLive, UnstagedFailureEndsTheJobAfterTheViewerAndLongMessagesStayWhole)
{
    start({"--fail", "^CALL"});
    connectOnly();
    job->JobStage = jsNone;
    EXPECT_THROW(job->RunHostCommand("CALL PGM(X)"), FTPException);
    ASSERT_EQ(ui.viewerMessages.size(), 1u);
    EXPECT_EQ(ui.viewerMessages[0].rfind("Host reply: 550-Error occurred on command CALL\n", 0), 0u)
        << ui.viewerMessages[0];

    // Abort in the viewer (closing allowed) leaves the job.
    ui.answer = platform::mrAbort;
    job->JobStage = jsClearSaveFile;
    EXPECT_THROW(job->RunHostCommand("CALL PGM(Y)"), JobAborted);
    ASSERT_EQ(ui.viewerMessages.size(), 2u);
    EXPECT_EQ(ui.viewerMessages[1].rfind("Error while trying to clear save file on AS1\nHost reply: 550-", 0), 0u);
}

TEST_F(HostJobsLive, StageMessages)
{
    start({});
    job->saveInputs.library = "mylib";
    job->saveInputs.archivePath = "/x/MYLIB.4ql";
    job->restoreInputs.restoreToLibrary = "newlib";
    job->restoreInputs.chosenFile = "/x/in.4ql";
    EXPECT_EQ(job->stageMessage(jsPrepareJob), "Error in the CHGJOB command on the iSeries (AS1)");
    EXPECT_EQ(job->stageMessage(jsClearSaveFile), "Error while trying to clear save file on AS1");
    EXPECT_EQ(job->stageMessage(jsDisconnect), "Error while trying to disconnect from AS1");
    EXPECT_EQ(job->stageMessage(jsRestoreLibrary),
              "Error while trying to restore a library on AS1 - check os/400 version and release");
    EXPECT_EQ(job->stageMessage(jsRestoreObjects),
              "Error while trying to restore objects on AS1 Check the following: \n\n--\tos/400 version and release "
              "\n--\tthe 'To library' must exists?");
    EXPECT_EQ(job->stageMessage(jsDownloadSaveFile), "Error while trying to copy data from mylib to /x/MYLIB.4ql");
    EXPECT_EQ(job->stageMessage(jsUploadSaveFile), "Error while trying to copy data from /x/in.4ql to AS1");
    EXPECT_EQ(job->stageMessage(jsCreateLibrary), "Library NEWLIB not created.");
    for (int s : {jsNone, jsZip, jsUnzip})
        EXPECT_EQ(job->stageMessage(s), "");
    // Longer than the old 255-character room: kept whole.
    job->saveInputs.library = std::string(300, 'L');
    EXPECT_NE(job->stageMessage(jsSave).find(std::string(300, 'L') + "'. Some objects"), std::string::npos);
}
