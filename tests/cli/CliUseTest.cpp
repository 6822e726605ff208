// quellon-cli as operators meet it: quiet in cron, the password asked at a
// terminal, usage errors in a line, refusals before sign-on, the --json keys
// scripts are built on. (Connection failures and ftp quote's reply lines:
// tests/packaging/CliErrorsTest.cpp.)
#include "CliProcess.h"

#include "hostsim/HostSimProcess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace clitest;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

class CliUse : public ::testing::Test {
protected:
    void SetUp() override
    {
        host = std::make_unique<testsupport::HostSimProcess>(
            tmp.file("root"), std::vector<std::string>{"--seed-library", "MYLIB", "--log", tmp.file("host.log")});
        ASSERT_TRUE(host->running());
    }
    std::vector<std::string> hostArgs(std::vector<std::string> args, bool password = true) const
    {
        for (const std::string &a : {std::string("--host"), std::string("127.0.0.1"), std::string("--port"),
                                     std::to_string(host->port()), std::string("--user"), std::string("JOE")})
            args.push_back(a);
        if (password) {
            args.push_back("--password-env");
            args.push_back("QPW");
        }
        return args;
    }
    CliResult run(const std::vector<std::string> &args) const { return runCli(tmp.path(), args, {"QPW=secret"}); }
    TempDir tmp;
    std::unique_ptr<testsupport::HostSimProcess> host;
};

std::vector<std::string> jsonKeys(const std::string &json)
{
    // Top-level keys only: the members' objects come after "members".
    std::vector<std::string> keys;
    const std::size_t members = json.find("\"members\": [");
    const std::string top = members == std::string::npos ? json : json.substr(0, members + 12);
    const std::regex key("\"([A-Za-z]+)\": ");
    for (auto it = std::sregex_iterator(top.begin(), top.end(), key); it != std::sregex_iterator(); ++it)
        keys.push_back((*it)[1]);
    return keys;
}

TEST_F(CliUse, QuietPrintsNothingOnSuccessAndTheFailureOnStderr)
{
    CliResult ok = run(hostArgs({"save", tmp.file("q.4ql"), "--library", "MYLIB", "-q"}));
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out + ok.err, "");
    CliResult bad = run(hostArgs({"save", tmp.file("n.4ql"), "--library", "NOLIB", "--quiet"}));
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("quellon-cli: save of NOLIB from 127.0.0.1 failed"), std::string::npos) << bad.err;
    // Without -q the activity goes to stdout and nothing to stderr.
    CliResult loud = run(hostArgs({"restore", tmp.file("q.4ql"), "--to-library", "COPY"}));
    EXPECT_EQ(loud.status, 0) << loud.err;
    EXPECT_EQ(loud.err, "");
    EXPECT_NE(loud.out.find("Restored MYLIB into COPY on 127.0.0.1\n"), std::string::npos) << loud.out;
}

TEST_F(CliUse, JsonKeysAreTheDocumentedOnes)
{
    CliResult save = run(hostArgs({"save", tmp.file("o.4ql"), "--library", "MYLIB", "--object", "hello", "--type",
                                   "*pgm", "--json"}));
    ASSERT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(jsonKeys(save.out),
              (std::vector<std::string>{"command", "ok", "exitStatus", "archive", "host", "library", "object",
                                        "objectType", "startTime", "endTime", "stopped", "error", "warnings"}));
    EXPECT_NE(save.out.find("\"object\": \"HELLO\", \"objectType\": \"*PGM\""), std::string::npos) << save.out;

    CliResult info = run({"info", "--json", tmp.file("o.4ql")});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(jsonKeys(info.out),
              (std::vector<std::string>{"kind", "file", "formatVersion", "saveType", "savedLibrary", "savedObject",
                                        "savedObjectType", "saveTime", "saveTimeText", "savedRelease", "ownerName",
                                        "downloadAddress", "targetCommand", "defaultTargetHost",
                                        "defaultUserProfile", "defaultRestoreLibrary", "posterFile", "posterLink",
                                        "posterStretch", "saveFileMember", "checkValueMatches", "members"}));
    EXPECT_NE(info.out.find("\"saveType\": \"object\", \"savedLibrary\": \"MYLIB\", \"savedObject\": \"HELLO\", "
                            "\"savedObjectType\": \"*PGM\""),
              std::string::npos)
        << info.out;
    EXPECT_TRUE(std::regex_search(info.out, std::regex("\"saveTime\": \"20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-9:]{8}"
                                                       "[+-][0-9]{2}:[0-9]{2}\"")))
        << info.out;

    CliResult failed = run(hostArgs({"restore", tmp.file("none.4ql"), "--json"}));
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.out.find("\"ok\": false, \"exitStatus\": 1"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("\"error\": \"File '" + tmp.file("none.4ql") + "' does not exist\""),
              std::string::npos)
        << failed.out;
}

