// Save and restore over SSH: quellon-cli against OpenSSH's sshd with the
// emulator as its forced command (key sign-on), and against the libssh
// stand-in for password sign-on. The client's SSH folder is the test's own,
// through HOME.

#include "JobsE2eFixture.h"
#include "hostsim/SshPasswordServer.h"
#include "hostsim/SshdProcess.h"
#include "net/KnownHosts.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace e2e;

namespace
{

class SshJobsE2e : public JobsE2e
{
protected:
    void SetUp() override
    {
        JobsE2e::SetUp();
        fs::create_directories(tmp.file("host/QGPL"));
        fs::create_directories(tmp.file("sshd"));
        sshd = std::make_unique<SshdProcess>(tmp.file("sshd"), tmp.file("host"), sshdArgs());
        if (!sshd->problem().empty())
            GTEST_SKIP() << sshd->problem();
        fs::create_directories(tmp.file("home"));
        fs::create_symlink(sshd->clientSshDir(), tmp.file("home/.ssh"));
    }
    virtual std::vector<std::string> sshdArgs() { return {"--seed-library", "MYLIB"}; }

    // quellon-cli with the test's SSH folder and no agent.
    int sshCli(const std::string &args, std::string *out)
    {
        return runCommand("env -u SSH_AUTH_SOCK HOME=" + shellQuote(tmp.file("home")) + " " +
                              std::string(QUELLON_BIN_DIR) + "/quellon-cli " + args +
                              " --ssh --host 127.0.0.1 --port " + std::to_string(sshd->port()) + " --user " +
                              sshd->user() + " 2>&1",
                          out);
    }
    // Save files the jobs left in the host's QGPL.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(tmp.file("host/QGPL")))
            out.push_back(e.path().filename().string());
        return out;
    }

    std::unique_ptr<SshdProcess> sshd;
};

TEST_F(SshJobsE2e, SaveAndRestoreWithKeyUnknownKeyTrustedOnceTempSaveFileGone)
{
    const std::string archive = tmp.file("ssh.4ql");
    std::string out;
    // Nobody to ask: an unknown key is refused, and named.
    EXPECT_EQ(sshCli("save " + shellQuote(archive) + " --library MYLIB", &out), 1) << out;
    EXPECT_NE(out.find("pass --host-key " + sshd->hostKeyFingerprint()), std::string::npos) << out;
    EXPECT_FALSE(fileExists(archive));

    ASSERT_EQ(
        sshCli("save " + shellQuote(archive) + " --library mylib --host-key " + sshd->hostKeyFingerprint(),
               &out),
        0)
        << out;
    EXPECT_NE(
        out.find("Sign-on and transfers protected by SSH (host key " + sshd->hostKeyFingerprint() + ")"),
        std::string::npos)
        << out;
    ASSERT_EQ(runCommand("unzip -tq " + shellQuote(archive), &out), 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    const std::string commands = readFile(tmp.file("sshd/commands.log"));
    EXPECT_NE(
        commands.find("system 'SAVLIB LIB(MYLIB) TGTRLS(*CURRENT)   SavAct(*Lib) dtacpr(*yes) dev(*savf) "
                      "savf(QGPL/QLN"),
        std::string::npos)
        << commands;
    EXPECT_NE(commands.find("system 'DLTF FILE(QGPL/QLN"), std::string::npos) << commands;
    // The save file is the owner's alone from the start: made so, and so
    // while it moved.
    EXPECT_TRUE(std::regex_search(commands, std::regex("LC_ALL=EN_US.UTF-8 system 'crtsavf QGPL/QLN[A-Z0-9]{7} "
                                                       "aut\\(\\*exclude\\)'")))
        << commands;
    EXPECT_TRUE(std::regex_search(commands, std::regex("sftp read /QSYS.LIB/QGPL.LIB/QLN[A-Z0-9]{7}.FILE "
                                                       "\\*PUBLIC \\*EXCLUDE")))
        << commands;

    // Trusted now: no --host-key needed. Restored byte for byte.
    ASSERT_EQ(sshCli("restore " + shellQuote(archive) + " --to-library COPYLIB --create-library", &out), 0)
        << out;
    EXPECT_EQ(objects(tmp.file("host/COPYLIB")), objects(tmp.file("host/MYLIB")));
    EXPECT_EQ(objects(tmp.file("host/COPYLIB")).size(), 3u);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_TRUE(std::regex_search(readFile(tmp.file("sshd/commands.log")),
                                  std::regex("sftp write /QSYS.LIB/QGPL.LIB/QLN[A-Z0-9]{7}.FILE \\*PUBLIC "
                                             "\\*EXCLUDE")));

    // The same archive restores over FTP: one format whichever way it came.
    auto ftpHost = host(tmp.file("as2"));
    ASSERT_EQ(cli("restore " + shellQuote(archive) + cliHost(*ftpHost), &out), 0) << out;
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("host/MYLIB")));
}

