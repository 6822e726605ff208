// Splitting a single-file archive into volumes and joining a set back.

#include "zip/ByteReader.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipMessages.h"

#include "zipdll/Zip64.h"

#include "platform/Cursor.h"
#include "platform/TempFiles.h"

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <numeric>

using namespace zipmsg;

namespace {

constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kSpanSig = 0x08074B50;   // also the data descriptor's signature
constexpr uint32_t kSingleSig = 0x30304B50; // "PK00": a set that fitted on one volume
constexpr size_t kChunk = 8192;

struct WaitCursor {
    WaitCursor() { platform::cursor().set(platform::CursorShape::Wait); }
    ~WaitCursor() { platform::cursor().set(platform::CursorShape::Default); }
};

// Restores a busy flag however the operation ends.
struct FlagGuard {
    bool &flag;
    bool old;
    explicit FlagGuard(bool &f) : flag(f), old(f) { flag = true; }
    ~FlagGuard() { flag = old; }
};

bool readExact(std::FILE *f, void *buf, size_t n) { return n == 0 || std::fread(buf, 1, n, f) == n; }

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One central directory record as read, with its variable parts and the
// values it defers to its Zip64 field.
struct CentralRec {
    uint8_t fixed[46];
    std::string name, extra, comment;
    zip64::Values wide;
    uint16_t flag() const { return le16(fixed + 8); }
    uint64_t compSize() const { return wide.csize; }
    uint32_t disk() const { return wide.disk; }
    uint64_t offset() const { return wide.offset; }
    uint32_t crc() const { return le32(fixed + 16); }
    uint64_t size() const { return wide.usize; }
    size_t length() const { return 46 + name.size() + extra.size() + comment.size(); }
    // Fills `wide`; false when a deferred value is missing from the extra.
    bool resolve()
    {
        wide = {le32(fixed + 24), le32(fixed + 20), le32(fixed + 42), le16(fixed + 34)};
        const zip64::Deferred d{wide.usize == zip64::kMax32, wide.csize == zip64::kMax32,
                                wide.offset == zip64::kMax32, wide.disk == zip64::kMax16};
        return zip64::readExtra(extra, d, wide);
    }
    // Places the record's member at `disk`/`offset` of the output: the
    // disk in its fixed field, the offset there or in the Zip64 field.
    void place(uint32_t diskNo, int64_t at)
    {
        if (diskNo >= zip64::kMax16)
            throw std::runtime_error("sets of 65,535 volumes and more cannot be written");
        putU16(fixed + 34, static_cast<uint16_t>(diskNo));
        if (!zip64::setCentralOffset(fixed, extra, static_cast<uint64_t>(at)))
            throw std::runtime_error("the extra field of a central header would outgrow 64 KiB");
    }
};

// The end records of a written set or joined archive.
zip64::End endValues(uint32_t thisDisk, uint32_t cdDisk, uint64_t onDisk, uint64_t entries, uint64_t cdSize,
                     int64_t cdOffset)
{
    zip64::End z;
    z.thisDisk = thisDisk;
    z.cdDisk = cdDisk;
    z.entriesOnDisk = onDisk;
    z.entries = entries;
    z.cdSize = cdSize;
    z.cdOffset = static_cast<uint64_t>(cdOffset);
    return z;
}

// The data descriptor behind a member, read piece by piece through `read`
// (which throws on a short read): with or without its signature, with 4- or
// 8-byte sizes (a member streamed in Zip64 form), whichever agrees with the
// central record. Returns its bytes.
template <typename Read> std::string readDescriptor(const CentralRec &c, Read read)
{
    uint8_t d[24];
    read(d, 4);
    const size_t s = le32(d) == kSpanSig ? 4 : 0;
    size_t len = s + 12;
    read(d + 4, len - 4);
    const bool classic = le32(d + s) == c.crc() && le32(d + s + 4) == c.compSize() && le32(d + s + 8) == c.size();
    if (!classic && zip64::le(d + s + 4, 8) == c.compSize()) {
        read(d + len, 8);
        len += 8;
    }
    return std::string(reinterpret_cast<const char *>(d), len);
}

} // namespace