TEST_F(CliUse, RefusalsComeBeforeSignOn)
{
    writeFile(tmp.file("old.4ql"), "keep");
    ::mkdir(tmp.file("folder").c_str(), 0755);
    const std::string archive = tmp.file("good.4ql");
    ASSERT_EQ(run(hostArgs({"save", archive, "--library", "MYLIB", "-q"})).status, 0);
    std::string bytes = readFile(archive);
    bytes[bytes.size() / 2] ^= 0x55; // inside the save file's data
    writeFile(tmp.file("bad.4ql"), bytes);
    writeFile(tmp.file("cut.4ql"), readFile(archive).substr(0, 3000));
    writeFile(tmp.file("host.log"), "");
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"save", tmp.file("folder"), "--library", "MYLIB"}, "is a folder"},
        {{"save", tmp.file("nowhere/x.4ql"), "--library", "MYLIB"}, "does not exist"},
        {{"save", tmp.file("old.4ql"), "--library", "MYLIB"}, "exists; --replace overwrites it"},
        {{"restore", tmp.file("bad.4ql"), "--no-stream"}, "cannot be read whole"},
        {{"restore", tmp.file("cut.4ql")}, "not a valid Quellon file"},
    };
    for (const auto &c : cases) {
        CliResult r = run(hostArgs(c.args));
        EXPECT_EQ(r.status, 1) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(readFile(tmp.file("host.log")), "") << "nobody signed on";
    EXPECT_EQ(readFile(tmp.file("old.4ql")), "keep");
    CliResult info = run({"info", tmp.file("bad.4ql")});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.err.find("CRC error"), std::string::npos) << info.err;
}

TEST_F(CliUse, PasswordSources)
{
    writeFile(tmp.file("pw"), "secret\n");
    const auto fromFile = [&](const char *name) {
        return run(hostArgs({"save", tmp.file(name), "--library", "MYLIB", "-q", "--password-file", tmp.file("pw")},
                            false));
    };
    ::chmod(tmp.file("pw").c_str(), 0644);
    CliResult wide = fromFile("a.4ql");
    EXPECT_EQ(wide.status, 0) << wide.err;
    EXPECT_EQ(wide.err, "quellon-cli: warning: password file " + tmp.file("pw") +
                            " can be read by other users (mode 0644); chmod 600 " + tmp.file("pw") + "\n");
    ::chmod(tmp.file("pw").c_str(), 0600);
    EXPECT_EQ(fromFile("b.4ql").err, "");
    std::string out;
    EXPECT_EQ(testsupport::runCommand("echo secret | " + std::string(QUELLON_BIN_DIR) + "/quellon-cli save " +
                                          tmp.file("c.4ql") + " --library MYLIB -q --host 127.0.0.1 --port " +
                                          std::to_string(host->port()) + " --user JOE --password-file -",
                                      &out),
              0)
        << out;
    CliResult both = run(hostArgs({"save", tmp.file("d.4ql"), "--library", "MYLIB", "--password-file", "-"}));
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.err, "quellon-cli: save: --password-env and --password-file exclude each other; give one\n"
                        "Try 'quellon-cli save --help'.\n");
    // No terminal to ask at (the test's runs have none) and no option.
    CliResult none = run(hostArgs({"save", tmp.file("e.4ql"), "--library", "MYLIB"}, false));
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no password given"), std::string::npos) << none.err;
}

