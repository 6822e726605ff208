// The FTP client against a scripted server: sign-on, reply thresholds, event
// classification, transfers and the faults a broken peer can provoke.
#include "ScriptedFtpServer.h"
#include "net/NMFtp.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <vector>

using nettest::ScriptedFtpServer;
using nettest::Session;
using testsupport::readFile;
using testsupport::TempDir;

namespace
{

// Greeting, USER and PASS as an IBM i answers them, greeting in one packet.
void signOn(Session &s)
{
    s.send("220-QTCP at host.example.com.\r\n220 Connection will close if idle more than 5 minutes.\r\n");
    s.expect("USER bob");
    s.reply("331 Enter password.");
    s.expect("PASS secret");
    s.reply("230 BOB logged on.");
}

void signOff(Session &s)
{
    s.expect("QUIT");
    s.reply("221 QUIT subcommand received.");
}

struct Client {
    TNMFTP ftp;
    std::vector<std::string> events;
    explicit Client(int port)
    {
        ftp.Host = "127.0.0.1";
        ftp.Port = port;
        ftp.UserID = "bob";
        ftp.Password = "secret";
        ftp.OnSuccess = [this](TCmdType t) { events.push_back("success " + std::to_string(t)); };
        ftp.OnUnSupportedFunction = [this](TCmdType t) {
            events.push_back("unsupported " + std::to_string(t));
        };
        ftp.OnConnectionFailed = [this](TPowersock *) { events.push_back("connection failed"); };
    }
    // Failures are recorded and taken (Handled) when `handle` is set.
    void failures(bool handle)
    {
        ftp.OnFailure = [this, handle](bool &handled, TCmdType t) {
            events.push_back("failure " + std::to_string(t) + " " + std::to_string(ftp.ReplyNumber));
            handled = handle;
        };
    }
};

} // namespace

TEST(FtpSignOn, MultiLineGreetingThenUserAndPass)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        signOff(s);
    });
    Client c(server.port());
    bool signedOn = false;
    c.ftp.OnConnect = [&](TPowersock *) { signedOn = true; };
    c.ftp.Connect();
    EXPECT_TRUE(signedOn);
    EXPECT_EQ(c.ftp.ReplyNumber, 230);
    c.ftp.Disconnect();
    EXPECT_FALSE(c.ftp.Connected);
    server.join();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"USER bob", "PASS secret", "QUIT"}));
    EXPECT_EQ(server.errors(), "");
}

TEST(FtpSignOn, Reply230SignsOnWithoutPass)
{
    ScriptedFtpServer server([](Session &s) {
        s.reply("220 ready");
        s.expect("USER bob");
        s.reply("230 BOB logged on.");
        signOff(s);
    });
    Client c(server.port());
    c.ftp.Connect();
    c.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"USER bob", "QUIT"}));
}

TEST(FtpSignOn, WrongPasswordQuitsAndRaisesTheReply)
{
    ScriptedFtpServer server([](Session &s) {
        s.reply("220 ready");
        s.expect("USER bob");
        s.reply("331 Enter password.");
        s.expect("PASS secret");
        s.reply("530 Log on attempt by user BOB rejected.");
        signOff(s);
    });
    Client c(server.port());
    bool onConnect = false;
    c.ftp.OnConnect = [&](TPowersock *) { onConnect = true; };
    try {
        c.ftp.Connect();
        FAIL() << "no exception";
    } catch (const FTPException &e) {
        EXPECT_STREQ(e.what(), "530 Log on attempt by user BOB rejected.\r\n");
    }
    EXPECT_FALSE(onConnect);
    EXPECT_FALSE(c.ftp.Connected);
    EXPECT_EQ(c.events, (std::vector<std::string>{"connection failed"}));
    server.join();
    EXPECT_EQ(server.received().back(), "QUIT");
}

TEST(FtpSignOn, ProxyGetsUserAtHost)
{
    ScriptedFtpServer server([](Session &s) {
        s.reply("220 proxy ready");
        s.expect("USER bob@as400.example.com");
        s.reply("230 ok");
        signOff(s);
    });
    Client c(0);
    c.ftp.Host = "as400.example.com"; // never resolved: the proxy is connected instead
    c.ftp.Port = 1;
    c.ftp.Proxy = "127.0.0.1";
    c.ftp.ProxyPort = server.port();
    c.ftp.Connect();
    c.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.errors(), "");
}

