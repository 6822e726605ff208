// The component through the real libraries, against zip, unzip, 7z, bsdtar
// and Python's zipfile; unsafe and damaged archives.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

using namespace testsupport;

namespace {

const std::string kBin = QUELLON_BIN_DIR;
const std::string kData = std::string(QUELLON_SOURCE_DIR) + "/tests/data/zip/";

bool have(const std::string &tool) { return runCommand("command -v " + tool + " >/dev/null") == 0; }

// Every regular file below `root`, relative path -> contents.
void tree(const std::string &root, const std::string &rel, std::map<std::string, std::string> &out)
{
    DIR *d = opendir((rel.empty() ? root : root + "/" + rel).c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat st{};
        lstat((root + "/" + r).c_str(), &st);
        if (S_ISDIR(st.st_mode))
            tree(root, r, out);
        else
            out[r] = readFile(root + "/" + r);
    }
    closedir(d);
}

// Same names and same bytes; reports names and sizes only.
::testing::AssertionResult sameFiles(const std::map<std::string, std::string> &got,
                                     const std::map<std::string, std::string> &want)
{
    std::string diff;
    for (auto &[n, d] : want) {
        auto it = got.find(n);
        if (it == got.end())
            diff += " missing " + n + ";";
        else if (it->second != d)
            diff += " " + n + " differs (" + std::to_string(it->second.size()) + " vs " + std::to_string(d.size()) + " bytes);";
    }
    for (auto &[n, d] : got)
        if (!want.count(n))
            diff += " unexpected " + n + ";";
    if (diff.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff;
}

class ZipInterop : public ::testing::Test {
protected:
    TempDir dir;
    TZipBuilder z;
    std::vector<int> ids;
    std::vector<std::string> texts;
    int crcErrors = 0;
    std::vector<int> skips;

    void SetUp() override
    {
        z.Unattended = true;
        z.SetDLLDirectory(kBin);
        z.OnMessage = [this](TZipBuilder *zb, int, const std::string &t) {
            ids.push_back(zb->LastErrorCode);
            texts.push_back(t);
        };
        z.OnExtractSkipped = [this](TZipBuilder *, const std::string &, int type, int) { skips.push_back(type); };
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        cwd_ = cwd;
    }
    void TearDown() override
    {
        // Extract leaves the process in the extraction folder.
        EXPECT_EQ(chdir(cwd_.c_str()), 0);
    }
    std::map<std::string, std::string> extractAll(const std::string &archive, const std::string &out, bool dirNames,
                                                  const std::string &password = {})
    {
        mkdir(out.c_str(), 0755);
        z.SetZipFileName(archive);
        z.ExtrBaseDir = out;
        z.ExtrOptions = {ExtrOverWrite};
        if (dirNames)
            z.ExtrOptions.insert(ExtrDirNames);
        z.Password = password;
        z.FSpecArgs.clear();
        z.Extract();
        std::map<std::string, std::string> files;
        tree(out, "", files);
        return files;
    }

private:
    std::string cwd_;
};

} // namespace

TEST_F(ZipInterop, OurArchivesPassEveryPeerAndComeBackByteExact)
{
    mkdir(dir.file("in").c_str(), 0755);
    mkdir(dir.file("in/sub").c_str(), 0755);
    std::map<std::string, std::string> files = {
        {"zipInfo.4qi", std::string(1884, '\0') + "tail"},
        {"SAVF.tmp", randomBytes(300000, 7) + std::string(500000, 'A')},
        {"poster.zip", randomBytes(5000, 3)},
        {"empty.txt", ""},
    };
    for (auto &[n, d] : files)
        writeFile(dir.file("in/" + n), d);
    const std::string a = dir.file("our.zip");
    z.SetZipFileName(a);
    for (auto &[n, d] : files)
        z.FSpecArgs.push_back(dir.file("in/" + n));
    z.Add();
    EXPECT_EQ(z.ProcessedCount, 4) << (texts.empty() ? "" : texts.back());
    ASSERT_EQ(z.GetCount(), 4); // listed again after the add
    for (const auto &e : z.Entries) {
        ASSERT_TRUE(files.count(e.FileName)) << e.FileName;
        EXPECT_EQ(e.UncompressedSize, files[e.FileName].size());
        if (e.FileName == "poster.zip") {
            EXPECT_EQ(e.CompressionMethod, 0); // a stored suffix
        }
    }

    // An encrypted second archive, password per spec and globally.
    const std::string enc = dir.file("enc.zip");
    z.SetZipFileName(enc);
    z.Password = "s3cret";
    z.AddOptions = {AddEncrypt};
    z.AddEncryption = zeZipCrypto; // named: Info-ZIP reads nothing else
    z.FSpecArgs = {dir.file("in/SAVF.tmp"), dir.file("in/zipInfo.4qi") + "<other"};
    z.Add();
    EXPECT_EQ(z.ProcessedCount, 2);
    ASSERT_EQ(z.GetCount(), 2);
    EXPECT_TRUE(z.Entries[0].Encrypted && z.Entries[1].Encrypted);
    z.AddOptions = {};

    std::string out;
    EXPECT_EQ(runCommand("unzip -t " + a, &out), 0) << out;
    EXPECT_EQ(runCommand("unzip -t -P s3cret " + enc + " SAVF.tmp", &out), 0) << out;
    EXPECT_EQ(runCommand("unzip -t -P other " + enc + " zipInfo.4qi", &out), 0) << out;
    if (have("7z")) {
        EXPECT_EQ(runCommand("7z t " + a, &out), 0) << out;
    }
    if (have("bsdtar")) {
        EXPECT_EQ(runCommand("bsdtar -tf " + a, &out), 0) << out;
    }
    EXPECT_EQ(runCommand("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                         "assert z.testzip() is None; print(len(z.read('SAVF.tmp')))\" " + a, &out), 0) << out;
    EXPECT_EQ(out, "800000\n");
    EXPECT_EQ(runCommand("cd " + dir.path() + " && mkdir -p u && cd u && unzip -q ../our.zip", &out), 0) << out;
    for (auto &[n, d] : files)
        EXPECT_EQ(readFile(dir.file("u/" + n)), d) << n;

    EXPECT_TRUE(sameFiles(extractAll(a, dir.file("x1"), false), files));

    // The wizard's way to the info member: to a stream, and by name.
    z.SetZipFileName(a);
    TZipStream *s = z.ExtractFileToStream("zipinfo.4QI");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->View(), files["zipInfo.4qi"]);