int TZipBuilder::FindZipEntry(const std::vector<MDZipData> &md, const std::string &name)
{
    for (size_t i = 0; i < md.size(); ++i)
        if (!md[i].done && md[i].name.size() == name.size() && md[i].name == name)
            return static_cast<int>(i);
    return -1;
}

void TZipBuilder::RWSplitData(uint8_t *buf, int64_t len, int errId)
{
    while (len > 0) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(len, kChunk));
        if (!readExact(file_.get(), buf, n))
            throw EZipBuilder(errId, true);
        WriteSplit(buf, n, 0);
        len -= static_cast<int64_t>(n);
    }
}

// ------------------------------------------------------------------ splitting

int TZipBuilder::WriteSpan(const std::string &inFile, const std::string &outFile)
{
    FlagGuard active(ZipCallActive);
    FlagGuard writing(writingSpan_);
    SetDriveFromName(outFile);
    outVolumeName_ = outFile;
    curVolume_ = 0;
    freeOnDisk_ = 0;
    newDisk_ = true;
    diskWritePos_ = 0;
    outFd_ = -1;
    showProgress_ = false;
    lastStatusAction_ = 0;
    WaitCursor cursor;
    int result = 0;
    try {
        struct stat st{};
        if (::stat(inFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            throw EZipBuilder(DS_NoInFile, true);
        workName_ = inFile;
        ZipEndOfCentral eoc;
        CheckIfLastDisk(eoc, true);
        sourceDate_ = st.st_mtime;
        if (eoc.ThisDiskNo != 0 || eoc.CentralDiskNo != 0)
            throw std::runtime_error(inFile + " is already one volume of a multi-volume archive");
        std::FILE *f = file_.get();

        // The directory first: it gives every member's true compressed size
        // (a local header written while streaming says 0) and where its local
        // header is, also behind a stub whose offsets were not adjusted.
        const int64_t cdPos = DirectoryEnd() - static_cast<int64_t>(eoc.CentralSize);
        if (cdPos < 0 || fseeko(f, cdPos, SEEK_SET) != 0)
            throw EZipBuilder(DS_FailedSeek, true);
        const int64_t shift = cdPos - static_cast<int64_t>(eoc.CentralOffset);
        std::vector<CentralRec> cd(eoc.TotalEntries);
        std::vector<MDZipData> md(eoc.TotalEntries);
        for (size_t i = 0; i < cd.size(); ++i) {
            CentralRec &c = cd[i];
            if (!readExact(f, c.fixed, 46))
                throw EZipBuilder(DS_CEHBadRead, true);
            if (le32(c.fixed) != kCentralSig)
                throw EZipBuilder(DS_CEHWrongSig, true);
            c.name.resize(le16(c.fixed + 28));
            c.extra.resize(le16(c.fixed + 30));
            c.comment.resize(le16(c.fixed + 32));
            if (!readExact(f, c.name.data(), c.name.size()))
                throw EZipBuilder(DS_CENameLen, true);
            if (!readExact(f, c.extra.data(), c.extra.size()))
                throw EZipBuilder(DS_CEExtraLen, true);
            if (!readExact(f, c.comment.data(), c.comment.size()))
                throw EZipBuilder(DS_CECommentLen, true);
            if (!c.resolve())
                throw EZipBuilder(LI_ReadZipError, true);
            md[i].name = c.name;
            md[i].compSize = c.compSize();
            md[i].flag = c.flag();
            md[i].offset = static_cast<int64_t>(c.offset()) + shift;
        }
        std::string comment(eoc.ZipCommentLen, '\0');
        if (fseeko(f, endOfCentralOffset_ + 22, SEEK_SET) != 0)
            throw EZipBuilder(DS_FailedSeek, true);
        if (!readExact(f, comment.data(), comment.size()))
            throw EZipBuilder(DS_EOArchComLen, true);

        uint8_t marker[4];
        putU32(marker, kSpanSig);
        WriteSplit(marker, 4, 0);
        showProgress_ = true;
        if (OnProgress) {
            OnProgress(this, ptFileCount, {}, eoc.TotalEntries);
            OnProgress(this, ptTotalBytes, {}, static_cast<long>(logicalSize_));
        }

        std::vector<size_t> order(md.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return md[a].offset < md[b].offset; });
        std::vector<uint8_t> buf(kChunk);
        for (size_t i : order) {
            MDZipData &m = md[i];
            uint8_t hdr[30];
            if (m.offset < 0 || fseeko(f, m.offset, SEEK_SET) != 0)
                throw EZipBuilder(DS_FailedSeek, true);
            if (!readExact(f, hdr, 30))
                throw EZipBuilder(DS_LOHBadRead, true);
            if (le32(hdr) != kLocalSig)
                throw EZipBuilder(DS_LOHWrongSig, true);
            const uint16_t nameLen = le16(hdr + 26), extraLen = le16(hdr + 28);
            std::string name(nameLen, '\0');
            if (!readExact(f, name.data(), name.size()))
                throw EZipBuilder(DS_LONameLen, true);
            m.disk = static_cast<uint16_t>(curVolume_);
            const bool descriptor = (m.flag & 8) != 0;
            if (OnMessage)
                OnMessage(this, 0, LoadZipStr(GE_CopyFile, "Copying: ") + ConvertOem2Iso(name, cpdOemToAnsi));
            if (OnProgress)
                OnProgress(this, ptFileStart, ConvertOem2Iso(name, cpdOemToAnsi),
                           static_cast<long>(30 + nameLen + extraLen + int64_t(m.compSize) + (descriptor ? 16 : 0)));
            WriteSplit(hdr, 30, 30u + nameLen + extraLen);
            m.newOffset = diskWritePos_ - 30;
            m.disk = static_cast<uint16_t>(curVolume_);
            WriteSplit(name.data(), name.size(), 0);
            RWSplitData(buf.data(), extraLen, DS_LOExtraLen);
            RWSplitData(buf.data(), m.compSize, DS_ZipData);
            if (descriptor) {
                const std::string d = readDescriptor(cd[i], [&](uint8_t *p, size_t n) {
                    if (!readExact(f, p, n))
                        throw EZipBuilder(DS_DataDesc, true);
                });
                WriteSplit(d.data(), d.size(), 0);
            }
        }

        if (OnMessage)
            OnMessage(this, 0, LoadZipStr(GE_CopyFile, "Copying: ") + LoadZipStr(DS_CopyCentral, "central directory"));
        if (OnProgress)
            OnProgress(this, ptFileStart, LoadZipStr(DS_CopyCentral, "central directory"),
                       static_cast<long>(eoc.CentralSize + eoc.ZipCommentLen + 22));
        int cdDisk = -1;
        int64_t cdOffset = 0;
        uint64_t cdSize = 0;
        for (size_t i = 0; i < cd.size(); ++i) {
            CentralRec &c = cd[i];
            c.place(md[i].disk, md[i].newOffset);
            cdSize += c.length();
            WriteSplit(c.fixed, 46, c.length());
            if (cdDisk < 0) {
                cdDisk = curVolume_;
                cdOffset = diskWritePos_ - 46;
            }
            WriteSplit(c.name.data(), c.name.size(), 0);
            WriteSplit(c.extra.data(), c.extra.size(), 0);
            WriteSplit(c.comment.data(), c.comment.size(), 0);
        }

        // The end records lie whole on the last volume, the Zip64 ones
        // (when a value needs them or the archive had them) included. An
        // empty directory: the end records alone say where it would begin.
        const auto ends = [&] {
            return zip64::endRecords(endValues(static_cast<uint32_t>(curVolume_), static_cast<uint32_t>(cdDisk),
                                               eoc.CentralEntriesOnDisk, eoc.TotalEntries, cdSize, cdOffset),
                                     static_cast<uint64_t>(diskWritePos_), static_cast<uint16_t>(comment.size()),
                                     static_cast<uint32_t>(curVolume_) + 1, eoc.Zip64);
        };
        if (cdDisk < 0) {
            cdDisk = curVolume_;
            WriteSplit(nullptr, 0, ends().size() + comment.size());
            cdDisk = curVolume_;
            cdOffset = diskWritePos_;
        }
        WriteSplit(nullptr, 0, ends().size() + comment.size());
        const std::string end = ends();
        WriteSplit(end.data(), end.size(), end.size() + comment.size());
        WriteSplit(comment.data(), comment.size(), 0);
        showProgress_ = false;
    } catch (...) {
        result = ReportFault();
    }
    showProgress_ = false;
    if (OnProgress)
        OnProgress(this, ptBatchEnd, {}, 0);
    closeOutVolume();
    file_.reset();
    return result;
}

// -------------------------------------------------------------------- joining

// Reads from the volumes, going on with the next volume when one ends.
// Reports the volume and offset of the first byte read.
size_t TZipBuilder::readJoin(uint8_t *buf, size_t len, int errId, int *startDisk, int64_t *startPos)
{
    size_t got = 0;
    bool first = true;
    while (got < len) {
        std::FILE *f = file_.get();
        const int64_t pos = ftello(f);
        const size_t r = std::fread(buf + got, 1, len - got, f);
        if (r > 0 && first) {
            if (startDisk)
                *startDisk = curVolume_;
            if (startPos)
                *startPos = pos;
            first = false;
        }
        got += r;
        if (got < len) {
            if (!std::feof(f) || curVolume_ >= totalDisks_)
                throw EZipBuilder(errId, true);
            GetNewDisk(curVolume_ + 1);
        }
    }
    return got;
}

void TZipBuilder::WriteJoin(const void *buf, size_t len, int errId)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t w = ::write(outFd_, p + done, len - done);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            throw EZipBuilder(errId, true);
        }
        done += static_cast<size_t>(w);
    }
    joinWritePos_ += static_cast<int64_t>(len);
    if (showProgress_ && len && OnProgress)
        OnProgress(this, ptBytesDone, {}, static_cast<long>(len));
}

