#pragma once
// The archive info record: the fixed 1884-byte description that travels in
// every zipped save file as the member "zipInfo.4qi". Its byte image is the
// file format, so the layout below is frozen: packed, little-endian, text
// fields zero-terminated with whatever bytes followed the terminator before
// (those tails are stored as they are and ignored on reading).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jobs {

static_assert(std::endian::native == std::endian::little,
              "the record is stored little-endian and read as raw bytes");

inline constexpr int32_t kArchiveFormatVersion = 101;
inline constexpr const char *kInfoMemberName = "zipInfo.4qi";
inline constexpr const char *kSavLib = "*SAVLIB";
inline constexpr const char *kCurrentRelease = "*CURRENT";

#pragma pack(push, 1)
struct TArchiveInfo {
    int32_t FormatVersion;
    uint32_t CheckValue;
    char SavedLibrary[12];
    int32_t SaveType; // 0 entire library, 1 single object
    char DownloadAddress[256];
    char OwnerName[256];
    char SaveTime[32];
    char SavedRelease[11];
    char TargetCommand[256];
    char DefaultTargetHost[256];
    char DefaultUserProfile[11];
    char DefaultRestoreLibrary[11];
    char PosterFile[256];
    char PosterLink[256];
    uint8_t PosterStretch;
    char TempSaveFilePath[258];

    // Bounded reads: a field without a terminator yields its whole size and
    // never more. Bytes that are not UTF-8 (archives from Windows) are taken
    // as Windows-1252.
    std::string savedLibrary() const { return field(SavedLibrary); }
    std::string downloadAddress() const { return field(DownloadAddress); }
    std::string ownerName() const { return field(OwnerName); }
    std::string saveTime() const { return field(SaveTime); }
    std::string savedRelease() const { return field(SavedRelease); }
    std::string targetCommand() const { return field(TargetCommand); }
    std::string defaultTargetHost() const { return field(DefaultTargetHost); }
    std::string defaultUserProfile() const { return field(DefaultUserProfile); }
    std::string defaultRestoreLibrary() const { return field(DefaultRestoreLibrary); }
    std::string posterFile() const { return field(PosterFile); }
    std::string posterLink() const { return field(PosterLink); }
    std::string tempSaveFilePath() const { return field(TempSaveFilePath); }

    // Writes the text and its terminator over the start of the field and
    // leaves the bytes after the terminator alone. Text that does not fit is
    // cut (at a character boundary) to leave room for the terminator; the
    // result is false then, so a caller that needs the whole text can refuse.
    bool setSavedLibrary(std::string_view v) { return setField(SavedLibrary, v); }
    bool setDownloadAddress(std::string_view v) { return setField(DownloadAddress, v); }
    bool setOwnerName(std::string_view v) { return setField(OwnerName, v); }
    bool setSaveTime(std::string_view v) { return setField(SaveTime, v); }
    bool setSavedRelease(std::string_view v) { return setField(SavedRelease, v); }
    bool setTargetCommand(std::string_view v) { return setField(TargetCommand, v); }
    bool setDefaultTargetHost(std::string_view v) { return setField(DefaultTargetHost, v); }
    bool setDefaultUserProfile(std::string_view v) { return setField(DefaultUserProfile, v); }
    bool setDefaultRestoreLibrary(std::string_view v) { return setField(DefaultRestoreLibrary, v); }
    bool setPosterFile(std::string_view v) { return setField(PosterFile, v); }
    bool setPosterLink(std::string_view v) { return setField(PosterLink, v); }
    bool setTempSaveFilePath(std::string_view v) { return setField(TempSaveFilePath, v); }

    // The member name under which the save file travels: the file-name part of
    // the temporary save file path, cut at the last '/' or '\' (Windows paths).
    std::string saveFileMemberName() const;

    // All bytes to zero, then the start values of a new run: format version
    // 101, saved release "*CURRENT", default restore library "*SAVLIB".
    void reset();

    const unsigned char *bytes() const { return reinterpret_cast<const unsigned char *>(this); }
    unsigned char *bytes() { return reinterpret_cast<unsigned char *>(this); }

