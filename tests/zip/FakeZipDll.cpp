#include "FakeZipDll.h"

#include <cstring>

namespace {
int version = 160;
int result = 0;
std::vector<FakeCall> script;
FakeSnapshot last;

std::string str(const char *p) { return p ? std::string(p) : std::string(); }

template <typename R> void play(R *p)
{
    for (const FakeCall &c : script) {
        ZCallBackStruct cb{};
        cb.OwnerWindow = p->OwnerWindow;
        cb.Caller = p->Caller;
        cb.Version = version;
        cb.ActionCode = c.action;
        cb.ErrorCode = c.error;
        cb.FileSize = c.size;
        std::strncpy(cb.Text, c.text.c_str(), ZCB_COMMENT_OFFSET - 1);
        if (!c.text2.empty())
            std::strncpy(cb.Text + ZCB_COMMENT_OFFSET, c.text2.c_str(), ZCB_TEXT_SIZE - ZCB_COMMENT_OFFSET - 1);
        FakeReply r;
        r.result = p->Callback(&cb);
        r.error = cb.ErrorCode;
        r.size = cb.FileSize;
        r.text.assign(cb.Text, strnlen(cb.Text, ZCB_TEXT_SIZE));
        last.replies.push_back(r);
        if (r.result)
            break;
    }
}
} // namespace

extern "C" {

__attribute__((visibility("default"))) void FakeSetup(int v, int r, const std::vector<FakeCall> *s)
{
    version = v;
    result = r;
    script = s ? *s : std::vector<FakeCall>{};
    last = FakeSnapshot{};
}

__attribute__((visibility("default"))) const FakeSnapshot *FakeLast(void) { return &last; }

int32_t GetZipDllVersion(void) { return version; }
int32_t GetUnzDllVersion(void) { return version; }

int32_t ZipDllExec(ZipDllParams *p)
{
    FakeSnapshot s;
    s.calls = last.calls + 1;
    s.caller = p->Caller;
    s.version = p->Version;
    s.trace = p->Trace;
    s.hasPassword = p->Password != nullptr;
    s.password = str(p->Password);
    s.hasSuffixes = p->StoreSuffixes != nullptr;
    s.suffixes = str(p->StoreSuffixes);
    s.encrypt = p->Encrypt;
    s.hidden = p->HiddenFiles;
    s.volume = p->Volume;
    s.noDirEntries = p->NoDirEntries;
    s.verbose = p->Verbose;
    s.quiet = p->Quiet;
    s.level = p->Level;
    s.junkDirs = p->JunkDirNames;
    s.recurse = p->Recurse;
    s.grow = p->Grow;
    s.forceDos = p->ForceDos;
    s.move = p->Move;
    s.deleteEntries = p->DeleteEntries;
    s.update = p->Update;
    s.freshen = p->Freshen;
    s.zipTime = p->ZipTime;
    s.specCount = p->SpecCount;
    s.archive = str(p->ArchiveName);
    if (version < 151) {
        auto *o = reinterpret_cast<ZipDllParamsOld *>(p);
        s.oldLayout = true;
        s.seven = o->Seven;
        for (int i = 0; i < o->SpecCount; ++i) {
            FakeSpec f;
            f.spec = str(o->Specs[i]);
            s.specs.push_back(f);
        }
    } else {
        s.seven = p->Seven;
        s.hasTempDir = p->TempDir != nullptr;
        s.tempDir = str(p->TempDir);
        s.hasComment = p->Comment != nullptr;
        s.comment = str(p->Comment);
        s.archiveOnly = p->ArchiveOnly;
        s.resetArchive = p->ResetArchive;
        for (int i = 0; i < p->SpecCount; ++i) {
            const ZipSpecEntry &e = p->Specs[i];
            FakeSpec f;
            f.spec = str(e.Spec);
            f.hasPassword = e.Password != nullptr;
            f.passwordIsGlobal = e.Password && e.Password == p->Password;
            f.password = str(e.Password);
            f.encrypt = e.Encrypt;
            f.recurse = e.Recurse;
            f.hasRootDir = e.RootDir != nullptr;
            f.rootDir = str(e.RootDir);
            s.specs.push_back(f);
        }
        for (int i = 0; i < p->ExclCount; ++i)
            s.excl.push_back(str(p->ExclSpecs[i]));
    }
    last = s;
    play(p);
    return result;
}

int32_t UnzDllExec(UnzDllParams *p)
{
    FakeSnapshot s;
    s.calls = last.calls + 1;
    s.caller = p->Caller;
    s.version = p->Version;
    s.trace = p->Trace;
    s.codePage = p->CodePage;
    s.hasPassword = p->Password != nullptr;
    s.password = str(p->Password);
    s.test = p->Test;
    s.quiet = p->Quiet;
    s.verbose = p->Verbose;
    s.update = p->Update;
    s.freshen = p->Freshen;
    s.dirNames = p->DirNames;
    s.overwrite = p->Overwrite;
    s.specCount = p->SpecCount;
    s.archive = str(p->ArchiveName);
    if (version < 152) {
        auto *o = reinterpret_cast<UnzDllParamsOld *>(p);
        s.oldLayout = true;
        s.seven = o->Seven;
        for (int i = 0; i < o->SpecCount; ++i) {
            FakeSpec f;
            f.spec = str(o->Specs[i]);
            s.specs.push_back(f);
        }
    } else {
        s.seven = p->Seven;
        s.toMemory = p->ExtractToMemory;
        s.memSize = p->MemSize;
        s.reqCount = p->PasswordReqCount;
        for (int i = 0; i < p->SpecCount; ++i) {
            FakeSpec f;
            f.spec = str(p->Specs[i].Spec);
            s.specs.push_back(f);
        }
        if (p->ExtractToMemory && p->MemBuffer)
            for (uint32_t i = 0; i < p->MemSize; ++i)
                static_cast<char *>(p->MemBuffer)[i] = static_cast<char>('a' + i % 26);
    }
    last = s;
    play(p);
    return result;
}

} // extern "C"