void TZipBuilder::RWJoinData(uint8_t *buf, int64_t len, int errId)
{
    while (len > 0) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(len, kChunk));
        readJoin(buf, n, errId);
        WriteJoin(buf, n, errId);
        len -= static_cast<int64_t>(n);
    }
}

int TZipBuilder::ReadSpan(const std::string &inFile, std::string &outFile)
{
    FlagGuard active(UnzipCallActive);
    SetDriveFromName(inFile);
    curVolume_ = -1;
    newDisk_ = false;
    showProgress_ = false;
    workName_ = inFile;
    joinWritePos_ = 0;
    outFd_ = -1;
    WaitCursor cursor;
    std::vector<uint8_t> buf(kChunk);
    std::string outName;
    int result = 0;
    try {
        struct stat st{};
        const bool toFolder = outFile.empty() || outFile.back() == '/' ||
                              (::stat(outFile.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
        if (!toFolder) {
            // The joined archive always gets the extension ".zip"; what is
            // erased is the file that will be replaced, nothing else.
            const size_t dot = outFile.rfind('.');
            const size_t slash = outFile.rfind('/');
            outName = (dot != std::string::npos && (slash == std::string::npos || dot > slash) ? outFile.substr(0, dot)
                                                                                                 : outFile) +
                      ".zip";
            if (::lstat(outName.c_str(), &st) == 0)
                EraseFile(outName, HowToDelete);
        } else {
            outName = MakeTempFileName("zip", ".zip");
            if (outName.empty())
                throw EZipBuilder(DS_NoTempFile, true);
        }
        outFd_ = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (outFd_ < 0) {
            outName.clear();
            throw EZipBuilder(DS_NoOutFile, true);
        }

        // The last volume: the one with the end record.
        ZipEndOfCentral eoc;
        bool tried = false;
        int type = driveType_;
        for (;;) {
            if (tried && (type == 3 || type == 4)) {
                // Numbered files: the digits say which volume was named.
                const size_t dot = workName_.rfind('.');
                const size_t end = dot == std::string::npos || dot < workName_.rfind('/') ? workName_.size() : dot;
                const std::string digits = end >= 3 ? workName_.substr(end - 3, 3) : std::string();
                if (digits.size() != 3 || digits.find_first_not_of("0123456789") != std::string::npos)
                    throw EZipBuilder(DS_NoValidZip, true);
                const int n = std::stoi(digits);
                if (n == 1)
                    throw EZipBuilder(DS_FirstInSet, true);
                throw EZipBuilder(DS_NotLastInSet, n);
            }
            type = CheckForDisk();
            newDisk_ = true;
            tried = true;
            if (CheckIfLastDisk(eoc, false))
                break;
        }
        newDisk_ = false;
        if (eoc.ThisDiskNo == 0 && !firstOfSet_)
            throw std::runtime_error(workName_ + " is not a volume of a multi-volume archive");
        if (::stat(workName_.c_str(), &st) == 0)
            sourceDate_ = st.st_mtime;
        totalDisks_ = eoc.ThisDiskNo;
        curVolume_ = eoc.ThisDiskNo;
        std::string comment(eoc.ZipCommentLen, '\0');
        if (fseeko(file_.get(), endOfCentralOffset_ + 22, SEEK_SET) != 0)
            throw EZipBuilder(DS_FailedSeek, true);
        if (!readExact(file_.get(), comment.data(), comment.size()))
            throw EZipBuilder(DS_EOArchComLen, true);
        if (eoc.CentralDiskNo != eoc.ThisDiskNo)
            GetNewDisk(eoc.CentralDiskNo);
        if (fseeko(file_.get(), eoc.CentralOffset, SEEK_SET) != 0)
            throw EZipBuilder(DS_FailedSeek, true);

        // Pass 1: the central directory, kept whole for pass 3.
        std::vector<CentralRec> cd(eoc.TotalEntries);
        std::vector<MDZipData> md(eoc.TotalEntries);
        int64_t totalBytes = 0;
        for (size_t i = 0; i < cd.size(); ++i) {
            CentralRec &c = cd[i];
            readJoin(c.fixed, 46, DS_CEHBadRead);
            if (le32(c.fixed) != kCentralSig)
                throw EZipBuilder(DS_CEHWrongSig, true);
            c.name.resize(le16(c.fixed + 28));
            c.extra.resize(le16(c.fixed + 30));
            c.comment.resize(le16(c.fixed + 32));
            if (!readExact(file_.get(), c.name.data(), c.name.size()))
                throw EZipBuilder(DS_CENameLen, true);
            if (!readExact(file_.get(), c.extra.data(), c.extra.size()))
                throw EZipBuilder(DS_CEExtraLen, true);
            if (!readExact(file_.get(), c.comment.data(), c.comment.size()))
                throw EZipBuilder(DS_CECommentLen, true);
            if (!c.resolve() || c.disk() >= zip64::kMax16)
                throw EZipBuilder(LI_ReadZipError, true);
            md[i].name = c.name;
            md[i].compSize = c.compSize();
            md[i].flag = c.flag();
            md[i].disk = static_cast<uint16_t>(c.disk());
            md[i].offset = static_cast<int64_t>(c.offset());
            totalBytes += static_cast<int64_t>(c.name.size() + c.extra.size() + c.comment.size() + c.compSize());
        }

        // Pass 2: the members, from the first volume on.
        GetNewDisk(0);
        showProgress_ = true;
        if (OnProgress) {
            OnProgress(this, ptFileCount, {}, eoc.TotalEntries);
            OnProgress(this, ptTotalBytes, {}, static_cast<long>(totalBytes));
        }
        uint8_t marker[4];
        readJoin(marker, 4, DS_ExtWrongSig);
        if (le32(marker) != kSpanSig && le32(marker) != kSingleSig)
            throw EZipBuilder(DS_ExtWrongSig, true);
        for (size_t k = 0; k < md.size(); ++k) {
            uint8_t hdr[30];
            int disk = 0;
            int64_t pos = 0;
            readJoin(hdr, 30, DS_LOHBadRead, &disk, &pos);
            if (le32(hdr) != kLocalSig)
                throw EZipBuilder(DS_LOHWrongSig, true);
            const uint16_t nameLen = le16(hdr + 26), extraLen = le16(hdr + 28);
            std::string name(nameLen, '\0');
            if (!readExact(file_.get(), name.data(), name.size()))
                throw EZipBuilder(DS_LONameLen, true);
            // Which member this is: by where its header lies (names may repeat),
            // by name when the directory's positions do not match.
            int idx = -1;
            for (size_t i = 0; i < md.size() && idx < 0; ++i)
                if (!md[i].done && md[i].disk == disk && md[i].offset == pos)
                    idx = static_cast<int>(i);
            if (idx < 0)
                idx = FindZipEntry(md, name);
            if (idx < 0)
                throw EZipBuilder(DS_EntryLost, true);
            MDZipData &m = md[static_cast<size_t>(idx)];
            m.done = true;
            m.newOffset = joinWritePos_;
            const bool descriptor = (le16(hdr + 6) & 8) != 0;
            if (OnMessage)
                OnMessage(this, 0, LoadZipStr(GE_CopyFile, "Copying: ") + ConvertOem2Iso(name, cpdOemToAnsi));
            if (OnProgress)
                OnProgress(this, ptFileStart, ConvertOem2Iso(name, cpdOemToAnsi),
                           static_cast<long>(30 + nameLen + extraLen + int64_t(m.compSize) + (descriptor ? 16 : 0)));
            WriteJoin(hdr, 30, DS_LOHBadWrite);
            WriteJoin(name.data(), name.size(), DS_LOHBadWrite);
            RWJoinData(buf.data(), extraLen, DS_LOExtraLen);
            // The directory's size: a local header written while streaming says 0.
            RWJoinData(buf.data(), m.compSize, DS_ZipData);
            if (descriptor) {
                const std::string d = readDescriptor(cd[static_cast<size_t>(idx)], [&](uint8_t *p, size_t n) {
                    readJoin(p, n, DS_DataDesc);
                });
                WriteJoin(d.data(), d.size(), DS_DataDesc);
            }
        }

        // Pass 3: the directory, now on one volume at the offsets just written.
        const int64_t cdOffset = joinWritePos_;
        uint64_t cdSize = 0;
        for (size_t i = 0; i < cd.size(); ++i) {
            CentralRec &c = cd[i];
            c.place(0, md[i].newOffset);
            cdSize += c.length();
            WriteJoin(c.fixed, 46, DS_CEHBadWrite);
            WriteJoin(c.name.data(), c.name.size(), DS_CEHBadWrite);
            WriteJoin(c.extra.data(), c.extra.size(), DS_CEExtraLen);
            WriteJoin(c.comment.data(), c.comment.size(), DS_CECommentLen);
        }
        // One file now: every entry is on this disk (readers check that).
        const std::string end =
            zip64::endRecords(endValues(0, 0, eoc.TotalEntries, eoc.TotalEntries, cdSize, cdOffset),
                              static_cast<uint64_t>(joinWritePos_), static_cast<uint16_t>(comment.size()), 1, eoc.Zip64);
        WriteJoin(end.data(), end.size(), DS_EOCBadWrite);
        WriteJoin(comment.data(), comment.size(), DS_EOArchComLen);
    } catch (...) {
        result = ReportFault();
    }
    showProgress_ = false;
    if (OnProgress)
        OnProgress(this, ptBatchEnd, {}, 0);
    file_.reset();
    if (outFd_ >= 0) {
        struct timespec times[2] = {{sourceDate_, 0}, {sourceDate_, 0}};
        ::futimens(outFd_, times);
        if (::close(outFd_) != 0 && result == 0) {
            ShowZipMessage(DS_NoWrite);
            result = -7;
        }
        outFd_ = -1;
    }
    if (result != 0) {
        if (!outName.empty())
            ::unlink(outName.c_str());
        outFile.clear();
    } else {
        outFile = outName;
    }
    return result;
}
