// Reading the archive directory: end record, central directory, comment.

#include "zip/ByteReader.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipMessages.h"

#include "zipdll/Zip64.h"

#include "platform/Cursor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

using namespace zipmsg;

namespace {

constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kSpanSig = 0x08074B50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kMaxTail = 65535 + kEndSize;

bool seekTo(std::FILE *f, int64_t pos) { return pos >= 0 && fseeko(f, static_cast<off_t>(pos), SEEK_SET) == 0; }

size_t readSome(std::FILE *f, void *buf, size_t n) { return n ? std::fread(buf, 1, n, f) : 0; }

ZipEndOfCentral parseEnd(const uint8_t *p)
{
    ByteReader r(p, kEndSize);
    ZipEndOfCentral e;
    e.HeaderSig = r.u32();
    e.ThisDiskNo = r.u16();
    e.CentralDiskNo = r.u16();
    e.CentralEntriesOnDisk = r.u16();
    e.TotalEntries = r.u16();
    e.CentralSize = r.u32();
    e.CentralOffset = r.u32();
    e.ZipCommentLen = r.u16();
    return e;
}

bool fileExists(const std::string &name)
{
    struct stat st{};
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where a Zip64 end record standing right before its locator (itself right
// before the end record at `eocPos`) begins; -1 when there is a locator but
// no such record, `eocPos` when there is no locator.
int64_t zip64EndStart(std::FILE *f, int64_t eocPos)
{
    constexpr int64_t kLocator = 20, kMinEnd64 = 56;
    uint8_t loc[kLocator];
    if (eocPos < kLocator + kMinEnd64 || !seekTo(f, eocPos - kLocator) || readSome(f, loc, kLocator) != kLocator)
        return eocPos;
    ByteReader r(loc, kLocator);
    if (r.u32() != zip64::kSigLocator)
        return eocPos;
    // The locator's offset may be off by a stub, and an extensible data
    // sector makes the record longer: take the record that ends right at the
    // locator, recognised by its signature and its own size field.
    const int64_t span = std::min<int64_t>(kMinEnd64 + 1024, eocPos - kLocator);
    std::vector<uint8_t> buf(static_cast<size_t>(span));
    if (!seekTo(f, eocPos - kLocator - span) || readSome(f, buf.data(), buf.size()) != buf.size())
        return -1;
    for (int64_t size = kMinEnd64; size <= span; ++size) {
        const uint8_t *p = buf.data() + (span - size);
        if (zip64::le(p, 4) == zip64::kSigEnd64 && zip64::le(p + 4, 8) + 12 == static_cast<uint64_t>(size))
            return eocPos - kLocator - size;
    }
    return -1;
}

// What a member's local header must repeat from its central record.
struct LocalExpect {
    std::string raw, shown;
    uint16_t flag, method;
    uint64_t csize, usize, offset;
};

// Name and method always; the sizes unless a data descriptor carries them.
bool localMatches(int fd, int64_t shift, const LocalExpect &x)
{
    const int64_t at = static_cast<int64_t>(x.offset) + shift;
    std::string h(30 + x.raw.size(), '\0');
    if (at < 0 || ::pread(fd, h.data(), h.size(), at) != static_cast<ssize_t>(h.size()))
        return false;
    const auto *p = reinterpret_cast<const uint8_t *>(h.data());
    const uint64_t nlen = zip64::le(p + 26, 2), xlen = zip64::le(p + 28, 2);
    if (zip64::le(p, 4) != kLocalSig || zip64::le(p + 8, 2) != x.method || nlen != x.raw.size() ||
        h.compare(30, nlen, x.raw) != 0)
        return false;
    if ((zip64::le(p + 6, 2) & 8) || (x.flag & 8))
        return true;
    zip64::Values v{zip64::le(p + 22, 4), zip64::le(p + 18, 4), 0, 0};
    const zip64::Deferred d{v.usize == zip64::kMax32, v.csize == zip64::kMax32, false, false};
    if (d.any()) {
        std::string extra(xlen, '\0');
        if (::pread(fd, extra.data(), xlen, at + 30 + static_cast<int64_t>(nlen)) != static_cast<ssize_t>(xlen) ||
            !zip64::readExtra(extra, d, v))
            return false;
    }
    return v.usize == x.usize && v.csize == x.csize;
}

// Restores the normal cursor however List ends.
struct WaitCursor {
    WaitCursor() { platform::cursor().set(platform::CursorShape::Wait); }
    ~WaitCursor() { platform::cursor().set(platform::CursorShape::Default); }
};

} // namespace

bool TZipBuilder::CheckIfLastDisk(ZipEndOfCentral &eoc, bool raiseErrors)
{
    rawComment_.clear();
    endOfCentralOffset_ = 0;
    directoryEnd_ = 0;
    firstOfSet_ = false;
    file_.reset(std::fopen(workName_.c_str(), "rb"));
    struct stat st{};
    if (!file_ || ::fstat(fileno(file_.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        file_.reset();
        if (raiseErrors)
            throw EZipBuilder(DS_NoInFile, true);
        ShowZipMessage(DS_FileOpen);
        return false;
    }
    std::FILE *f = file_.get();
    const int64_t size = st.st_size;

    uint8_t head[8];
    if (readSome(f, head, 8) == 8) {
        ByteReader r(head, 8);
        uint32_t a = r.u32(), b = r.u32();
        if (a == kSpanSig && b == kLocalSig) {
            firstOfSet_ = true;
            spanned_ = true;
        }
    }

    try {
        // The usual case: an archive without comment ends with the bare record.
        if (size >= static_cast<int64_t>(kEndSize) && seekTo(f, size - kEndSize)) {
            logicalSize_ = physicalSize_ = size;
            uint8_t rec[kEndSize];
            if (readSome(f, rec, kEndSize) == kEndSize) {
                eoc = parseEnd(rec);
                if (eoc.HeaderSig == kEndSig && eoc.ZipCommentLen == 0) {
                    endOfCentralOffset_ = size - kEndSize;
                    readZip64End(eoc);
                    return true;
                }
            }
        }
        logicalSize_ = physicalSize_ = size;
        const size_t len = static_cast<size_t>(std::min<int64_t>(size, kMaxTail));
        if (!seekTo(f, size - static_cast<int64_t>(len)))
            throw EZipBuilder(DS_FailedSeek, true);
        std::vector<uint8_t> buf(len);
        if (readSome(f, buf.data(), len) != len)
            throw EZipBuilder(DS_EOCBadRead, true);
        for (size_t i = len >= kEndSize ? len - kEndSize + 1 : 0; i-- > 0;) {
            if (buf[i] != 'P' || buf[i + 1] != 'K' || buf[i + 2] != 5 || buf[i + 3] != 6)
                continue;
            endOfCentralOffset_ = size - static_cast<int64_t>(len) + static_cast<int64_t>(i);
            eoc = parseEnd(&buf[i]);
            const size_t after = len - i - kEndSize; // bytes behind the record
            size_t commentLen = eoc.ZipCommentLen;
            if (commentLen > after) {
                // The comment runs past the end of the file: keep what is there.
                commentLen = after;
                eoc.ZipCommentLen = static_cast<uint16_t>(after);
            } else if (commentLen < after) {
                const size_t extra = after - commentLen;
                logicalSize_ -= static_cast<int64_t>(extra);
                bool zeroFill = physicalSize_ % 512 == 0 && extra < 512;
                for (size_t k = len - extra; zeroFill && k < len; ++k)
                    zeroFill = buf[k] == 0;
                if (!zeroFill)
                    ShowZipMessage(LI_GarbageAtEOF);
            }
            if (commentLen) {
                const char *c = reinterpret_cast<const char *>(&buf[i + kEndSize]);
                rawComment_.assign(c, strnlen(c, commentLen));
            }
            readZip64End(eoc);
            return true;
        }
    } catch (const EZipBuilder &) {
        if (raiseErrors)
            throw;
        return false;
    }
    if (!raiseErrors)
        return false;
    if (!firstOfSet_ && volumeSeq_ != 0)
        throw EZipBuilder(DS_NotLastInSet, volumeSeq_);
    if (!firstOfSet_)
        throw EZipBuilder(DS_NoValidZip, true);
    if (volumeSeq_ == 1)
        throw EZipBuilder(DS_FirstInSet, true);
    throw EZipBuilder(DS_FirstFileOnHD, true);
}

// Takes the values that overflowed the end record from the Zip64 end
// record, and checks what the directory's size must at least be.
void TZipBuilder::readZip64End(ZipEndOfCentral &eoc)
{
    directoryEnd_ = endOfCentralOffset_;
    const bool overflow = eoc.ThisDiskNo == zip64::kMax16 || eoc.CentralDiskNo == zip64::kMax16 ||
                          eoc.CentralEntriesOnDisk == zip64::kMax16 || eoc.TotalEntries == zip64::kMax16 ||
                          eoc.CentralSize == zip64::kMax32 || eoc.CentralOffset == zip64::kMax32;
    std::FILE *f = file_.get();
    const int64_t start = zip64EndStart(f, endOfCentralOffset_);
    if (start != endOfCentralOffset_) {
        uint8_t rec[zip64::kEnd64Size];
        zip64::End e;
        uint64_t recSize = 0;
        if (start < 0 || !seekTo(f, start) || readSome(f, rec, sizeof rec) != sizeof rec ||
            !zip64::parseEnd64(rec, sizeof rec, e, recSize)) {
            if (overflow)
                throw EZipBuilder(LI_ReadZipError, true);
        } else {
            auto take = [](auto &field, uint64_t max, uint64_t wide) {
                if (field == max)
                    field = static_cast<std::remove_reference_t<decltype(field)>>(wide);
            };
            // Disk numbers defer too (a writer may put 0xFFFF in every
            // field); sets of 65,535 volumes and more stay unread.
            take(eoc.ThisDiskNo, zip64::kMax16, std::min<uint64_t>(e.thisDisk, zip64::kMax16));
            take(eoc.CentralDiskNo, zip64::kMax16, std::min<uint64_t>(e.cdDisk, zip64::kMax16));
            take(eoc.CentralEntriesOnDisk, zip64::kMax16, e.entriesOnDisk);
            take(eoc.TotalEntries, zip64::kMax16, e.entries);
            take(eoc.CentralSize, zip64::kMax32, e.cdSize);
            take(eoc.CentralOffset, zip64::kMax32, e.cdOffset);
            eoc.Zip64 = true;
            directoryEnd_ = start;
        }
    } else if (eoc.CentralSize == zip64::kMax32 || eoc.CentralOffset == zip64::kMax32) {
        // Deferred to a Zip64 record that is not there. (A count of 65,535
        // without one is simply exact.)
        throw EZipBuilder(LI_ReadZipError, true);
    }
    // Every central header takes at least 46 bytes: a 64-bit count the
    // directory cannot hold is damage, not a reason to reserve memory.
    if (eoc.Zip64 && (eoc.TotalEntries > eoc.CentralSize / kCentralSize ||
                      (eoc.ThisDiskNo == eoc.CentralDiskNo && eoc.CentralSize > static_cast<uint64_t>(directoryEnd_))))
        throw EZipBuilder(LI_ReadZipError, true);
}

void TZipBuilder::List()
{
    Entries.clear();
    physicalSize_ = 0;
    logicalSize_ = 0;
    centralDirOffset_ = 0;
    cdPosition_ = 0;
    archiveDataOffset_ = 0;
    spanned_ = false;
    shifted_ = false;
    diskNr_ = 0;
    skippedDirEntryCount_ = 0;
    rawComment_.clear();
    endOfCentralOffset_ = 0;
    hostNum_ = hostVer_ = 0;

    if (!fileExists(zipFileName_)) {
        if (OnDirUpdate)
            OnDirUpdate(this);
        return;
    }

    WaitCursor cursor;
    workName_ = zipFileName_;
    ZipEndOfCentral eoc;
    bool failed = false;
    try {
        SetDriveFromName(workName_);
        if (!IsDiskPresent())
            throw EZipBuilder(DS_DriveNoMount, VolumeDrive());
        CheckIfLastDisk(eoc, true);
        listEntries(eoc);
    } catch (const EZipBuilder &e) {
        ShowExceptionError(e);
        failed = true;
    } catch (const std::bad_alloc &) {
        ShowZipMessage(GE_NoMem);
        failed = true;
    } catch (const std::exception &e) {
        std::string what = e.what();
        ShowZipMessage(LI_ErrorUnknown, what.empty() ? std::string() : "\n" + what);
        failed = true;
    }
    if (failed) {
        zipFileName_.clear(); // directly: listing again would repeat the error
        archiveDataOffset_ = 0;
    } else {
        // A stub put in front of an archive whose offsets were not adjusted.
        archiveDataOffset_ += cdPosition_ - static_cast<int64_t>(eoc.CentralOffset);
    }
    file_.reset();
    if (OnDirUpdate)
        OnDirUpdate(this);
}

void TZipBuilder::listEntries(const ZipEndOfCentral &eoc)
{
    std::FILE *f = file_.get();
    diskNr_ = eoc.ThisDiskNo;
    if (diskNr_ != 0)
        spanned_ = true;

    int64_t position;
    if (eoc.ThisDiskNo == eoc.CentralDiskNo) {
        // The directory ends right before the end record, or before the
        // ZIP64 end record that writers streaming from a pipe put in between.
        position = directoryEnd_ - static_cast<int64_t>(eoc.CentralSize);
    } else {
        totalDisks_ = eoc.ThisDiskNo;
        GetNewDisk(eoc.CentralDiskNo);
        f = file_.get();
        position = eoc.CentralOffset;
    }
    shifted_ = static_cast<int64_t>(eoc.CentralOffset) != position;
    if (shifted_)
        ShowZipMessage(LI_WrongZipStruct);
    if (!seekTo(f, position))
        throw EZipBuilder(LI_ReadZipError, true);
    centralDirOffset_ = cdPosition_ = position;
    archiveDataOffset_ = logicalSize_ == static_cast<int64_t>(kEndSize) ? 0 : logicalSize_;

    std::vector<LocalExpect> expect;
    for (uint64_t seq = 1; seq <= eoc.TotalEntries; ++seq) {
        uint8_t hdr[kCentralSize];
        // A header of a spanned set lies whole on one volume: a short read
        // means the directory goes on on the next one.
        while (readSome(f, hdr, kCentralSize) < kCentralSize) {
            if (eoc.ThisDiskNo == eoc.CentralDiskNo || curVolume_ >= eoc.ThisDiskNo)
                throw EZipBuilder(DS_CEHBadRead, true);
            GetNewDisk(curVolume_ + 1);
            f = file_.get();
        }
        ByteReader r(hdr, kCentralSize);
        if (r.u32() != kCentralSig)
            throw EZipBuilder(DS_CEHWrongSig, true);
        ZipDirEntry e;
        e.MadeByVersion = r.u8();
        e.HostVersionNo = r.u8();
        e.Version = r.u16();
        e.Flag = r.u16();
        e.CompressionMethod = r.u16();
        e.DateTime = r.u32();
        e.CRC32 = r.u32();
        e.CompressedSize = r.u32();
        e.UncompressedSize = r.u32();
        e.FileNameLength = r.u16();
        e.ExtraFieldLength = r.u16();
        e.FileCommentLen = r.u16();
        e.StartOnDisk = r.u16();
        e.IntFileAttrib = r.u16();
        e.ExtFileAttrib = r.u32();
        e.RelOffLocalHdr = r.u32();

        // Names are kept whole, however long, so the next header is read
        // from the right place.
        std::string raw(e.FileNameLength, '\0');
        if (readSome(f, raw.data(), raw.size()) != raw.size())
            throw EZipBuilder(DS_CENameLen, true);
        hostNum_ = e.HostVersionNo;
        hostVer_ = e.MadeByVersion;
        e.FileName = ReplaceForwardSlash(decodeName(raw, e.Flag));
        e.Encrypted = (e.Flag & 1) != 0;
        if (e.ExtraFieldLength) {
            e.ExtraData.resize(e.ExtraFieldLength);
            if (readSome(f, e.ExtraData.data(), e.ExtraData.size()) != e.ExtraData.size())
                throw EZipBuilder(LI_ReadZipError, true);
        }
        const zip64::Deferred d{e.UncompressedSize == zip64::kMax32, e.CompressedSize == zip64::kMax32,
                                e.RelOffLocalHdr == zip64::kMax32, e.StartOnDisk == zip64::kMax16};
        if (d.any()) {
            zip64::Values v{e.UncompressedSize, e.CompressedSize, e.RelOffLocalHdr, e.StartOnDisk};
            if (!zip64::readExtra(std::string(e.ExtraData.begin(), e.ExtraData.end()), d, v))
                throw EZipBuilder(LI_ReadZipError, true);
            e.UncompressedSize = v.usize;
            e.CompressedSize = v.csize;
            e.RelOffLocalHdr = v.offset;
            e.StartOnDisk = v.disk;
        }
        if (e.FileCommentLen) {
            std::string c(e.FileCommentLen, '\0');
            if (readSome(f, c.data(), c.size()) != c.size())
                throw EZipBuilder(DS_CECommentLen, true);
            e.FileComment = (e.Flag & 0x0800) ? decodeName(c, e.Flag) : ConvertOem2Iso(c, cpdOemToAnsi);
        }
        archiveDataOffset_ = std::min<int64_t>(archiveDataOffset_, static_cast<int64_t>(e.RelOffLocalHdr));
        expect.push_back({raw, e.FileName, e.Flag, e.CompressionMethod, e.CompressedSize, e.UncompressedSize,
                          e.RelOffLocalHdr});
        const char last = e.FileName.empty() ? '/' : e.FileName.back();
        if (!UseDirOnlyEntries && (last == '/' || last == '\\' || last == ':')) {
            ++skippedDirEntryCount_;
            continue;
        }
        Entries.push_back(std::move(e));
        if (OnNewName)
            OnNewName(this, static_cast<int>(seq), Entries.back());
    }
    // The headers the end record counts must fill the directory it sizes:
    // more headers than counted would be left out of every listing and test.
    // (A digital signature record may close the directory.)
    if (eoc.ThisDiskNo == eoc.CentralDiskNo) {
        const int64_t at = ftello(f);
        uint8_t sig[4] = {};
        if (at != directoryEnd_ &&
            !(at < directoryEnd_ && readSome(f, sig, 4) == 4 && ByteReader(sig, 4).u32() == 0x05054B50))
            throw EZipBuilder(LI_ReadZipError, true);
        // Cheap enough to do here (one small read per member), and a reader
        // going by local headers would otherwise see another archive.
        if (eoc.ThisDiskNo == 0 && !firstOfSet_) {
            const int64_t shift = cdPosition_ - static_cast<int64_t>(eoc.CentralOffset);
            size_t bad = 0;
            std::string first;
            for (const LocalExpect &x : expect)
                if (!localMatches(fileno(f), shift, x) && bad++ == 0)
                    first = x.shown;
            if (bad)
                ShowZipMessage(LI_LocalMismatch,
                               first + (bad > 1 ? " (and " + std::to_string(bad - 1) + " more)" : std::string()));
        }
    }
    diskNr_ = eoc.ThisDiskNo;
}

std::string TZipBuilder::GetZipComment() const { return ConvertOem2Iso(rawComment_, cpdOemToAnsi); }
