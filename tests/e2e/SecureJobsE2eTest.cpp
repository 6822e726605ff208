// Save and restore through passive mode and FTP over TLS, by the wizard and
// by quellon-cli, against hosts whose certificate the test makes. The hosts'
// wire logs show what crossed the wire.

#include "JobsE2eFixture.h"
#include "hostsim/TestCert.h"

using namespace e2e;

namespace
{

class SecureJobsE2e : public JobsE2e
{
protected:
    void SetUp() override
    {
        JobsE2e::SetUp();
        cert = makeTestCert(tmp.file("host.pem"), "hostsim");
        other = makeTestCert(tmp.file("other.pem"), "hostsim");
    }

    // A host that requires TLS (`mode` explicit or implicit) or offers it
    // ("" : plain unless the client asks), with its wire and command logs.
    std::unique_ptr<HostSimProcess> tlsHost(const std::string &name, const std::string &mode,
                                            const TestCert &c, std::vector<std::string> extra = {})
    {
        extra.insert(extra.end(), {"--tls-cert", c.file, "--wire-log", tmp.file(name + ".wire"), "--log",
                                   tmp.file(name + ".log")});
        if (!mode.empty())
            extra.insert(extra.end(), {"--tls", mode});
        return host(tmp.file(name), extra);
    }
    std::string wire(const std::string &name) const { return readFile(tmp.file(name + ".wire")); }
    std::string commands(const std::string &name) const { return readFile(tmp.file(name + ".log")); }

    // 64 bytes from the middle of the archive's save file: if they are on
    // the wire, the save file crossed it in the clear.
    std::string saveFileSample(const std::string &archive)
    {
        std::string savf;
        EXPECT_EQ(runCommand("unzip -p " + shellQuote(archive) + " '4QL*'", &savf), 0);
        EXPECT_GT(savf.size(), 20000u);
        return savf.substr(savf.size() / 2, 64);
    }

