// Passive mode and FTP over TLS, end to end against the emulated host, with
// certificates made here. The emulator's wire log holds every byte that
// crossed its sockets, so what TLS hides can be checked on the wire itself.
#include "hostsim/HostSimProcess.h"
#include "hostsim/TestCert.h"
#include "net/NMFtp.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

using testsupport::HostSimProcess;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::TestCert;
using testsupport::writeFile;

namespace
{

const char kPassword[] = "Wire-Pw-7f3c91";

class FtpTls : public ::testing::Test
{
protected:
    void SetUp() override
    {
        cert_ = testsupport::makeTestCert(dir_.file("host.pem"), "hostsim");
        other_ = testsupport::makeTestCert(dir_.file("other.pem"), "hostsim");
        payload_ = testsupport::randomBytes(3 * 1024 * 1024 + 4321, 7);
        writeFile(dir_.file("src.bin"), payload_);
    }

    void startHost(std::vector<std::string> extra)
    {
        extra.insert(extra.end(), {"--wire-log", dir_.file("wire.log"), "--log", dir_.file("cmd.log")});
        host_ = std::make_unique<HostSimProcess>(dir_.file("root"), extra, "JOE", kPassword);
        ASSERT_TRUE(host_->running());
    }

    std::unique_ptr<TNMFTP> client(TFtpSecurity security, bool passive, const std::string &fingerprint)
    {
        auto ftp = std::make_unique<TNMFTP>();
        ftp->Host = "127.0.0.1";
        ftp->Port = host_->port();
        ftp->UserID = "JOE";
        ftp->Password = kPassword;
        ftp->TimeOut = 10000;
        ftp->Passive = passive;
        ftp->Security = security;
        ftp->TlsFingerprint = fingerprint;
        if (std::getenv("QUELLON_TEST_VERBOSE")) {
            ftp->ReportLevel = 4;
            ftp->OnStatus = [](TPowersock *, const std::string &t) {
                std::fprintf(stderr, "ftp: %s\n", t.c_str());
            };
        }
        return ftp;
    }

    // Upload into a fresh save file and download it again; both byte-exact.
    void roundTrip(TNMFTP &ftp)
    {
        static int n = 0;
        const std::string savf = "QGPL/TLS" + std::to_string(++n);
        ftp.Connect();
        ftp.SendCommand("RCMD CRTSAVF " + savf);
        ftp.SetTransferType(2);
        ftp.Upload(dir_.file("src.bin"), savf);
        ftp.Download(savf, dir_.file("back.bin"));
        ftp.Disconnect();
        EXPECT_TRUE(readFile(dir_.file("back.bin")) == payload_) << "download differs from upload";
    }

    bool onWire(const std::string &bytes) const
    {
        return readFile(dir_.file("wire.log")).find(bytes) != std::string::npos;
    }
    // Any 64-byte run of the file, as a test for file bytes in the clear.
    bool fileOnWire() const { return onWire(payload_.substr(1000000, 64)); }
    std::string commands() const { return readFile(dir_.file("cmd.log")); }

    TempDir dir_;
    TestCert cert_, other_;
    std::string payload_;
    std::unique_ptr<HostSimProcess> host_;
};

std::string refusal(TNMFTP &ftp)
{
    try {
        ftp.Connect();
    } catch (const ETlsError &e) {
        EXPECT_FALSE(ftp.Connected);
        return e.what();
    } catch (const std::exception &e) {
        return std::string("not a TLS refusal: ") + e.what();
    }
    return "connected";
}

} // namespace

TEST_F(FtpTls, PassivePlainIsByteExactAndTheWireLogSeesEverything)
{
    startHost({"--tls-cert", cert_.file});
    auto ftp = client(TFtpSecurity::None, true, "");
    roundTrip(*ftp);
    EXPECT_NE(commands().find("EPSV"), std::string::npos);
    EXPECT_EQ(commands().find("PORT"), std::string::npos);
    // In the clear both are there: the capture below does see the wire.
    EXPECT_TRUE(onWire(kPassword));
    EXPECT_TRUE(fileOnWire());
}

