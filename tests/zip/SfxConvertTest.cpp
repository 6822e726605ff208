// Self-extractor conversion: the header, the round trip archive -> program ->
// archive, the stub search, and the icon in a PE stub built byte by byte.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "platform/ProgramDir.h"
#include "zip/PEResources.h"
#include "zip/ZipBuilder.h"

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using ziptest::Member;

namespace {

bool have(const std::string &tool) { return runCommand("command -v " + tool + " >/dev/null") == 0; }

std::string stubPath() { return binDir() + "ZipSFX.bin"; }

void put16(std::string &s, size_t at, uint16_t v)
{
    s[at] = char(v & 0xFF);
    s[at + 1] = char(v >> 8);
}
void put32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = char((v >> (8 * i)) & 0xFF);
}

// A PE32 program with one ".rsrc" section whose tree holds decoys around the
// one icon image that counts: a 744-byte group-icon resource (type 14), a
// 744-byte icon under name 2, a 296-byte icon under name 1, and finally the
// 744-byte icon under name 1, language 1031.
constexpr uint32_t kRaw = 0x200, kVa = 0x1000;
constexpr uint32_t kIconAt = kRaw + 1992;

std::string makePe()
{
    std::string f(kRaw + 3072, '\0');
    f[0] = 'M';
    f[1] = 'Z';
    put32(f, 0x3C, 0x40);
    f.replace(0x40, 4, std::string("PE\0\0", 4));
    put16(f, 0x44, 0x14C);
    put16(f, 0x46, 1);   // sections
    put16(f, 0x54, 224); // optional header size
    const size_t opt = 0x58;
    put16(f, opt, 0x10B);
    put32(f, opt + 96 + 16, kVa);  // data directory 2: resources
    put32(f, opt + 96 + 20, 2736);
    const size_t sec = opt + 224;
    f.replace(sec, 8, std::string(".rsrc\0\0\0", 8));
    put32(f, sec + 8, 2736);
    put32(f, sec + 12, kVa);
    put32(f, sec + 16, 3072);
    put32(f, sec + 20, kRaw);

    auto dir = [&](uint32_t at, std::vector<std::pair<uint32_t, uint32_t>> entries) {
        put16(f, kRaw + at + 14, uint16_t(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            put32(f, kRaw + at + 16 + 8 * i, entries[i].first);
            put32(f, kRaw + at + 20 + 8 * i, entries[i].second);
        }
    };
    constexpr uint32_t sub = 0x80000000u;
    dir(0, {{14, sub | 32}, {3, sub | 56}});
    dir(32, {{1, 144}});
    dir(56, {{2, sub | 88}, {1, sub | 112}});
    dir(88, {{1033, 160}});
    dir(112, {{1033, 176}, {1031, 192}});
    auto data = [&](uint32_t at, uint32_t blob, uint32_t size, char fill) {
        put32(f, kRaw + at, kVa + blob);
        put32(f, kRaw + at + 4, size);
        f.replace(kRaw + blob, size, std::string(size, fill));
    };
    data(144, 208, 744, 0x14);
    data(160, 952, 744, 0x22);
    data(176, 1696, 296, 0x33);
    data(192, 1992, 744, 0x44);
    return f;
}

std::string iconFile(char fill)
{
    const unsigned char head[22] = {0, 0, 1, 0, 1, 0, 32, 32, 16, 0, 1, 0, 4, 0, 0xE8, 2, 0, 0, 22, 0, 0, 0};
    return std::string(reinterpret_cast<const char *>(head), 22) + std::string(744, fill);
}

struct SfxConvert : ::testing::Test {
    TempDir tmp;
    void setup(TZipBuilder &z, const std::string &archive)
    {
        z.Unattended = true;
        z.HowToDelete = htdFinal;
        z.SFXPath = stubPath();
        z.SetZipFileName(archive);
    }
};

TEST_F(SfxConvert, HeaderLayout)
{
    TZipBuilder z;
    z.SFXCaption.clear();
    EXPECT_EQ(z.SFXHeader(), std::string("MPV\0\0\1\x0c\0\0\0\0\0", 12)); // default options: flags 0

    z.SFXCaption = "Cap";
    z.SFXDefaultDir = "/opt/x";
    z.SFXCommandLine = "run";
    z.SFXMessage = "Hi";
    z.SFXOptions = SFXOpts{SFXAskCmdLine, SFXAskFiles, SFXHideOverWriteBox, SFXAutoRun, SFXNoSuccessMsg};
    z.SFXOverWriteMode = OvrNever;
    const std::string h = z.SFXHeader();
    ASSERT_EQ(h.size(), 28u); // (14 + 15) / 4 * 4
    EXPECT_EQ(uint8_t(h[3]), 0x01 | 0x02 | 0x04 | 0x10 | 0x20 | 0x40 | 0x80);
    EXPECT_EQ(h.substr(6, 2), std::string("\x1c\0", 2));
    EXPECT_EQ(h.substr(8, 20), std::string("\3Cap\6/opt/x\3run\2Hi\0\0", 20));
    z.SFXOverWriteMode = OvrAlways;
    z.SFXOptions = SFXOpts{SFXCheckSize};
    EXPECT_EQ(uint8_t(z.SFXHeader()[3]), 0x08);
}

TEST_F(SfxConvert, RoundTripIsByteExactAndRunsAndKeepsSettings)
{
    if (!have("zip") || !have("unzip"))
        GTEST_SKIP() << "zip/unzip missing";
    const std::string src = tmp.file("src");
    ASSERT_EQ(runCommand("mkdir -p '" + src + "/sub'"), 0);
    writeFile(src + "/data.bin", randomBytes(300000, 11));
    writeFile(src + "/sub/note.txt", "note\n");
    const std::string zip = tmp.file("pack.zip");
    ASSERT_EQ(runCommand("cd '" + src + "' && zip -qr '" + zip + "' . && echo 'the comment' | zip -qz '" + zip + "'"), 0);
    const std::string original = readFile(zip);

    TZipBuilder z;
    setup(z, zip);
    z.SFXCaption = std::string(255, 'c');
    z.SFXDefaultDir = std::string(255, 'd');
    z.SFXCommandLine = std::string(200, 'x');
    z.SFXMessage = std::string(255, 'm');
    z.SFXOptions = SFXOpts{SFXAskFiles, SFXNoSuccessMsg};
    z.SFXOverWriteMode = OvrAlways;
    ASSERT_EQ(z.ConvertSFX(), 0) << z.LastMessage;
    const std::string exe = tmp.file("pack.exe");
    EXPECT_EQ(z.ZipFileName(), exe);
    EXPECT_FALSE(fileExists(zip));
    EXPECT_EQ(z.Count(), 2);
    EXPECT_EQ(readFile(exe).size(), readFile(stubPath()).size() + z.SFXHeader().size() + original.size());
    std::string out;
    EXPECT_EQ(runCommand("unzip -t '" + exe + "'", &out), 0) << out;

    TZipBuilder back;
    setup(back, exe);
    back.SFXCaption = "other";
    back.SFXOptions = SFXOpts{SFXCheckSize};
    ASSERT_EQ(back.ConvertZIP(), 0) << back.LastMessage;
    EXPECT_EQ(readFile(zip), original);
    EXPECT_FALSE(fileExists(exe));
    EXPECT_EQ(back.SFXCaption, z.SFXCaption);
    EXPECT_EQ(back.SFXDefaultDir, z.SFXDefaultDir);
    EXPECT_EQ(back.SFXCommandLine, z.SFXCommandLine);
    EXPECT_EQ(back.SFXMessage, z.SFXMessage);
    EXPECT_EQ(back.SFXOptions, z.SFXOptions);
    EXPECT_EQ(back.SFXOverWriteMode, OvrAlways);
    EXPECT_NE(back.ZipComment().find("the comment"), std::string::npos);

    // Default settings: the program unpacks byte-exact into a fresh folder.
    TZipBuilder again;
    setup(again, zip);
    ASSERT_EQ(again.ConvertSFX(), 0);
    const std::string dest = tmp.file("fresh/out");
    ASSERT_EQ(runCommand("'" + exe + "' --dir '" + dest + "' --yes </dev/null", &out), 0) << out;
    EXPECT_NE(out.find("Self-extracting Archive"), std::string::npos) << out;
    EXPECT_EQ(readFile(dest + "/data.bin"), randomBytes(300000, 11));
    EXPECT_EQ(readFile(dest + "/sub/note.txt"), "note\n");
}

TEST_F(SfxConvert, PreconditionsTouchNoFile)
{
    const std::string zip = tmp.file("a.zip");
    const std::string bytes = ziptest::makeZip({Member("m", "data")});
    writeFile(zip, bytes);
    TZipBuilder z;
    setup(z, zip);
    z.SFXMessage = std::string(256, 'm');
    EXPECT_EQ(z.ConvertSFX(), -9);
    EXPECT_EQ(z.LastErrorCode, 10801);
    EXPECT_NE(z.LastMessage.find("SFXMessage = 293"), std::string::npos) << z.LastMessage;
    z.SFXMessage.clear();

    // No stub anywhere: not named, not in the current folder, not beside the program.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    platform::setProgramDir(tmp.path() + "/sub/");
    z.SFXPath = tmp.file("nowhere.bin");
    EXPECT_EQ(z.ConvertSFX(), -9);
    EXPECT_EQ(z.LastErrorCode, 10802);
    EXPECT_TRUE(z.SFXPath.empty());
    // ... but found beside the program.
    ::mkdir(tmp.file("sub").c_str(), 0700);
    writeFile(tmp.file("sub/ZipSFX.bin"), readFile(stubPath()));
    const std::string other = tmp.file("b.ZIP");
    writeFile(other, bytes);
    z.SetZipFileName(other);
    EXPECT_EQ(z.ConvertSFX(), 0);
    EXPECT_EQ(z.SFXPath, tmp.path() + "/sub/ZipSFX.bin");
    platform::setProgramDir("");
    ASSERT_EQ(chdir(cwd), 0);

    writeFile(tmp.file("c.4ql"), bytes);
    z.SetZipFileName(tmp.file("c.4ql"));
    EXPECT_EQ(z.ConvertSFX(), -9);
    EXPECT_EQ(z.LastErrorCode, 10803);

    // Converting back a program that is only an archive.
    writeFile(tmp.file("d.exe"), bytes);
    z.SetZipFileName(tmp.file("d.exe"));
    EXPECT_EQ(z.ConvertZIP(), -9);
    EXPECT_EQ(z.LastErrorCode, 10903);
    z.SetZipFileName(zip);
    EXPECT_EQ(z.ConvertZIP(), -3);
    EXPECT_EQ(z.LastErrorCode, 10902);
    EXPECT_EQ(readFile(zip), bytes);
    EXPECT_FALSE(fileExists(tmp.file("d.zip")));
}

TEST_F(SfxConvert, NewProgramHoldsStubHeaderAndEmptyArchive)
{
    TZipBuilder z;
    z.Unattended = true;
    z.SFXPath = stubPath();
    z.SetZipFileName(tmp.file("new.exe"));
    ASSERT_EQ(z.ConvertSFX(true), 0);
    const std::string f = readFile(tmp.file("new.exe"));
    const size_t stub = readFile(stubPath()).size();
    const std::string h = z.SFXHeader();
    ASSERT_EQ(f.size(), stub + h.size() + 22);
    EXPECT_EQ(f.substr(stub, h.size()), h);
    EXPECT_EQ(f.substr(stub + h.size(), 4), "PK\5\6");
    EXPECT_EQ(uint32_t(uint8_t(f[f.size() - 6]) | uint8_t(f[f.size() - 5]) << 8 | uint8_t(f[f.size() - 4]) << 16),
              stub + h.size());
    std::string out;
    EXPECT_EQ(runCommand("'" + tmp.file("new.exe") + "' --dir '" + tmp.file("o") + "' --yes </dev/null", &out), 0) << out;
}

// Add to a program file that does not exist yet: stub and header first, the
// members behind them, and the result unpacks itself.
TEST_F(SfxConvert, AddToANewProgramFileMakesASelfExtractor)
{
    writeFile(tmp.file("a.txt"), "first member\n");
    writeFile(tmp.file("b.bin"), randomBytes(70000, 5));
    TZipBuilder z;
    z.Unattended = true;
    z.SFXPath = stubPath();
    z.SetDLLDirectory(binDir());
    const std::string exe = tmp.file("made.exe");
    z.SetZipFileName(exe);
    z.FSpecArgs = {tmp.file("a.txt"), tmp.file("b.bin")};
    z.Add();
    ASSERT_EQ(z.ProcessedCount, 2) << z.LastMessage;
    const std::string stub = readFile(stubPath());
    const std::string f = readFile(exe);
    ASSERT_GT(f.size(), stub.size());
    EXPECT_EQ(f.substr(0, stub.size()), stub);
    EXPECT_EQ(z.Count(), 2);
    std::string out;
    if (have("unzip")) {
        EXPECT_EQ(runCommand("unzip -t '" + exe + "'", &out), 0) << out;
    }
    ::chmod(exe.c_str(), 0755);
    ASSERT_EQ(runCommand("'" + exe + "' --dir '" + tmp.file("o") + "' --yes </dev/null", &out), 0) << out;
    EXPECT_EQ(readFile(tmp.file("o/a.txt")), "first member\n");
    EXPECT_EQ(readFile(tmp.file("o/b.bin")), randomBytes(70000, 5));

    // Without a stub the program file cannot be made: 10304, nothing added.
    TZipBuilder none;
    none.Unattended = true;
    none.SFXPath = tmp.file("no-stub.bin");
    platform::setProgramDir(tmp.path());
    none.SetZipFileName(tmp.file("other.exe"));
    none.FSpecArgs = {tmp.file("a.txt")};
    none.Add();
    platform::setProgramDir("");
    EXPECT_EQ(none.ProcessedCount, 0);
    EXPECT_EQ(none.LastErrorCode, 10304);
    EXPECT_FALSE(fileExists(tmp.file("other.exe")));
}

TEST_F(SfxConvert, IconReplacedInPeStubAndRecoveredBack)
{
    const std::string pe = makePe();
    int64_t at = -1;
    ASSERT_EQ(peres::LookForDirs(pe, at), 0);
    EXPECT_EQ(at, kIconAt);
    writeFile(tmp.file("pe.bin"), pe);

    const std::string zip = tmp.file("i.zip");
    const std::string bytes = ziptest::makeZip({Member("m", "data")});
    writeFile(zip, bytes);
    TZipBuilder z;
    setup(z, zip);
    z.SFXPath = tmp.file("pe.bin");
    z.SFXIcon = iconFile('\xAB');
    ASSERT_EQ(z.ConvertSFX(), 0) << z.LastMessage;
    const std::string exe = readFile(tmp.file("i.exe"));
    EXPECT_EQ(exe.substr(kIconAt, 744), std::string(744, '\xAB'));
    std::string expect = pe;
    expect.replace(kIconAt, 744, std::string(744, '\xAB'));
    EXPECT_EQ(exe.substr(0, pe.size()), expect); // nothing else in the stub moved

    TZipBuilder back;
    setup(back, tmp.file("i.exe"));
    ASSERT_EQ(back.ConvertZIP(), 0);
    EXPECT_EQ(back.SFXIcon, iconFile('\xAB'));
    EXPECT_EQ(readFile(zip), bytes);

    // A 48 x 48 icon does not fit: the stub stays and the partial program goes.
    z.SetZipFileName(zip);
    z.SFXIcon = std::string(1200, 'i');
    EXPECT_EQ(z.ConvertSFX(), 244);
    EXPECT_FALSE(fileExists(tmp.file("i.exe")));
    EXPECT_EQ(readFile(zip), bytes);

    // No icon of the right size, or no PE at all.
    std::string noIcon = pe;
    put32(noIcon, kRaw + 192 + 4, 740);
    EXPECT_EQ(peres::LookForDirs(noIcon, at), 246);
    std::string broken = pe;
    put32(broken, 0x3C, 0xFFFFFFF0u);
    EXPECT_EQ(peres::LookForDirs(broken, at), 246);
    std::string loop = pe; // a directory pointing at itself must end
    put32(loop, kRaw + 112 + 20, 0x80000000u | 112);
    put32(loop, kRaw + 112 + 28, 0x80000000u | 0);
    EXPECT_EQ(peres::LookForDirs(loop, at), 246);
    writeFile(tmp.file("plain.bin"), "not a program at all");
    z.SFXPath = tmp.file("plain.bin");
    z.SFXIcon = iconFile('x');
    EXPECT_EQ(z.ConvertSFX(), 246);
    EXPECT_FALSE(fileExists(tmp.file("i.exe")));
}

TEST_F(SfxConvert, OldHeaderLayoutIsRead)
{
    // Stub, "MPU" header, then the archive with its offsets moved up.
    const std::string stub = "STUB-PROGRAM-BYTES";
    const std::string head = std::string("MPU\x12\3\4\5", 7) + "Cap" + "dir/" + "cmd 1";
    std::string zip = ziptest::makeZip({Member("m", "data")});
    const uint32_t shift = uint32_t(stub.size() + head.size());
    // One member: local header offset at 42 of the central header, directory offset in the end record.
    const size_t cd = zip.size() - 22 - (46 + 1);
    put32(zip, cd + 42, shift);
    put32(zip, zip.size() - 6, uint32_t(cd) + shift);
    writeFile(tmp.file("old.exe"), stub + head + zip);
    TZipBuilder z;
    setup(z, tmp.file("old.exe"));
    z.SFXMessage = "stays";
    ASSERT_EQ(z.ConvertZIP(), 0) << z.LastMessage;
    EXPECT_EQ(z.SFXCaption, "Cap");
    EXPECT_EQ(z.SFXDefaultDir, "dir/");
    EXPECT_EQ(z.SFXCommandLine, "cmd 1");
    EXPECT_EQ(z.SFXOptions, (SFXOpts{SFXAskFiles, SFXCheckSize}));
    EXPECT_EQ(z.SFXOverWriteMode, OvrNever);
    EXPECT_EQ(readFile(tmp.file("old.zip")), ziptest::makeZip({Member("m", "data")}));
}

} // namespace

