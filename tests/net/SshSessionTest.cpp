// The SSH client against OpenSSH's sshd, whose forced command is the
// emulated host: host key checks as OpenSSH makes them, sign-on, commands
// with their exit status and messages, save files by SFTP both ways (and
// against OpenSSH's own sftp-server), waits and time-outs.

#include "net/SshSession.h"
#include "net/KnownHosts.h"
#include "hostsim/SshPasswordServer.h"
#include "hostsim/SshdProcess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
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
        sshd_ = std::make_unique<SshdProcess>(dir_.path(), root_.path(), hostsimArgs());
        if (!sshd_->problem().empty())
            GTEST_SKIP() << sshd_->problem();
    }

    virtual std::vector<std::string> hostsimArgs() { return {"--seed-library", "MYLIB"}; }

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

TEST_F(SshSessionTest, SaveFilesMoveBySftpByteExactAndTheHostsRefusalsShow)
{
    TSshSession s;
    setUp(s);
    s.Connect();
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/OUT'").ExitStatus, 0);
    ASSERT_EQ(s.Exec("system 'SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QGPL/OUT)'").ExitStatus, 0);
    std::vector<std::pair<int64_t, int64_t>> seen;
    const TSftpResult down = s.GetFile("/QSYS.LIB/QGPL.LIB/OUT.FILE", local_.file("out.savf"),
                                       [&](int64_t done, int64_t total) { seen.emplace_back(done, total); });
    ASSERT_TRUE(down.Ok) << down.Error;
    const std::string saved = readFile(root_.file("QGPL/OUT.FILE"));
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(readFile(local_.file("out.savf")), saved);
    EXPECT_EQ(down.Size, static_cast<int64_t>(saved.size()));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), std::make_pair(int64_t{0}, down.Size)) << "the total is known from the start";
    EXPECT_EQ(seen.back(), std::make_pair(down.Size, down.Size));

    // Many reads in flight, whole 528-byte records.
    const std::string big = randomBytes(528 * 9000, 7);
    writeFile(local_.file("big.savf"), big);
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/IN'").ExitStatus, 0);
    const TSftpResult up = s.PutFile(local_.file("big.savf"), "/QSYS.LIB/QGPL.LIB/IN.FILE");
    ASSERT_TRUE(up.Ok) << up.Error;
    EXPECT_EQ(readFile(root_.file("QGPL/IN.FILE")), big);

    // What the host refuses, in its words; the session goes on.
    writeFile(local_.file("odd.savf"), std::string(1000, 'x'));
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/ODD'").ExitStatus, 0);
    const struct {
        const char *local, *remote, *says;
    } refused[] = {
        {"odd.savf", "/QSYS.LIB/QGPL.LIB/ODD.FILE", "no whole records"},
        {"big.savf", "/QSYS.LIB/QGPL.LIB/IN.FILE", "is not empty"},
        {"big.savf", "/QSYS.LIB/QGPL.LIB/MISSING.FILE", "not found"},
    };
    for (const auto &r : refused) {
        const TSftpResult put = s.PutFile(local_.file(r.local), r.remote);
        EXPECT_FALSE(put.Ok) << r.remote;
        EXPECT_NE(put.Error.find(r.says), std::string::npos) << put.Error;
    }
    EXPECT_EQ(readFile(root_.file("QGPL/ODD.FILE")), "");
    EXPECT_EQ(readFile(root_.file("QGPL/IN.FILE")), big);
    const TSftpResult missing = s.GetFile("/QSYS.LIB/QGPL.LIB/MISSING.FILE", local_.file("m"));
    EXPECT_FALSE(missing.Ok);
    EXPECT_NE(missing.Error.find("not found"), std::string::npos) << missing.Error;
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
// stand-in takes one user and password instead. Each wrong password counts
// against the profile (QMAXSIGN): one try per run, by one method.
TEST(SshPasswordTest, PasswordTriedOnceByOneMethodAndARefusalSaysSo)
{
    ::unsetenv("SSH_AUTH_SOCK");
    for (const bool kbdintOnly : {false, true}) {
        SCOPED_TRACE(kbdintOnly ? "keyboard-interactive only" : "both offered");
        TempDir root, client;
        SshPasswordServer server(root.path(), "JOE", "s3cret pw", kbdintOnly);
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
        std::unique_ptr<TSshSession> s;
        ASSERT_NO_THROW(s = connect("s3cret pw")) << server.refusals();
        EXPECT_EQ(s->AuthMethod(), kbdintOnly ? "keyboard-interactive" : "password");
        const TSshResult r = s->Exec("system 'CRTLIB LIB(NEWLIB)'");
        EXPECT_EQ(r.ExitStatus, 0);
        EXPECT_EQ(r.Out, "CPC2102: Library NEWLIB created.\n");
        s->Disconnect();

        try {
            connect("wrong");
            ADD_FAILURE() << "a wrong password was taken";
        } catch (const ESshAuthFailed &e) {
            EXPECT_EQ(std::string(e.what()), "The host refused the password for JOE");
        }
        EXPECT_EQ(server.refusals(), 1) << (kbdintOnly ? "keyboard-interactive only" : "both offered");
    }
}

