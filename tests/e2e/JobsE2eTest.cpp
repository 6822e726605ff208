// Whole jobs against quellon-hostsim on loopback: through the wizard's own
// code (headless, scripted answers) and through quellon-cli as a process.

#include "JobsE2eFixture.h"

using namespace e2e;

namespace {

// ---------------------------------------------------------------- viewer

TEST_F(JobsE2e, JobLogViewerModes)
{
    const std::string log = tmp.file("joblog.txt");
    // Normal mode without a fetched log: the file error, no viewer.
    try {
        jobs::ShowJobLog(log, false, "");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + log);
    }
    EXPECT_EQ(dialogs.modalCount, 0);

    writeFile(log, "line 1\r\nline 2\r\n");
    bool normalPanel = false, errorPanel = true;
    dialogs.modalScripts.push_back([&](QDialog &d) {
        auto &v = dynamic_cast<jobs::TfrmDspJobLog &>(d);
        normalPanel = !v.pnlNormal->isHidden();
        errorPanel = !v.pnlErrorLog->isHidden();
        EXPECT_EQ(v.windowTitle().toStdString(), "Display job log");
        EXPECT_EQ(v.boxJobLog->toPlainText().toStdString(), "line 1\nline 2");
        EXPECT_EQ(jobs::frmDspJobLog, &v);
        return int(platform::mrOk);
    });
    EXPECT_EQ(jobs::ShowJobLog(log, false, ""), platform::mrOk);
    EXPECT_TRUE(normalPanel);
    EXPECT_FALSE(errorPanel);
    EXPECT_EQ(jobs::frmDspJobLog, nullptr);

    // Error mode: the failure under the log, Abort and Ignore; with no log
    // the viewer still opens and says so.
    answerViewer(platform::mrCancel);
    EXPECT_EQ(jobs::ShowJobLog(tmp.file("none.txt"), true, "Library X not created."), platform::mrCancel);
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_TRUE(viewers[0].errorMode);
    ASSERT_EQ(viewers[0].lines.size(), 3u);
    EXPECT_NE(viewers[0].lines[0].find("could not be fetched"), std::string::npos);
    EXPECT_EQ(viewers[0].lines[1], "ERROR \t   Problem");
    EXPECT_EQ(viewers[0].lines[2], "\t\t\t\t   Library X not created.");
}

// ---------------------------------------------------------------- wizard

TEST_F(JobsE2e, WizardSavesAndRestoresALibraryLineForLine)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--log", tmp.file("as1.log")});
    const std::string archive = tmp.file("MYLIB.4ql");
    saveWithWizard(as1->port(), archive, "mylib");

    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    const auto lines = jobLines(kSaveSummaryLines);
    ASSERT_EQ(lines.size(), 10u) << ::testing::PrintToString(listLines());
    EXPECT_EQ(lines[0], "Connecting to localhost");
    EXPECT_EQ(lines[1], "Connected to localhost");
    EXPECT_EQ(lines[2], "User profile 'JOE' now online with localhost");
    EXPECT_EQ(lines[3], "Creating temporary files on localhost");
    EXPECT_EQ(lines[4], "SAVLIB LIB(MYLIB) TGTRLS(*CURRENT) ");
    EXPECT_EQ(lines[5], "Now Downloading from: localhost");
    EXPECT_EQ(lines[6], "Now disconnecting from localhost");
    EXPECT_EQ(lines[7], "Zip saved file to: " + archive);
    EXPECT_TRUE(std::regex_match(lines[8], std::regex("Total size to be zipped: [0-9]+ kb"))) << lines[8];
    EXPECT_EQ(lines[9], "Deleting temp files");
    // The record keeps the typed case; only the temporary files went.
    EXPECT_EQ(form->ArchiveInfo.savedLibrary(), "mylib");
    EXPECT_EQ(form->ArchiveInfo.savedRelease(), "*current");
    EXPECT_FALSE(fileExists(form->runFolder() + "/" + form->ArchiveInfo.saveFileMemberName()));
    EXPECT_TRUE(fileExists(form->runFolder() + "/joblog.txt"));
    const std::string log = readFile(tmp.file("as1.log"));
    EXPECT_NE(log.find("RCMD SAVLIB LIB(MYLIB) TGTRLS(*CURRENT)   SavAct(*Lib) dtacpr(*yes) dev(*savf) savf(qtemp/savf)"),
              std::string::npos)
        << log;
    form->removeRunFolder();

    // Members: exactly the record and the save file; other zip tools agree.
    std::string out;
    ASSERT_EQ(runCommand("unzip -t " + shellQuote(archive), &out), 0) << out;
    ASSERT_EQ(runCommand("unzip -Z1 " + shellQuote(archive), &out), 0);
    const auto members = splitLines(out);
    ASSERT_EQ(members.size(), 2u) << out;
    EXPECT_EQ(members[0], "zipInfo.4qi");
    EXPECT_TRUE(std::regex_match(members[1], std::regex("4QL[0-9A-F]{4}\\.tmp"))) << members[1];

    // Restore into a second host: the same objects, byte for byte.
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log")});
    restoreWithWizard(as2->port(), archive);
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    const auto rl = jobLines(9);
    ASSERT_EQ(rl.size(), 8u) << ::testing::PrintToString(listLines());
    EXPECT_EQ(rl[0], "Connecting to localhost");
    EXPECT_EQ(rl[1], "Connected to localhost");
    EXPECT_EQ(rl[2], "User profile 'JOE' now online with localhost");
    EXPECT_EQ(rl[3], "Creating temporary files on localhost");
    EXPECT_TRUE(std::regex_match(rl[4], std::regex("Total size to be unzipped: [0-9]+ kb"))) << rl[4];
    EXPECT_EQ(rl[5], "Now uploading to: localhost");
    EXPECT_EQ(rl[6], "RSTLIB SAVLIB(MYLIB) RSTLIB(MYLIB) ");
    EXPECT_EQ(rl[7], "Now disconnecting from localhost");
    EXPECT_EQ(readFile(tmp.file("as2.log")).find("RSTASP(1)"), std::string::npos);
    const auto saved = objects(tmp.file("as1/MYLIB"));
    EXPECT_EQ(saved.size(), 3u);
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), saved);
    EXPECT_TRUE(viewers.empty());
}

