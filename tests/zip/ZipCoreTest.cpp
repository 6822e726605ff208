// Messages, properties, directory listing and the archive comment.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipMessages.h"

#include "platform/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace testsupport;
using ziptest::Member;
using ziptest::makeZip;

namespace {

// Collects what the component reports.
struct Recorder {
    std::vector<std::string> texts;
    int dirUpdates = 0;
    std::vector<int> seqNos;
    void attach(TZipBuilder &z)
    {
        z.Unattended = true;
        z.OnMessage = [this](TZipBuilder *, int code, const std::string &t) {
            EXPECT_EQ(code, 0);
            texts.push_back(t);
        };
        z.OnDirUpdate = [this](TZipBuilder *) { ++dirUpdates; };
        z.OnNewName = [this](TZipBuilder *, int seq, ZipDirEntry &) { seqNos.push_back(seq); };
    }
};

} // namespace

TEST(ZipMessages, EveryIdHasATextAndUnknownIdsGetTheFallback)
{
    const std::vector<std::pair<int, int>> ranges = {
        {10101, 10105}, {10140, 10143}, {10150, 10156}, {10180, 10185}, {10201, 10204}, {10301, 10304},
        {10401, 10401}, {10501, 10503}, {10601, 10604}, {10701, 10704}, {10801, 10803}, {10901, 10903},
        {11001, 11047}};
    for (auto [from, to] : ranges)
        for (int id = from; id <= to; ++id)
            EXPECT_FALSE(zipmsg::builtinText(id).empty()) << id;
    EXPECT_EQ(zipmsg::LoadZipStr(10155, "x"), "Enter the password:");
    EXPECT_EQ(zipmsg::LoadZipStr(12345, "default"), "default");
    EXPECT_EQ(zipmsg::builtinText(11032), "This disk has not enough free space available");
    EXPECT_EQ(zipmsg::builtinText(11034), "Please insert disk volume %.1d of %.1d");

    TZipBuilder z;
    Recorder r;
    r.attach(z);
    z.ShowZipMessage(12345);
    EXPECT_EQ(z.LastErrorCode, 12345);
    EXPECT_EQ(z.LastMessage, "ZipMsgxx.res is probably not bound to the executable\nMissing String ID is: 12345");
    ASSERT_EQ(r.texts.size(), 1u);
    EXPECT_EQ(r.texts[0], z.LastMessage);
}

TEST(ZipMessages, BoxOnlyWhenAttendedAndOnMessageAlways)
{
    platform::ScriptedDialogs dlg;
    TZipBuilder z;
    int seen = 0;
    z.OnMessage = [&](TZipBuilder *, int, const std::string &) { ++seen; };
    z.ShowZipMessage(10301, " extra");
    ASSERT_EQ(dlg.boxes.size(), 1u);
    EXPECT_EQ(dlg.boxes[0].text, zipmsg::builtinText(10301) + " extra");
    z.Unattended = true;
    z.ShowZipMessage(10301);
    z.ShowExceptionError(EZipBuilder(11007, false));
    EXPECT_EQ(dlg.boxes.size(), 1u);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(z.LastErrorCode, 11007);
    z.Unattended = false;
    z.ShowExceptionError(EZipBuilder(11007, false)); // the user's cancel is never boxed
    EXPECT_EQ(dlg.boxes.size(), 1u);
}

TEST(ZipMessages, FormattingFormsFillTheirPlaceholdersOnly)
{
    EXPECT_EQ(std::string(EZipBuilder(11004, "/media/usb").what()), "Drive /media/usb is not present");
    EXPECT_EQ(std::string(EZipBuilder(11038, 3).what()),
              "This is disk 3 of a spanned set, not the last one; please insert the last disk");
    EXPECT_NE(std::string(EZipBuilder(10182, "a.zip", "b.zip").what()).find("a.zip and b.zip"), std::string::npos);
    // A value containing a placeholder is not expanded again; missing values leave the placeholder.
    EXPECT_EQ(zipmsg::formatMessage("%s and %s", {"%d"}), "%d and %s");
    EXPECT_EQ(EZipBuilder(11036, true).TextId, 11036);
    EXPECT_FALSE(EZipBuilder(11007, false).ShowInBox);
    // Ids without text: the fallback, unformatted.
    EXPECT_EQ(std::string(EZipBuilder(19999, 5).what()),
              "ZipMsgxx.res is probably not bound to the executable\nMissing String ID is: 19999");
}