// known_hosts as OpenSSH reads it: what each file content does with the
// host's key. "KEY" stands for the host's key, "OTHER" for another one.
TEST_F(SshSessionTest, KnownHostsLinesAreReadAsOpenSshReadsThem)
{
    const std::string pub = readFile(dir_.file("host_ed25519.pub"));
    const std::string key = pub.substr(0, pub.rfind(' '));
    const std::string name = "[127.0.0.1]:" + std::to_string(sshd_->port());
    const std::string clientPub = readFile(sshd_->clientSshDir() + "/id_ed25519.pub");
    const std::string other = clientPub.substr(0, clientPub.rfind(' '));
    const struct {
        std::string file;
        const char *outcome; // "signed on", "asked", "revoked", "authority", "changed"
    } cases[] = {
        {name + " " + key + "\n", "signed on"},
        {knownhosts::hashedName(name) + " " + key + "\n", "signed on"},
        {"[127.0.0.*]:" + std::to_string(sshd_->port()) + " " + key + "\n", "signed on"},
        {"!" + name + "," + "[127.0.0.*]:" + std::to_string(sshd_->port()) + " " + key + "\n", "asked"},
        {"127.0.0.1 " + key + "\n", "asked"}, // port 22's entry
        {name + " " + key + "\n@revoked * " + key + "\n", "revoked"},
        {"@revoked " + name + " " + key + "\n", "revoked"},
        {"@cert-authority *.example.com,[127.0.0.1]:* " + other + "\n", "authority"},
        {name + " " + other + "\n", "changed"},
    };
    for (const auto &c : cases) {
        writeFile(sshd_->clientSshDir() + "/known_hosts", c.file);
        asked_.clear();
        TSshSession s;
        setUp(s);
        std::string outcome;
        try {
            s.Connect();
            outcome = asked_.empty() ? "signed on" : "asked";
        } catch (const EHostKeyRefused &e) {
            outcome = std::string(e.what()).find("revoked") != std::string::npos ? "revoked" : "authority";
            EXPECT_NE(std::string(e.what()).find(sshd_->hostKeyFingerprint()), std::string::npos) << e.what();
        } catch (const EHostKeyChanged &) {
            outcome = "changed";
        }
        EXPECT_EQ(outcome, c.outcome) << c.file;
        if (std::string(c.outcome) == "revoked" || std::string(c.outcome) == "authority") {
            EXPECT_EQ(readFile(sshd_->clientSshDir() + "/known_hosts"), c.file) << "nothing added";
        }
    }
}

TEST_F(SshSessionTest, TrustedKeyGoesOnALineOfItsOwnHashedWhenTheConfigSaysSoModeKept)
{
    const std::string known = sshd_->clientSshDir() + "/known_hosts";
    const std::string clientPub = readFile(sshd_->clientSshDir() + "/id_ed25519.pub");
    const std::string kept = "example.com " + clientPub.substr(0, clientPub.rfind(' '));
    for (const bool hash : {false, true}) {
        writeFile(known, kept); // no line end
        ::chmod(known.c_str(), 0640);
        writeFile(sshd_->clientSshDir() + "/config",
                  std::string("Host nothing-here\n  HashKnownHosts no\nHost *\n  HashKnownHosts ") +
                      (hash ? "yes" : "no") + "\n");
        TSshSession s;
        setUp(s);
        s.ReadConfig = true;
        s.Connect();
        const std::string text = readFile(known);
        ASSERT_EQ(text.rfind(kept + "\n", 0), 0u) << text;
        const std::string added = text.substr(kept.size() + 1);
        EXPECT_EQ(added.back(), '\n');
        EXPECT_EQ(added.find('\n'), added.size() - 1) << "one line: " << added;
        EXPECT_EQ(added.rfind("|1|", 0) == 0, hash) << added;
        EXPECT_EQ(added.find("127.0.0.1") == std::string::npos, hash) << added;
        struct stat st {};
        ::stat(known.c_str(), &st);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        // What was written is read back as trusted.
        asked_.clear();
        TSshSession again;
        setUp(again);
        again.Connect();
        EXPECT_TRUE(asked_.empty());
    }
}

