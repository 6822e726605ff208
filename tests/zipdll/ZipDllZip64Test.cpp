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

namespace {

// Every peer accepts the archive; `password` for 7-Zip's AES members.
void expectPeersAccept(const std::string &zip, const std::string &password = "")
{
    std::string out;
    if (password.empty()) {
        EXPECT_EQ(zt::python("import zipfile\nassert zipfile.ZipFile('" + zip + "').testzip() is None\n", &out), 0)
            << out;
        EXPECT_EQ(runCommand("unzip -tqq '" + zip + "'", &out), 0) << out;
        EXPECT_EQ(runCommand("bsdtar -tf '" + zip + "' >/dev/null", &out), 0) << out;
    }
    EXPECT_EQ(runCommand("7z t -p'" + password + "' '" + zip + "' >/dev/null", &out), 0) << out;
}

// A Go-style Zip64 archive built by hand: end records that defer every
// value to the Zip64 end record, central sizes in the extra field, a local
// header with a data descriptor holding 8-byte sizes.
const char *kGoStyle = R"(
import struct, zlib, sys
data = b'This small file is in ZIP64 format.\n'
crc = zlib.crc32(data); name = b'README'
local = struct.pack('<IHHHHHIIIHH', 0x04034b50, 45, 8, 0, 0, 0x21, 0, 0, 0, len(name), 0) + name + data
local += struct.pack('<IIQQ', 0x08074b50, crc, len(data), len(data))
extra = struct.pack('<HHQQ', 1, 16, len(data), len(data))
central = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x0314, 45, 8, 0, 0, 0x21, crc, 0xffffffff,
                      0xffffffff, len(name), len(extra), 0, 0, 0, 0o100644 << 16, 0) + name + extra
off, size = len(local), len(central)
end64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 0x032d, 45, 0, 0, 1, 1, size, off)
loc = struct.pack('<IIQI', 0x07064b50, 0, off + size, 1)
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 0xffff, 0xffff, 0xffffffff, 0xffffffff, 0)
open(sys.argv[1], 'wb').write(local + central + end64 + loc + end)
)";

} // namespace

// Zip64 archives from Python, Info-ZIP and a Go-style writer: extracted
// byte for byte, then grown and shrunk by our library, and still accepted by
// every peer with the foreign member untouched.
TEST_F(UtcZone, ForeignZip64ArchivesReadAndRewrite)
{
    const std::string readme = "This small file is in ZIP64 format.\n";
    writeFile(tmp.file("README"), readme);
    writeFile(tmp.file("go.py"), kGoStyle);
    ASSERT_EQ(runCommand("python3 '" + tmp.file("go.py") + "' '" + tmp.file("go.zip") + "'"), 0);
    ASSERT_EQ(zt::python("import zipfile\nwith zipfile.ZipFile('" + tmp.file("py.zip") +
                         "', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                         "    with z.open('README', 'w', force_zip64=True) as f: f.write(b'" +
                         "This small file is in ZIP64 format.\\n')\n"),
              0);
    ASSERT_EQ(runCommand("cd '" + tmp.path() + "' && zip -q -fz fz.zip README"), 0);
    writeFile(tmp.file("new.txt"), "added later\n");

    for (const std::string kind : {"go", "py", "fz"}) {
        SCOPED_TRACE(kind);
        const std::string zip = tmp.file(kind + ".zip");
        const std::string before = readFile(zip);
        const std::string out = tmp.file("out-" + kind);
        ::mkdir(out.c_str(), 0755);
        zt::Extract x(zip, out);
        EXPECT_EQ(x.run(), 1) << x.calls.messages();
        EXPECT_EQ(readFile(out + "/README"), readme);

        Add add(zip);
        add.spec(tmp.file("new.txt"));
        ASSERT_EQ(add.run(), 1) << add.calls.messages();
        expectPeersAccept(zip);
        // The foreign member's local record comes first and is kept whole.
        const std::string after = readFile(zip);
        const size_t localLen = 30 + 6 + (static_cast<uint8_t>(before[28]) | static_cast<uint8_t>(before[29]) << 8);
        EXPECT_EQ(after.substr(0, localLen), before.substr(0, localLen));

        Add del(zip);
        del.p.DeleteEntries = 1;
        del.spec("new.txt");
        ASSERT_EQ(del.run(), 1) << del.calls.messages();
        expectPeersAccept(zip);
        zt::Extract again(zip, out);
        again.p.Overwrite = 1;
        EXPECT_EQ(again.run(), 1) << again.calls.messages();
        EXPECT_EQ(readFile(out + "/README"), readme);
    }
}

// More than 65,535 members: the end record defers the count to the Zip64
// end record, and every member is there for every reader.
TEST_F(UtcZone, SeventyThousandMembers)
{
    const std::string src = tmp.file("many");
    ::mkdir(src.c_str(), 0755);
    ASSERT_EQ(zt::python("import os\nfor i in range(70000):\n"
                         "    open('" + src + "/f%05d' % i, 'w').write(str(i))\n"),
              0);
    const std::string zip = tmp.file("many.zip");
    Add add(zip);
    add.p.Level = 0;
    add.spec(src + "/*");
    ASSERT_EQ(add.run(), 70000) << add.calls.messages().substr(0, 2000);
    const std::string bytes = readFile(zip);
    ASSERT_GT(bytes.size(), 22u + 20 + 56);
    const size_t end = bytes.size() - 22;
    EXPECT_EQ(bytes.substr(end, 4), std::string("PK\5\6"));
    EXPECT_EQ(bytes.substr(end + 8, 4), std::string("\xff\xff\xff\xff"));       // both counts deferred
    EXPECT_EQ(bytes.substr(end - 20, 4), std::string("PK\6\7"));                // locator
    EXPECT_EQ(bytes.substr(end - 20 - 56, 4), std::string("PK\6\6"));           // Zip64 end record
    std::string out;
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\nassert len(z.infolist()) == 70000\n"
                         "assert z.read('f69999') == b'69999'\n", &out), 0) << out;
    EXPECT_EQ(runCommand("unzip -tqq '" + zip + "'", &out), 0) << out;
    EXPECT_EQ(runCommand("7z t '" + zip + "' >/dev/null", &out), 0) << out;

    zt::Extract test(zip, "");
    test.p.Test = 1;
    EXPECT_EQ(test.run(), 70000) << test.calls.messages().substr(0, 2000);

    Add del(zip); // back under the limit: the Zip64 records go again
    del.p.DeleteEntries = 1;
    del.spec("f0*");
    EXPECT_EQ(del.run(), 10000);
    const std::string small = readFile(zip);
    EXPECT_NE(small.substr(small.size() - 22 - 20, 4), std::string("PK\6\7"));
    EXPECT_EQ(zt::python("import zipfile\nassert len(zipfile.ZipFile('" + zip + "').infolist()) == 60000\n", &out), 0)
        << out;
}