TEST(ZipProperties, DefaultsAndSetterRules)
{
    TZipBuilder z;
    EXPECT_EQ(z.AddCompLevel, 9);
    EXPECT_TRUE(z.SFXOptions.has(SFXCheckSize));
    EXPECT_EQ(z.SFXCaption, "Self-extracting Archive");
    EXPECT_EQ(z.MinFreeVolumeSize(), 65536);
    EXPECT_TRUE(z.ConfirmErase);
    EXPECT_EQ(z.HowToDelete, htdAllowUndo);
    EXPECT_EQ(z.CodePage, cpAUTO);
    EXPECT_EQ(z.PasswordReqCount(), 1u);
    EXPECT_TRUE(z.StoreDialogPassword);
    EXPECT_EQ(z.AddSuffix(), ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha");
    z.AddStoreSuffixes = {assEXE, assZIP};
    EXPECT_EQ(z.AddSuffix(), ".zip:.exe");
    z.AddStoreSuffixes = {};
    EXPECT_EQ(z.AddSuffix(), "");

    z.SetPasswordReqCount(100);
    EXPECT_EQ(z.PasswordReqCount(), 15u);
    z.SetPasswordReqCount(0);
    EXPECT_EQ(z.PasswordReqCount(), 0u);
    z.SetDLLDirectory("/opt/quellon/lib/");
    EXPECT_EQ(z.DLLDirectory(), "/opt/quellon/lib");
    z.SetRootDir("/data");
    EXPECT_EQ(z.RootDir(), "/data/");
    z.SetRootDir("/data/");
    EXPECT_EQ(z.RootDir(), "/data/");
    z.SetRootDir("");
    EXPECT_EQ(z.RootDir(), "");
    z.SetMaxVolumeSize(1000);
    z.SetMaxVolumeSize(-1);
    EXPECT_EQ(z.MaxVolumeSize(), 1000);
    z.SetFreeOnDisk1(-5);
    EXPECT_EQ(z.KeepFreeOnDisk1(), 0);
    z.SetMinFreeVolSize(0);
    EXPECT_EQ(z.MinFreeVolumeSize(), 65536);
    z.SetVersionInfo("9.99");
    EXPECT_EQ(z.VersionInfo(), "1.60 L");
}

TEST(ZipProperties, TempFileNameUsesTempDirAndExtension)
{
    TempDir dir;
    TZipBuilder z;
    z.TempDir = dir.path();
    std::string n = z.MakeTempFileName("zip", ".tmp2");
    EXPECT_EQ(z.TempDir, dir.path() + "/");
    EXPECT_EQ(n.rfind(dir.path() + "/zip", 0), 0u) << n;
    EXPECT_EQ(n.substr(n.size() - 5), ".tmp2");
    EXPECT_FALSE(fileExists(n)); // the name is free, nothing left behind
    z.TempDir = dir.path() + "/missing";
    EXPECT_EQ(z.MakeTempFileName("zip", ".tmp"), "");
}

// ------------------------------------------------------------------ listing

TEST(ZipList, DamagedArchiveCorpus)
{
    const std::string dir = std::string(QUELLON_SOURCE_DIR) + "/tests/data/zip/";
    std::ifstream in(dir + "EXPECTED");
    ASSERT_TRUE(in);
    std::string line;
    int cases = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream ls(line);
        std::string file;
        int id = -1;
        size_t entries = 0;
        ls >> file >> id >> entries;
        SCOPED_TRACE(file);
        TZipBuilder z;
        Recorder r;
        r.attach(z);
        z.SetZipFileName(dir + file);
        EXPECT_EQ(r.dirUpdates, 1);
        EXPECT_EQ(z.Entries.size(), entries);
        bool fatal = id != 0 && id != 10203 && id != 10204 && id != 10205; // warnings
        if (id == 0) {
            EXPECT_TRUE(r.texts.empty()) << r.texts.front();
            EXPECT_EQ(z.LastErrorCode, 0);
        } else {
            EXPECT_EQ(z.LastErrorCode, id);
            EXPECT_GE(r.texts.size(), 1u); // a shifted-directory warning may come first
        }
        EXPECT_EQ(z.ZipFileName().empty(), fatal);
        if (fatal) {
            EXPECT_EQ(z.GetCount(), 0);
        }
        ++cases;
    }
    EXPECT_GE(cases, 20);
}

