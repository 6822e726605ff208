// The save file streamed between the transfer and the archive: no copy of
// it on disk while a save or a restore runs, the same objects at the end,
// and every way a stream can break (a cut or broken-off download, a full
// disk under the archive, a stop) ends with no archive and no temporary file.
#include "CliProcess.h"

#include "hostsim/HostSimProcess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace clitest;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace
{

std::vector<std::string> withHost(std::vector<std::string> args, int port)
{
    for (const std::string a :
         {"--host", "127.0.0.1", "--port", "", "--user", "JOE", "--password-env", "QPW"})
        args.push_back(a.empty() ? std::to_string(port) : a);
    return args;
}

uintmax_t bytesIn(const std::string &folder)
{
    uintmax_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec))
            n += it->file_size(ec);
    return n;
}

// Runs the CLI and samples what its temporary folder holds until it ends.
struct Sampled {
    int status;
    std::string out, err;
    uintmax_t peakTemp;
};
Sampled runSampled(const std::string &dir, const std::string &temp, const std::vector<std::string> &args)
{
    CliProcess p(dir, args, {"QPW=secret", "TMPDIR=" + temp});
    uintmax_t peak = 0;
    int status;
    while ((status = p.poll()) == -1) {
        peak = std::max(peak, bytesIn(temp));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {status, p.out(), p.err(), peak};
}

// 24 MiB that do not compress, at 12 MB/s: two seconds of transfer each way.
constexpr uintmax_t kSaveFileBytes = 24u << 20;

TEST(CliStream, SaveAndRestoreKeepNoCopyOfTheSaveFileOnDisk)
{
    TempDir tmp, temp;
    testsupport::HostSimProcess host(tmp.file("root"),
                                     {"--seed-object", "BIG/DATA.FILE=24M,generated", "--transfer-rate",
                                      "12000000", "--log", tmp.file("host.log")});
    const std::string archive = tmp.file("BIG.4ql");
    const Sampled save =
        runSampled(tmp.path(), temp.path(), withHost({"save", archive, "--library", "BIG"}, host.port()));
    ASSERT_EQ(save.status, 0) << save.out << save.err;
    EXPECT_LT(save.peakTemp, kSaveFileBytes / 4) << save.out;
    EXPECT_GT(fs::file_size(archive), kSaveFileBytes);

    const Sampled restore =
        runSampled(tmp.path(), temp.path(),
                   withHost({"restore", archive, "--to-library", "COPY", "--create-library"}, host.port()));
    ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_LT(restore.peakTemp, kSaveFileBytes / 4) << restore.out;
    EXPECT_EQ(readFile(tmp.file("root/COPY/DATA.FILE")), readFile(tmp.file("root/BIG/DATA.FILE")));
    EXPECT_EQ(folderNames(temp.path()), std::vector<std::string>{});

    // The same save through a file on disk gives the same members.
    const std::string copy = tmp.file("copy.4ql");
    const CliResult plain = runCli(
        tmp.path(), withHost({"save", copy, "--library", "BIG", "--no-stream"}, host.port()), {"QPW=secret"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const CliResult a = runCli(tmp.path(), {"zip", "list", archive});
    const CliResult b = runCli(tmp.path(), {"zip", "list", copy});
    EXPECT_EQ(a.out.size(), b.out.size()) << a.out << b.out;
}

TEST(CliStream, ABrokenStreamLeavesNoArchiveAndNoTemporaryFile)
{
    struct Case {
        const char *what;
        std::vector<std::string> hostArgs;
        std::vector<std::string> env; // for the CLI
        std::string says;             // on stdout or stderr
    } cases[] = {
        {"download cut short, called complete", {"--cut-download-after", "3145728"}, {}, "of 25"},
        {"host breaks the download off", {"--abort-transfer-after", "3145728"}, {}, "426"},
        // The file size limit stands in for a disk that fills under the archive.
        {"disk full mid-zip", {}, {"QUELLON_TEST_FSIZE=4194304"}, "File too large"},
    };
    for (const Case &c : cases) {
        TempDir tmp, temp;
        std::vector<std::string> hostArgs{"--seed-object", "BIG/DATA.FILE=24M,generated"};
        hostArgs.insert(hostArgs.end(), c.hostArgs.begin(), c.hostArgs.end());
        testsupport::HostSimProcess host(tmp.file("root"), hostArgs);
        std::vector<std::string> env{"QPW=secret", "TMPDIR=" + temp.path()};
        env.insert(env.end(), c.env.begin(), c.env.end());
        const CliResult r =
            runCli(tmp.path(), withHost({"save", tmp.file("BIG.4ql"), "--library", "BIG"}, host.port()), env);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(folderNames(tmp.path()), std::vector<std::string>{"root"}) << c.what;
        EXPECT_EQ(folderNames(temp.path()), std::vector<std::string>{}) << c.what;
    }
}

TEST(CliStream, ADamagedSaveFileMemberEndsTheUploadAndRestoresNothing)
{
    TempDir tmp;
    testsupport::HostSimProcess host(
        tmp.file("root"), {"--seed-object", "BIG/DATA.FILE=6M,generated", "--log", tmp.file("host.log")});
    const std::string archive = tmp.file("BIG.4ql");
    ASSERT_EQ(runCli(tmp.path(), withHost({"save", archive, "--library", "BIG"}, host.port()), {"QPW=secret"})
                  .status,
              0);
    std::string bytes = readFile(archive);
    bytes[bytes.size() / 2] ^= 0x55;
    testsupport::writeFile(archive, bytes);
    const CliResult r = runCli(
        tmp.path(), withHost({"restore", archive, "--to-library", "COPY", "--create-library"}, host.port()),
        {"QPW=secret"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("did not inflate whole"), std::string::npos) << r.err;
    const std::string log = readFile(tmp.file("host.log"));
    EXPECT_NE(log.find("RCMD clrsavf qtemp/savf", log.find("STOR ")), std::string::npos) << log;
    EXPECT_EQ(log.find("RSTLIB"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(tmp.file("root/COPY")));
}

} // namespace
