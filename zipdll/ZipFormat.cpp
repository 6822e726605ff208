#include "ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace zipdll {

// ---- ByteReader ----------------------------------------------------------

const uint8_t *ByteReader::take(size_t n)
{
    if (!ok_ || n > size_ - pos_) {
        ok_ = false;
        return nullptr;
    }
    const uint8_t *q = p_ + pos_;
    pos_ += n;
    return q;
}

uint8_t ByteReader::u8()
{
    const uint8_t *q = take(1);
    return q ? q[0] : 0;
}

uint16_t ByteReader::u16()
{
    const uint8_t *q = take(2);
    return q ? static_cast<uint16_t>(q[0] | q[1] << 8) : 0;
}

uint32_t ByteReader::u32()
{
    const uint8_t *q = take(4);
    return q ? static_cast<uint32_t>(q[0]) | static_cast<uint32_t>(q[1]) << 8 |
                   static_cast<uint32_t>(q[2]) << 16 | static_cast<uint32_t>(q[3]) << 24
             : 0;
}

uint64_t ByteReader::u64()
{
    uint64_t lo = u32();
    uint64_t hi = u32();
    return lo | hi << 32;
}

std::string ByteReader::bytes(size_t n)
{
    const uint8_t *q = take(n);
    return q ? std::string(reinterpret_cast<const char *>(q), n) : std::string();
}

void ByteReader::skip(size_t n) { take(n); }

