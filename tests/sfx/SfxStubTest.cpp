// ZipSFX.bin as its users meet it: a program made by ConvertSFX, run with the
// settings its header carries, on good, encrypted, damaged and unsafe archives.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;
using ziptest::Member;

namespace {

bool have(const std::string &tool) { return runCommand("command -v " + tool + " >/dev/null") == 0; }

struct SfxStub : ::testing::Test {
    TempDir tmp;
    std::string out = tmp.file("out");

    // Turns `zipBytes` into tmp/NAME.exe with the settings `set` gives.
    std::string make(const std::string &name, const std::string &zipBytes,
                     const std::function<void(TZipBuilder &)> &set = {})
    {
        const std::string zip = tmp.file(name + ".zip");
        writeFile(zip, zipBytes);
        TZipBuilder z;
        z.Unattended = true;
        z.HowToDelete = htdFinal;
        z.SFXPath = binDir() + "ZipSFX.bin";
        z.SetZipFileName(zip);
        if (set)
            set(z);
        EXPECT_EQ(z.ConvertSFX(), 0) << z.LastMessage;
        return tmp.file(name + ".exe");
    }
    int run(const std::string &exe, const std::string &args, std::string *text = nullptr, const std::string &env = {})
    {
        std::string o;
        int rc = runCommand(env + " '" + exe + "' " + args + " </dev/null 2>&1", &o);
        if (text)
            *text = o;
        return rc;
    }
};

TEST_F(SfxStub, ShowsItsTextsAndHonoursTheOverwriteMode)
{
    const std::string zip = ziptest::makeZip({Member("a.txt", "new"), Member("d/b.txt", "bee")});
    auto withMode = [&](OvrOpts mode) {
        return [mode](TZipBuilder &z) {
            z.SFXOverWriteMode = mode;
            z.SFXCaption = "Quellon data";
            z.SFXMessage = "Unpacks two files";
        };
    };
    struct Case {
        OvrOpts mode;
        std::string args;
        std::string expect;
    } cases[] = {
        {OvrNever, "", "old"},
        {OvrAlways, "", "new"},
        {OvrConfirm, "--dir '" + out + "'", "old"}, // nobody to ask: keep
        {OvrConfirm, "--yes", "new"},
        {OvrAlways, "--overwrite never", "old"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(n);
        ASSERT_EQ(runCommand("rm -rf '" + out + "' && mkdir -p '" + out + "'"), 0);
        writeFile(out + "/a.txt", "old");
        std::string exe = make("m" + std::to_string(n++), zip, withMode(c.mode));
        std::string text;
        ASSERT_EQ(run(exe, "--dir '" + out + "' " + c.args, &text), 0) << text;
        EXPECT_EQ(readFile(out + "/a.txt"), c.expect) << text;
        EXPECT_EQ(readFile(out + "/d/b.txt"), "bee");
        EXPECT_EQ(text.find("Quellon data\nUnpacks two files\n"), 0u) << text;
        EXPECT_NE(text.find(c.expect == "old" ? "1 existing file(s) kept" : "2 file(s) unpacked"), std::string::npos)
            << text;
    }
}

TEST_F(SfxStub, AsksForFolderFilesAndOverwriteOnATerminal)
{
    if (!have("script"))
        GTEST_SKIP() << "script (util-linux) missing";
    const std::string zip = ziptest::makeZip({Member("a.txt", "A"), Member("b.txt", "B"), Member("c.txt", "C")});
    const std::string exe = make("ask", zip, [](TZipBuilder &z) {
        z.SFXOptions.insert(SFXAskFiles);
        z.SFXMessage = "Read me";
    });
    ASSERT_EQ(runCommand("mkdir -p '" + out + "' && printf old > '" + out + "/c.txt'"), 0);
    // Continue, the folder, members 2 and 3, then "no" to overwriting c.txt.
    std::string text;
    ASSERT_EQ(runCommand("printf 'y\\n" + out + "\\n2 3\\nn\\n' | script -qec '" + exe + "' /dev/null", &text), 0)
        << text;
    EXPECT_FALSE(fileExists(out + "/a.txt"));
    EXPECT_EQ(readFile(out + "/b.txt"), "B");
    EXPECT_EQ(readFile(out + "/c.txt"), "old");
    EXPECT_NE(text.find("Overwrite " + out + "/c.txt?"), std::string::npos) << text;

    // "n" at the message stops before anything is written.
    ASSERT_EQ(runCommand("rm -rf '" + out + "'"), 0);
    EXPECT_EQ(runCommand("printf 'n\\n' | script -qec '" + exe + "' /dev/null", &text), 1) << text;
    EXPECT_FALSE(fileExists(out + "/b.txt"));
}

TEST_F(SfxStub, RunsTheCommandLineAndStaysQuietWhenAsked)
{
    const std::string zip = ziptest::makeZip({Member("a.txt", "A")});
    std::string exe = make("run", zip, [](TZipBuilder &z) {
        z.SFXCommandLine = "cat a.txt > copy.txt && echo '><' > where.txt";
        z.SFXOptions.insert(SFXNoSuccessMsg);
    });
    std::string text;
    ASSERT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 0) << text;
    EXPECT_EQ(readFile(out + "/copy.txt"), "A");
    EXPECT_EQ(readFile(out + "/where.txt"), out + "\n");
    EXPECT_EQ(text.find("unpacked"), std::string::npos) << text;

    exe = make("fail", zip, [](TZipBuilder &z) { z.SFXCommandLine = "exit 3"; });
    EXPECT_NE(run(exe, "--dir '" + out + "' --yes", &text), 0);
    EXPECT_NE(text.find("the command \"exit 3\" failed (status 3)"), std::string::npos) << text;
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes --no-run", &text), 0) << text;
}

TEST_F(SfxStub, PasswordsWrongOrMissingFailClearly)
{
    if (!have("zip"))
        GTEST_SKIP() << "zip missing";
    writeFile(tmp.file("secret.txt"), randomBytes(5000, 5));
    ASSERT_EQ(runCommand("cd '" + tmp.path() + "' && zip -q -P s3cret enc.zip secret.txt"), 0);
    const std::string exe = make("enc", readFile(tmp.file("enc.zip")));
    std::string text;
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 1);
    EXPECT_NE(text.find("a password is needed"), std::string::npos) << text;
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes --password-env PW", &text, "env PW=wrong"), 1);
    EXPECT_NE(text.find("secret.txt: wrong password"), std::string::npos) << text;
    EXPECT_FALSE(fileExists(out + "/secret.txt"));
    EXPECT_FALSE(fileExists(out + "/secret.txt.sfxpart"));
    ASSERT_EQ(run(exe, "--dir '" + out + "' --yes --password-env PW", &text, "env PW=s3cret"), 0) << text;
    EXPECT_EQ(readFile(out + "/secret.txt"), randomBytes(5000, 5));
}