TEST(FtpSignOn, ExceptionInsideOnConnectSignsOffFirst)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        signOff(s);
    });
    Client c(server.port());
    c.ftp.OnConnect = [](TPowersock *) { throw std::runtime_error("job failed"); };
    EXPECT_THROW(c.ftp.Connect(), std::runtime_error);
    EXPECT_FALSE(c.ftp.Connected);
    server.join();
    EXPECT_EQ(server.received().back(), "QUIT");
}

TEST(FtpCommands, ThresholdsAndEventTypes)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        const char *answers[][2] = {
            {"RCMD CRTSAVF QTEMP/SAVF", "250 Command CRTSAVF accepted."},
            {"RCMD DLTF X", "550-CPF2105: Object X in QTEMP type *FILE not found.\r\n550 Command failed."},
            {"RCMD BAD", "501 Unknown command."},
            {"CWD /x", "350 Pending."},
            {"PWD", "257 \"QGPL\" is current library."},
            {"PWD /x", "450 busy"},
            {"cwd /x", "250 ok"},
            {"DELE f", "550 no"},
        };
        for (auto &a : answers) {
            s.expect(a[0]);
            s.reply(a[1]);
        }
        signOff(s);
    });
    Client c(server.port());
    c.failures(true);
    c.ftp.Connect();
    c.ftp.SendCommand("RCMD CRTSAVF QTEMP/SAVF");
    c.ftp.SendCommand("RCMD DLTF X");
    c.ftp.SendCommand("RCMD BAD");
    c.ftp.SendCommand("CWD /x");
    c.ftp.SendCommand("PWD");
    c.ftp.SendCommand("PWD /x");
    c.ftp.SendCommand("cwd /x");
    c.ftp.SendCommand("DELE f");
    c.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.errors(), "");
    EXPECT_EQ(c.events, (std::vector<std::string>{"success 14", "failure 14 550", "unsupported 14",
                                                  "failure 14 501", "success 0", "success 15",
                                                  "failure 14 450", "success 14", "failure 2 550"}));
}

TEST(FtpCommands, UnhandledFailureRaisesTheReplyLine)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("RCMD X");
        s.reply("550 Command X not found.");
        signOff(s);
    });
    Client c(server.port());
    c.failures(false);
    c.ftp.Connect();
    try {
        c.ftp.SendCommand("RCMD X");
        FAIL() << "no exception";
    } catch (const FTPException &e) {
        EXPECT_STREQ(e.what(), "550 Command X not found.\r\n");
    }
    c.ftp.Disconnect();
}

TEST(FtpTransfer, HandledPortAndRetrFailuresEndWithoutWaiting)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("350 odd"); // 301..599 fails a PORT
        s.expect("PORT ");
        s.reply("300 fine"); // 300 does not
        s.expect("RETR /qsys.lib/qtemp.lib/savf.file");
        s.reply("550 Not found.");
        s.expect("PORT ");
        s.reply("200 PORT subcommand request successful.");
        s.expect("STOR x");
        s.reply("553 Not allowed.");
        signOff(s);
    });
    TempDir dir;
    testsupport::writeFile(dir.file("up"), "abc");
    Client c(server.port());
    c.failures(true);
    c.ftp.Connect();
    c.ftp.Download("/qsys.lib/qtemp.lib/savf.file", dir.file("savf"));
    c.ftp.Download("/qsys.lib/qtemp.lib/savf.file", dir.file("savf"));
    c.ftp.Upload(dir.file("up"), "x");
    c.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.errors(), "");
    EXPECT_EQ(c.events, (std::vector<std::string>{"failure 8 350", "failure 8 550", "failure 9 553"}));
}

TEST(FtpTransfer, DownloadWithAnnouncedCount)
{
    const std::string payload = testsupport::randomBytes(300000, 7);
    ScriptedFtpServer server([&](Session &s) {
        signOn(s);
        s.expect("TYPE I");
        s.reply("200 Representation type is binary IMAGE.");
        s.expect("SIZE savf");
        s.reply("213 300000");
        s.expect("PORT ");
        s.reply("200 PORT subcommand request successful.");
        s.expect("RETR savf");
        s.openData();
        s.reply("150-Opening BINARY mode data connection\r\n150 for savf (300000 bytes).");
        s.dataSend(payload);
        s.dataClose();
        s.reply("226 File transfer completed successfully.");
        signOff(s);
    });
    TempDir dir;
    Client c(server.port());
    c.failures(false);
    c.ftp.Connect();
    c.ftp.SetTransferType(2);
    int64_t announced = -1;
    c.ftp.OnTransactionStart = [&](TPowersock *) { announced = c.ftp.BytesTotal; };
    c.ftp.Download("savf", dir.file("savf"));
    c.ftp.Disconnect();
    EXPECT_EQ(announced, 300000);
    EXPECT_EQ(c.ftp.BytesTotal, 300000);
    EXPECT_TRUE(readFile(dir.file("savf")) == payload);
    EXPECT_EQ(c.events, (std::vector<std::string>{"success 14", "success 8"}));
}

