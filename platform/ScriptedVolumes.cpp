#include "platform/ScriptedVolumes.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace platform {
namespace {

std::vector<std::string> listFiles(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                out.push_back(n);
        }
        ::closedir(d);
    }
    return out;
}

int64_t bytesIn(const std::string &dir)
{
    int64_t sum = 0;
    for (const auto &n : listFiles(dir)) {
        struct stat st{};
        if (::stat((dir + "/" + n).c_str(), &st) == 0)
            sum += st.st_size;
    }
    return sum;
}

void moveAll(const std::string &from, const std::string &to)
{
    for (const auto &n : listFiles(from))
        std::rename((from + "/" + n).c_str(), (to + "/" + n).c_str());
}

} // namespace

ScriptedVolumes::ScriptedVolumes() : previous_(&volumes()) { setVolumes(this); }
ScriptedVolumes::~ScriptedVolumes() { setVolumes(previous_ == this ? nullptr : previous_); }

void ScriptedVolumes::addDrive(const std::string &root, int type, int64_t capacity)
{
    drives_[root] = Drive{type, -1, root, false};
    if (type == dtFixed || type == dtRemote) {
        int d = addDisk("", capacity);
        disks_[static_cast<size_t>(d)].store = root;
        drives_[root].disk = d;
    }
}

int ScriptedVolumes::addDisk(const std::string &label, int64_t capacity, bool formatted)
{
    Disk d;
    d.label = label;
    d.capacity = capacity;
    d.formatted = formatted;
    disks_.push_back(d);
    const int n = static_cast<int>(disks_.size()) - 1;
    if (!drives_.empty()) {
        // Beside the first drive's folder, so the test's temporary folder holds it.
        d.store = drives_.begin()->first + ".disk" + std::to_string(n);
        ::mkdir(d.store.c_str(), 0700);
        disks_.back().store = d.store;
    }
    return n;
}

std::string ScriptedVolumes::folderOf(int disk) const { return disks_.at(static_cast<size_t>(disk)).store; }

void ScriptedVolumes::eject(const std::string &root)
{
    Drive *d = drive(root);
    if (!d || d->disk < 0)
        return;
    moveAll(d->mount, folderOf(d->disk));
    d->disk = -1;
    if (d->automount) {
        ::rmdir(d->mount.c_str());
        d->mount.clear();
        d->automount = false;
    }
}

void ScriptedVolumes::insert(const std::string &root, int disk)
{
    eject(root);
    if (Drive *d = drive(root)) {
        d->mount = root;
        moveAll(folderOf(disk), root);
        d->disk = disk;
    }
}

void ScriptedVolumes::insertAt(const std::string &root, int disk, const std::string &folder)
{
    eject(root);
    if (Drive *d = drive(root)) {
        ::mkdir(folder.c_str(), 0700);
        d->mount = folder;
        d->automount = true;
        moveAll(folderOf(disk), folder);
        d->disk = disk;
    }
}

std::string ScriptedVolumes::mountOf(const std::string &root) const
{
    auto it = drives_.find(root);
    return it == drives_.end() ? std::string() : it->second.mount;
}

int ScriptedVolumes::inserted(const std::string &root) const
{
    auto it = drives_.find(root);
    return it == drives_.end() ? -1 : it->second.disk;
}

std::vector<std::string> ScriptedVolumes::files(int n) const
{
    for (const auto &[root, d] : drives_)
        if (d.disk == n)
            return listFiles(d.mount);
    return listFiles(folderOf(n));
}

ScriptedVolumes::Drive *ScriptedVolumes::drive(const std::string &root)
{
    auto it = drives_.find(root);
    return it == drives_.end() ? nullptr : &it->second;
}

ScriptedVolumes::Drive *ScriptedVolumes::mounted(const std::string &root)
{
    for (auto &[name, d] : drives_)
        if (!d.mount.empty() && d.mount == root)
            return &d;
    return nullptr;
}

std::string ScriptedVolumes::root(const std::string &path)
{
    std::string best;
    for (const auto &[name, d] : drives_) {
        const std::string &r = d.mount;
        if (!r.empty() && path.compare(0, r.size(), r) == 0 && (path.size() == r.size() || path[r.size()] == '/') &&
            r.size() > best.size())
            best = r;
    }
    return best.empty() ? previous_->root(path) : best;
}

int ScriptedVolumes::driveType(const std::string &root)
{
    Drive *d = mounted(root);
    return d ? d->type : previous_->driveType(root);
}

bool ScriptedVolumes::space(const std::string &root, int64_t &freeBytes, int64_t &totalBytes)
{
    Drive *d = mounted(root);
    if (!d)
        return previous_->space(root, freeBytes, totalBytes);
    if (d->disk < 0 || !disks_[static_cast<size_t>(d->disk)].formatted)
        return false;
    totalBytes = disks_[static_cast<size_t>(d->disk)].capacity;
    freeBytes = std::max<int64_t>(0, totalBytes - bytesIn(root));
    return true;
}

LabelRead ScriptedVolumes::label(const std::string &root, std::string &label)
{
    Drive *d = mounted(root);
    if (!d)
        return previous_->label(root, label);
    if (d->disk < 0)
        return LabelRead::NoMedium;
    const Disk &k = disks_[static_cast<size_t>(d->disk)];
    if (!k.formatted)
        return LabelRead::Unformatted;
    label = k.label;
    return LabelRead::Ok;
}

bool ScriptedVolumes::setLabel(const std::string &root, const std::string &label)
{
    Drive *d = mounted(root);
    if (!d)
        return previous_->setLabel(root, label);
    if (failSetLabel || d->disk < 0 || !disks_[static_cast<size_t>(d->disk)].formatted)
        return false;
    disks_[static_cast<size_t>(d->disk)].label = label;
    labelsWritten.push_back(label);
    return true;
}

bool ScriptedVolumes::erase(const std::string &root)
{
    Drive *d = mounted(root);
    if (!d)
        return previous_->erase(root);
    if (failErase || d->disk < 0 || d->type != dtRemovable)
        return false;
    for (const auto &n : listFiles(root))
        ::unlink((root + "/" + n).c_str());
    disks_[static_cast<size_t>(d->disk)].formatted = true;
    ++erases;
    return true;
}

std::vector<Mount> ScriptedVolumes::removableMounts()
{
    std::vector<Mount> out;
    for (const auto &[name, d] : drives_) {
        if (d.type != dtRemovable || d.disk < 0 || d.mount.empty())
            continue;
        const Disk &k = disks_[static_cast<size_t>(d.disk)];
        out.push_back({d.mount, name, k.formatted ? k.label : std::string()});
    }
    return out;
}

} // namespace platform
