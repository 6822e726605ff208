// The component with Zip64 archives from other writers: listing with real
// sizes and every member, rewrites (rename, copy, delete) that keep members
// byte for byte and stay readable to every peer, and volume sets.

#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

using namespace testsupport;

namespace {

const std::string kBin = QUELLON_BIN_DIR;

// Go-style: every end record value deferred to the Zip64 end record (which
// has an extensible data sector), central sizes in the extra field, and a
// data descriptor with 8-byte sizes.
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
sector = b'\x99\x99\x04\x00abcd'
end64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44 + len(sector), 0x032d, 45, 0, 0, 1, 1, size, off) + sector
loc = struct.pack('<IIQI', 0x07064b50, 0, off + size, 1)
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 0xffff, 0xffff, 0xffffffff, 0xffffffff, 0)
open(sys.argv[1], 'wb').write(local + central + end64 + loc + end)
)";

class Zip64Component : public ::testing::Test {
protected:
    TempDir dir;
    TZipBuilder z;
    std::vector<int> ids;

    void SetUp() override
    {
        z.Unattended = true;
        z.HowToDelete = htdFinal;
        z.TempDir = dir.path();
        z.SetDLLDirectory(kBin);
        z.OnMessage = [this](TZipBuilder *zb, int, const std::string &) { ids.push_back(zb->LastErrorCode); };
    }
    std::string sh(const std::string &cmd)
    {
        std::string out;
        EXPECT_EQ(runCommand("cd '" + dir.path() + "' && " + cmd, &out), 0) << cmd << "\n" << out;
        return out;
    }
    void peersAccept(const std::string &zip)
    {
        sh("python3 -c \"import zipfile; assert zipfile.ZipFile('" + zip + "').testzip() is None\"");
        sh("unzip -tqq '" + zip + "'");
        sh("7z t '" + zip + "' >/dev/null");
        sh("bsdtar -tf '" + zip + "' >/dev/null");
    }
    std::map<std::string, uint64_t> sizes()
    {
        std::map<std::string, uint64_t> m;
        for (const ZipDirEntry &e : z.Entries)
            m[e.FileName] = e.UncompressedSize;
        return m;
    }
};

} // namespace

TEST_F(Zip64Component, ForeignZip64ArchivesListWithTheirRealSizes)
{
    writeFile(dir.file("README"), "This small file is in ZIP64 format.\n");
    writeFile(dir.file("go.py"), kGoStyle);
    sh("python3 go.py go.zip");
    sh("zip -q -fz fz.zip README");
    sh("python3 -c \"import zipfile\nwith zipfile.ZipFile('py.zip','w') as z:\n"
       " with z.open('README','w',force_zip64=True) as f: f.write(b'x'*36)\"");
    sh("python3 -c \"import zipfile\nwith zipfile.ZipFile('many.zip','w') as z:\n"
       " [z.writestr('f%05d' % i, str(i)) for i in range(70000)]\"");
    for (const std::string name : {"go.zip", "fz.zip", "py.zip"}) {
        SCOPED_TRACE(name);
        ids.clear();
        z.SetZipFileName(dir.file(name));
        ASSERT_EQ(z.ZipFileName(), dir.file(name)) << z.LastMessage;
        EXPECT_TRUE(ids.empty()) << "no warning for a sound archive: " << z.LastMessage; // no "shifted"
        EXPECT_EQ(sizes(), (std::map<std::string, uint64_t>{{"README", 36}}));
        EXPECT_FALSE(z.Shifted());
        EXPECT_EQ(z.ArchiveDataOffset(), 0);
    }
    z.SetZipFileName(dir.file("many.zip"));
    EXPECT_EQ(z.GetCount(), 70000) << z.LastMessage;
    EXPECT_EQ(z.SkippedDirEntryCount(), 0);
}

TEST_F(Zip64Component, RenameAndCopyKeepZip64MembersWhole)
{
    writeFile(dir.file("a.txt"), std::string(5000, 'a'));
    writeFile(dir.file("b.txt"), "bee\n");
    writeFile(dir.file("go.py"), kGoStyle);
    sh("python3 go.py go.zip");
    sh("zip -q -fz fz.zip a.txt b.txt");
    const std::string before = readFile(dir.file("fz.zip"));

    z.SetZipFileName(dir.file("fz.zip"));
    ASSERT_EQ(z.Rename({{"b.txt", "renamed.txt", 0}}, 0), 0) << z.LastMessage;
    peersAccept("fz.zip");
    EXPECT_EQ(sizes(), (std::map<std::string, uint64_t>{{"a.txt", 5000}, {"renamed.txt", 4}}));
    // a.txt comes first and was not renamed: its local record is unchanged.
    const std::string after = readFile(dir.file("fz.zip"));
    const size_t firstLen = after.find("PK\3\4", 4);
    ASSERT_NE(firstLen, std::string::npos);
    EXPECT_EQ(after.substr(0, firstLen), before.substr(0, firstLen));

    TZipBuilder dest;
    dest.Unattended = true;
    dest.HowToDelete = htdFinal;
    dest.TempDir = dir.path();
    dest.SetZipFileName(dir.file("go.zip"));
    z.FSpecArgs = {"a.txt"};
    ASSERT_EQ(z.CopyZippedFiles(&dest, false, OvrAlways), 0) << z.LastMessage;
    peersAccept("go.zip");
    std::map<std::string, uint64_t> got;
    for (const ZipDirEntry &e : dest.Entries)
        got[e.FileName] = e.UncompressedSize;
    EXPECT_EQ(got, (std::map<std::string, uint64_t>{{"README", 36}, {"a.txt", 5000}}));
}

