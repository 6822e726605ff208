// A stop by SIGINT or SIGTERM at every stage of a save and a restore: the
// program ends within two seconds, says in one line what it stopped, leaves
// no archive (not under its hidden name either), no temporary folder, and
// exits 128 + the signal.
#include "CliProcess.h"

#include "hostsim/HostSimProcess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

using namespace clitest;
using testsupport::TempDir;

namespace {

// Seeded objects large enough and a host slow enough that each stage lasts
// seconds: 96 MiB that do not compress, moved at 32 MB/s.
class CliStop : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tmp = new TempDir;
        host = new testsupport::HostSimProcess(
            tmp->file("root"), {"--seed-object", "BIG/DATA.FILE=96M,generated", "--seed-library", "SLOW",
                                "--transfer-rate", "32000000", "--slow-command", "^SAVLIB LIB\\(SLOW\\)",
                                "--slow-command", "^RSTLIB", "--log", tmp->file("host.log")});
        // The restore's archive, made by an unhurried host from the same objects.
        testsupport::HostSimProcess quick(tmp->file("root"));
        const CliResult r = runCli(tmp->path(), {"save", tmp->file("BIG.4ql"), "--library", "BIG", "--host",
                                                 "127.0.0.1", "--port", std::to_string(quick.port()), "--user",
                                                 "JOE", "--password-env", "QPW"},
                                   {"QPW=secret"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    static void TearDownTestSuite()
    {
        delete host;
        delete tmp;
    }
    static TempDir *tmp;
    static testsupport::HostSimProcess *host;
};
TempDir *CliStop::tmp = nullptr;
testsupport::HostSimProcess *CliStop::host = nullptr;

// A port that takes the connection and never greets: sign-on waits.
struct SilentPort {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    SilentPort()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(fd, 4);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~SilentPort() { ::close(fd); }
};

TEST_F(CliStop, EveryStageEndsAtOnceWithOneLineAndNothingLeft)
{
    SilentPort silent;
    const std::string h = "127.0.0.1";
    const std::string archive = tmp->file("BIG.4ql");
    struct Case {
        std::vector<std::string> args; // after the host options
        bool silentHost;
        const char *awaited; // the stdout line that shows the stage runs
        int delayMs;
        int sig;
        std::string line; // after "quellon-cli: "
    } cases[] = {
        {{"save", "OUT/S.4ql", "--library", "BIG"}, true, "", 300, SIGINT,
         "save of BIG from " + h + " stopped by SIGINT while signing on to " + h + "; no archive written"},
        {{"save", "OUT/S.4ql", "--library", "SLOW"}, false, "SAVLIB LIB(SLOW)", 300, SIGTERM,
         "save of SLOW from " + h + " stopped by SIGTERM while saving library SLOW on " + h +
             "; no archive written"},
        {{"save", "OUT/S.4ql", "--library", "BIG"}, false, "Now Downloading", 500, SIGINT,
         "save of BIG from " + h + " stopped by SIGINT while downloading the save file from " + h +
             "; no archive written"},
        // The zip and the unzip as stages of their own: the save file on disk.
        {{"save", "OUT/S.4ql", "--library", "BIG", "--no-stream"}, false, "Total size to be zipped", 300, SIGINT,
         "save of BIG from " + h + " stopped by SIGINT while zipping the save file into OUT/S.4ql" +
             "; no archive written"},
        {{"restore", archive, "--to-library", "COPY", "--no-stream"}, false, "Total size to be unzipped", 0, SIGINT,
         "restore of " + archive + " on " + h + " stopped by SIGINT while unzipping the save file from " +
             archive},
        {{"restore", archive, "--to-library", "COPY"}, false, "Now uploading", 500, SIGTERM,
         "restore of " + archive + " on " + h + " stopped by SIGTERM while uploading the save file to " + h},
        {{"restore", archive, "--to-library", "COPY"}, false, "RSTLIB", 300, SIGINT,
         "restore of " + archive + " on " + h + " stopped by SIGINT while restoring BIG into COPY on " + h},
    };
    for (auto &c : cases) {
        TempDir out, temp;
        if (const auto at = c.line.find("OUT/"); at != std::string::npos)
            c.line.replace(at, 3, out.path());
        std::vector<std::string> args;
        for (const auto &a : c.args)
            args.push_back(a.rfind("OUT/", 0) == 0 ? out.path() + a.substr(3) : a);
        for (const char *a : {"--host", "127.0.0.1", "--port", "", "--user", "JOE", "--password-env", "QPW"})
            args.push_back(*a ? a : std::to_string(c.silentHost ? silent.port : host->port()));
        CliProcess p(out.path(), args, {"QPW=secret", "TMPDIR=" + temp.path()});
        ASSERT_TRUE(p.waitFor(c.awaited)) << c.line << "\n" << p.out() << p.err();
        std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
        const auto sent = std::chrono::steady_clock::now();
        p.signal(c.sig);
        EXPECT_EQ(p.finish(), 128 + c.sig) << c.line;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        EXPECT_LT(took.count(), 2000) << c.line;
        EXPECT_EQ(p.err(), "quellon-cli: " + c.line + "\n");
        EXPECT_EQ(folderNames(out.path()), std::vector<std::string>{}) << c.line;
        EXPECT_EQ(folderNames(temp.path()), std::vector<std::string>{}) << c.line;
    }
    // Nothing was restored by a stopped restore.
    EXPECT_FALSE(std::filesystem::exists(tmp->file("root/COPY/DATA.FILE")));
}

} // namespace
