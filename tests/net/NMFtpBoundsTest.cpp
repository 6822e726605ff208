// The FTP client against broken and silent servers: every wait ends within its
// bound with a clear message, memory stays bounded, and a short file is never
// taken as whole.
#include "ScriptedFtpServer.h"
#include "net/NMFtp.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <thread>
#include <vector>

using nettest::ScriptedFtpServer;
using nettest::Session;
using testsupport::readFile;
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

struct Client {
    TNMFTP ftp;
    std::vector<std::string> events;
    explicit Client(int port, int replyTimeOut = 1000)
    {
        ftp.Host = "127.0.0.1";
        ftp.Port = port;
        ftp.UserID = "bob";
        ftp.Password = "secret";
        ftp.ReplyTimeOut = replyTimeOut;
        ftp.OnSuccess = [this](TCmdType t) { events.push_back("success " + std::to_string(t)); };
        ftp.OnFailure = [this](bool &handled, TCmdType t) {
            events.push_back("failure " + std::to_string(t) + " " + ftp.TransactionReply);
            handled = true;
        };
    }
};

double secondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<std::string> filesIn(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

// The message of whatever `f` throws; "" when it returns.
template <class F> std::string failureOf(F &&f)
{
    try {
        f();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(FtpBounds, EndlessMultiLineReplyIsCutOff)
{
    struct Case {
        size_t lineLength;
        const char *message;
    } cases[] = {
        {60, "Reply too long: more than 100000 lines"},
        {60000, "Reply too long: more than 8 MiB"},
    };
    for (const auto &c : cases) {
        ScriptedFtpServer server([&](Session &s) {
            signOn(s);
            s.expect("STAT");
            const std::string line = "211-" + std::string(c.lineLength, 'x') + "\r\n";
            std::string block;
            for (int i = 0; i < 64; ++i)
                block += line;
            // Until the client hangs up (the send then fails or times out).
            for (int i = 0; i < 1000000 && s.send(block); ++i) {
            }
        });
        Client client(server.port());
        client.ftp.Connect();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(failureOf([&] { client.ftp.SendCommand("STAT"); }), c.message);
        EXPECT_LT(secondsSince(t0), 10.0);
        EXPECT_FALSE(client.ftp.Connected);
        EXPECT_LE(client.ftp.LastReplyText.size(), kMaxReplyBytes + 64 * 1024);
    }
}

TEST(FtpBounds, SilentHostsEndWithinTheReplyLimit)
{
    struct Case {
        const char *name;
        TFtpSecurity security;
        ScriptedFtpServer::Script script;
        const char *message; // the start of it
    } cases[] = {
        {"never greets", TFtpSecurity::None, [](Session &s) { s.silent(); },
         "The host sent no greeting within 1 s"},
        {"explicit TLS to an implicit-TLS port", TFtpSecurity::Explicit, [](Session &s) { s.silent(); },
         "The host sent no greeting within 1 s"},
        {"implicit TLS to a silent port", TFtpSecurity::Implicit, [](Session &s) { s.silent(); },
         "TLS handshake failed: timed out"},
        {"silent after USER", TFtpSecurity::None,
         [](Session &s) {
             s.reply("220 ready");
             s.expect("USER bob");
             s.silent();
         },
         "No reply from the host within 1 s"},
    };
    for (auto &c : cases) {
        ScriptedFtpServer server(c.script);
        Client client(server.port());
        client.ftp.Security = c.security;
        const auto t0 = std::chrono::steady_clock::now();
        const std::string got = failureOf([&] { client.ftp.Connect(); });
        EXPECT_EQ(got.rfind(c.message, 0), 0u) << c.name << ": " << got;
        EXPECT_LT(secondsSince(t0), 4.0) << c.name;
        EXPECT_FALSE(client.ftp.Connected) << c.name;
    }
}

TEST(FtpBounds, RemoteCommandsWaitBeyondTheLimitAndCanBeStopped)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("RCMD SAVLIB LIB(BIG)");
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        s.reply("250 Command SAVLIB accepted.");
        s.expect("RCMD SAVLIB LIB(HUGE)");
        s.line(); // never answers; returns when the client hangs up
    });
    Client client(server.port(), 500);
    client.ftp.OverdueAfter = 300;
    std::vector<bool> overdue;
    client.ftp.OnReplyOverdue = [&](bool late) {
        overdue.push_back(late);
        // The second time the operator gives up on the host.
        if (late && overdue.size() > 2)
            client.ftp.Stop("Stopped by the operator");
    };
    client.ftp.Connect();
    client.ftp.SendCommand("RCMD SAVLIB LIB(BIG)");
    EXPECT_EQ(client.events, (std::vector<std::string>{"success 14"}));
    EXPECT_EQ(overdue, (std::vector<bool>{true, false}));

    EXPECT_EQ(failureOf([&] { client.ftp.SendCommand("RCMD SAVLIB LIB(HUGE)"); }), "Stopped by the operator");
    EXPECT_EQ(overdue, (std::vector<bool>{true, false, true, false}));
    // Nothing more is said to a host that does not answer.
    client.ftp.Disconnect();
    EXPECT_FALSE(client.ftp.Connected);
    server.join();
    EXPECT_EQ(server.received().back(), "RCMD SAVLIB LIB(HUGE)");
}

