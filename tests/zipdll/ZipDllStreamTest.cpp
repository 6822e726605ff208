// A member read through a callback (the save file while it downloads) gives
// the archive a file of its bytes gives, or no archive when its data fails;
// a member extracted to a callback gives its bytes and one End saying
// whether they were whole.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using zt::Add;
using zt::Extract;

namespace {

struct Feed { // a download: odd chunks, may fail midway or end late
    std::string data;
    long failAt = -1;
    int slowEndMs = 0, reads = 0;
    size_t pos = 0;
    time_t endedAt = 0;
    ZipStreamSource src{};
    static int32_t read(void *c, void *buf, int32_t n)
    {
        auto &f = *static_cast<Feed *>(c);
        ++f.reads;
        if (f.failAt >= 0 && f.pos >= static_cast<size_t>(f.failAt))
            return -1;
        const size_t k = std::min<size_t>({static_cast<size_t>(n), 65543, f.data.size() - f.pos});
        if (k == 0) {
            ::usleep(static_cast<useconds_t>(f.slowEndMs) * 1000);
            f.endedAt = std::time(nullptr);
        }
        std::memcpy(buf, f.data.data() + f.pos, k);
        f.pos += k;
        return static_cast<int32_t>(k);
    }
};

struct Sink { // an upload
    std::string member, got;
    bool stop = false;
    int writes = 0, ends = 0, whole = -1;
    UnzStreamTarget t{};
    static int32_t write(void *c, const void *d, int32_t n)
    {
        auto &s = *static_cast<Sink *>(c);
        ++s.writes;
        if (!s.stop)
            s.got.append(static_cast<const char *>(d), static_cast<size_t>(n));
        return s.stop;
    }
    static void end(void *c, int32_t whole)
    {
        auto &s = *static_cast<Sink *>(c);
        ++s.ends;
        s.whole = whole;
    }
};

std::string text(size_t n)
{
    std::string t;
    while (t.size() < n)
        t += "SAVLIB LIB(PAYROLL) DEV(*SAVF) record " + std::to_string(t.size()) + "\n";
    return t.substr(0, n);
}

// Member starts (name and size) and the bytes reported done.
std::pair<std::vector<std::string>, uint64_t> progress(const zt::Calls &c)
{
    std::pair<std::vector<std::string>, uint64_t> p;
    for (const auto &r : c.log) {
        if (r.ActionCode == zacFileStart)
            p.first.push_back(std::string(r.Text) + " " + std::to_string(r.FileSize));
        p.second += r.ActionCode == zacBytesDone ? r.FileSize : 0;
    }
    return p;
}

class ZipDllStream : public ::testing::Test {
protected:
    TempDir tmp;
    const std::string savf = tmp.file("QGPL.SAVF"), zip = tmp.file("s.zip"), out = tmp.file("out");
    Feed feed;
    void SetUp() override
    {
        writeFile(tmp.file("zipInfo.4qi"), "[Info]\nLibrary=QGPL\n");
        writeFile(tmp.file("poster.png"), randomBytes(3000, 9));
        ::mkdir(out.c_str(), 0700);
    }
    // The save job's members, the save file between the info and the poster.
    int32_t add(Add &a, bool stream, int64_t size = -1)
    {
        feed.src = {savf.c_str(), &feed, size < 0 ? static_cast<int64_t>(feed.data.size()) : size, S_IFREG | 0600,
                    Feed::read};
        a.p.Stream = stream ? &feed.src : nullptr;
        return a.spec(tmp.file("zipInfo.4qi")).spec(savf).spec(tmp.file("poster.png")).run();
    }
    int32_t extract(Extract &x, Sink &s, const std::string &member = "QGPL.SAVF")
    {
        s.member = member;
        s.t = {s.member.c_str(), &s, Sink::write, Sink::end};
        x.p.Stream = &s.t;
        const int32_t n = x.spec(member).run();
        EXPECT_EQ(s.ends, 1);
        EXPECT_EQ(::rmdir(out.c_str()), 0) << "written to the folder";
        ::mkdir(out.c_str(), 0700);
        return n;
    }
};

} // namespace

