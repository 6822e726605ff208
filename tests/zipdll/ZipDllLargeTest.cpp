// Members of 4 GiB and more: slow (gigabytes through deflate and the peer
// tools), so built and run only with -DQUELLON_LARGE_TESTS=ON (ctest -L large).

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;
using zt::Add;

namespace {
class ZipDllAdd : public ::testing::Test {
protected:
    TempDir tmp;
    std::string zip = tmp.file("out.zip");
    std::string f(const std::string &name) { return tmp.file(name); }
};
} // namespace

TEST_F(ZipDllAdd, FilesOf4GiBAndMoreGoInWithZip64)
{
    // Sparse zeros: no disk, and deflate makes them a few megabytes.
    const std::string big = f("huge.savf");
    writeFile(big, "");
    ASSERT_EQ(::truncate(big.c_str(), 0x100000000LL + 3), 0);
    writeFile(f("small.txt"), "small");
    Add a(zip);
    a.p.Level = 1;
    a.spec(big).spec(f("small.txt"));
    EXPECT_EQ(a.run(), 2) << a.calls.messages();
    std::string out;
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\n"
                         "print([(i.filename, i.file_size) for i in z.infolist()])\n"
                         "print(z.read('small.txt'))",
                         &out),
              0)
        << out;
    EXPECT_EQ(out, "[('huge.savf', 4294967299), ('small.txt', 5)]\nb'small'\n");
    EXPECT_EQ(testsupport::runCommand("unzip -tqq '" + zip + "'", &out), 0) << out;
}

// A stored 4 GiB member, then an add that rewrites the archive: the new
// member's local header lies past 4 GiB, so its offset goes into a Zip64
// extra field and the directory's offset into the Zip64 end record; the
// delete that follows keeps the big member whole.
TEST_F(ZipDllAdd, RewritesPastFourGiBKeepEveryOffset)
{
    const std::string big = f("huge.savf");
    writeFile(big, "");
    ASSERT_EQ(::truncate(big.c_str(), 0x100000000LL + 5), 0);
    writeFile(f("late.txt"), "added behind four gigabytes\n");
    Add first(zip);
    first.p.Level = 0;
    first.spec(big);
    ASSERT_EQ(first.run(), 1) << first.calls.messages();
    Add second(zip);
    second.spec(f("late.txt"));
    ASSERT_EQ(second.run(), 1) << second.calls.messages();
    std::string out;
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\n"
                         "i=z.getinfo('late.txt')\nprint(i.header_offset > 2**32, z.read('late.txt'))\n"
                         "print(z.getinfo('huge.savf').file_size)",
                         &out),
              0)
        << out;
    EXPECT_EQ(out, "True b'added behind four gigabytes\\n'\n4294967301\n");
    EXPECT_EQ(runCommand("unzip -tqq '" + zip + "' && 7z t '" + zip + "' >/dev/null", &out), 0) << out;

    Add del(zip);
    del.p.DeleteEntries = 1;
    del.spec("late.txt");
    ASSERT_EQ(del.run(), 1) << del.calls.messages();
    EXPECT_EQ(runCommand("unzip -tqq '" + zip + "'", &out), 0) << out;
}