TEST_F(SfxStub, DamagedAndUnsafeArchivesAreRefused)
{
    const std::string zip = ziptest::makeZip({Member("a.txt", "A")});
    std::string text;

    // The bare stub carries nothing.
    EXPECT_EQ(run(binDir() + "ZipSFX.bin", "--dir '" + out + "' --yes", &text), 1);
    EXPECT_NE(text.find("carries no readable archive"), std::string::npos) << text;

    // Bytes added behind the archive: refused under the size check only.
    std::string exe = make("grown", zip);
    writeFile(exe, readFile(exe) + "GARBAGE");
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 1);
    EXPECT_NE(text.find("size does not match"), std::string::npos) << text;
    EXPECT_FALSE(fileExists(out + "/a.txt"));
    exe = make("grown2", zip, [](TZipBuilder &z) { z.SFXOptions.erase(SFXCheckSize); });
    writeFile(exe, readFile(exe) + "GARBAGE");
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 0) << text;

    // Cut short.
    exe = make("cut", zip);
    std::string bytes = readFile(exe);
    writeFile(exe, bytes.substr(0, bytes.size() - 30));
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 1);

    // A member that would land outside the target folder.
    exe = make("evil", ziptest::makeZip({Member("../evil.txt", "E")}));
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 1);
    EXPECT_NE(text.find("leads outside"), std::string::npos) << text;
    EXPECT_FALSE(fileExists(tmp.file("evil.txt")));

    // Damaged data: CRC mismatch leaves no file behind.
    std::string bad = zip;
    bad[30 + 5] = 'B'; // the stored data byte of a.txt
    exe = make("crc", bad);
    ::unlink((out + "/a.txt").c_str());
    EXPECT_EQ(run(exe, "--dir '" + out + "' --yes", &text), 1);
    EXPECT_NE(text.find("a.txt: CRC error"), std::string::npos) << text;
    EXPECT_FALSE(fileExists(out + "/a.txt"));
}

} // namespace
