// Self-extractors: stub + settings header + archive with its offsets moved
// up, and back again.

#include "zip/ByteReader.h"
#include "zip/PEResources.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipFileIo.h"
#include "zip/ZipMessages.h"

#include "zipdll/Zip64.h"

#include "platform/Cursor.h"
#include "platform/ProgramDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

using namespace zipmsg;

namespace {

constexpr const char *kStubName = "ZipSFX.bin";

struct WaitCursor {
    WaitCursor() { platform::cursor().set(platform::CursorShape::Wait); }
    ~WaitCursor() { platform::cursor().set(platform::CursorShape::Default); }
};

bool isFile(const std::string &p)
{
    struct stat st{};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string upperExt(const std::string &name)
{
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string e = name.substr(dot);
    for (char &c : e)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return e;
}

std::string withExt(const std::string &name, const std::string &ext)
{
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return name + ext;
    return name.substr(0, dot) + ext;
}

using zipio::readAt;
using zipio::writeAll;


} // namespace

// ----------------------------------------------------------------- header

std::string TZipBuilder::SFXHeader() const
{
    uint8_t flags = 0;
    if (SFXOptions.has(SFXAskCmdLine))
        flags |= 0x01;
    if (SFXOptions.has(SFXAskFiles))
        flags |= 0x02;
    if (SFXOptions.has(SFXHideOverWriteBox))
        flags |= 0x04;
    if (SFXOverWriteMode == OvrAlways)
        flags |= 0x08;
    if (SFXOverWriteMode == OvrNever)
        flags |= 0x10;
    if (!SFXOptions.has(SFXCheckSize))
        flags |= 0x20;
    if (SFXOptions.has(SFXAutoRun))
        flags |= 0x40;
    if (SFXOptions.has(SFXNoSuccessMsg))
        flags |= 0x80;
    const size_t texts = SFXCaption.size() + SFXDefaultDir.size() + SFXCommandLine.size() + SFXMessage.size();
    const size_t size = (texts + 15) / 4 * 4;
    std::string h(size, '\0');
    h[0] = 'M';
    h[1] = 'P';
    h[2] = 'V';
    h[3] = static_cast<char>(flags);
    h[5] = 1;
    putU16(reinterpret_cast<uint8_t *>(h.data()) + 6, static_cast<uint16_t>(size));
    size_t at = 8;
    for (const std::string *t : {&SFXCaption, &SFXDefaultDir, &SFXCommandLine, &SFXMessage}) {
        h[at++] = static_cast<char>(static_cast<uint8_t>(t->size()));
        h.replace(at, t->size(), *t);
        at += t->size();
    }
    return h;
}

// Reads the settings from the bytes right before the archive. Only a header
// that ends exactly where the archive starts counts: a stray "MPV" inside the
// stub's own bytes must not change the settings.
void TZipBuilder::readSFXHeader(const std::string &region, size_t tail)
{
    for (size_t p = region.size() - std::min(tail, region.size()); p + 3 <= region.size(); ++p) {
        if (region[p] != 'M' || region[p + 1] != 'P' || (region[p + 2] != 'U' && region[p + 2] != 'V'))
            continue;
        const bool v = region[p + 2] == 'V';
        const auto *h = reinterpret_cast<const uint8_t *>(region.data()) + p;
        const size_t left = region.size() - p;
        if (v) {
            if (left < 12 || static_cast<size_t>(h[6] | h[7] << 8) != left)
                continue;
        } else {
            if (left < 7 || size_t(7) + h[4] + h[5] + h[6] > left)
                continue;
        }
        const std::string icon = peres::IconFileFromImage(region.substr(0, p));
        if (!icon.empty())
            SFXIcon = icon;
        const uint8_t f = h[3];
        SFXOptions = SFXOpts{};
        SFXOverWriteMode = OvrConfirm;
        if (f & 0x01)
            SFXOptions.insert(SFXAskCmdLine);
        if (f & 0x02)
            SFXOptions.insert(SFXAskFiles);
        if (f & 0x04)
            SFXOptions.insert(SFXHideOverWriteBox);
        if (f & 0x08)
            SFXOverWriteMode = OvrAlways;
        if (f & 0x10)
            SFXOverWriteMode = OvrNever;
        if (!(f & 0x20))
            SFXOptions.insert(SFXCheckSize);
        if (f & 0x40)
            SFXOptions.insert(SFXAutoRun);
        const char *base = region.data() + p;
        if (!v) {
            size_t at = 7;
            SFXCaption.assign(base + at, h[4]);
            at += h[4];
            SFXDefaultDir.assign(base + at, h[5]);
            at += h[5];
            SFXCommandLine.assign(base + at, h[6]);
            continue;
        }
        if (f & 0x80)
            SFXOptions.insert(SFXNoSuccessMsg);
        size_t at = 8;
        std::string *texts[] = {&SFXCaption, &SFXDefaultDir, &SFXCommandLine, &SFXMessage};
        for (std::string *t : texts) {
            const size_t n = at < left ? static_cast<uint8_t>(base[at]) : 0;
            ++at;
            if (at + n > left)
                break;
            t->assign(base + at, n);
            at += n;
        }
    }
}

bool TZipBuilder::findSFXStub()
{
    if (isFile(SFXPath))
        return true;
    std::vector<std::string> candidates = {kStubName, platform::programDir() + kStubName};
    if (!dllDirectory_.empty())
        candidates.push_back(AppendSlash(dllDirectory_) + kStubName);
    for (const std::string &c : candidates) {
        SFXPath = c;
        if (isFile(c))
            return true;
    }
    SFXPath.clear();
    ShowZipMessage(SF_NoZipSFXBin);
    return false;
}

// ------------------------------------------------------ directory rewrite

int TZipBuilder::RWCentralDir(int outFd, const ZipEndOfCentral &eoc, int64_t shift)
{
    try {
        const int in = fileno(file_.get());
        const int64_t outStart = ::lseek(outFd, 0, SEEK_CUR);
        int64_t pos = DirectoryEnd() - static_cast<int64_t>(eoc.CentralSize);
        int64_t written = 0;
        for (uint64_t i = 0; i < eoc.TotalEntries; ++i) {
            uint8_t h[46];
            if (!readAt(in, pos, h, 46))
                throw EZipBuilder(DS_CEHBadRead, true);
            ByteReader r(h, 46);
            if (r.u32() != 0x02014B50)
                throw EZipBuilder(DS_CEHWrongSig, true);
            ByteReader v(h + 28, 6);
            const size_t nl = v.u16(), el = v.u16(), cl = v.u16();
            std::string name(nl, '\0'), extra(el, '\0'), comment(cl, '\0');
            if ((nl && !readAt(in, pos + 46, name.data(), nl)) || (el && !readAt(in, pos + 46 + nl, extra.data(), el)) ||
                (cl && !readAt(in, pos + 46 + nl + el, comment.data(), cl)))
                throw EZipBuilder(DS_CEHBadCopy, true);
            pos += 46 + static_cast<int64_t>(nl + el + cl);
            // The offset may live in the Zip64 extra field, and may need to.
            const zip64::Deferred d{zip64::le(h + 24, 4) == zip64::kMax32, zip64::le(h + 20, 4) == zip64::kMax32,
                                    zip64::le(h + 42, 4) == zip64::kMax32, false};
            zip64::Values val{0, 0, zip64::le(h + 42, 4), 0};
            if (!zip64::readExtra(extra, d, val))
                throw EZipBuilder(LI_ReadZipError, true);
            const int64_t off = static_cast<int64_t>(val.offset) + shift;
            if (off < 0 || !zip64::setCentralOffset(h, extra, static_cast<uint64_t>(off)))
                throw EZipBuilder(DS_CEHBadWrite, true);
            if (!writeAll(outFd, h, 46) || !writeAll(outFd, name.data(), nl) ||
                !writeAll(outFd, extra.data(), extra.size()) || !writeAll(outFd, comment.data(), cl))
                throw EZipBuilder(DS_CEHBadWrite, true);
            written += 46 + static_cast<int64_t>(nl + extra.size() + cl);
        }
        if (pos != DirectoryEnd())
            throw EZipBuilder(DS_EOCBadSeek, true);
        const int64_t cd = static_cast<int64_t>(eoc.CentralOffset) + shift;
        if (cd < 0 || outStart < 0)
            throw EZipBuilder(DS_EOCBadWrite, true);
        zip64::End z;
        z.thisDisk = eoc.ThisDiskNo;
        z.cdDisk = eoc.CentralDiskNo;
        z.entriesOnDisk = eoc.CentralEntriesOnDisk;
        z.entries = eoc.TotalEntries;
        z.cdSize = static_cast<uint64_t>(written);
        z.cdOffset = static_cast<uint64_t>(cd);
        const std::string end =
            zip64::endRecords(z, static_cast<uint64_t>(outStart + written), eoc.ZipCommentLen, eoc.ThisDiskNo + 1,
                              eoc.Zip64);
        if (!writeAll(outFd, end.data(), end.size()))
            throw EZipBuilder(DS_EOCBadWrite, true);
        if (::lseek(in, static_cast<off_t>(endOfCentralOffset_ + 22), SEEK_SET) < 0 ||
            CopyBuffer(in, outFd, eoc.ZipCommentLen) != 0)
            throw EZipBuilder(DS_EOCBadCopy, true);
    } catch (const EZipBuilder &e) {
        ShowExceptionError(e);
        return -2;
    } catch (...) {
        return -2;
    }
    return 0;
}

// ------------------------------------------------------------ icon

int TZipBuilder::ReplaceIcon(int fd, int64_t stubSize)
{
    try {
        if (SFXIcon.size() != peres::kIconFileSize)
            return peres::kIconWrongSize;
        std::string stub(static_cast<size_t>(stubSize), '\0');
        if (!readAt(fd, 0, stub.data(), stub.size()))
            return peres::kIconException;
        // Our own stub is a Linux program without a resource tree: it carries
        // no icon to replace, and the setting is dropped.
        if (stub.size() >= 4 && stub.compare(0, 4, "\x7f" "ELF") == 0)
            return peres::kOk;
        int64_t at = -1;
        int r = peres::LookForDirs(stub, at);
        if (r != peres::kOk)
            return r;
        if (::pwrite(fd, SFXIcon.data() + 22, peres::kIconImageSize, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(peres::kIconImageSize))
            return peres::kIconException;
        return ::lseek(fd, 0, SEEK_END) < 0 ? peres::kIconException : peres::kOk;
    } catch (...) {
        return peres::kIconException;
    }
}

// ------------------------------------------------------------ ConvertSFX

int TZipBuilder::ConvertSFX(bool newProgram)
{
    copyProgress_ = false;
    LastErrorCode = 0;
    LastMessage.clear();
    if (zipFileName_.empty() || (!newProgram && !isFile(zipFileName_))) {
        ShowZipMessage(GE_NoZipSpecified);
        return -9;
    }
    const std::string header = SFXHeader();
    for (const std::string *t : {&SFXCaption, &SFXDefaultDir, &SFXCommandLine, &SFXMessage}) {
        if (t->size() >= 256) {
            ShowZipMessage(SF_StringToLong, "\r\nSFXCaption + SFXDefaultDir + SFXCommandLine + SFXMessage = " +
                                                std::to_string(header.size() + 1));
            return -9;
        }
    }
    if (!findSFXStub())
        return -9;
    WaitCursor cursor;

    std::string out;
    if (newProgram) {
        out = zipFileName_;
    } else {
        if (upperExt(zipFileName_) != ".ZIP") {
            ShowZipMessage(SF_InputIsNoZip);
            return -9;
        }
        out = withExt(zipFileName_, ".exe");
    }

    EraseFile(out, HowToDelete);
    const int outFd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (outFd < 0)
        return -1;
    int result = 0;
    int64_t stubSize = -1, archiveSize = -1, outSize = -1;
    try {
        const int stubFd = ::open(SFXPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (stubFd < 0) {
            result = -3;
        } else {
            result = CopyBuffer(stubFd, outFd, -1);
            struct stat st{};
            stubSize = ::fstat(stubFd, &st) == 0 ? st.st_size : -1;
            ::close(stubFd);
        }
        if (result == 0 && !SFXIcon.empty())
            result = ReplaceIcon(outFd, stubSize);
        if (result == 0 && !writeAll(outFd, header.data(), header.size()))
            result = -2;
        if (result == 0 && newProgram) {
            uint8_t e[22] = {};
            putU32(e, 0x06054B50);
            putU32(e + 16, static_cast<uint32_t>(stubSize + static_cast<int64_t>(header.size())));
            if (!writeAll(outFd, e, 22))
                result = -2;
        } else if (result == 0) {
            workName_ = zipFileName_;
            ZipEndOfCentral eoc;
            CheckIfLastDisk(eoc, true);
            const int in = fileno(file_.get());
            const int64_t cd = DirectoryEnd() - static_cast<int64_t>(eoc.CentralSize);
            if (::lseek(in, 0, SEEK_SET) != 0) {
                result = -2;
            } else if (cd != static_cast<int64_t>(eoc.CentralOffset)) {
                // Offsets that do not match their places stay as they are.
                result = CopyBuffer(in, outFd, -1);
                archiveSize = physicalSize_;
            } else {
                result = CopyBuffer(in, outFd, cd);
                if (result == 0)
                    result = RWCentralDir(outFd, eoc, stubSize + static_cast<int64_t>(header.size()));
                archiveSize = logicalSize_;
            }
            file_.reset();
        }
    } catch (const EZipBuilder &e) {
        file_.reset();
        ShowExceptionError(e);
        result = -9;
    } catch (const std::bad_alloc &) {
        file_.reset();
        ShowZipMessage(GE_NoMem);
        result = -9;
    }
    struct stat st{};
    outSize = ::fstat(outFd, &st) == 0 ? st.st_size : -1;
    if (::close(outFd) != 0 && result == 0)
        result = -2;
    if (result == 0 && !newProgram) {
        if (stubSize < 0 || archiveSize < 0 || outSize < 0)
            result = -1;
        else if (stubSize + archiveSize + static_cast<int64_t>(header.size()) != outSize)
            result = -9;
    }
    if (result != 0) {
        ::unlink(out.c_str());
        return result;
    }
    if (!newProgram)
        EraseFile(zipFileName_, HowToDelete);
    SetZipFileName(out);
    return 0;
}

// ------------------------------------------------------------ ConvertZIP

int TZipBuilder::ConvertZIP()
{
    copyProgress_ = false;
    LastErrorCode = 0;
    LastMessage.clear();
    if (!isFile(zipFileName_)) {
        ShowZipMessage(CZ_NoExe);
        return -3;
    }
    if (upperExt(zipFileName_) != ".EXE") {
        ShowZipMessage(CZ_WrongConvert);
        return -3;
    }
    const int64_t dataOffset = std::min(archiveDataOffset_, centralDirOffset_);
    if (dataOffset <= 0) {
        ShowZipMessage(CZ_ErrorConvert);
        return -9;
    }
    WaitCursor cursor;
    const std::string out = withExt(zipFileName_, ".zip");
    EraseFile(out, HowToDelete);
    const int outFd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outFd < 0)
        return -1;

    int result = 0;
    int64_t size = -1;
    try {
        workName_ = zipFileName_;
        ZipEndOfCentral eoc;
        CheckIfLastDisk(eoc, true);
        const int in = fileno(file_.get());
        const int64_t n = std::min<int64_t>(1032, dataOffset);
        std::string region(static_cast<size_t>(dataOffset), '\0');
        if (!readAt(in, 0, region.data(), region.size()))
            throw EZipBuilder(DS_FileOpen, true);
        // The icon walk needs the whole stub; the header search only its tail.
        readSFXHeader(region, static_cast<size_t>(n));
        const int64_t cd = DirectoryEnd() - static_cast<int64_t>(eoc.CentralSize);
        if (::lseek(in, static_cast<off_t>(dataOffset), SEEK_SET) != dataOffset) {
            result = -2;
        } else if (cd == static_cast<int64_t>(eoc.CentralOffset)) {
            result = CopyBuffer(in, outFd, cd - dataOffset);
            if (result == 0)
                result = RWCentralDir(outFd, eoc, -dataOffset);
            size = logicalSize_;
        } else {
            result = CopyBuffer(in, outFd, -1);
            size = physicalSize_;
        }
        file_.reset();
    } catch (const std::bad_alloc &) {
        file_.reset();
        result = -10;
    } catch (const EZipBuilder &e) {
        file_.reset();
        ShowExceptionError(e);
        result = -3;
    } catch (...) {
        file_.reset();
        result = -3;
    }
    struct stat st{};
    const int64_t outSize = ::fstat(outFd, &st) == 0 ? st.st_size : -1;
    if (::close(outFd) != 0 && result == 0)
        result = -2;
    if (result == 0) {
        if (size < 0 || outSize < 0)
            result = -1;
        else if (size - dataOffset != outSize)
            result = -9;
    }
    if (result != 0) {
        ::unlink(out.c_str());
        return result;
    }
    EraseFile(zipFileName_, HowToDelete);
    SetZipFileName(out);
    return 0;
}
