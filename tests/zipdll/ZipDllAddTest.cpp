// Archives written by libzipdll.so must open in every common zip tool,
// byte-exact, and must never replace a good archive with a bad one.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using zt::Add;

namespace {

// Text and binary that compress unevenly, larger than one parallel block.
std::string mixedData(size_t n, uint32_t seed)
{
    std::string text;
    while (text.size() < n) {
        text += "CRTSAVF FILE(QTEMP/SAVF) TEXT('record " + std::to_string(text.size()) + "') ";
        text += randomBytes(97, seed + static_cast<uint32_t>(text.size()));
    }
    text.resize(n);
    return text;
}

std::vector<std::string> listFolder(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Python's zipfile: every member's bytes equal the file's, flags as expected.
void expectPythonReads(const std::string &archive, const std::vector<std::pair<std::string, std::string>> &members,
                       const std::string &password = "")
{
    std::string code = "import zipfile,sys\nz=zipfile.ZipFile(sys.argv[0] if False else '" + archive + "')\n";
    if (!password.empty())
        code += "z.setpassword(b'" + password + "')\n";
    if (password.empty())
        code += "assert z.testzip() is None\n";
    for (const auto &[name, path] : members)
        code += "assert z.read('" + name + "') == open('" + path + "','rb').read(), '" + name + "'\n";
    std::string out;
    EXPECT_EQ(zt::python(code, &out), 0) << out;
}

class ZipDllAdd : public ::testing::Test {
protected:
    TempDir tmp;
    std::string zip = tmp.file("out.zip");
    std::string f(const std::string &name) { return tmp.file(name); }
};

} // namespace

TEST(ZipDllEntryPoints, VersionsAre160)
{
    EXPECT_EQ(zt::libraryVersion(ZIPDLL_LIBRARY_NAME, ZIPDLL_VERSION_NAME), 160);
    EXPECT_EQ(zt::libraryVersion(UNZDLL_LIBRARY_NAME, UNZDLL_VERSION_NAME), 160);
}

TEST_F(ZipDllAdd, ArchiveOpensInAllToolsByteExact)
{
    writeFile(f("text.txt"), mixedData(3 * 1024 * 1024 + 17, 1)); // several parallel blocks
    writeFile(f("random.bin"), randomBytes(200000, 2));              // incompressible: stored
    writeFile(f("empty.dat"), "");
    writeFile(f("pic.gif"), std::string(5000, 'G'));                 // stored by suffix
    writeFile(f("Ærø.txt"), "not ascii\n");
    Add a(zip);
    a.spec(f("text.txt")).spec(f("random.bin")).spec(f("empty.dat")).spec(f("pic.gif")).spec(f("Ærø.txt"));
    ASSERT_EQ(a.run(), 5) << a.calls.messages();

    std::string out;
    EXPECT_EQ(runCommand("unzip -t " + zip, &out), 0) << out;
    if (zt::haveTool("7z")) {
        EXPECT_EQ(runCommand("7z t " + zip, &out), 0) << out;
    }
    if (zt::haveTool("bsdtar")) {
        EXPECT_EQ(runCommand("bsdtar -tf " + zip, &out), 0) << out;
    }
    expectPythonReads(zip, {{"text.txt", f("text.txt")}, {"random.bin", f("random.bin")},
                            {"empty.dat", f("empty.dat")}, {"pic.gif", f("pic.gif")}, {"Ærø.txt", f("Ærø.txt")}});
    // Methods: deflate for text, store for noise, the empty file and .gif;
    // the non-ASCII name carries the UTF-8 flag.
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\n"
                         "m={i.filename:(i.compress_type,i.flag_bits) for i in z.infolist()}\n"
                         "assert m['text.txt'][0]==8 and m['random.bin'][0]==0 and m['empty.dat'][0]==0\n"
                         "assert m['pic.gif'][0]==0 and m['Ærø.txt'][1] & 0x800 and not m['text.txt'][1] & 0x800\n",
                         &out),
              0)
        << out;

    // Progress: count and total first, one start per file, bytes add up.
    const auto &log = a.calls.log;
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(a.calls.count(zacFileCount), 1);
    EXPECT_EQ(a.calls.count(zacFileStart), 5);
    EXPECT_EQ(a.calls.count(zacBatchEnd), 1);
    EXPECT_EQ(log.back().ActionCode, zacBatchEnd);
    uint64_t total = 0, done = 0;
    for (const auto &r : log) {
        if (r.ActionCode == zacTotalBytes)
            total = r.FileSize;
        if (r.ActionCode == zacBytesDone)
            done += r.FileSize;
        EXPECT_EQ(r.Caller, &a.calls);
        EXPECT_EQ(r.IsZip, 1);
    }
    EXPECT_EQ(total, 3u * 1024 * 1024 + 17 + 200000 + 5000 + 10);
    EXPECT_EQ(done, total);
}