TEST_F(FtpTls, ExplicitTlsHidesPasswordAndFileInBothModes)
{
    startHost({"--tls-cert", cert_.file, "--tls", "explicit"});
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        auto ftp = client(TFtpSecurity::Explicit, passive, cert_.fingerprint);
        int resumed = 0;
        ftp->ReportLevel = 1;
        ftp->OnStatus = [&](TPowersock *, const std::string &t) {
            resumed +=
                t.find("Data connection protected") == 0 && t.find("session resumed") != std::string::npos;
        };
        roundTrip(*ftp);
        EXPECT_EQ(ftp->PeerFingerprint(), cert_.fingerprint);
        EXPECT_EQ(resumed, 2) << "both data connections resume the control connection's session";
    }
    const std::string log = commands();
    EXPECT_LT(log.find("AUTH TLS"), log.find("PBSZ 0"));
    EXPECT_LT(log.find("PROT P"), log.find("USER JOE"));
    EXPECT_NE(log.find("PORT"), std::string::npos);
    EXPECT_NE(log.find("EPSV"), std::string::npos);
    EXPECT_FALSE(onWire(kPassword));
    EXPECT_FALSE(fileOnWire());
    EXPECT_FALSE(onWire("USER JOE"));
}

TEST_F(FtpTls, ImplicitTlsRoundTrip)
{
    startHost({"--tls-cert", cert_.file, "--tls", "implicit"});
    auto ftp = client(TFtpSecurity::Implicit, true, cert_.fingerprint);
    roundTrip(*ftp);
    EXPECT_FALSE(onWire(kPassword));
    EXPECT_FALSE(fileOnWire());
}

// Explicit TLS to a port that expects TLS from the first byte: both sides
// wait for the other to speak, which must end within the reply limit.
TEST_F(FtpTls, ExplicitTlsToAnImplicitPortEndsWithinTheReplyLimit)
{
    startHost({"--tls-cert", cert_.file, "--tls", "implicit"});
    auto ftp = client(TFtpSecurity::Explicit, true, cert_.fingerprint);
    ftp->ReplyTimeOut = 1000;
    try {
        ftp->Connect();
        FAIL() << "signed on";
    } catch (const ESockError &e) {
        EXPECT_EQ(std::string(e.what()).rfind("The host sent no greeting within 1 s", 0), 0u) << e.what();
    }
    EXPECT_FALSE(ftp->Connected);
}

// A short file is sent, close_notify and all, and the data connection closed
// while the client is still waiting for the reply to RETR; the handshake had
// completed, so the file counts. Each round runs that race once.
TEST_F(FtpTls, ShortFilesArriveWholeWhenTheHostClosesFirst)
{
    startHost({"--tls-cert", cert_.file, "--tls", "explicit"});
    const std::string tiny = payload_.substr(0, 100);
    writeFile(dir_.file("tiny.bin"), tiny);
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        auto ftp = client(TFtpSecurity::Explicit, passive, cert_.fingerprint);
        const std::string savf = passive ? "QGPL/TINYP" : "QGPL/TINYA";
        ftp->Connect();
        ftp->SendCommand("RCMD CRTSAVF " + savf);
        ftp->SetTransferType(2);
        ftp->Upload(dir_.file("tiny.bin"), savf);
        for (int round = 0; round < 25; ++round) {
            std::remove(dir_.file("back.bin").c_str());
            ASSERT_NO_THROW(ftp->Download(savf, dir_.file("back.bin"))) << "round " << round;
            ASSERT_EQ(readFile(dir_.file("back.bin")), tiny) << "round " << round;
        }
        ftp->Disconnect();
    }
}