TEST(FtpTransfer, AbortReplyAfterBrokenDownloadIsAFailure)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Retrieving member SAVF in file SAVF in library QTEMP.");
        s.openData();
        s.dataSend(std::string(5000, 'x'));
        s.dataClose();
        s.reply("426 Connection closed; transfer aborted.");
        s.expect("NOOP");
        s.reply("200 fine");
        signOff(s);
    });
    TempDir dir;
    Client c(server.port());
    c.failures(false);
    if (getenv("NETDEBUG")) {
        c.ftp.ReportLevel = 8;
        c.ftp.OnStatus = [](TPowersock *, const std::string &t) { fprintf(stderr, "[%s]\n", t.c_str()); };
    }
    c.ftp.Connect();
    try {
        c.ftp.Download("savf", dir.file("savf"));
        FAIL() << "a broken transfer passed";
    } catch (const FTPException &e) {
        EXPECT_STREQ(e.what(), "426 Connection closed; transfer aborted.\r\n");
    }
    // The session stays in step: the next command gets its own reply.
    c.ftp.SendCommand("NOOP");
    c.ftp.Disconnect();
    EXPECT_EQ(c.events, (std::vector<std::string>{"failure 8 426", "success 14"}));
}

TEST(FtpTransfer, ShortBinaryDownloadIsAFailure)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("TYPE I");
        s.reply("200 ok");
        s.expect("SIZE savf");
        s.reply("502 Command not implemented."); // the 150 reply's count is all there is
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Opening BINARY mode data connection for savf (1000 bytes).");
        s.openData();
        s.dataSend(std::string(500, 'x'));
        s.dataClose();
        s.reply("226 Transfer complete.");
        signOff(s);
    });
    TempDir dir;
    Client c(server.port());
    c.failures(true);
    c.ftp.Connect();
    c.ftp.SetTransferType(2);
    c.ftp.Download("savf", dir.file("savf"));
    c.ftp.Disconnect();
    ASSERT_EQ(c.events.size(), 2u);
    EXPECT_EQ(c.events[1].rfind("failure 8", 0), 0u) << c.events[1];
}

TEST(FtpTransfer, ServerRefusingTheDataConnectionDoesNotHang)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Opening data connection.");
        s.reply("425 Can't open data connection.");
        signOff(s);
    });
    TempDir dir;
    Client c(server.port());
    c.failures(true);
    c.ftp.Connect();
    c.ftp.Download("savf", dir.file("savf"));
    c.ftp.Disconnect();
    EXPECT_EQ(c.events, (std::vector<std::string>{"failure 8 425"}));
}

TEST(FtpTransfer, DiskFullFailsTheDownload)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Sending.");
        s.openData();
        s.dataSend(std::string(100000, 'x'));
        s.dataClose();
        s.reply("226 Transfer complete.");
        s.expect("NOOP");
        s.reply("200 fine");
        signOff(s);
    });
    Client c(server.port());
    c.failures(false);
    c.ftp.Connect();
    try {
        c.ftp.Download("savf", "/dev/full");
        FAIL() << "a download into a full disk passed";
    } catch (const FTPException &) {
        FAIL() << "the local fault must not be blamed on the server";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot write file /dev/full", 0), 0u) << e.what();
    }
    c.ftp.SendCommand("NOOP");
    c.ftp.Disconnect();
    EXPECT_EQ(c.events, (std::vector<std::string>{"success 14"}));
}

TEST(FtpTransfer, UploadWithoutRemoteNameSendsTheFileName)
{
    const std::string payload = testsupport::randomBytes(200000, 3);
    std::string got;
    ScriptedFtpServer server([&](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR save.bin");
        s.reply("150 Sending file to member SAVF in file SAVF in library QGPL.");
        s.openData();
        got = s.dataReceiveAll();
        s.dataClose();
        s.reply("226 File transfer completed successfully.");
        signOff(s);
    });
    TempDir dir;
    testsupport::writeFile(dir.file("save.bin"), payload);
    Client c(server.port());
    c.failures(false);
    c.ftp.Connect();
    c.ftp.Upload(dir.file("save.bin"), "");
    c.ftp.Disconnect();
    server.join();
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(c.events, (std::vector<std::string>{"success 9"}));
}

