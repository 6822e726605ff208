// Loading the two libraries, filling their parameter records, and the
// callback they report through.

#include "zip/ZipBuilder.h"
#include "zip/ZipBuilderInternal.h"
#include "zip/ZipMessages.h"

#include "platform/ProgramDir.h"
#include "platform/Pump.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

using namespace zipmsg;

namespace {

DllSlot zipSlot, unzSlot;

bool isFile(const std::string &p)
{
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// DLLDirectory first, then the program's own folder, then the system search.
std::string libraryPath(const std::string &dllDir, const char *name)
{
    if (!dllDir.empty() && isFile(dllDir + "/" + name))
        return dllDir + "/" + name;
    std::string own = platform::programDir() + name;
    if (isFile(own))
        return own;
    return name;
}

void unload(DllSlot &s)
{
    if (s.handle)
        ::dlclose(s.handle);
    s = DllSlot{};
}

template <typename R> void fillZipCommon(TZipBuilder &zb, R &p, ParamStore &own, const std::string &archive)
{
    p.OwnerWindow = zb.OwnerWindow;
    p.Caller = &zb;
    p.Version = 160;
    p.Callback = &TZipBuilder::ZCallback;
    p.Trace = zb.Trace ? 1 : 0;
    p.Password = zb.Password.empty() ? nullptr : own.dup(zb.Password, ZCB_MAX_PASSWORD);
    std::string suffixes = zb.AddSuffix();
    p.StoreSuffixes = suffixes.empty() ? nullptr : own.dup(suffixes);
    const AddOpts &o = zb.AddOptions;
    p.Encrypt = o.has(AddEncrypt);
    p.HiddenFiles = o.has(AddHiddenFiles);
    p.Volume = o.has(AddVolume);
    p.NoDirEntries = !o.has(AddSeparateDirs);
    p.Verbose = zb.Verbose || zb.Trace;
    p.Quiet = 1;
    p.Level = zb.AddCompLevel;
    p.JunkDirNames = !o.has(AddDirNames);
    p.Recurse = o.has(AddRecurseDirs) ? 1 : 0;
    p.Grow = 1;
    p.ForceDos = o.has(AddForceDOS);
    p.Move = o.has(AddMove);
    p.DeleteEntries = 0;
    p.Update = o.has(AddUpdate);
    p.Freshen = o.has(AddFreshen) && !o.has(AddUpdate);
    p.ZipTime = o.has(AddZipTime);
    p.ArchiveName = own.dup(archive);
}

template <typename R> void fillUnzCommon(TZipBuilder &zb, R &p, ParamStore &own, const std::string &archive, int version)
{
    p.OwnerWindow = zb.OwnerWindow;
    p.Caller = &zb;
    p.Version = 160;
    p.Callback = &TZipBuilder::ZCallback;
    p.Trace = zb.Trace ? 1 : 0;
    p.CodePage = static_cast<int16_t>(zb.CodePage);
    if (version < 160 && zb.Unattended && zb.AddOptions.has(AddEncrypt) && zb.Password.empty())
        p.Password = own.dup(std::string(80, '~')); // never matches: old libraries would ask otherwise
    else
        p.Password = own.dup(zb.Password, ZCB_MAX_PASSWORD);
    const ExtrOpts &o = zb.ExtrOptions;
    p.Test = o.has(ExtrTest);
    p.Quiet = 1;
    p.Verbose = zb.Verbose || zb.Trace;
    p.Update = o.has(ExtrUpdate);
    p.Freshen = o.has(ExtrFreshen) && !o.has(ExtrUpdate);
    p.DirNames = o.has(ExtrDirNames);
    p.Overwrite = o.has(ExtrOverWrite);
    p.ArchiveName = own.dup(archive);
}

// Text of the callback record: bounded by the field, trailing blanks and
// control characters removed.
std::string cleanText(const char *text)
{
    std::string s(text, strnlen(text, ZCB_TEXT_SIZE));
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.pop_back();
    return s;
}

void putText(char *field, const std::string &s, size_t maxLen)
{
    size_t n = std::min(s.size(), maxLen);
    std::memcpy(field, s.data(), n);
    field[n] = '\0';
}

} // namespace

DllSlot &zipDll() { return zipSlot; }
DllSlot &unzDll() { return unzSlot; }

// --------------------------------------------------------------- loading

static void loadLibrary(TZipBuilder &zb, DllSlot &slot, const std::string &dllDir, const char *name,
                        const char *execName, const char *versName, int idLoaded, int idNoExec, int idNoVers,
                        int idNoDll)
{
    std::string path = libraryPath(dllDir, name);
    ::dlerror();
    slot.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!slot.handle) {
        const char *why = ::dlerror();
        zb.ShowZipMessage(idNoDll, why ? std::string("\n") + why : std::string());
        return;
    }
    if (zb.Trace)
        zb.ShowZipMessage(idLoaded, "\n" + path);
    slot.exec = ::dlsym(slot.handle, execName);
    if (!slot.exec)
        zb.ShowZipMessage(idNoExec);
    slot.version = ::dlsym(slot.handle, versName);
    if (!slot.version)
        zb.ShowZipMessage(idNoVers);
}

