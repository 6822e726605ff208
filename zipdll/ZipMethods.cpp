#include "ZipMethods.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace zipdll {
namespace {

using Step = MethodDecoder::Step;

// The libraries count in unsigned int; feed them at most that much a call.
constexpr size_t kChunk = UINT_MAX;

class StoredDecoder : public MethodDecoder {
public:
    Step decode(const uint8_t *&in, size_t &inLen, bool last, uint8_t *out, size_t outCap,
                size_t &produced) override
    {
        const size_t n = std::min(inLen, outCap);
        if (n)
            std::memcpy(out, in, n);
        in += n;
        inLen -= n;
        produced += n;
        return last && inLen == 0 ? Step::End : Step::More;
    }
};

class DeflateDecoder : public MethodDecoder {
public:
    DeflateDecoder() { ok_ = inflateInit2(&zs_, -15) == Z_OK; }
    ~DeflateDecoder() override
    {
        if (ok_)
            inflateEnd(&zs_);
    }
    Step decode(const uint8_t *&in, size_t &inLen, bool, uint8_t *out, size_t outCap,
                size_t &produced) override
    {
        if (!ok_)
            return Step::Damaged;
        zs_.next_in = const_cast<Bytef *>(in);
        zs_.avail_in = static_cast<uInt>(std::min(inLen, kChunk));
        zs_.next_out = out;
        zs_.avail_out = static_cast<uInt>(std::min(outCap, kChunk));
        const uInt inBefore = zs_.avail_in, outBefore = zs_.avail_out;
        const int rc = inflate(&zs_, Z_NO_FLUSH);
        in += inBefore - zs_.avail_in;
        inLen -= inBefore - zs_.avail_in;
        produced += outBefore - zs_.avail_out;
        if (rc == Z_STREAM_END)
            return Step::End;
        return rc == Z_OK || rc == Z_BUF_ERROR ? Step::More : Step::Damaged;
    }

private:
    z_stream zs_{};
    bool ok_ = false;
};

class Bzip2Decoder : public MethodDecoder {
public:
    Bzip2Decoder() { ok_ = BZ2_bzDecompressInit(&bs_, 0, 0) == BZ_OK; }
    ~Bzip2Decoder() override
    {
        if (ok_)
            BZ2_bzDecompressEnd(&bs_);
    }
    Step decode(const uint8_t *&in, size_t &inLen, bool, uint8_t *out, size_t outCap,
                size_t &produced) override
    {
        if (!ok_)
            return Step::Damaged;
        bs_.next_in = const_cast<char *>(reinterpret_cast<const char *>(in));
        bs_.avail_in = static_cast<unsigned>(std::min(inLen, kChunk));
        bs_.next_out = reinterpret_cast<char *>(out);
        bs_.avail_out = static_cast<unsigned>(std::min(outCap, kChunk));
        const unsigned inBefore = bs_.avail_in, outBefore = bs_.avail_out;
        const int rc = BZ2_bzDecompress(&bs_);
        in += inBefore - bs_.avail_in;
        inLen -= inBefore - bs_.avail_in;
        produced += outBefore - bs_.avail_out;
        if (rc == BZ_STREAM_END)
            return Step::End;
        return rc == BZ_OK ? Step::More : Step::Damaged;
    }

private:
    bz_stream bs_{};
    bool ok_ = false;
};

// Zip's LZMA form (APPNOTE 5.8): a 2-byte encoder version, a 2-byte
// properties length (5), the LZMA properties, then a raw LZMA1 stream that
// ends with an end marker when flag bit 1 says so, else at the member's size.
class LzmaDecoder : public MethodDecoder {
public:
    explicit LzmaDecoder(uint64_t usize) : usize_(usize) {}
    ~LzmaDecoder() override { lzma_end(&ls_); }
    Step decode(const uint8_t *&in, size_t &inLen, bool last, uint8_t *out, size_t outCap,
                size_t &produced) override
    {
        if (!started_) {
            while (headLen_ < sizeof head_ && inLen > 0) {
                head_[headLen_++] = *in++;
                --inLen;
            }
            if (headLen_ < sizeof head_)
                return last ? Step::Damaged : Step::More;
            if (!start())
                return Step::Damaged;
        }
        ls_.next_in = in;
        ls_.avail_in = inLen;
        ls_.next_out = out;
        ls_.avail_out = outCap;
        const lzma_ret rc = lzma_code(&ls_, LZMA_RUN);
        produced += outCap - ls_.avail_out;
        inLen = ls_.avail_in;
        in = ls_.next_in;
        if (rc == LZMA_STREAM_END)
            return Step::End;
        return rc == LZMA_OK || rc == LZMA_BUF_ERROR ? Step::More : Step::Damaged;
    }

private:
    bool start()
    {
        started_ = true;
        if ((head_[2] | head_[3] << 8) != 5)
            return false;
        unsigned d = head_[4];
        if (d >= 9 * 5 * 5)
            return false;
        lzma_options_lzma o{};
        o.lc = d % 9;
        d /= 9;
        o.lp = d % 5;
        o.pb = d / 5;
        const uint32_t dict = static_cast<uint32_t>(head_[5]) | static_cast<uint32_t>(head_[6]) << 8 |
                              static_cast<uint32_t>(head_[7]) << 16 | static_cast<uint32_t>(head_[8]) << 24;
        // The window never needs to exceed the member: a hostile header
        // asking for 4 GiB for a small member gets what the member needs.
        o.dict_size = static_cast<uint32_t>(
            std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(dict, usize_)));
        // An end marker is taken where the size ends, whatever bit 1 says:
        // writers differ there, and the size and CRC still have to match.
        o.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        o.ext_size_low = static_cast<uint32_t>(usize_);
        o.ext_size_high = static_cast<uint32_t>(usize_ >> 32);
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
        return lzma_raw_decoder(&ls_, filters) == LZMA_OK;
    }