TEST_F(ZipDllStream, StreamedMemberIsTheFilesMemberAndExtractsWhole)
{
    struct Case {
        const char *name;
        std::string data;
        int method, slowEndMs;
        const char *growth; // encrypted: compressed size less size, in Python
    } cases[] = {
        {"compressible", text(2500000), -1, 0, nullptr},
        {"incompressible: stored after deflate", randomBytes(1500000, 3), -1, 0, nullptr},
        {"empty", "", -1, 0, nullptr},
        {"dated when it ends", text(100000), -1, 2200, nullptr},
        {"AES, stored after deflate", randomBytes(1500000, 4), zemAes256, 0, "== 28"},
        {"AES, deflated", text(1500000), zemAes256, 0, "< 0"},
        {"ZipCrypto keeps its deflated data", randomBytes(300000, 5), zemZipCrypto, 0, "> 12"},
    };
    std::string pw = "Secret Payroll 2026";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        feed = Feed{c.data};
        feed.slowEndMs = c.slowEndMs;
        const time_t started = std::time(nullptr);
        Add s(zip);
        s.p.Password = c.method >= 0 ? pw.data() : nullptr;
        s.p.Encrypt = c.method >= 0;
        s.p.EncryptMethod = std::max(c.method, 0);
        ASSERT_EQ(add(s, true), 3) << s.calls.messages();
        Sink sink;
        Extract x(zip, out);
        x.p.Password = pw.data();
        EXPECT_EQ(extract(x, sink), 1) << x.calls.messages();
        EXPECT_TRUE(sink.got == c.data);
        EXPECT_EQ(sink.whole, 1);
        writeFile(savf, c.data);
        if (c.growth) { // random salts and headers: compare what 7-Zip reads
            EXPECT_EQ(zt::python("import zipfile\ni=zipfile.ZipFile('" + zip + "').getinfo('QGPL.SAVF')\n"
                                 "assert i.compress_size - i.file_size " + c.growth + "\n"),
                      0);
            EXPECT_TRUE(!zt::haveTool("7z") || runCommand("7z t -bd '-p" + pw + "' " + zip + " >/dev/null") == 0);
            continue;
        }
        // The same bytes as a file dated as the member is, mode 0600.
        ::chmod(savf.c_str(), 0600);
        std::string when;
        ASSERT_EQ(zt::python("import zipfile,time,os\nt=time.mktime(zipfile.ZipFile('" + zip +
                                 "').getinfo('QGPL.SAVF').date_time+(0,0,-1))\nos.utime('" + savf +
                                 "',(t,t))\nprint(int(t))\n",
                             &when),
                  0);
        EXPECT_LE(std::labs(std::stol(when) - feed.endedAt), 2);
        EXPECT_TRUE(!c.slowEndMs || std::stol(when) > started) << "dated when it started";
        Add file(tmp.file("f.zip"));
        ASSERT_EQ(add(file, false), 3) << file.calls.messages();
        EXPECT_TRUE(readFile(zip) == readFile(tmp.file("f.zip")));
        EXPECT_EQ(progress(s.calls), progress(file.calls));
    }
}