// Splitting an archive that needs Zip64 (here: 65,536 members) into volumes
// and joining the set back: every member comes back, peers read the result.
TEST_F(Zip64Component, Zip64ArchivesSplitAndJoinBack)
{
    sh("python3 -c \"import zipfile\nwith zipfile.ZipFile('fz.zip','w') as z:\n"
       " [z.writestr('f%05d' % i, str(i)) for i in range(65536)]\"");
    ::mkdir(dir.file("out").c_str(), 0700);
    z.SetMaxVolumeSize(1 << 20);
    ASSERT_EQ(z.WriteSpan(dir.file("fz.zip"), dir.file("out/set.zip")), 0) << z.LastMessage;
    std::string last = sh("ls out | tail -1"), joined = dir.file("joined.zip");
    last.pop_back();
    ASSERT_GE(std::stoi(sh("ls out | wc -l")), 3);
    ASSERT_EQ(z.ReadSpan(dir.file("out/" + last), joined), 0) << z.LastMessage;
    peersAccept(joined);
    sh("python3 -c \"import zipfile\na, b = zipfile.ZipFile('fz.zip'), zipfile.ZipFile('joined.zip')\n"
       "assert [(i.filename, a.read(i)) for i in a.infolist()] == [(i.filename, b.read(i)) for i in b.infolist()]\"");
}

// Every field of the classic end record at its maximum, disk numbers
// included, the real values only in the Zip64 end record; and the streamed
// layouts beside it. Each lists, extracts, tests, and is renamed, deleted
// from, copied into, split and joined; a Zip64 end record stays.
TEST_F(Zip64Component, EndRecordsDeferringEveryFieldWorkLikeAnyOther)
{
    writeFile(dir.file("a.txt"), std::string(5000, 'a'));
    writeFile(dir.file("b.txt"), "bee\n");
    writeFile(dir.file("n.bin"), randomBytes(150000, 3));
    writeFile(dir.file("defer.py"), "import sys\np = sys.argv[1]; b = bytearray(open(p, 'rb').read())\n"
                                    "i = b.rfind(b'PK\\x05\\x06'); b[i + 4:i + 20] = b'\\xff' * 16\n"
                                    "open(p, 'wb').write(b)\n");
    const std::pair<const char *, const char *> cases[] = {
        {"zip -fz from stdin, all deferred", "seq 5000 | zip -q -fz - - a.txt b.txt n.bin >t.zip && python3 defer.py t.zip"},
        {"zip -fz from stdin", "seq 5000 | zip -q -fz - - a.txt b.txt n.bin >t.zip"},
        {"zip from stdin", "seq 5000 | zip -q - - a.txt b.txt n.bin >t.zip"},
    };
    const std::string cli = "'" + kBin + "/quellon-cli' zip ";
    for (const auto &[label, make] : cases) {
        SCOPED_TRACE(label);
        sh(std::string("rm -rf t.zip c.zip j.zip out vol && mkdir vol && ") + make + " && cp t.zip c.zip");
        const bool zip64 = readFile(dir.file("t.zip")).find("PK\6\6") != std::string::npos;
        sh(cli + "list t.zip && " + cli + "extract t.zip --test -d out && " + cli + "extract t.zip -d out");
        sh("seq 5000 | cmp - out/- && cmp a.txt out/a.txt && cmp b.txt out/b.txt && cmp n.bin out/n.bin");
        sh(cli + "rename t.zip b.txt=renamed.txt && " + cli + "delete t.zip a.txt && " + cli + "copy c.zip t.zip a.txt");
        peersAccept("t.zip");
        EXPECT_EQ(readFile(dir.file("t.zip")).find("PK\6\6") != std::string::npos, zip64);
        sh("python3 -c \"import zipfile; assert sorted(zipfile.ZipFile('t.zip').namelist()) == "
           "['-', 'a.txt', 'n.bin', 'renamed.txt']\"");
        sh(cli + "span c.zip vol/v.zip --volume-size 65536 && " + cli + "join vol/$(ls vol | tail -1) j.zip");
        peersAccept("j.zip");
    }
}