TEST_F(SshJobsE2e, ChangedHostKeyRefusedBeforeSignOnNamingBothKeys)
{
    std::string out;
    const std::string oldKey = sshd->hostKeyFingerprint();
    ASSERT_EQ(sshCli("save " + shellQuote(tmp.file("a.4ql")) + " --library MYLIB --host-key " + oldKey, &out),
              0)
        << out;
    ASSERT_TRUE(sshd->replaceHostKey()) << sshd->problem();
    // Even naming the new key does not replace a known one.
    EXPECT_EQ(sshCli("save " + shellQuote(tmp.file("b.4ql")) + " --library MYLIB --host-key " +
                         sshd->hostKeyFingerprint() + " --password-env QPW",
                     &out),
              1);
    EXPECT_NE(out.find("has changed"), std::string::npos) << out;
    EXPECT_NE(out.find(oldKey), std::string::npos) << out;
    EXPECT_NE(out.find(sshd->hostKeyFingerprint()), std::string::npos) << out;
    EXPECT_FALSE(fileExists(tmp.file("b.4ql")));
    EXPECT_EQ(sshd->log().find("Accepted"), std::string::npos) << sshd->log();
    EXPECT_EQ(sshd->log().find("Failed"), std::string::npos) << sshd->log();
}

class FailingSshJobsE2e : public SshJobsE2e
{
protected:
    std::vector<std::string> sshdArgs() override
    {
        return {"--seed-library", "MYLIB",          "--fail",
                "^SAVLIB",        "--fail-message", "CPF3812 Save file QLN in QGPL in use."};
    }
};

TEST_F(FailingSshJobsE2e, FailingSavlibShowsTheHostsMessageAndLeavesNoSaveFile)
{
    std::string out;
    EXPECT_EQ(sshCli("save " + shellQuote(tmp.file("f.4ql")) + " --library MYLIB --host-key " +
                         sshd->hostKeyFingerprint(),
                     &out),
              1);
    EXPECT_NE(out.find("Error while trying to save library 'MYLIB'"), std::string::npos) << out;
    EXPECT_NE(out.find("CPF3812: Save file QLN in QGPL in use."), std::string::npos) << out;
    EXPECT_NE(out.find("Escape message: CPF3812 Save file QLN in QGPL in use."), std::string::npos) << out;
    EXPECT_FALSE(fileExists(tmp.file("f.4ql")));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_NE(readFile(tmp.file("sshd/commands.log")).find("system 'DLTF FILE(QGPL/QLN"), std::string::npos);
}

class CutSshJobsE2e : public SshJobsE2e
{
protected:
    std::vector<std::string> sshdArgs() override
    {
        return {"--seed-library", "MYLIB", "--abort-transfer-after", "4096"};
    }
};

