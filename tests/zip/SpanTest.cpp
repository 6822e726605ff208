// Multi-volume archives: numbered files on a fixed drive, removable disks
// through the scripted volume service, joining sets back.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include "platform/ScriptedDialogs.h"
#include "platform/ScriptedVolumes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

using namespace testsupport;
using ziptest::Member;

namespace {

bool have(const std::string &tool) { return runCommand("command -v " + tool + " >/dev/null") == 0; }

uint16_t u16(const std::string &s, size_t p) { return uint16_t(uint8_t(s[p]) | uint8_t(s[p + 1]) << 8); }
uint32_t u32(const std::string &s, size_t p) { return u16(s, p) | uint32_t(u16(s, p + 2)) << 16; }

int64_t mtimeOf(const std::string &p)
{
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mtime : -1;
}

void setMtime(const std::string &p, time_t t)
{
    struct utimbuf u{t, t};
    ::utime(p.c_str(), &u);
}

// Checks the layout of a set: marker first, every local header whole on the
// volume the directory names, end record on the last volume.
::testing::AssertionResult validSet(const std::vector<std::string> &vols)
{
    std::vector<std::string> v;
    for (auto &p : vols)
        v.push_back(readFile(p));
    if (v.empty() || u32(v[0], 0) != 0x08074B50 || u32(v[0], 4) != 0x04034B50)
        return ::testing::AssertionFailure() << "first volume does not start with the spanning marker";
    const std::string &last = v.back();
    const size_t e = last.size() < 22 ? std::string::npos : last.rfind("PK\x05\x06", last.size() - 22);
    if (e == std::string::npos || e + 22 + u16(last, e + 20) != last.size())
        return ::testing::AssertionFailure() << "no end record at the end of the last volume";
    const uint16_t thisDisk = u16(last, e + 4), cdDisk = u16(last, e + 6), count = u16(last, e + 10);
    if (thisDisk != v.size() - 1)
        return ::testing::AssertionFailure() << "end record says disk " << thisDisk;
    size_t disk = cdDisk, pos = u32(last, e + 16);
    for (uint16_t i = 0; i < count; ++i) {
        if (pos >= v[disk].size()) {
            ++disk;
            pos = 0;
        }
        const std::string &c = v[disk];
        if (pos + 46 > c.size() || u32(c, pos) != 0x02014B50)
            return ::testing::AssertionFailure() << "central header " << i << " split or missing";
        const size_t n = u16(c, pos + 28), x = u16(c, pos + 30), m = u16(c, pos + 32);
        const size_t ld = u16(c, pos + 34), lo = u32(c, pos + 42);
        if (pos + 46 + n + x + m > c.size())
            return ::testing::AssertionFailure() << "central header " << i << " straddles volumes";
        if (ld >= v.size() || lo + 30 > v[ld].size() || u32(v[ld], lo) != 0x04034B50)
            return ::testing::AssertionFailure() << "local header " << i << " not at disk " << ld << " offset " << lo;
        if (lo + 30 + u16(v[ld], lo + 26) + u16(v[ld], lo + 28) > v[ld].size())
            return ::testing::AssertionFailure() << "local header " << i << " straddles volumes";
        pos += 46 + n + x + m;
    }
    return ::testing::AssertionSuccess();
}

class SpanTest : public ::testing::Test {
protected:
    TempDir dir;
    TZipBuilder z;
    platform::ScriptedDialogs dialogs;
    std::vector<int> ids;
    std::vector<std::string> texts;

    void SetUp() override
    {
        z.OnMessage = [this](TZipBuilder *zb, int, const std::string &t) {
            ids.push_back(zb->LastErrorCode);
            texts.push_back(t);
        };
        z.TempDir = dir.path();
        z.HowToDelete = htdFinal;
    }

    // An archive of stored random members of the given sizes.
    std::string source(const std::vector<size_t> &sizes, const std::string &name = "src.zip")
    {
        std::vector<Member> m;
        for (size_t i = 0; i < sizes.size(); ++i)
            m.emplace_back("member" + std::to_string(i) + ".bin", randomBytes(sizes[i], uint32_t(i + 7)));
        writeFile(dir.file(name), ziptest::makeZip(m, "set comment"));
        setMtime(dir.file(name), 1700000000);
        return dir.file(name);
    }