    // Delete one, comment, and the peers still agree.
    z.FSpecArgs = {"poster.zip"};
    z.Delete();
    EXPECT_EQ(z.ProcessedCount, 1);
    EXPECT_EQ(z.GetCount(), 3);
    z.SetZipComment("Quellon save of MYLIB");
    EXPECT_EQ(runCommand("unzip -t " + a, &out), 0) << out;
    EXPECT_NE(out.find("Quellon save of MYLIB"), std::string::npos) << out;
}

TEST_F(ZipInterop, ArchivesMadeByZipListAndExtract)
{
    if (!have("zip"))
        GTEST_SKIP() << "zip not installed";
    const std::string d = dir.path();
    mkdir(dir.file("src").c_str(), 0755);
    mkdir(dir.file("src/dir").c_str(), 0755);
    const std::string big = randomBytes(200000, 9) + std::string(300000, 'z');
    writeFile(dir.file("src/a.txt"), "alpha\n");
    writeFile(dir.file("src/dir/b.bin"), big);
    std::string out;
    auto sh = [&](const std::string &cmd) {
        EXPECT_EQ(runCommand("cd " + d + "/src && " + cmd, &out), 0) << cmd << "\n" << out;
    };
    sh("zip -q -0 ../stored.zip a.txt dir/b.bin");
    sh("zip -q -9 ../deflated.zip a.txt dir/b.bin");
    sh("zip -q ../commented.zip a.txt && echo 'archive note' | zip -q -z ../commented.zip");
    sh("printf 'first\\nsecond\\n' | zip -q -c ../membercomments.zip a.txt dir/b.bin");
    sh("zip -q -r ../dirs.zip dir a.txt");
    sh("cat dir/b.bin | zip -q -fz- ../pipe.zip -");
    sh("cat dir/b.bin | zip -q ../pipe64.zip -"); // streamed: ZIP64 end records, 32-bit fields still valid
    sh("head -c 3000 /dev/urandom > ../stub && cat ../stub ../deflated.zip > ../stubbed.zip");
    sh("cp ../stubbed.zip ../adjusted.zip && zip -q -A ../adjusted.zip");
    // A one-volume set: the spanning marker in front of a whole archive.
    sh("printf 'PK\\007\\010' > ../marker.zip && cat ../deflated.zip >> ../marker.zip");

    struct Case {
        std::string file;
        std::map<std::string, std::string> expect;
        std::string password = {};
        int warning = 0;
    };
    const std::map<std::string, std::string> both = {{"a.txt", "alpha\n"}, {"dir/b.bin", big}};
    std::vector<Case> cases = {
        {"stored.zip", both},
        {"deflated.zip", both},
        {"commented.zip", {{"a.txt", "alpha\n"}}},
        {"membercomments.zip", both},
        {"dirs.zip", both},
        {"pipe.zip", {{"-", big}}},
        {"stubbed.zip", both, "", 10203},
        {"adjusted.zip", both},
        {"marker.zip", both, "", 10203},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        ids.clear();
        z.SetZipFileName(dir.file(c.file));
        ASSERT_EQ(z.ZipFileName(), dir.file(c.file));
        if (c.warning)
            EXPECT_EQ(ids, std::vector<int>{c.warning});
        else
            EXPECT_TRUE(ids.empty());
        ASSERT_EQ(static_cast<size_t>(z.GetCount()), c.expect.size());
        for (const auto &e : z.Entries) {
            ASSERT_TRUE(c.expect.count(e.FileName)) << e.FileName;
            EXPECT_EQ(e.UncompressedSize, c.expect.at(e.FileName).size());
            EXPECT_EQ(e.Encrypted, !c.password.empty());
        }
        auto got = extractAll(dir.file(c.file), dir.file("out-" + c.file), true, c.password);
        EXPECT_TRUE(sameFiles(got, c.expect));
        EXPECT_EQ(z.ProcessedCount, static_cast<int>(c.expect.size()));
    }
    z.SetZipFileName(dir.file("commented.zip"));
    EXPECT_EQ(z.ZipComment(), "archive note");
    ids.clear();
    z.SetZipFileName(dir.file("pipe64.zip"));
    EXPECT_TRUE(ids.empty());
    ASSERT_EQ(z.GetCount(), 1);
    EXPECT_EQ(z.Entries[0].FileName, "-");
    EXPECT_EQ(z.Entries[0].UncompressedSize, big.size());
    EXPECT_TRUE(sameFiles(extractAll(dir.file("pipe64.zip"), dir.file("out-pipe64"), false), {{"-", big}}));
    z.SetZipFileName(dir.file("membercomments.zip"));
    EXPECT_EQ(z.Entries[0].FileComment, "first");
    z.UseDirOnlyEntries = true;
    z.SetZipFileName(dir.file("dirs.zip"));
    EXPECT_EQ(z.GetCount(), 3);
    z.UseDirOnlyEntries = false;
    z.SetZipFileName(dir.file("stubbed.zip"));
    EXPECT_EQ(z.ArchiveDataOffset(), 3000);
    z.SetZipFileName(dir.file("adjusted.zip"));
    EXPECT_EQ(z.ArchiveDataOffset(), 3000);
    EXPECT_FALSE(z.Shifted());
    z.SetZipFileName(dir.file("marker.zip"));
    EXPECT_TRUE(z.Spanned());
    EXPECT_EQ(z.DiskNr(), 0);
}