    TestCert cert, other;
};

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// ---------------------------------------------------------------- quellon-cli

TEST_F(SecureJobsE2e, CliSavesAndRestoresThroughPassiveModeAndBothKindsOfTls)
{
    struct Way {
        const char *name, *hostMode, *flags;
        bool secure, passive;
    };
    const Way ways[] = {
        {"passive", "", " --passive", false, true},
        {"explicit-active", "explicit", " --tls explicit", true, false},
        {"explicit-passive", "explicit", " --passive --tls explicit", true, true},
        {"implicit-passive", "implicit", " --passive --tls implicit", true, true},
    };
    for (const Way &w : ways) {
        SCOPED_TRACE(w.name);
        const std::string from = std::string(w.name) + "-1", to = std::string(w.name) + "-2";
        auto as1 = tlsHost(from, w.hostMode, cert, {"--seed-library", "MYLIB"});
        auto as2 = tlsHost(to, w.hostMode, cert);
        const std::string pin = w.secure ? " --tls-fingerprint " + cert.fingerprint : "";
        const std::string archive = tmp.file(std::string(w.name) + ".4ql");
        std::string out;
        ASSERT_EQ(
            cli("save " + shellQuote(archive) + cliHost(*as1) + w.flags + pin + " --library MYLIB", &out), 0)
            << out;
        EXPECT_EQ(out.find("Sign-on and transfers protected by TLS") != std::string::npos, w.secure) << out;
        ASSERT_EQ(runCommand("unzip -tq " + shellQuote(archive), &out), 0) << out;
        ASSERT_EQ(cli("restore " + shellQuote(archive) + cliHost(*as2) + w.flags + pin, &out), 0) << out;
        EXPECT_EQ(objects(tmp.file(to + "/MYLIB")), objects(tmp.file(from + "/MYLIB")));

        const std::string sample = saveFileSample(archive);
        for (const std::string &h : {from, to}) {
            const std::string log = commands(h);
            EXPECT_EQ(log.find("PORT") == std::string::npos, w.passive) << h << "\n" << log;
            EXPECT_EQ(log.find("PBSZ 0") < log.find("USER JOE"), w.secure) << h << "\n" << log;
            // In the clear the wire log sees both, which shows it would
            // catch them under TLS.
            EXPECT_EQ(wire(h).find("secret") != std::string::npos, !w.secure) << h;
            EXPECT_EQ(wire(h).find(sample) != std::string::npos, !w.secure) << h;
            EXPECT_GT(wire(h).size(), 20000u) << h << ": the wire log saw the save file cross, encrypted or not";
        }
    }
}

TEST_F(SecureJobsE2e, CliRefusesAnUntrustedOrChangedCertificateBeforeSigningOn)
{
    auto as1 = tlsHost("as1", "explicit", cert, {"--seed-library", "MYLIB"});
    const std::string archive = tmp.file("x.4ql");
    std::string out;
    // Nothing vouches for a self-signed certificate: refused, with the
    // fingerprint to check and the option that would trust it.
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --tls explicit --library MYLIB", &out),
              1);
    EXPECT_NE(out.find("certificate is not trusted"), std::string::npos) << out;
    EXPECT_NE(out.find("--tls-fingerprint " + cert.fingerprint), std::string::npos) << out;
    EXPECT_EQ(count(out, "quellon-cli:"), 1u) << "one line per failure\n" << out;
    // Another certificate than the one pinned: refused, saying which.
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --tls explicit --tls-fingerprint " +
                      other.fingerprint + " --library MYLIB",
                  &out),
              1);
    EXPECT_NE(out.find("expected SHA-256 " + other.fingerprint + ", got " + cert.fingerprint),
              std::string::npos)
        << out;
    EXPECT_EQ(count(out, "quellon-cli:"), 1u) << "one line per failure\n" << out;
    EXPECT_FALSE(fileExists(archive));
    EXPECT_EQ(commands("as1").find("USER"), std::string::npos) << "no sign-on without a trusted host";
    EXPECT_EQ(wire("as1").find("secret"), std::string::npos);

    // Options that cannot work are usage errors.
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) + " --tls-fingerprint " + cert.fingerprint +
                      " --library MYLIB",
                  &out),
              2);
    EXPECT_EQ(cli("save " + shellQuote(archive) + cliHost(*as1) +
                      " --tls explicit --tls-fingerprint AB:CD --library MYLIB",
                  &out),
              2);
    EXPECT_NE(out.find("not a SHA-256 fingerprint"), std::string::npos) << out;
    EXPECT_EQ(cli("restore " + shellQuote(archive) + cliHost(*as1) + " --tls sometimes", &out), 2);
}

// ---------------------------------------------------------------- wizard

