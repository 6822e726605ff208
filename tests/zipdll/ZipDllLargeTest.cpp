// Members of 4 GiB and more: slow (gigabytes through deflate and the peer
// tools), so built and run only with -DQUELLON_LARGE_TESTS=ON (ctest -L large).

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
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

// A streamed member of 4 GiB and more takes Zip64 as its file would, its
// sizes patched in at its end: the archive is the file's byte for byte.
TEST_F(ZipDllAdd, StreamsOf4GiBAndMoreGoInWithZip64AsTheirFilesDo)
{
    const int64_t size = 0x100000000LL + 3;
    struct Zeros {
        int64_t left;
        time_t endedAt = 0;
        static int32_t read(void *c, void *buf, int32_t n)
        {
            auto &z = *static_cast<Zeros *>(c);
            const int32_t k = static_cast<int32_t>(std::min<int64_t>(n, z.left));
            std::memset(buf, 0, static_cast<size_t>(k));
            z.left -= k;
            if (k == 0)
                z.endedAt = std::time(nullptr);
            return k;
        }
    } zeros{size};
    const std::string big = f("huge.savf"); // the name the stream stands for, never read
    ZipStreamSource source{big.c_str(), &zeros, size, S_IFREG | 0600, Zeros::read};
    Add streamed(f("streamed.zip"));
    streamed.p.Level = 1;
    streamed.p.Stream = &source;
    streamed.spec(big);
    ASSERT_EQ(streamed.run(), 1) << streamed.calls.messages();

    writeFile(big, "");
    ASSERT_EQ(::truncate(big.c_str(), size), 0);
    ::chmod(big.c_str(), 0600);
    const timespec when[2] = {{zeros.endedAt, 0}, {zeros.endedAt, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, big.c_str(), when, 0), 0);
    Add file(f("file.zip"));
    file.p.Level = 1;
    file.spec(big);
    ASSERT_EQ(file.run(), 1) << file.calls.messages();
    EXPECT_TRUE(readFile(f("streamed.zip")) == readFile(f("file.zip")));
    std::string out;
    EXPECT_EQ(testsupport::runCommand("unzip -tqq '" + f("streamed.zip") + "'", &out), 0) << out;
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
