// Encrypted archives end to end against quellon-hostsim: quellon-cli save
// --encrypt (password typed twice at a terminal), info and restore asking
// for it, and a wrong password that sends nothing to the host.

#include "JobsE2eFixture.h"

using namespace e2e;

namespace {

// Runs the CLI under a terminal (script(1)) with `typed` as its keyboard.
int cliAtTerminal(const std::string &args, const std::string &typed, std::string *out)
{
    return runCommand("printf '" + typed + "' | script -qec " + shellQuote(std::string(QUELLON_BIN_DIR) +
                                                                            "/quellon-cli " + args) +
                          " /dev/null",
                      out);
}

} // namespace

TEST_F(JobsE2e, CliEncryptedSaveInfoAndRestore)
{
    if (runCommand("command -v 7z && command -v script") != 0)
        GTEST_SKIP() << "7z and script(1) are needed";
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--log", tmp.file("as1.log")});
    const std::string archive = tmp.file("enc.4ql");
    std::string out;
    // Two different typings: nothing is saved, the host is not even asked.
    EXPECT_EQ(cliAtTerminal("save " + archive + cliHost(*as1) + " --library MYLIB --encrypt", "Pa55 word\\nother\\n",
                            &out),
              1);
    EXPECT_NE(out.find("the two archive passwords differ"), std::string::npos) << out;
    EXPECT_EQ(readFile(tmp.file("as1.log")).find("SAVLIB"), std::string::npos);
    ASSERT_EQ(cliAtTerminal("save " + archive + cliHost(*as1) + " --library MYLIB --encrypt",
                            "Pa55 word\\nPa55 word\\n", &out),
              0)
        << out;

    // Every member AES-256, and 7-Zip opens it with the password.
    ASSERT_EQ(runCommand("7z l -slt " + archive, &out), 0);
    const auto count = [&out](const std::string &what) {
        size_t n = 0;
        for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("\nPath = "), 3u) << out; // the archive and its two members
    EXPECT_EQ(count("\nMethod = AES-256 "), 2u) << out;
    EXPECT_EQ(runCommand("7z t '-pPa55 word' " + archive, &out), 0) << out;

    qputenv("APW", "Pa55 word");
    EXPECT_EQ(cli("info " + archive + " </dev/null", &out), 1); // no terminal under ctest
    EXPECT_NE(out.find("is encrypted: give its password with --archive-password-env VAR"), std::string::npos) << out;
    ASSERT_EQ(cli("info " + archive + " --archive-password-env APW", &out), 0) << out;
    EXPECT_NE(out.find("Saved library:           MYLIB"), std::string::npos) << out;
    EXPECT_NE(out.find("Encryption:              2 of 2 member(s) encrypted: AES-256 (AE-2)"), std::string::npos);

    // A wrong password: one clear line, and no sign-on at the host.
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log")});
    qputenv("APW", "wrong");
    EXPECT_EQ(cli("restore " + archive + cliHost(*as2) + " --archive-password-env APW", &out), 1);
    EXPECT_EQ(out, "quellon-cli: wrong password for " + archive + "; nothing was sent to the host\n");
    EXPECT_EQ(readFile(tmp.file("as2.log")).find("USER"), std::string::npos);

    // The right one, typed once at the terminal.
    ASSERT_EQ(cliAtTerminal("restore " + archive + cliHost(*as2), "Pa55 word\\n", &out), 0) << out;
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));
}
