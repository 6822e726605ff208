// Member operations on the container itself: rename, copy between archives,
// and the file utilities the conversions share.

#include "zip/ByteReader.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipTrash.h"
#include "zip/ZipFileIo.h"
#include "zip/ZipMessages.h"

#include "zipdll/Zip64.h"

#include "platform/Cursor.h"
#include "platform/Dialogs.h"
#include "platform/Pump.h"

#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <new>

using namespace zipmsg;

namespace {

constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kCentralSig = 0x02014B50;

struct WaitCursor {
    WaitCursor() { platform::cursor().set(platform::CursorShape::Wait); }
    ~WaitCursor() { platform::cursor().set(platform::CursorShape::Default); }
};

using zipio::readAt;
using zipio::writeAll;
bool writeAll(int fd, const std::string &s) { return writeAll(fd, s.data(), s.size()); }

int64_t fdSize(int fd)
{
    struct stat st{};
    return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// One central directory header with its variable parts, as stored, and
// the values it defers to its Zip64 extra field.
struct RawCentral {
    std::array<uint8_t, 46> hdr{};
    std::string name, extra, comment;
    zip64::Values wide;
    uint16_t flag() const { return static_cast<uint16_t>(hdr[8] | hdr[9] << 8); }
    uint32_t crc() const { return static_cast<uint32_t>(zip64::le(hdr.data() + 16, 4)); }
    uint64_t csize() const { return wide.csize; }
    uint64_t usize() const { return wide.usize; }
    int64_t offset() const { return static_cast<int64_t>(wide.offset); }
    // A new local header offset: the fixed field, or the Zip64 field when
    // the value needs it; nothing else of the record changes.
    void setOffset(uint64_t off)
    {
        if (!zip64::setCentralOffset(hdr.data(), extra, off))
            throw EZipBuilder(DS_CEHBadWrite, true);
        wide.offset = off;
    }
};

// Reads `count` central headers from `pos` on.
std::vector<RawCentral> readCentral(int fd, int64_t pos, uint64_t count)
{
    std::vector<RawCentral> out;
    out.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        RawCentral c;
        if (!readAt(fd, pos, c.hdr.data(), 46))
            throw EZipBuilder(DS_CEHBadRead, true);
        ByteReader r(c.hdr.data(), 46);
        if (r.u32() != kCentralSig)
            throw EZipBuilder(DS_CEHWrongSig, true);
        ByteReader l(c.hdr.data() + 28, 6);
        uint16_t nl = l.u16(), el = l.u16(), cl = l.u16();
        std::string var(size_t(nl) + el + cl, '\0');
        if (!var.empty() && !readAt(fd, pos + 46, var.data(), var.size()))
            throw EZipBuilder(DS_CENameLen, true);
        c.name = var.substr(0, nl);
        c.extra = var.substr(nl, el);
        c.comment = var.substr(size_t(nl) + el);
        const zip64::Deferred d{zip64::le(c.hdr.data() + 24, 4) == zip64::kMax32,
                                zip64::le(c.hdr.data() + 20, 4) == zip64::kMax32,
                                zip64::le(c.hdr.data() + 42, 4) == zip64::kMax32, false};
        c.wide = {zip64::le(c.hdr.data() + 24, 4), zip64::le(c.hdr.data() + 20, 4), zip64::le(c.hdr.data() + 42, 4), 0};
        if (!zip64::readExtra(c.extra, d, c.wide))
            throw EZipBuilder(LI_ReadZipError, true);
        pos += 46 + static_cast<int64_t>(var.size());
        out.push_back(std::move(c));
    }
    return out;
}

// The length of the data descriptor at `at`: with or without signature,
// 4- or 8-byte sizes, whichever matches the central record.
int64_t descriptorAt(int in, int64_t at, const RawCentral &c)
{
    uint8_t d[24] = {};
    const ssize_t got = ::pread(in, d, sizeof d, static_cast<off_t>(at));
    const size_t avail = got > 0 ? static_cast<size_t>(got) : 0;
    return static_cast<int64_t>(zip64::descriptorLength(d, avail, c.crc(), c.csize(), c.usize(),
                                                        c.csize() >= zip64::kMax32 || c.usize() >= zip64::kMax32));
}

// The end records of a rewritten archive; Zip64 ones when a value needs
// them or the archive had them (a streamed writer's layout is kept).
// `end64Pos`: where the central directory ends.
std::string endRecord(const ZipEndOfCentral &e, int64_t end64Pos)
{
    zip64::End z;
    z.thisDisk = e.ThisDiskNo;
    z.cdDisk = e.CentralDiskNo;
    z.entriesOnDisk = e.CentralEntriesOnDisk;
    z.entries = e.TotalEntries;
    z.cdSize = e.CentralSize;
    z.cdOffset = e.CentralOffset;
    return zip64::endRecords(z, static_cast<uint64_t>(end64Pos), e.ZipCommentLen, e.ThisDiskNo + 1, e.Zip64);
}

bool fileExistsRegular(const std::string &name)
{
    struct stat st{};
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isAscii(const std::string &s)
{
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

bool caseEqual(const std::string &a, const std::string &b)
{
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

void setDosTime(uint8_t *timeField, uint32_t dt)
{
    putU16(timeField, static_cast<uint16_t>(dt & 0xFFFF));
    putU16(timeField + 2, static_cast<uint16_t>(dt >> 16));
}

// The new file takes the old one's date and permissions.
void keepDate(int fd, const struct stat &st)
{
    (void)::fchmod(fd, st.st_mode & 07777);
    struct timespec t[2] = {st.st_atim, st.st_mtim};
    (void)::futimens(fd, t);
}

// Copies one member's local header, name, extra field, data and descriptor
// from `in` at `pos`, with its own local lengths: writers often put another
// extra field into the local header than into the central one.
void copyMember(TZipBuilder &z, int in, int64_t pos, const RawCentral &c, int out, int failId,
                const std::string &n1, const std::string &n2)
{
    auto fail = [&]() { return n1.empty() ? EZipBuilder(failId, true) : EZipBuilder(failId, n1, n2); };
    uint8_t lh[30];
    if (!readAt(in, pos, lh, 30))
        throw fail();
    ByteReader r(lh, 30);
    if (r.u32() != kLocalSig)
        throw fail();
    ByteReader l(lh + 26, 4);
    const int64_t nl = l.u16(), el = l.u16();
    int64_t len = 30 + nl + el + static_cast<int64_t>(c.csize());
    if (c.flag() & 8)
        len += descriptorAt(in, pos + len, c);
    if (::lseek(in, static_cast<off_t>(pos), SEEK_SET) != pos || z.CopyBuffer(in, out, len) != 0)
        throw fail();
}

} // namespace

// ------------------------------------------------------------ file utilities

int TZipBuilder::CopyBuffer(int inFd, int outFd, int64_t count)
{
    std::vector<char> buf(8192);
    int result = 0;
    try {
        for (;;) {
            const size_t want = count < 0 ? buf.size() : static_cast<size_t>(std::min<int64_t>(8192, count));
            if (want == 0)
                break;
            ssize_t got;
            do
                got = ::read(inFd, buf.data(), want);
            while (got < 0 && errno == EINTR);
            if (got <= 0)
                break;
            if (!writeAll(outFd, buf.data(), static_cast<size_t>(got))) {
                result = -2;
                break;
            }
            if (copyProgress_ && OnProgress)
                OnProgress(this, ptBytesDone, {}, static_cast<long>(got));
            if (count >= 0)
                count -= got;
            platform::ProcessMessages();
            if (static_cast<size_t>(got) < want)
                break;
        }
    } catch (...) {
    }
    // A source that ends early is a failed copy too: the callers check sizes,
    // but a member copy must never pass with missing bytes.
    if (result == 0 && count > 0)
        result = -2;
    return result;
}

int TZipBuilder::EraseFile(const std::string &name, DeleteOpts how)
{
    std::string path = name;
    if (path.find('/') == std::string::npos) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd))
            path = AppendSlash(cwd) + path;
    }
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return -1;
    // Where the trash cannot take it, the file is deleted all the same.
    if (how == htdAllowUndo && ziptrash::moveToHomeTrash(path))
        return 0;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int TZipBuilder::CopyFileA(const std::string &inFile, const std::string &outFile)
{
    copyProgress_ = false;
    struct stat st{};
    if (::stat(inFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -3;
    WaitCursor cursor;
    int in = ::open(inFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -3;
    EraseFile(outFile, HowToDelete);
    int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        ::close(in);
        return -1;
    }
    int result = CopyBuffer(in, out, -1);
    if (result == 0) {
        struct timespec t[2] = {st.st_atim, st.st_mtim};
        if (::futimens(out, t) != 0)
            result = -4;
    }
    if (result == 0 && (fdSize(in) != fdSize(out) || fdSize(in) < 0))
        result = -9;
    ::close(in);
    if (::close(out) != 0 && result == 0)
        result = -2;
    if (result != 0 && result != -4)
        ::unlink(outFile.c_str());
    return result;
}

// Puts the finished temporary file in the archive's place. The new file first
// goes beside the archive (the temporary folder may be another file system),
// so the old archive is erased only once its replacement is safely there.
int TZipBuilder::replaceArchiveFile(const std::string &tempName, const std::string &target, DeleteOpts how)
{
    std::string sibling = target + ".qtmp";
    for (int i = 0; ::access(sibling.c_str(), F_OK) == 0; ++i)
        sibling = target + ".qtmp" + std::to_string(i);
    if (::rename(tempName.c_str(), sibling.c_str()) != 0) {
        if (CopyFileA(tempName, sibling) != 0)
            return -1;
        ::unlink(tempName.c_str());
    }
    EraseFile(target, how);
    if (::rename(sibling.c_str(), target.c_str()) != 0) {
        ::unlink(sibling.c_str());
        return -1;
    }
    return 0;
}

// ------------------------------------------------------------------- Rename

int TZipBuilder::Rename(const std::vector<RenameRequest> &requests, uint32_t dateTime)
{
    // Folder separators are '/' here; archives from Windows may use '\'.
    std::vector<RenameRequest> req = requests;
    for (RenameRequest &r : req) {
        for (char &c : r.Source)
            if (c == '\\')
                c = '/';
        for (char &c : r.Dest)
            if (c == '\\')
                c = '/';
        const bool srcIsDir = !r.Source.empty() && r.Source.back() == '/';
        if (!srcIsDir && !r.Source.empty() && (r.Dest.empty() || r.Dest.back() == '/'))
            return -10; // a file cannot become a bare folder
        if (srcIsDir) {
            size_t cut = r.Dest.rfind('/');
            r.Dest = cut == std::string::npos ? r.Dest + "/" : r.Dest.substr(0, cut + 1);
        }
    }
    if (ZipCallActive)
        return -6;
    ZipCallActive = true;
    copyProgress_ = false;
    LastErrorCode = 0;
    LastMessage.clear();
    WaitCursor cursor;

    const std::string archive = zipFileName_;
    std::string temp;
    int outFd = -1;
    int result = 0;
    struct stat archiveStat{};
    try {
        if (!fileExistsRegular(archive))
            throw EZipBuilder(DS_NoInFile, true);
        temp = MakeTempFileName("zip", ".zip");
        if (temp.empty())
            throw EZipBuilder(DS_NoTempFile, true);
        outFd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (outFd < 0)
            throw EZipBuilder(DS_NoOutFile, true);

        workName_ = archive;
        ZipEndOfCentral eoc;
        CheckIfLastDisk(eoc, true);
        const int in = fileno(file_.get());
        ::fstat(in, &archiveStat);
        if (eoc.ThisDiskNo != 0)
            throw EZipBuilder(GE_RenameSpanned, true);

        const int64_t cdPos = DirectoryEnd() - static_cast<int64_t>(eoc.CentralSize);
        if (cdPos < 0)
            throw EZipBuilder(DS_FailedSeek, true);
        const int64_t delta = cdPos - static_cast<int64_t>(eoc.CentralOffset);
        std::vector<RawCentral> cd = readCentral(in, cdPos, eoc.TotalEntries);
        int64_t dataStart = cdPos;
        int64_t total = 0;
        for (const RawCentral &c : cd) {
            dataStart = std::min<int64_t>(dataStart, c.offset() + delta);
            total += static_cast<int64_t>(c.name.size() + c.extra.size() + c.csize());
        }
        if (dataStart < 0)
            throw EZipBuilder(DS_LOHBadRead, true);
        // A stub in front (self-extractor) stays as it is.
        if (dataStart > 0 && (::lseek(in, 0, SEEK_SET) != 0 || CopyBuffer(in, outFd, dataStart) != 0))
            throw EZipBuilder(GE_RenameFailed, true);

        copyProgress_ = true;
        if (OnProgress) {
            OnProgress(this, ptFileCount, {}, static_cast<long>(cd.size()));
            OnProgress(this, ptTotalBytes, {}, static_cast<long>(total));
        }

        std::vector<std::string> newNames(cd.size());
        std::vector<uint32_t> newTimes(cd.size(), dateTime);
        std::vector<uint16_t> newFlags(cd.size());
        std::vector<uint64_t> newOffsets(cd.size());
        for (size_t i = 0; i < cd.size(); ++i) {
            if (CancelRequested)
                throw EZipBuilder(DS_Canceled, false); // the user's own choice: no error box
            const int64_t pos = cd[i].offset() + delta;
            uint8_t lh[30];
            if (!readAt(in, pos, lh, 30))
                throw EZipBuilder(DS_LOHBadRead, true);
            ByteReader r(lh, 30);
            if (r.u32() != kLocalSig)
                throw EZipBuilder(DS_LOHWrongSig, true);
            ByteReader l(lh + 26, 4);
            const uint16_t nl = l.u16(), el = l.u16();
            std::string stored(nl, '\0');
            if (nl && !readAt(in, pos + 30, stored.data(), nl))
                throw EZipBuilder(DS_LONameLen, true);
            uint16_t flag = static_cast<uint16_t>(lh[6] | lh[7] << 8);
            const std::string shown = decodeName(stored, flag);
            std::string message = LoadZipStr(GE_Processing, "Processing: ") + shown;

            QString name = QString::fromStdString(shown).replace('\\', '/');
            for (const RenameRequest &q : req) {
                if (q.Source.empty())
                    continue;
                const QString from = QString::fromStdString(q.Source);
                const qsizetype at = name.indexOf(from, 0, Qt::CaseInsensitive);
                if (at < 0)
                    continue;
                name.replace(at, from.size(), QString::fromStdString(q.Dest));
                message += LoadZipStr(GE_RenamedTo, " renamed to: ") + name.toStdString();
                if (q.DateTime)
                    newTimes[i] = q.DateTime;
            }
            if (OnMessage)
                OnMessage(this, 0, message);

            // An untouched name keeps its stored bytes; a new one is written
            // as UTF-8, flagged when it is not plain ASCII.
            std::string raw = stored;
            if (name.toStdString() != shown) {
                raw = name.toStdString();
                if (!isAscii(raw))
                    flag |= 0x0800;
            }
            if (raw.size() > 0xFFFF)
                throw EZipBuilder(DS_LOHBadWrite, true);
            newNames[i] = raw;
            newFlags[i] = flag;
            putU16(lh + 6, flag);
            if (newTimes[i])
                setDosTime(lh + 10, newTimes[i]);
            const int64_t outPos = ::lseek(outFd, 0, SEEK_CUR);
            if (outPos < 0)
                throw EZipBuilder(DS_LOHBadWrite, true);
            newOffsets[i] = static_cast<uint64_t>(outPos);
            if (OnProgress)
                OnProgress(this, ptFileStart, name.toStdString(), static_cast<long>(raw.size() + el + cd[i].csize()));
            putU16(lh + 26, static_cast<uint16_t>(raw.size()));
            if (!writeAll(outFd, lh, 30) || !writeAll(outFd, raw))
                throw EZipBuilder(DS_LOHBadWrite, true);
            if (::lseek(in, static_cast<off_t>(pos + 30 + nl), SEEK_SET) < 0 || CopyBuffer(in, outFd, el) != 0)
                throw EZipBuilder(DS_LOExtraLen, true);
            if (CopyBuffer(in, outFd, static_cast<int64_t>(cd[i].csize())) != 0)
                throw EZipBuilder(DS_ZipData, true);
            if (flag & 8) {
                const int64_t at = pos + 30 + nl + el + static_cast<int64_t>(cd[i].csize());
                const int64_t n = descriptorAt(in, at, cd[i]);
                if (::lseek(in, static_cast<off_t>(at), SEEK_SET) < 0 || CopyBuffer(in, outFd, n) != 0)
                    throw EZipBuilder(DS_DataDesc, true);
            }
        }
        copyProgress_ = false;

        const int64_t newCd = ::lseek(outFd, 0, SEEK_CUR);
        if (newCd < 0)
            throw EZipBuilder(DS_CEHBadWrite, true);
        int64_t cdSize = 0;
        for (size_t i = 0; i < cd.size(); ++i) {
            RawCentral &c = cd[i];
            if (newTimes[i])
                setDosTime(c.hdr.data() + 12, newTimes[i]);
            putU16(c.hdr.data() + 8, static_cast<uint16_t>(c.flag() | (newFlags[i] & 0x0800)));
            putU16(c.hdr.data() + 28, static_cast<uint16_t>(newNames[i].size()));
            c.setOffset(newOffsets[i]);
            if (!writeAll(outFd, c.hdr.data(), 46) || !writeAll(outFd, newNames[i]))
                throw EZipBuilder(DS_CEHBadWrite, true);
            if (!writeAll(outFd, c.extra))
                throw EZipBuilder(DS_CEExtraLen, true);
            if (!writeAll(outFd, c.comment))
                throw EZipBuilder(DS_CECommentLen, true);
            cdSize += 46 + static_cast<int64_t>(newNames[i].size() + c.extra.size() + c.comment.size());
        }
        ZipEndOfCentral e = eoc;
        e.CentralSize = static_cast<uint64_t>(cdSize);
        e.CentralOffset = static_cast<uint64_t>(newCd);
        if (!writeAll(outFd, endRecord(e, newCd + cdSize)))
            throw EZipBuilder(DS_EOCBadWrite, true);
        std::string comment(eoc.ZipCommentLen, '\0');
        if (!comment.empty() && (!readAt(in, endOfCentralOffset_ + 22, comment.data(), comment.size()) ||
                                 !writeAll(outFd, comment)))
            throw EZipBuilder(DS_EOArchComLen, true);
    } catch (...) {
        result = ReportFault();
    }
    copyProgress_ = false;
    if (OnProgress) {
        try {
            OnProgress(this, ptBatchEnd, {}, 0);
        } catch (...) {
        }
    }
    file_.reset();
    if (outFd >= 0) {
        if (archiveStat.st_mtim.tv_sec)
            keepDate(outFd, archiveStat);
        if (::close(outFd) != 0 && result == 0)
            result = -9;
    }
    if (result != 0) {
        if (!temp.empty() && outFd >= 0)
            ::unlink(temp.c_str());
    } else if (replaceArchiveFile(temp, archive, HowToDelete) != 0) {
        ShowZipMessage(GE_RenameFailed);
        result = -9;
    } else {
        zipFileName_ = archive;
        List();
    }
    ZipCallActive = false;
    CancelRequested = false;
    return result;
}

// ---------------------------------------------------------- CopyZippedFiles

int TZipBuilder::CopyZippedFiles(TZipBuilder *dest, bool deleteFromSource, OvrOpts overwrite)
{
    if (ZipCallActive)
        return -6;
    ZipCallActive = true;
    WaitCursor cursor;
    copyProgress_ = false;
    LastErrorCode = 0;
    LastMessage.clear();

    int result = 0;
    std::string temp;
    int outFd = -1;
    int destFd = -1;
    struct stat destStat{};
    std::vector<std::string> notCopied;
    const std::vector<std::string> requested = FSpecArgs; // back when the copy fails
    bool deleteAfter = false;
    try {
        if (!dest || dest == this || dest->zipFileName_.empty() || zipFileName_.empty() ||
            caseEqual(dest->zipFileName_, zipFileName_))
            throw EZipBuilder(CZ_NoExeSpecified, true);

        temp = MakeTempFileName("zip", ".zip");
        if (temp.empty())
            throw EZipBuilder(DS_NoTempFile, true);
        outFd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (outFd < 0)
            throw EZipBuilder(DS_NoOutFile, true);

        // The source, with every central header (folder entries included).
        workName_ = zipFileName_;
        ZipEndOfCentral seoc;
        CheckIfLastDisk(seoc, true);
        const int src = fileno(file_.get());
        const int64_t sCd = DirectoryEnd() - static_cast<int64_t>(seoc.CentralSize);
        const int64_t sDelta = sCd - static_cast<int64_t>(seoc.CentralOffset);
        const std::vector<RawCentral> scd = readCentral(src, sCd, seoc.TotalEntries);

        // The destination, read the same way.
        destFd = ::open(dest->zipFileName_.c_str(), O_RDONLY | O_CLOEXEC);
        if (destFd < 0)
            throw EZipBuilder(CZ_ExtractError, true);
        ::fstat(destFd, &destStat);
        dest->workName_ = dest->zipFileName_;
        ZipEndOfCentral deoc;
        dest->CheckIfLastDisk(deoc, true);
        dest->file_.reset();
        if (seoc.ThisDiskNo != 0 || deoc.ThisDiskNo != 0)
            throw EZipBuilder(GE_RenameSpanned, true);
        const int64_t dCd = dest->DirectoryEnd() - static_cast<int64_t>(deoc.CentralSize);
        const int64_t dDelta = dCd - static_cast<int64_t>(deoc.CentralOffset);
        std::vector<RawCentral> dcd = readCentral(destFd, dCd, deoc.TotalEntries);
        std::string destComment(deoc.ZipCommentLen, '\0');
        if (!destComment.empty() && !readAt(destFd, dest->endOfCentralOffset_ + 22, destComment.data(), destComment.size()))
            throw EZipBuilder(DS_EOArchComLen, true);

        enum Mark : uint16_t { New = 0x2000, Replace = 0x4000, Keep = 0x8000, Ask = 0x6000 };
        std::vector<uint16_t> marks(dcd.size(), 0);
        std::vector<std::string> dNames(dcd.size());
        for (size_t i = 0; i < dcd.size(); ++i)
            dNames[i] = dest->decodeName(dcd[i].name, dcd[i].flag());
        std::vector<std::string> sNames(scd.size());
        for (size_t i = 0; i < scd.size(); ++i)
            sNames[i] = decodeName(scd[i].name, scd[i].flag());
        auto findSource = [&](const std::string &n) -> int {
            for (size_t i = 0; i < scd.size(); ++i)
                if (caseEqual(sNames[i], n))
                    return static_cast<int>(i);
            return -1;
        };
        std::vector<int> sourceOf(dcd.size(), -1);
        for (const std::string &want : FSpecArgs) {
            bool found = false;
            for (size_t i = 0; i < dcd.size(); ++i) {
                if (!caseEqual(dNames[i], want))
                    continue;
                marks[i] = overwrite == OvrAlways ? Replace : overwrite == OvrNever ? Keep : Ask;
                found = true;
            }
            if (found)
                continue;
            const int s = findSource(want);
            if (s < 0)
                throw EZipBuilder(CZ_NoCopyFound, zipFileName_, want);
            dcd.push_back(scd[static_cast<size_t>(s)]);
            dNames.push_back(sNames[static_cast<size_t>(s)]);
            marks.push_back(New);
            sourceOf.push_back(s);
        }

        // A stub in front of the destination stays.
        int64_t dStart = dCd;
        for (size_t i = 0; i < deoc.TotalEntries; ++i)
            dStart = std::min<int64_t>(dStart, dcd[i].offset() + dDelta);
        if (dStart < 0)
            throw EZipBuilder(CZ_BrowseError, true);
        if (dStart > 0 && (::lseek(destFd, 0, SEEK_SET) != 0 || CopyBuffer(destFd, outFd, dStart) != 0))
            throw EZipBuilder(CZ_BrowseError, true);

        std::vector<uint64_t> offsets(dcd.size());
        for (size_t i = 0; i < dcd.size(); ++i) {
            if (CancelRequested)
                throw EZipBuilder(DS_Canceled, false); // the user's own choice: no error box
            uint16_t m = marks[i];
            if (m == Ask) {
                bool yes = false;
                if (dest->OnCopyZipOverwrite) {
                    dest->OnCopyZipOverwrite(dest, dNames[i], yes);
                } else {
                    std::string q = formatMessage(LoadZipStr(CZ_InputNotExe, "Overwrite %s in %s ?"),
                                                  {dNames[i], dest->zipFileName_});
                    yes = platform::dialogs().messageBox(q, QCoreApplication::applicationName().toStdString(),
                                                         platform::Buttons::YesNo, platform::Icon::Question,
                                                         platform::DefaultButton::Second) == platform::mrYes;
                }
                m = yes ? Replace : Keep;
            }
            const int64_t outPos = ::lseek(outFd, 0, SEEK_CUR);
            if (outPos < 0)
                throw EZipBuilder(DS_LOHBadWrite, true);
            offsets[i] = static_cast<uint64_t>(outPos);
            if (m == New || m == Replace) {
                if (sourceOf[i] < 0)
                    sourceOf[i] = findSource(dNames[i]);
                if (sourceOf[i] < 0)
                    throw EZipBuilder(CZ_NoCopyFound, zipFileName_, dNames[i]);
                const RawCentral &s = scd[static_cast<size_t>(sourceOf[i])];
                copyMember(*this, src, s.offset() + sDelta, s, outFd, CZ_SameNames,
                           dest->zipFileName_, zipFileName_);
                dcd[i] = s; // the directory entry follows the data
            } else {
                copyMember(*this, destFd, dcd[i].offset() + dDelta, dcd[i], outFd,
                           CZ_SameNames, dest->zipFileName_, dest->zipFileName_);
                if (m == Keep) {
                    notCopied.push_back(dNames[i]);
                    for (auto it = FSpecArgs.begin(); it != FSpecArgs.end();)
                        it = caseEqual(*it, dNames[i]) ? FSpecArgs.erase(it) : it + 1;
                }
            }
        }

        const int64_t newCd = ::lseek(outFd, 0, SEEK_CUR);
        if (newCd < 0)
            throw EZipBuilder(DS_CEHBadWrite, true);
        int64_t cdSize = 0;
        for (size_t i = 0; i < dcd.size(); ++i) {
            RawCentral c = dcd[i];
            putU16(c.hdr.data() + 8, static_cast<uint16_t>(c.flag() & 0x1FFF));
            c.setOffset(offsets[i]);
            if (!writeAll(outFd, c.hdr.data(), 46) || !writeAll(outFd, c.name))
                throw EZipBuilder(DS_CEHBadWrite, true);
            if (!writeAll(outFd, c.extra))
                throw EZipBuilder(DS_CEExtraLen, true);
            if (!writeAll(outFd, c.comment))
                throw EZipBuilder(DS_CECommentLen, true);
            cdSize += 46 + static_cast<int64_t>(c.name.size() + c.extra.size() + c.comment.size());
        }
        ZipEndOfCentral e = seoc;
        e.ThisDiskNo = e.CentralDiskNo = 0;
        e.CentralEntriesOnDisk = e.TotalEntries = dcd.size();
        e.CentralSize = static_cast<uint64_t>(cdSize);
        e.CentralOffset = static_cast<uint64_t>(newCd);
        e.ZipCommentLen = static_cast<uint16_t>(destComment.size());
        if (!writeAll(outFd, endRecord(e, newCd + cdSize)))
            throw EZipBuilder(DS_EOCBadWrite, true);
        if (!writeAll(outFd, destComment))
            throw EZipBuilder(DS_EOArchComLen, true);
        deleteAfter = deleteFromSource && !FSpecArgs.empty();
    } catch (...) {
        result = ReportFault();
    }
    file_.reset();
    if (destFd >= 0)
        ::close(destFd);
    if (outFd >= 0) {
        if (destStat.st_mtim.tv_sec)
            keepDate(outFd, destStat);
        if (::close(outFd) != 0 && result == 0)
            result = -9;
    }
    if (result != 0) {
        if (outFd >= 0)
            ::unlink(temp.c_str());
    } else if (dest->replaceArchiveFile(temp, dest->zipFileName_, dest->HowToDelete) != 0) {
        ::unlink(temp.c_str());
        result = -9;
    }
    if (dest && dest != this)
        dest->List();
    ZipCallActive = false;
    CancelRequested = false;
    // Only once the destination holds the copies may they leave the source.
    if (result == 0 && deleteAfter)
        Delete();
    FSpecArgs = result == 0 ? notCopied : requested;
    return result;
}

int TZipBuilder::ReportFault()
{
    try {
        throw;
    } catch (const EZipBuilder &e) {
        ShowExceptionError(e);
        return -7;
    } catch (const std::bad_alloc &) {
        ShowZipMessage(GE_NoMem);
        return -8;
    } catch (const std::exception &e) {
        const std::string what = e.what();
        ShowZipMessage(DS_ErrorUnknown, what.empty() ? std::string() : "\n" + what);
        return -9;
    }
}