TEST_F(ZipInterop, EncryptedMembersExtractWithThePassword)
{
    const std::string big = randomBytes(100000, 5) + std::string(100000, 'e');
    writeFile(dir.file("a.txt"), "alpha\n");
    writeFile(dir.file("b.bin"), big);
    std::string out;
    // Made by zip -P, and by us with a global and a per-spec password.
    ASSERT_EQ(runCommand("cd " + dir.path() + " && zip -q -P pw crypt.zip a.txt b.bin", &out), 0) << out;
    z.SetZipFileName(dir.file("ours.zip"));
    z.Password = "pw";
    z.AddOptions = {AddEncrypt};
    z.AddEncryption = zeZipCrypto;
    z.FSpecArgs = {dir.file("a.txt"), dir.file("b.bin") + "<other"};
    z.Add();
    ASSERT_EQ(z.ProcessedCount, 2);
    z.AddOptions = {};
    EXPECT_EQ(runCommand("unzip -t -P pw " + dir.file("ours.zip") + " a.txt", &out), 0) << out;
    EXPECT_EQ(runCommand("unzip -t -P other " + dir.file("ours.zip") + " b.bin", &out), 0) << out;

    const std::map<std::string, std::string> both = {{"a.txt", "alpha\n"}, {"b.bin", big}};
    EXPECT_TRUE(sameFiles(extractAll(dir.file("crypt.zip"), dir.file("o1"), false, "pw"), both));
    EXPECT_EQ(z.ProcessedCount, 2);
    // The member with its own password is skipped with the global one, and the
    // skip says why.
    skips.clear();
    auto got = extractAll(dir.file("ours.zip"), dir.file("o2"), false, "pw");
    EXPECT_TRUE(sameFiles(got, {{"a.txt", "alpha\n"}}));
    EXPECT_EQ(skips, std::vector<int>{3});
    // A wrong password never leaves a file behind.
    got = extractAll(dir.file("crypt.zip"), dir.file("o3"), false, "wrong");
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(z.ProcessedCount, 0);
}