void TZipBuilder::Load_Zip_Dll()
{
    if (zipSlot.handle)
        return;
    loadLibrary(*this, zipSlot, dllDirectory_, ZIPDLL_LIBRARY_NAME, ZIPDLL_EXEC_NAME, ZIPDLL_VERSION_NAME,
                LZ_ZipDllLoaded, LZ_NoZipDllExec, LZ_NoZipDllVers, LZ_NoZipDll);
}

void TZipBuilder::Load_Unz_Dll()
{
    if (unzSlot.handle)
        return;
    loadLibrary(*this, unzSlot, dllDirectory_, UNZDLL_LIBRARY_NAME, UNZDLL_EXEC_NAME, UNZDLL_VERSION_NAME,
                LU_UnzDllLoaded, LU_NoUnzDllExec, LU_NoUnzDllVers, LU_NoUnzDll);
}

void TZipBuilder::Unload_Zip_Dll() { unload(zipSlot); }
void TZipBuilder::Unload_Unz_Dll() { unload(unzSlot); }
bool TZipBuilder::ZipDllLoaded() { return zipSlot.handle != nullptr; }
bool TZipBuilder::UnzDllLoaded() { return unzSlot.handle != nullptr; }

int TZipBuilder::GetZipVers()
{
    bool here = !zipSlot.handle;
    if (here)
        Load_Zip_Dll();
    TemporaryLoad guard(here && zipSlot.handle, &TZipBuilder::Unload_Zip_Dll);
    return zipSlot.version ? reinterpret_cast<GetZipDllVersionFunc>(zipSlot.version)() : 0;
}

int TZipBuilder::GetUnzVers()
{
    bool here = !unzSlot.handle;
    if (here)
        Load_Unz_Dll();
    TemporaryLoad guard(here && unzSlot.handle, &TZipBuilder::Unload_Unz_Dll);
    return unzSlot.version ? reinterpret_cast<GetUnzDllVersionFunc>(unzSlot.version)() : 0;
}

// --------------------------------------------------------------- records

void TZipBuilder::SetZipSwitches(ZipDllParams &p, ParamStore &own, const std::string &archive, int version)
{
    fillZipCommon(*this, p, own, archive);
    if (version == 160) {
        p.EncryptMethod = AddEncryption == zeZipCrypto ? zemZipCrypto : zemAes256;
        std::string raw = rawComment_;
        p.Comment = raw.empty() ? nullptr : own.dup(raw);
        p.ArchiveOnly = AddOptions.has(AddArchiveOnly) ? 1 : 0;
        p.ResetArchive = AddOptions.has(AddResetArchive) ? 1 : 0;
        if (!FSpecArgsExcl.empty()) {
            own.pointerArrays.emplace_back();
            for (const auto &line : FSpecArgsExcl)
                own.pointerArrays.back().push_back(own.dup(line));
            p.ExclCount = static_cast<int32_t>(FSpecArgsExcl.size());
            p.ExclSpecs = own.pointerArrays.back().data();
        }
    }
    if ((version == 151 || version == 160) && !TempDir.empty())
        p.TempDir = own.dup(TempDir);
}

void TZipBuilder::SetZipSwitchesOld(ZipDllParamsOld &p, ParamStore &own, const std::string &archive)
{
    fillZipCommon(*this, p, own, archive);
}

void TZipBuilder::SetUnZipSwitches(UnzDllParams &p, ParamStore &own, const std::string &archive, int version)
{
    fillUnzCommon(*this, p, own, archive, version);
    if (version >= 160)
        p.PasswordReqCount = static_cast<int32_t>(passwordReqCount_);
}

void TZipBuilder::SetUnZipSwitchesOld(UnzDllParamsOld &p, ParamStore &own, const std::string &archive, int version)
{
    fillUnzCommon(*this, p, own, archive, version);
}

// -------------------------------------------------------------- callback

