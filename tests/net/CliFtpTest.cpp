// quellon-cli ftp against the scripted server: stopped by a signal it removes
// its partial file, says what it stopped and exits 128 + the signal; a raw
// QUIT is a success.
#include "ScriptedFtpServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using nettest::ScriptedFtpServer;
using nettest::Session;
using testsupport::TempDir;

namespace
{

void signOn(Session &s)
{
    s.reply("220 QTCP at host.example.com.");
    s.expect("USER bob");
    s.reply("331 Enter password.");
    s.expect("PASS secret");
    s.reply("230 BOB logged on.");
}

struct CliRun {
    pid_t pid = -1;
    std::string errPath;
};

// Starts quellon-cli ftp against `port` with `args`; stdout and stderr go to
// files in `dir`.
CliRun start(const TempDir &dir, int port, const std::vector<std::string> &args)
{
    CliRun r;
    r.errPath = dir.file("stderr.txt");
    std::vector<std::string> argv = {std::string(QUELLON_BIN_DIR) + "/quellon-cli",
                                     "ftp",
                                     "--host",
                                     "127.0.0.1",
                                     "--port",
                                     std::to_string(port),
                                     "--user",
                                     "bob",
                                     "--password-env",
                                     "PW"};
    argv.insert(argv.end(), args.begin(), args.end());
    r.pid = ::fork();
    if (r.pid == 0) {
        ::setenv("PW", "secret", 1);
        int out = ::open(dir.file("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(r.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char *> p;
        for (auto &a : argv)
            p.push_back(a.data());
        p.push_back(nullptr);
        ::execv(p[0], p.data());
        ::_exit(127);
    }
    return r;
}

// The exit status, or -1 when the program is still running after 5 s (it is
// then killed).
int finish(const CliRun &r)
{
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(r.pid, &status, WNOHANG) == r.pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(r.pid, SIGKILL);
    ::waitpid(r.pid, nullptr, 0);
    return -1;
}

bool sawLine(ScriptedFtpServer &server, const std::string &prefix)
{
    for (const auto &l : server.received())
        if (l.rfind(prefix, 0) == 0)
            return true;
    return false;
}

} // namespace

TEST(CliFtp, SignalStopsTheCommandAndRemovesThePartialFile)
{
    struct Case {
        int signal;
        std::vector<std::string> args;
        const char *awaited; // the command the host is busy with when the signal comes
        const char *line;
    } cases[] = {
        {SIGINT, {"get", "savf", "OUT"}, "RETR savf", "quellon-cli: get savf: stopped by SIGINT\n"},
        {SIGTERM,
         {"quote", "RCMD SAVLIB LIB(BIG)"},
         "RCMD SAVLIB",
         "quellon-cli: quote RCMD SAVLIB LIB(BIG): stopped by SIGTERM\n"},
    };
    for (auto &c : cases) {
        ScriptedFtpServer server([](Session &s) {
            signOn(s);
            const std::string l = s.line();
            if (l == "TYPE I") {
                s.reply("200 ok");
                s.expect("SIZE savf");
                s.reply("213 1000000");
                s.expect("PORT ");
                s.reply("200 ok");
                s.expect("RETR savf");
                s.reply("150 Retrieving member SAVF in file SAVF in library QTEMP.");
                s.openData();
                s.dataSend(std::string(100000, 'x'));
            }
            s.silent(); // busy until the client hangs up
        });
        TempDir dir;
        TempDir out;
        for (auto &a : c.args)
            if (a == "OUT")
                a = out.file("savf");
        CliRun r = start(dir, server.port(), c.args);
        for (int i = 0; i < 500 && !sawLine(server, c.awaited); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::kill(r.pid, c.signal);
        EXPECT_EQ(finish(r), 128 + c.signal) << c.line;
        EXPECT_EQ(testsupport::readFile(r.errPath), c.line);
        std::vector<std::string> left;
        if (DIR *d = ::opendir(out.path().c_str())) {
            while (dirent *e = ::readdir(d))
                if (e->d_name[0] != '.' || (e->d_name[1] != '\0' && e->d_name[1] != '.'))
                    left.push_back(e->d_name);
            ::closedir(d);
        }
        EXPECT_TRUE(left.empty()) << left.size() << " files left, first " << (left.empty() ? "" : left[0]);
        server.join();
        // The host got no half command and no QUIT it would not answer.
        EXPECT_EQ(server.received().back().rfind(c.awaited, 0), 0u);
    }
}

TEST(CliFtp, RawQuitIsASuccess)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("QUIT");
        s.reply("221 QUIT subcommand received.");
    });
    TempDir dir;
    CliRun r = start(dir, server.port(), {"quote", "QUIT"});
    EXPECT_EQ(finish(r), 0) << testsupport::readFile(r.errPath);
    EXPECT_EQ(testsupport::readFile(dir.file("stdout.txt")), "221 QUIT subcommand received.\r\n");
    EXPECT_EQ(testsupport::readFile(r.errPath), "");
}
