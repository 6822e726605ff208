// The jobs against the host as real IBM i systems behave: name format 0 until
// switched, physical files only through their members, the reason of a
// failing command on the last line of its reply, 150 lines without a byte
// count and transfers that may end short yet be called complete.

#include "JobsE2eFixture.h"

using namespace e2e;

namespace {

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The record's save file path, cut at its last backslash only, as a Windows
// reader of the archive does; then that member's size.
const char kWindowsReader[] = R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
rec = z.read("zipInfo.4qi")
path = rec[1626:1884].split(b"\0")[0].decode("latin-1")
member = path.split("\\")[-1]
print("MEMBER", member, len(z.read(member)))
)PY";

class StrictHostE2e : public JobsE2e, public ::testing::WithParamInterface<bool> {
protected:
    bool passive() const { return GetParam(); }
    std::string cliMode() const { return passive() ? " --passive" : ""; }
};

TEST_P(StrictHostE2e, SaveAndRestoreRoundTripByteExactAndWindowsReadersFindTheSaveFile)
{
    transport = FtpTransport{};
    transport->passive = passive();
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--log", tmp.file("as1.log"), "--transfer-end",
                                      "226"});
    const std::string archive = tmp.file("MYLIB.4ql");
    saveWithWizard(as1->port(), archive, "MYLIB");
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    EXPECT_TRUE(viewers.empty()) << viewers.front().text;
    EXPECT_EQ(jobLines(kSaveSummaryLines).back(), "Deleting temp files");
    // The switch comes before the first command, the log through its member.
    const std::string log = readFile(tmp.file("as1.log"));
    const auto nameFormat = log.find("SITE NAMEFMT 1\n");
    ASSERT_NE(nameFormat, std::string::npos) << log;
    EXPECT_LT(nameFormat, log.find("RCMD "));
    EXPECT_TRUE(has(log, "RETR /qsys.lib/qtemp.lib/joblog.file/joblog.mbr\n")) << log;
    EXPECT_EQ(has(log, "\nEPSV\n") || has(log, "\nPASV\n"), passive()) << log;
    EXPECT_NE(readFile(form->runFolder() + "/joblog.txt").find("SAVLIB"), std::string::npos);
    // The record names the save file after a backslash.
    const std::string path = form->ArchiveInfo.tempSaveFilePath();
    EXPECT_EQ(path.find('/'), std::string::npos) << path;
    EXPECT_EQ(path.substr(path.rfind('\\') + 1), form->ArchiveInfo.saveFileMemberName());
    form->removeRunFolder();

    writeFile(tmp.file("reader.py"), kWindowsReader);
    std::string out;
    ASSERT_EQ(runCommand("python3 " + shellQuote(tmp.file("reader.py")) + " " + shellQuote(archive), &out), 0) << out;
    const std::regex member("MEMBER 4QL[0-9A-F]{4}\\.tmp ([0-9]+)\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, member)) << out;
    EXPECT_EQ(std::stoll(m[1]) % 528, 0) << out;

    // The other reply code after transfers, and the CLI, on a second host.
    auto as2 = host(tmp.file("as2"), {"--transfer-end", "250"});
    ASSERT_EQ(cli("restore " + shellQuote(archive) + cliHost(*as2) + cliMode(), &out), 0) << out;
    EXPECT_FALSE(has(out, "warning")) << out;
    const auto saved = objects(tmp.file("as1/MYLIB"));
    EXPECT_EQ(saved.size(), 3u);
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), saved);
}