// A Zip64 archive (zip -fz) becomes a self-extractor and back: offsets move
// inside the Zip64 extra fields, the program unpacks it, peers read both.
TEST_F(SfxConvert, Zip64ArchiveRoundTrip)
{
    if (!have("zip") || !have("unzip"))
        GTEST_SKIP() << "zip/unzip missing";
    writeFile(tmp.file("big.bin"), randomBytes(100000, 3));
    writeFile(tmp.file("small.txt"), "small\n");
    const std::string zip = tmp.file("z64.zip");
    ASSERT_EQ(runCommand("cd '" + tmp.path() + "' && zip -q -fz z64.zip big.bin small.txt"), 0);
    TZipBuilder z;
    setup(z, zip);
    ASSERT_EQ(z.ConvertSFX(), 0) << z.LastMessage;
    const std::string exe = tmp.file("z64.exe");
    std::string out;
    EXPECT_EQ(runCommand("unzip -tqq '" + exe + "'", &out), 0) << out;
    EXPECT_EQ(runCommand("python3 -c \"import zipfile; assert zipfile.ZipFile('" + exe + "').testzip() is None\"", &out),
              0)
        << out;
    ::chmod(exe.c_str(), 0755);
    ASSERT_EQ(runCommand("'" + exe + "' --dir '" + tmp.file("o") + "' --yes </dev/null", &out), 0) << out;
    EXPECT_EQ(readFile(tmp.file("o/big.bin")), randomBytes(100000, 3));

    TZipBuilder back;
    setup(back, exe);
    ASSERT_EQ(back.ConvertZIP(), 0) << back.LastMessage;
    EXPECT_EQ(runCommand("unzip -tqq '" + zip + "' && 7z t '" + zip + "' >/dev/null", &out), 0) << out;
    EXPECT_EQ(back.Count(), 2);
}