TEST(FtpBounds, LocalFileThatCannotBeCreatedFailsBeforeAnythingIsSent)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("QUIT");
        s.reply("221 QUIT subcommand received.");
    });
    Client client(server.port());
    client.ftp.Connect();
    EXPECT_EQ(failureOf([&] { client.ftp.Download("savf", "/nonexistent/dir/savf"); }),
              "Cannot create file /nonexistent/dir/savf");
    client.ftp.Disconnect();
    server.join();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"USER bob", "PASS secret", "QUIT"}));
}

// SIZE before a binary RETR, compared after it; a failed download leaves the
// local file as it was and no partial file beside it.
TEST(FtpBounds, DownloadOfAnotherSizeThanTheHostGaveFails)
{
    struct Case {
        const char *sizeReply;
        size_t sent;
        const char *event;
    } cases[] = {
        {"213 1000000", 500000, "failure 8 Transfer incomplete: 500000 of 1000000 bytes received\r\n"},
        {"213 100", 200, "failure 8 Transfer incomplete: 200 of 100 bytes received\r\n"},
        {"213 4096", 4096, "success 8"},
        {"550 SIZE not supported for this file.", 3000, "success 8"},
    };
    for (const auto &c : cases) {
        const std::string payload = testsupport::randomBytes(c.sent, 9);
        ScriptedFtpServer server([&](Session &s) {
            signOn(s);
            s.expect("TYPE I");
            s.reply("200 Representation type is binary IMAGE.");
            s.expect("SIZE /qsys.lib/qtemp.lib/savf.file");
            s.reply(c.sizeReply);
            s.expect("PORT ");
            s.reply("200 PORT subcommand request successful.");
            s.expect("RETR /qsys.lib/qtemp.lib/savf.file");
            s.reply("150 Retrieving member SAVF in file SAVF in library QTEMP.");
            s.openData();
            s.dataSend(payload);
            s.dataClose();
            s.reply("226 File transfer completed successfully.");
        });
        TempDir dir;
        testsupport::writeFile(dir.file("savf"), "earlier");
        Client client(server.port());
        client.ftp.Connect();
        client.ftp.SetTransferType(2);
        client.ftp.Download("/qsys.lib/qtemp.lib/savf.file", dir.file("savf"));
        ASSERT_EQ(client.events.size(), 2u) << c.sizeReply;
        EXPECT_EQ(client.events[1], c.event);
        const bool whole = std::string(c.event) == "success 8";
        EXPECT_TRUE(readFile(dir.file("savf")) == (whole ? payload : std::string("earlier"))) << c.sizeReply;
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"savf"}) << c.sizeReply;
    }
}

