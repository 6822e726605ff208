#include "WizardFixture.h"

#include <QCoreApplication>
#include <QFocusEvent>

using namespace app;

namespace {

struct Profile {
    std::string key, server, port, proxy, proxyPort, user;
};

void writeProfiles(const std::vector<Profile> &ps, const std::string &last)
{
    platform::Registry reg;
    for (const auto &p : ps) {
        const std::string k = "Hosts/" + p.key;
        reg.writeString(k, "ServerName", p.server);
        reg.writeString(k, "Port", p.port);
        reg.writeString(k, "Proxy", p.proxy);
        reg.writeString(k, "ProxyPort", p.proxyPort);
        reg.writeString(k, "UserProfile", p.user);
    }
    reg.writeString("Hosts", "LastHostUsed", last);
}

std::string value(const std::string &key, const std::string &name)
{
    return platform::Registry().readString(key, name);
}

void leaveHostField(TestForm &f)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(f.edtServerName->lineEdit(), &out);
}

} // namespace

TEST_F(WizardTest, LoadListsHostsLastFirstAndAppliesTheLastUsed)
{
    writeProfiles({{"000000000", "as1", "21", "", "0", "JOE"},
                   {"000000001", "AS1", "2121", "proxy.lan", "8021", "ANN"},
                   {"000000002", "10.0.0.7", "21", "", "0", "BOB"}},
                  "000000001");
    TestForm &f = create({});
    ASSERT_EQ(f.edtServerName->count(), 3);
    EXPECT_EQ(f.edtServerName->itemText(0).toStdString(), "10.0.0.7");
    EXPECT_EQ(f.edtServerName->itemText(2).toStdString(), "as1");
    EXPECT_EQ(f.edtServerName->currentText().toStdString(), "AS1");
    EXPECT_EQ(f.Port, 2121);
    EXPECT_EQ(f.Proxy, "proxy.lan");
    EXPECT_EQ(f.ProxyPort, 8021);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "ANN");
    EXPECT_TRUE(f.edtPassword->text().isEmpty());
}

TEST_F(WizardTest, FirstRunCreatesProfileZeroOnTheConnectionPage)
{
    TestForm &f = start({});
    f.edtUserProfile->setText("joe");
    for (int i = 0; i < 4; ++i)
        next();
    ASSERT_EQ(page(), f.tabConnectInfo);
    EXPECT_EQ(platform::Registry().subKeys("Hosts"), std::vector<std::string>{"000000000"});
    EXPECT_EQ(value("Hosts/000000000", "ServerName"), "");
    EXPECT_EQ(value("Hosts/000000000", "Port"), "21");
    EXPECT_EQ(value("Hosts/000000000", "Proxy"), "");
    EXPECT_EQ(value("Hosts/000000000", "ProxyPort"), "0");
    EXPECT_EQ(value("Hosts/000000000", "UserProfile"), "joe");
    EXPECT_EQ(value("Hosts", "LastHostUsed"), "000000000");
}

TEST_F(WizardTest, LeavingTheHostFieldLooksUpOrCreates)
{
    writeProfiles({{"000000000", "as1", "2121", "", "0", "JOE"}}, "000000000");
    testsupport::writeFile(tmp.file("x.4ql"), "PK");
    TestForm &f = start({tmp.file("x.4ql")});
    jobs::TArchiveInfo record;
    record.reset();
    record.setSavedLibrary("MYLIB");
    record.setDefaultTargetHost("as1");
    record.setDefaultUserProfile("JOE");
    record.setTempSaveFilePath("/tmp/_4Q1/4QL1.tmp");
    f.memberInArchive = record;
    next();
    next();
    next();
    ASSERT_EQ(page(), f.tabConnectInfo);

    // A new name makes the next profile at once; leaving again makes none.
    f.edtServerName->setEditText("AS2");
    f.edtUserProfile->setText("ANN");
    leaveHostField(f);
    EXPECT_EQ(platform::Registry().subKeys("Hosts").size(), 2u);
    EXPECT_EQ(value("Hosts/000000001", "ServerName"), "AS2");
    EXPECT_EQ(value("Hosts/000000001", "UserProfile"), "ANN");
    EXPECT_EQ(value("Hosts", "LastHostUsed"), "000000001");
    leaveHostField(f);
    EXPECT_EQ(platform::Registry().subKeys("Hosts").size(), 2u);

    // Choosing a known host applies its profile when the field is left;
    // "LastHostUsed" stays.
    f.edtServerName->setEditText("as1");
    f.Port = 99;
    f.edtUserProfile->setText("SOMEONE");
    leaveHostField(f);
    EXPECT_EQ(f.Port, 2121);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "JOE");
    EXPECT_EQ(value("Hosts", "LastHostUsed"), "000000001");

    // Names compare exactly: "AS1" is another host.
    f.edtServerName->setEditText("AS1");
    leaveHostField(f);
    EXPECT_EQ(platform::Registry().subKeys("Hosts").size(), 3u);

    // Opening the drop-down does not count as leaving.
    f.edtServerName->setEditText("AS3");
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QCoreApplication::sendEvent(f.edtServerName->lineEdit(), &popup);
    EXPECT_EQ(platform::Registry().subKeys("Hosts").size(), 3u);
}

