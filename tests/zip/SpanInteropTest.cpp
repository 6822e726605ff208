// Spanned Add and Extract through the real libraries, the CLI's span and
// join, and member names the unzip library must read as the component lists them.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const std::string kBin = QUELLON_BIN_DIR;

bool have(const std::string &tool) { return runCommand("command -v " + tool + " >/dev/null") == 0; }

std::vector<std::string> namesIn(const std::string &d)
{
    std::vector<std::string> out;
    if (DIR *h = opendir(d.c_str())) {
        while (dirent *e = readdir(h))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                out.push_back(e->d_name);
        closedir(h);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class SpanInterop : public ::testing::Test {
protected:
    TempDir dir;
    TZipBuilder z;
    std::vector<std::string> texts;

    void SetUp() override
    {
        z.Unattended = true;
        z.SetDLLDirectory(kBin);
        z.OnMessage = [this](TZipBuilder *, int, const std::string &t) { texts.push_back(t); };
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        cwd_ = cwd;
        ::mkdir(dir.file("tmp").c_str(), 0700);
        z.TempDir = dir.file("tmp");
    }
    void TearDown() override { EXPECT_EQ(chdir(cwd_.c_str()), 0); }
    std::string last() const { return texts.empty() ? std::string() : texts.back(); }

private:
    std::string cwd_;
};

TEST_F(SpanInterop, SpannedAddAndExtractOnAFixedDrive)
{
    ::mkdir(dir.file("in").c_str(), 0700);
    ::mkdir(dir.file("set").c_str(), 0700);
    const std::string a = randomBytes(400000, 5), b = std::string(300000, 'b') + randomBytes(1000, 9);
    writeFile(dir.file("in/SAVF.tmp"), a);
    writeFile(dir.file("in/zipInfo.4qi"), b);

    z.SetZipFileName(dir.file("set/save.4ql"));
    z.AddOptions = {AddDiskSpan};
    z.AddCompLevel = 0;
    z.SetMaxVolumeSize(200000);
    z.FSpecArgs = {dir.file("in/SAVF.tmp"), dir.file("in/zipInfo.4qi")};
    z.Add();
    ASSERT_EQ(z.ProcessedCount, 2) << last();
    EXPECT_EQ(namesIn(dir.file("set")),
              (std::vector<std::string>{"save001.4ql", "save002.4ql", "save003.4ql", "save004.4ql"}));
    EXPECT_TRUE(namesIn(dir.file("tmp")).empty()); // the single-file archive is gone

    // The last volume lists the whole set and extracts it.
    z.SetZipFileName(dir.file("set/save004.4ql"));
    ASSERT_EQ(z.GetCount(), 2) << last();
    EXPECT_EQ(z.DiskNr(), 3);
    ::mkdir(dir.file("out").c_str(), 0700);
    z.ExtrBaseDir = dir.file("out");
    z.Extract();
    EXPECT_EQ(z.ProcessedCount, 2) << last();
    EXPECT_EQ(readFile(dir.file("out/SAVF.tmp")), a);
    EXPECT_EQ(readFile(dir.file("out/zipInfo.4qi")), b);
    EXPECT_TRUE(namesIn(dir.file("tmp")).empty()); // the joined copy is gone
}

TEST_F(SpanInterop, SpannedAddThatCannotWriteItsVolumesReportsNothingDone)
{
    writeFile(dir.file("f.txt"), randomBytes(100000, 1));
    z.SetZipFileName(dir.file("missing-folder/set.zip"));
    z.AddOptions = {AddDiskSpan};
    z.SetMaxVolumeSize(70000);
    z.FSpecArgs = {dir.file("f.txt")};
    z.Add();
    EXPECT_EQ(z.ProcessedCount, 0);
    EXPECT_EQ(z.LastErrorCode, 11009);
    EXPECT_TRUE(namesIn(dir.file("tmp")).empty());
}

TEST_F(SpanInterop, CliSpanAndJoin)
{
    const std::string cli = kBin + "/quellon-cli";
    writeFile(dir.file("a.bin"), randomBytes(2500000, 11));
    writeFile(dir.file("b.txt"), std::string(600000, 'q'));
    z.SetZipFileName(dir.file("src.zip"));
    z.AddCompLevel = 0;
    z.FSpecArgs = {dir.file("a.bin"), dir.file("b.txt")};
    z.Add();
    ASSERT_EQ(z.ProcessedCount, 2) << last();
    std::string out;
    ::mkdir(dir.file("vol").c_str(), 0700);
    ASSERT_EQ(runCommand(cli + " zip span '" + dir.file("src.zip") + "' '" + dir.file("vol/v.zip") +
                             "' --volume-size 1000000", &out), 0) << out;
    EXPECT_EQ(namesIn(dir.file("vol")), (std::vector<std::string>{"v001.zip", "v002.zip", "v003.zip", "v004.zip"}));
    // Never over an existing set.
    EXPECT_EQ(runCommand(cli + " zip span '" + dir.file("src.zip") + "' '" + dir.file("vol/v.zip") +
                             "' --volume-size 1000000", &out), 1) << out;
    EXPECT_EQ(runCommand(cli + " zip span '" + dir.file("src.zip") + "' x.zip --volume-size 100", &out), 2);

    EXPECT_EQ(runCommand(cli + " zip join '" + dir.file("vol/v002.zip") + "' '" + dir.file("j.zip") + "'", &out), 1);
    EXPECT_NE(out.find("disk 2"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(dir.file("j.zip")));
    ASSERT_EQ(runCommand(cli + " zip join '" + dir.file("vol/v004.zip") + "' '" + dir.file("j.4ql") + "'", &out), 0)
        << out;
    EXPECT_EQ(readFile(dir.file("j.4ql")), readFile(dir.file("src.zip")));
    if (have("unzip")) {
        EXPECT_EQ(runCommand("unzip -tq '" + dir.file("j.4ql") + "'", &out), 0) << out;
    }
    if (have("7z")) {
        EXPECT_EQ(runCommand("7z t '" + dir.file("j.4ql") + "'", &out), 0) << out;
    }
}

// Names without the UTF-8 flag: the unzip library must read them as the
// component lists them, so a listed name can be extracted by that name.
TEST_F(SpanInterop, ListedNamesExtractByTheSameName)
{
    const std::string utf8 = "Stra\xC3\x9F" "e.txt";
    ziptest::Member linuxName(utf8, "from a Linux zip"); // host 3, UTF-8 bytes, bit 11 clear
    ziptest::Member fatName("Stra\xE1" "e.dos", "from a DOS zip"); // host 0, CP437
    fatName.host = 0;
    ziptest::Member winName("caf\xE9.txt", "Windows-1252 bytes"); // host 3, not UTF-8
    writeFile(dir.file("names.zip"), ziptest::makeZip({linuxName, fatName, winName}));

    z.SetZipFileName(dir.file("names.zip"));
    ASSERT_EQ(z.GetCount(), 3);
    EXPECT_EQ(z.Entries[0].FileName, utf8);
    EXPECT_EQ(z.Entries[1].FileName, "Stra\xC3\x9F" "e.dos");
    EXPECT_EQ(z.Entries[2].FileName, "caf\xC3\xA9.txt");
    ::mkdir(dir.file("x").c_str(), 0700);
    for (const auto &e : std::vector<ZipDirEntry>(z.Entries)) {
        z.ExtrBaseDir = dir.file("x");
        z.ExtrOptions = {ExtrOverWrite};
        z.FSpecArgs = {e.FileName};
        z.Extract();
        EXPECT_EQ(z.ProcessedCount, 1) << e.FileName << ": " << last();
        EXPECT_TRUE(fileExists(dir.file("x/" + e.FileName))) << e.FileName;
    }

    // cpNone never converts: the DOS name stays as its bytes (not UTF-8, so
    // read as Windows-1252 by both).
    z.CodePage = cpNone;
    z.SetZipFileName(dir.file("names.zip"));
    ASSERT_EQ(z.GetCount(), 3);
    EXPECT_EQ(z.Entries[1].FileName, "Stra\xC3\xA1" "e.dos");
    z.ExtrBaseDir = dir.file("x");
    z.FSpecArgs = {z.Entries[1].FileName};
    z.Extract();
    EXPECT_EQ(z.ProcessedCount, 1) << last();

    // The real zip tool, when there is one.
    if (have("zip")) {
        ::mkdir(dir.file("z").c_str(), 0700);
        writeFile(dir.file("z/" + utf8), "made by zip");
        ASSERT_EQ(runCommand("cd '" + dir.file("z") + "' && LC_ALL=C.UTF-8 zip -q ../real.zip '" + utf8 + "'"), 0);
        z.CodePage = cpAUTO;
        z.SetZipFileName(dir.file("real.zip"));
        ASSERT_EQ(z.GetCount(), 1);
        EXPECT_EQ(z.Entries[0].FileName, utf8);
        ::mkdir(dir.file("y").c_str(), 0700);
        z.ExtrBaseDir = dir.file("y");
        z.FSpecArgs = {utf8};
        z.Extract();
        EXPECT_EQ(z.ProcessedCount, 1) << last();
        EXPECT_EQ(readFile(dir.file("y/" + utf8)), "made by zip");
    }
}

} // namespace

// Streamed archives: Info-ZIP's Zip64 end records for stdin input, and
// Python's data descriptors with 8-byte sizes; split and joined back byte
// for byte.
TEST_F(SpanInterop, StreamedArchivesSplitAndJoinBack)
{
    const std::string cli = kBin + "/quellon-cli";
    const std::string d = dir.path();
    std::string out;
    ASSERT_EQ(runCommand("cd '" + d + "' && head -c 200000 /dev/urandom | zip -q stdin.zip - && python3 -c \""
                         "import zipfile,sys,random\n"
                         "with zipfile.ZipFile(sys.stdout.buffer,'w',zipfile.ZIP_DEFLATED) as z:\n"
                         " for n in ('a','b'):\n"
                         "  with z.open(n,'w',force_zip64=True) as f: f.write(random.Random(n).randbytes(90000))\n"
                         "\" | cat >piped.zip", &out), 0) << out;
    for (const std::string name : {"stdin", "piped"}) {
        SCOPED_TRACE(name);
        const std::string vol = d + "/" + name;
        ::mkdir(vol.c_str(), 0700);
        ASSERT_EQ(runCommand(cli + " zip span '" + d + "/" + name + ".zip' '" + vol + "/v.zip' --volume-size 65536",
                             &out), 0) << out;
        const std::vector<std::string> names = namesIn(vol);
        ASSERT_GE(names.size(), 2u);
        ASSERT_EQ(runCommand(cli + " zip join '" + vol + "/" + names.back() + "' '" + d + "/" + name + "-j.zip'", &out),
                  0) << out;
        // The members come back byte for byte (Info-ZIP's Zip64 end records,
        // which only repeat what the end record holds, are not carried over).
        EXPECT_EQ(runCommand("python3 -c \"import zipfile\na=zipfile.ZipFile('" + d + "/" + name +
                                 ".zip')\nb=zipfile.ZipFile('" + d + "/" + name + "-j.zip')\n"
                                 "assert [a.read(n) for n in a.namelist()] == [b.read(n) for n in b.namelist()]\"",
                             &out),
                  0)
            << out;
        if (name == "piped") {
            EXPECT_TRUE(readFile(d + "/piped-j.zip") == readFile(d + "/piped.zip"));
        }
    }
}
