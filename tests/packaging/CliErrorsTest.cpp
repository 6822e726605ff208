// quellon-cli as a new user meets it: each way a command can go wrong ends
// with one line on stderr that names what failed and where, and the exit
// status of the command-line conventions (1 failed, 2 wrong usage).

#include "hostsim/HostSimProcess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct CliResult {
    int status = -1;
    std::string err; // stderr only
};

std::string quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// `prefix` is shell text put before the program (environment, limits).
CliResult cli(const std::vector<std::string> &args, const std::string &prefix = "")
{
    std::string cmd = "{ " + prefix + " " + quote(binDir() + "quellon-cli");
    for (const auto &a : args)
        cmd += " " + quote(a);
    cmd += " >/dev/null; }";
    CliResult r;
    r.status = runCommand(cmd, &r.err);
    return r;
}

int lines(const std::string &s)
{
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

// Failed (status 1) with exactly one "quellon-cli: ..." line containing `mentions`.
void expectOneLineFailure(const CliResult &r, const std::string &mentions)
{
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("quellon-cli: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(mentions), std::string::npos) << "no '" << mentions << "' in: " << r.err;
}

class CliZipErrors : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(CliZipErrors, MissingArchive)
{
    const std::string missing = dir.file("nowhere.4ql");
    for (const char *cmd : {"list", "comment"})
        expectOneLineFailure(cli({"zip", cmd, missing}), missing);
    expectOneLineFailure(cli({"zip", "extract", missing, "-d", dir.file("out")}), missing);
    expectOneLineFailure(cli({"zip", "delete", missing, "x"}), missing);
}

TEST_F(CliZipErrors, NotAnArchive)
{
    const std::string text = dir.file("notes.4ql");
    writeFile(text, "these are notes, not a zip archive\n");
    expectOneLineFailure(cli({"zip", "list", text}), "notes.4ql");
    // Adding to it must neither fail silently nor overwrite the file.
    writeFile(dir.file("a.txt"), "a");
    CliResult add = cli({"zip", "add", text, dir.file("a.txt")});
    EXPECT_EQ(add.status, 1) << add.err;
    EXPECT_EQ(lines(add.err), 1) << add.err;
    EXPECT_EQ(readFile(text), "these are notes, not a zip archive\n");
}

TEST_F(CliZipErrors, WrongPasswordExtractsNothing)
{
    writeFile(dir.file("payroll.csv"), randomBytes(5000, 7));
    CliResult add = cli({"zip", "add", dir.file("s.zip"), dir.file("payroll.csv"), "--password-env", "QPW"},
                  "QPW=right");
    ASSERT_EQ(add.status, 0) << add.err;
    CliResult r = cli({"zip", "extract", dir.file("s.zip"), "-d", dir.file("out"), "--password-env", "QPW"},
                "QPW=wrong");
    expectOneLineFailure(r, "password");
    EXPECT_FALSE(fileExists(dir.file("out/payroll.csv")));
}

TEST_F(CliZipErrors, DiskFullWhileExtracting)
{
    // A file size limit stands in for a full disk: writes fail with EFBIG.
    writeFile(dir.file("big.bin"), randomBytes(1 << 20, 3));
    ASSERT_EQ(cli({"zip", "add", dir.file("big.zip"), dir.file("big.bin"), "--level", "0"}).status, 0);
    CliResult r = cli({"zip", "extract", dir.file("big.zip"), "-d", dir.file("out")}, "trap '' XFSZ; ulimit -f 64;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lines(r.err), 1) << r.err;
}

TEST(CliUsage, WrongUsageIsStatusTwo)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"zip"},
             {"zip", "shuffle", "a.zip"},
             {"zip", "list"},
             {"zip", "extract", "a.zip"}, // no -d
             {"zip", "add", "a.zip", "x", "--level", "12"},
             {"ftp", "--user", "JOE", "--password-env", "P", "get", "a", "b"}, // no --host
             {"ftp", "--host", "h", "--user", "JOE", "--password-env", "P", "fetch", "a"},
         }) {
        CliResult r = cli(args);
        EXPECT_EQ(r.status, 2) << "quellon-cli " << ::testing::PrintToString(args) << ": " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}