    template <std::size_t N> static std::string field(const char (&f)[N]) { return fieldText(f, N); }
    template <std::size_t N> static bool setField(char (&f)[N], std::string_view v) { return setFieldText(f, N, v); }
    static std::string fieldText(const char *f, std::size_t size);
    static bool setFieldText(char *f, std::size_t size, std::string_view v);
};
#pragma pack(pop)

static_assert(sizeof(TArchiveInfo) == 1884);
static_assert(offsetof(TArchiveInfo, FormatVersion) == 0);
static_assert(offsetof(TArchiveInfo, CheckValue) == 4);
static_assert(offsetof(TArchiveInfo, SavedLibrary) == 8);
static_assert(offsetof(TArchiveInfo, SaveType) == 20);
static_assert(offsetof(TArchiveInfo, DownloadAddress) == 24);
static_assert(offsetof(TArchiveInfo, OwnerName) == 280);
static_assert(offsetof(TArchiveInfo, SaveTime) == 536);
static_assert(offsetof(TArchiveInfo, SavedRelease) == 568);
static_assert(offsetof(TArchiveInfo, TargetCommand) == 579);
static_assert(offsetof(TArchiveInfo, DefaultTargetHost) == 835);
static_assert(offsetof(TArchiveInfo, DefaultUserProfile) == 1091);
static_assert(offsetof(TArchiveInfo, DefaultRestoreLibrary) == 1102);
static_assert(offsetof(TArchiveInfo, PosterFile) == 1113);
static_assert(offsetof(TArchiveInfo, PosterLink) == 1369);
static_assert(offsetof(TArchiveInfo, PosterStretch) == 1625);
static_assert(offsetof(TArchiveInfo, TempSaveFilePath) == 1626);

// Hash of one text field up to its terminator (bounded by the field size):
// 32-bit FNV-1a (offset basis 0x811C9DC5, prime 0x01000193) over the raw
// bytes. Any deterministic hash would do: no reader refuses a record for it.
uint32_t fieldHash(const char *f, std::size_t size);

// The record's check value: the wrapping 32-bit sum of fieldHash over owner
// name, target command, default target host, default user profile, default
// restore library, poster file and poster link, in this order.
uint32_t computeCheckValue(const TArchiveInfo &info);

// Computes and stores the check value, then writes the 1884 bytes as
// FOLDER/zipInfo.4qi (created or replaced). When the file cannot be made or
// written completely, "Cannot open file.\n" goes to stderr and the result is
// false; a partly written member is removed so no short record travels.
bool writeInfoMember(TArchiveInfo &info, const std::string &folder);

// Reads FOLDER/zipInfo.4qi over the record from its first byte: up to 1884
// bytes, a shorter file replaces only the bytes it has. When the file cannot
// be opened, "Cannot open file.\n" goes to stderr, the record keeps its
// contents and the result is false. `checkMatches` (optional) tells whether
// the stored check value agrees; nothing depends on it.
bool readInfoMember(TArchiveInfo &info, const std::string &folder, bool *checkMatches = nullptr);

// A local path as the record stores it: with backslashes for separators, so
// readers that take the member name after the last backslash find it.
std::string recordPath(const std::string &localPath);

// Path of the info member in a folder.
std::string infoMemberPath(const std::string &folder);

// What makes a file chosen for restore no Quellon archive, in words for the
// operator; empty when it is one. `isZip`: the zip component could read it;
// `members`: its member names; `folder`: where its info member was unpacked.
// A record of a newer format is left to the format check.
std::string archiveProblem(bool isZip, const std::vector<std::string> &members, const std::string &folder);

// The summary lines of the summary page, values as the wizard holds them.
std::vector<std::string> saveSummary(const std::string &library, const std::string &targetRelease,
                                     const std::string &serverName, const std::string &userProfile);
std::vector<std::string> restoreSummary(const TArchiveInfo &info, const std::string &restoreToLibrary,
                                        const std::string &serverName, const std::string &userProfile,
                                        const std::string &restoreFrom);

// Upper case for display (Unicode-aware), as the restore summary shows it.
std::string displayUpper(const std::string &s);

} // namespace jobs
