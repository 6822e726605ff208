#include "jobs/ArchivePassword.h"

#include "jobs/ArchiveInfo.h"
#include "zip/ZipBuilder.h"
#include "zipdll/ZipDllRecords.h"

namespace jobs {

bool archiveEncrypted(const TZipBuilder &zip)
{
    for (const ZipDirEntry &e : zip.Entries)
        if (e.Encrypted)
            return true;
    return false;
}

bool archivePasswordFits(TZipBuilder &zip, const std::string &folder)
{
    // Nobody is asked and nothing is shown or written: a wrong password is
    // the caller's one message.
    struct Keep {
        TZipBuilder &z;
        decltype(TZipBuilder::OnMessage) messages = z.OnMessage;
        decltype(TZipBuilder::OnPasswordError) ask = z.OnPasswordError;
        std::vector<std::string> args = z.FSpecArgs;
        std::string dir = z.ExtrBaseDir;
        ExtrOpts opts = z.ExtrOptions;
        unsigned tries = z.PasswordReqCount();
        bool unattended = z.Unattended;
        ~Keep()
        {
            z.OnMessage = messages;
            z.OnPasswordError = ask;
            z.FSpecArgs = args;
            z.ExtrBaseDir = dir;
            z.ExtrOptions = opts;
            z.SetPasswordReqCount(tries);
            z.Unattended = unattended;
        }
    } keep{zip};
    bool refused = false;
    zip.OnMessage = [&refused](TZipBuilder *, int code, const std::string &) { refused = refused || code == zdePassword; };
    zip.OnPasswordError = [](TZipBuilder *, std::string &pw, const std::string &, unsigned &repeat) {
        pw.clear();
        repeat = 0;
    };
    zip.Unattended = true;
    zip.SetPasswordReqCount(0);
    zip.FSpecArgs = {kInfoMemberName};
    zip.ExtrBaseDir = folder;
    zip.ExtrOptions = ExtrOpts{ExtrTest};
    try {
        zip.Extract();
    } catch (...) {
    }
    return !refused;
}

} // namespace jobs
