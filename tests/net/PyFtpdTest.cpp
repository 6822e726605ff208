// The FTP client against a server nobody here wrote: pyftpdlib, active mode.
#include "net/NMFtp.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace
{

// Debian's pyftpdlib lives with the system interpreter, which may not be the
// first python3 on PATH.
std::string python()
{
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Pseudo-random bytes, eight at a time (splitmix64): big payloads in a blink.
std::string payload(size_t n, uint64_t seed)
{
    std::string s(n, '\0');
    uint64_t x = seed;
    for (size_t i = 0; i < n; i += 8) {
        uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        std::memcpy(&s[i], &z, std::min<size_t>(8, n - i));
    }
    return s;
}

// Whether the file holds exactly `bytes`, read in chunks.
bool fileHolds(const std::string &path, const std::string &bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    size_t off = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        size_t got = static_cast<size_t>(in.gcount());
        if (off + got > bytes.size() || std::memcmp(buf.data(), bytes.data() + off, got) != 0)
            return false;
        off += got;
    }
    return off == bytes.size();
}

class PyFtpd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const std::string py = python();
        const std::string script = std::string(QUELLON_SOURCE_DIR) + "/tests/net/pyftpd_server.py";
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execlp(py.c_str(), py.c_str(), script.c_str(), root_.path().c_str(), "bob", "s3cret", nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        FILE *f = ::fdopen(out[0], "r");
        char line[64] = {};
        bool got = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        ASSERT_TRUE(got && std::sscanf(line, "PORT %d", &port_) == 1)
            << "pyftpdlib did not start (is python3-pyftpdlib installed?)";
        ftp_.Host = "127.0.0.1";
        ftp_.Port = port_;
        ftp_.UserID = "bob";
        ftp_.Password = "s3cret";
        ftp_.OnSuccess = [this](TCmdType t) { successes_.push_back(t); };
    }

    void TearDown() override
    {
        if (ftp_.Connected)
            ftp_.Disconnect();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Uploads `bytes`, checks the server's copy, downloads it again and
    // checks that.
    void roundTrip(const std::string &bytes)
    {
        TempDir local;
        writeFile(local.file("up.bin"), bytes);
        ftp_.Upload(local.file("up.bin"), "stored.bin");
        EXPECT_TRUE(fileHolds(root_.file("stored.bin"), bytes)) << "upload differs";
        ftp_.Download("stored.bin", local.file("down.bin"));
        EXPECT_TRUE(fileHolds(local.file("down.bin"), bytes)) << "download differs";
        EXPECT_EQ(ftp_.BytesTotal, static_cast<int64_t>(bytes.size()));
    }

    TempDir root_;
    pid_t pid_ = -1;
    int port_ = 0;
    TNMFTP ftp_;
    std::vector<TCmdType> successes_;
};

} // namespace

TEST_F(PyFtpd, SignOnTypesAndSignOff)
{
    bool signedOn = false;
    ftp_.OnConnect = [&](TPowersock *) { signedOn = true; };
    ftp_.Connect();
    EXPECT_TRUE(signedOn);
    ftp_.SetTransferType(1);
    ftp_.SetTransferType(2);
    ftp_.SendCommand("PWD");
    EXPECT_EQ(successes_, (std::vector<TCmdType>{ctOtherCommand, ctOtherCommand, ctPrintDirectory}));
    ftp_.Disconnect();
    EXPECT_FALSE(ftp_.Connected);
}

TEST_F(PyFtpd, WrongPasswordIsRefused)
{
    ftp_.Password = "wrong";
    try {
        ftp_.Connect();
        FAIL() << "signed on with a wrong password";
    } catch (const FTPException &e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 4), "530 ");
    }
    EXPECT_FALSE(ftp_.Connected);
}

TEST_F(PyFtpd, BinaryTransfersAreByteExact)
{
    ftp_.Connect();
    ftp_.SetTransferType(2);
    for (size_t size : {size_t(0), size_t(1), size_t(1024 * 1024 + 7), size_t(20 * 1024 * 1024 + 3)}) {
        SCOPED_TRACE(size);
        roundTrip(payload(size, size));
    }
}

TEST_F(PyFtpd, AsciiTransfersConvertLineEnds)
{
    TempDir local;
    ftp_.Connect();
    ftp_.SetTransferType(1);
    writeFile(local.file("crlf.txt"), "CPF2105\r\nline two\r\n");
    ftp_.Upload(local.file("crlf.txt"), "joblog.txt");
    EXPECT_EQ(readFile(root_.file("joblog.txt")), "CPF2105\nline two\n");
    ftp_.Download("joblog.txt", local.file("back.txt"));
    EXPECT_EQ(readFile(local.file("back.txt")), "CPF2105\r\nline two\r\n");
}

TEST_F(PyFtpd, MissingRemoteFileFailsWithoutLocalFile)
{
    TempDir local;
    ftp_.Connect();
    EXPECT_THROW(ftp_.Download("nope.bin", local.file("nope.bin")), FTPException);
    EXPECT_FALSE(testsupport::fileExists(local.file("nope.bin")));
    ftp_.SendCommand("NOOP"); // still in step
}

TEST_F(PyFtpd, HundredMebibytes)
{
    ftp_.Connect();
    ftp_.SetTransferType(2);
    roundTrip(payload(100 * 1024 * 1024, 100));
}

// quellon-cli ftp on the same server: exit statuses and nothing claimed that
// did not happen.
TEST_F(PyFtpd, CommandLine)
{
    TempDir local;
    const std::string bytes = payload(300000, 9);
    writeFile(local.file("a.bin"), bytes);
    const std::string base = "PW=s3cret " + std::string(QUELLON_BIN_DIR) +
                             "/quellon-cli ftp --host 127.0.0.1 --port " + std::to_string(port_) +
                             " --user bob --password-env PW ";
    std::string out;
    EXPECT_EQ(testsupport::runCommand(base + "put " + local.file("a.bin") + " a.bin --progress", &out), 0)
        << out;
    EXPECT_TRUE(fileHolds(root_.file("a.bin"), bytes));
    EXPECT_NE(out.find("100% 293.0 KiB of 293.0 KiB"), std::string::npos) << out;
    // pyftpdlib announces no size in its 150 reply; SIZE gives it.
    EXPECT_EQ(testsupport::runCommand(base + "get a.bin " + local.file("b.bin") + " --progress", &out), 0)
        << out;
    EXPECT_TRUE(fileHolds(local.file("b.bin"), bytes));
    EXPECT_NE(out.find("100% 293.0 KiB of 293.0 KiB"), std::string::npos) << out;
    EXPECT_EQ(testsupport::runCommand(base + "quote PWD", &out), 0) << out;
    EXPECT_EQ(out.substr(0, 4), "257 ");

    EXPECT_EQ(testsupport::runCommand(base + "get missing.bin " + local.file("m.bin"), &out), 1);
    EXPECT_EQ(out, "quellon-cli: get missing.bin: 550 No such file or directory.\n");
    EXPECT_EQ(testsupport::runCommand("PW=bad " + base.substr(base.find(' ') + 1) + "quote NOOP", &out), 1);
    EXPECT_NE(out.find(": 530 "), std::string::npos) << out;
    EXPECT_EQ(
        testsupport::runCommand(std::string(QUELLON_BIN_DIR) + "/quellon-cli ftp --host x get a b", &out), 2);
}