// A download cut inside a record, with the host calling it complete and
// offering no SIZE: the file's own structure gives it away, whatever the mode.
TEST_P(StrictHostE2e, ADownloadCutInsideARecordIsRefusedAndNothingIsZipped)
{
    transport = FtpTransport{};
    transport->passive = passive();
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--cut-download-after", "4000", "--transfer-end",
                                      "226", "--no-size"});
    const std::string archive = tmp.file("cut.4ql");
    std::string out;
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + cliMode() + " --library MYLIB", &out), 1) << out;
    EXPECT_FALSE(fileExists(archive));
    EXPECT_TRUE(has(out, "Error while trying to copy data from MYLIB to " + archive)) << out;
    EXPECT_TRUE(has(out, "Check failed: the save file is not a whole number of 528-byte records (4000 bytes"))
        << out;
    EXPECT_TRUE(has(out, "the save file did not arrive complete (the save file is not a whole number")) << out;

    // The wizard: the viewer says which check failed; Ignore goes on to the
    // end, and still nothing is zipped.
    answerViewer(platform::mrIgnore);
    saveWithWizard(as1->port(), archive, "MYLIB");
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_TRUE(has(viewers[0].text, "\t\t\t\t   Error while trying to copy data from MYLIB to " + archive +
                                         "\nCheck failed: the save file is not a whole number of 528-byte records"))
        << viewers[0].text;
    EXPECT_TRUE(has(viewers[0].text, "Host reply: 226 File transfer completed successfully.")) << viewers[0].text;
    const auto lines = jobLines(kSaveSummaryLines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "No archive written: the save file did not arrive complete"),
              lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.back(), "Deleting temp files");
    EXPECT_FALSE(fileExists(archive));
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
}

INSTANTIATE_TEST_SUITE_P(Modes, StrictHostE2e, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Passive" : "Active"; });

// A cut at a record boundary leaves a well-formed file; only the host's SIZE
// tells. The client asks SIZE before a binary download and compares.
TEST_F(JobsE2e, ADownloadCutAtARecordBoundaryIsRefusedWhereTheHostAnswersSize)
{
    auto as1 = host(tmp.file("as1"),
                    {"--seed-library", "MYLIB", "--cut-download-after", "5280", "--transfer-end", "226"});
    const std::string archive = tmp.file("cut.4ql");
    std::string out;
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --library MYLIB", &out), 1) << out;
    EXPECT_FALSE(fileExists(archive));
    // The message names the check: the host's size against the bytes that came.
    EXPECT_TRUE(has(out, "Transfer incomplete: 5280 of ")) << out;
    EXPECT_TRUE(has(out, "did not arrive complete")) << out;
}

TEST_F(JobsE2e, AFailingJobLogFetchIsAWarningAndTheCompleteSaveStands)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--fail", "^CPYSPLF"});
    const std::string archive = tmp.file("warn.4ql");
    std::string out;
    ASSERT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --library MYLIB", &out), 0) << out;
    EXPECT_TRUE(has(out, "warning: the host job log could not be fetched: 550-Error occurred on command CPYSPLF / "
                         "550 Error occurred during processing of command.."))
        << out;
    ASSERT_EQ(runCommand("unzip -tq " + shellQuote(archive), &out), 0) << out;
    // A completed restore is not called failed for it either.
    auto as2 = host(tmp.file("as2"), {"--fail", "^CPYSPLF"});
    ASSERT_EQ(cli("restore " + shellQuote(archive) + cliHost(*as2), &out), 0) << out;
    EXPECT_TRUE(has(out, "warning: the host job log could not be fetched")) << out;
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));

    saveWithWizard(as1->port(), tmp.file("warn2.4ql"), "MYLIB");
    EXPECT_TRUE(viewers.empty());
    EXPECT_TRUE(fileExists(tmp.file("warn2.4ql")));
    const auto lines = jobLines(kSaveSummaryLines);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_TRUE(has(lines[6], "Warning: the host job log could not be fetched: 550-Error occurred on command "
                              "CPYSPLF"))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.back(), "Deleting temp files");
    // No stale or partial log passes for this job's.
    EXPECT_FALSE(fileExists(form->runFolder() + "/joblog.txt"));
}

