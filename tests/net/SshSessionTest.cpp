// The SSH client against OpenSSH's sshd, whose forced command is the
// emulated host: host key checks, sign-on by key, commands with their exit
// status and messages, save files streamed both ways, time-outs.

#include "net/SshSession.h"
#include "hostsim/SshPasswordServer.h"
#include "hostsim/SshdProcess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace
{

class SshSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The developer's agent holds keys this host does not know.
        ::unsetenv("SSH_AUTH_SOCK");
        ::mkdir(root_.file("QGPL").c_str(), 0755);
        sshd_ = std::make_unique<SshdProcess>(dir_.path(), root_.path(),
                                              std::vector<std::string>{"--seed-library", "MYLIB"});
        if (!sshd_->problem().empty())
            GTEST_SKIP() << sshd_->problem();
    }

    void setUp(TSshSession &s, TCertAnswer answer = TCertAnswer::AcceptAndRemember)
    {
        s.Host = "127.0.0.1";
        s.Port = sshd_->port();
        s.UserID = sshd_->user();
        s.SshDir = sshd_->clientSshDir();
        s.ReadConfig = false;
        s.TimeOutSeconds = 10;
        s.OnUnknownHostKey = [this, answer](const std::string &fp, TCertAnswer &a) {
            asked_.push_back(fp);
            a = answer;
        };
    }

    TempDir dir_, root_, local_;
    std::unique_ptr<SshdProcess> sshd_;
    std::vector<std::string> asked_;
};

TEST_F(SshSessionTest, UnknownKeyAskedOnceThenTrustedAndCommandsReportTheHostsMessages)
{
    TSshSession s;
    setUp(s);
    s.Connect();
    ASSERT_EQ(asked_, std::vector<std::string>{sshd_->hostKeyFingerprint()});
    EXPECT_EQ(s.AuthMethod(), "publickey");
    EXPECT_NE(readFile(sshd_->clientSshDir() + "/known_hosts").find("[127.0.0.1]:"), std::string::npos);

    const TSshResult ok = s.Exec("system " + TSshSession::ShellQuote("CRTSAVF FILE(QGPL/T1) TEXT('it''s')"));
    EXPECT_EQ(ok.ExitStatus, 0);
    EXPECT_EQ(ok.Out, "CPC7301: File T1 created in library QGPL.\n");
    const TSshResult bad =
        s.Exec("system " + TSshSession::ShellQuote("SAVLIB LIB(NOPE) DEV(*SAVF) SAVF(QGPL/T1)"));
    EXPECT_EQ(bad.ExitStatus, 255);
    EXPECT_EQ(bad.Err, "CPF3781: Library NOPE not found.\n");
    // Each command is a job of its own: QTEMP does not carry over.
    EXPECT_EQ(s.Exec("system 'CRTSAVF QTEMP/S'").ExitStatus, 0);
    EXPECT_NE(s.Exec("system 'CLRSAVF QTEMP/S'").ExitStatus, 0);
    s.Disconnect();

    TSshSession again;
    setUp(again);
    again.Connect();
    EXPECT_EQ(asked_.size(), 1u) << "a trusted key is not asked about again";
}

TEST_F(SshSessionTest, SaveFileStreamsOutAndInByteExact)
{
    TSshSession s;
    setUp(s);
    s.Connect();
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/OUT'").ExitStatus, 0);
    ASSERT_EQ(s.Exec("system 'SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QGPL/OUT)'").ExitStatus, 0);
    int64_t lastDone = 0;
    const TSshResult down = s.Download("cat /QSYS.LIB/QGPL.LIB/OUT.FILE", local_.file("out.savf"), 0,
                                       [&](int64_t done, int64_t) { lastDone = done; });
    ASSERT_EQ(down.ExitStatus, 0) << down.Err;
    const std::string saved = readFile(root_.file("QGPL/OUT.FILE"));
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(readFile(local_.file("out.savf")), saved);
    EXPECT_EQ(lastDone, static_cast<int64_t>(saved.size()));

    // Several channel windows' worth, whole 528-byte records.
    const std::string big = randomBytes(528 * 9000, 7);
    writeFile(local_.file("big.savf"), big);
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/IN'").ExitStatus, 0);
    const TSshResult up = s.Upload(local_.file("big.savf"), "cat > /QSYS.LIB/QGPL.LIB/IN.FILE");
    ASSERT_EQ(up.ExitStatus, 0) << up.Err;
    EXPECT_EQ(readFile(root_.file("QGPL/IN.FILE")), big);

    // A stream that is no whole save file is refused and leaves the old one.
    writeFile(local_.file("odd.savf"), std::string(1000, 'x'));
    const TSshResult odd = s.Upload(local_.file("odd.savf"), "cat > /QSYS.LIB/QGPL.LIB/IN.FILE");
    EXPECT_NE(odd.ExitStatus, 0);
    EXPECT_EQ(readFile(root_.file("QGPL/IN.FILE")), big);
    EXPECT_NE(s.Download("cat /QSYS.LIB/QGPL.LIB/MISSING.FILE", local_.file("m")).ExitStatus, 0);
    // A command that refuses the upload at once: its message, not a broken
    // session, and the session goes on.
    const TSshResult refused = s.Upload(local_.file("big.savf"), "cat > /QSYS.LIB/QGPL.LIB/MISSING.FILE");
    EXPECT_NE(refused.ExitStatus, 0);
    EXPECT_NE(refused.Err.find("Cannot open /QSYS.LIB/QGPL.LIB/MISSING.FILE"), std::string::npos)
        << refused.Err;
    EXPECT_EQ(s.Exec("system 'DLTF QGPL/IN'").ExitStatus, 0);
}