// The command line's port wins over the configuration's, as with ssh -p;
// a host alias and the configuration's port without one keep working.
TEST_F(SshSessionTest, PortGivenWinsOverTheConfigurationsAndAliasesStillWork)
{
    const std::string port = std::to_string(sshd_->port());
    const struct {
        std::string configPort;
        int given;
    } cases[] = {{"1", sshd_->port()}, {port, 0}};
    for (const auto &c : cases) {
        writeFile(sshd_->clientSshDir() + "/config",
                  "Host as400\n  HostName 127.0.0.1\n  Port " + c.configPort + "\n");
        TSshSession s;
        setUp(s);
        s.Host = "as400";
        s.Port = c.given;
        s.ReadConfig = true;
        EXPECT_NO_THROW(s.Connect()) << "config Port " << c.configPort << ", given " << c.given;
        EXPECT_EQ(s.RemotePort(), sshd_->port());
        EXPECT_EQ(s.RemoteHost(), "127.0.0.1");
    }
}

TEST(SshHostTextTest, UtfEightKeptAnythingElseReadAsLatinOne)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"CPF3781: Library NOPE not found.\n", "CPF3781: Library NOPE not found.\n"},
        {"Biblioth\xc3\xa8que \xe2\x82\xac", "Biblioth\xc3\xa8que \xe2\x82\xac"},
        {"Biblioth\xe8que", "Biblioth\xc3\xa8que"},
        {"\xc3", "\xc3\x83"},                 // cut sequence
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},     // overlong
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"}, // surrogate
    };
    for (const auto &c : cases)
        EXPECT_EQ(TSshSession::HostText(c.in), c.out) << c.in;
}

class Ccsid819SshSessionTest : public SshSessionTest
{
protected:
    std::vector<std::string> hostsimArgs() override
    {
        return {"--pase-ccsid", "819", "--fail", "^CRTLIB", "--fail-message",
                "CPF2111 Biblioth\xc3\xa8que d\xc3\xa9j\xc3\xa0 l\xc3\xa0."};
    }
};

TEST_F(Ccsid819SshSessionTest, MessagesComeAsUtfEightAskedForOrNot)
{
    TSshSession s;
    setUp(s);
    s.Connect();
    const std::string want = "CPF2111: Biblioth\xc3\xa8que d\xc3\xa9j\xc3\xa0 l\xc3\xa0.\n";
    for (const std::string &command :
         {std::string("LC_ALL=EN_US.UTF-8 system 'CRTLIB X'"), std::string("system 'CRTLIB X'")}) {
        const TSshResult r = s.Exec(command);
        EXPECT_EQ(r.ExitStatus, 255);
        EXPECT_EQ(r.Err, want) << command;
    }
    EXPECT_NE(readFile(dir_.file("commands.log")).find("LC_ALL=EN_US.UTF-8 system"), std::string::npos);
}