TEST_F(JobsE2e, WizardSavesAGenericObjectWithTheTypeBlanksAndTheNameFormatOfStrictHosts)
{
    auto as1 = host(tmp.file("as1"),
                    {"--seed-library", "MYLIB", "--log", tmp.file("as1.log"), "--strict-namefmt"});
    const std::string archive = tmp.file("obj.4ql");
    const auto &types = app::TfrmMain::objectTypes();
    const int pgm = static_cast<int>(std::find(types.begin(), types.end(), "*PGM        ") - types.begin());
    ASSERT_LT(pgm, static_cast<int>(types.size()));
    saveWithWizard(as1->port(), archive, "MYLIB", 1, "hel*", pgm);
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    EXPECT_TRUE(viewers.empty());
    const std::string log = readFile(tmp.file("as1.log"));
    EXPECT_NE(log.find("RCMD SAVOBJ OBJ(HEL*) LIB(MYLIB) OBJTYPE(*PGM        ) TGTRLS(*CURRENT)   SavAct(*Lib) "
                       "dtacpr(*yes) dev(*savf) savf(qtemp/savf)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(jobLines(kSaveSummaryLines).at(4), "SAVOBJ OBJ(HEL*) LIB(MYLIB) OBJTYPE(*PGM        ) TGTRLS(*CURRENT) ");
    EXPECT_EQ(form->ArchiveInfo.SaveType, 1);
    form->removeRunFolder();

    // A single-object archive restores by RSTOBJ into a library made first.
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log")});
    restoreWithWizard(as2->port(), archive, true);
    EXPECT_TRUE(viewers.empty());
    const std::string log2 = readFile(tmp.file("as2.log"));
    EXPECT_NE(log2.find("RCMD CRTLIB LIB(MYLIB)"), std::string::npos) << log2;
    EXPECT_NE(log2.find("RCMD RSTOBJ OBJ(*ALL) SAVLIB(MYLIB) RSTLIB(MYLIB)   dev(*savf) savf(qtemp/savf)"),
              std::string::npos);
    auto restored = objects(tmp.file("as2/MYLIB"));
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(restored.begin()->second, readFile(tmp.file("as1/MYLIB/HELLO.PGM")));
}

TEST_F(JobsE2e, WizardSaveFailureShowsTheStageTextUnderTheLogAndIgnoreGoesOn)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--fail", "^SAVLIB"});
    const std::string archive = tmp.file("fail.4ql");
    answerViewer(platform::mrIgnore);
    saveWithWizard(as1->port(), archive, "MYLIB");
    ASSERT_EQ(viewers.size(), 1u);
    const auto &v = viewers[0].lines;
    EXPECT_TRUE(viewers[0].errorMode);
    ASSERT_GE(v.size(), 6u);
    // The stage's text, then the host's reason: its reply and the escape
    // message the fetched log names.
    EXPECT_EQ(v[v.size() - 5], "ERROR \t   Problem");
    EXPECT_EQ(v[v.size() - 4], "\t\t\t\t   Error while trying to save library 'MYLIB'. Some objects may have to "
                               "be saved with a more recent OS/400 version than specified. See previous listed "
                               "messages for more information.");
    EXPECT_EQ(v[v.size() - 3], "Host reply: 550-Error occurred on command SAVLIB");
    EXPECT_EQ(v[v.size() - 2], "Host reply: 550 Error occurred during processing of command..");
    EXPECT_EQ(v.back(), "Escape message: CPF9899 Error occurred during processing of command.");
    // The fetched log is above: the host's own record of the failing command.
    bool sawCommand = false;
    for (std::size_t i = 0; i + 5 < v.size(); ++i)
        sawCommand = sawCommand || v[i].find("SAVLIB") != std::string::npos;
    EXPECT_TRUE(sawCommand);
    // Ignore: the job went on to the end.
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_EQ(jobLines(kSaveSummaryLines).back(), "Deleting temp files");
    EXPECT_TRUE(form->ended.empty());
}

TEST_F(JobsE2e, WizardAbortAsksToCloseAndStopsTheJob)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--fail", "^SAVLIB"});
    const std::string archive = tmp.file("abort.4ql");
    answerViewer(platform::mrAbort);
    dialogs.boxAnswers.push_back(platform::mrYes);
    saveWithWizard(as1->port(), archive, "MYLIB");
    ASSERT_EQ(viewers.size(), 1u);
    ASSERT_FALSE(dialogs.boxes.empty());
    EXPECT_EQ(dialogs.boxes.back().caption, "MessageId: 'Qln0004'");
    EXPECT_EQ(form->ended, std::vector<int>{0});
    EXPECT_FALSE(fileExists(archive));
    EXPECT_NE(form->Wizard->currentWidget(), form->tabSaveDone);
}