TEST_F(ZipDllAdd, LevelZeroStoresEverything)
{
    writeFile(f("a.txt"), std::string(100000, 'a'));
    Add a(zip);
    a.p.Level = 0;
    a.spec(f("a.txt"));
    ASSERT_EQ(a.run(), 1);
    std::string out;
    EXPECT_EQ(zt::python("import zipfile\ni=zipfile.ZipFile('" + zip + "').getinfo('a.txt')\n"
                         "assert i.compress_type==0 and i.compress_size==100000\n",
                         &out),
              0)
        << out;
}

TEST_F(ZipDllAdd, EncryptedWithGlobalAndPerSpecPasswords)
{
    writeFile(f("g.txt"), mixedData(1500000, 3));
    writeFile(f("s.txt"), "per-spec secret\n");
    writeFile(f("plain.txt"), "not encrypted\n");
    std::string globalPw = "Glob4l-pw";
    Add a(zip);
    a.p.EncryptMethod = zemZipCrypto; // the old cipher, for Info-ZIP and Python
    a.p.Password = globalPw.data();
    a.spec(f("g.txt"), false, nullptr, true).spec(f("s.txt"), false, "sp3c").spec(f("plain.txt"));
    ASSERT_EQ(a.run(), 3) << a.calls.messages();

    std::string out;
    EXPECT_EQ(runCommand("unzip -t -P Glob4l-pw " + zip + " g.txt plain.txt", &out), 0) << out;
    EXPECT_EQ(runCommand("unzip -t -P sp3c " + zip + " s.txt", &out), 0) << out;
    EXPECT_NE(runCommand("unzip -t -P wrong " + zip + " g.txt", &out), 0) << out;
    if (zt::haveTool("7z")) {
        EXPECT_EQ(runCommand("7z t -pGlob4l-pw " + zip + " g.txt", &out), 0) << out;
    }
    if (zt::haveTool("bsdtar")) {
        EXPECT_EQ(runCommand("bsdtar -xOf " + zip + " --passphrase sp3c s.txt", &out), 0) << out;
    }
    expectPythonReads(zip, {{"g.txt", f("g.txt")}, {"plain.txt", f("plain.txt")}}, globalPw);
    expectPythonReads(zip, {{"s.txt", f("s.txt")}}, "sp3c");
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\n"
                         "assert z.getinfo('g.txt').flag_bits & 1 and z.getinfo('s.txt').flag_bits & 1\n"
                         "assert not z.getinfo('plain.txt').flag_bits & 1\n",
                         &out),
              0)
        << out;
}