TEST_F(CutSshJobsE2e, ABrokenOffDownloadIsAFailureOfItsStageAndTheSaveFileStillGoes)
{
    std::string out;
    EXPECT_EQ(sshCli("save " + shellQuote(tmp.file("c.4ql")) + " --library MYLIB --host-key " +
                         sshd->hostKeyFingerprint(),
                     &out),
              1);
    EXPECT_NE(out.find("Error while trying to copy data from MYLIB to"), std::string::npos) << out;
    EXPECT_NE(out.find("CPFA0BA: Error reading from /QSYS.LIB/QGPL.LIB/QLN"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(tmp.file("c.4ql")));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

class DroppingSshJobsE2e : public SshJobsE2e
{
protected:
    std::vector<std::string> sshdArgs() override
    {
        return {"--seed-library", "MYLIB", "--drop-connection-after", "4096"};
    }
};

TEST_F(DroppingSshJobsE2e, AConnectionLostMidJobEndsItAndASecondSignOnDeletesTheSaveFile)
{
    std::string out;
    EXPECT_EQ(sshCli("save " + shellQuote(tmp.file("d.4ql")) + " --library MYLIB --host-key " +
                         sshd->hostKeyFingerprint(),
                     &out),
              1);
    EXPECT_NE(out.find("broke off"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(tmp.file("d.4ql")));
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << out;
    EXPECT_NE(readFile(tmp.file("sshd/commands.log")).find("system 'DLTF FILE(QGPL/QLN"), std::string::npos);
}

class NoisySshJobsE2e : public SshJobsE2e
{
protected:
    // A .bashrc that greets: one save file record's worth of text.
    std::vector<std::string> sshdArgs() override
    {
        return {"--seed-library", "MYLIB", "--profile-text", std::string(528, 'W')};
    }
};

TEST_F(NoisySshJobsE2e, ShellStartUpTextNeverGetsIntoTheSaveFile)
{
    std::string out;
    EXPECT_EQ(sshCli("save " + shellQuote(tmp.file("n.4ql")) + " --library MYLIB --host-key " +
                         sshd->hostKeyFingerprint(),
                     &out),
              1)
        << out;
    EXPECT_NE(out.find("not SFTP (text from the shell's start-up files?)"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(tmp.file("n.4ql")));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

class StallingSshJobsE2e : public SshJobsE2e
{
protected:
    std::vector<std::string> sshdArgs() override
    {
        return {"--seed-library", "MYLIB", "--stall-transfer-after", "4096"};
    }
};

// Ctrl-C or a TERM in the middle of a transfer: the save file goes from the
// host (over a second, short sign-on), then the exit status tells the stop.
TEST_F(StallingSshJobsE2e, AStopDeletesTheSaveFileOnTheHostWithinABound)
{
    for (const auto &[sig, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        fs::remove(tmp.file("sshd/commands.log"));
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("HOME", tmp.file("home").c_str(), 1);
            ::unsetenv("SSH_AUTH_SOCK");
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string cli = std::string(QUELLON_BIN_DIR) + "/quellon-cli";
            const std::string port = std::to_string(sshd->port());
            const std::string archive = tmp.file("s.4ql");
            ::execl(cli.c_str(), cli.c_str(), "save", archive.c_str(), "--library", "MYLIB", "--ssh", "--host",
                    "127.0.0.1", "--port", port.c_str(), "--user", sshd->user().c_str(), "--host-key",
                    sshd->hostKeyFingerprint().c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (readFile(tmp.file("sshd/commands.log")).find("sftp read") == std::string::npos &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_EQ(leftovers().size(), 1u) << "the transfer had begun";
        const auto stopped = std::chrono::steady_clock::now();
        ::kill(pid, sig);
        int st = 0;
        while (::waitpid(pid, &st, WNOHANG) == 0 && std::chrono::steady_clock::now() - stopped < std::chrono::seconds(15))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (std::chrono::steady_clock::now() - stopped >= std::chrono::seconds(15)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            FAIL() << "the job did not end within 15 seconds of the stop";
        }
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == status) << st;
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        EXPECT_NE(readFile(tmp.file("sshd/commands.log")).find("system 'DLTF FILE(QGPL/QLN"), std::string::npos);
        EXPECT_FALSE(fileExists(tmp.file("s.4ql")));
    }
}

// The command after the restore comes from the archive: listed whole, as
// sent, so that a backslash cannot hide what else it does.
TEST_F(SshJobsE2e, TheArchivesCommandIsListedWholeAsSent)
{
    const std::string archive = tmp.file("cmd.4ql");
    std::string out;
    ASSERT_EQ(sshCli("save " + shellQuote(archive) + " --library MYLIB --command \"CRTLIB LIB(CMDLIB)\\ " +
                         "TEXT('tail')\" --host-key " + sshd->hostKeyFingerprint(),
                     &out),
              0)
        << out;
    ASSERT_EQ(sshCli("restore " + shellQuote(archive) + " --to-library COPYLIB --create-library", &out), 0) << out;
    EXPECT_NE(out.find("\nCRTLIB LIB(CMDLIB)  TEXT('tail')\n"), std::string::npos) << out;
    EXPECT_NE(readFile(tmp.file("sshd/commands.log")).find("system 'CRTLIB LIB(CMDLIB)  TEXT('\\''tail'\\'')'"),
              std::string::npos);
}

// Password sign-on: sshd would check the system's accounts, the stand-in
// takes one user and password.
TEST_F(JobsE2e, CliSavesAndRestoresOverSshWithPassword)
{
    fs::create_directories(tmp.file("host/QGPL"));
    fs::create_directories(tmp.file("home/.ssh"));
    auto seed = host(tmp.file("host"), {"--seed-library", "MYLIB"}); // makes the sample library
    seed->stop();
    SshPasswordServer server(tmp.file("host"), "JOE", "secret");
    ASSERT_EQ(server.problem(), "");
    const std::string ssh = " --ssh --host 127.0.0.1 --port " + std::to_string(server.port()) +
                            " --user JOE --password-env QPW --host-key " + server.hostKeyFingerprint();
    const std::string env = "env -u SSH_AUTH_SOCK HOME=" + shellQuote(tmp.file("home")) + " ";
    std::string out;
    ASSERT_EQ(runCommand(env + QUELLON_BIN_DIR "/quellon-cli save " + shellQuote(tmp.file("p.4ql")) +
                             " --library MYLIB" + ssh + " 2>&1",
                         &out),
              0)
        << out;
    ASSERT_EQ(runCommand(env + QUELLON_BIN_DIR "/quellon-cli restore " + shellQuote(tmp.file("p.4ql")) +
                             " --to-library PWLIB --create-library" + ssh + " 2>&1",
                         &out),
              0)
        << out;
    EXPECT_EQ(objects(tmp.file("host/PWLIB")), objects(tmp.file("host/MYLIB")));
    EXPECT_EQ(objects(tmp.file("host/QGPL")).size(), 0u);
    // A wrong password: refused, nothing written.
    qputenv("QPW", "wrong");
    EXPECT_EQ(runCommand(env + QUELLON_BIN_DIR "/quellon-cli save " + shellQuote(tmp.file("w.4ql")) +
                             " --library MYLIB" + ssh + " 2>&1",
                         &out),
              1)
        << out;
    EXPECT_NE(out.find("The host refused the password for JOE"), std::string::npos) << out;
    EXPECT_EQ(server.refusals(), 1) << "each try counts against the profile";
    EXPECT_FALSE(fileExists(tmp.file("w.4ql")));
}

// The wizard over SSH: the host key asked about once, through the same
// question as a certificate, then known; the choice kept in the profile.
TEST_F(JobsE2e, WizardOverSshAsksOnceAboutTheHostKeyThenTrustsIt)
{
    fs::create_directories(tmp.file("home/.ssh"));
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(tmp.file("home")));
    struct RestoreHome {
        QByteArray home;
        ~RestoreHome() { qputenv("HOME", home); }
    } restoreHome{savedHome};
    host(tmp.file("host"), {"--seed-library", "MYLIB"})->stop(); // the sample library
    const auto saved = objects(tmp.file("host/MYLIB"));
    SshPasswordServer server(tmp.file("host"), "JOE", "secret");
    ASSERT_EQ(server.problem(), "");

    transport = FtpTransport{};
    transport->ssh = true;
    dialogs.boxAnswers.push_back(platform::mrYes); // trust it from now on
    const std::string archive = tmp.file("MYLIB.4ql");
    saveWithWizard(server.port(), archive, "mylib");
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone) << ::testing::PrintToString(listLines());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "Host key");
    EXPECT_NE(dialogs.boxes[0].text.find(server.hostKeyFingerprint()), std::string::npos)
        << dialogs.boxes[0].text;
    const auto lines = jobLines(kSaveSummaryLines);
    ASSERT_GE(lines.size(), 4u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[3],
              "Sign-on and transfers protected by SSH (host key " + server.hostKeyFingerprint() + ")");
    // Hashed when the system's ssh_config says so (Debian's does).
    const std::string known = readFile(tmp.file("home/.ssh/known_hosts"));
    EXPECT_TRUE(knownhosts::hostFieldMatches(known.substr(0, known.find(' ')),
                                             "[localhost]:" + std::to_string(server.port())))
        << known;
    EXPECT_EQ(objects(tmp.file("host/QGPL")).size(), 0u);
    platform::Registry reg;
    std::string key;
    for (const auto &k : reg.subKeys("Hosts"))
        if (reg.readString("Hosts/" + k, "ServerName") == "localhost")
            key = "Hosts/" + k;
    EXPECT_EQ(reg.readString(key, "Protocol"), "SSH");
    form->removeRunFolder();

    // The next job takes SSH from the profile and asks nothing.
    transport.reset();
    fs::remove_all(tmp.file("host/MYLIB"));
    restoreWithWizard(server.port(), archive, true);
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone) << ::testing::PrintToString(listLines());
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(objects(tmp.file("host/MYLIB")), saved);
    EXPECT_EQ(objects(tmp.file("host/QGPL")).size(), 0u);
}

} // namespace