TEST_F(JobsE2e, WizardRestoreFailurePaths)
{
    // An archive with a command to run after the restore.
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB"});
    const std::string archive = tmp.file("cmd.4ql");
    std::string out;
    ASSERT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --library MYLIB --command 'CALL PGM(MYLIB/HELLO)'",
                  &out),
              0)
        << out;

    // The target already has the library, the plain RSTLIB fails, and so does
    // the command.
    fs::create_directories(tmp.file("as2/MYLIB"));
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log"), "--fail", "^RSTLIB .*SAVF\\) *$", "--fail",
                                      "^CALL"});
    answerViewer(platform::mrIgnore);
    answerViewer(platform::mrIgnore);
    restoreWithWizard(as2->port(), archive, true);
    ASSERT_EQ(viewers.size(), 2u);
    EXPECT_NE(viewers[0].text.find("\t\t\t\t   Library MYLIB not created.\nHost reply: 550-Error occurred on command "
                                   "CRTLIB\nHost reply: 550 Library MYLIB already exists..\nEscape message: CPF2111 "
                                   "Library MYLIB already exists."),
              std::string::npos)
        << viewers[0].text;
    const std::string stage9 =
        "\t\t\t\t   Error while trying to run command:\n\n 'CALL PGM(MYLIB/HELLO)' \n\n on server: localhost\n"
        "Host reply: 550-Error occurred on command CALL\n";
    EXPECT_NE(viewers[1].text.find(stage9), std::string::npos) << viewers[1].text;
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);

    // Both forms of RSTLIB were sent and listed as the same line.
    const std::string log = readFile(tmp.file("as2.log"));
    EXPECT_NE(log.find("RCMD RSTLIB SAVLIB(MYLIB) RSTLIB(MYLIB)   dev(*savf) savf(qtemp/savf) \n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("RCMD RSTLIB SAVLIB(MYLIB) RSTLIB(MYLIB)   dev(*savf) savf(qtemp/savf) RSTASP(1)\n"),
              std::string::npos);
    const auto lines = listLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RSTLIB SAVLIB(MYLIB) RSTLIB(MYLIB) "), 2);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "CALL PGM(MYLIB/HELLO)"), lines.end());
    // The restore went on into the existing library.
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));
}