// The client sends its records in large pieces and holds the last ones until
// the file ends: whatever the size, the host must get the file whole, and
// in both modes.
TEST_F(FtpTls, UploadsOfOddSizesArriveWhole)
{
    startHost({"--tls-cert", cert_.file, "--tls", "explicit"});
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        auto ftp = client(TFtpSecurity::Explicit, passive, cert_.fingerprint);
        ftp->Connect();
        ftp->SetTransferType(2);
        int n = 0;
        for (size_t size : {size_t{0}, size_t{1}, size_t{16385}, size_t{3 * 262144 + 13}}) {
            SCOPED_TRACE(size);
            const std::string name = std::string(passive ? "ODDP" : "ODDA") + std::to_string(++n);
            const std::string bytes = payload_.substr(payload_.size() - size);
            writeFile(dir_.file("odd.bin"), bytes);
            ftp->SendCommand("RCMD CRTSAVF QGPL/" + name);
            ASSERT_NO_THROW(ftp->Upload(dir_.file("odd.bin"), "QGPL/" + name));
            EXPECT_TRUE(readFile(dir_.file("root/QGPL/" + name + ".FILE")) == bytes);
        }
        ftp->Disconnect();
    }
}

TEST_F(FtpTls, UntrustedCertificateIsRefusedBeforeSignOn)
{
    startHost({"--tls-cert", cert_.file});
    auto ftp = client(TFtpSecurity::Explicit, true, "");
    const std::string why = refusal(*ftp);
    EXPECT_NE(why.find("the host's certificate is not trusted (self-signed certificate)"), std::string::npos)
        << why;
    EXPECT_NE(why.find(cert_.fingerprint), std::string::npos) << why;

    // A handler that says no is the same refusal.
    int asked = 0;
    ftp->OnVerifyCertificate = [&](const std::string &, const std::string &, TCertAnswer &a) {
        ++asked;
        a = TCertAnswer::Reject;
    };
    EXPECT_NE(refusal(*ftp).find("not trusted"), std::string::npos);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(commands().find("USER"), std::string::npos);
    EXPECT_FALSE(onWire(kPassword));
}

TEST_F(FtpTls, AcceptedFingerprintIsRememberedAndThenPinned)
{
    startHost({"--tls-cert", cert_.file});
    auto first = client(TFtpSecurity::Explicit, true, "");
    std::string seenFp, seenProblem;
    first->OnVerifyCertificate = [&](const std::string &fp, const std::string &problem, TCertAnswer &a) {
        seenFp = fp;
        seenProblem = problem;
        a = TCertAnswer::AcceptAndRemember;
    };
    first->Connect();
    first->Disconnect();
    EXPECT_EQ(seenFp, cert_.fingerprint);
    EXPECT_EQ(seenProblem, "self-signed certificate");
    EXPECT_EQ(first->TlsFingerprint, cert_.fingerprint);

    // The remembered value, in any spelling, is enough on the next session:
    // nobody is asked again.
    std::string lower;
    for (char c : first->TlsFingerprint)
        if (c != ':')
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto second = client(TFtpSecurity::Explicit, true, lower);
    second->OnVerifyCertificate = [](const std::string &, const std::string &, TCertAnswer &a) {
        ADD_FAILURE() << "asked again";
        a = TCertAnswer::Reject;
    };
    roundTrip(*second);
}

TEST_F(FtpTls, ChangedCertificateIsRefusedAndSaysWhich)
{
    startHost({"--tls-cert", cert_.file});
    auto ftp = client(TFtpSecurity::Explicit, true, other_.fingerprint);
    bool asked = false;
    ftp->OnVerifyCertificate = [&](const std::string &, const std::string &, TCertAnswer &a) {
        asked = true;
        a = TCertAnswer::Accept;
    };
    EXPECT_EQ(refusal(*ftp), "the host's certificate changed: expected SHA-256 " + other_.fingerprint +
                                 ", got " + cert_.fingerprint);
    EXPECT_FALSE(asked) << "a pinned host is never put to the user again";
    EXPECT_EQ(commands().find("USER"), std::string::npos);
}