void put16(std::string &out, uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void put32(std::string &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// ---- file helpers --------------------------------------------------------

bool readAll(int fd, void *buf, size_t n, uint64_t offset)
{
    auto *p = static_cast<uint8_t *>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return true;
}

bool writeAll(int fd, const void *buf, size_t n)
{
    auto *p = static_cast<const uint8_t *>(buf);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// ---- directory reader ----------------------------------------------------

bool readDirectory(int fd, Directory &dir, std::string &error, int codePage)
{
    dir = Directory{};
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    dir.fileSize = fileSize;
    if (fileSize < 22) {
        error = "no end of central directory record (file too short)";
        return false;
    }
    // The end record sits in the last 22 + 65535 bytes.
    const uint64_t tailLen = std::min<uint64_t>(fileSize, 22 + 65535);
    std::vector<uint8_t> tail(tailLen);
    if (!readAll(fd, tail.data(), tail.size(), fileSize - tailLen)) {
        error = "cannot read the archive";
        return false;
    }
    // Prefer a record whose comment ends exactly at the end of the file (a
    // comment may itself contain the signature); then accept trailing junk;
    // last a comment that runs past the end of the file, kept as far as it
    // goes, as the component's own listing reads it.
    int64_t found = -1;
    for (int pass = 0; pass < 3 && found < 0; ++pass) {
        for (int64_t i = static_cast<int64_t>(tailLen) - 22; i >= 0; --i) {
            if (tail[i] == 0x50 && tail[i + 1] == 0x4b && tail[i + 2] == 5 && tail[i + 3] == 6) {
                uint64_t end = static_cast<uint64_t>(i) + 22 + (tail[i + 20] | tail[i + 21] << 8);
                if (pass == 0 ? end == tailLen : pass == 1 ? end <= tailLen : true) {
                    found = i;
                    break;
                }
            }
        }
    }
    if (found < 0) {
        error = "no end of central directory record";
        return false;
    }
    const uint64_t eocdPos = fileSize - tailLen + static_cast<uint64_t>(found);
    ByteReader er(tail.data() + found, tailLen - static_cast<uint64_t>(found));
    er.u32();
    er.u16(); // this disk
    er.u16(); // disk with the directory
    er.u16(); // entries on this disk
    uint64_t count = er.u16();
    uint64_t cdSize = er.u32();
    uint64_t cdOffset = er.u32();
    uint16_t clen = er.u16();
    clen = static_cast<uint16_t>(std::min<uint64_t>(clen, tailLen - static_cast<uint64_t>(found) - 22));
    dir.comment = er.bytes(clen);
    if (!er.ok()) {
        error = "end of central directory record truncated";
        return false;
    }
    uint64_t cdEnd = eocdPos; // the directory ends where its end record(s) start

    // A Zip64 end record and its locator may sit between the directory and
    // the end record (Info-ZIP writes them for streamed input even when no
    // value overflows); the directory then ends at the Zip64 record, whose
    // values win where the classic ones overflowed.
    if (eocdPos >= zip64::kLocatorSize + zip64::kEnd64Size) {
        uint8_t loc[zip64::kLocatorSize];
        if (readAll(fd, loc, sizeof loc, eocdPos - zip64::kLocatorSize) && zip64::le(loc, 4) == zip64::kSigLocator) {
            const uint64_t limit = eocdPos - zip64::kLocatorSize;
            // The stated offset does not count a prepended stub, and an
            // extensible data sector makes the record longer than 56 bytes:
            // take the stated place, else the record that ends at the locator.
            std::vector<uint64_t> places{zip64::le(loc + 8, 8)};
            const uint64_t span = std::min<uint64_t>(limit, zip64::kEnd64Size + 1024);
            std::vector<uint8_t> back(span);
            if (readAll(fd, back.data(), back.size(), limit - span))
                for (uint64_t size = zip64::kEnd64Size; size <= span; ++size)
                    if (zip64::le(&back[span - size], 4) == zip64::kSigEnd64 &&
                        zip64::le(&back[span - size + 4], 8) + 12 == size)
                        places.push_back(limit - size);
            bool found64 = false;
            for (uint64_t at : places) {
                uint8_t rec[zip64::kEnd64Size];
                zip64::End e64;
                uint64_t recSize = 0;
                if (at > limit - zip64::kEnd64Size || !readAll(fd, rec, sizeof rec, at) ||
                    !zip64::parseEnd64(rec, sizeof rec, e64, recSize) || at + recSize > limit)
                    continue;
                if (count == zip64::kMax16)
                    count = e64.entries;
                if (cdSize == kMax32)
                    cdSize = e64.cdSize;
                if (cdOffset == kMax32)
                    cdOffset = e64.cdOffset;
                cdEnd = at;
                found64 = true;
                dir.zip64EndRepeats = count < zip64::kMax16 && cdSize < kMax32 && cdOffset < kMax32;
                break;
            }
            if (!found64 && (count == zip64::kMax16 || cdSize == kMax32 || cdOffset == kMax32)) {
                error = "the Zip64 end of central directory record is missing or damaged";
                return false;
            }
        }
    }

    if (cdSize > cdEnd) {
        error = "central directory size larger than the archive";
        return false;
    }
    const uint64_t cdStart = cdEnd - cdSize;
    if (cdOffset > cdStart) {
        error = "central directory offset beyond the directory";
        return false;
    }
    dir.cdStart = cdStart;
    dir.dataOffset = cdStart - cdOffset;
    // Each central entry takes at least 46 bytes: a huge count in a small
    // directory is a lie, not a reason to reserve memory.
    if (count > cdSize / 46) {
        error = "central directory holds fewer entries than its end record says";
        return false;
    }
    std::vector<uint8_t> cd(cdSize);
    if (cdSize && !readAll(fd, cd.data(), cd.size(), cdStart)) {
        error = "cannot read the central directory";
        return false;
    }
    ByteReader r(cd.data(), cd.size());
    dir.entries.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        CentralEntry e;
        const size_t at = r.pos();
        if (r.u32() != kSigCentral) {
            error = "central directory entry " + std::to_string(i + 1) + " has a bad signature";
            return false;
        }
        e.madeBy = r.u16();
        e.needed = r.u16();
        e.flags = r.u16();
        e.method = r.u16();
        e.dosTime = r.u16();
        e.dosDate = r.u16();
        e.crc = r.u32();
        e.csize = r.u32();
        e.usize = r.u32();
        uint16_t nlen = r.u16();
        uint16_t xlen = r.u16();
        uint16_t mlen = r.u16();
        const uint16_t disk = r.u16();
        r.u16(); // internal attributes
        e.extAttr = r.u32();
        e.localOffset = r.u32();
        e.rawName = r.bytes(nlen);
        e.extra = r.bytes(xlen);
        e.comment = r.bytes(mlen);
        if (!r.ok()) {
            error = "central directory entry " + std::to_string(i + 1) + " is truncated";
            return false;
        }
        e.header.assign(reinterpret_cast<const char *>(cd.data() + at), 46);
        zip64::Deferred d;
        d.usize = e.usize == kMax32;
        d.csize = e.csize == kMax32;
        d.offset = e.localOffset == kMax32;
        d.disk = disk == zip64::kMax16;
        zip64::Values v{e.usize, e.csize, e.localOffset, disk};
        if (d.any() && !zip64::readExtra(e.extra, d, v)) {
            error = "central directory entry " + std::to_string(i + 1) + " has a bad Zip64 field";
            return false;
        }
        e.usize = v.usize;
        e.csize = v.csize;
        e.localOffset = v.offset;
        if (e.localOffset > cdOffset) {
            error = "local header offset of entry " + std::to_string(i + 1) + " is out of range";
            return false;
        }
        e.localOffset += dir.dataOffset;
        e.name = decodeName(e.rawName, e.flags, e.madeBy, codePage);
        dir.entries.push_back(std::move(e));
    }
    // The counted headers must fill the directory (a digital signature
    // record may close it): members beyond the count would be missed by
    // every extract and test.
    if (r.left() != 0 && !(r.left() >= 4 && ByteReader(cd.data() + r.pos(), 4).u32() == 0x05054b50)) {
        error = "central directory holds more entries than its end record says";
        return false;
    }
    // Entries whose data overlap another's are the mark of a zip bomb or of
    // damage; refuse the archive rather than guess.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    spans.reserve(dir.entries.size());
    for (const auto &e : dir.entries)
        spans.emplace_back(e.localOffset, e.localOffset + 30 + e.rawName.size() + e.csize);
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first < spans[i - 1].second) {
            error = "archive members overlap (damaged archive or zip bomb)";
            return false;
        }
    }
    return true;
}