TEST_F(JobsE2e, WizardBrokenTransferReportsStageFiveZipsNothingAndLeavesTheWindowUsable)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--abort-transfer-after", "4096"});
    const std::string archive = tmp.file("broken.4ql");
    answerViewer(platform::mrIgnore); // the save file download
    saveWithWizard(as1->port(), archive, "MYLIB");
    // The job log download breaks as well: a warning, not a second failure.
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_NE(viewers[0].text.find("\t\t\t\t   Error while trying to copy data from MYLIB to " + archive +
                                   "\nHost reply: 426 Data transfer ended; connection closed."),
              std::string::npos)
        << viewers[0].text;
    EXPECT_FALSE(fileExists(archive));
    const auto lines = jobLines(kSaveSummaryLines);
    ASSERT_EQ(lines.size(), 10u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[6], "Warning: the host job log could not be fetched: 426 Data transfer ended; connection closed.");
    EXPECT_EQ(lines[7], "Now disconnecting from localhost");
    EXPECT_EQ(lines[8], "No archive written: the save file did not arrive complete");
    EXPECT_EQ(lines[9], "Deleting temp files");
    EXPECT_TRUE(form->runFolder().empty() || !fs::exists(form->runFolder()) ||
                std::none_of(fs::directory_iterator(form->runFolder()), fs::directory_iterator(),
                             [](const auto &e) { return e.path().filename().string().rfind("4QL", 0) == 0; }));
    // The job ended on the last page, which Close leaves.
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_TRUE(!form->btnClose->isHidden() && form->btnClose->isEnabled());
    EXPECT_FALSE(form->jobParts().ftp.Connected);
}

