// A member read through a callback (the save file while it downloads) must
// give the archive a file of the same bytes gives, and a failed stream must
// leave no archive; a member extracted to a callback gives its exact bytes
// and says at its end whether they were whole.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using zt::Add;
using zt::Extract;

namespace {

// The data as a download gives it: odd chunks, optionally failing or slow.
struct Feed {
    std::string data;
    long failAt = -1;   // Read fails once this many bytes are out
    int slowEndMs = 0;  // pause before the end
    int reads = 0;
    time_t endedAt = 0;
    ZipStreamSource src{};
    ZipStreamSource *source(const std::string &path, int64_t size = -1)
    {
        src = {path.c_str(), this, size < 0 ? static_cast<int64_t>(data.size()) : size, S_IFREG | 0600, read};
        return &src;
    }
    size_t pos = 0;
    static int32_t read(void *c, void *buf, int32_t n)
    {
        auto *f = static_cast<Feed *>(c);
        ++f->reads;
        if (f->failAt >= 0 && f->pos >= static_cast<size_t>(f->failAt))
            return -1;
        const size_t k = std::min<size_t>({static_cast<size_t>(n), 65543, f->data.size() - f->pos});
        if (k == 0) {
            ::usleep(static_cast<useconds_t>(f->slowEndMs) * 1000);
            f->endedAt = std::time(nullptr);
            return 0;
        }
        std::memcpy(buf, f->data.data() + f->pos, k);
        f->pos += k;
        return static_cast<int32_t>(k);
    }
};

struct Sink {
    std::string got;
    bool stop = false; // Write answers "stop"
    int writes = 0, ends = 0, whole = -1;
    std::string member;
    UnzStreamTarget target{};
    UnzStreamTarget *to(const std::string &m)
    {
        member = m;
        target = {member.c_str(), this, write, end};
        return &target;
    }
    static int32_t write(void *c, const void *d, int32_t n)
    {
        auto *s = static_cast<Sink *>(c);
        ++s->writes;
        if (s->stop)
            return 1;
        s->got.append(static_cast<const char *>(d), static_cast<size_t>(n));
        return 0;
    }
    static void end(void *c, int32_t whole)
    {
        ++static_cast<Sink *>(c)->ends;
        static_cast<Sink *>(c)->whole = whole;
    }
};

std::string text(size_t n)
{
    std::string t;
    while (t.size() < n)
        t += "SAVLIB LIB(PAYROLL) DEV(*SAVF) record " + std::to_string(t.size()) + "\n";
    return t.substr(0, n);
}

// Member start reports (name, size) and the bytes reported done.
std::pair<std::vector<std::string>, uint64_t> progress(const zt::Calls &c)
{
    std::vector<std::string> starts;
    uint64_t done = 0;
    for (const auto &r : c.log) {
        if (r.ActionCode == zacFileStart)
            starts.push_back(std::string(r.Text) + " " + std::to_string(r.FileSize));
        if (r.ActionCode == zacBytesDone)
            done += r.FileSize;
    }
    return {starts, done};
}

bool anyTemp(const std::string &dir)
{
    bool found = false;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            found = found || std::strstr(e->d_name, ".tmp");
        ::closedir(d);
    }
    return found;
}

class ZipDllStream : public ::testing::Test {
protected:
    TempDir tmp;
    std::string f(const std::string &n) { return tmp.file(n); }
    const std::string savf = f("QGPL.SAVF"), zip = f("s.zip");
    void SetUp() override
    {
        writeFile(f("zipInfo.4qi"), "[Info]\nLibrary=QGPL\n");
        writeFile(f("poster.png"), randomBytes(3000, 9));
    }
    // The save job's members, the save file in the middle.
    Add &specs(Add &a, Feed *feed, int64_t size = -1)
    {
        a.spec(f("zipInfo.4qi")).spec(savf).spec(f("poster.png"));
        if (feed)
            a.p.Stream = feed->source(savf, size);
        return a;
    }
};

} // namespace