TEST(CliUsage, EveryCommandHasHelpWithExamples)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--help"}, {"zip", "--help"}, {"ftp", "--help"}}) {
        std::string out;
        std::string cmd = quote(binDir() + "quellon-cli");
        for (const auto &a : args)
            cmd += " " + a;
        EXPECT_EQ(runCommand(cmd, &out), 0) << out;
        EXPECT_NE(out.find("Usage"), std::string::npos) << out;
        if (args.size() > 1) {
            EXPECT_NE(out.find("Examples"), std::string::npos) << cmd << ":\n" << out;
        }
    }
}

class CliFtpErrors : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_ = std::make_unique<HostSimProcess>(dir.path() + "/host",
                                                 std::vector<std::string>{"--seed-library", "DEMOLIB", "--fail",
                                                                          "^SAVLIB LIB\\(BROKEN"});
        ASSERT_TRUE(host_->running()) << host_->firstLine();
    }
    CliResult ftp(const std::vector<std::string> &tail, const std::string &password = "secret", int port = 0)
    {
        std::vector<std::string> args{"ftp", "--host", "127.0.0.1", "--port",
                                      std::to_string(port ? port : host_->port()), "--user", "JOE",
                                      "--password-env", "QPW", "--timeout", "5000"};
        args.insert(args.end(), tail.begin(), tail.end());
        return cli(args, "QPW=" + password);
    }
    TempDir dir;
    std::unique_ptr<HostSimProcess> host_;
};

TEST_F(CliFtpErrors, BadHost)
{
    CliResult r = cli({"ftp", "--host", "no-such-host.invalid", "--user", "JOE", "--password-env", "QPW", "--timeout",
                 "5000", "quote", "NOOP"},
                "QPW=secret");
    expectOneLineFailure(r, "no-such-host.invalid");

    // Nobody listens: a port that was just in use.
    HostSimProcess gone(dir.path() + "/gone");
    ASSERT_TRUE(gone.running());
    const int port = gone.port();
    gone.stop();
    expectOneLineFailure(ftp({"quote", "NOOP"}, "secret", port), std::to_string(port));
}

TEST_F(CliFtpErrors, WrongPassword)
{
    CliResult r = ftp({"quote", "NOOP"}, "guessed");
    expectOneLineFailure(r, "sign-on");
    EXPECT_EQ(r.err.find("guessed"), std::string::npos) << "the password shows: " << r.err;
}