// Reads what the terminal shows until it has `text` (or 10 s pass).
void readUntil(int fd, std::string &seen, const std::string &text)
{
    char buf[512];
    for (int i = 0; i < 1000 && seen.find(text) == std::string::npos; ++i) {
        pollfd p{fd, POLLIN, 0};
        ssize_t n = 0;
        if (::poll(&p, 1, 10) > 0 && (n = ::read(fd, buf, sizeof buf)) <= 0)
            break;
        seen.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
}

TEST_F(CliUse, PasswordIsAskedOnceAtTheTerminalWithoutEcho)
{
    int fd = -1;
    const std::string port = std::to_string(host->port()), archive = tmp.file("tty.4ql");
    const pid_t pid = ::forkpty(&fd, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string cli = std::string(QUELLON_BIN_DIR) + "/quellon-cli";
        ::execl(cli.c_str(), "quellon-cli", "save", archive.c_str(), "--library", "MYLIB", "-q", "--host",
                "127.0.0.1", "--port", port.c_str(), "--user", "JOE", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    readUntil(fd, seen, "Password for JOE on 127.0.0.1: ");
    EXPECT_EQ(seen, "Password for JOE on 127.0.0.1: ");
    ASSERT_EQ(::write(fd, "secret\n", 7), 7);
    readUntil(fd, seen, "never");
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fd);
    EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
    EXPECT_EQ(seen.find("secret"), std::string::npos) << "echoed: " << seen;
    EXPECT_TRUE(fileExists(archive)) << seen;
}

TEST_F(CliUse, UsageErrorsAreOneLineAndAHint)
{
    struct Case {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {hostArgs({"save", "x.4ql", "--library", "L", "--port", "99999"}),
         "quellon-cli: save: --port: Value 99999 not in range 1 to 65535\nTry 'quellon-cli save --help'.\n"},
        {{"restore", "x.4ql"}, "quellon-cli: restore: --host is required\nTry 'quellon-cli restore --help'.\n"},
        {{"frob"}, "quellon-cli: unknown command 'frob' (commands: save, restore, info, zip, ftp)\n"
                   "Try 'quellon-cli --help'.\n"},
        {{"zip", "list"}, "quellon-cli: zip: zip list takes exactly one ARCHIVE\nTry 'quellon-cli zip --help'.\n"},
    };
    for (const auto &c : cases) {
        CliResult r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.line;
        EXPECT_EQ(r.err, c.line);
    }
    CliResult zip = run({"zip"});
    EXPECT_EQ(zip.status, 2);
    for (const char *cmd : {"list", "add", "extract", "delete", "comment", "sfx", "unsfx", "rename", "copy", "span",
                            "join"})
        EXPECT_NE(zip.err.find(std::string("quellon-cli zip ") + cmd + " "), std::string::npos) << cmd;
    EXPECT_EQ(run({"-V"}).out, "quellon-cli 1.3.1\n");
    // Help: the same text either way, 80 columns, the same exit statuses.
    for (const char *cmd : {"save", "restore", "info", "ftp", "zip"}) {
        CliResult help = run({"help", cmd});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out, run({cmd, "--help"}).out);
        EXPECT_NE(help.out.find("130 stopped by SIGINT, 143 stopped by SIGTERM."), std::string::npos) << cmd;
        std::istringstream lines(help.out);
        for (std::string l; std::getline(lines, l);)
            EXPECT_LE(l.size(), 80u) << cmd << ": " << l;
    }
}

TEST_F(CliUse, ZipAddRefusesTwoFilesWithOneMemberName)
{
    std::filesystem::create_directories(tmp.file("dup/x"));
    std::filesystem::create_directories(tmp.file("dup/y"));
    writeFile(tmp.file("dup/x/same.txt"), "one");
    writeFile(tmp.file("dup/y/same.txt"), "two");
    CliResult r = runCli(tmp.path(), {"zip", "add", tmp.file("d.zip"), tmp.file("dup"), "--recurse"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quellon-cli: " + tmp.file("dup/x/same.txt") + " and " + tmp.file("dup/y/same.txt") +
                         " would both be stored as same.txt; nothing added to " + tmp.file("d.zip") +
                         " (--dirnames keeps their folders)\n");
    EXPECT_FALSE(fileExists(tmp.file("d.zip")));
    // With their folders they are two members.
    EXPECT_EQ(runCli(tmp.path(), {"zip", "add", tmp.file("d.zip"), tmp.file("dup"), "--recurse", "--dirnames"}).status,
              0);
}

} // namespace