TEST_F(FtpTls, CaFileTrustsTheHost)
{
    startHost({"--tls-cert", cert_.file});
    auto ftp = client(TFtpSecurity::Explicit, false, "");
    ftp->TlsCaFile = cert_.file;
    roundTrip(*ftp);

    // The wrong CA does not.
    auto wrong = client(TFtpSecurity::Explicit, false, "");
    wrong->TlsCaFile = other_.file;
    EXPECT_NE(refusal(*wrong).find("not trusted"), std::string::npos);
}

TEST_F(FtpTls, HostWithoutTlsIsNeverSignedOnInTheClear)
{
    startHost({});
    auto ftp = client(TFtpSecurity::Explicit, true, cert_.fingerprint);
    EXPECT_EQ(refusal(*ftp),
              "the host refused TLS: 431 Requested security mechanism not available at this time.\r\n");
    EXPECT_EQ(commands().find("USER"), std::string::npos);
    EXPECT_FALSE(onWire(kPassword));
}

TEST_F(FtpTls, TransferBrokenOffUnderTlsFails)
{
    startHost({"--tls-cert", cert_.file});
    roundTrip(*client(TFtpSecurity::Explicit, true, cert_.fingerprint));
    host_.reset();
    startHost({"--tls-cert", cert_.file, "--abort-transfer-after", "100000"});
    auto ftp = client(TFtpSecurity::Explicit, true, cert_.fingerprint);
    ftp->Connect();
    ftp->SetTransferType(2);
    EXPECT_ANY_THROW(ftp->Download("QGPL/TLS1", dir_.file("cut.bin")));
    ftp->SendCommand("RCMD CRTSAVF QGPL/CUT");
    EXPECT_ANY_THROW(ftp->Upload(dir_.file("src.bin"), "QGPL/CUT"));
    // The session survives for the next command.
    ftp->SendCommand("NOOP");
    ftp->Disconnect();
}

TEST_F(FtpTls, HostThatRequiresTlsTurnsAwayAPlainSignOn)
{
    startHost({"--tls-cert", cert_.file, "--tls", "explicit"});
    auto ftp = client(TFtpSecurity::None, true, "");
    try {
        ftp->Connect();
        ADD_FAILURE() << "signed on in the clear";
    } catch (const FTPException &e) {
        EXPECT_EQ(std::string(e.what()), "530 Use AUTH TLS before signing on.\r\n");
    }
    // The password never left: the host refused USER already.
    EXPECT_FALSE(onWire(kPassword));
}

TEST_F(FtpTls, ProtectionCommandsNeedTlsFirst)
{
    startHost({"--tls-cert", cert_.file});
    auto ftp = client(TFtpSecurity::None, true, "");
    ftp->Connect();
    for (const char *cmd : {"PBSZ 0", "PROT P"}) {
        try {
            ftp->SendCommand(cmd);
            ADD_FAILURE() << cmd << " accepted in the clear";
        } catch (const FTPException &e) {
            EXPECT_EQ(std::string(e.what()).substr(0, 4), "503 ") << e.what();
        }
    }
    ftp->Disconnect();
}

// A host reached over IPv6: EPRT for active mode (PORT has no room for the
// address), EPSV for passive mode; the address also in brackets.
TEST_F(FtpTls, Ipv6HostInBothModes)
{
    host_ = std::make_unique<HostSimProcess>(
        dir_.file("root"), std::vector<std::string>{"--listen", "[::1]:0", "--log", dir_.file("cmd.log")},
        "JOE", kPassword);
    if (!host_->running())
        GTEST_SKIP() << "no IPv6 loopback here";
    EXPECT_EQ(host_->firstLine(), "quellon-hostsim listening on [::1]:" + std::to_string(host_->port()));
    for (const bool passive : {false, true}) {
        auto ftp = client(TFtpSecurity::None, passive, "");
        ftp->Host = passive ? "[::1]" : "::1";
        roundTrip(*ftp);
    }
    const std::string log = commands();
    EXPECT_NE(log.find("EPRT |2|::1|"), std::string::npos) << log;
    EXPECT_NE(log.find("EPSV"), std::string::npos) << log;
    EXPECT_EQ(log.find("PORT "), std::string::npos) << log;
}