TEST_F(ZipDllStream, StreamedAddEqualsFileAddByteForByte)
{
    struct Case {
        const char *name;
        std::string data;
        int slowEndMs;
    } cases[] = {
        {"compressible", text(2500000), 0},
        {"incompressible, stored after deflate", randomBytes(1500000, 3), 0},
        {"empty", "", 0},
        {"dated at its end", text(100000), 2200},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Feed feed{c.data};
        feed.slowEndMs = c.slowEndMs;
        const time_t started = std::time(nullptr);
        Add s(zip);
        ASSERT_EQ(specs(s, &feed).run(), 3) << s.calls.messages();
        // The same bytes as a file dated as the member is.
        writeFile(savf, c.data);
        ::chmod(savf.c_str(), 0600);
        std::string when;
        ASSERT_EQ(zt::python("import zipfile,time,os\nz=zipfile.ZipFile('" + zip + "')\n"
                             "t=time.mktime(z.getinfo('QGPL.SAVF').date_time+(0,0,-1))\n"
                             "os.utime('" + savf + "',(t,t))\nprint(int(t))\n", &when),
                  0);
        if (c.slowEndMs) { // not the time it started
            EXPECT_GE(std::stol(when), static_cast<long>(started) + 1);
        }
        EXPECT_LE(std::labs(std::stol(when) - feed.endedAt), 2);
        Add file(f("f.zip"));
        ASSERT_EQ(specs(file, nullptr).run(), 3) << file.calls.messages();
        EXPECT_TRUE(readFile(zip) == readFile(f("f.zip")));
        EXPECT_EQ(progress(s.calls), progress(file.calls));
        ::unlink(zip.c_str());
        ::unlink(savf.c_str());
    }
}

TEST_F(ZipDllStream, StreamedEncryptedMembersDecryptByteExact)
{
    struct Case {
        const char *name;
        std::string data;
        int method;
        const char *growth; // compressed size less the size, in Python
    } cases[] = {
        {"AES, stored after deflate", randomBytes(1500000, 4), zemAes256, "== 28"},
        {"AES, deflated", text(1500000), zemAes256, "< 0"},
        {"ZipCrypto keeps its deflated data", randomBytes(300000, 5), zemZipCrypto, "> 12"},
    };
    std::string pw = "Secret Payroll 2026";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Feed feed{c.data};
        Add s(zip);
        s.p.Password = pw.data();
        s.p.Encrypt = 1;
        s.p.EncryptMethod = c.method;
        ASSERT_EQ(specs(s, &feed).run(), 3) << s.calls.messages();
        EXPECT_EQ(zt::python("import zipfile\ni=zipfile.ZipFile('" + zip + "').getinfo('QGPL.SAVF')\n"
                             "assert i.compress_size - i.file_size " + c.growth + "\n"),
                  0);
        Sink sink;
        Extract x(zip, "");
        x.spec("QGPL.SAVF");
        x.p.Password = pw.data();
        x.p.Stream = sink.to("QGPL.SAVF");
        EXPECT_EQ(x.run(), 1) << x.calls.messages();
        EXPECT_TRUE(sink.got == c.data);
        EXPECT_EQ(sink.whole, 1);
        if (zt::haveTool("7z")) {
            std::string out;
            EXPECT_EQ(runCommand("cd " + tmp.path() + " && 7z e -so '-p" + pw + "' s.zip QGPL.SAVF > x.savf", &out), 0)
                << out;
            EXPECT_TRUE(readFile(f("x.savf")) == c.data);
        }
        Sink wrong;
        std::string bad = "wrong";
        Extract w(zip, "");
        w.spec("QGPL.SAVF");
        w.p.Password = bad.data();
        w.p.PasswordReqCount = 0;
        w.p.Stream = wrong.to("QGPL.SAVF");
        EXPECT_EQ(w.run(), 0);
        EXPECT_EQ(wrong.ends, 1);
        EXPECT_EQ(wrong.whole, 0);
        EXPECT_TRUE(wrong.got.empty());
        ::unlink(zip.c_str());
    }
}

