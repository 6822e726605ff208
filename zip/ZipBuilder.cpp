// TZipBuilder core: defaults, setter rules, messages, passwords, utilities.

#include "zip/ZipBuilder.h"

#include "platform/Dialogs.h"
#include "platform/TempFiles.h"
#include "zip/CodePage.h"
#include "zip/ZipMessages.h"

#include <cstring>
#include <unistd.h>

using namespace zipmsg;

namespace {

std::string textOrFallback(int id) { return LoadZipStr(id, kFallbackText + std::to_string(id)); }

// Formatting forms: the fallback text, when used, is not formatted.
std::string formatted(int id, const std::vector<std::string> &values)
{
    std::string t = builtinText(id);
    return t.empty() ? kFallbackText + std::to_string(id) : formatMessage(t, values);
}

ZipPasswordPrompt *installedPrompt = nullptr;

} // namespace

ZipPasswordPrompt *zipPasswordPrompt() { return installedPrompt; }
void setZipPasswordPrompt(ZipPasswordPrompt *p) { installedPrompt = p; }

// ---------------------------------------------------------------- EZipBuilder

EZipBuilder::EZipBuilder(Text, int id, bool show, const std::string &text)
    : std::runtime_error(text), ShowInBox(show), TextId(id)
{
}
EZipBuilder::EZipBuilder(int id, bool showInBox) : EZipBuilder(Text{}, id, showInBox, textOrFallback(id)) {}
EZipBuilder::EZipBuilder(int id, int diskNo) : EZipBuilder(Text{}, id, true, formatted(id, {std::to_string(diskNo)})) {}
EZipBuilder::EZipBuilder(int id, const std::string &drive) : EZipBuilder(Text{}, id, true, formatted(id, {drive})) {}
EZipBuilder::EZipBuilder(int id, const std::string &name1, const std::string &name2)
    : EZipBuilder(Text{}, id, true, formatted(id, {name1, name2}))
{
}

// ----------------------------------------------------------------- TZipStream

void TZipStream::SetPointer(const void *memory, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(memory);
    data_.assign(p, p + size);
    pos_ = 0;
}