// A server that is not SSH (an FTP server's greeting) is named as such
// within seconds, and waiting sleeps: a silent one costs no CPU.
TEST(SshWaitTest, NonSshServerNamedAndWaitingSleeps)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    TempDir client;
    const auto session = [&](int timeOut) {
        auto s = std::make_unique<TSshSession>();
        s->Host = "127.0.0.1";
        s->Port = ntohs(a.sin_port);
        s->UserID = "JOE";
        s->SshDir = client.path();
        s->ReadConfig = false;
        s->TimeOutSeconds = timeOut;
        return s;
    };
    std::thread ftp([fd] {
        const int c = ::accept(fd, nullptr, nullptr);
        const char greeting[] = "220 QUSER FTP server ready.\r\n";
        [[maybe_unused]] const ssize_t w = ::write(c, greeting, sizeof greeting - 1);
        char buf[512];
        while (::read(c, buf, sizeof buf) > 0) {
        }
        ::close(c);
    });
    auto start = std::chrono::steady_clock::now();
    try {
        session(30)->Connect();
        ADD_FAILURE() << "an FTP server was taken for SSH";
    } catch (const ESshError &e) {
        EXPECT_NE(std::string(e.what()).find("is not an SSH server: it answered \"220 QUSER FTP server ready.\""),
                  std::string::npos)
            << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    ftp.join();

    // Accepted, never a word: two seconds of waiting, next to no CPU.
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    EXPECT_THROW(session(2)->Connect(), ESshError);
    ::getrusage(RUSAGE_SELF, &after);
    const auto cpuMs = [](const rusage &r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    EXPECT_LT(cpuMs(after) - cpuMs(before), 300) << "waiting spins";
    ::close(fd);
}

// The other way round: OpenSSH's sftp client against the emulator's sftp
// subsystem, a save file out and back in.
TEST_F(SshSessionTest, OpenSshsSftpClientMovesSaveFilesThroughTheEmulator)
{
    if (runCommand("command -v sftp >/dev/null") != 0)
        GTEST_SKIP() << "OpenSSH's sftp is not installed";
    TSshSession s;
    setUp(s);
    s.Connect();
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/OUT'").ExitStatus, 0);
    ASSERT_EQ(s.Exec("system 'SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QGPL/OUT)'").ExitStatus, 0);
    ASSERT_EQ(s.Exec("system 'CRTSAVF QGPL/BACK'").ExitStatus, 0);
    const std::string dir = sshd_->clientSshDir();
    writeFile(local_.file("batch"), "get /QSYS.LIB/QGPL.LIB/OUT.FILE " + local_.file("out.savf") +
                                        "\nput " + local_.file("out.savf") + " /QSYS.LIB/QGPL.LIB/BACK.FILE\n");
    std::string out;
    ASSERT_EQ(runCommand("sftp -q -b " + local_.file("batch") + " -P " + std::to_string(sshd_->port()) + " -i " +
                             dir + "/id_ed25519 -o UserKnownHostsFile=" + dir +
                             "/known_hosts -o StrictHostKeyChecking=no -o BatchMode=yes " + sshd_->user() +
                             "@127.0.0.1 2>&1",
                         &out),
              0)
        << out;
    const std::string saved = readFile(root_.file("QGPL/OUT.FILE"));
    EXPECT_FALSE(saved.empty());
    EXPECT_TRUE(readFile(local_.file("out.savf")) == saved);
    EXPECT_TRUE(readFile(root_.file("QGPL/BACK.FILE")) == saved);
}

// OpenSSH's own sftp-server, on a plain sshd: the SFTP client against a
// peer nobody here wrote, a file of no round size both ways.
TEST(SshSftpOpenSshTest, GetAndPutAgainstOpenSshsSftpServer)
{
    ::unsetenv("SSH_AUTH_SOCK");
    if (::access("/usr/lib/openssh/sftp-server", X_OK) != 0)
        GTEST_SKIP() << "openssh-sftp-server is not installed";
    TempDir dir, files;
    SshdProcess sshd(dir.path(), files.path(), {}, false);
    if (!sshd.problem().empty())
        GTEST_SKIP() << sshd.problem();
    TSshSession s;
    s.Host = "127.0.0.1";
    s.Port = sshd.port();
    s.UserID = sshd.user();
    s.SshDir = sshd.clientSshDir();
    s.ReadConfig = false;
    s.TimeOutSeconds = 10;
    s.OnUnknownHostKey = [](const std::string &, TCertAnswer &a) { a = TCertAnswer::Accept; };
    s.Connect();
    const std::string data = randomBytes(3 * 1024 * 1024 + 12345, 3);
    writeFile(files.file("data.bin"), data);
    std::string got;
    const TSftpResult down =
        s.GetFile(files.file("data.bin"), [&](const char *p, std::size_t n) { got.append(p, n); });
    ASSERT_TRUE(down.Ok) << down.Error;
    EXPECT_EQ(down.Size, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(got == data);
    writeFile(files.file("copy.bin"), "old and longer than nothing");
    const TSftpResult up = s.PutFile(files.file("data.bin"), files.file("copy.bin"));
    ASSERT_TRUE(up.Ok) << up.Error;
    EXPECT_TRUE(readFile(files.file("copy.bin")) == data);
    const TSftpResult missing = s.GetFile(files.file("none"), [](const char *, std::size_t) {});
    EXPECT_FALSE(missing.Ok);
    EXPECT_NE(missing.Error.find("No such file"), std::string::npos) << missing.Error;
}

} // namespace