TEST(FtpBounds, TransferEndsWhenTheControlConnectionGoesOrNothingMoves)
{
    struct Case {
        const char *name;
        bool closeControl;
        const char *message;
    } cases[] = {
        {"control closed", true, "The host closed the control connection during the transfer"},
        {"stalled", false, "The transfer stalled: no data moved for 1 s"},
    };
    for (const auto &c : cases) {
        ScriptedFtpServer server([&](Session &s) {
            signOn(s);
            s.expect("PORT ");
            s.reply("200 ok");
            s.expect("RETR savf");
            s.reply("150 Sending.");
            s.openData();
            s.dataSend(std::string(10000, 'x'));
            if (c.closeControl)
                s.closeControl();
            s.dataReceiveAll(); // holds the data connection open until the client drops it
        });
        TempDir dir;
        Client client(server.port());
        client.ftp.Connect();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(failureOf([&] { client.ftp.Download("savf", dir.file("savf")); }), c.message) << c.name;
        EXPECT_LT(secondsSince(t0), 4.0) << c.name;
        EXPECT_TRUE(filesIn(dir.path()).empty()) << c.name;
        // Either way the dialogue is out of step: the session has ended.
        EXPECT_FALSE(client.ftp.Connected) << c.name;
    }
    // Without a limit a stalled transfer is overdue like a reply, and the
    // user can stop it.
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Sending.");
        s.openData();
        s.dataSend(std::string(10000, 'x'));
        s.dataReceiveAll();
    });
    TempDir dir;
    Client client(server.port(), 0);
    client.ftp.OverdueAfter = 300;
    std::vector<bool> overdue;
    client.ftp.OnReplyOverdue = [&](bool late) {
        overdue.push_back(late);
        if (late)
            client.ftp.Stop("Stopped by the operator");
    };
    client.ftp.Connect();
    EXPECT_EQ(failureOf([&] { client.ftp.Download("savf", dir.file("savf")); }), "Stopped by the operator");
    EXPECT_EQ(overdue, (std::vector<bool>{true, false}));
    EXPECT_TRUE(filesIn(dir.path()).empty());
}

TEST(FtpBounds, AbortReplyWhileTheDataConnectionStaysOpenEndsTheTransfer)
{
    ScriptedFtpServer server([](Session &s) {
        signOn(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR savf");
        s.reply("150 Sending.");
        s.openData();
        s.dataSend(std::string(10000, 'x'));
        s.reply("426 Connection closed; transfer aborted.");
        s.dataReceiveAll(); // the data connection stays open until the client drops it
    });
    TempDir dir;
    Client client(server.port());
    client.ftp.Connect();
    const auto t0 = std::chrono::steady_clock::now();
    client.ftp.Download("savf", dir.file("savf"));
    EXPECT_LT(secondsSince(t0), 4.0);
    EXPECT_EQ(client.events,
              (std::vector<std::string>{"failure 8 426 Connection closed; transfer aborted.\r\n"}));
    EXPECT_TRUE(filesIn(dir.path()).empty());
}

TEST(FtpBounds, ClosingRepliesShowTheHostsTextAndEndTheSession)
{
    // 421 to a command, and as the greeting.
    {
        ScriptedFtpServer server([](Session &s) {
            signOn(s);
            s.expect("RCMD X");
            s.reply("421 Service not available, closing control connection.");
        });
        Client client(server.port());
        client.ftp.OnFailure = nullptr;
        client.ftp.Connect();
        EXPECT_EQ(failureOf([&] { client.ftp.SendCommand("RCMD X"); }),
                  "421 Service not available, closing control connection.\r\n");
        EXPECT_FALSE(client.ftp.Connected);
    }
    {
        ScriptedFtpServer server([](Session &s) { s.reply("421 Too many users, try later."); });
        Client client(server.port());
        EXPECT_EQ(failureOf([&] { client.ftp.Connect(); }), "421 Too many users, try later.\r\n");
    }
    // QUIT as a raw command: 221 ends the session as a success.
    {
        ScriptedFtpServer server([](Session &s) {
            signOn(s);
            s.expect("QUIT");
            s.reply("221 QUIT subcommand received.");
        });
        Client client(server.port());
        client.ftp.Connect();
        client.ftp.SendCommand("QUIT");
        EXPECT_FALSE(client.ftp.Connected);
        EXPECT_EQ(failureOf([&] { client.ftp.Disconnect(); }), "");
        server.join();
        EXPECT_EQ(server.received(), (std::vector<std::string>{"USER bob", "PASS secret", "QUIT"}));
    }
}
