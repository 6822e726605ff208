// quellon-cli zip sfx, unsfx, rename and copy, run as a script would run them.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace testsupport;
using ziptest::Member;

namespace {

int cli(const std::string &args, std::string *out = nullptr)
{
    std::string o;
    int rc = runCommand("'" + binDir() + "quellon-cli' " + args, &o);
    if (out)
        *out = o;
    return rc;
}

TEST(SfxCli, SfxRunsAndUnsfxGivesTheArchiveBack)
{
    TempDir t;
    const std::string zip = t.file("pack.zip"), exe = t.file("pack.exe");
    const std::string bytes = ziptest::makeZip({Member("dir/a.txt", "alpha"), Member("b.bin", randomBytes(4000))});
    writeFile(zip, bytes);
    std::string out;
    ASSERT_EQ(cli("zip sfx '" + zip + "' --caption 'Our data' --message 'Two files' --no-trash", &out), 0) << out;
    EXPECT_FALSE(fileExists(zip));
    ASSERT_EQ(runCommand("'" + exe + "' --dir '" + t.file("x") + "' --yes </dev/null", &out), 0) << out;
    EXPECT_NE(out.find("Our data\nTwo files\n"), std::string::npos) << out;
    EXPECT_EQ(readFile(t.file("x/dir/a.txt")), "alpha");
    EXPECT_EQ(readFile(t.file("x/b.bin")), randomBytes(4000));
    ASSERT_EQ(cli("zip unsfx '" + exe + "' --no-trash", &out), 0) << out;
    EXPECT_EQ(readFile(zip), bytes);
    EXPECT_FALSE(fileExists(exe));
    EXPECT_EQ(cli("zip unsfx '" + zip + "' --no-trash", &out), 1); // not a program
    EXPECT_EQ(readFile(zip), bytes);
}

TEST(SfxCli, RenameAndCopy)
{
    TempDir t;
    const std::string a = t.file("a.zip"), b = t.file("b.zip"), c = t.file("new.zip");
    writeFile(a, ziptest::makeZip({Member("old/x.txt", "x"), Member("y.txt", "y")}));
    writeFile(b, ziptest::makeZip({Member("y.txt", "dest y")}));
    std::string out;
    ASSERT_EQ(cli("zip rename '" + a + "' old/=new/ y.txt=z.txt --no-trash", &out), 0) << out;
    ASSERT_EQ(cli("zip list '" + a + "'", &out), 0);
    EXPECT_NE(out.find("new/x.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("z.txt"), std::string::npos) << out;
    EXPECT_EQ(cli("zip rename '" + a + "' z.txt=dir/ --no-trash", &out), 1);
    EXPECT_NE(out.find("bare folder"), std::string::npos) << out;
    EXPECT_EQ(cli("zip rename '" + a + "' nonsense", &out), 2);

    writeFile(a, ziptest::makeZip({Member("y.txt", "src y"), Member("w.txt", "w")}));
    ASSERT_EQ(cli("zip copy '" + a + "' '" + b + "' y.txt w.txt --no-trash", &out), 0) << out;
    EXPECT_NE(out.find("y.txt already in"), std::string::npos) << out;
    runCommand("unzip -p '" + b + "' y.txt", &out);
    EXPECT_EQ(out, "dest y");
    ASSERT_EQ(cli("zip copy '" + a + "' '" + b + "' y.txt --overwrite always --no-trash", &out), 0) << out;
    runCommand("unzip -p '" + b + "' y.txt", &out);
    EXPECT_EQ(out, "src y");
    // A new destination is made; a failed copy leaves none behind.
    ASSERT_EQ(cli("zip copy '" + a + "' '" + c + "' w.txt --no-trash", &out), 0) << out;
    EXPECT_EQ(runCommand("unzip -tq '" + c + "'"), 0);
    EXPECT_EQ(cli("zip copy '" + a + "' '" + t.file("none.zip") + "' missing.txt --no-trash", &out), 1);
    EXPECT_FALSE(fileExists(t.file("none.zip")));
}

} // namespace