TEST_F(SshSessionTest, ChangedKeyRefusedBeforeSignOnAndRejectedKeyNotStored)
{
    {
        TSshSession first;
        setUp(first);
        first.Connect();
    }
    const std::string oldKey = sshd_->hostKeyFingerprint();
    ASSERT_TRUE(sshd_->replaceHostKey()) << sshd_->problem();
    TSshSession s;
    setUp(s);
    s.Password = "never-sent";
    try {
        s.Connect();
        FAIL() << "a changed host key was accepted";
    } catch (const EHostKeyChanged &e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(oldKey), std::string::npos) << what;
        EXPECT_NE(what.find(sshd_->hostKeyFingerprint()), std::string::npos) << what;
    }
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(asked_.size(), 1u);
    // The host saw no sign-on attempt at all.
    EXPECT_EQ(sshd_->log().find("Accepted"), std::string::npos);
    EXPECT_EQ(sshd_->log().find("Failed"), std::string::npos);

    // Cancel on an unknown key: nothing is signed on, nothing stored.
    writeFile(sshd_->clientSshDir() + "/known_hosts", "");
    TSshSession refused;
    setUp(refused, TCertAnswer::Reject);
    EXPECT_THROW(refused.Connect(), EHostKeyRejected);
    EXPECT_EQ(readFile(sshd_->clientSshDir() + "/known_hosts"), "");
}

TEST_F(SshSessionTest, WrongKeyFailsSignOnAndSilentHostTimesOut)
{
    TSshSession s;
    setUp(s);
    const std::string key = sshd_->clientSshDir() + "/id_ed25519";
    ASSERT_EQ(runCommand("rm -f " + key + " " + key + ".pub && ssh-keygen -q -t ed25519 -N '' -f " + key), 0);
    EXPECT_THROW(s.Connect(), ESshAuthFailed);

    // A port that accepts and never says a word.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    TSshSession silent;
    setUp(silent);
    silent.Port = ntohs(a.sin_port);
    silent.TimeOutSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(silent.Connect(), ESshError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));

    // Without a time-out: overdue is raised, and stopping there ends the
    // step with the reason given.
    TSshSession waiting;
    setUp(waiting);
    waiting.Port = ntohs(a.sin_port);
    waiting.TimeOutSeconds = 0;
    waiting.OverdueAfterMs = 200;
    std::vector<bool> overdue;
    waiting.OnOverdue = [&](bool o) {
        overdue.push_back(o);
        waiting.Abort("stopped by the operator");
    };
    try {
        waiting.Connect();
        ADD_FAILURE() << "a silent host was waited for without end";
    } catch (const EAbortError &e) {
        EXPECT_EQ(std::string(e.what()), "stopped by the operator");
    }
    EXPECT_EQ(overdue, std::vector<bool>{true});
    EXPECT_FALSE(waiting.Connected());
    ::close(fd);
}

// sshd would check passwords against the system's accounts; a libssh
// stand-in takes one user and password instead.
TEST(SshPasswordTest, PasswordSignOnWhenNoKeyIsTakenAndAWrongOneRefused)
{
    ::unsetenv("SSH_AUTH_SOCK");
    TempDir root, client;
    SshPasswordServer server(root.path(), "JOE", "s3cret pw");
    ASSERT_EQ(server.problem(), "");
    const auto connect = [&](const std::string &password) {
        auto s = std::make_unique<TSshSession>();
        s->Host = "127.0.0.1";
        s->Port = server.port();
        s->UserID = "JOE";
        s->Password = password;
        s->SshDir = client.path(); // no keys at all
        s->ReadConfig = false;
        s->TimeOutSeconds = 10;
        s->OnUnknownHostKey = [](const std::string &, TCertAnswer &a) { a = TCertAnswer::AcceptAndRemember; };
        s->Connect();
        return s;
    };
    auto s = connect("s3cret pw");
    EXPECT_EQ(s->AuthMethod(), "password");
    const TSshResult r = s->Exec("system 'CRTLIB LIB(NEWLIB)'");
    EXPECT_EQ(r.ExitStatus, 0);
    EXPECT_EQ(r.Out, "CPC2102: Library NEWLIB created.\n");
    s->Disconnect();
    EXPECT_NE(readFile(client.file("known_hosts")).find("ssh-ed25519"), std::string::npos);

    EXPECT_THROW(connect("wrong"), ESshAuthFailed);
    EXPECT_GT(server.refusals(), 0);
}

} // namespace