TEST_F(ZipDllStream, FailedAddLeavesNoArchiveAndOldArchiveUntouched)
{
    const std::string data = randomBytes(1 << 21, 6);
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
    writeFile(f("old.txt"), "old");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (bool existing : {false, true}) {
            ::unlink(zip.c_str());
            if (existing) {
                ASSERT_EQ(Add(zip).spec(f("old.txt")).run(), 1);
            }
            const std::string before = existing ? readFile(zip) : "";
            Feed feed{data};
            feed.failAt = c.failAt;
            Add a(zip);
            specs(a, &feed, c.size);
            a.p.Encrypt = c.noPassword;
            if (c.noPassword)
                a.calls.hook = [](ZCallBackStruct &r) { // no password given
                    if (r.ActionCode == zacPassword)
                        r.ErrorCode = 0;
                    return 0;
                };
            if (c.abort)
                a.calls.hook = [inSavf = false](ZCallBackStruct &r) mutable {
                    if (r.ActionCode == zacFileStart)
                        inSavf = std::string(r.Text) == "QGPL.SAVF";
                    return inSavf && r.ActionCode == zacBytesDone ? 1 : 0;
                };
            struct rlimit old{};
            ::getrlimit(RLIMIT_FSIZE, &old);
            if (c.diskFull) {
                std::signal(SIGXFSZ, SIG_IGN);
                const struct rlimit small{1 << 20, old.rlim_max};
                ::setrlimit(RLIMIT_FSIZE, &small);
            }
            const int32_t n = a.run();
            if (c.diskFull)
                ::setrlimit(RLIMIT_FSIZE, &old);
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(a.calls.hasError(c.error)) << a.calls.messages();
            EXPECT_NE(a.calls.messages().find("QGPL.SAVF"), std::string::npos) << a.calls.messages();
            EXPECT_EQ(fileExists(zip), existing);
            EXPECT_TRUE(!existing || readFile(zip) == before);
            EXPECT_FALSE(anyTemp(tmp.path()));
        }
    }
}

TEST_F(ZipDllStream, StreamNoSpecNamesIsNotRead)
{
    Feed feed{"never"};
    Add a(zip);
    a.spec(f("zipInfo.4qi"));
    a.p.Stream = feed.source(savf);
    EXPECT_EQ(a.run(), 1) << a.calls.messages();
    EXPECT_EQ(feed.reads, 0);
}

TEST_F(ZipDllStream, StreamExtractGivesBytesAndTellsWhetherWhole)
{
    const std::string data = text(600000);
    writeFile(savf, data);
    ASSERT_EQ(Add(zip).spec(savf).run(), 1);
    // Flipping a byte of the compressed data breaks the stream or its CRC.
    std::string z = readFile(zip);
    z[30 + 9 + 5000] ^= 0x10;
    writeFile(f("bad.zip"), z);
    ::unlink(savf.c_str());
    struct Case {
        const char *name, *archive, *member;
        bool stop;
        int processed, whole;
    } cases[] = {
        {"whole", "s.zip", "QGPL.SAVF", false, 1, 1},
        {"damaged", "bad.zip", "QGPL.SAVF", false, 0, 0},
        {"receiver stops", "s.zip", "QGPL.SAVF", true, 0, 0},
        {"no such member", "s.zip", "OTHER.SAVF", false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        Sink sink;
        sink.stop = c.stop;
        Extract x(f(c.archive), out.path());
        x.spec(c.member);
        x.p.Overwrite = 1;
        x.p.Stream = sink.to(c.member);
        EXPECT_EQ(x.run(), c.processed) << x.calls.messages();
        EXPECT_EQ(sink.ends, 1);
        EXPECT_EQ(sink.whole, c.whole);
        EXPECT_EQ(::rmdir(out.path().c_str()), 0) << "the extract wrote to the folder";
        ::mkdir(out.path().c_str(), 0700);
        if (c.whole) {
            EXPECT_TRUE(sink.got == data);
        }
        if (c.stop) {
            EXPECT_TRUE(x.calls.hasError(zdeAborted));
            EXPECT_EQ(sink.writes, 1);
        }
    }
}