TEST_F(ZipInterop, UnsafeNamesNeverLeaveTheExtractionFolder)
{
    // The extraction folder sits two levels down, so "../" would land in
    // folders this test can see.
    const std::string base = dir.file("l1/l2/out");
    ASSERT_EQ(runCommand("mkdir -p " + base), 0);
    for (const char *f : {"name-dotdot.zip", "name-absolute.zip", "name-drive-letter.zip", "name-backslash-dotdot.zip"}) {
        for (bool dirNames : {false, true}) {
            SCOPED_TRACE(std::string(f) + (dirNames ? " with dirnames" : ""));
            auto got = extractAll(kData + f, base, dirNames);
            std::map<std::string, std::string> all;
            tree(dir.path(), "", all);
            for (auto &[path, data] : all)
                EXPECT_EQ(path.rfind("l1/l2/out/", 0), 0u) << "written outside: " << path;
            EXPECT_FALSE(fileExists("/abs/escape.txt"));
            ASSERT_EQ(runCommand("rm -rf " + base + " && mkdir -p " + base), 0);
        }
    }
}

TEST_F(ZipInterop, DamagedArchivesAndCrcMismatchAreReported)
{
    // Every corpus file: listed or refused, extracted or refused, never a crash.
    std::ifstream in(kData + "EXPECTED");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string file = line.substr(0, line.find(' '));
        SCOPED_TRACE(file);
        const std::string out = dir.file("d-" + file);
        extractAll(kData + file, out, true);
        if (file == "local-offset-beyond-file.zip" || file == "overlapping-members.zip") {
            EXPECT_LT(z.ProcessedCount, 2);
            EXPECT_NE(z.LastErrorCode, 0);
        }
    }

    // One flipped byte in the stored data.
    std::string a = ziptest::makeZip({{"data.bin", std::string(1000, 'd')}});
    a[100] ^= 0x55;
    const std::string f = dir.file("crc.zip");
    writeFile(f, a);
    z.OnCRC32Error = [this](TZipBuilder *, const std::string &name, unsigned found, unsigned expected, bool &doExtract) {
        EXPECT_EQ(name, "data.bin");
        EXPECT_NE(found, expected);
        ++crcErrors;
        doExtract = false;
    };
    auto got = extractAll(f, dir.file("crc-out"), false);
    EXPECT_EQ(crcErrors, 1);
    EXPECT_EQ(z.ProcessedCount, 0);
    EXPECT_TRUE(got.empty());
    // Without a handler it is still reported and not counted as extracted.
    z.OnCRC32Error = nullptr;
    ids.clear();
    got = extractAll(f, dir.file("crc-out2"), false);
    EXPECT_EQ(z.ProcessedCount, 0);
    EXPECT_NE(z.LastErrorCode, 0);
    // Testing finds it too.
    z.SetZipFileName(f);
    z.ExtrOptions = {ExtrTest};
    z.Extract();
    EXPECT_EQ(z.ProcessedCount, 0);
}
