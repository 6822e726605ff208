// quellon-cli zip, run as a script would run it.

#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

const std::string kCli = std::string(QUELLON_BIN_DIR) + "/quellon-cli";

// Runs the CLI; stdout and stderr separately.
int cli(const std::string &args, std::string *out = nullptr, std::string *err = nullptr, const std::string &env = {})
{
    TempDir t;
    int rc = runCommand("(" + env + " " + kCli + " " + args + " >" + t.file("o") + " 2>" + t.file("e") + ")");
    if (out)
        *out = readFile(t.file("o"));
    if (err)
        *err = readFile(t.file("e"));
    return rc;
}

int lines(const std::string &s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

} // namespace

TEST(ZipCli, AddListExtractDeleteComment)
{
    TempDir d;
    writeFile(d.file("a.txt"), "alpha\n");
    writeFile(d.file("b.bin"), randomBytes(70000, 4));
    const std::string a = d.file("t.4ql");
    std::string out, err;
    ASSERT_EQ(cli("zip add " + a + " " + d.file("a.txt") + " " + d.file("b.bin") + " --level 6", &out, &err), 0) << err;
    EXPECT_EQ(out, "2 file(s) added to " + a + "\n");
    EXPECT_EQ(err, "");

    ASSERT_EQ(cli("zip list " + a, &out, &err), 0) << err;
    EXPECT_NE(out.find(" a.txt\n"), std::string::npos) << out;
    EXPECT_NE(out.find("     70000 "), std::string::npos) << out;
    EXPECT_NE(out.find("2 member(s)"), std::string::npos) << out;

    ASSERT_EQ(cli("zip extract " + a + " b.bin -d " + d.file("new/out"), &out, &err), 0) << err;
    EXPECT_EQ(readFile(d.file("new/out/b.bin")), readFile(d.file("b.bin")));
    EXPECT_FALSE(fileExists(d.file("new/out/a.txt")));
    // Existing files are kept without --overwrite, and that is reported.
    writeFile(d.file("new/out/b.bin"), "local");
    EXPECT_EQ(cli("zip extract " + a + " b.bin -d " + d.file("new/out"), &out, &err), 1);
    EXPECT_EQ(readFile(d.file("new/out/b.bin")), "local");
    EXPECT_EQ(cli("zip extract " + a + " -d " + d.file("new/out") + " --overwrite", &out, &err), 0) << err;
    EXPECT_EQ(readFile(d.file("new/out/b.bin")), readFile(d.file("b.bin")));
    EXPECT_EQ(cli("zip extract " + a + " --test -d .", &out, &err), 0) << err;
    EXPECT_EQ(out, "2 file(s) tested OK\n");

    EXPECT_EQ(cli("zip comment " + a + " 'Saved from AS400A'", &out, &err), 0) << err;
    EXPECT_EQ(cli("zip comment " + a, &out, &err), 0);
    EXPECT_EQ(out, "Saved from AS400A\n");
    EXPECT_EQ(cli("zip delete " + a + " a.txt", &out, &err), 0) << err;
    EXPECT_EQ(cli("zip delete " + a + " nosuch.txt", &out, &err), 1);
    EXPECT_GE(lines(err), 1);
    EXPECT_EQ(cli("zip list " + a, &out, &err), 0);
    EXPECT_NE(out.find("1 member(s), comment: Saved from AS400A"), std::string::npos) << out;
    EXPECT_EQ(runCommand("unzip -tq " + a), 0);
}

TEST(ZipCli, PasswordsComeFromTheEnvironmentOrAFile)
{
    TempDir d;
    writeFile(d.file("p.txt"), "payroll\n");
    writeFile(d.file("pw"), "s3cret\nignored\n");
    const std::string a = d.file("p.zip");
    std::string out, err;
    ASSERT_EQ(cli("zip add " + a + " " + d.file("p.txt") + " --password-file " + d.file("pw") + " --zipcrypto", &out, &err),
              0)
        << err;
    EXPECT_EQ(runCommand("unzip -tq -P s3cret " + a), 0);
    EXPECT_EQ(cli("zip add " + a + " " + d.file("p.txt") + " --password-env NOT_SET_ANYWHERE", &out, &err), 1);
    // Without the password the member is skipped, and that is a failure.
    EXPECT_EQ(cli("zip extract " + a + " -d " + d.file("o"), &out, &err), 1);
    EXPECT_FALSE(fileExists(d.file("o/p.txt")));
    EXPECT_EQ(cli("zip extract " + a + " -d " + d.file("o") + " --password-env QPW", &out, &err, "QPW=wrong"), 1);
    EXPECT_FALSE(fileExists(d.file("o/p.txt")));
}