TEST_F(JobsE2e, WizardRestoreOfADamagedMemberClearsTheHostsPartAndRestoresNothing)
{
    auto as1 = host(tmp.file("as1"), {"--seed-object", "BIG/DATA.FILE=6M,generated"});
    const std::string archive = tmp.file("big.4ql");
    std::string out;
    ASSERT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --library BIG", &out), 0) << out;
    std::string bytes = readFile(archive);
    bytes[bytes.size() / 2] ^= 0x55; // inside the save file's data: found by its CRC at the end
    writeFile(archive, bytes);
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log")});
    answerViewer(platform::mrIgnore);
    restoreWithWizard(as2->port(), archive, true);
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_NE(viewers[0].text.find("Error while trying to copy data from " + archive), std::string::npos)
        << viewers[0].text;
    EXPECT_NE(viewers[0].text.find("did not inflate whole"), std::string::npos) << viewers[0].text;
    const std::string log = readFile(tmp.file("as2.log"));
    const auto stor = log.find("STOR ");
    ASSERT_NE(stor, std::string::npos) << log;
    EXPECT_NE(log.find("RCMD clrsavf qtemp/savf", stor), std::string::npos) << log;
    EXPECT_EQ(log.find("RSTLIB"), std::string::npos) << log;
    EXPECT_EQ(log.find("CRTLIB"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(tmp.file("as2/BIG")));
}

// ---------------------------------------------------------------- quellon-cli

TEST_F(JobsE2e, CliSavesInfoAndRestoresFromArchiveAndBareSaveFile)
{
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--log", tmp.file("as1.log")});
    const std::string archive = tmp.file("cli.4ql");
    std::string out;
    ASSERT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --library mylib --release v7r1m0", &out), 0)
        << out;
    EXPECT_NE(readFile(tmp.file("as1.log")).find("RCMD SAVLIB LIB(MYLIB) TGTRLS(V7R1M0)"), std::string::npos);
    ASSERT_EQ(runCommand("unzip -tq " + shellQuote(archive), &out), 0) << out;

    ASSERT_EQ(cli("info --json " + shellQuote(archive), &out), 0) << out;
    EXPECT_NE(out.find("\"savedLibrary\": \"mylib\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"savedRelease\": \"v7r1m0\""), std::string::npos);
    EXPECT_NE(out.find("\"formatVersion\": 101"), std::string::npos);
    EXPECT_NE(out.find("{\"name\": \"zipInfo.4qi\", \"size\": 1884"), std::string::npos);
    ASSERT_EQ(cli("info " + shellQuote(archive), &out), 0) << out;
    EXPECT_NE(out.find("Saved library:           mylib"), std::string::npos) << out;

    // With a poster: a third member under its file name; the record in the
    // archive keeps the full path.
    const std::string poster = std::string(QUELLON_BIN_DIR) + "/QuellonPoster.bmp";
    const std::string withPoster = tmp.file("poster.4ql");
    ASSERT_EQ(cli("save " + shellQuote(withPoster) + cliHost(*as1) + " --library MYLIB --poster " + shellQuote(poster),
                  &out),
              0)
        << out;
    ASSERT_EQ(runCommand("unzip -Z1 " + shellQuote(withPoster), &out), 0);
    EXPECT_EQ(splitLines(out).size(), 3u) << out;
    EXPECT_EQ(splitLines(out).back(), "QuellonPoster.bmp");
    ASSERT_EQ(cli("info --json " + shellQuote(withPoster), &out), 0) << out;
    EXPECT_NE(out.find("\"posterFile\": " + std::string("\"") + poster + "\""), std::string::npos) << out;

    auto as2 = host(tmp.file("as2"));
    ASSERT_EQ(cli("restore " + shellQuote(archive) + cliHost(*as2), &out), 0) << out;
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));

    // The save file itself, as a bare .savf, restored under another name.
    ASSERT_EQ(runCommand("cd " + shellQuote(tmp.path()) + " && unzip -p cli.4ql '4QL*' > MYLIB.savf", &out), 0);
    ASSERT_EQ(cli("info " + shellQuote(tmp.file("MYLIB.savf")), &out), 0) << out;
    EXPECT_NE(out.find("Saved library:    MYLIB"), std::string::npos) << out;
    auto as3 = host(tmp.file("as3"), {"--log", tmp.file("as3.log")});
    ASSERT_EQ(cli("restore " + shellQuote(tmp.file("MYLIB.savf")) + cliHost(*as3) +
                      " --to-library newlib --create-library",
                  &out),
              0)
        << out;
    EXPECT_NE(readFile(tmp.file("as3.log")).find("RCMD RSTLIB SAVLIB(MYLIB) RSTLIB(NEWLIB)"), std::string::npos);
    EXPECT_EQ(objects(tmp.file("as3/NEWLIB")), objects(tmp.file("as1/MYLIB")));

    // A file too short to hold a save file header names no library.
    writeFile(tmp.file("short.savf"), std::string(100, 'x'));
    EXPECT_EQ(cli("info " + shellQuote(tmp.file("short.savf")), &out), 1);
    EXPECT_NE(out.find("too short"), std::string::npos) << out;
}

TEST_F(JobsE2e, CliNeverPresentsABrokenTransferOrFailedSaveAsAnArchive)
{
    auto broken = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--abort-transfer-after", "4096"});
    const std::string archive = tmp.file("broken.4ql");
    std::string out;
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*broken) + " --library MYLIB", &out), 1) << out;
    EXPECT_FALSE(fileExists(archive)) << out;
    // With --ignore-errors the job runs to its end, and still writes nothing.
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*broken) + " --library MYLIB --ignore-errors", &out), 1)
        << out;
    EXPECT_FALSE(fileExists(archive)) << out;
    EXPECT_NE(out.find("did not arrive complete"), std::string::npos) << out;
    // Nor a half-built archive under its temporary name beside it.
    for (const auto &e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string().rfind(".broken.4ql", 0), 0u) << e.path();
    broken->stop();

    auto failing = host(tmp.file("as2"), {"--seed-library", "MYLIB", "--fail", "^SAVLIB"});
    // A refused sign-on is a failure with the connection message.
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*failing) + " --library MYLIB --password-env NOPW",
                  &out),
              2);
    qputenv("WRONGPW", "wrong");
    EXPECT_EQ(cli("save " + shellQuote(archive) + " --host 127.0.0.1 --port " + std::to_string(failing->port()) +
                      " --user JOE --password-env WRONGPW --library MYLIB",
                  &out),
              1);
    EXPECT_NE(out.find("Connection to iSeries (AS/400) 127.0.0.1 failed"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(archive));
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*failing) + " --library MYLIB", &out), 1);
    EXPECT_NE(out.find("Error while trying to save library 'MYLIB'"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(archive));
}

} // namespace