TEST_F(ZipDllAdd, EncryptionWithoutPasswordAsksOnceThenRefuses)
{
    writeFile(f("a.txt"), "a");
    writeFile(f("b.txt"), "b");
    Add a(zip);
    a.spec(f("a.txt"), false, nullptr, true).spec(f("b.txt"), false, nullptr, true);
    int asked = 0;
    a.calls.hook = [&](ZCallBackStruct &r) {
        if (r.ActionCode == zacPassword) {
            ++asked;
            EXPECT_EQ(r.ErrorCode & 1, 1); // asking for an add password
            r.ErrorCode = 0;                // user gave none
        }
        return 0;
    };
    EXPECT_EQ(a.run(), 0);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(a.calls.hasError(zdePassword));
    EXPECT_FALSE(fileExists(zip)) << "nothing must be stored unencrypted";

    Add b(zip);
    b.p.EncryptMethod = zemZipCrypto;
    b.spec(f("a.txt"), false, nullptr, true);
    b.calls.hook = [&](ZCallBackStruct &r) {
        if (r.ActionCode == zacPassword) {
            std::strcpy(r.Text, "typed");
            r.ErrorCode = 1;
        }
        return 0;
    };
    EXPECT_EQ(b.run(), 1);
    std::string out;
    EXPECT_EQ(runCommand("unzip -t -P typed " + zip, &out), 0) << out;
}

TEST_F(ZipDllAdd, RecursionDirectoryNamesHiddenFilesAndExclusions)
{
    ::mkdir(f("root").c_str(), 0755);
    ::mkdir(f("root/sub").c_str(), 0755);
    writeFile(f("root/a.txt"), "a");
    writeFile(f("root/b.log"), "b");
    writeFile(f("root/.hidden.txt"), "h");
    writeFile(f("root/sub/c.txt"), "c");
    std::string rootDir = f("root");
    auto names = [&]() {
        std::string out;
        zt::python("import zipfile\nprint(sorted(zipfile.ZipFile('" + zip + "').namelist()))", &out);
        return out;
    };

    Add a(zip);
    a.p.JunkDirNames = 0;
    a.p.NoDirEntries = 0;
    a.spec(rootDir + "/*.txt", true).exclude("*.log");
    ASSERT_EQ(a.run(), 2) << a.calls.messages();
    // Without a root folder the names keep their full (relative) path.
    EXPECT_NE(names().find("root/sub/c.txt"), std::string::npos) << names();
    EXPECT_NE(names().find("root/sub/'"), std::string::npos) << names();
    EXPECT_EQ(names().find(".hidden"), std::string::npos) << names();
    std::string out;
    EXPECT_EQ(runCommand("unzip -t " + zip, &out), 0) << out;

    ::unlink(zip.c_str());
    Add b(zip);
    b.p.HiddenFiles = 1;
    b.spec(rootDir + "/*", false).exclude("b.*");
    ASSERT_EQ(b.run(), 2) << b.calls.messages(); // a.txt, .hidden.txt; no recursion, b.log excluded
    EXPECT_EQ(names(), "['.hidden.txt', 'a.txt']\n");
}

TEST_F(ZipDllAdd, RootDirMakesNamesRelative)
{
    ::mkdir(f("base").c_str(), 0755);
    ::mkdir(f("base/d").c_str(), 0755);
    writeFile(f("base/d/x.txt"), "x");
    Add a(zip);
    a.p.JunkDirNames = 0;
    a.root(f("base")).spec("d/x.txt");
    ASSERT_EQ(a.run(), 1) << a.calls.messages();
    std::string out;
    zt::python("import zipfile\nprint(zipfile.ZipFile('" + zip + "').namelist())", &out);
    EXPECT_EQ(out, "['d/x.txt']\n");
}