TEST(ZipCli, AesByDefaultListedAndOneLineForAWrongPassword)
{
    TempDir d;
    writeFile(d.file("p.txt"), std::string(50000, 'p') + "payroll\n");
    const std::string a = d.file("p.zip"), z = d.file("z.zip");
    std::string out, err;
    ASSERT_EQ(cli("zip add " + a + " " + d.file("p.txt") + " --password-env QPW", &out, &err, "QPW=s3cret"), 0) << err;
    EXPECT_EQ(err, "");
    ASSERT_EQ(cli("zip add " + z + " " + d.file("p.txt") + " --password-env QPW --zipcrypto", &out, &err, "QPW=s3cret"),
              0);
    EXPECT_NE(err.find("warning: ZipCrypto is weak"), std::string::npos) << err;
    ASSERT_EQ(cli("zip list " + a, &out, &err), 0);
    EXPECT_NE(out.find(" Deflate 20"), std::string::npos) << out; // the real method, not 99
    EXPECT_NE(out.find(" AES-256 (AE-2) p.txt"), std::string::npos) << out;
    ASSERT_EQ(cli("zip list " + z, &out, &err), 0);
    EXPECT_NE(out.find(" ZipCrypto      p.txt"), std::string::npos) << out;
    EXPECT_EQ(runCommand("7z t -ps3cret " + a), 0);

    EXPECT_EQ(cli("zip extract " + a + " --test -d . --password-env QPW", &out, &err, "QPW=s3cret"), 0) << err;
    EXPECT_EQ(out, "1 of 1 member(s) encrypted: AES-256 (AE-2)\n1 file(s) tested OK\n");
    EXPECT_EQ(cli("zip extract " + a + " -d " + d.file("o") + " --password-env QPW", &out, &err, "QPW=wrong"), 1);
    EXPECT_EQ(err, "quellon-cli: " + a + ": wrong password: 1 encrypted member(s) not extracted\n");
    EXPECT_FALSE(fileExists(d.file("o/p.txt")));
    // No password and no terminal to ask at: the line names the options.
    EXPECT_EQ(cli("zip extract " + a + " -d " + d.file("o") + " </dev/null", &out, &err, "setsid -w"), 1);
    EXPECT_NE(err.find("is encrypted: give its password with --password-env VAR or --password-file FILE"),
              std::string::npos)
        << err;
    EXPECT_EQ(cli("zip add " + a + " " + d.file("p.txt") + " --aes", &out, &err), 2);
    EXPECT_EQ(cli("zip add " + a + " " + d.file("p.txt") + " --aes --zipcrypto --password-env QPW", &out, &err,
                  "QPW=x"),
              2);
}

TEST(ZipCli, FailuresAndUsage)
{
    TempDir d;
    writeFile(d.file("text.zip"), "not an archive at all\n");
    std::string out, err;
    EXPECT_EQ(cli("zip list " + d.file("text.zip"), &out, &err), 1);
    EXPECT_EQ(lines(err), 1) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(cli("zip list " + d.file("missing.zip"), &out, &err), 1);
    EXPECT_EQ(err, "quellon-cli: cannot open " + d.file("missing.zip") + ": no such file\n");
    // A file that is not an archive is never overwritten by add.
    writeFile(d.file("x"), "x");
    EXPECT_EQ(cli("zip add " + d.file("text.zip") + " " + d.file("x"), &out, &err), 1);
    EXPECT_EQ(readFile(d.file("text.zip")), "not an archive at all\n");
    EXPECT_EQ(cli("zip add " + d.file("new.zip") + " " + d.file("nothing-here"), &out, &err), 1);

    EXPECT_EQ(cli("zip", &out, &err), 2);
    EXPECT_EQ(cli("zip frobnicate a.zip", &out, &err), 2);
    EXPECT_EQ(cli("zip extract a.zip", &out, &err), 2); // no -d
    EXPECT_EQ(cli("zip add a.zip f --update --freshen", &out, &err), 2);
    EXPECT_EQ(cli("zip add a.zip f --level 12", &out, &err), 2);
    EXPECT_EQ(cli("zip list a.zip --bogus", &out, &err), 2);
    EXPECT_EQ(cli("zip --help", &out, &err), 0);
    EXPECT_NE(out.find("Examples:"), std::string::npos);
    EXPECT_NE(out.find("quellon-cli zip extract ARCHIVE [MEMBER...] -d DIR"), std::string::npos);
}