TEST(ZipList, EndRecordCommentStubAndOffsets)
{
    TempDir dir;
    const std::string f = dir.file("a.zip");
    TZipBuilder z;
    Recorder r;
    r.attach(z);

    writeFile(f, makeZip({}));
    z.SetZipFileName(f);
    EXPECT_EQ(z.GetCount(), 0);
    EXPECT_EQ(z.ArchiveDataOffset(), 0);
    EXPECT_EQ(r.dirUpdates, 1);
    EXPECT_EQ(z.ZipFileName(), f);

    std::string comment(100, 'c');
    writeFile(f, makeZip({{"x.txt", "data"}}, comment));
    z.SetZipFileName(f);
    EXPECT_EQ(z.ZipComment(), comment);
    EXPECT_EQ(z.EndOfCentralOffset(), static_cast<int64_t>(readFile(f).size() - 122));

    const std::string stub(5000, 'S');
    writeFile(f, makeZip({{"x.txt", "data"}, {"y.txt", "more"}}, "", stub));
    z.SetZipFileName(f);
    EXPECT_EQ(z.LastErrorCode, 10203);
    EXPECT_TRUE(z.Shifted());
    EXPECT_EQ(z.ArchiveDataOffset(), 5000);
    EXPECT_EQ(z.GetCount(), 2);
    EXPECT_EQ(r.seqNos, (std::vector<int>{1, 1, 2}));

    // Extra bytes: zero fill up to a 512 boundary is quiet, anything else warns.
    std::string a = makeZip({{"x.txt", "data"}});
    writeFile(f, a + std::string(512 - a.size() % 512, '\0'));
    r.texts.clear();
    z.SetZipFileName(f);
    EXPECT_TRUE(r.texts.empty());
    EXPECT_EQ(z.GetCount(), 1);
    writeFile(f, a + std::string(300, '\x01'));
    z.SetZipFileName(f);
    EXPECT_EQ(z.LastErrorCode, 10204);
    EXPECT_EQ(z.GetCount(), 1);
    EXPECT_EQ(z.LogicalFileSize(), static_cast<int64_t>(a.size()));

    z.SetZipFileName(dir.file("missing.zip"));
    EXPECT_EQ(z.GetCount(), 0);
    EXPECT_EQ(z.ZipFileName(), dir.file("missing.zip"));
}