TEST_F(ZipDllAdd, ReplaceFreshenUpdateAndKeepOtherMembers)
{
    writeFile(f("a.txt"), "old a");
    writeFile(f("b.txt"), "old b");
    zt::setMtime(f("a.txt"), -3600);
    zt::setMtime(f("b.txt"), -3600);
    {
        Add a(zip);
        a.spec(f("a.txt")).spec(f("b.txt"));
        ASSERT_EQ(a.run(), 2);
    }
    writeFile(f("a.txt"), "new a");
    writeFile(f("c.txt"), "new c");
    zt::setMtime(f("b.txt"), -7200); // older than the member

    Add fresh(zip);
    fresh.p.Freshen = 1;
    fresh.spec(f("a.txt")).spec(f("b.txt")).spec(f("c.txt"));
    EXPECT_EQ(fresh.run(), 1); // only a.txt: newer and already there
    std::string out;
    zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\nprint(z.namelist(), z.read('a.txt'), z.read('b.txt'))",
               &out);
    EXPECT_EQ(out, "['a.txt', 'b.txt'] b'new a' b'old b'\n");

    Add upd(zip);
    upd.p.Update = 1;
    upd.spec(f("a.txt")).spec(f("b.txt")).spec(f("c.txt"));
    EXPECT_EQ(upd.run(), 1); // only c.txt is new; a.txt is no newer now
    zt::python("import zipfile\nprint(zipfile.ZipFile('" + zip + "').namelist())", &out);
    EXPECT_EQ(out, "['a.txt', 'b.txt', 'c.txt']\n");

    Add plain(zip);
    plain.spec(f("b.txt"));
    EXPECT_EQ(plain.run(), 1); // no freshen/update: replaced regardless of age
    EXPECT_EQ(runCommand("unzip -t " + zip, &out), 0) << out;
}

TEST_F(ZipDllAdd, MoveDeletesSourcesOnlyAfterSuccess)
{
    writeFile(f("m.txt"), "move me");
    Add a(zip);
    a.p.Move = 1;
    a.spec(f("m.txt"));
    ASSERT_EQ(a.run(), 1);
    EXPECT_FALSE(fileExists(f("m.txt")));
    std::string out;
    EXPECT_EQ(runCommand("unzip -p " + zip + " m.txt", &out), 0);
    EXPECT_EQ(out, "move me");

    // A cancelled move keeps the source.
    writeFile(f("n.txt"), "stay");
    Add b(zip);
    b.p.Move = 1;
    b.spec(f("n.txt"));
    b.calls.hook = [](ZCallBackStruct &r) { return r.ActionCode == zacFileStart ? 1 : 0; };
    EXPECT_EQ(b.run(), 0);
    EXPECT_TRUE(fileExists(f("n.txt")));
}

TEST_F(ZipDllAdd, StopLeavesArchiveUntouchedAndNoTempFile)
{
    writeFile(f("a.txt"), "first");
    {
        Add a(zip);
        a.spec(f("a.txt"));
        ASSERT_EQ(a.run(), 1);
    }
    const std::string before = readFile(zip);
    writeFile(f("big.txt"), mixedData(2500000, 9));
    Add b(zip);
    b.spec(f("big.txt"));
    b.calls.hook = [](ZCallBackStruct &r) { return r.ActionCode == zacBytesDone ? 1 : 0; };
    EXPECT_EQ(b.run(), 0);
    EXPECT_TRUE(b.calls.hasError(zdeAborted));
    EXPECT_EQ(readFile(zip), before);
    EXPECT_EQ(listFolder(tmp.path()), (std::vector<std::string>{"a.txt", "big.txt", "out.zip"}));
}

TEST_F(ZipDllAdd, TempDirElsewhereAndCommentKept)
{
    TempDir other;
    writeFile(f("a.txt"), "a");
    std::string comment = "Quellon archive comment";
    Add a(zip);
    a.p.TempDir = const_cast<char *>(other.path().c_str());
    a.p.Comment = comment.data();
    a.spec(f("a.txt"));
    ASSERT_EQ(a.run(), 1);
    EXPECT_TRUE(listFolder(other.path()).empty());

    writeFile(f("b.txt"), "b");
    Add b(zip); // no comment handed in: the archive's own is kept
    b.spec(f("b.txt"));
    ASSERT_EQ(b.run(), 1);
    std::string out;
    zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\nprint(z.comment.decode(), z.namelist())", &out);
    EXPECT_EQ(out, "Quellon archive comment ['a.txt', 'b.txt']\n");
}