bool locateData(int fd, const Directory &dir, const CentralEntry &e, uint64_t &dataStart,
                std::string &error)
{
    uint8_t h[30];
    if (e.localOffset + 30 > dir.cdStart || !readAll(fd, h, sizeof h, e.localOffset)) {
        error = "local header of " + e.name + " lies outside the archive";
        return false;
    }
    ByteReader r(h, sizeof h);
    if (r.u32() != kSigLocal) {
        error = "local header of " + e.name + " has a bad signature";
        return false;
    }
    r.u16(); // version needed
    const uint16_t flags = r.u16();
    const uint16_t method = r.u16();
    r.skip(8); // time, date, CRC
    uint64_t csize = r.u32(), usize = r.u32();
    const uint16_t nlen = r.u16();
    const uint16_t xlen = r.u16();
    dataStart = e.localOffset + 30 + nlen + xlen;
    if (dataStart > dir.cdStart || e.csize > dir.cdStart - dataStart) {
        error = "data of " + e.name + " runs past the end of the archive data";
        return false;
    }
    // The local header must describe the member the directory lists: a
    // reader going by local headers (or a damaged directory) would
    // otherwise see another archive than the listing shows.
    std::string var(size_t(nlen) + xlen, '\0');
    if (!var.empty() && !readAll(fd, var.data(), var.size(), e.localOffset + 30)) {
        error = "cannot read the local header of " + e.name;
        return false;
    }
    if (var.compare(0, nlen, e.rawName) != 0 || method != e.method) {
        error = "local header of " + e.name + " names another member or method than the central directory";
        return false;
    }
    if (!(flags & kFlagDescriptor) && !(e.flags & kFlagDescriptor)) {
        zip64::Values v{usize, csize, 0, 0};
        const zip64::Deferred d{usize == kMax32, csize == kMax32, false, false};
        if (!zip64::readExtra(var.substr(nlen), d, v) || v.usize != e.usize || v.csize != e.csize) {
            error = "local header of " + e.name + " gives other sizes than the central directory";
            return false;
        }
    }
    return true;
}

// ---- times and names -----------------------------------------------------

void toDosTime(int64_t t, uint16_t &dosTime, uint16_t &dosDate)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm{};
    if (!localtime_r(&tt, &tm) || tm.tm_year < 80) {
        dosTime = 0;
        dosDate = (1 << 5) | 1; // 1980-01-01
        return;
    }
    if (tm.tm_year > 207)
        tm.tm_year = 207;
    dosTime = static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    dosDate = static_cast<uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

int64_t fromDosTime(uint16_t dosTime, uint16_t dosDate)
{
    struct tm tm{};
    tm.tm_year = (dosDate >> 9) + 80;
    tm.tm_mon = ((dosDate >> 5) & 15) - 1;
    tm.tm_mday = dosDate & 31;
    tm.tm_hour = dosTime >> 11;
    tm.tm_min = (dosTime >> 5) & 63;
    tm.tm_sec = (dosTime & 31) * 2;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm));
}