TEST(ZipList, DirectoryEntriesAndNameCharacterSets)
{
    TempDir dir;
    const std::string f = dir.file("n.zip");
    writeFile(f, makeZip({{"docs/", ""}, {"docs/readme.txt", "r"}}));
    TZipBuilder z;
    Recorder r;
    r.attach(z);
    z.SetZipFileName(f);
    ASSERT_EQ(z.GetCount(), 1);
    EXPECT_EQ(z.Entries[0].FileName, "docs/readme.txt");
    EXPECT_EQ(z.SkippedDirEntryCount(), 1);
    z.UseDirOnlyEntries = true;
    z.List();
    EXPECT_EQ(z.GetCount(), 2);
    EXPECT_EQ(z.SkippedDirEntryCount(), 0);

    // "\x81" is u-umlaut in code page 437; host 0 (FAT) names are OEM.
    Member oem{"M\x81ller.txt", "x"};
    oem.host = 0;
    oem.comment = "gr\x81\xE1";
    Member unixUtf8{"Stra\xC3\x9F" "e.txt", "y"};
    Member flagged{"\xC3\xA9t\xC3\xA9.txt", "z"};
    flagged.host = 0;
    flagged.flag = 0x0800;
    writeFile(f, makeZip({oem, unixUtf8, flagged}));
    z.SetZipFileName(f);
    ASSERT_EQ(z.GetCount(), 3);
    EXPECT_EQ(z.Entries[0].FileName, "M\xC3\xBCller.txt");
    EXPECT_EQ(z.Entries[0].FileComment, "gr\xC3\xBC\xC3\x9F");
    EXPECT_EQ(z.Entries[1].FileName, "Stra\xC3\x9F" "e.txt");
    EXPECT_EQ(z.Entries[2].FileName, "\xC3\xA9t\xC3\xA9.txt");
    z.CodePage = cpNone;
    z.List();
    EXPECT_EQ(z.Entries[0].FileName, "M\xC2\x81ller.txt"); // not OEM: read as Windows-1252
}

TEST(ZipList, EntryFieldsAndOnNewNameMayEditThem)
{
    TempDir dir;
    const std::string f = dir.file("e.zip");
    Member m{"secret.bin", std::string(1000, 'q')};
    m.flag = 1;
    writeFile(f, makeZip({m}));
    TZipBuilder z;
    z.Unattended = true;
    z.OnNewName = [](TZipBuilder *, int, ZipDirEntry &e) { e.FileName = "renamed"; };
    z.SetZipFileName(f);
    ASSERT_EQ(z.GetCount(), 1);
    const ZipDirEntry &e = z.Entries[0];
    EXPECT_EQ(e.FileName, "renamed");
    EXPECT_TRUE(e.Encrypted);
    EXPECT_EQ(e.UncompressedSize, 1000u);
    EXPECT_EQ(e.CompressedSize, 1000u);
    EXPECT_EQ(e.FileNameLength, 10);
    EXPECT_EQ(e.RelOffLocalHdr, 0u);
    EXPECT_EQ(e.HostVersionNo, 3);
}

// ----------------------------------------------------------- archive comment

TEST(ZipComment, WrittenBehindTheEndRecordAndReadByPython)
{
    TempDir dir;
    const std::string f = dir.file("c.zip");
    writeFile(f, makeZip({{"x.txt", "data"}}, "old comment that is longer"));
    TZipBuilder z;
    Recorder r;
    r.attach(z);
    z.SetZipFileName(f);
    z.SetZipComment("new");
    EXPECT_TRUE(r.texts.empty());
    EXPECT_EQ(z.ZipComment(), "new");
    TZipBuilder again;
    again.SetZipFileName(f);
    EXPECT_EQ(again.ZipComment(), "new");
    EXPECT_EQ(again.GetCount(), 1);
    std::string out;
    EXPECT_EQ(runCommand("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                         "print(z.comment.decode()); print(z.testzip())\" " + f, &out), 0) << out;
    EXPECT_EQ(out, "new\nNone\n");
    z.SetZipComment("");
    EXPECT_EQ(readFile(f).size(), makeZip({{"x.txt", "data"}}).size());
}

TEST(ZipComment, FailuresResetTheComment)
{
    TempDir dir;
    TZipBuilder z;
    Recorder r;
    r.attach(z);
    z.SetZipComment("x");
    EXPECT_EQ(z.LastErrorCode, 11001);
    EXPECT_EQ(z.ZipComment(), "");

    // Not listed (the name was set while the file was not an archive yet).
    const std::string f = dir.file("late.zip");
    z.SetZipFileName(f);
    writeFile(f, makeZip({{"x.txt", "data"}}));
    z.SetZipComment("x");
    EXPECT_EQ(z.LastErrorCode, 11011);
    EXPECT_EQ(z.ZipComment(), "");
    EXPECT_EQ(readFile(f), makeZip({{"x.txt", "data"}}));
}
