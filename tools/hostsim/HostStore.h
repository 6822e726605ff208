#pragma once
// The host's libraries on disk: one folder per library below the root, one
// file per object named NAME.TYPE (MYPGM.PGM, SAVF.FILE, MYDATA.DTAARA).
// Names are looked up without regard to case, as the host folds them.
//
// A *FILE object is either a save file (the raw save file bytes, so a copy
// of SAVF.FILE is a usable .savf) or a physical file, which starts with a
// 16-byte header "QSIMPF01" + the record length in 8 decimal digits,
// followed by fixed-length EBCDIC records.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hostsim {

namespace fs = std::filesystem;

struct ObjectEntry {
    std::string name; // upper case
    std::string type; // without the asterisk: PGM, FILE, DTAARA
    fs::path path;
};

enum class FileKind { None, SaveFile, Physical };

inline constexpr size_t kPfHeaderLength = 16;

class HostStore {
public:
    explicit HostStore(fs::path root);

    const fs::path &root() const { return root_; }
    // Held while a command changes libraries, so that clients see whole
    // commands, never half of one.
    std::mutex &mutex() { return mutex_; }

    std::optional<fs::path> findLibrary(const std::string &name) const;
    fs::path createLibrary(const std::string &name);
    std::vector<std::string> libraries() const;

    static std::vector<ObjectEntry> objects(const fs::path &libraryDir);
    static std::optional<fs::path> findObject(const fs::path &libraryDir, const std::string &name,
                                              const std::string &type);
    static bool isKnownType(const std::string &type);

    // *FILE helpers.
    static FileKind fileKind(const fs::path &file);
    static std::string pfHeader(size_t recordLength);
    // Record length of a physical file, 0 when `file` is not one.
    static size_t pfRecordLength(const fs::path &file);

    // Writes `bytes` to `target` through a temporary file in the same
    // folder, so a reader never sees a half-written object.
    static bool writeFileAtomic(const fs::path &target, const std::string &bytes);
    static fs::path tempPathFor(const fs::path &target);

    // An object's *PUBLIC authority, kept as the file's mode: *EXCLUDE
    // 0600, *USE 0644, *CHANGE (and *ALL) 0666.
    static std::string publicAuthority(const fs::path &object);
    static bool setPublicAuthority(const fs::path &object, const std::string &aut);

private:
    fs::path root_;
    std::mutex mutex_;
};

} // namespace hostsim