TEST_F(WizardTest, OkStoresTheCurrentSettingsWithoutThePassword)
{
    writeProfiles({{"000000000", "as1", "21", "", "0", "JOE"}, {"000000001", "as2", "21", "", "0", "ANN"}},
                  "000000001");
    TestForm &f = start({"/zip"});
    next();
    f.edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(tmp.file("MYLIB.4ql"));
    next();
    next();
    next();
    f.edtServerName->setEditText("as1");
    leaveHostField(f);
    // The connection settings dialog changed these.
    f.Port = 2121;
    f.Proxy = "gate";
    f.ProxyPort = 8021;
    f.edtUserProfile->setText("JOE2");
    f.edtPassword->setText("TopSecret");
    next();
    f.btnFinishClick();
    EXPECT_EQ(value("Hosts/000000000", "Port"), "2121");
    EXPECT_EQ(value("Hosts/000000000", "Proxy"), "gate");
    EXPECT_EQ(value("Hosts/000000000", "ProxyPort"), "8021");
    EXPECT_EQ(value("Hosts/000000000", "UserProfile"), "JOE2");
    EXPECT_EQ(value("Hosts", "LastHostUsed"), "000000000");
    EXPECT_EQ(testsupport::readFile(tmp.file("settings.ini")).find("TopSecret"), std::string::npos);

    // The next start shows that host with its settings and no password.
    f.removeRunFolder();
    TestForm &again = create({});
    EXPECT_EQ(again.edtServerName->currentText().toStdString(), "as1");
    EXPECT_EQ(again.Port, 2121);
    EXPECT_EQ(again.Proxy, "gate");
    EXPECT_TRUE(again.edtPassword->text().isEmpty());
}

TEST_F(WizardTest, BadPortIsReportedAndStopsTheLoad)
{
    writeProfiles({{"000000000", "good", "21", "", "0", "A"}, {"000000001", "bad", "twenty", "", "0", "B"}},
                  "000000001");
    TestForm &f = create({});
    ASSERT_EQ(dialogs.exceptions.size(), 1u);
    EXPECT_EQ(dialogs.exceptions[0], "'twenty' is not a valid integer value");
    // Listed up to the bad one, applied up to the bad value.
    EXPECT_EQ(f.edtServerName->count(), 1);
    EXPECT_EQ(f.edtServerName->currentText().toStdString(), "bad");
    EXPECT_EQ(f.Port, 21);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "");

    for (const char *bad : {"", "12x", "+", "99999999999", "0x15"})
        EXPECT_THROW(HostProfiles::toInteger(bad), std::runtime_error) << bad;
    EXPECT_EQ(HostProfiles::toInteger(" 21"), 21);
    EXPECT_EQ(HostProfiles::toInteger("-1"), -1);
}

