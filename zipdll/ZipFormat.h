#pragma once
// Zip container pieces shared by libzipdll and libunzdll: a bounds-checked
// little-endian reader, the archive directory reader, DOS times, the
// traditional PKWARE cipher, name rules and the callback reporter.

#include "Zip64.h"
#include "ZipDllRecords.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zipdll {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigEnd64 = 0x06064b50;
constexpr uint32_t kSigEnd64Locator = 0x07064b50;
constexpr uint32_t kSigDescriptor = 0x08074b50;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kFlagStrongCrypt = 0x0040;
constexpr uint16_t kFlagUtf8 = 0x0800;

constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr size_t kIoBlock = 1 << 20; // large buffers: fewer syscalls, faster than unzip

// Reads little-endian values from a byte range. Any read past the end sets a
// sticky error flag and yields zeros, so a record is checked once at its end.
class ByteReader {
public:
    ByteReader(const uint8_t *data, size_t size) : p_(data), size_(size) {}
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    std::string bytes(size_t n);
    void skip(size_t n);
    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t left() const { return ok_ ? size_ - pos_ : 0; }

private:
    const uint8_t *take(size_t n);
    const uint8_t *p_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Appends little-endian values.
void put16(std::string &out, uint16_t v);
void put32(std::string &out, uint32_t v);

struct CentralEntry {
    std::string rawName;   // bytes as stored
    std::string name;      // UTF-8, decoded by decodeName
    uint16_t madeBy = 0, needed = 0, flags = 0, method = 0, dosTime = 0, dosDate = 0;
    uint32_t crc = 0;
    uint64_t csize = 0, usize = 0;
    uint32_t extAttr = 0;
    uint64_t localOffset = 0; // already corrected by the archive's data offset
    std::string comment;
    std::string header; // the 46 fixed bytes as stored, signature included
    std::string extra;  // the central extra fields as stored
    bool isDir() const { return !name.empty() && (name.back() == '/' || name.back() == '\\'); }
    bool encrypted() const { return flags & kFlagEncrypted; }
};

struct Directory {
    std::vector<CentralEntry> entries;
    std::string comment;
    uint64_t fileSize = 0;
    uint64_t cdStart = 0;  // where the central directory really is
    uint64_t dataOffset = 0; // bytes prepended (stub) that the offsets do not count
    // The directory closes with a Zip64 end record although every value
    // fits the classic one (streamed writers do that).
    bool zip64EndRepeats = false;
};

// Reads the end record and the central directory of an open archive. On
// failure returns false with a reason; never reads outside the file.
// `codePage` is the component's CPOpts ordinal: how names without the UTF-8
// flag are read (see decodeName).
enum NameCodePage : int { ncpAuto = 0, ncpNone = 1, ncpOem = 2 };
bool readDirectory(int fd, Directory &dir, std::string &error, int codePage = ncpAuto);

// Locates the data of an entry through its local header; checks that it lies
// before the central directory. Returns false with a reason on failure.
bool locateData(int fd, const Directory &dir, const CentralEntry &e, uint64_t &dataStart,
                std::string &error);

// DOS date/time <-> time_t (local time, as zip tools do).
void toDosTime(int64_t t, uint16_t &dosTime, uint16_t &dosDate);
int64_t fromDosTime(uint16_t dosTime, uint16_t dosDate);

std::string cp437ToUtf8(std::string_view s);
std::string cp1252ToUtf8(std::string_view s);
bool isValidUtf8(std::string_view s);
bool isAscii(std::string_view s);

// A stored name as the component lists it: UTF-8 with flag bit 11; the OEM
// set (CP437) for cpOEM, and for cpAUTO only when the writer's host system
// used it (FAT 0, HPFS 6, NTFS 11 with made-by version 5.0); otherwise the
// bytes themselves when they are UTF-8, else Windows-1252.
std::string decodeName(std::string_view raw, uint16_t flags, uint16_t madeBy, int codePage);

// Traditional PKWARE encryption (APPNOTE 6.1).
class ZipCrypto {
public:
    explicit ZipCrypto(std::string_view password);
    uint8_t decryptByte(uint8_t c)
    {
        uint8_t p = c ^ streamByte();
        update(p);
        return p;
    }
    uint8_t encryptByte(uint8_t p)
    {
        uint8_t c = p ^ streamByte();
        update(p);
        return c;
    }
    void decrypt(uint8_t *buf, size_t n);
    void encrypt(uint8_t *buf, size_t n);

private:
    uint8_t streamByte() const
    {
        uint32_t t = (k2_ & 0xFFFF) | 2;
        return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
    }
    void update(uint8_t c);
    uint32_t k0_ = 305419896u, k1_ = 591751049u, k2_ = 878082192u;
};

// Wildcard match as the Windows DLLs did it: '*' and '?' also cross '/',
// '\' counts as '/', letters compare without case.
bool wildMatch(std::string_view pattern, std::string_view name);

// Sends callback records. A missing callback answers "go on" to everything.
class Reporter {
public:
    Reporter(ZCallbackFunc cb, void *owner, void *caller, bool isZip, int32_t version);
    // Fills a fresh record and calls back; returns the callback's answer
    // (nonzero = stop) and remembers a stop.
    int32_t call(int32_t action, int32_t error, uint32_t size, std::string_view text,
                 std::string_view text2 = {});
    void message(int32_t error, const std::string &text) { call(zacMessage, error, 0, text); }
    // Sizes of 4 GiB and more go out whole: the low 32 bits in the size
    // field, the high ones in the error field, which size reports leave
    // unused. Returns true to go on.
    bool size(int32_t action, uint64_t bytes, std::string_view text = {})
    {
        return call(action, static_cast<int32_t>(bytes >> 32), static_cast<uint32_t>(bytes), text) == 0;
    }
    bool stopped() const { return stopped_; }
    const ZCallBackStruct &record() const { return rec_; }
    std::string replyText() const;
    bool enabled() const { return cb_ != nullptr; }

private:
    ZCallbackFunc cb_;
    void *owner_, *caller_;
    int32_t isZip_, version_;
    bool stopped_ = false;
    ZCallBackStruct rec_{};
};


// Reads/writes the whole buffer, retrying short transfers. false on error.
bool readAll(int fd, void *buf, size_t n, uint64_t offset);
bool writeAll(int fd, const void *buf, size_t n);

} // namespace zipdll

#define ZIPDLL_EXPORT extern "C" __attribute__((visibility("default")))
