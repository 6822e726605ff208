#pragma once
// The emulated host's save file format. Like a real *SAVF it is a sequence
// of 528-byte records in EBCDIC with blanks at offset 40, the QSRDSSPC
// descriptor (saving command and release byte 212/213 bytes after it) and
// the saved library's name at offset 12674. The rest is our own: a header
// of 25 records, then the objects one after the other, each with a 40-byte
// entry header, zero-padded to a whole record. Two CRC-32 values, one over
// the header and one over the objects, catch a damaged file (for example
// one sent in ASCII mode) before anything is restored.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace hostsim {

namespace fs = std::filesystem;

inline constexpr size_t kSavfRecordLength = 528;
inline constexpr size_t kSavfHeaderLength = 25 * kSavfRecordLength;
inline constexpr size_t kSavfLibraryOffset = 12674;
inline constexpr size_t kSavfDescriptorOffset = 0x1084;
inline constexpr size_t kSavfEntryHeaderLength = 40;

struct SavedObject {
    std::string name;
    std::string type; // with the asterisk: *PGM
    std::string attribute;
    uint64_t size = 0;
    uint64_t offset = 0; // of the data inside the save file
};

struct SaveFileInfo {
    std::string library;
    std::string command; // SAVLIB or SAVOBJ
    std::string release; // V7R3M0
    std::string savedAt; // YYYYMMDDHHMMSS
    std::string system;
    std::vector<SavedObject> objects;
};

struct ObjectSource {
    std::string name;
    std::string type; // with the asterisk
    std::string attribute;
    fs::path path;
};

// The release byte the descriptor carries, 0 for a name we do not know.
uint8_t releaseByte(const std::string &release);

// Writes a save file of `sources` to `target` (through a temporary file).
bool writeSaveFile(const fs::path &target, const SaveFileInfo &info, const std::vector<ObjectSource> &sources,
                   std::string *error);

// Reads and verifies a save file; on damage returns nothing and says why.
std::optional<SaveFileInfo> readSaveFile(const fs::path &file, std::string *reason);

// Copies one saved object out of `savf` to `target` (through a temporary file).
bool extractObject(const fs::path &savf, const SavedObject &object, const fs::path &target, std::string *error);

} // namespace hostsim
