#pragma once
// Zip64 records (APPNOTE 4.3.9, 4.3.14, 4.3.15, 4.5.3), shared by the two
// libraries and the zip component: the extended information extra field,
// the Zip64 end record and its locator, and data descriptors with 8-byte
// sizes. Header only: the libraries link nothing but zlib.

#include <cstddef>
#include <cstdint>
#include <string>

namespace zip64 {

constexpr uint32_t kSigEnd64 = 0x06064b50;
constexpr uint32_t kSigLocator = 0x07064b50;
constexpr uint32_t kSigDescriptor = 0x08074b50;
constexpr uint16_t kExtraId = 0x0001;
constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr uint64_t kMax16 = 0xFFFFu;
constexpr size_t kEnd64Size = 56; // without an extensible data sector
constexpr size_t kLocatorSize = 20;
constexpr uint16_t kVersionNeeded = 45;

inline uint64_t le(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

inline void put(std::string &out, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline void poke(uint8_t *p, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Where the 0x0001 field sits in an extra block: start of its 4-byte
// header, or npos. A malformed block (a length running past the end) ends
// the walk.
inline size_t findField(const std::string &extra, uint16_t id)
{
    const auto *p = reinterpret_cast<const uint8_t *>(extra.data());
    for (size_t at = 0; at + 4 <= extra.size();) {
        const size_t len = static_cast<size_t>(le(p + at + 2, 2));
        if (at + 4 + len > extra.size())
            return std::string::npos;
        if (le(p + at, 2) == id)
            return at;
        at += 4 + len;
    }
    return std::string::npos;
}

// The values a header defers to the extra field. Only those whose fixed
// field holds its maximum are stored, always in this order.
struct Values {
    uint64_t usize = 0, csize = 0, offset = 0;
    uint32_t disk = 0;
};
struct Deferred {
    bool usize = false, csize = false, offset = false, disk = false;
    bool any() const { return usize || csize || offset || disk; }
};

// Reads the deferred values from the extra block. false: the field is
// missing or shorter than the deferred values need (values stay as given).
inline bool readExtra(const std::string &extra, Deferred d, Values &v)
{
    const size_t at = findField(extra, kExtraId);
    if (at == std::string::npos)
        return !d.any();
    const auto *p = reinterpret_cast<const uint8_t *>(extra.data()) + at + 4;
    const size_t len = static_cast<size_t>(le(p - 2, 2));
    size_t pos = 0;
    auto take = [&](bool want, uint64_t &out, int n) {
        if (!want)
            return true;
        if (pos + static_cast<size_t>(n) > len)
            return false;
        out = le(p + pos, n);
        pos += static_cast<size_t>(n);
        return true;
    };
    uint64_t disk = v.disk;
    const bool ok = take(d.usize, v.usize, 8) && take(d.csize, v.csize, 8) && take(d.offset, v.offset, 8) &&
                    take(d.disk, disk, 4);
    v.disk = static_cast<uint32_t>(disk);
    return ok;
}

// The 0x0001 field holding `v` for the deferred values, header included.
inline std::string makeExtra(Deferred d, const Values &v)
{
    std::string body;
    if (d.usize)
        put(body, v.usize, 8);
    if (d.csize)
        put(body, v.csize, 8);
    if (d.offset)
        put(body, v.offset, 8);
    if (d.disk)
        put(body, v.disk, 4);
    std::string f;
    put(f, kExtraId, 2);
    put(f, body.size(), 2);
    return f + body;
}

// Gives a kept central header (46 bytes) and its extra block a new local
// header offset, touching nothing else: the fixed field when the value fits
// and the offset was not deferred, else the value in the 0x0001 field (which
// is made when missing). false when the extra block would outgrow 64 KiB.
inline bool setCentralOffset(uint8_t *hdr, std::string &extra, uint64_t offset)
{
    const bool deferred = le(hdr + 42, 4) == kMax32;
    if (!deferred && offset < kMax32) {
        poke(hdr + 42, offset, 4);
        return true;
    }
    Deferred d;
    d.usize = le(hdr + 24, 4) == kMax32;
    d.csize = le(hdr + 20, 4) == kMax32;
    d.offset = deferred;
    d.disk = le(hdr + 34, 2) == kMax16;
    Values v;
    if (!readExtra(extra, d, v))
        return false;
    d.offset = true;
    v.offset = offset;
    const std::string field = makeExtra(d, v);
    const size_t at = findField(extra, kExtraId);
    std::string out = extra;
    if (at == std::string::npos) {
        out += field;
    } else {
        const size_t len = static_cast<size_t>(le(reinterpret_cast<const uint8_t *>(extra.data()) + at + 2, 2));
        out.replace(at, 4 + len, field);
    }
    if (out.size() > 0xFFFF)
        return false;
    extra = out;
    poke(hdr + 42, kMax32, 4);
    poke(hdr + 30, extra.size(), 2);
    return true;
}

// The values of an end record, Zip64 or not.
struct End {
    uint32_t thisDisk = 0, cdDisk = 0;
    uint64_t entriesOnDisk = 0, entries = 0, cdSize = 0, cdOffset = 0;
};

// Parses a Zip64 end record (at least 56 bytes at p). false: not one.
inline bool parseEnd64(const uint8_t *p, size_t avail, End &e, uint64_t &recordSize)
{
    if (avail < kEnd64Size || le(p, 4) != kSigEnd64)
        return false;
    recordSize = le(p + 4, 8) + 12;
    e.thisDisk = static_cast<uint32_t>(le(p + 16, 4));
    e.cdDisk = static_cast<uint32_t>(le(p + 20, 4));
    e.entriesOnDisk = le(p + 24, 8);
    e.entries = le(p + 32, 8);
    e.cdSize = le(p + 40, 8);
    e.cdOffset = le(p + 48, 8);
    return recordSize >= kEnd64Size;
}

// Whether an end record with these values needs the Zip64 records: a
// fixed field at its maximum would otherwise be read as "see Zip64".
inline bool needsZip64(const End &e)
{
    return e.entries >= kMax16 || e.entriesOnDisk >= kMax16 || e.cdSize >= kMax32 || e.cdOffset >= kMax32 ||
           e.thisDisk >= kMax16 || e.cdDisk >= kMax16;
}

// The end records (without the archive comment): when needed, the Zip64
// end record at `end64Pos` (where the central directory ends) and its
// locator, then the classic record with `commentLen`, its overflowing
// fields set to their maximum. `keepZip64`: write the Zip64 records even
// when no value needs them (an archive that had them keeps its layout).
inline std::string endRecords(const End &e, uint64_t end64Pos, uint16_t commentLen, uint32_t totalDisks = 1,
                              bool keepZip64 = false)
{
    std::string out;
    const bool big = keepZip64 || needsZip64(e);
    if (big) {
        put(out, kSigEnd64, 4);
        put(out, kEnd64Size - 12, 8);
        put(out, (3u << 8) | kVersionNeeded, 2); // made by: Unix, 4.5
        put(out, kVersionNeeded, 2);
        put(out, e.thisDisk, 4);
        put(out, e.cdDisk, 4);
        put(out, e.entriesOnDisk, 8);
        put(out, e.entries, 8);
        put(out, e.cdSize, 8);
        put(out, e.cdOffset, 8);
        put(out, kSigLocator, 4);
        put(out, e.thisDisk, 4); // the disk holding the Zip64 end record
        put(out, end64Pos, 8);
        put(out, totalDisks, 4);
    }
    auto cap = [big](uint64_t v, uint64_t max) { return big && v >= max ? max : v; };
    put(out, 0x06054b50, 4);
    put(out, cap(e.thisDisk, kMax16), 2);
    put(out, cap(e.cdDisk, kMax16), 2);
    put(out, cap(e.entriesOnDisk, kMax16), 2);
    put(out, cap(e.entries, kMax16), 2);
    put(out, cap(e.cdSize, kMax32), 4);
    put(out, cap(e.cdOffset, kMax32), 4);
    put(out, commentLen, 2);
    return out;
}

// How many bytes the data descriptor behind a member's data takes, from
// the first up to 24 bytes there: with or without its signature, with 4- or
// 8-byte sizes. The one whose values match the central directory wins;
// without a match, the layout the member's Zip64 use implies.
inline size_t descriptorLength(const uint8_t *p, size_t avail, uint32_t crc, uint64_t csize, uint64_t usize,
                               bool zip64)
{
    for (int sig = 1; sig >= 0; --sig) {
        const size_t s = sig ? 4 : 0;
        if (sig && (avail < 4 || le(p, 4) != kSigDescriptor))
            continue;
        for (int wide = 0; wide <= 1; ++wide) {
            const int n = wide ? 8 : 4;
            const size_t len = s + 4 + 2 * static_cast<size_t>(n);
            if (len > avail)
                continue;
            if (le(p + s, 4) == crc && le(p + s + 4, n) == (wide ? csize : (csize & kMax32)) &&
                le(p + s + 4 + n, n) == (wide ? usize : (usize & kMax32)))
                return len;
        }
    }
    const bool sig = avail >= 4 && le(p, 4) == kSigDescriptor;
    return (sig ? 4 : 0) + (zip64 ? 20 : 12);
}

} // namespace zip64