    bool errorShown(int id) const { return std::find(ids.begin(), ids.end(), id) != ids.end(); }
};

TEST_F(SpanTest, FixedDriveGivesNumberedVolumesThatJoinBackByteExact)
{
    const std::string src = source({700000, 40, 900000, 3, 650000, 160000, 600000});
    ASSERT_GE(readFile(src).size(), 3000000u);
    const std::string out = dir.file("out/backup.zip");
    ::mkdir(dir.file("out").c_str(), 0700);
    z.Unattended = true; // a fixed drive never prompts
    z.SetMaxVolumeSize(1000000);
    ASSERT_EQ(z.WriteSpan(src, out), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_TRUE(dialogs.boxes.empty());

    std::vector<std::string> vols;
    for (int n = 1; fileExists(TZipBuilder::NumberedVolumeName(out, n)); ++n)
        vols.push_back(TZipBuilder::NumberedVolumeName(out, n));
    ASSERT_GE(vols.size(), 3u);
    EXPECT_EQ(vols[0], dir.file("out/backup001.zip"));
    EXPECT_FALSE(fileExists(out));
    for (auto &v : vols) {
        EXPECT_LE(readFile(v).size(), 1000000u) << v;
        EXPECT_EQ(mtimeOf(v), 1700000000) << v;
    }
    EXPECT_TRUE(validSet(vols));

    std::string joined = dir.path();
    ASSERT_EQ(z.ReadSpan(vols.back(), joined), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(readFile(joined), readFile(src)); // a clean archive comes back unchanged
    EXPECT_EQ(mtimeOf(joined), 1700000000);
    if (have("unzip")) {
        EXPECT_EQ(runCommand("unzip -tq '" + joined + "'"), 0);
    }
    if (have("7z")) {
        EXPECT_EQ(runCommand("7z t '" + joined + "' >/dev/null"), 0);
    }
}

TEST_F(SpanTest, HeaderIsMovedToTheNextVolumeInsteadOfCut)
{
    // Volume 1: marker, header + 11-byte name, 65,476 data bytes: 10 bytes left,
    // too few for the next header.
    const std::string src = source({65536 - 4 - 41 - 10, 5000});
    z.Unattended = true;
    z.SetMaxVolumeSize(65536);
    const std::string out = dir.file("cut.zip");
    ASSERT_EQ(z.WriteSpan(src, out), 0);
    EXPECT_EQ(readFile(dir.file("cut001.zip")).size(), 65536u - 10);
    EXPECT_EQ(u32(readFile(dir.file("cut002.zip")), 0), 0x04034B50u);
    EXPECT_TRUE(validSet({dir.file("cut001.zip"), dir.file("cut002.zip")}));
}

TEST_F(SpanTest, DirectorySpreadOverVolumesIsListedAndJoined)
{
    std::vector<Member> m;
    for (int i = 0; i < 400; ++i)
        m.emplace_back(std::string(90, 'n') + std::to_string(1000 + i) + ".txt", randomBytes(100, uint32_t(i)));
    writeFile(dir.file("many.zip"), ziptest::makeZip(m));
    z.Unattended = true;
    z.SetMaxVolumeSize(65536);
    ASSERT_EQ(z.WriteSpan(dir.file("many.zip"), dir.file("m.zip")), 0) << (texts.empty() ? "" : texts.back());
    ASSERT_TRUE(fileExists(dir.file("m003.zip")));
    ASSERT_FALSE(fileExists(dir.file("m004.zip")));
    const std::string last = readFile(dir.file("m003.zip"));
    const size_t e = last.size() - 22;
    ASSERT_EQ(u16(last, e + 6), 1); // the directory starts on volume 2 and goes on on 3
    EXPECT_TRUE(validSet({dir.file("m001.zip"), dir.file("m002.zip"), dir.file("m003.zip")}));

    z.SetZipFileName(dir.file("m003.zip"));
    EXPECT_EQ(z.GetCount(), 400) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(z.DiskNr(), 2);
    std::string joined = dir.path();
    ASSERT_EQ(z.ReadSpan(dir.file("m003.zip"), joined), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(readFile(joined), readFile(dir.file("many.zip")));
}

TEST_F(SpanTest, KeepFreeOnDisk1ShrinksOnlyTheFirstVolume)
{
    const std::string src = source({300000});
    z.Unattended = true;
    z.SetMaxVolumeSize(100000);
    z.SetFreeOnDisk1(30000);
    ASSERT_EQ(z.WriteSpan(src, dir.file("k.zip")), 0);
    EXPECT_EQ(readFile(dir.file("k001.zip")).size(), 70000u);
    EXPECT_EQ(readFile(dir.file("k002.zip")).size(), 100000u);
    EXPECT_EQ(readFile(dir.file("k003.zip")).size(), 100000u);
}

TEST_F(SpanTest, StreamedMemberIsCopiedWithTheDirectorySize)
{
    if (!have("zip"))
        GTEST_SKIP() << "zip not installed";
    writeFile(dir.file("data.txt"), randomBytes(200000, 3));
    // Written to a pipe: data descriptor, local header sizes 0.
    ASSERT_EQ(runCommand("cd '" + dir.path() + "' && zip -q -0 -fz- - data.txt | cat > streamed.zip"), 0);
    const std::string src = dir.file("streamed.zip");
    ASSERT_EQ(u16(readFile(src), 6) & 8, 8);
    z.Unattended = true;
    z.SetMaxVolumeSize(70000);
    ASSERT_EQ(z.WriteSpan(src, dir.file("st.zip")), 0);
    std::string joined = dir.path();
    ASSERT_EQ(z.ReadSpan(dir.file("st003.zip"), joined), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(readFile(joined), readFile(src));
}

TEST_F(SpanTest, JoiningFromAVolumeThatIsNotTheLastNamesIt)
{
    const std::string src = source({100000, 100000, 100000});
    z.Unattended = true;
    z.SetMaxVolumeSize(70000);
    ASSERT_EQ(z.WriteSpan(src, dir.file("j.zip")), 0);

    std::string out = dir.path();
    EXPECT_EQ(z.ReadSpan(dir.file("j001.zip"), out), -7);
    EXPECT_EQ(z.LastErrorCode, 11037);
    EXPECT_TRUE(out.empty());

    out = dir.file("joined.bin");
    EXPECT_EQ(z.ReadSpan(dir.file("j002.zip"), out), -7);
    EXPECT_EQ(z.LastErrorCode, 11038);
    EXPECT_NE(z.LastMessage.find(" 2 "), std::string::npos) << z.LastMessage;
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(fileExists(dir.file("joined.zip"))); // the partial output is gone
}

TEST_F(SpanTest, SplittingRefusesWhatItCannotCarry)
{
    const std::string src = source({1000});
    z.Unattended = true;
    z.SetMaxVolumeSize(70000);
    ASSERT_EQ(z.WriteSpan(src, dir.file("a.zip")), 0);
    // Already a volume of a set (a single one here: end record on disk 0 is
    // fine, so use a later volume of a bigger set).
    const std::string big = source({100000, 100000}, "big.zip");
    ASSERT_EQ(z.WriteSpan(big, dir.file("b.zip")), 0);
    EXPECT_EQ(z.WriteSpan(dir.file("b003.zip"), dir.file("c.zip")), -9);
    EXPECT_EQ(z.LastErrorCode, 11024);
    // Not an archive.
    writeFile(dir.file("text.zip"), std::string(5000, 'x'));
    EXPECT_EQ(z.WriteSpan(dir.file("text.zip"), dir.file("d.zip")), -7);
    EXPECT_EQ(z.LastErrorCode, 11036);
    EXPECT_EQ(z.WriteSpan(dir.file("missing.zip"), dir.file("d.zip")), -7);
    EXPECT_EQ(z.LastErrorCode, 11001);
}

TEST_F(SpanTest, FixedDiskMisusesSayWhatIsWrong)
{
    // Not a matter of removable disks, so not the operator message.
    const std::string src = source({1000});
    z.Unattended = true;
    z.SetMaxVolumeSize(70000);
    writeFile(dir.file("a001.zip"), "old volume");
    EXPECT_EQ(z.WriteSpan(src, dir.file("a.zip")), -7);
    EXPECT_EQ(z.LastErrorCode, 11048);
    EXPECT_EQ(texts.back(), "Volume " + dir.file("a001.zip") + " already exists; it is not overwritten without an operator");
    EXPECT_EQ(readFile(dir.file("a001.zip")), "old volume");

    z.SetMaxVolumeSize(70000);
    z.SetMinFreeVolSize(80000);
    EXPECT_EQ(z.WriteSpan(src, dir.file("b.zip")), -7);
    EXPECT_EQ(z.LastErrorCode, 11049);
    EXPECT_EQ(texts.back(), "The maximum volume size leaves less than the minimum free volume size");
    EXPECT_FALSE(fileExists(dir.file("b001.zip")));
}

// ------------------------------------------------------------- removable disks

class RemovableSpan : public SpanTest {
protected:
    platform::ScriptedVolumes vols;
    std::string drive;
    std::vector<int> disks;
    std::vector<std::pair<int, int>> prompts; // DiskSeqNo, DiskTotal

    void SetUp() override
    {
        SpanTest::SetUp();
        drive = dir.file("drive");
        ::mkdir(drive.c_str(), 0700);
        vols.addDrive(drive, platform::dtRemovable);
    }
    void addDisks(int n, int64_t capacity)
    {
        for (int i = 0; i < n; ++i)
            disks.push_back(vols.addDisk("BLANK" + std::to_string(i), capacity));
    }
    // Puts in the disk the component asks for: volume N is disk N-1, "the
    // last disk" (0) is the last one.
    void autoSwap()
    {
        z.OnGetNextDisk = [this](TZipBuilder *, int seq, int total, const std::string &drv, bool &cancel) {
            prompts.emplace_back(seq, total);
            EXPECT_EQ(drv, drive);
            const size_t i = seq == 0 ? disks.size() - 1 : size_t(seq - 1);
            if (i >= disks.size()) {
                cancel = true;
                return;
            }
            vols.insert(drive, disks[i]);
        };
    }
};

TEST_F(RemovableSpan, EachDiskGetsTheArchiveNameAndItsLabel)
{
    const std::string src = source({150000, 150000, 150000});
    addDisks(3, 200000);
    autoSwap();
    z.SetMaxVolumeSize(0);
    z.SetMinFreeVolSize(1000);
    ASSERT_EQ(z.WriteSpan(src, drive + "/backup.zip"), 0) << (texts.empty() ? "" : texts.back());
    ASSERT_EQ(prompts.size(), 3u);
    EXPECT_EQ(prompts[0].first, 1);
    EXPECT_EQ(prompts[2].first, 3);
    EXPECT_EQ(prompts[0].second, 0); // no disk in the drive yet: total unknown
    EXPECT_EQ(prompts[1].second, 3); // (450,000 + 4) / 200,000 + 1
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(vols.disk(disks[i]).label, "PKBACK# 00" + std::to_string(i + 1));
        EXPECT_EQ(vols.files(disks[i]), std::vector<std::string>{"backup.zip"});
    }

    // Join from the disk left in the drive (the last one), asking for 1, 2, 3.
    prompts.clear();
    std::string joined = dir.path();
    ASSERT_EQ(z.ReadSpan(drive + "/backup.zip", joined), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(readFile(joined), readFile(src));
    ASSERT_GE(prompts.size(), 3u);
    EXPECT_EQ(prompts.front().first, 1);
    EXPECT_EQ(prompts.front().second, 3);
}

TEST_F(RemovableSpan, JoiningAsksForTheLastDiskFirst)
{
    const std::string src = source({150000, 150000});
    addDisks(2, 200000);
    autoSwap();
    z.SetMinFreeVolSize(1000);
    ASSERT_EQ(z.WriteSpan(src, drive + "/backup.zip"), 0);
    vols.insert(drive, disks[0]); // the wrong disk is in the drive
    prompts.clear();
    std::string joined = dir.path();
    ASSERT_EQ(z.ReadSpan(drive + "/backup.zip", joined), 0) << (texts.empty() ? "" : texts.back());
    ASSERT_FALSE(prompts.empty());
    EXPECT_EQ(prompts.front().first, 0); // "insert last disk"
    EXPECT_EQ(readFile(joined), readFile(src));
}

TEST_F(RemovableSpan, UnattendedFailsAtTheFirstPrompt)
{
    const std::string src = source({1000});
    addDisks(1, 200000);
    vols.insert(drive, disks[0]);
    z.Unattended = true;
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11025);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(vols.files(disks[0]).empty());
}

TEST_F(RemovableSpan, PromptBoxWithoutHandlerAndCancel)
{
    const std::string src = source({1000});
    addDisks(1, 200000);
    vols.insert(drive, disks[0]);
    z.SetMinFreeVolSize(1000);
    dialogs.boxAnswers = {platform::mrCancel};
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);
    ASSERT_EQ(dialogs.boxes.size(), 1u); // the prompt; the cancel itself is not shown
    EXPECT_EQ(dialogs.boxes[0].text, "Please insert disk volume 1 of 1\nin drive: " + drive);
    EXPECT_EQ(dialogs.boxes[0].buttons, platform::Buttons::OkCancel);

    dialogs.boxes.clear();
    dialogs.boxAnswers = {platform::mrOk};
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), 0);
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(vols.disk(disks[0]).label, "PKBACK# 001");
}

TEST_F(RemovableSpan, TooLittleFreeSpaceAsksForAnotherDisk)
{
    const std::string src = source({50000});
    disks.push_back(vols.addDisk("SMALL", 40000));
    disks.push_back(vols.addDisk("BIG", 500000));
    std::vector<int> statuses;
    int nextDisk = 0;
    z.OnGetNextDisk = [&](TZipBuilder *, int, int, const std::string &, bool &) {
        vols.insert(drive, disks[size_t(nextDisk++)]);
    };
    z.OnStatusDisk = [&](TZipBuilder *, int, const std::string &, TZipDiskStatus st, TZipDiskAction &action) {
        statuses.push_back(st);
        action = 2;
    };
    ASSERT_EQ(z.WriteSpan(src, drive + "/backup.zip"), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(statuses, std::vector<int>{TZipBuilder::zdsNotEnoughSpace});
    EXPECT_TRUE(vols.files(disks[0]).empty()); // the file made on the small disk is gone
    EXPECT_EQ(vols.disk(disks[0]).label, "SMALL");
    EXPECT_EQ(vols.disk(disks[1]).label, "PKBACK# 001");

    // Without a handler: Retry/Cancel box; Cancel stops quietly.
    z.OnStatusDisk = nullptr;
    nextDisk = 0;
    vols.eject(drive);
    dialogs.boxAnswers = {platform::mrCancel};
    EXPECT_EQ(z.WriteSpan(src, drive + "/other.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "This disk has not enough free space available");
    EXPECT_EQ(dialogs.boxes[0].buttons, platform::Buttons::RetryCancel);
}

TEST_F(RemovableSpan, ExistingFileIsOverwrittenOnlyWhenAllowed)
{
    const std::string src = source({1000});
    addDisks(1, 200000);
    vols.insert(drive, disks[0]);
    writeFile(drive + "/backup.zip", "old data");
    z.SetMinFreeVolSize(1000);
    z.OnGetNextDisk = [](TZipBuilder *, int, int, const std::string &, bool &) {};
    std::vector<std::pair<int, std::string>> asked;
    z.OnStatusDisk = [&](TZipBuilder *, int prev, const std::string &file, TZipDiskStatus st, TZipDiskAction &a) {
        asked.emplace_back(st, file);
        EXPECT_EQ(prev, 1);
        a = 3;
    };
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].first, TZipBuilder::zdsSameFileName | TZipBuilder::zdsHasFiles);
    EXPECT_EQ(asked[0].second, drive + "/backup.zip");
    EXPECT_EQ(readFile(drive + "/backup.zip"), "old data");

    // The box: Yes overwrites.
    z.OnStatusDisk = nullptr;
    dialogs.boxAnswers = {platform::mrYes};
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), 0);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Overwrite previous file " + drive + "/backup.zip");
    EXPECT_EQ(dialogs.boxes[0].caption, "Confirm");
    EXPECT_EQ(dialogs.boxes[0].buttons, platform::Buttons::YesNoCancel);
    EXPECT_EQ(u32(readFile(drive + "/backup.zip"), 0), 0x08074B50u);

