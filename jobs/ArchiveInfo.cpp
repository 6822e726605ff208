#include "jobs/ArchiveInfo.h"

#include "jobs/HostJobs.h"

#include <QString>

#include <cstdio>
#include <cstring>
#include <memory>

namespace jobs {
namespace {

// Windows-1252 0x80..0x9F; the rest of the upper half equals Latin-1.
// Undefined positions map to U+FFFD.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

// Length of the valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len;
    uint32_t cp;
    if (b < 0x80)
        return 1;
    if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

bool isUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = utf8SequenceLength(s, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string cp1252ToUtf8(std::string_view s)
{
    QString out;
    out.reserve(static_cast<qsizetype>(s.size()));
    for (char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x80 && b < 0xA0)
            out += QChar(kCp1252High[b - 0x80]);
        else
            out += QChar(static_cast<char16_t>(b));
    }
    return out.toStdString();
}

// Longest prefix of `v` that fits in `room` bytes without splitting a UTF-8
// character (text that is not UTF-8 is cut at the byte).
std::size_t fittingPrefix(std::string_view v, std::size_t room)
{
    if (v.size() <= room)
        return v.size();
    std::size_t cut = room;
    if (isUtf8(v)) {
        while (cut > 0 && (static_cast<unsigned char>(v[cut]) & 0xC0) == 0x80)
            --cut;
    }
    return cut;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void cannotOpen() { std::fputs("Cannot open file.\n", stderr); }

} // namespace

std::string TArchiveInfo::fieldText(const char *f, std::size_t size)
{
    std::string raw(f, ::strnlen(f, size));
    return isUtf8(raw) ? raw : cp1252ToUtf8(raw);
}

bool TArchiveInfo::setFieldText(char *f, std::size_t size, std::string_view v)
{
    const std::size_t n = fittingPrefix(v, size - 1);
    std::memcpy(f, v.data(), n);
    f[n] = '\0';
    return n == v.size();
}

std::string TArchiveInfo::saveFileMemberName() const
{
    const std::string path = tempSaveFilePath();
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string recordPath(const std::string &localPath)
{
    std::string out = localPath;
    for (char &c : out)
        if (c == '/')
            c = '\\';
    return out;
}

void TArchiveInfo::reset()
{
    std::memset(bytes(), 0, sizeof(TArchiveInfo));
    FormatVersion = kArchiveFormatVersion;
    setSavedRelease(kCurrentRelease);
    setDefaultRestoreLibrary(kSavLib);
}

uint32_t fieldHash(const char *f, std::size_t size)
{
    uint32_t h = 0x811C9DC5u;
    const std::size_t n = ::strnlen(f, size);
    for (std::size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(f[i]);
        h *= 0x01000193u;
    }
    return h;
}

uint32_t computeCheckValue(const TArchiveInfo &info)
{
    uint32_t sum = 0;
    sum += fieldHash(info.OwnerName, sizeof info.OwnerName);
    sum += fieldHash(info.TargetCommand, sizeof info.TargetCommand);
    sum += fieldHash(info.DefaultTargetHost, sizeof info.DefaultTargetHost);
    sum += fieldHash(info.DefaultUserProfile, sizeof info.DefaultUserProfile);
    sum += fieldHash(info.DefaultRestoreLibrary, sizeof info.DefaultRestoreLibrary);
    sum += fieldHash(info.PosterFile, sizeof info.PosterFile);
    sum += fieldHash(info.PosterLink, sizeof info.PosterLink);
    return sum;
}

std::string infoMemberPath(const std::string &folder)
{
    std::string p = folder;
    if (p.empty() || p.back() != '/')
        p += '/';
    return p + kInfoMemberName;
}

bool writeInfoMember(TArchiveInfo &info, const std::string &folder)
{
    info.CheckValue = computeCheckValue(info);
    const std::string path = infoMemberPath(folder);
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        cannotOpen();
        return false;
    }
    const bool written = std::fwrite(info.bytes(), 1, sizeof info, f.get()) == sizeof info;
    const bool closed = std::fclose(f.release()) == 0;
    if (!written || !closed) {
        // A full disk must not leave a short record to be zipped as if whole.
        std::remove(path.c_str());
        cannotOpen();
        return false;
    }
    return true;
}

bool readInfoMember(TArchiveInfo &info, const std::string &folder, bool *checkMatches)
{
    File f(std::fopen(infoMemberPath(folder).c_str(), "rb"));
    if (!f) {
        cannotOpen();
        return false;
    }
    // Read into a copy first: a short file replaces only the bytes it has.
    TArchiveInfo read = info;
    std::size_t got = std::fread(read.bytes(), 1, sizeof read, f.get());
    std::memcpy(info.bytes(), read.bytes(), got);
    if (checkMatches)
        *checkMatches = computeCheckValue(info) == info.CheckValue;
    return true;
}

namespace {

std::string fileNamePart(const std::string &path)
{
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool sameName(const std::string &a, const std::string &b)
{
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

bool hasMember(const std::vector<std::string> &members, const std::string &name)
{
    for (const auto &m : members)
        if (sameName(fileNamePart(m), name))
            return true;
    return false;
}

template <std::size_t N> bool terminated(const char (&f)[N]) { return std::memchr(f, 0, N) != nullptr; }

} // namespace

std::string archiveProblem(bool isZip, const std::vector<std::string> &members, const std::string &folder)
{
    if (!isZip)
        return "It is not a zip archive.";
    if (!hasMember(members, kInfoMemberName))
        return std::string("It holds no ") + kInfoMemberName + ", so it was not made by Quellon.";
    File f(std::fopen(infoMemberPath(folder).c_str(), "rb"));
    if (!f)
        return std::string("Its ") + kInfoMemberName + " could not be unpacked.";
    TArchiveInfo r{};
    const std::size_t got = std::fread(r.bytes(), 1, sizeof r, f.get());
    const bool longer = std::fgetc(f.get()) != EOF;
    const std::string damaged = std::string("Its ") + kInfoMemberName + " is damaged: ";
    // A later format may be laid out otherwise; the format check speaks for it.
    if (got >= 4 && r.FormatVersion > kArchiveFormatVersion && r.FormatVersion < 1000)
        return {};
    if (got != sizeof r || longer)
        return damaged + (longer ? "it is longer than " : "it holds " + std::to_string(got) + " bytes, not ") +
               std::to_string(sizeof r) + " bytes.";
    if (r.FormatVersion < 1 || r.FormatVersion > kArchiveFormatVersion)
        return damaged + "its format version reads " + std::to_string(r.FormatVersion) + ".";
    if (r.SaveType != 0 && r.SaveType != 1)
        return damaged + "its save type reads " + std::to_string(r.SaveType) + ".";
    if (!terminated(r.SavedLibrary) || r.savedLibrary().empty())
        return damaged + "it names no saved library.";
    const std::string member = r.saveFileMemberName();
    if (!terminated(r.TempSaveFilePath) || member.empty() || member == "." || member == "..")
        return damaged + "it names no save file member.";
    if (!hasMember(members, member))
        return "The save file member " + member + " that its " + kInfoMemberName + " names is missing.";
    return {};
}

std::string displayUpper(const std::string &s)
{
    return QString::fromStdString(s).toUpper().toStdString();
}

std::vector<std::string> saveSummary(const std::string &library, const std::string &targetRelease,
                                     const std::string &serverName, const std::string &userProfile)
{
    return {"",
            "Library to be saved: " + library,
            "",
            "Target release: " + targetRelease,
            "",
            "Server name or TCP/IP address: " + serverName,
            "",
            "User profile: " + userProfile,
            ""};
}

std::vector<std::string> restoreSummary(const TArchiveInfo &info, const std::string &restoreToLibrary,
                                        const std::string &serverName, const std::string &userProfile,
                                        const std::string &restoreFrom)
{
    std::vector<std::string> lines{
        "Saved by: " + info.ownerName(),
        std::string(67, '='),
        "Saved Library: " + displayUpper(info.savedLibrary()),
        "Save Time: " + displayUpper(info.saveTime()),
        "Saved Release: " + displayUpper(info.savedRelease()),
        "Restore to Library: " + displayUpper(restoreToLibrary),
        "Restore on:   " + displayUpper(serverName),
        "Restore User Profile: " + displayUpper(userProfile),
        "Restore from: " + restoreFrom,
    };
    const std::string command = info.targetCommand();
    if (!command.empty()) {
        lines.push_back("The following OS/400 command will be executed after restore:");
        // As it will be sent, whole: an archive may come from anyone.
        lines.push_back("===> " + splitCommand(cutUtf8(command, kCommandMax)).sent);
    }
    return lines;
}

} // namespace jobs