TEST_F(CliFtpErrors, HostCommandFailure)
{
    // The verdict line, then the later lines of the host's reply: its reason.
    CliResult r = ftp({"quote", "RCMD SAVLIB LIB(BROKEN) DEV(*SAVF) SAVF(QTEMP/SAVF)"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quellon-cli: quote RCMD SAVLIB LIB(BROKEN) DEV(*SAVF) SAVF(QTEMP/SAVF): 550-Error occurred "
                     "on command SAVLIB\nquellon-cli:   Host reply: 550 Error occurred during processing of "
                     "command..\n");
}

TEST_F(CliFtpErrors, MissingFiles)
{
    expectOneLineFailure(ftp({"get", "/qsys.lib/nolib.lib/nothing.file", dir.file("x")}), "nothing.file");
    expectOneLineFailure(ftp({"put", dir.file("absent.savf"), "/qsys.lib/qtemp.lib/savf.file"}), "absent.savf");
}

TEST_F(CliFtpErrors, DiskFullWhileDownloading)
{
    ASSERT_EQ(ftp({"get", "/qsys.lib/demolib.lib/customer.file/customer.mbr", dir.file("customer.bin")}).status, 0);
    expectOneLineFailure(ftp({"get", "/qsys.lib/demolib.lib/customer.file/customer.mbr", "/dev/full"}), "customer.mbr");
}

// save, restore and info may show the stage message and the host job log
// first; the last line is the verdict, naming what failed and where.
std::string lastLine(const std::string &err)
{
    std::string s = err;
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s.substr(s.find_last_of('\n') + 1);
}

void expectVerdict(const CliResult &r, const std::string &mentions)
{
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string last = lastLine(r.err);
    EXPECT_EQ(last.rfind("quellon-cli: ", 0), 0u) << r.err;
    EXPECT_NE(last.find(mentions), std::string::npos) << "no '" << mentions << "' in: " << last;
}

class CliJobErrors : public CliFtpErrors {
protected:
    std::vector<std::string> connection(const std::string &host = "127.0.0.1", int port = 0)
    {
        return {"--host", host, "--port", std::to_string(port ? port : host_->port()), "--user", "JOE",
                "--password-env", "QPW", "--timeout", "5000"};
    }
    CliResult job(std::vector<std::string> args, const std::string &password = "secret",
                  const std::string &prefix = "", const std::string &host = "127.0.0.1")
    {
        const auto c = connection(host);
        args.insert(args.end(), c.begin(), c.end());
        return cli(args, prefix + " QPW=" + password);
    }
    // Nothing that looks like an archive may be left behind by a failed save.
    void expectNoArchive()
    {
        std::string out;
        runCommand("ls -A " + quote(dir.path()), &out);
        EXPECT_EQ(out.find(".4ql"), std::string::npos) << out;
    }
};

TEST_F(CliJobErrors, InfoAndRestoreOfMissingOrForeignFiles)
{
    const std::string missing = dir.file("gone.4ql");
    expectVerdict(cli({"info", missing}), "gone.4ql");
    expectVerdict(job({"restore", missing}), "gone.4ql");

    writeFile(dir.file("junk.4ql"), "not a zip at all\n");
    expectVerdict(cli({"info", dir.file("junk.4ql")}), "junk.4ql");
    expectVerdict(job({"restore", dir.file("junk.4ql")}), "junk.4ql");

    // A zip archive, but not one of ours.
    writeFile(dir.file("a.txt"), "a");
    ASSERT_EQ(cli({"zip", "add", dir.file("plain.4ql"), dir.file("a.txt")}).status, 0);
    expectVerdict(cli({"info", dir.file("plain.4ql")}), "plain.4ql");
}

TEST_F(CliJobErrors, RelativeArchivePaths)
{
    const std::string here = "cd " + quote(dir.path()) + " &&";
    CliResult save = job({"save", "MYLIB.4ql", "--library", "DEMOLIB"}, "secret", here);
    ASSERT_EQ(save.status, 0) << save.err;
    CliResult info = cli({"info", "MYLIB.4ql"}, here);
    EXPECT_EQ(info.status, 0) << info.err;
}

TEST_F(CliJobErrors, RestoreRefusedSignOnRestoresNothing)
{
    ASSERT_EQ(job({"save", dir.file("demo.4ql"), "--library", "DEMOLIB"}).status, 0);
    CliResult r = job({"restore", dir.file("demo.4ql"), "--to-library", "COPYLIB", "--create-library"}, "guessed");
    expectOneLineFailure(r, "127.0.0.1");
    EXPECT_FALSE(fileExists(dir.path() + "/host/COPYLIB")) << "restored despite the refused sign-on";
}

// Failures before any host command: one line naming the cause and the host.
TEST_F(CliJobErrors, SaveToBadHostOrWithWrongPassword)
{
    expectOneLineFailure(
        job({"save", dir.file("x.4ql"), "--library", "DEMOLIB"}, "secret", "", "no-such-host.invalid"),
        "cannot connect to no-such-host.invalid port ");
    CliResult r = job({"save", dir.file("x.4ql"), "--library", "DEMOLIB"}, "guessed");
    expectOneLineFailure(r, "127.0.0.1");
    EXPECT_EQ(r.err.find("guessed"), std::string::npos) << r.err;
    expectNoArchive();
}

TEST_F(CliJobErrors, HostCommandFailureShowsTheJobLog)
{
    CliResult r = job({"save", dir.file("broken.4ql"), "--library", "BROKEN"});
    expectVerdict(r, "BROKEN");
    EXPECT_NE(r.err.find("CPF9899"), std::string::npos) << "no job log lines: " << r.err;
    expectNoArchive();
}

TEST_F(CliJobErrors, DiskFullDuringSave)
{
    CliResult r = job({"save", dir.file("full.4ql"), "--library", "DEMOLIB"}, "secret", "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(r.status, 1) << r.err;
    expectNoArchive();
}

} // namespace