TEST(FtpTransfer, UploadOfMissingFileSendsNothing)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        signOff(s);
    });
    Client c(server.port());
    c.ftp.Connect();
    try {
        c.ftp.Upload("/nonexistent/file.savf", "x");
        FAIL();
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Cannot open file /nonexistent/file.savf");
    }
    c.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"USER bob", "PASS secret", "QUIT"}));
}

TEST(FtpBrokenPeer, CloseBeforeFullLineEndsTheWait)
{
    ScriptedFtpServer server([](Session &s) {
        s.send("220 half a line");
        s.close();
    });
    Client c(server.port());
    try {
        c.ftp.Connect();
        FAIL();
    } catch (const ESockError &e) {
        EXPECT_STREQ(e.what(), "Connection closed by peer");
    }
    EXPECT_FALSE(c.ftp.Connected);
}

TEST(FtpBrokenPeer, EndlessLineIsCutOff)
{
    ScriptedFtpServer server([](Session &s) {
        s.send("220 " + std::string(3 * TPowersock::kMaxLine, 'A'));
        s.line(); // holds the connection open until the client gives up
    });
    Client c(server.port());
    try {
        c.ftp.Connect();
        FAIL();
    } catch (const ESockError &e) {
        EXPECT_STREQ(e.what(), "Reply line too long");
    }
    EXPECT_FALSE(c.ftp.Connected);
}

TEST(FtpBrokenPeer, ServiceClosingReplyToACommandIsItsFailure)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("RCMD X");
        s.reply("426 Connection closed; transfer aborted.");
        s.line();
    });
    Client c(server.port());
    c.ftp.Connect();
    // The host's own text, not the socket layer's "Socket readln aborted".
    try {
        c.ftp.SendCommand("RCMD X");
        FAIL() << "no exception";
    } catch (const FTPException &e) {
        EXPECT_STREQ(e.what(), "426 Connection closed; transfer aborted.\r\n");
    }
}

TEST(FtpTransfer, AbortedDownloadLeavesTheSessionInStep)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Sending.");
        s.openData();
        s.dataSend(std::string(64 * 1024, 'x'));
        s.dataReceiveAll(); // returns once the client resets the data connection
        s.reply("426 Connection closed; transfer aborted.");
        s.expect("NOOP");
        s.reply("200 fine");
        signOff(s);
    });
    TempDir dir;
    Client c(server.port());
    c.failures(false);
    c.ftp.Connect();
    c.ftp.OnPacketRecvd = [&](TPowersock *) { c.ftp.Abort(); };
    try {
        c.ftp.Download("savf", dir.file("savf"));
        FAIL() << "an aborted download passed";
    } catch (const EAbortError &e) {
        EXPECT_STREQ(e.what(), "Socket send aborted");
    }
    c.ftp.SendCommand("NOOP");
    EXPECT_EQ(c.ftp.TransactionReply, "200 fine\r\n");
    c.ftp.Disconnect();
    EXPECT_EQ(c.events, (std::vector<std::string>{"success 14"}));
}

TEST(FtpTransfer, UploadFailuresReportTheServersAnswer)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        // Every byte arrives, but the server cannot keep it.
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR a");
        s.reply("150 Sending file.");
        s.openData();
        s.dataReceiveAll();
        s.dataClose();
        s.reply("451 Requested action aborted: local error in processing.");
        // The server breaks off in the middle.
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR b");
        s.reply("150 Sending file.");
        s.openData();
        s.dataClose();
        s.reply("426 Connection closed; transfer aborted.");
        s.expect("NOOP");
        s.reply("200 fine");
        signOff(s);
    });
    TempDir dir;
    testsupport::writeFile(dir.file("big"), testsupport::randomBytes(8 * 1024 * 1024, 5));
    Client c(server.port());
    c.failures(true);
    c.ftp.Connect();
    c.ftp.Upload(dir.file("big"), "a");
    c.ftp.Upload(dir.file("big"), "b");
    c.ftp.SendCommand("NOOP");
    c.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.errors(), "");
    EXPECT_EQ(c.events, (std::vector<std::string>{"failure 9 451", "failure 9 426", "success 14"}));
}
