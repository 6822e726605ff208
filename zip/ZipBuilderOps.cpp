// Add, extract, delete and the archive comment, through the two libraries.

#include "zip/ByteReader.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipBuilderInternal.h"
#include "zip/ZipMessages.h"

#include "platform/TempFiles.h"

#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

using namespace zipmsg;

bool isRegularFile(const std::string &p)
{
    struct stat st{};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string upperExtension(const std::string &name)
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

namespace {

bool isDir(const std::string &p)
{
    struct stat st{};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}


// Largest member ExtractFileToStream takes into memory: the size comes from
// the archive, and a hostile one must not make us allocate gigabytes.
constexpr uint32_t kMaxStreamMember = 256u << 20;

struct AddSpec {
    std::string pattern;
    int recurse;        // -1: the global setting
    bool hasPassword = false;
    std::string password; // empty with hasPassword: encryption off for this spec
};

// ">" forces recursion, "|" switches it off (first character only); the text
// after the first "<" is this spec's password.
AddSpec parseAddSpec(const std::string &line)
{
    AddSpec s;
    s.pattern = line;
    s.recurse = -1;
    if (!s.pattern.empty() && (s.pattern[0] == '>' || s.pattern[0] == '|')) {
        s.recurse = s.pattern[0] == '>' ? 1 : 0;
        s.pattern.erase(0, 1);
    }
    size_t lt = s.pattern.find('<');
    if (lt != std::string::npos) {
        s.hasPassword = true;
        s.password = s.pattern.substr(lt + 1);
        s.pattern.erase(lt); // a bare trailing "<" is not part of any file name
    }
    return s;
}

} // namespace

// ---------------------------------------------------------------------- Add

void TZipBuilder::Add()
{
    LastErrorCode = 0;
    ProcessedCount = 0;
    LastMessage.clear();
    if (FSpecArgs.empty())
        return ShowZipMessage(AD_NothingToZip);
    if (zipFileName_.empty())
        return ShowZipMessage(GE_NoZipSpecified);
    if (Unattended && AddOptions.has(AddEncrypt) && Password.empty())
        return ShowZipMessage(AD_UnattPassword);
    if (ZipCallActive)
        return;
    CancelRequested = false;
    callbackFailed_ = false;

    const bool spanning = AddOptions.has(AddDiskSpan) || AddOptions.has(AddDiskSpanErase);
    if (spanning && (AddOptions.has(AddFreshen) || AddOptions.has(AddUpdate)))
        return ShowZipMessage(AD_NoFreshenUpdate);
    if (spanning && upperExtension(zipFileName_) == ".EXE")
        return ShowZipMessage(DS_NoSFXSpan);

    // A new program file gets its stub and an empty archive first; the
    // library then adds the members behind them.
    if (upperExtension(zipFileName_) == ".EXE" && archiveDataOffset_ == 0 && ::access(zipFileName_.c_str(), F_OK) != 0) {
        try {
            const int r = ConvertSFX(true);
            if (r != 0)
                throw EZipBuilder(AD_AutoSFXWrong, r);
        } catch (const EZipBuilder &e) {
            ShowExceptionError(e);
            return;
        }
    }

    const bool loadHere = !zipDll().handle;
    if (loadHere)
        Load_Zip_Dll();
    if (!zipDll().handle)
        return;
    TemporaryLoad unloadAtEnd(loadHere, &TZipBuilder::Unload_Zip_Dll);

    std::string workFile = zipFileName_;
    if (spanning) {
        workFile = MakeTempFileName("zip", ".tmp");
        if (Verbose && OnMessage)
            OnMessage(this, 0, "Temporary zipfile: " + workFile);
    }

    struct Busy {
        TZipBuilder &z;
        ~Busy()
        {
            z.FSpecArgs.clear();
            z.FSpecArgsExcl.clear();
            z.CancelRequested = false;
            z.ZipCallActive = false;
        }
    } busy{*this};
    ZipCallActive = true;
    const int version = GetZipVers();

    try {
        ProcessedCount = ExecZipDll(workFile, version, false);
        if (callbackFailed_)
            throw std::runtime_error("event handler failed");
        if (spanning) {
            if (ProcessedCount != 0 && WriteSpan(workFile, zipFileName_) != 0)
                ProcessedCount = 0;
        }
    } catch (...) {
        ShowZipMessage(GE_FatalZip);
    }
    if (spanning)
        ::unlink(workFile.c_str());
    if (ProcessedCount > 0)
        List();
}

// ------------------------------------------------------------------ Extract

void TZipBuilder::ExtExtract(bool toStream)
{
    const unsigned oldReqCount = passwordReqCount_;
    LastErrorCode = 0;
    ProcessedCount = 0;
    LastMessage.clear();
    if (!isRegularFile(zipFileName_))
        return ShowZipMessage(GE_NoZipSpecified);
    CancelRequested = false;
    if (UnzipCallActive)
        return;
    callbackFailed_ = false;

    bool reqCountZeroed = false;
    if (Unattended && Password.empty() && !OnPasswordError) {
        passwordReqCount_ = 0;
        reqCountZeroed = true;
        ShowZipMessage(EX_UnAttPassword);
    }
    struct RestoreCount {
        TZipBuilder &z;
        bool on;
        unsigned v;
        ~RestoreCount()
        {
            if (on)
                z.SetPasswordReqCount(v);
        }
    } restoreCount{*this, reqCountZeroed, oldReqCount};

    const bool loadHere = !unzDll().handle;
    if (loadHere)
        Load_Unz_Dll();
    if (!unzDll().handle)
        return;
    TemporaryLoad unloadAtEnd(loadHere, &TZipBuilder::Unload_Unz_Dll);

    // Only a last volume (nonzero disk number) needs assembling; a file that
    // merely starts with the spanning marker is a whole archive.
    std::string workFile = zipFileName_;
    const bool multiVolume = diskNr_ != 0;
    if (multiVolume) {
        workFile = TempDir.empty() ? platform::tempPath() : AppendSlash(TempDir);
        if (ReadSpan(zipFileName_, workFile) != 0)
            return;
    }
    if (!toStream && isDir(ExtrBaseDir))
        (void)::chdir(ExtrBaseDir.c_str()); // the library extracts relative to it

    const int version = GetUnzVers();
    if (toStream && version < 160)
        return ShowZipMessage(EX_NoStreamDLL);

    struct Busy {
        TZipBuilder &z;
        ~Busy()
        {
            z.FSpecArgs.clear();
            z.CancelRequested = false;
            z.UnzipCallActive = false;
        }
    } busy{*this};
    UnzipCallActive = true;

    try {
        ProcessedCount = ExecUnzDll(workFile, version, toStream);
        if (callbackFailed_)
            throw std::runtime_error("event handler failed");
    } catch (const std::bad_alloc &) {
        ProcessedCount = 0;
        ShowZipMessage(GE_NoMem);
    } catch (...) {
        ShowZipMessage(EX_FatalUnZip);
    }
    if (toStream && ProcessedCount != 1)
        stream_.Clear();
    if (multiVolume && workFile != zipFileName_)
        ::unlink(workFile.c_str());
}

// One call of the unzip library on `workFile` with FSpecArgs; to the memory
// stream, to the stream target, or to files.
int TZipBuilder::ExecUnzDll(const std::string &workFile, int version, bool toStream)
{
    int processed = 0;
    {
        ParamStore own;
        if (!unzDll().exec)
            throw std::runtime_error("no UnzDllExec");
        auto exec = reinterpret_cast<UnzDllExecFunc>(unzDll().exec);
        if (version >= 152) {
            UnzDllParams p{};
            SetUnZipSwitches(p, own, workFile, version);
            own.unzSpecs.emplace_back(FSpecArgs.size());
            auto &specs = own.unzSpecs.back();
            for (size_t i = 0; i < FSpecArgs.size(); ++i)
                specs[i].Spec = own.dup(FSpecArgs[i]);
            p.Specs = specs.data();
            p.SpecCount = static_cast<int32_t>(FSpecArgs.size());
            bool call = true;
            if (toStream) {
                call = false;
                const QString wanted = FSpecArgs.empty() ? QString() : QString::fromStdString(FSpecArgs[0]);
                for (const ZipDirEntry &e : Entries) {
                    if (FSpecArgs.empty() || QString::fromStdString(e.FileName).compare(wanted, Qt::CaseInsensitive) != 0)
                        continue;
                    if (e.UncompressedSize > kMaxStreamMember)
                        throw std::bad_alloc();
                    stream_.SetSize(e.UncompressedSize);
                    p.ExtractToMemory = 1;
                    p.MemBuffer = stream_.Memory();
                    p.MemSize = e.UncompressedSize;
                    p.SpecCount = 1;
                    call = true;
                    break;
                }
            }
            p.Stream = unzStream_;
            p.Seven = ZIPDLL_RECORD_MARK;
            if (call)
                processed = exec(&p);
        } else {
            if (FSpecArgs.size() > ZIPDLL_OLD_MAX_SPECS)
                throw std::runtime_error("too many file specifications for this unzip library");
            auto p = std::make_unique<UnzDllParamsOld>();
            std::memset(p.get(), 0, sizeof *p);
            SetUnZipSwitchesOld(*p, own, workFile, version);
            for (size_t i = 0; i < FSpecArgs.size(); ++i)
                p->Specs[i] = own.dup(FSpecArgs[i]);
            p->SpecCount = static_cast<int32_t>(FSpecArgs.size());
            p->Seven = ZIPDLL_RECORD_MARK;
            processed = exec(reinterpret_cast<UnzDllParams *>(p.get()));
        }
    }
    return processed;
}

TZipStream *TZipBuilder::ExtractFileToStream(const std::string &memberName)
{
    if (!memberName.empty())
        FSpecArgs = {memberName};
    stream_.Clear();
    ExtExtract(true);
    return ProcessedCount == 1 ? &stream_ : nullptr;
}

// One call of the zip library on `archive` with FSpecArgs, in the record
// layout the loaded library understands: adds them (each line may carry its
// own password and recursion), or deletes the members they match.
int TZipBuilder::ExecZipDll(const std::string &archive, int version, bool deleting)
{
    ParamStore own;
    if (!zipDll().exec)
        throw std::runtime_error("no ZipDllExec");
    auto exec = reinterpret_cast<ZipDllExecFunc>(zipDll().exec);
    auto deletion = [](auto &p) {
        p.DeleteEntries = 1;
        p.Grow = p.JunkDirNames = p.Move = p.Freshen = p.Update = p.Encrypt = 0;
        p.Recurse = 0;
    };
    if (version >= 151) {
        ZipDllParams p{};
        SetZipSwitches(p, own, archive, version);
        if (deleting)
            deletion(p);
        own.zipSpecs.emplace_back(FSpecArgs.size());
        auto &specs = own.zipSpecs.back();
        char *root = deleting || rootDir_.empty() ? nullptr : own.dup(rootDir_);
        for (size_t i = 0; i < FSpecArgs.size(); ++i) {
            ZipSpecEntry &e = specs[i];
            if (deleting) {
                e.Spec = own.dup(FSpecArgs[i]);
                continue;
            }
            AddSpec s = parseAddSpec(FSpecArgs[i]);
            e.Spec = own.dup(s.pattern);
            if (s.hasPassword && !s.password.empty()) {
                e.Password = own.dup(s.password, ZCB_MAX_PASSWORD);
                e.Encrypt = 1;
            } else if (s.hasPassword) {
                e.Password = nullptr;
                e.Encrypt = 0;
            } else {
                e.Password = p.Password;
                e.Encrypt = AddOptions.has(AddEncrypt) ? 1 : 0;
            }
            e.Recurse = static_cast<int16_t>(s.recurse >= 0 ? s.recurse : AddOptions.has(AddRecurseDirs));
            e.RootDir = root;
        }
        p.Specs = specs.data();
        p.Stream = deleting ? nullptr : zipStream_;
        p.Seven = ZIPDLL_RECORD_MARK;
        p.SpecCount = static_cast<int32_t>(FSpecArgs.size());
        return exec(&p);
    }
    if (FSpecArgs.size() > ZIPDLL_OLD_MAX_SPECS)
        throw std::runtime_error("too many file specifications for this zip library");
    auto p = std::make_unique<ZipDllParamsOld>();
    std::memset(p.get(), 0, sizeof *p);
    SetZipSwitchesOld(*p, own, archive);
    if (deleting)
        deletion(*p);
    for (size_t i = 0; i < FSpecArgs.size(); ++i)
        p->Specs[i] = own.dup(FSpecArgs[i]);
    p->Seven = ZIPDLL_RECORD_MARK;
    p->SpecCount = static_cast<int32_t>(FSpecArgs.size());
    return exec(reinterpret_cast<ZipDllParams *>(p.get()));
}

// ------------------------------------------------------------------- Delete

void TZipBuilder::Delete()
{
    LastErrorCode = 0;
    ProcessedCount = 0;
    LastMessage.clear();
    if (FSpecArgs.empty())
        return ShowZipMessage(DL_NothingToDel);
    if (!isRegularFile(zipFileName_))
        return ShowZipMessage(GE_NoZipSpecified);
    if (ZipCallActive)
        return;
    CancelRequested = false;
    callbackFailed_ = false;

    const bool loadHere = !zipDll().handle;
    if (loadHere)
        Load_Zip_Dll();
    if (!zipDll().handle)
        return;
    TemporaryLoad unloadAtEnd(loadHere, &TZipBuilder::Unload_Zip_Dll);

    struct Busy {
        TZipBuilder &z;
        ~Busy()
        {
            z.FSpecArgs.clear();
            z.FSpecArgsExcl.clear();
            z.ZipCallActive = false;
        }
    } busy{*this};
    ZipCallActive = true;
    const int version = GetZipVers();

    try {
        ProcessedCount = ExecZipDll(zipFileName_, version, true);
        if (callbackFailed_)
            throw std::runtime_error("event handler failed");
    } catch (...) {
        ShowZipMessage(GE_FatalZip);
    }
    if (ProcessedCount > 0)
        List();
}

// ---------------------------------------------------------- archive comment

void TZipBuilder::SetZipComment(const std::string &text)
{
    // The length field has 16 bits: a longer comment would corrupt the archive.
    std::string raw = text.empty() ? std::string() : ConvertOem2Iso(text, cpdAnsiToOem);
    if (raw.size() > 0xFFFF)
        raw.resize(0xFFFF);
    rawComment_ = raw;

    int fd = -1;
    bool headerWritten = false;
    try {
        if (zipFileName_.empty())
            throw EZipBuilder(DS_NoInFile, true);
        fd = ::open(zipFileName_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            throw EZipBuilder(DS_FileOpen, true);
        uint8_t rec[22];
        if (::lseek(fd, endOfCentralOffset_, SEEK_SET) != endOfCentralOffset_)
            throw EZipBuilder(DS_FailedSeek, true);
        if (::read(fd, rec, sizeof rec) != static_cast<ssize_t>(sizeof rec))
            throw EZipBuilder(DS_EOCBadRead, true);
        ByteReader r(rec, sizeof rec);
        if (r.u32() != 0x06054B50)
            throw EZipBuilder(DS_EOCBadRead, true);
        putU16(rec + 20, static_cast<uint16_t>(raw.size()));
        if (::lseek(fd, endOfCentralOffset_, SEEK_SET) != endOfCentralOffset_)
            throw EZipBuilder(DS_FailedSeek, true);
        if (::write(fd, rec, sizeof rec) != static_cast<ssize_t>(sizeof rec))
            throw EZipBuilder(DS_EOCBadWrite, true);
        headerWritten = true;
        if (!raw.empty() && ::write(fd, raw.data(), raw.size()) != static_cast<ssize_t>(raw.size()))
            throw EZipBuilder(DS_NoWrite, true);
        if (::ftruncate(fd, endOfCentralOffset_ + 22 + static_cast<off_t>(raw.size())) != 0)
            throw EZipBuilder(DS_NoWrite, true);
        headerWritten = false;
    } catch (const EZipBuilder &e) {
        ShowExceptionError(e);
        rawComment_.clear();
    } catch (const std::bad_alloc &) {
        ShowZipMessage(GE_NoMem);
        rawComment_.clear();
    }
    if (fd >= 0)
        ::close(fd);
    if (headerWritten)
        List();
}