TEST_F(WizardTest, TransferSettingsFollowTheHostAndOlderProfilesMeanActiveInTheClear)
{
    const std::string fp = "3A:F1:07:9C:55:20:8B:E4:1D:6F:C2:90:AA:13:5E:77:08:B9:4C:D2:E6:31:7F:A0:52:9D:C8:16:EB:44:0F:63";
    writeProfiles({{"000000000", "old", "21", "", "0", "JOE"}, {"000000001", "secure", "990", "", "0", "ANN"}},
                  "000000001");
    {
        platform::Registry reg;
        reg.writeString("Hosts/000000001", "Passive", "1");
        reg.writeString("Hosts/000000001", "Security", "2");
        reg.writeString("Hosts/000000001", "TlsFingerprint", fp);
    }
    TestForm &f = start({"/zip"});
    EXPECT_TRUE(f.Transport.passive);
    EXPECT_EQ(f.Transport.security, TFtpSecurity::Implicit);
    EXPECT_EQ(f.Transport.tlsFingerprint, fp);
    EXPECT_EQ(f.Transport.replyTimeOut, kDefaultReplyTimeOut);

    next();
    f.edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(tmp.file("MYLIB.4ql"));
    next();
    next();
    next();
    ASSERT_EQ(page(), f.tabConnectInfo);
    // A profile from before these settings: active mode, no TLS.
    f.edtServerName->setEditText("old");
    leaveHostField(f);
    EXPECT_FALSE(f.Transport.passive);
    EXPECT_EQ(f.Transport.security, TFtpSecurity::None);
    EXPECT_EQ(f.Transport.tlsFingerprint, "");
    // Back on the other host, its settings come back.
    f.edtServerName->setEditText("secure");
    leaveHostField(f);
    EXPECT_EQ(f.Transport.security, TFtpSecurity::Implicit);
    EXPECT_EQ(f.Transport.tlsFingerprint, fp);

    // OK writes them beside the other values.
    f.edtServerName->setEditText("old");
    leaveHostField(f);
    f.Transport = {true, TFtpSecurity::Explicit, "", 90000};
    f.edtPassword->setText("pw");
    next();
    f.Port = 1; // nothing listens there: the job fails, the profile is written first
    platform::guarded([&] { f.btnFinishClick(); });
    EXPECT_EQ(value("Hosts/000000000", "Passive"), "1");
    EXPECT_EQ(value("Hosts/000000000", "Security"), "1");
    EXPECT_EQ(value("Hosts/000000000", "TlsFingerprint"), "");
    EXPECT_EQ(value("Hosts/000000000", "ReplyTimeOut"), "90");
    // ... and read back as they were written.
    f.edtServerName->setEditText("secure");
    leaveHostField(f);
    f.edtServerName->setEditText("old");
    leaveHostField(f);
    EXPECT_EQ(f.Transport.replyTimeOut, 90000);
}

TEST_F(WizardTest, UnknownSecurityLevelIsReported)
{
    writeProfiles({{"000000000", "as1", "21", "", "0", "JOE"}}, "000000000");
    platform::Registry().writeString("Hosts/000000000", "Security", "7");
    TestForm &f = create({});
    ASSERT_EQ(dialogs.exceptions.size(), 1u);
    EXPECT_NE(dialogs.exceptions[0].find("'7' is not a valid security level"), std::string::npos)
        << dialogs.exceptions[0];
    (void)f;
}

TEST_F(WizardTest, ProtocolFollowsTheHostOlderProfilesMeanFtpAndAnUnknownOneIsReported)
{
    writeProfiles({{"000000000", "old", "21", "", "0", "JOE"}, {"000000001", "sshhost", "22", "", "0", "ANN"}},
                  "000000001");
    {
        platform::Registry reg;
        reg.writeString("Hosts/000000001", "Protocol", "SSH");
        reg.writeString("Hosts/000000001", "SshLibrary", "QTMP");
    }
    {
        TestForm &f = start({"/zip"});
        EXPECT_TRUE(f.Transport.ssh);
        EXPECT_EQ(f.Transport.sshLibrary, "QTMP");
        // Over SSH keys may stand for the password; over FTP it is needed.
        next();
        f.edtLibraryNameToSave->setText("MYLIB");
        dialogs.fileAnswers.push_back(tmp.file("MYLIB.4ql"));
        next();
        next();
        next();
        ASSERT_EQ(page(), f.tabConnectInfo);
        f.edtServerName->setEditText("sshhost");
        leaveHostField(f);
        f.edtPassword->clear();
        EXPECT_TRUE(f.btnNext->isEnabled());
        f.edtServerName->setEditText("old");
        leaveHostField(f);
        EXPECT_FALSE(f.btnNext->isEnabled());
        HostSettings old;
        old.serverName = "old";
        HostProfiles::lookup(old);
        EXPECT_FALSE(old.transport.ssh);
        EXPECT_EQ(old.transport.sshLibrary, "QGPL");
        old.transport.ssh = true;
        HostProfiles::store(old);
        EXPECT_EQ(value("Hosts/000000000", "Protocol"), "SSH");
        EXPECT_EQ(value("Hosts/000000000", "SshLibrary"), "QGPL");
    }
    // store() made "old" the last used.
    platform::Registry().writeString("Hosts/000000000", "Protocol", "TELNET");
    TestForm &g = create({});
    ASSERT_FALSE(dialogs.exceptions.empty());
    EXPECT_NE(dialogs.exceptions.back().find("'TELNET' is not a valid protocol"), std::string::npos)
        << dialogs.exceptions.back();
    (void)g;
}