    uint64_t usize_;
    lzma_stream ls_ = LZMA_STREAM_INIT;
    uint8_t head_[9]{};
    size_t headLen_ = 0;
    bool started_ = false;
};

class ZstdDecoder : public MethodDecoder {
public:
    ZstdDecoder() : ds_(ZSTD_createDStream()) {}
    ~ZstdDecoder() override { ZSTD_freeDStream(ds_); }
    Step decode(const uint8_t *&in, size_t &inLen, bool last, uint8_t *out, size_t outCap,
                size_t &produced) override
    {
        if (!ds_)
            return Step::Damaged;
        // Frames may follow each other; the stream is complete when the
        // input ends right after one.
        if (inLen == 0)
            return last && frameDone_ ? Step::End : last ? Step::Damaged : Step::More;
        ZSTD_inBuffer ib{in, inLen, 0};
        ZSTD_outBuffer ob{out, outCap, 0};
        const size_t rc = ZSTD_decompressStream(ds_, &ob, &ib);
        in += ib.pos;
        inLen -= ib.pos;
        produced += ob.pos;
        if (ZSTD_isError(rc))
            return Step::Damaged;
        frameDone_ = rc == 0;
        return frameDone_ && last && inLen == 0 ? Step::End : Step::More;
    }

private:
    ZSTD_DStream *ds_;
    bool frameDone_ = false;
};

} // namespace

std::string methodName(uint16_t method)
{
    switch (method) {
    case 0: return "Stored";
    case 1: return "Shrink";
    case 2: case 3: case 4: case 5: return "Reduce";
    case 6: return "Implode";
    case 8: return "Deflate";
    case 9: return "Deflate64";
    case 10: return "PKWARE Implode";
    case 12: return "BZip2";
    case 14: return "LZMA";
    case 16: return "IBM z/OS CMPSC";
    case 18: return "IBM TERSE";
    case 19: return "IBM LZ77";
    case 20: case 93: return "Zstandard";
    case 94: return "MP3";
    case 95: return "XZ";
    case 96: return "JPEG";
    case 97: return "WavPack";
    case 98: return "PPMd";
    case 99: return "AES";
    default: return std::to_string(method);
    }
}

std::unique_ptr<MethodDecoder> makeDecoder(const MethodMember &m, std::string &why)
{
    switch (m.method) {
    case 0: return std::make_unique<StoredDecoder>();
    case 8: return std::make_unique<DeflateDecoder>();
    case 12: return std::make_unique<Bzip2Decoder>();
    case 14: return std::make_unique<LzmaDecoder>(m.usize);
    case 93: return std::make_unique<ZstdDecoder>();
    default: break;
    }
    const std::string name = methodName(m.method);
    why = "compression method " + std::to_string(m.method) +
          (name == std::to_string(m.method) ? "" : " (" + name + ")") + " not supported";
    return nullptr;
}

} // namespace zipdll