size_t TZipStream::Read(void *buf, size_t n)
{
    n = std::min(n, data_.size() - pos_);
    if (n)
        std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

// ---------------------------------------------------------------- TZipBuilder

TZipBuilder::TZipBuilder() = default;
TZipBuilder::~TZipBuilder()
{
    // An archive password is not left behind in freed memory.
    volatile char *p = Password.data();
    for (size_t i = 0; i < Password.size(); ++i)
        p[i] = 0;
}

void TZipBuilder::SetFileName(const std::string &name)
{
    zipFileName_ = name;
    List();
}

void TZipBuilder::SetDLLDirectory(const std::string &dir)
{
    std::string v = dir;
    if (!v.empty() && (v.back() == '/' || v.back() == '\\'))
        v.pop_back();
    if (v != dllDirectory_)
        dllDirectory_ = v;
}

void TZipBuilder::SetRootDir(const std::string &dir)
{
    std::string v = AppendSlash(dir);
    if (v != rootDir_)
        rootDir_ = v;
}

void TZipBuilder::SetMaxVolumeSize(long v)
{
    if (v >= 0)
        maxVolumeSize_ = v;
}

void TZipBuilder::SetFreeOnDisk1(long v)
{
    if (v >= 0)
        freeOnDisk1_ = v;
}

void TZipBuilder::SetMinFreeVolSize(long v)
{
    if (v > 0)
        minFreeVolSize_ = v;
}

void TZipBuilder::SetPasswordReqCount(unsigned v)
{
    v = std::min<unsigned>(v, kMaxPasswordReqCount);
    if (v != passwordReqCount_)
        passwordReqCount_ = v;
}

// ------------------------------------------------------------------ messages

void TZipBuilder::ShowZipMessage(int id, const std::string &extra)
{
    std::string text = textOrFallback(id) + extra;
    LastErrorCode = id;
    LastMessage = text;
    if (!Unattended)
        platform::dialogs().messageBox(text, "Quellon", platform::Buttons::Ok, platform::Icon::None);
    if (OnMessage)
        OnMessage(this, 0, text);
}

void TZipBuilder::ShowExceptionError(const EZipBuilder &e)
{
    if (e.ShowInBox && !Unattended)
        platform::dialogs().messageBox(e.what(), "Quellon", platform::Buttons::Ok, platform::Icon::None);
    LastErrorCode = e.TextId;
    LastMessage = e.what();
    if (OnMessage)
        OnMessage(this, 0, LastMessage);
}

// ----------------------------------------------------------------- passwords

bool TZipBuilder::GetPassword(const std::string &caption, const std::string &prompt, std::string &password)
{
    password.clear();
    ZipPasswordPrompt *p = zipPasswordPrompt();
    if (!p)
        return false;
    auto answer = p->ask(caption, prompt, LoadZipStr(PW_Ok, "OK"), LoadZipStr(PW_Cancel, "Cancel"));
    if (!answer)
        return false;
    password = *answer;
    return true;
}

std::string TZipBuilder::GetAddPassword()
{
    if (Unattended) {
        ShowZipMessage(PW_UnatAddPWMiss);
        return {};
    }
    std::string caption = textOrFallback(PW_Caption);
    std::string first, second;
    if (!GetPassword(caption, LoadZipStr(PW_MessageEnter, ""), first) || first.empty())
        return {};
    GetPassword(caption, LoadZipStr(PW_MessageConfirm, ""), second);
    if (second.empty() || first != second) {
        ShowZipMessage(GE_WrongPassword);
        return {};
    }
    if (StoreDialogPassword)
        Password = first;
    return first;
}

std::string TZipBuilder::GetExtrPassword()
{
    if (Unattended) {
        ShowZipMessage(PW_UnatExtPWMiss);
        return {};
    }
    std::string pw;
    GetPassword(textOrFallback(PW_Caption), LoadZipStr(PW_MessageEnter, ""), pw);
    if (!pw.empty() && StoreDialogPassword)
        Password = pw;
    return pw;
}

// ----------------------------------------------------------------- utilities

std::string TZipBuilder::AppendSlash(const std::string &s)
{
    if (s.empty() || s.back() == '/')
        return s;
    return s + '/';
}

// On this platform '/' already is the separator; the archive's stored names
// keep theirs.
std::string TZipBuilder::ReplaceForwardSlash(const std::string &s) { return s; }

bool TZipBuilder::OemConversionApplies() const
{
    switch (CodePage) {
    case cpOEM: return true;
    case cpNone: return false;
    case cpAUTO: break;
    }
    // FAT and HPFS always used the OEM set; NTFS only from the made-by version 5.0 writers.
    return hostNum_ == 0 || hostNum_ == 6 || (hostNum_ == 11 && hostVer_ == 50);
}

std::string TZipBuilder::ConvertOem2Iso(const std::string &s, CodePageDirection dir) const
{
    if (!OemConversionApplies())
        return s;
    return dir == cpdOemToAnsi ? codepage::cp437ToUtf8(s) : codepage::utf8ToCp437(s);
}

std::string TZipBuilder::decodeName(const std::string &raw, uint16_t flag) const
{
    // General-purpose bit 11: the writer declared the name UTF-8.
    if (flag & 0x0800)
        return codepage::isValidUtf8(raw) ? raw : codepage::cp1252ToUtf8(raw);
    if (OemConversionApplies())
        return codepage::cp437ToUtf8(raw);
    return codepage::isValidUtf8(raw) ? raw : codepage::cp1252ToUtf8(raw);
}

std::string TZipBuilder::AddSuffix() const
{
    static const char *const ext[] = {"gif", "png", "z", "zip", "zoo", "arc", "lzh", "arj", "taz", "tgz", "lha", "exe"};
    std::string s;
    for (int i = assGIF; i <= assEXE; ++i)
        if (AddStoreSuffixes.has(static_cast<AddStoreSuffix>(i)))
            s += std::string(".") + ext[i] + ":";
    if (!s.empty())
        s.pop_back();
    return s;
}

std::string TZipBuilder::MakeTempFileName(const std::string &prefix, const std::string &extension)
{
    std::string dir;
    if (!TempDir.empty()) {
        TempDir = AppendSlash(TempDir);
        dir = TempDir;
    } else {
        dir = platform::tempPath();
    }
    std::string name = platform::makeUniqueTempFile(dir, prefix);
    if (name.empty())
        return {};
    ::unlink(name.c_str());
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        name.erase(dot);
    return name + extension;
}