    // Unattended never overwrites.
    z.Unattended = true;
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11025); // the prompt for the disk comes first
}

TEST_F(RemovableSpan, EraseStepEmptiesTheDiskAndLabelsIt)
{
    const std::string src = source({1000});
    addDisks(1, 200000);
    vols.insert(drive, disks[0]);
    writeFile(drive + "/private.txt", "someone's file");
    z.AddOptions.insert(AddDiskSpanErase);
    z.SetMinFreeVolSize(1000);

    // Asked first; Cancel stops quietly and keeps the files.
    dialogs.boxAnswers = {platform::mrOk, platform::mrCancel};
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);
    EXPECT_TRUE(fileExists(drive + "/private.txt"));
    EXPECT_EQ(vols.erases, 0);

    // Without confirmation it goes ahead.
    z.ConfirmErase = false;
    dialogs.boxes.clear();
    dialogs.boxAnswers = {platform::mrOk};
    ASSERT_EQ(z.WriteSpan(src, drive + "/backup.zip"), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(vols.erases, 1);
    EXPECT_FALSE(fileExists(drive + "/private.txt"));
    EXPECT_EQ(vols.disk(disks[0]).label, "PKBACK# 001");

    // A failing erase is shown.
    vols.failErase = true;
    dialogs.boxes.clear();
    dialogs.boxAnswers = {platform::mrOk};
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);
    EXPECT_EQ(dialogs.boxes.size(), 2u); // the prompt and the error
}