TEST_F(ZipDllAdd, DeleteRemovesMatchingMembers)
{
    writeFile(f("a.txt"), "a");
    writeFile(f("b.txt"), "b");
    writeFile(f("c.bin"), "c");
    {
        Add a(zip);
        a.spec(f("a.txt")).spec(f("b.txt")).spec(f("c.bin"));
        ASSERT_EQ(a.run(), 3);
    }
    Add d(zip);
    d.p.DeleteEntries = 1;
    d.spec("*.TXT"); // matched without regard to case, like the Windows DLL
    EXPECT_EQ(d.run(), 2);
    std::string out;
    zt::python("import zipfile\nprint(zipfile.ZipFile('" + zip + "').namelist())", &out);
    EXPECT_EQ(out, "['c.bin']\n");
    EXPECT_EQ(runCommand("unzip -t " + zip, &out), 0) << out;

    Add none(zip);
    none.p.DeleteEntries = 1;
    none.spec("nothing");
    EXPECT_EQ(none.run(), 0);
    EXPECT_TRUE(none.calls.hasError(zdeNothing));
}

TEST_F(ZipDllAdd, DamagedArchiveIsNotReplaced)
{
    writeFile(zip, "PK\x03\x04 this is not really an archive");
    writeFile(f("a.txt"), "a");
    Add a(zip);
    a.spec(f("a.txt"));
    EXPECT_EQ(a.run(), 0);
    EXPECT_TRUE(a.calls.hasError(zdeFormat));
    EXPECT_EQ(readFile(zip), "PK\x03\x04 this is not really an archive");
}

TEST_F(ZipDllAdd, RecordWithoutMarkIsRefused)
{
    writeFile(f("a.txt"), "a");
    Add a(zip);
    a.p.Seven = 0;
    a.spec(f("a.txt"));
    EXPECT_EQ(a.run(), 0);
    EXPECT_TRUE(a.calls.hasError(zdeParams));
    EXPECT_FALSE(fileExists(zip));
}

TEST_F(ZipDllAdd, NewNameAndFileCommentCallbacks)
{
    writeFile(f("a.txt"), "a");
    Add a(zip);
    a.spec(f("a.txt"));
    a.calls.hook = [](ZCallBackStruct &r) {
        if (r.ActionCode == zacNewName) {
            std::strcpy(r.Text, "renamed\\inside.txt");
            r.ErrorCode = 1;
        }
        if (r.ActionCode == zacFileComment) {
            EXPECT_STREQ(r.Text, "renamed/inside.txt");
            std::strcpy(r.Text, "member note");
            r.ErrorCode = 1;
            r.FileSize = 11;
        }
        return 0;
    };
    ASSERT_EQ(a.run(), 1);
    std::string out;
    zt::python("import zipfile\ni=zipfile.ZipFile('" + zip + "').infolist()[0]\nprint(i.filename, i.comment)", &out);
    EXPECT_EQ(out, "renamed/inside.txt b'member note'\n");

    // Replacing the member offers its current comment; unchanged, it stays.
    Add b(zip);
    b.spec(f("a.txt"));
    std::string offered;
    b.calls.hook = [&](ZCallBackStruct &r) {
        if (r.ActionCode == zacNewName) {
            std::strcpy(r.Text, "renamed/inside.txt");
            r.ErrorCode = 1;
        }
        if (r.ActionCode == zacFileComment)
            offered = r.Text + ZCB_COMMENT_OFFSET;
        return 0;
    };
    ASSERT_EQ(b.run(), 1);
    EXPECT_EQ(offered, "member note");
    zt::python("import zipfile\ni=zipfile.ZipFile('" + zip + "').infolist()[0]\nprint(i.filename, i.comment)", &out);
    EXPECT_EQ(out, "renamed/inside.txt b'member note'\n");
}
