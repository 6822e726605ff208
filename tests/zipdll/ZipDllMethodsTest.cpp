// libunzdll.so with the compression methods other writers use: bzip2, LZMA
// and zstd members made by Python, 7-Zip and zstd, sound and damaged, with
// the peer tools' verdict beside ours; methods we do not read are named.

#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace testsupport;
using zt::Extract;

namespace {

// Writes NAME.zip and NAME-bad.zip (one byte in the middle of text.txt's
// compressed data flipped) for each way of writing, from the files in src/.
const char *kMakeArchives = R"(
import os, struct, subprocess, sys, zipfile, zlib
os.chdir(sys.argv[1])
files = ['text.txt', 'noise.bin', 'empty.txt']
def py(name, method, stream=False):
    with open(name, 'wb') as raw:
        out = raw
        if stream:  # an output without seek or tell: data descriptors
            class Pipe:
                def write(self, b): return raw.write(b)
                def flush(self): raw.flush()
            out = Pipe()
        with zipfile.ZipFile(out, 'w', method) as z:
            for f in files: z.write('src/' + f, f)
def sevenzip(name, m):
    subprocess.run(['7z', 'a', '-tzip', '-mm=' + m, '../' + name] + files, cwd='src', check=True,
                   stdout=subprocess.DEVNULL)
def zstd(name):  # 7-Zip's layout: method 93, one zstd frame per member
    body, cd = b'', b''
    for f in files:
        data = open('src/' + f, 'rb').read()
        comp = subprocess.run(['zstd', '-q', '-c', '-19'], input=data, stdout=subprocess.PIPE, check=True).stdout
        crc, n = zlib.crc32(data), f.encode()
        head = struct.pack('<HHHHHIIIHH', 63, 0, 93, 0, 0x5a21, crc, len(comp), len(data), len(n), 0)
        cd += struct.pack('<IH', 0x02014b50, 0x033f) + head + struct.pack('<HHHII', 0, 0, 0, 0o100644 << 16,
                                                                          len(body)) + n
        body += struct.pack('<I', 0x04034b50) + head + n + comp
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(files), len(files), len(cd), len(body), 0)
    open(name, 'wb').write(body + cd + end)
py('py-bzip2.zip', zipfile.ZIP_BZIP2); py('py-lzma.zip', zipfile.ZIP_LZMA)
py('py-stream-bzip2.zip', zipfile.ZIP_BZIP2, True); py('py-stream-lzma.zip', zipfile.ZIP_LZMA, True)
sevenzip('7z-bzip2.zip', 'BZip2'); sevenzip('7z-lzma.zip', 'LZMA'); sevenzip('7z-deflate64.zip', 'Deflate64')
zstd('zstd.zip')
for name in [n for n in os.listdir('.') if n.endswith('.zip')]:
    b = bytearray(open(name, 'rb').read())
    i = zipfile.ZipFile(name).getinfo('text.txt')
    nlen, xlen = struct.unpack('<HH', b[i.header_offset + 26:i.header_offset + 30])
    b[i.header_offset + 30 + nlen + xlen + i.compress_size // 2] ^= 0x55
    open(name[:-4] + '-bad.zip', 'wb').write(b)
)";

class ZipDllMethods : public ::testing::Test {
protected:
    TempDir tmp;
    void SetUp() override
    {
        ::mkdir(tmp.file("src").c_str(), 0755);
        std::string text;
        for (int i = 0; text.size() < 400000; ++i)
            text += "DSPOBJD OBJ(MYLIB/*ALL) OBJTYPE(*ALL) entry " + std::to_string(i * 7919 % 10007) + "\n";
        writeFile(tmp.file("src/text.txt"), text);
        writeFile(tmp.file("src/noise.bin"), randomBytes(70000, 9));
        writeFile(tmp.file("src/empty.txt"), "");
        writeFile(tmp.file("make.py"), kMakeArchives);
        std::string out;
        ASSERT_EQ(runCommand("python3 " + tmp.file("make.py") + " " + tmp.path(), &out), 0) << out;
    }
    bool peerAccepts(const std::string &peer, const std::string &zip)
    {
        const std::string cmd =
            peer == "unzip" ? "unzip -tqq '" + zip + "'"
            : peer == "7z"  ? "7z t '" + zip + "'"
                            : "python3 -c \"import zipfile,sys; sys.exit(zipfile.ZipFile('" + zip +
                                 "').testzip() is not None)\"";
        return runCommand(cmd + " >/dev/null 2>&1") == 0;
    }
};

} // namespace

// Listed, extracted byte for byte and tested; a damaged copy fails the test
// on that member, and every peer that reads the method says the same.
TEST_F(ZipDllMethods, ForeignMethodsExtractAndPeersAgreeOnEveryVerdict)
{
    struct Case {
        const char *name;
        std::vector<std::string> peers; // those that read the method
    } cases[] = {
        {"py-bzip2", {"unzip", "7z", "python"}},       {"py-lzma", {"7z", "python"}},
        {"py-stream-bzip2", {"unzip", "7z", "python"}}, {"py-stream-lzma", {"7z", "python"}},
        {"7z-bzip2", {"unzip", "7z", "python"}},        {"7z-lzma", {"7z", "python"}},
        {"zstd", {"7z"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string zip = tmp.file(std::string(c.name) + ".zip");
        const std::string bad = tmp.file(std::string(c.name) + "-bad.zip");
        TempDir dest;
        Extract x(zip, dest.path());
        EXPECT_EQ(x.run(), 3) << x.calls.messages();
        for (const char *f : {"text.txt", "noise.bin", "empty.txt"})
            EXPECT_EQ(readFile(dest.file(f)), readFile(tmp.file(std::string("src/") + f))) << f;

        Extract t(zip, dest.path());
        t.p.Test = 1;
        EXPECT_EQ(t.run(), 3) << t.calls.messages();
        Extract tb(bad, dest.path());
        tb.p.Test = 1;
        EXPECT_EQ(tb.run(), 2) << tb.calls.messages();
        EXPECT_NE(tb.calls.messages().find("text.txt"), std::string::npos) << tb.calls.messages();
        for (const std::string &peer : c.peers) {
            EXPECT_TRUE(peerAccepts(peer, zip)) << peer;
            EXPECT_FALSE(peerAccepts(peer, bad)) << peer;
        }
    }
}

// A method we do not read is named with the member, on one line; the
// other members still come out.
TEST_F(ZipDllMethods, UnreadMethodIsNamedWithTheMember)
{
    TempDir dest;
    Extract x(tmp.file("7z-deflate64.zip"), dest.path());
    x.run();
    const std::vector<std::string> skipped = x.calls.texts(zacSkipped);
    ASSERT_FALSE(skipped.empty());
    int named = 0;
    for (const std::string &m : x.calls.texts(zacMessage))
        named += m.find("compression method 9 (Deflate64) not supported") != std::string::npos &&
                 m.find(skipped[0]) == 0 && m.find('\n') == std::string::npos;
    EXPECT_EQ(named, static_cast<int>(skipped.size())) << x.calls.messages();
    EXPECT_FALSE(x.calls.hasError(zdeFormat)) << x.calls.messages();
}
