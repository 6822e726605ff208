// Renaming members and copying them between archives: what ends up in the
// archives, which checks refuse a request, and that a broken-off rewrite
// leaves the original archive as it was.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "platform/ScriptedDialogs.h"
#include "zip/ZipBuilder.h"

#include <QByteArray>
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <stdexcept>
#include <vector>

using namespace testsupport;
using ziptest::Member;

namespace {

bool have(const std::string &tool) { return runCommand("command -v " + tool + " >/dev/null") == 0; }

int countFiles(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

struct Fixture : ::testing::Test {
    TempDir tmp;
    std::string work = tmp.file("tmp");
    void SetUp() override { ::mkdir(work.c_str(), 0700); }

    // A component for `archive` that never shows a box, keeps temporary
    // files in their own folder and deletes outright.
    void setup(TZipBuilder &z, const std::string &archive)
    {
        z.Unattended = true;
        z.HowToDelete = htdFinal;
        z.TempDir = work;
        z.SetZipFileName(archive);
        ASSERT_EQ(z.ZipFileName(), archive) << z.LastMessage;
    }
    // Member name -> data, read back through unzip (a peer, not our reader).
    std::map<std::string, std::string> contents(const std::string &archive)
    {
        std::map<std::string, std::string> out;
        TZipBuilder z;
        setup(z, archive);
        for (const ZipDirEntry &e : z.Entries) {
            std::string data;
            EXPECT_EQ(runCommand("unzip -p '" + archive + "' '" + e.FileName + "'", &data), 0);
            out[e.FileName] = data;
        }
        return out;
    }
    std::map<std::string, uint32_t> dates(const std::string &archive)
    {
        TZipBuilder z;
        setup(z, archive);
        std::map<std::string, uint32_t> out;
        for (const ZipDirEntry &e : z.Entries)
            out[e.FileName] = e.DateTime;
        return out;
    }
};

using RenameTest = Fixture;
using CopyTest = Fixture;

TEST_F(RenameTest, FolderRequestRenamesEveryPathHoldingItAndKeepsDataAndDates)
{
    const std::string zip = tmp.file("a.zip");
    writeFile(zip, ziptest::makeZip({Member("a/docs/x.txt", "one"), Member("DOCS/y.txt", "two"),
                                     Member("z/other.txt", "three")},
                                    "archive comment"));
    auto before = dates(zip);
    ::chmod(zip.c_str(), 0640);
    TZipBuilder z;
    setup(z, zip);
    std::vector<std::string> messages;
    z.OnMessage = [&](TZipBuilder *, int, const std::string &m) { messages.push_back(m); };
    ASSERT_EQ(z.Rename({{"docs\\", "papers/new.txt", 0}}, 0), 0) << z.LastMessage;

    std::map<std::string, std::string> want = {
        {"a/papers/x.txt", "one"}, {"papers/y.txt", "two"}, {"z/other.txt", "three"}};
    EXPECT_EQ(contents(zip), want);
    EXPECT_EQ(z.ZipComment(), "archive comment");
    EXPECT_EQ(runCommand("unzip -tq '" + zip + "' >/dev/null"), 0);
    // Date-time 0 and no request dates: every time and date field stays.
    auto after = dates(zip);
    EXPECT_EQ(after["a/papers/x.txt"], before["a/docs/x.txt"]);
    EXPECT_EQ(after["z/other.txt"], before["z/other.txt"]);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Processing: a/docs/x.txt renamed to: a/papers/x.txt");
    struct stat st{};
    ::stat(zip.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // the new archive keeps the permissions
    EXPECT_EQ(countFiles(work), 0);
}

TEST_F(RenameTest, RequestDateAppliesToItsMembersOnlyAndTheGlobalDateToAll)
{
    const std::string zip = tmp.file("d.zip");
    writeFile(zip, ziptest::makeZip({Member("keep.txt", "k"), Member("move.txt", "m")}));
    const uint32_t own = (uint32_t(45 << 9 | 3 << 5 | 4) << 16) | (10 << 11 | 20 << 5 | 2);
    TZipBuilder z;
    setup(z, zip);
    ASSERT_EQ(z.Rename({{"move.txt", "moved.txt", own}}, 0), 0);
    auto d = dates(zip);
    EXPECT_EQ(d["moved.txt"], own);
    EXPECT_EQ(d["keep.txt"], 0x5A210000u);
    // The local header carries the same date: unzip shows 2025-03-04 10:20.
    std::string out;
    runCommand("unzip -l '" + zip + "'", &out);
    EXPECT_NE(out.find("2025-03-04 10:20"), std::string::npos) << out;

    const uint32_t all = (uint32_t(44 << 9 | 1 << 5 | 1) << 16);
    ASSERT_EQ(z.Rename({}, all), 0);
    d = dates(zip);
    EXPECT_EQ(d["moved.txt"], all);
    EXPECT_EQ(d["keep.txt"], all);
}

TEST_F(RenameTest, RefusedRequestsLeaveTheArchiveAlone)
{
    const std::string zip = tmp.file("r.zip");
    const std::string bytes = ziptest::makeZip({Member("dir/f.txt", "data")});
    writeFile(zip, bytes);
    TZipBuilder z;
    setup(z, zip);
    // A file renamed to a bare folder.
    EXPECT_EQ(z.Rename({{"dir/f.txt", "other/", 0}}, 0), -10);
    EXPECT_FALSE(z.ZipCallActive);
    EXPECT_EQ(readFile(zip), bytes);

    // The last volume of a spanned set.
    std::string spanned = bytes;
    spanned[spanned.size() - 22 + 4] = 1; // number of this disk
    spanned[spanned.size() - 22 + 6] = 1; // disk with the directory
    writeFile(zip, spanned);
    z.SetZipFileName(zip);
    EXPECT_EQ(z.Rename({{"f.txt", "g.txt", 0}}, 0), -7);
    EXPECT_EQ(z.LastErrorCode, 10141);
    EXPECT_EQ(readFile(zip), spanned);
    EXPECT_EQ(countFiles(work), 0);
}

TEST_F(RenameTest, BrokenOffRenameLeavesTheOriginal)
{
    const std::string zip = tmp.file("i.zip");
    const std::string bytes = ziptest::makeZip({Member("a.txt", randomBytes(20000)), Member("b.txt", "b"),
                                                Member("c.txt", "c")});
    writeFile(zip, bytes);
    TZipBuilder z;
    setup(z, zip);
    int started = 0;
    z.OnProgress = [&](TZipBuilder *zb, ProgressType t, const std::string &, long) {
        if (t == ptFileStart && ++started == 2)
            zb->CancelRequested = true;
    };
    EXPECT_EQ(z.Rename({{"a.txt", "x.txt", 0}}, 0), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);
    EXPECT_EQ(readFile(zip), bytes);
    EXPECT_EQ(countFiles(work), 0);

    // An event handler that fails half way.
    z.CancelRequested = false;
    started = 0;
    z.OnProgress = [&](TZipBuilder *, ProgressType t, const std::string &, long) {
        if (t == ptFileStart && ++started == 3)
            throw std::runtime_error("handler failed");
    };
    EXPECT_EQ(z.Rename({{"a.txt", "x.txt", 0}}, 0), -9);
    EXPECT_EQ(readFile(zip), bytes);
    EXPECT_EQ(countFiles(work), 0);
    EXPECT_FALSE(z.ZipCallActive);
}

TEST_F(RenameTest, UsersCancelIsReportedButNeverBoxed)
{
    platform::ScriptedDialogs dialogs;
    const std::string zip = tmp.file("c.zip"), dst = tmp.file("d.zip");
    writeFile(zip, ziptest::makeZip({Member("a", randomBytes(20000)), Member("b", "b")}));
    TZipBuilder z;
    setup(z, zip);
    z.Unattended = false;
    std::vector<std::string> said;
    z.OnMessage = [&](TZipBuilder *zb, int, const std::string &text) {
        if (zb->LastErrorCode == 11007)
            said.push_back(text);
    };
    z.OnProgress = [](TZipBuilder *zb, ProgressType t, const std::string &, long) {
        if (t == ptFileStart)
            zb->CancelRequested = true;
    };
    EXPECT_EQ(z.Rename({{"a", "x", 0}}, 0), -7);
    EXPECT_EQ(z.LastErrorCode, 11007);

    TZipBuilder s, d;
    setup(s, zip);
    s.Unattended = false;
    s.OnMessage = z.OnMessage;
    writeFile(dst, ziptest::makeZip({Member("a", "x"), Member("y", "y")}));
    setup(d, dst);
    d.OnCopyZipOverwrite = [&](TZipBuilder *, const std::string &, bool &) { s.CancelRequested = true; };
    s.FSpecArgs = {"a", "b"};
    EXPECT_EQ(s.CopyZippedFiles(&d, false, OvrConfirm), -7);
    EXPECT_EQ(s.LastErrorCode, 11007);
    EXPECT_EQ(said, (std::vector<std::string>{"Cancelled by the user", "Cancelled by the user"}));
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(RenameTest, DefaultDeleteModeTrashesOrDeletesNeverScatters)
{
    // Qt's test mode keeps the trash under $HOME/.qttest/share.
    const std::string home = tmp.file("home"), cwd = tmp.file("cwd");
    ::mkdir(home.c_str(), 0700);
    ::mkdir(cwd.c_str(), 0700);
    const QByteArray oldHome = qgetenv("HOME");
    char oldCwd[4096];
    ASSERT_TRUE(::getcwd(oldCwd, sizeof oldCwd));
    qputenv("HOME", QByteArray::fromStdString(home));
    ASSERT_EQ(::chdir(cwd.c_str()), 0);

    const std::string zip = tmp.file("t.zip");
    writeFile(zip, ziptest::makeZip({Member("a", "a")}));
    TZipBuilder z;
    z.Unattended = true;
    z.TempDir = work;
    EXPECT_EQ(z.HowToDelete, htdAllowUndo);
    z.SetZipFileName(zip);
    // No trash to be had: the replaced archive is deleted.
    EXPECT_EQ(z.Rename({{"a", "b", 0}}, 0), 0);
    EXPECT_EQ(countFiles(cwd), 0);
    EXPECT_EQ(countFiles(home), 0);
    EXPECT_EQ(runCommand("test -z \"$(ls -A '" + home + "')\""), 0);
    // With one, the old archive lands in it.
    ASSERT_EQ(runCommand("mkdir -p '" + home + "/.qttest/share'"), 0);
    EXPECT_EQ(z.Rename({{"b", "c", 0}}, 0), 0);
    EXPECT_EQ(countFiles(home + "/.qttest/share/Trash/files"), 1);
    EXPECT_EQ(countFiles(cwd), 0);
    EXPECT_EQ(contents(zip), (std::map<std::string, std::string>{{"c", "a"}}));

    ASSERT_EQ(::chdir(oldCwd), 0);
    qputenv("HOME", oldHome);
}

TEST_F(RenameTest, SelfExtractorStubAndZipToolArchivesSurvive)
{
    if (!have("zip") || !have("unzip"))
        GTEST_SKIP() << "zip/unzip missing";
    // zip writes other extra fields into local headers than into the
    // directory, and a data descriptor when it reads from a pipe.
    const std::string src = tmp.file("src");
    ::mkdir(src.c_str(), 0700);
    writeFile(src + "/big.bin", randomBytes(100000, 7));
    writeFile(src + "/small.txt", "small");
    const std::string zip = tmp.file("z.zip");
    ASSERT_EQ(runCommand("cd '" + src + "' && zip -q '" + zip + "' big.bin small.txt && printf 'STUBSTUB' > '" +
                         tmp.file("stub") + "' && cat '" + tmp.file("stub") + "' '" + zip + "' > '" + tmp.file("s.zip") +
                         "' && zip -qA '" + tmp.file("s.zip") + "' && printf piped | zip -q - - > '" +
                         tmp.file("p.zip") + "'"),
              0);
    TZipBuilder z;
    setup(z, tmp.file("s.zip"));
    ASSERT_EQ(z.Rename({{"small", "tiny", 0}}, 0), 0) << z.LastMessage;
    EXPECT_EQ(readFile(tmp.file("s.zip")).substr(0, 8), "STUBSTUB");
    std::string out;
    EXPECT_EQ(runCommand("unzip -t '" + tmp.file("s.zip") + "'", &out), 0) << out;
    auto c = contents(tmp.file("s.zip"));
    EXPECT_EQ(c["big.bin"], randomBytes(100000, 7));
    EXPECT_EQ(c["tiny.txt"], "small");

    // Streamed: a data descriptor behind the data and Zip64 end records.
    TZipBuilder p;
    setup(p, tmp.file("p.zip"));
    ASSERT_EQ(p.Rename({{"-", "piped.txt", 0}}, 0), 0) << p.LastMessage;
    EXPECT_EQ(runCommand("unzip -t '" + tmp.file("p.zip") + "'", &out), 0) << out;
    EXPECT_EQ(contents(tmp.file("p.zip"))["piped.txt"], "piped");
}

TEST_F(CopyTest, NewReplacedAndKeptMembers)
{
    const std::string src = tmp.file("src.zip"), dst = tmp.file("dst.zip");
    writeFile(src, ziptest::makeZip({Member("new.txt", "from source"), Member("Both.txt", "source copy"),
                                     Member("same.txt", "source same")}));
    writeFile(dst, ziptest::makeZip({Member("both.txt", "dest copy"), Member("same.txt", "dest same"),
                                     Member("only.txt", "dest only")},
                                    "dest comment"));
    TZipBuilder s, d;
    setup(s, src);
    setup(d, dst);
    s.FSpecArgs = {"new.txt", "both.txt"};
    ASSERT_EQ(s.CopyZippedFiles(&d, false, OvrNever), 0) << s.LastMessage;
    std::map<std::string, std::string> want = {
        {"both.txt", "dest copy"}, {"same.txt", "dest same"}, {"only.txt", "dest only"}, {"new.txt", "from source"}};
    EXPECT_EQ(contents(dst), want);
    EXPECT_EQ(s.FSpecArgs, std::vector<std::string>{"both.txt"}); // the one not copied
    EXPECT_EQ(d.ZipComment(), "dest comment");
    EXPECT_EQ(d.Count(), 4);
    EXPECT_EQ(runCommand("unzip -tq '" + dst + "' >/dev/null"), 0);

    s.FSpecArgs = {"BOTH.TXT", "same.txt"};
    ASSERT_EQ(s.CopyZippedFiles(&d, false, OvrAlways), 0);
    want["Both.txt"] = "source copy";
    want.erase("both.txt");
    want["same.txt"] = "source same";
    EXPECT_EQ(contents(dst), want);
    EXPECT_TRUE(s.FSpecArgs.empty());
    EXPECT_EQ(contents(src).size(), 3u); // the source keeps its members
}

TEST_F(CopyTest, ConfirmAsksOncePerClashingMember)
{
    platform::ScriptedDialogs dialogs;
    const std::string src = tmp.file("src.zip"), dst = tmp.file("dst.zip");
    writeFile(src, ziptest::makeZip({Member("a", "A2"), Member("b", "B2"), Member("c", "C2")}));
    writeFile(dst, ziptest::makeZip({Member("a", "A1"), Member("b", "B1")}));
    TZipBuilder s, d;
    setup(s, src);
    setup(d, dst);
    dialogs.boxAnswers = {platform::mrYes, platform::mrNo};
    s.FSpecArgs = {"a", "b", "c"};
    ASSERT_EQ(s.CopyZippedFiles(&d, false, OvrConfirm), 0);
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[0].text, "Overwrite a in " + dst + " ?");
    EXPECT_EQ(dialogs.boxes[1].buttons, platform::Buttons::YesNo);
    std::map<std::string, std::string> want = {{"a", "A2"}, {"b", "B1"}, {"c", "C2"}};
    EXPECT_EQ(contents(dst), want);

    // With a handler, the handler decides and no box appears.
    int asked = 0;
    d.OnCopyZipOverwrite = [&](TZipBuilder *sender, const std::string &, bool &yes) {
        EXPECT_EQ(sender, &d);
        ++asked;
        yes = true;
    };
    s.FSpecArgs = {"b"};
    ASSERT_EQ(s.CopyZippedFiles(&d, false, OvrConfirm), 0);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(contents(dst)["b"], "B2");
}

TEST_F(CopyTest, RefusalsAndBrokenOffCopiesLeaveTheDestination)
{
    const std::string src = tmp.file("src.zip"), dst = tmp.file("dst.zip");
    writeFile(src, ziptest::makeZip({Member("a", randomBytes(30000)), Member("b", "b")}));
    const std::string dstBytes = ziptest::makeZip({Member("x", "x"), Member("y", "y")});
    writeFile(dst, dstBytes);
    TZipBuilder s, d;
    setup(s, src);
    setup(d, dst);

    // The same archive under another letter case.
    TZipBuilder same;
    same.Unattended = true;
    same.SetZipFileName(src);
    s.FSpecArgs = {"a"};
    EXPECT_EQ(s.CopyZippedFiles(&same, false, OvrAlways), -7);
    EXPECT_EQ(s.LastErrorCode, 10180);

    // A member the source does not have.
    s.FSpecArgs = {"missing"};
    EXPECT_EQ(s.CopyZippedFiles(&d, false, OvrAlways), -7);
    EXPECT_EQ(s.LastErrorCode, 10183);
    EXPECT_EQ(readFile(dst), dstBytes);

    // Broken off at the first question, and a handler that fails.
    s.FSpecArgs = {"a", "b"};
    d.OnCopyZipOverwrite = [&](TZipBuilder *, const std::string &, bool &) { s.CancelRequested = true; };
    writeFile(dst, ziptest::makeZip({Member("a", "x"), Member("y", "y")}));
    d.SetZipFileName(dst);
    const std::string withA = readFile(dst);
    EXPECT_EQ(s.CopyZippedFiles(&d, false, OvrConfirm), -7);
    EXPECT_EQ(s.LastErrorCode, 11007);
    EXPECT_EQ(readFile(dst), withA);
    EXPECT_FALSE(s.CancelRequested);
    d.OnCopyZipOverwrite = [&](TZipBuilder *, const std::string &, bool &) { throw std::runtime_error("boom"); };
    EXPECT_EQ(s.CopyZippedFiles(&d, false, OvrConfirm), -9);
    EXPECT_EQ(readFile(dst), withA);
    EXPECT_EQ(countFiles(work), 0);
    EXPECT_FALSE(s.ZipCallActive);

    // Busy.
    s.CancelRequested = false;
    s.ZipCallActive = true;
    EXPECT_EQ(s.CopyZippedFiles(&d, false, OvrAlways), -6);
    s.ZipCallActive = false;
}

TEST_F(CopyTest, FileUtilities)
{
    const std::string a = tmp.file("a.bin"), b = tmp.file("b.bin");
    writeFile(a, randomBytes(50000, 3));
    struct timespec t[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimensat(AT_FDCWD, a.c_str(), t, 0);
    TZipBuilder z;
    z.HowToDelete = htdFinal;
    writeFile(b, "old");
    EXPECT_EQ(z.CopyFileA(a, b), 0);
    EXPECT_EQ(readFile(b), readFile(a));
    struct stat st{};
    ::stat(b.c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(z.CopyFileA(tmp.file("none"), b), -3);
    EXPECT_EQ(z.CopyFileA(a, tmp.file("no/such/dir")), -1);

    EXPECT_EQ(z.EraseFile(b, htdFinal), 0);
    EXPECT_FALSE(fileExists(b));
    EXPECT_EQ(z.EraseFile(b, htdFinal), -1);
}

} // namespace