TEST_F(ZipDllStream, FailedStreamLeavesNoArchiveAndOldArchiveUntouched)
{
    struct Case {
        const char *name;
        long failAt;
        int64_t size;
        bool abort, diskFull, noPassword;
        int error;
    } cases[] = {
        {"fails midway", 1 << 20, -1, false, false, false, zdeRead},
        {"fewer bytes than announced", -1, (1 << 21) + 1, false, false, false, zdeRead},
        {"more bytes than announced", -1, (1 << 21) - 1, false, false, false, zdeRead},
        {"stopped by the callback", -1, -1, true, false, false, zdeAborted},
        {"disk full", -1, -1, false, true, false, zdeWrite},
        {"no password to encrypt it", -1, -1, false, false, true, zdePassword},
    };
    writeFile(tmp.file("old.txt"), "old");
    for (const auto &c : cases) {
        for (bool existing : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (existing ? ", existing archive" : ""));
            ::unlink(zip.c_str());
            if (existing)
                Add(zip).spec(tmp.file("old.txt")).run();
            const std::string before = existing ? readFile(zip) : "";
            feed = Feed{randomBytes(1 << 21, 6), c.failAt};
            Add a(zip);
            a.p.Encrypt = c.noPassword;
            a.calls.hook = [&c, inSavf = false](ZCallBackStruct &r) mutable {
                inSavf = r.ActionCode == zacFileStart ? std::string(r.Text) == "QGPL.SAVF" : inSavf;
                r.ErrorCode = r.ActionCode == zacPassword ? 0 : r.ErrorCode; // no password given
                return c.abort && inSavf && r.ActionCode == zacBytesDone;
            };
            struct rlimit old{};
            ::getrlimit(RLIMIT_FSIZE, &old);
            const struct rlimit small{1 << 20, old.rlim_max};
            std::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, c.diskFull ? &small : &old);
            EXPECT_EQ(add(a, true, c.size), 0);
            ::setrlimit(RLIMIT_FSIZE, &old);
            EXPECT_TRUE(a.calls.hasError(c.error)) << a.calls.messages();
            EXPECT_NE(a.calls.messages().find("QGPL.SAVF"), std::string::npos) << a.calls.messages();
            EXPECT_TRUE(existing ? readFile(zip) == before : !fileExists(zip));
            EXPECT_EQ(runCommand("ls " + tmp.path() + " | grep -q tmp"), 1) << "temporary archive left";
        }
    }
}

TEST_F(ZipDllStream, StreamNoSpecNamesIsNotRead)
{
    Add a(zip);
    a.p.Stream = &feed.src;
    feed.src = {"/elsewhere/QGPL.SAVF", &feed, 0, S_IFREG | 0600, Feed::read};
    EXPECT_EQ(a.spec(tmp.file("zipInfo.4qi")).run(), 1) << a.calls.messages();
    EXPECT_EQ(feed.reads, 0);
}

TEST_F(ZipDllStream, StreamExtractThatFailsEndsNotWhole)
{
    writeFile(savf, text(600000));
    std::string right = "right", wrong = "wrong";
    Add plain(zip), aes(tmp.file("aes.zip"));
    ASSERT_EQ(plain.spec(savf).run(), 1);
    aes.p.Password = right.data();
    aes.p.Encrypt = 1;
    ASSERT_EQ(aes.spec(savf).run(), 1);
    std::string z = readFile(zip);
    z[30 + 9 + 5000] ^= 0x10; // a byte of the compressed data
    writeFile(tmp.file("bad.zip"), z);
    struct Case {
        const char *name, *archive, *member;
        bool stop;
    } cases[] = {
        {"damaged", "bad.zip", "QGPL.SAVF", false},
        {"receiver stops", "s.zip", "QGPL.SAVF", true},
        {"no such member", "s.zip", "OTHER.SAVF", false},
        {"wrong password", "aes.zip", "QGPL.SAVF", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sink sink;
        sink.stop = c.stop;
        Extract x(tmp.file(c.archive), out);
        x.p.Password = wrong.data();
        x.p.PasswordReqCount = 0;
        EXPECT_EQ(extract(x, sink, c.member), 0);
        EXPECT_EQ(sink.whole, 0);
        EXPECT_EQ(sink.writes, c.stop ? 1 : sink.writes);
        EXPECT_EQ(x.calls.hasError(zdeAborted), c.stop) << x.calls.messages();
    }
}