// Zip64 archives, an archive of folders only, and a directory the end
// record counts short, as a script sees them.
TEST(ZipCli, Zip64FoldersOnlyAndShortCounts)
{
    TempDir d;
    writeFile(d.file("README"), "This small file is in ZIP64 format.\n");
    ASSERT_EQ(runCommand("cd " + d.path() + " && zip -q -fz fz.zip README && mkdir -p f/g/h && zip -q -r fo.zip f"), 0);
    std::string out, err;
    ASSERT_EQ(cli("zip list " + d.file("fz.zip"), &out, &err), 0) << err;
    EXPECT_NE(out.find("        36         36 Stored"), std::string::npos) << out; // not 4294967295
    EXPECT_EQ(err, "") << "no shifted-archive warning";

    // 7-Zip's AES member survives our add: the password still opens it.
    ASSERT_EQ(runCommand("cd " + d.path() + " && 7z a -tzip -psecret -mem=AES256 aes.zip README >/dev/null"), 0);
    ASSERT_EQ(cli("zip add " + d.file("aes.zip") + " " + d.file("fz.zip"), &out, &err), 0) << err;
    EXPECT_EQ(runCommand("7z t -psecret " + d.file("aes.zip") + " >/dev/null", &out), 0) << out;

    EXPECT_EQ(cli("zip extract " + d.file("fo.zip") + " --test -d .", &out, &err), 0) << err;
    EXPECT_EQ(out, "0 file(s) tested OK, 3 folder(s)\n");

    // Three members in the directory, two counted by the end record.
    ASSERT_EQ(runCommand("cd " + d.path() + " && echo 1 >x && echo 2 >y && echo 3 >z && zip -q three.zip x y z"), 0);
    std::string three = readFile(d.file("three.zip"));
    three[three.size() - 22 + 8] = three[three.size() - 22 + 10] = 2;
    writeFile(d.file("three.zip"), three);
    EXPECT_EQ(cli("zip extract " + d.file("three.zip") + " --test -d .", &out, &err), 1);
    EXPECT_EQ(out.find("tested OK"), std::string::npos) << out;
    EXPECT_NE(err.find("damaged"), std::string::npos) << err;

    // A local header naming another member: listed with a warning, and the
    // test fails for that member.
    const std::string odd = std::string(QUELLON_SOURCE_DIR) + "/tests/data/zip/local-name-differs.zip";
    EXPECT_EQ(cli("zip list " + odd, &out, &err), 0) << err;
    EXPECT_NE(err.find("a local header does not match the central directory"), std::string::npos) << err;
    EXPECT_EQ(cli("zip extract " + odd + " --test -d .", &out, &err), 1);
    EXPECT_NE(out.find("1 file(s) tested OK, 1 failed or skipped"), std::string::npos) << out << err;
}

// A member in a method extract does not read: list names the method, and
// extract says which member and why on one line, extracting the others.
TEST(ZipCli, UnreadMethodIsNamedWithItsMember)
{
    TempDir d;
    const std::string text(5000, 'a'); // 7-Zip stores what does not shrink
    writeFile(d.file("a.txt"), text);
    writeFile(d.file("b.txt"), text);
    ASSERT_EQ(runCommand("cd " + d.path() + " && 7z a -tzip -mm=BZip2 m.zip a.txt >/dev/null && "
                         "7z a -tzip -mm=Deflate64 m.zip b.txt >/dev/null"), 0);
    std::string out, err;
    ASSERT_EQ(cli("zip list " + d.file("m.zip"), &out, &err), 0) << err;
    EXPECT_NE(out.find(" BZip2 "), std::string::npos) << out;
    EXPECT_NE(out.find(" M9 "), std::string::npos) << out;
    EXPECT_EQ(cli("zip extract " + d.file("m.zip") + " -d " + d.file("x"), &out, &err), 1);
    EXPECT_EQ(out, "1 file(s) extracted, 1 failed or skipped\n");
    EXPECT_EQ(lines(err), 1) << err;
    EXPECT_NE(err.find("b.txt: compression method 9 (Deflate64) not supported"), std::string::npos) << err;
    EXPECT_EQ(readFile(d.file("x/a.txt")), text);
}