// 7-Zip's AES members and Info-ZIP's timestamp and owner extras survive an
// add and a delete byte for byte: the password still opens them.
TEST_F(UtcZone, RewriteKeepsAesAndExtraFields)
{
    if (!zt::haveTool("7z") || !zt::haveTool("zip"))
        GTEST_SKIP() << "7z or zip missing";
    writeFile(tmp.file("a.txt"), textOf(20000));
    writeFile(tmp.file("u.txt"), "info-zip member\n");
    writeFile(tmp.file("b.txt"), "added by us\n");
    const std::string zip = tmp.file("aes.zip");
    std::string out;
    ASSERT_EQ(runCommand("cd '" + tmp.path() + "' && 7z a -tzip -psecret -mem=AES256 aes.zip a.txt >/dev/null && "
                         "zip -q aes.zip u.txt", &out), 0) << out;
    // The central records of the two foreign members, as they were.
    auto central = [](const std::string &z) {
        const size_t at = z.find("PK\1\2");
        const size_t end = z.rfind("PK\5\6");
        return z.substr(at + 46, end - at - 46); // from behind the first header's fixed part
    };
    const std::string before = readFile(zip);

    Add add(zip);
    add.spec(tmp.file("b.txt"));
    ASSERT_EQ(add.run(), 1) << add.calls.messages();
    EXPECT_EQ(runCommand("7z t -psecret '" + zip + "' >/dev/null", &out), 0) << out;
    const std::string grown = readFile(zip);
    EXPECT_EQ(grown.substr(0, before.find("PK\1\2")), before.substr(0, before.find("PK\1\2")));
    EXPECT_EQ(central(grown).substr(0, central(before).size()), central(before)) << "central records changed";

    Add del(zip);
    del.p.DeleteEntries = 1;
    del.spec("b.txt");
    ASSERT_EQ(del.run(), 1) << del.calls.messages();
    EXPECT_EQ(readFile(zip), before) << "add then delete must give back the archive";
    EXPECT_EQ(runCommand("7z t -psecret '" + zip + "' >/dev/null", &out), 0) << out;
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\n"
                         "assert b'\\x01\\x99' in z.getinfo('a.txt').extra\n"
                         "assert b'UT' in z.getinfo('u.txt').extra and b'ux' in z.getinfo('u.txt').extra\n", &out),
              0)
        << out;
}