TEST_F(JobsE2e, TheHostsReasonComesWithTheStageText)
{
    // A sign-on step refused: the log still arrives (name format switched
    // first), and the reason is the host's.
    auto noAuth = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--fail", "^crtsavf", "--fail-message",
                                         "CPF2182 Not authorized to library QTEMP."});
    const std::string archive = tmp.file("x.4ql");
    std::string out;
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*noAuth) + " --library MYLIB", &out), 1) << out;
    EXPECT_TRUE(has(out, "quellon-cli: Error in the CHGJOB command on the iSeries (127.0.0.1)\n")) << out;
    EXPECT_TRUE(has(out, "Host reply: 550-Error occurred on command CRTSAVF\n")) << out;
    EXPECT_TRUE(has(out, "Host reply: 550 Not authorized to library QTEMP..\n")) << out;
    // QTEMP/JOBLOG comes after the save file: there is no log to fetch yet.
    EXPECT_TRUE(has(out, "Job log not fetched: 550-Error occurred on command CLRPFM")) << out;
    EXPECT_FALSE(fileExists(archive));

    answerViewer(platform::mrAbort);
    dialogs.boxAnswers.push_back(platform::mrYes);
    saveWithWizard(noAuth->port(), archive, "MYLIB");
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_TRUE(has(viewers[0].text, "\t\t\t\t   Error in the CHGJOB command on the iSeries (localhost)\nHost reply: "
                                     "550-Error occurred on command CRTSAVF\nHost reply: 550 Not authorized to "
                                     "library QTEMP..\nJob log not fetched: 550-Error occurred on command CLRPFM"))
        << viewers[0].text;
    form->removeRunFolder();
    form.reset();
    noAuth->stop();

    // A library the host does not have: the stage text stays, CPF3781 says why.
    auto as2 = host(tmp.file("as2"));
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as2) + " --library NOLIB", &out), 1) << out;
    EXPECT_TRUE(has(out, "Error while trying to save library 'NOLIB'. Some objects may have to be saved with a more "
                         "recent OS/400 version"))
        << out;
    EXPECT_TRUE(has(out, "Host reply: 550 Library NOLIB not found..\n")) << out;
    EXPECT_TRUE(has(out, "Escape message: CPF3781 Library NOLIB not found.\n")) << out;
    EXPECT_FALSE(fileExists(archive));
}

TEST_F(JobsE2e, CliRestoreSaysWhenOnlyTheCommandAfterItFailed)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB"});
    const std::string archive = tmp.file("cmd.4ql");
    std::string out;
    ASSERT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --library MYLIB --command 'CALL PGM(MYLIB/HELLO)'",
                  &out),
              0)
        << out;
    auto as2 = host(tmp.file("as2"), {"--fail", "^CALL"});
    EXPECT_EQ(cli("restore " + shellQuote(archive) + cliHost(*as2), &out), 1) << out;
    EXPECT_TRUE(has(out, "restored MYLIB into MYLIB on 127.0.0.1, but the command after the restore failed: CALL "
                         "PGM(MYLIB/HELLO)"))
        << out;
    EXPECT_FALSE(has(out, "restore of")) << out;
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));
}

TEST_F(JobsE2e, CliRefusesRecordValuesThatDoNotFit)
{
    // Refused before any host is asked (no host listens on port 1).
    const std::string base = "save " + shellQuote(tmp.file("x.4ql")) +
                             " --host 127.0.0.1 --port 1 --user JOE --password-env QPW --library MYLIB ";
    std::string out;
    EXPECT_EQ(cli(base + "--default-user ABCDEFGHIJK", &out), 2);
    EXPECT_TRUE(has(out, "--default-user takes at most 10 characters; 11 given")) << out;
    EXPECT_EQ(cli(base + "--default-library " + std::string(11, 'L'), &out), 2);
    EXPECT_TRUE(has(out, "--default-library takes at most 10 characters")) << out;
    EXPECT_EQ(cli(base + "--command '" + std::string(256, 'C') + "'", &out), 2);
    EXPECT_TRUE(has(out, "--command takes at most 255 characters; 256 given")) << out;
    EXPECT_EQ(cli(base + "--default-host " + std::string(256, 'h'), &out), 2);
    EXPECT_TRUE(has(out, "--default-host takes at most 255")) << out;
    // Characters are counted, but the stored bytes must fit as well.
    std::string umlauts;
    for (int i = 0; i < 10; ++i)
        umlauts += "\xC3\x84";
    EXPECT_EQ(cli(base + "--default-user " + umlauts, &out), 2);
    EXPECT_TRUE(has(out, "--default-user does not fit the archive: its 10 characters take 20 bytes")) << out;
    EXPECT_FALSE(fileExists(tmp.file("x.4ql")));
}

} // namespace
