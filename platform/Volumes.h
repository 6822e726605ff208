#pragma once
// Volumes: the drive root, type, free space and label of the file system a
// path lives on, and the erase-and-label step that prepares a removable
// volume for a multi-volume archive. The program uses the system service;
// tests install ScriptedVolumes to swap disks.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Drive types keep the numbers callers compare against.
enum DriveType : int {
    dtUnknown = 0, dtNoRootDir = 1, dtRemovable = 2, dtFixed = 3, dtRemote = 4, dtCdRom = 5, dtRamDisk = 6
};

enum class LabelRead {
    Ok,          // a mounted volume; label may be empty
    NoMedium,    // nothing mounted at the root (disk taken out)
    Unformatted, // a medium without a usable file system
};

// A removable volume mounted now: where, from which device, under which label.
struct Mount {
    std::string root;
    std::string device;
    std::string label;
};

class Volumes {
public:
    virtual ~Volumes() = default;

    // Mount point of the file system holding `path` (the nearest existing
    // folder counts for a path that does not exist yet); "/" when the system
    // cannot tell.
    virtual std::string root(const std::string &path) = 0;
    virtual int driveType(const std::string &root) = 0;
    // Bytes free to the caller and total bytes; false when not obtainable.
    virtual bool space(const std::string &root, int64_t &freeBytes, int64_t &totalBytes) = 0;
    virtual LabelRead label(const std::string &root, std::string &label) = 0;
    virtual bool setLabel(const std::string &root, const std::string &label) = 0;
    // Removes every file and folder on a removable volume. Refuses anything
    // that is not the mount point of a removable volume.
    virtual bool erase(const std::string &root) = 0;
    // Every removable volume mounted now. Automounters mount each disk under
    // a folder of its own, so this is how a swapped disk is found again.
    virtual std::vector<Mount> removableMounts() = 0;
};

Volumes &volumes();
void setVolumes(Volumes *v); // not owned; nullptr restores the system service

// Drive type of a mounted file system from its type name and device
// ("/dev/sdb1"): remote for network file systems, removable when the block
// device says so in /sys/block/*/removable, else fixed.
int driveTypeOf(const std::string &fsType, const std::string &device);

} // namespace platform