bool isAscii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string cp437ToUtf8(std::string_view s)
{
    static const uint16_t high[128] = {
        0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
        0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
        0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
        0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
        0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
        0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
        0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
        0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
        0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
        0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
        0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
        0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
    std::string out;
    out.reserve(s.size() * 2);
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
            continue;
        }
        uint16_t u = high[c - 0x80];
        if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | u >> 6));
        } else {
            out.push_back(static_cast<char>(0xE0 | u >> 12));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        }
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
    return out;
}

namespace {
void appendUtf8(std::string &out, uint32_t u)
{
    if (u < 0x80) {
        out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
        out.push_back(static_cast<char>(0xC0 | u >> 6));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | u >> 12));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
}
} // namespace

std::string cp1252ToUtf8(std::string_view s)
{
    // 0x80..0x9F of Windows-1252 (0 = undefined, kept as the C1 control).
    static const uint16_t c1[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
                                    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};
    std::string out;
    out.reserve(s.size() * 2);
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        appendUtf8(out, c >= 0x80 && c < 0xA0 && c1[c - 0x80] ? c1[c - 0x80] : c);
    }
    return out;
}

bool isValidUtf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (b & 0x3F);
        }
        if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += n;
    }
    return true;
}

std::string decodeName(std::string_view raw, uint16_t flags, uint16_t madeBy, int codePage)
{
    if (flags & kFlagUtf8)
        return isValidUtf8(raw) ? std::string(raw) : cp1252ToUtf8(raw);
    const unsigned host = madeBy >> 8, version = madeBy & 0xFF;
    const bool oem = codePage == ncpOem ||
                     (codePage == ncpAuto && (host == 0 || host == 6 || (host == 11 && version == 50)));
    if (oem)
        return cp437ToUtf8(raw);
    return isValidUtf8(raw) ? std::string(raw) : cp1252ToUtf8(raw);
}

// ---- cipher ----------------------------------------------------------------

ZipCrypto::ZipCrypto(std::string_view password)
{
    for (char c : password)
        update(static_cast<uint8_t>(c));
}

void ZipCrypto::update(uint8_t c)
{
    static const z_crc_t *table = get_crc_table();
    k0_ = table[(k0_ ^ c) & 0xFF] ^ (k0_ >> 8);
    k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
    k2_ = table[(k2_ ^ (k1_ >> 24)) & 0xFF] ^ (k2_ >> 8);
}

void ZipCrypto::decrypt(uint8_t *buf, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        buf[i] = decryptByte(buf[i]);
}

void ZipCrypto::encrypt(uint8_t *buf, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        buf[i] = encryptByte(buf[i]);
}

// ---- wildcards -------------------------------------------------------------

namespace {

char fold(char c)
{
    if (c == '\\')
        return '/';
    if (c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    return c;
}

} // namespace

bool wildMatch(std::string_view pat, std::string_view name)
{
    // Iterative matcher with one backtrack point: linear enough for names.
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pat.size() && pat[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pat.size() && (pat[p] == '?' || fold(pat[p]) == fold(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p] == '*')
        ++p;
    return p == pat.size();
}

// ---- callback ----------------------------------------------------------------

Reporter::Reporter(ZCallbackFunc cb, void *owner, void *caller, bool isZip, int32_t version)
    : cb_(cb), owner_(owner), caller_(caller), isZip_(isZip ? 1 : 0), version_(version)
{
}

int32_t Reporter::call(int32_t action, int32_t error, uint32_t size, std::string_view text,
                       std::string_view text2)
{
    if (!cb_)
        return 0;
    std::memset(&rec_, 0, sizeof rec_);
    rec_.OwnerWindow = owner_;
    rec_.Caller = caller_;
    rec_.Version = version_;
    rec_.IsZip = isZip_;
    rec_.ActionCode = action;
    rec_.ErrorCode = error;
    rec_.FileSize = size;
    size_t limit = text2.empty() ? ZCB_MAX_NAME : ZCB_COMMENT_OFFSET - 1;
    if (!text.empty())
        std::memcpy(rec_.Text, text.data(), std::min(text.size(), limit));
    if (!text2.empty())
        std::memcpy(rec_.Text + ZCB_COMMENT_OFFSET, text2.data(),
                    std::min<size_t>(text2.size(), ZCB_TEXT_SIZE - ZCB_COMMENT_OFFSET - 1));
    int32_t answer = cb_(&rec_);
    if (answer != 0)
        stopped_ = true;
    return answer;
}

std::string Reporter::replyText() const
{
    const char *t = rec_.Text;
    return std::string(t, strnlen(t, ZCB_TEXT_SIZE));
}

} // namespace zipdll