int32_t TZipBuilder::ZCallback(ZCallBackStruct *rec)
{
    auto *zb = static_cast<TZipBuilder *>(rec->Caller);
    if (int32_t result; queueFromLibraryThread(zb, rec, result))
        return result;
    // Exceptions must not unwind through the library's C frames: remember
    // the failure and stop the call; the operation reports it afterwards.
    try {
        zb->dispatch(rec);
    } catch (...) {
        zb->callbackFailed_ = true;
        return 1;
    }
    platform::ProcessMessages();
    return zb->CancelRequested || zb->callbackFailed_ ? 1 : 0;
}

void TZipBuilder::dispatch(ZCallBackStruct *rec)
{
    const std::string text = ReplaceForwardSlash(cleanText(rec->Text));
    const int action = rec->ActionCode;
    // Size reports carry the high 32 bits in the error field.
    const long size = static_cast<long>(static_cast<uint64_t>(static_cast<uint32_t>(rec->ErrorCode)) << 32 | rec->FileSize);
    if (OnProgress) {
        switch (action) {
        case zacFileStart: OnProgress(this, ptFileStart, text, size); break;
        case zacBytesDone: OnProgress(this, ptBytesDone, std::string(), size); break;
        case zacBatchEnd: OnProgress(this, ptBatchEnd, std::string(), 0); break;
        case zacFileCount: OnProgress(this, ptFileCount, std::string(), static_cast<long>(rec->FileSize)); break;
        case zacTotalBytes: OnProgress(this, ptTotalBytes, std::string(), size); break;
        default: break;
        }
    }
    switch (action) {
    case zacMessage:
        if (rec->ErrorCode) {
            LastErrorCode = static_cast<int8_t>(rec->ErrorCode & 0xFF);
            LastFullErrorCode = rec->ErrorCode;
        }
        LastMessage = text;
        if (OnMessage)
            OnMessage(this, rec->ErrorCode, text);
        break;
    case zacTotalBytes:
        TotalBytesToProcess = size;
        break;
    case zacNewName:
        if (OnSetNewName) {
            std::string name(rec->Text, strnlen(rec->Text, ZCB_TEXT_SIZE));
            bool changed = false;
            OnSetNewName(this, name, changed);
            if (changed)
                putText(rec->Text, name, ZCB_MAX_NAME);
            rec->ErrorCode = changed ? 1 : 0;
        }
        break;
    case zacPassword: {
        std::string pw;
        unsigned repeat = rec->FileSize;
        StoreDialogPassword = false;
        struct Restore {
            bool &flag;
            ~Restore() { flag = true; }
        } restore{StoreDialogPassword};
        if (OnPasswordError)
            OnPasswordError(this, pw, text, repeat);
        else
            pw = (rec->ErrorCode & 1) ? GetAddPassword() : GetExtrPassword();
        if (!pw.empty()) {
            putText(rec->Text, pw, ZCB_MAX_PASSWORD);
            rec->ErrorCode = 1;
        } else {
            rec->ErrorCode = 0;
            repeat = 0;
        }
        rec->FileSize = std::min<unsigned>(repeat, kMaxPasswordReqCount);
        break;
    }
    case zacCrcError:
        if (OnCRC32Error) {
            bool doExtract = true;
            OnCRC32Error(this, text, static_cast<unsigned>(rec->ErrorCode), rec->FileSize, doExtract);
            rec->ErrorCode = doExtract ? zcaKeep : zcaDiscard;
        } else {
            rec->ErrorCode = zcaNoHandler;
        }
        break;
    case zacOverwrite:
        if (OnExtractOverwrite) {
            bool doOverwrite = rec->FileSize != 0;
            OnExtractOverwrite(this, text, rec->ErrorCode == 1, doOverwrite);
            rec->FileSize = doOverwrite ? 1 : 0;
        }
        break;
    case zacSkipped:
        if (rec->ErrorCode) {
            LastErrorCode = static_cast<int8_t>(rec->ErrorCode & 0xFF);
            LastFullErrorCode = rec->ErrorCode;
        }
        if (OnExtractSkipped)
            OnExtractSkipped(this, text, static_cast<int>(rec->FileSize & 0xFF), rec->ErrorCode);
        break;
    case zacFileComment:
        if (OnFileComment) {
            const char *cur = rec->Text + ZCB_COMMENT_OFFSET;
            std::string comment(cur, strnlen(cur, ZCB_TEXT_SIZE - ZCB_COMMENT_OFFSET));
            bool changed = false;
            OnFileComment(this, text, comment, changed);
            if (changed && !comment.empty())
                putText(rec->Text, comment, ZCB_MAX_NAME);
            else
                rec->Text[0] = '\0';
            rec->ErrorCode = changed ? 1 : 0;
            rec->FileSize = static_cast<uint32_t>(std::min<size_t>(comment.size(), ZCB_MAX_NAME));
        }
        break;
    default:
        break;
    }
}
