// Archives of any size: Zip64 records where a size, offset or count needs
// them and nowhere else, and rewrites that keep the members they do not touch.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

using namespace testsupport;
using zt::Add;

namespace {

// Fixed contents, times and modes: the archive depends on nothing else.
void fixedFile(const std::string &path, const std::string &bytes, mode_t mode)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        writeFile(path, bytes);
    ::chmod(path.c_str(), mode);
    struct timespec t[2] = {{1700000000, 0}, {1700000000, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), t, 0);
}

std::string textOf(size_t n)
{
    std::string s;
    for (int i = 0; s.size() < n; ++i)
        s += "SAVLIB LIB(QGPL) DEV(*SAVF) SAVF(QTEMP/SAVF) record " + std::to_string(i * 7919 % 10007) + "\n";
    s.resize(n);
    return s;
}

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = std::getenv("TZ");
        oldTz_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override
    {
        if (hadTz_)
            ::setenv("TZ", oldTz_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    TempDir tmp;

private:
    std::string oldTz_;
    bool hadTz_ = false;
};

} // namespace

// Archives that need no Zip64 record are exactly what earlier versions wrote:
// created, then grown by a second add (the rewrite path), then shrunk.
TEST_F(UtcZone, SmallArchivesStayByteIdentical)
{
    const std::string src = tmp.file("src");
    ::mkdir(src.c_str(), 0755);
    ::mkdir((src + "/sub").c_str(), 0755);
    fixedFile(src + "/a.txt", textOf(300000), 0644);
    fixedFile(src + "/b.bin", randomBytes(5000, 7), 0600);
    fixedFile(src + "/empty.dat", "", 0644);
    fixedFile(src + "/sub/c.gif", std::string(3000, 'G'), 0644);
    fixedFile(src + "/sub", "", 0755);
    fixedFile(src + "/late.txt", textOf(1000), 0644);

    const std::string zip = tmp.file("small.zip");
    const std::string expected = sourceDir() + "tests/data/zip/stable/";
    Add first(zip);
    first.p.JunkDirNames = 0;
    first.p.NoDirEntries = 0;
    first.root(src).spec("a.txt").spec("b.bin").spec("empty.dat").spec("sub", true);
    ASSERT_EQ(first.run(), 4) << first.calls.messages();
    EXPECT_EQ(readFile(zip), readFile(expected + "small-created.zip"));

    Add second(zip);
    second.p.JunkDirNames = 0;
    second.root(src).spec("late.txt");
    ASSERT_EQ(second.run(), 1) << second.calls.messages();
    EXPECT_EQ(readFile(zip), readFile(expected + "small-grown.zip"));

    Add del(zip);
    del.p.DeleteEntries = 1;
    del.spec("b.bin");
    ASSERT_EQ(del.run(), 1) << del.calls.messages();
    EXPECT_EQ(readFile(zip), readFile(expected + "small-shrunk.zip"));
}
