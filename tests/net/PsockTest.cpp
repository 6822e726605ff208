// The socket layer on its own: connecting, host lookup rules, line reads.
#include "net/Psock.h"
#include "ScriptedFtpServer.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using nettest::ScriptedFtpServer;
using nettest::Session;

namespace
{
int closedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}
} // namespace

TEST(Psock, ErrorTexts)
{
    TPowersock s;
    EXPECT_EQ(s.ErrorMessage(10061), "10061:Connection refused");
    EXPECT_EQ(s.ErrorMessage(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(s.ErrorMessage(0), "");
    EXPECT_EQ(s.ErrorMessage(12345), "Unknown Error No. 12345");
    EXPECT_EQ(WinsockError(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockError(ECONNRESET), 10054);
}

TEST(Psock, RefusedConnectionFails)
{
    TPowersock s;
    s.Host = "127.0.0.1";
    s.Port = closedPort();
    int failed = 0;
    s.OnConnectionFailed = [&](TPowersock *) { ++failed; };
    try {
        s.Connect();
        FAIL();
    } catch (const ESockError &e) {
        EXPECT_STREQ(e.what(), "Connection Failed");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(s.Connected);
}

TEST(Psock, TimeOutEndsAConnectionThatNeverCompletes)
{
    // A listener whose accept queue is full drops further SYNs: the connect
    // neither succeeds nor fails.
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    ::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(l, 0);
    socklen_t len = sizeof a;
    ::getsockname(l, reinterpret_cast<sockaddr *>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(f);
    }
    TPowersock s;
    s.Host = "127.0.0.1";
    s.Port = ntohs(a.sin_port);
    s.TimeOut = 300;
    int failed = 0;
    s.OnConnectionFailed = [&](TPowersock *) { ++failed; };
    try {
        s.Connect();
        FAIL() << "connected through a full queue";
    } catch (const ESockError &e) {
        EXPECT_STREQ(e.what(), "Connection Timed out");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_TRUE(s.TimedOut);
    for (int f : fillers)
        ::close(f);
    ::close(l);
}

TEST(Psock, InvalidHostGetsOneRetry)
{
    TPowersock s;
    s.Host = "0.0.0.0"; // reads as an address, but as no address at all
    s.Port = 1;
    int asked = 0;
    s.OnInvalidHost = [&](bool &handled) {
        ++asked;
        handled = true; // asks again, with the same unusable host
    };
    try {
        s.Connect();
        FAIL();
    } catch (const ESockError &e) {
        EXPECT_STREQ(e.what(), "Null Remote Address");
    }
    EXPECT_EQ(asked, 1);

    ScriptedFtpServer server([](Session &sess) { sess.reply("220 hello"); });
    TPowersock t;
    t.Host = "0.0.0.0";
    t.Port = server.port();
    t.OnInvalidHost = [&](bool &handled) {
        t.Host = "127.0.0.1";
        handled = true;
    };
    t.Connect();
    EXPECT_TRUE(t.Connected);
    EXPECT_THROW(t.Connect(), ESockError); // "Already connected"
    EXPECT_TRUE(t.Connected);
}

TEST(Psock, NamesAreLookedUpAddressesAreNot)
{
    ScriptedFtpServer server([](Session &sess) {
        sess.reply("220 hello");
        sess.line();
    });
    TPowersock s;
    s.Host = "localhost";
    s.Port = server.port();
    int resolved = 0;
    s.OnHostResolved = [&](TPowersock *) { ++resolved; };
    s.Connect();
    EXPECT_EQ(resolved, 1);
    s.Disconnect();

    ScriptedFtpServer server2([](Session &sess) { sess.reply("220 hello"); });
    TPowersock t;
    t.Host = "127.0.0.1";
    t.Port = server2.port();
    t.OnHostResolved = [&](TPowersock *) { ++resolved; };
    t.Connect();
    EXPECT_EQ(resolved, 1);
}

TEST(Psock, LinesArriveOneByOneInOrder)
{
    ScriptedFtpServer server([](Session &sess) {
        sess.send("220-first\r\n220-second\r\nno digits\r\n220 last\r\n");
        sess.expect("NOOP");
        sess.reply("99999 too big");
    });
    TPowersock s;
    s.Host = "127.0.0.1";
    s.Port = server.port();
    s.Connect();
    EXPECT_EQ(s.ReadLn(), "220-first\r\n");
    EXPECT_EQ(s.ReadLn(), "220-second\r\n");
    EXPECT_EQ(s.ReadLn(), "no digits\r\n");
    EXPECT_EQ(s.ReadLn(), "220 last\r\n");
    EXPECT_EQ(s.Read(0), "");
    EXPECT_EQ(s.Transaction("NOOP"), "99999 too big\r\n");
    EXPECT_EQ(s.ReplyNumber, 0);
}

TEST(Psock, PortTexts)
{
    TPowersock s;
    s.Port = 0;
    s.Listen(true);
    std::string n = s.PortNumberText();
    unsigned hi = 0, lo = 0;
    ASSERT_EQ(std::sscanf(n.c_str(), ",%u,%u", &hi, &lo), 2) << n;
    EXPECT_GT(hi * 256 + lo, 0u);
}

TEST(ThreadTimer, FiresOnlyWhenArmed)
{
    TThreadTimer t;
    int ticks = 0;
    t.SetEnabled(false);
    t.SetInterval(5);
    t.SetOnTimer([&](TThreadTimer *) { ++ticks; });
    TPowersock pump; // only for its event-loop wait
    auto until = [&](int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    until(30);
    EXPECT_EQ(ticks, 0);
    t.SetEnabled(true);
    until(60);
    EXPECT_GT(ticks, 0);
}
