#pragma once
// Scripted volume service for tests: drives are real folders, disks are
// sets of files that move into the drive's folder when the disk is put in
// and out again when it is taken out, so disk swaps happen on real files.

#include "platform/Volumes.h"

#include <map>
#include <vector>

namespace platform {

class ScriptedVolumes final : public Volumes {
public:
    struct Disk {
        std::string label;
        int64_t capacity = 0;
        bool formatted = true;
        std::string store; // where its files wait while it is out of the drive
    };

    ScriptedVolumes();
    ~ScriptedVolumes() override;

    // `root` is an existing folder that stands for the drive. A fixed or
    // remote drive always holds one disk of `capacity` bytes.
    void addDrive(const std::string &root, int type, int64_t capacity = int64_t(1) << 30);
    // A new disk (not in any drive yet); returns its number.
    int addDisk(const std::string &label, int64_t capacity, bool formatted = true);
    // Drives are named by the folder given to addDrive; that name is also
    // the drive's device.
    void insert(const std::string &root, int disk); // takes out the disk that was there
    // As an automounter does: mounts the disk at a folder of its own (made
    // now, removed again when the disk is taken out).
    void insertAt(const std::string &root, int disk, const std::string &folder);
    void eject(const std::string &root);
    int inserted(const std::string &root) const; // -1: empty drive
    std::string mountOf(const std::string &root) const; // "" while an automounted drive is empty
    Disk &disk(int n) { return disks_.at(static_cast<size_t>(n)); }
    // Names of the files on a disk, wherever it is.
    std::vector<std::string> files(int n) const;

    bool failSetLabel = false;
    bool failErase = false;
    std::vector<std::string> labelsWritten; // every successful setLabel
    int erases = 0;

    std::string root(const std::string &path) override;
    int driveType(const std::string &root) override;
    bool space(const std::string &root, int64_t &freeBytes, int64_t &totalBytes) override;
    LabelRead label(const std::string &root, std::string &label) override;
    bool setLabel(const std::string &root, const std::string &label) override;
    bool erase(const std::string &root) override;
    std::vector<Mount> removableMounts() override;

private:
    struct Drive {
        int type;
        int disk = -1;
        std::string mount;       // where its disk is (or would be) mounted
        bool automount = false;  // mount is a folder of the disk's own
    };
    Drive *drive(const std::string &root);   // by the name given to addDrive
    Drive *mounted(const std::string &root); // by where it is mounted now
    std::string folderOf(int disk) const;
    std::map<std::string, Drive> drives_;
    std::vector<Disk> disks_;
    Volumes *previous_;
};

} // namespace platform