TEST_F(RemovableSpan, LabelThatCannotBeWrittenFails)
{
    const std::string src = source({1000});
    addDisks(1, 200000);
    vols.insert(drive, disks[0]);
    vols.failSetLabel = true;
    z.SetMinFreeVolSize(1000);
    z.OnGetNextDisk = [](TZipBuilder *, int, int, const std::string &, bool &) {};
    EXPECT_EQ(z.WriteSpan(src, drive + "/backup.zip"), -7);
    EXPECT_EQ(z.LastErrorCode, 11005);
}

// Desktop automounters mount every disk at a folder of its own and remove it
// when the disk goes; the set is followed by device, label or as the only
// removable volume, whichever port the disk is put in.
TEST_F(RemovableSpan, DisksMountedAtTheirOwnFoldersAreFollowed)
{
    const std::string portA = dir.file("portA"), portB = dir.file("portB"), media = dir.file("media");
    for (const std::string &d : {portA, portB, media})
        ::mkdir(d.c_str(), 0700);
    vols.addDrive(portA, platform::dtRemovable);
    vols.addDrive(portB, platform::dtRemovable);
    const std::string src = source({150000, 150000, 150000});
    addDisks(3, 200000);
    int swaps = 0;
    std::string port = portA, last;
    std::vector<std::string> folders;
    auto put = [&](int disk, const std::string &to) {
        vols.eject(port);
        port = to;
        const std::string folder = media + "/" + vols.disk(disk).label + "-" + std::to_string(swaps++);
        vols.insertAt(port, disk, folder);
        if (!folders.empty()) {
            EXPECT_FALSE(fileExists(folders.back())) << "the previous disk's folder stays";
        }
        folders.push_back(folder);
    };
    z.OnGetNextDisk = [&](TZipBuilder *, int seq, int, const std::string &, bool &cancel) {
        prompts.emplace_back(seq, 0);
        const size_t i = seq == 0 ? disks.size() - 1 : size_t(seq - 1);
        if (i >= disks.size() || prompts.size() > 20) {
            cancel = true;
            return;
        }
        put(disks[i], swaps % 3 == 2 ? portB : portA); // the same port, then another one
    };
    put(disks[0], portA);
    z.SetMinFreeVolSize(1000);
    ASSERT_EQ(z.WriteSpan(src, folders.back() + "/backup.zip"), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(prompts.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(vols.disk(disks[i]).label, "PKBACK# 00" + std::to_string(i + 1));
        EXPECT_EQ(vols.files(disks[i]), std::vector<std::string>{"backup.zip"});
    }

    // Joining with another stick in a third port: the label tells the set's disk.
    const std::string portC = dir.file("portC");
    ::mkdir(portC.c_str(), 0700);
    vols.addDrive(portC, platform::dtRemovable);
    vols.insertAt(portC, vols.addDisk("CAMERA", 100000), media + "/CAMERA");
    prompts.clear();
    std::string joined = dir.path();
    ASSERT_EQ(z.ReadSpan(folders.back() + "/backup.zip", joined), 0) << (texts.empty() ? "" : texts.back());
    EXPECT_EQ(readFile(joined), readFile(src));
    EXPECT_GE(prompts.size(), 3u);
    EXPECT_EQ(vols.files(disks[0]), std::vector<std::string>{"backup.zip"});
}

} // namespace