TEST_F(SecureJobsE2e, WizardAsksOnceAboutACertificateThenTrustsExactlyThatOne)
{
    auto as1 = tlsHost("as1", "explicit", cert, {"--seed-library", "MYLIB"});
    const std::string archive = tmp.file("MYLIB.4ql");
    transport = FtpTransport{true, TFtpSecurity::Explicit, ""};
    dialogs.boxAnswers.push_back(platform::mrYes); // trust it from now on
    saveWithWizard(as1->port(), archive, "mylib");
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone) << ::testing::PrintToString(listLines());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "Host certificate");
    std::string asked = dialogs.boxes[0].text;
    std::erase(asked, '\n');
    EXPECT_NE(asked.find(cert.fingerprint), std::string::npos) << dialogs.boxes[0].text;
    EXPECT_NE(dialogs.boxes[0].text.find("localhost"), std::string::npos);
    // The activity in the clear, and one line saying what protects it.
    const auto lines = jobLines(kSaveSummaryLines);
    ASSERT_EQ(lines.size(), 11u) << ::testing::PrintToString(listLines());
    EXPECT_EQ(lines[2], "User profile 'JOE' now online with localhost");
    EXPECT_EQ(lines[3], "Sign-on and transfers protected by TLSv1.3");
    EXPECT_EQ(lines[6], "Now Downloading from: localhost");
    EXPECT_EQ(wire("as1").find("secret"), std::string::npos);
    EXPECT_EQ(wire("as1").find(saveFileSample(archive)), std::string::npos);
    EXPECT_NE(commands("as1").find("EPSV"), std::string::npos);

    // The host's profile keeps the choice and the certificate.
    platform::Registry reg;
    std::string key;
    for (const auto &k : reg.subKeys("Hosts"))
        if (reg.readString("Hosts/" + k, "ServerName") == "localhost")
            key = "Hosts/" + k;
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(reg.readString(key, "Passive"), "1");
    EXPECT_EQ(reg.readString(key, "Security"), "1");
    EXPECT_EQ(reg.readString(key, "TlsFingerprint"), cert.fingerprint);
    form->removeRunFolder();

    // The next job takes all of it from the profile and asks nothing.
    transport.reset();
    auto as2 = tlsHost("as2", "explicit", cert);
    restoreWithWizard(as2->port(), archive);
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone) << ::testing::PrintToString(listLines());
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));
    EXPECT_EQ(wire("as2").find("secret"), std::string::npos);
    form->removeRunFolder();

    // A host that shows another certificate under the same name is refused
    // before the password leaves, and the job is not reported as done.
    auto as3 = tlsHost("as3", "explicit", other);
    // As the button's handler does, the failure goes to the exception display.
    platform::guarded([&] { restoreWithWizard(as3->port(), archive); });
    EXPECT_NE(form->Wizard->currentWidget(), form->tabSaveDone);
    std::string shown;
    for (const auto &e : dialogs.exceptions)
        shown += e + "\n";
    for (const auto &b : dialogs.boxes)
        shown += b.text + "\n";
    for (const auto &l : listLines())
        shown += l + "\n";
    EXPECT_NE(shown.find("certificate changed"), std::string::npos) << shown;
    EXPECT_NE(shown.find(other.fingerprint), std::string::npos) << shown;
    EXPECT_NE(shown.find("choose Forget"), std::string::npos) << shown;
    EXPECT_EQ(commands("as3").find("USER"), std::string::npos);
    EXPECT_TRUE(objects(tmp.file("as3/MYLIB")).empty());
}

TEST_F(SecureJobsE2e, WizardRefusedCertificateSignsNothingOnAndAcceptOnceIsNotKept)
{
    auto as1 = tlsHost("as1", "implicit", cert, {"--seed-library", "MYLIB"});
    transport = FtpTransport{true, TFtpSecurity::Implicit, ""};
    dialogs.boxAnswers.push_back(platform::mrCancel);
    platform::guarded([&] { saveWithWizard(as1->port(), tmp.file("refused.4ql"), "MYLIB"); });
    ASSERT_EQ(dialogs.exceptions.size(), 1u);
    EXPECT_NE(dialogs.exceptions[0].find("certificate is not trusted"), std::string::npos)
        << dialogs.exceptions[0];
    EXPECT_NE(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_FALSE(fileExists(tmp.file("refused.4ql")));
    EXPECT_EQ(commands("as1").find("USER"), std::string::npos);
    form->removeRunFolder();

    // Trusted for this job only: the save runs, and the next job asks again.
    dialogs.boxAnswers.push_back(platform::mrNo);
    saveWithWizard(as1->port(), tmp.file("once.4ql"), "MYLIB");
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone) << ::testing::PrintToString(listLines());
    EXPECT_TRUE(fileExists(tmp.file("once.4ql")));
    EXPECT_EQ(dialogs.boxes.size(), 2u);
    platform::Registry reg;
    for (const auto &k : reg.subKeys("Hosts"))
        EXPECT_EQ(reg.readString("Hosts/" + k, "TlsFingerprint"), "");
}

} // namespace
