// Encrypted archives end to end against quellon-hostsim: quellon-cli save
// --encrypt (password typed twice at a terminal), info and restore asking
// for it, and a wrong password that sends nothing to the host.

#include "JobsE2eFixture.h"

#include "zip/ZipBuilder.h"

#include <deque>

using namespace e2e;

namespace {

// Runs the CLI under a terminal of its own (a pty), typing each answer once
// the next password prompt shows; `out` gets what the terminal showed.
int cliAtTerminal(const std::string &args, const std::vector<std::string> &answers, std::string *out)
{
    TempDir t;
    writeFile(t.file("at_terminal.py"),
              "import os, pty, sys\n"
              "pid, fd = pty.fork()\n"
              "if pid == 0:\n"
              "    os.execvp('sh', ['sh', '-c', sys.argv[1]])\n"
              "answers, seen, shown = sys.argv[2:], b'', 0\n"
              "while True:\n"
              "    try:\n"
              "        d = os.read(fd, 4096)\n"
              "    except OSError:\n"
              "        break\n"
              "    if not d:\n"
              "        break\n"
              "    seen += d\n"
              "    while answers and seen.count(b'assword') > shown:\n"
              "        shown += 1\n"
              "        os.write(fd, answers.pop(0).encode() + b'\\n')\n"
              "sys.stdout.write(seen.decode(errors='replace'))\n"
              "sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))\n");
    std::string cmd = "python3 " + t.file("at_terminal.py") + " " +
                      shellQuote(std::string(QUELLON_BIN_DIR) + "/quellon-cli " + args);
    for (const auto &a : answers)
        cmd += " " + shellQuote(a);
    return runCommand(cmd, out);
}

} // namespace

TEST_F(JobsE2e, CliEncryptedSaveInfoAndRestore)
{
    if (runCommand("command -v 7z") != 0)
        GTEST_SKIP() << "7z is needed";
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB", "--log", tmp.file("as1.log")});
    const std::string archive = tmp.file("enc.4ql");
    std::string out;
    // Two different typings: nothing is saved, the host is not even asked.
    EXPECT_EQ(cliAtTerminal("save " + archive + cliHost(*as1) + " --library MYLIB --encrypt", {"Pa55 word", "other"},
                            &out),
              1);
    EXPECT_NE(out.find("the two archive passwords differ"), std::string::npos) << out;
    EXPECT_EQ(readFile(tmp.file("as1.log")).find("SAVLIB"), std::string::npos);
    ASSERT_EQ(cliAtTerminal("save " + archive + cliHost(*as1) + " --library MYLIB --encrypt",
                            {"Pa55 word", "Pa55 word"}, &out),
              0)
        << out;
    EXPECT_EQ(out.find("Pa55"), std::string::npos) << "echoed: " << out;

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
    ASSERT_EQ(cliAtTerminal("restore " + archive + cliHost(*as2), {"Pa55 word"}, &out), 0) << out;
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));
}

namespace {

// The zip component's password dialog, answered by the test.
class TypedPasswords : public ZipPasswordPrompt {
public:
    std::deque<std::string> answers;
    int asked = 0;
    std::optional<std::string> ask(const std::string &, const std::string &, const std::string &,
                                   const std::string &) override
    {
        ++asked;
        if (answers.empty())
            return std::nullopt;
        std::string a = answers.front();
        answers.pop_front();
        return a;
    }
};

} // namespace

TEST_F(JobsE2e, WizardEncryptedSaveAndRestoreAskThePasswordOnce)
{
    if (runCommand("command -v 7z") != 0)
        GTEST_SKIP() << "7z is needed";
    auto as1 = host(tmp.file("as1"), {"--seed-library", "MYLIB"});
    const std::string archive = tmp.file("wizard.4ql");
    form = std::make_unique<E2eForm>();
    ASSERT_TRUE(form->formCreate({"/zip"}));
    form->formActivate();
    form->btnNextClick(); // what to save
    form->edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(archive);
    form->btnNextClick(); // destination, with the archive's encryption
    form->boxEncryptArchive->setChecked(true);
    EXPECT_FALSE(form->btnNext->isEnabled());
    form->edtArchivePassword->setText("Wizard pw");
    form->edtArchivePassword2->setText("Wizard p");
    EXPECT_FALSE(form->btnNext->isEnabled()) << "two different passwords";
    form->edtArchivePassword2->setText("Wizard pw");
    ASSERT_TRUE(form->btnNext->isEnabled());
    form->btnNextClick(); // restore behaviour
    form->btnNextClick(); // host
    connectPage(as1->port());
    form->btnNextClick(); // summary
    form->btnFinishClick();
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    form->removeRunFolder();
    std::string out;
    ASSERT_EQ(runCommand("7z l -slt " + archive + " | grep -c 'Method = AES-256'", &out), 0);
    EXPECT_EQ(out, "2\n");
    EXPECT_EQ(runCommand("7z t '-pWizard pw' " + archive, &out), 0) << out;

    // Restore: a wrong password stops at the file page with one box; the
    // right one, asked once, opens the record and the save file.
    TypedPasswords typed;
    setZipPasswordPrompt(&typed);
    struct Uninstall {
        ~Uninstall() { setZipPasswordPrompt(nullptr); }
    } uninstall;
    auto as2 = host(tmp.file("as2"), {"--log", tmp.file("as2.log")});
    form = std::make_unique<E2eForm>();
    ASSERT_TRUE(form->formCreate({archive}));
    form->formActivate();
    typed.answers = {"wrong"};
    form->btnNextClick(); // the file
    form->btnNextClick(); // opening it asks
    EXPECT_EQ(typed.asked, 1);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "The password is wrong for '" + archive + "'. Nothing was sent to the host.");
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabRestoreInfo);
    typed.answers = {"Wizard pw"};
    form->btnNextClick(); // Next again on the file page
    ASSERT_EQ(form->Wizard->currentWidget(), form->tabRestoreHostInfo);
    form->btnNextClick(); // host
    connectPage(as2->port());
    form->btnNextClick(); // summary
    form->btnFinishClick();
    EXPECT_TRUE(dialogs.exceptions.empty()) << dialogs.exceptions.front();
    EXPECT_EQ(form->Wizard->currentWidget(), form->tabSaveDone);
    EXPECT_EQ(typed.asked, 2);
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(objects(tmp.file("as2/MYLIB")), objects(tmp.file("as1/MYLIB")));
}
