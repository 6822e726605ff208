// WinZip AES: what we encrypt opens in 7-Zip and bsdtar byte-exact, what
// 7-Zip encrypts opens here, and a wrong password or an altered byte never
// yields a file.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>

using namespace testsupport;
using zt::Add;
using zt::Extract;

namespace {

class ZipDllAes : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!zt::haveTool("7z") || !zt::haveTool("bsdtar"))
            GTEST_SKIP() << "7z and bsdtar are needed";
        ::mkdir(f("in").c_str(), 0755);
        ::mkdir(f("out").c_str(), 0755);
        // Compressible, incompressible (stored) and tiny members.
        std::string text;
        while (text.size() < 3000000)
            text += "DSPOBJD OBJ(MYLIB/*ALL) OBJTYPE(*FILE) record " + std::to_string(text.size()) + "\n";
        writeFile(f("in/text.txt"), text);
        writeFile(f("in/random.bin"), randomBytes(1500000, 7));
        writeFile(f("in/tiny"), "x");
    }
    std::string f(const std::string &name) { return tmp.file(name); }
    std::string run(const std::string &cmd, int expect = 0)
    {
        std::string out;
        EXPECT_EQ(runCommand(cmd, &out), expect) << cmd << "\n" << out;
        return out;
    }
    const std::vector<std::string> names{"text.txt", "random.bin", "tiny"};
    TempDir tmp;
};

TEST_F(ZipDllAes, OurArchivesOpenIn7zipAndBsdtarByteExact)
{
    const std::string zip = f("ours.zip");
    std::string pw = "correct horse battery staple";
    Add a(zip);
    a.p.Password = pw.data();
    for (const auto &n : names)
        a.spec(f("in/" + n), false, nullptr, true);
    ASSERT_EQ(a.run(), 3) << a.calls.messages();

    const std::string listing = run("7z l -slt " + zip);
    EXPECT_NE(listing.find("Method = AES-256 Deflate"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Method = AES-256 Store"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("ZipCrypto"), std::string::npos) << listing;
    // A fresh salt per member: the same bytes never encrypt the same way.
    writeFile(f("in/tiny2"), "x");
    Add again(zip);
    again.p.Password = pw.data();
    again.spec(f("in/tiny2"), false, nullptr, true);
    ASSERT_EQ(again.run(), 1);
    EXPECT_EQ(zt::python("import zipfile\nz=zipfile.ZipFile('" + zip + "')\n"
                         "def data(n):\n i=z.getinfo(n); f=open(z.filename,'rb'); f.seek(i.header_offset+26)\n"
                         " k=int.from_bytes(f.read(2),'little')+int.from_bytes(f.read(2),'little')\n"
                         " f.seek(k,1); return f.read(i.compress_size)\n"
                         "assert data('tiny') != data('tiny2')\n"
                         "for i in z.infolist(): assert i.compress_type==99 and i.flag_bits&1 and i.CRC==0, i\n"
                         "assert b'\\x01\\x99\\x07\\x00\\x02\\x00AE\\x03' in z.getinfo('tiny').extra\n"),
              0);

    run("cd " + f("out") + " && 7z x -y '-p" + pw + "' " + zip + " >/dev/null");
    ::mkdir(f("bsd").c_str(), 0755);
    run("bsdtar -xf " + zip + " -C " + f("bsd") + " --passphrase '" + pw + "'");
    for (const auto &n : names) {
        EXPECT_EQ(readFile(f("out/" + n)), readFile(f("in/" + n))) << "7z " << n;
        EXPECT_EQ(readFile(f("bsd/" + n)), readFile(f("in/" + n))) << "bsdtar " << n;
    }
}

TEST_F(ZipDllAes, SevenZipAesArchivesExtractByteExact)
{
    struct Case {
        const char *method, *compression;
    } cases[] = {{"AES128", "Deflate"}, {"AES192", "Copy"}, {"AES256", "Deflate"}, {"AES256", "Copy"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.compression);
        const std::string zip = f(std::string(c.method) + c.compression + ".zip");
        run("cd " + f("in") + " && 7z a -tzip -mm=" + c.compression + " -mem=" + c.method + " -pS3cr3t " + zip +
            " text.txt random.bin tiny >/dev/null");
        std::string pw = "S3cr3t";
        Extract x(zip, f("out"));
        x.p.Password = pw.data();
        x.p.Overwrite = 1;
        ASSERT_EQ(x.run(), 3) << x.calls.messages();
        for (const auto &n : names)
            EXPECT_EQ(readFile(f("out/" + n)), readFile(f("in/" + n))) << n;
    }
}

TEST_F(ZipDllAes, WrongPasswordAndAlteredBytesNeverGiveAFile)
{
    const std::string zip = f("ours.zip");
    std::string pw = "right";
    Add a(zip);
    a.p.Password = pw.data();
    a.spec(f("in/text.txt"), false, nullptr, true).spec(f("in/random.bin"), false, nullptr, true);
    ASSERT_EQ(a.run(), 2);
    const std::string good = readFile(zip);

    // Wrong password: refused on the verifier, named as a password problem.
    std::string wrong = "wrong";
    Extract w(zip, f("out"));
    w.p.Password = wrong.data();
    w.p.PasswordReqCount = 0;
    EXPECT_EQ(w.run(), 0);
    EXPECT_TRUE(w.calls.hasError(zdePassword)) << w.calls.messages();
    EXPECT_FALSE(w.calls.hasError(zdeFormat)) << w.calls.messages();

    // One flipped bit at the start, in the middle and in the authentication
    // code of a deflated and of a stored member: that member fails by name,
    // leaves no file, and the other one still extracts.
    const size_t randomLocal = good.find("random.bin") - 30;
    const size_t dataAt = 30 + 11 + 16 + 2; // after name: AES field, salt, verifier
    const size_t cdStart = good.find("PK\x01\x02");
    struct Case {
        size_t at;
        std::string damaged, intact;
    } cases[] = {{dataAt + 8, "text.txt", "random.bin"},
                 {(dataAt + randomLocal) / 2, "text.txt", "random.bin"},
                 {randomLocal - 10 + 3, "text.txt", "random.bin"},
                 {randomLocal + dataAt + 10 + 700000, "random.bin", "text.txt"},
                 {cdStart - 1, "random.bin", "text.txt"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.at);
        std::string bad = good;
        bad[c.at] = static_cast<char>(bad[c.at] ^ 0x10);
        writeFile(zip, bad);
        const std::string dir = f("bad" + std::to_string(i));
        ::mkdir(dir.c_str(), 0755);
        Extract x(zip, dir);
        x.p.Password = pw.data();
        EXPECT_EQ(x.run(), 1) << x.calls.messages();
        EXPECT_NE(x.calls.messages().find(c.damaged + ": authentication failed"), std::string::npos)
            << x.calls.messages();
        EXPECT_EQ(run("ls -A " + dir), c.intact + "\n");
    }
}

} // namespace
