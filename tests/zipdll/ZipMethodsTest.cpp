// The method decoders fed the way the extractor feeds them, but in crumbs:
// a few bytes in, a few bytes of room out, so every state a decoder can be
// left in between calls (header half read, output pending with no input
// left, a frame just ended) is met. Streams come from the libraries' own
// encoders; cut short they must never end as complete.

#include "ZipMethods.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <random>

using namespace zipdll;

namespace {

std::string sample()
{
    std::string s;
    std::mt19937 rng(7);
    for (int i = 0; s.size() < 300000; ++i)
        s += i % 50 ? "CHGOBJOWN OBJ(LIB/PGM" + std::to_string(i % 97) + ") NEWOWN(QSECOFR)\n"
                    : std::string(1 + rng() % 900, static_cast<char>(rng()));
    return s;
}

std::string deflated(const std::string &d)
{
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, d.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(d.data()));
    zs.avail_in = static_cast<uInt>(d.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string bzipped(const std::string &d)
{
    std::string out(d.size() + d.size() / 50 + 700, '\0');
    unsigned n = static_cast<unsigned>(out.size());
    BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char *>(d.data()), static_cast<unsigned>(d.size()), 9, 0, 0);
    out.resize(n);
    return out;
}

// Zip's LZMA form; `marker`: an end marker after the data (flag bit 1).
std::string lzmaZip(const std::string &d, bool marker)
{
    lzma_options_lzma o;
    lzma_lzma_preset(&o, 6);
    o.ext_flags = 0; // LZMA1EXT without the flag writes no end marker
    lzma_filter f[2] = {{marker ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t props[5];
    lzma_properties_encode(f, props);
    std::string out(d.size() + d.size() / 3 + 128, '\0');
    size_t pos = 0;
    lzma_raw_buffer_encode(f, nullptr, reinterpret_cast<const uint8_t *>(d.data()), d.size(),
                           reinterpret_cast<uint8_t *>(out.data()), &pos, out.size());
    out.resize(pos);
    return std::string("\x10\x02\x05\x00", 4) + std::string(reinterpret_cast<char *>(props), 5) + out;
}

std::string zstd(const std::string &d)
{
    std::string out(ZSTD_compressBound(d.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), d.data(), d.size(), 19));
    return out;
}

// The extractor's loop: true when the decoder ends the stream with `want`.
bool decodes(uint16_t method, uint16_t flags, const std::string &comp, const std::string &want, size_t inStep,
             size_t outCap)
{
    std::string why;
    std::unique_ptr<MethodDecoder> dec = makeDecoder({method, want.size(), flags}, why);
    if (!dec)
        return false;
    std::string got;
    std::vector<uint8_t> buf(outCap);
    const auto *p = reinterpret_cast<const uint8_t *>(comp.data());
    size_t fed = 0, inLen = 0;
    const uint8_t *in = p;
    for (;;) {
        if (inLen == 0 && fed < comp.size()) {
            in = p + fed;
            inLen = std::min(inStep, comp.size() - fed);
            fed += inLen;
        }
        const size_t given = inLen;
        size_t n = 0;
        const MethodDecoder::Step s = dec->decode(in, inLen, fed == comp.size(), buf.data(), outCap, n);
        got.append(reinterpret_cast<char *>(buf.data()), n);
        if (got.size() > want.size() || s == MethodDecoder::Step::Damaged)
            return false;
        if (s == MethodDecoder::Step::End)
            return got == want;
        if (n == 0 && inLen == given && (inLen > 0 || fed == comp.size()))
            return false;
    }
}

} // namespace

TEST(ZipMethods, EveryMethodDecodesInCrumbsAndNeverEndsWhenCutShort)
{
    const std::string d = sample();
    struct Case {
        uint16_t method, flags;
        std::string comp;
        size_t cut = 3; // into the end marker or the last bytes of data
    } cases[] = {
        {0, 0, d}, {8, 0, deflated(d)}, {12, 0, bzipped(d)},
        {14, 2, lzmaZip(d, true)}, {14, 0, lzmaZip(d, false)},
        {14, 0, lzmaZip(d, true), 40}, // a marker bit 1 does not announce: the size ends it
        {93, 0, zstd(d)}, {93, 0, zstd(d.substr(0, 1000)) + zstd(d.substr(1000))}, // two frames
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("method " + std::to_string(c.method) + ", " + std::to_string(c.comp.size()) + " bytes");
        EXPECT_TRUE(decodes(c.method, c.flags, c.comp, d, c.comp.size(), 1 << 20));
        for (size_t step : {5, 10, 13})
            EXPECT_TRUE(decodes(c.method, c.flags, c.comp, d, step, 7)) << step;
        EXPECT_FALSE(decodes(c.method, c.flags, c.comp.substr(0, c.comp.size() - c.cut), d, 5, 64));
    }
}

TEST(ZipMethods, UnreadMethodsAreNamed)
{
    std::string why;
    EXPECT_EQ(makeDecoder({9, 10}, why), nullptr);
    EXPECT_EQ(why, "compression method 9 (Deflate64) not supported");
    EXPECT_EQ(makeDecoder({77, 10}, why), nullptr);
    EXPECT_EQ(why, "compression method 77 not supported");
}
