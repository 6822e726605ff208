// libunzdll.so against archives made by Info-ZIP zip, against its own
// archives, and against hostile or damaged ones.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using zt::Add;
using zt::Extract;

namespace {

class ZipDllExtract : public ::testing::Test {
protected:
    TempDir tmp;
    std::string src = tmp.file("src");
    std::string out = tmp.file("out");
    std::string zip = tmp.file("t.zip");
    void SetUp() override
    {
        ::mkdir(src.c_str(), 0755);
        ::mkdir(out.c_str(), 0755);
    }
    // Runs zip inside the source folder.
    void infoZip(const std::string &args)
    {
        std::string o;
        ASSERT_EQ(runCommand("cd " + src + " && " + args, &o), 0) << args << "\n" << o;
    }
    std::string outFile(const std::string &name) { return readFile(out + "/" + name); }
};

std::string text(size_t n, uint32_t seed)
{
    std::string s;
    while (s.size() < n)
        s += "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF) " + std::to_string(s.size() * seed) + "\n";
    s.resize(n);
    return s;
}

} // namespace

TEST_F(ZipDllExtract, InfoZipArchivesExtractByteExact)
{
    writeFile(src + "/plain.txt", text(300000, 1));
    writeFile(src + "/noise.bin", randomBytes(70000, 5));
    ::mkdir((src + "/dir").c_str(), 0755);
    ::mkdir((src + "/dir/empty").c_str(), 0755);
    writeFile(src + "/dir/inner.txt", text(5000, 2));

    struct Case {
        const char *label;
        const char *cmd;
        const char *password;
    } cases[] = {
        {"stored", "zip -q -0 -r ../t.zip .", nullptr},
        {"deflated, directory entries", "zip -q -9 -r ../t.zip .", nullptr},
        {"encrypted", "zip -q -r -P s3cret ../t.zip .", "s3cret"},
        {"archive comment", "zip -q -r ../t.zip . && echo 'the comment' | zip -q -z ../t.zip", nullptr},
        {"member comments", "zip -q -r ../t.zip . && printf 'c1\\nc2\\nc3\\nc4\\nc5\\n' | zip -q -c ../t.zip", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ::unlink(zip.c_str());
        infoZip(c.cmd);
        TempDir dest;
        Extract x(zip, dest.path());
        x.p.DirNames = 1;
        std::string pw = c.password ? c.password : "";
        x.p.Password = pw.data();
        EXPECT_EQ(x.run(), 3) << x.calls.messages();
        EXPECT_EQ(readFile(dest.file("plain.txt")), readFile(src + "/plain.txt"));
        EXPECT_EQ(readFile(dest.file("noise.bin")), readFile(src + "/noise.bin"));
        EXPECT_EQ(readFile(dest.file("dir/inner.txt")), readFile(src + "/dir/inner.txt"));
        struct stat st{};
        EXPECT_EQ(::stat(dest.file("dir/empty").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
}

TEST_F(ZipDllExtract, StreamedStubbedAndAdjustedArchives)
{
    const std::string data = text(200000, 3);
    writeFile(src + "/in.txt", data);
    // From a pipe: data descriptors and Zip64 end records.
    infoZip("zip -q ../t.zip - < in.txt");
    Extract x(zip, out);
    EXPECT_EQ(x.run(), 1) << x.calls.messages();
    EXPECT_EQ(outFile("-"), data);

    // A stub in front, offsets not adjusted, then adjusted with zip -A.
    ::unlink(zip.c_str());
    infoZip("zip -q ../plain.zip in.txt && (head -c 3000 /dev/zero; cat ../plain.zip) > ../t.zip");
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass ? "zip -A adjusted" : "stub, offsets not adjusted");
        if (pass)
            infoZip("zip -q -A ../t.zip");
        TempDir dest;
        Extract s(zip, dest.path());
        EXPECT_EQ(s.run(), 1) << s.calls.messages();
        EXPECT_EQ(readFile(dest.file("in.txt")), data);
    }
}

TEST_F(ZipDllExtract, OwnArchivesRoundTripWithPasswordAsked)
{
    writeFile(src + "/a.txt", text(1200000, 4));
    writeFile(src + "/b.bin", randomBytes(100000, 6));
    std::string pw = "pw";
    Add a(zip);
    a.p.Password = pw.data();
    a.spec(src + "/a.txt", false, nullptr, true).spec(src + "/b.bin", false, nullptr, true);
    ASSERT_EQ(a.run(), 2) << a.calls.messages();

    Extract x(zip, out);
    x.p.PasswordReqCount = 3;
    int asked = 0;
    x.calls.hook = [&](ZCallBackStruct &r) {
        if (r.ActionCode == zacPassword) {
            ++asked;
            EXPECT_EQ(r.ErrorCode & 1, 0); // extract password
            std::strcpy(r.Text, asked == 1 ? "wrong" : "pw");
            r.ErrorCode = 1;
        }
        return 0;
    };
    EXPECT_EQ(x.run(), 2) << x.calls.messages();
    EXPECT_EQ(asked, 2); // the good password is then used for the next member
    EXPECT_EQ(outFile("a.txt"), readFile(src + "/a.txt"));
    EXPECT_EQ(outFile("b.bin"), readFile(src + "/b.bin"));

    // No password available: skipped as a bad password, nothing written.
    TempDir dest;
    Extract none(zip, dest.path());
    none.p.PasswordReqCount = 0;
    EXPECT_EQ(none.run(), 0);
    EXPECT_TRUE(none.calls.hasError(zdePassword));
    EXPECT_FALSE(fileExists(dest.file("a.txt")));
}

TEST_F(ZipDllExtract, OverwriteFreshenUpdateAndDirNames)
{
    ::mkdir((src + "/d").c_str(), 0755);
    writeFile(src + "/d/f.txt", "archived");
    writeFile(src + "/g.txt", "archived g");
    infoZip("zip -q -r ../t.zip d g.txt");

    writeFile(out + "/f.txt", "existing");
    zt::setMtime(out + "/f.txt", -86400); // older than the member

    // Overwrite off: the caller is asked; "no" keeps the file.
    Extract ask(zip, out);
    int asked = 0;
    ask.calls.hook = [&](ZCallBackStruct &r) {
        if (r.ActionCode == zacOverwrite) {
            ++asked;
            EXPECT_EQ(r.ErrorCode, 1); // the existing file is older
            r.FileSize = 0;
        }
        return 0;
    };
    EXPECT_EQ(ask.run(), 1); // g.txt only; d/f.txt flattened to f.txt and kept
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(outFile("f.txt"), "existing");
    EXPECT_EQ(outFile("g.txt"), "archived g");
    EXPECT_FALSE(fileExists(out + "/d"));

    // Freshen: only files that exist and are older.
    ::unlink((out + "/g.txt").c_str());
    Extract fresh(zip, out);
    fresh.p.Freshen = 1;
    EXPECT_EQ(fresh.run(), 1);
    EXPECT_EQ(outFile("f.txt"), "archived");
    EXPECT_FALSE(fileExists(out + "/g.txt"));

    // Update: new files too, but not over a newer file.
    writeFile(out + "/f.txt", "newer local");
    zt::setMtime(out + "/f.txt", 3600);
    Extract upd(zip, out);
    upd.p.Update = 1;
    EXPECT_EQ(upd.run(), 1);
    EXPECT_EQ(outFile("f.txt"), "newer local");
    EXPECT_EQ(outFile("g.txt"), "archived g");

    // Overwrite on, with folder names.
    Extract all(zip, out);
    all.p.Overwrite = 1;
    all.p.DirNames = 1;
    EXPECT_EQ(all.run(), 2);
    EXPECT_EQ(outFile("d/f.txt"), "archived");
}

TEST_F(ZipDllExtract, TestModeAndSpecsAndMemory)
{
    writeFile(src + "/one.txt", text(100000, 7));
    writeFile(src + "/two.txt", "two");
    infoZip("zip -q ../t.zip one.txt two.txt");

    Extract t(zip, out);
    t.p.Test = 1;
    EXPECT_EQ(t.run(), 2);
    EXPECT_FALSE(fileExists(out + "/one.txt"));

    Extract one(zip, out);
    one.spec("ONE.TXT"); // case does not matter, as for the component's lookup
    EXPECT_EQ(one.run(), 1);
    EXPECT_TRUE(fileExists(out + "/one.txt"));
    EXPECT_FALSE(fileExists(out + "/two.txt"));

    std::string buf(100000, '\0');
    Extract mem(zip, "");
    mem.spec("one.txt");
    mem.p.ExtractToMemory = 1;
    mem.p.MemBuffer = buf.data();
    mem.p.MemSize = static_cast<uint32_t>(buf.size());
    EXPECT_EQ(mem.run(), 1) << mem.calls.messages();
    EXPECT_EQ(buf, readFile(src + "/one.txt"));

    std::string small(10, '\0');
    Extract tooSmall(zip, "");
    tooSmall.spec("one.txt");
    tooSmall.p.ExtractToMemory = 1;
    tooSmall.p.MemBuffer = small.data();
    tooSmall.p.MemSize = 10;
    EXPECT_EQ(tooSmall.run(), 0);
    EXPECT_TRUE(tooSmall.calls.hasError(zdeTooLarge));

    // An empty member needs no buffer at all.
    writeFile(zip, zt::makeStoredZip({{"empty", ""}}));
    Extract empty(zip, "");
    empty.p.ExtractToMemory = 1;
    EXPECT_EQ(empty.run(), 1) << empty.calls.messages();
}

TEST_F(ZipDllExtract, CrcMismatchIsReportedNeverPassedAsGood)
{
    std::string data = text(4000, 8);
    std::string z = zt::makeStoredZip({{"c.txt", data}});
    z[30 + 5 + 100] ^= 0x20; // one data byte
    writeFile(zip, z);

    for (int answer : {zcaNoHandler, zcaDiscard, zcaKeep}) {
        SCOPED_TRACE(answer);
        TempDir dest;
        Extract x(zip, dest.path());
        int crcCalls = 0;
        x.calls.hook = [&](ZCallBackStruct &r) {
            if (r.ActionCode == zacCrcError) {
                ++crcCalls;
                EXPECT_NE(static_cast<uint32_t>(r.ErrorCode), r.FileSize); // found vs expected
                r.ErrorCode = answer;
            }
            return 0;
        };
        EXPECT_EQ(x.run(), 0);
        EXPECT_EQ(crcCalls, 1);
        EXPECT_TRUE(x.calls.hasError(zdeCrc));
        // Kept only when the caller asks for it; never under the name
        // silently.
        EXPECT_EQ(fileExists(dest.file("c.txt")), answer == zcaKeep);
    }
    Extract t(zip, out);
    t.p.Test = 1;
    EXPECT_EQ(t.run(), 0);
    EXPECT_TRUE(t.calls.hasError(zdeCrc));
}

TEST_F(ZipDllExtract, NamesNeverLeaveTheExtractionFolder)
{
    TempDir outer;
    const std::string base = outer.file("base");
    ::mkdir(base.c_str(), 0755);
    // A symlink planted in the target folder, pointing outside it.
    ASSERT_EQ(::symlink(outer.path().c_str(), (base + "/link").c_str()), 0);
    writeFile(zip, zt::makeStoredZip({{"../evil1", "x"},
                                      {"a/../../evil2", "x"},
                                      {"..\\evil3", "x"},
                                      {"/abs/ok1", "1"},
                                      {"C:\\win\\ok2", "2"},
                                      {"C:/drive/ok3", "3"},
                                      {"link/evil4", "x"},
                                      {"fine/ok4", "4"}}));
    for (int dirNames : {1, 0}) {
        SCOPED_TRACE(dirNames);
        Extract x(zip, base);
        x.p.DirNames = dirNames;
        x.p.Overwrite = 1;
        int32_t n = x.run();
        EXPECT_TRUE(x.calls.hasError(zdeUnsafe)) << x.calls.messages();
        for (const char *evil : {"evil1", "evil2", "evil3", "evil4", "base/evil1", "base/evil3"})
            EXPECT_FALSE(fileExists(outer.file(evil))) << evil;
        if (dirNames) {
            EXPECT_EQ(n, 4) << x.calls.messages(); // ok1..ok4; evil4 refused by the symlink
            EXPECT_EQ(readFile(base + "/abs/ok1"), "1");
            EXPECT_EQ(readFile(base + "/win/ok2"), "2");
            EXPECT_EQ(readFile(base + "/drive/ok3"), "3");
            EXPECT_EQ(readFile(base + "/fine/ok4"), "4");
        } else {
            EXPECT_EQ(readFile(base + "/ok1"), "1");
            EXPECT_EQ(readFile(base + "/ok4"), "4");
            EXPECT_EQ(readFile(base + "/evil4"), "x"); // flattened: harmless inside
        }
    }
}

TEST_F(ZipDllExtract, DamagedArchivesGiveErrorsNotCrashes)
{
    writeFile(src + "/a.txt", text(20000, 9));
    writeFile(src + "/b.txt", text(3000, 10));
    infoZip("zip -q -9 ../good.zip a.txt b.txt");
    const std::string good = readFile(tmp.file("good.zip"));

    auto tryArchive = [&](const std::string &bytes) {
        writeFile(zip, bytes);
        TempDir dest;
        Extract x(zip, dest.path());
        x.p.Overwrite = 1;
        int32_t n = x.run();
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 2);
        if (n < 2) { // every shortfall is explained
            EXPECT_FALSE(x.calls.messages().empty());
        }
        return n;
    };
    // Every truncation.
    for (size_t len = 0; len < good.size(); len += 13)
        tryArchive(good.substr(0, len));
    // Byte flips across headers and data (deterministic).
    uint32_t seed = 12345;
    for (int i = 0; i < 200; ++i) {
        std::string bad = good;
        seed = seed * 1103515245u + 12345u;
        size_t at = (seed >> 8) % bad.size();
        bad[at] = static_cast<char>(bad[at] ^ (1 + (seed & 0x7F)));
        tryArchive(bad);
    }

    // Two directory entries sharing one local header (overlap bomb).
    std::string one = zt::makeStoredZip({{"x", std::string(1000, 'x')}});
    const size_t cdAt = 30 + 1 + 1000, cdLen = 46 + 1;
    std::string bomb = one.substr(0, cdAt) + one.substr(cdAt, cdLen) + one.substr(cdAt, cdLen);
    std::string end = one.substr(cdAt + cdLen);
    end[8] = end[10] = 2;      // entries
    end[12] = static_cast<char>(2 * cdLen); // directory size
    EXPECT_EQ(tryArchive(bomb + end), 0);

    // An end record claiming 65535 entries in a tiny directory.
    std::string liar = one;
    liar[liar.size() - 22 + 8] = liar[liar.size() - 22 + 10] = '\xff';
    liar[liar.size() - 22 + 9] = liar[liar.size() - 22 + 11] = '\xff';
    EXPECT_EQ(tryArchive(liar), 0);

    // The directory holds two members, the end record counts one: refused,
    // not tested one short.
    std::string two = zt::makeStoredZip({{"a", "first"}, {"b", "second"}});
    std::string fewer = two;
    fewer[fewer.size() - 22 + 8] = fewer[fewer.size() - 22 + 10] = 1;
    EXPECT_EQ(tryArchive(fewer), 0);

    // A local header that names another member, method or size than the
    // directory: that member is refused, the other one still comes out.
    auto local = [&](size_t at, char value) {
        std::string bad = two;
        bad[at] = value;
        return bad;
    };
    EXPECT_EQ(tryArchive(local(30, 'z')), 1); // name
    EXPECT_EQ(tryArchive(local(8, 8)), 1);    // method
    EXPECT_EQ(tryArchive(local(18, 9)), 1);   // compressed size
    EXPECT_EQ(tryArchive(two), 2);
}

TEST_F(ZipDllExtract, StopAnswerEndsTheRun)
{
    writeFile(src + "/a.txt", text(3000000, 11));
    writeFile(src + "/b.txt", "b");
    infoZip("zip -q ../t.zip a.txt b.txt");
    Extract x(zip, out);
    x.calls.hook = [](ZCallBackStruct &r) { return r.ActionCode == zacBytesDone ? 1 : 0; };
    EXPECT_EQ(x.run(), 0);
    EXPECT_TRUE(x.calls.hasError(zdeAborted));
    EXPECT_EQ(x.calls.count(zacFileStart), 1);
    EXPECT_FALSE(fileExists(out + "/a.txt")); // no half-written file under the name
    EXPECT_FALSE(fileExists(out + "/b.txt"));
    std::string o;
    runCommand("ls -A " + out, &o);
    EXPECT_EQ(o, "") << "temporary file left behind";
}

TEST_F(ZipDllExtract, LegacyCodePageNamesBecomeUtf8)
{
    // Bit 11 clear: the name is in the DOS code page (0x8E is "Ä").
    writeFile(zip, zt::makeStoredZip({{"\x8E" "rger.txt", "cp437"}}));
    Extract x(zip, out);
    x.spec("Ärger.txt");
    EXPECT_EQ(x.run(), 1) << x.calls.messages();
    EXPECT_EQ(outFile("Ärger.txt"), "cp437");
}
