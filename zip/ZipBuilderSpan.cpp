// Volumes of multi-volume archives: which disk is in the drive, asking for
// the next one, free space, labels and the overwrite questions.

#include "zip/ZipBuilder.h"
#include "zip/ZipMessages.h"

#include "platform/Dialogs.h"
#include "platform/Pump.h"
#include "platform/Volumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

using namespace zipmsg;

namespace {

const char kLabelPrefix[] = "PKBACK# ";
const char kAppTitle[] = "Quellon";

std::string threeDigits(int n)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03d", (n + 1000) % 1000);
    return buf;
}

bool isFixed(int type) { return type == platform::dtFixed || type == platform::dtRemote; }

// Position of the extension's dot in the last path component, or npos.
size_t extensionDot(const std::string &name)
{
    size_t dot = name.rfind('.');
    size_t slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string::npos;
    return dot;
}

std::string text(int id, const std::vector<std::string> &values)
{
    return formatMessage(LoadZipStr(id, kFallbackText + std::to_string(id)), values);
}

} // namespace

std::string TZipBuilder::NumberedVolumeName(const std::string &name, int volumeNo)
{
    size_t dot = extensionDot(name);
    if (dot == std::string::npos)
        return name + threeDigits(volumeNo);
    return name.substr(0, dot) + threeDigits(volumeNo) + name.substr(dot);
}

void TZipBuilder::SetDriveFromName(const std::string &name)
{
    drive_ = platform::volumes().root(name);
    driveDevice_.clear();
    for (const platform::Mount &m : platform::volumes().removableMounts())
        if (m.root == drive_)
            driveDevice_ = m.device;
}

// Desktop automounters mount each disk at a folder named after it and remove
// the folder when the disk goes, so after a swap the set's disk is looked for
// where it is mounted now: by the label the wanted volume carries, else where
// it was, else in the same device, else as the only removable volume there is.
void TZipBuilder::followDisk()
{
    if (driveDevice_.empty())
        return;
    const std::vector<platform::Mount> mounts = platform::volumes().removableMounts();
    const platform::Mount *pick = nullptr;
    if (curVolume_ >= 0)
        for (const platform::Mount &m : mounts)
            if (!pick && m.label == kLabelPrefix + threeDigits(curVolume_ + 1))
                pick = &m;
    if (!pick)
        for (const platform::Mount &m : mounts)
            if (m.root == drive_)
                return;
    for (const platform::Mount &m : mounts)
        if (!pick && m.device == driveDevice_)
            pick = &m;
    if (!pick && mounts.size() == 1)
        pick = &mounts[0];
    if (!pick || pick->root == drive_)
        return;
    // The volume files keep their names; only the folder they are in moves.
    for (std::string *name : {&workName_, &outVolumeName_})
        if (name->compare(0, drive_.size() + 1, drive_ + "/") == 0)
            *name = pick->root + name->substr(drive_.size());
    drive_ = pick->root;
    driveDevice_ = pick->device;
}

void TZipBuilder::DiskFreeAndSize(int which)
{
    int64_t freeBytes = -1, total = -1;
    if (!platform::volumes().space(drive_, freeBytes, total))
        freeBytes = total = -1;
    if (which & 1)
        freeOnDisk_ = freeBytes;
    if (which & 2)
        sizeOfDisk_ = total;
}

bool TZipBuilder::IsDiskPresent()
{
    if (drive_.empty() || drive_[0] != '/')
        throw EZipBuilder(DS_NotaDrive, drive_);
    followDisk();
    struct stat st{};
    if (::stat(drive_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (driveDevice_.empty())
            throw EZipBuilder(DS_DriveNoMount, drive_);
        // The disk was taken out and its folder went with it: ask for one.
        volumeLabel_.clear();
        volumeSeq_ = 0;
        return false;
    }
    DiskFreeAndSize(3);
    // Only a removable drive can be without its disk; anything else whose
    // folder is there counts as present, whatever the system says of it.
    const bool removable = platform::volumes().driveType(drive_) == platform::dtRemovable;
    std::string label;
    switch (platform::volumes().label(drive_, label)) {
    case platform::LabelRead::Ok:
        volumeLabel_ = label;
        // A "PKBACK# nnn" label numbers the disk within its set.
        volumeSeq_ = 0;
        if (label.compare(0, 8, kLabelPrefix) == 0 && label.size() >= 11) {
            const std::string digits = label.substr(8, 3);
            if (digits.find_first_not_of("0123456789") == std::string::npos)
                volumeSeq_ = std::stoi(digits);
        }
        return sizeOfDisk_ != -1 || !removable;
    case platform::LabelRead::Unformatted:
        volumeLabel_.clear();
        volumeSeq_ = 0;
        return AddOptions.has(AddDiskSpanErase) || !removable; // erasing will make it usable
    case platform::LabelRead::NoMedium:
        break;
    }
    volumeLabel_.clear();
    volumeSeq_ = 0;
    return !removable;
}

bool TZipBuilder::IsRightDisk(int driveType)
{
    if (isFixed(driveType)) {
        size_t dot = extensionDot(workName_);
        size_t end = dot == std::string::npos ? workName_.size() : dot;
        if (end >= 3)
            workName_.replace(end - 3, 3, threeDigits(curVolume_ + 1));
        return true;
    }
    return volumeLabel_ == kLabelPrefix + threeDigits(curVolume_ + 1);
}

std::string TZipBuilder::diskPrompt()
{
    std::string msg;
    if (curVolume_ == -1) {
        msg = text(DS_InsertDisk, {});
    } else if (writingSpan_) {
        int64_t volSize = MaxVolumeSize();
        if (volSize == 0 || (sizeOfDisk_ > 0 && sizeOfDisk_ < volSize))
            volSize = sizeOfDisk_;
        if (volSize > 0) {
            totalDisks_ = static_cast<int>(
                std::max<int64_t>(curVolume_, (logicalSize_ + 4 + KeepFreeOnDisk1()) / volSize));
            msg = text(DS_InsertVolume, {std::to_string(curVolume_ + 1), std::to_string(totalDisks_ + 1)});
        } else {
            totalDisks_ = -1;
            msg = text(DS_InsertAVolume, {std::to_string(curVolume_ + 1)});
        }
    } else {
        msg = text(DS_InsertVolume, {std::to_string(curVolume_ + 1), std::to_string(totalDisks_ + 1)});
    }
    return msg + text(DS_InDrive, {drive_});
}

int TZipBuilder::CheckForDisk()
{
    driveType_ = platform::volumes().driveType(drive_);
    platform::ProcessMessages();
    bool ok = true;
    while ((ok && !IsDiskPresent()) || newDisk_) {
        if (isFixed(driveType_)) {
            newDisk_ = false;
            break;
        }
        if (Unattended)
            throw EZipBuilder(DS_NoUnattSpan, true);
        const std::string msg = diskPrompt();
        if (OnGetNextDisk) {
            bool cancel = false;
            OnGetNextDisk(this, curVolume_ + 1, totalDisks_ + 1, drive_, cancel);
            ok = !cancel;
        } else {
            const auto icon = curVolume_ == -1 ? platform::Icon::Error : platform::Icon::Information;
            ok = platform::dialogs().messageBox(msg, kAppTitle, platform::Buttons::OkCancel, icon) == platform::mrOk;
        }
        newDisk_ = false;
    }
    if (!ok)
        throw EZipBuilder(DS_Canceled, false);
    if (!driveDevice_.empty()) // the disk may be in another folder by now
        driveType_ = platform::volumes().driveType(drive_);
    return driveType_;
}

void TZipBuilder::GetNewDisk(int diskSeq)
{
    file_.reset();
    curVolume_ = diskSeq;
    bool failedOpen = false;
    do {
        int type;
        do {
            if (failedOpen) {
                if (isFixed(driveType_))
                    throw EZipBuilder(DS_NoInFile, true);
                ShowZipMessage(DS_NoInFile);
            }
            newDisk_ = true;
            type = CheckForDisk();
        } while (!IsRightDisk(type));
        file_.reset(std::fopen(workName_.c_str(), "rb"));
        failedOpen = !file_;
    } while (!file_);
}

// Hands the disk's status to OnStatusDisk; false when nobody listens.
bool TZipBuilder::askStatus(int status, const std::string &file, int number, int &action)
{
    if (!OnStatusDisk)
        return false;
    action = 0;
    OnStatusDisk(this, number, file, status, action);
    lastStatusAction_ = action;
    return true;
}

// Opens the next output volume (writing step 2): asks for the disk, erases
// and labels it when asked to, settles an existing file, checks free space.
void TZipBuilder::openOutVolume()
{
    int refusals = 0;
    for (;;) {
        const int type = CheckForDisk(); // may find the disk in another folder
        std::string name = outVolumeName_;
        if (isFixed(type))
            name = NumberedVolumeName(outVolumeName_, curVolume_ + 1);

        if (!isFixed(type) && AddOptions.has(AddDiskSpanErase) && (!OnGetNextDisk || lastStatusAction_ == 1)) {
            formatLabel_ = kLabelPrefix + threeDigits(curVolume_ + 1);
            const int r = ZipFormat();
            if (r == -2)
                throw EZipBuilder(DS_Canceled, false);
            if (r == -1)
                throw EZipBuilder(DS_Canceled, true);
            DiskFreeAndSize(3);
        }

        struct stat st{};
        if (::stat(name.c_str(), &st) == 0) {
            if (Unattended)
                throw EZipBuilder(DS_VolumeExists, name);
            int n = 1;
            if (volumeLabel_.size() >= 11) {
                const std::string digits = volumeLabel_.substr(8, 3);
                if (digits.find_first_not_of("0123456789") == std::string::npos)
                    n = std::stoi(digits);
            }
            int status;
            std::string question;
            if (st.st_mtime == sourceDate_ && n - 1 < curVolume_) {
                status = zdsPreviousDisk;
                question = text(DS_AskPrevFile, {std::to_string(n)});
            } else {
                status = zdsSameFileName;
                question = text(DS_AskDeleteFile, {name});
            }
            status |= sizeOfDisk_ != freeOnDisk_ ? zdsHasFiles : zdsEmpty;
            int action = 0;
            bool overwrite;
            if (askStatus(status, name, n, action)) {
                if (action == 3)
                    throw EZipBuilder(DS_Canceled, false);
                overwrite = action == 0 || action == 1;
            } else {
                const int r = platform::dialogs().messageBox(question, "Confirm", platform::Buttons::YesNoCancel,
                                                             platform::Icon::Warning, platform::DefaultButton::Second);
                if (r != platform::mrYes && r != platform::mrNo)
                    throw EZipBuilder(DS_Canceled, false);
                overwrite = r == platform::mrYes;
            }
            if (!overwrite) {
                newDisk_ = true;
                diskWritePos_ = 0;
                continue;
            }
        }

        outFd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (outFd_ < 0)
            throw EZipBuilder(DS_NoOutFile, true);
        outPath_ = name;
        DiskFreeAndSize(1);
        int64_t freeBytes = freeOnDisk_;
        if (MaxVolumeSize() > 0)
            freeBytes = std::min<int64_t>(freeBytes, MaxVolumeSize());
        if (curVolume_ == 0)
            freeBytes -= KeepFreeOnDisk1();
        freeOnDisk_ = freeBytes;

        if (freeBytes < MinFreeVolumeSize()) {
            ::close(outFd_);
            outFd_ = -1;
            ::unlink(name.c_str());
            outPath_.clear();
            // No disk can mend settings that leave too little room, and a
            // full fixed disk is no matter of swapping disks.
            const int64_t room = MaxVolumeSize() - (curVolume_ == 0 ? KeepFreeOnDisk1() : 0);
            if (MaxVolumeSize() > 0 && room < MinFreeVolumeSize())
                throw EZipBuilder(DS_VolumeTooSmall, true);
            if (Unattended)
                throw EZipBuilder(isFixed(type) ? DS_NoDiskSpace : DS_NoUnattSpan, true);
            // A handler that never changes its answer would ask forever.
            if (++refusals > 100)
                throw std::runtime_error("no volume with enough free space was offered");
            int action = 0;
            if (askStatus(zdsNotEnoughSpace, name, curVolume_ + 1, action)) {
                if (action == 3)
                    throw EZipBuilder(DS_Canceled, false);
            } else {
                const int r = platform::dialogs().messageBox(text(DS_NoDiskSpace, {}), kAppTitle,
                                                             platform::Buttons::RetryCancel, platform::Icon::Error);
                if (r == platform::mrCancel)
                    throw EZipBuilder(DS_Canceled, false);
                if (r != platform::mrRetry)
                    throw EZipBuilder(DS_NoMem, true);
            }
            newDisk_ = true;
            diskWritePos_ = 0;
            continue;
        }
        if (!isFixed(type) && !platform::volumes().setLabel(drive_, kLabelPrefix + threeDigits(curVolume_ + 1)))
            throw EZipBuilder(DS_NoVolume, true);
        if (!isFixed(type))
            volumeLabel_ = kLabelPrefix + threeDigits(curVolume_ + 1);
        diskWritePos_ = 0;
        return;
    }
}

void TZipBuilder::closeOutVolume()
{
    if (outFd_ < 0)
        return;
    // Every volume carries the date of the archive it was cut from.
    struct timespec times[2] = {{sourceDate_, 0}, {sourceDate_, 0}};
    ::futimens(outFd_, times);
    ::close(outFd_);
    outFd_ = -1;
}

void TZipBuilder::WriteSplit(const void *buf, size_t len, size_t minSpace)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    for (;;) {
        platform::ProcessMessages();
        if (CancelRequested)
            throw EZipBuilder(DS_Canceled, false);
        if (outFd_ < 0)
            openOutVolume();
        // A header is never cut: move on when it would not fit. On a fresh
        // volume that would repeat forever, so that is an error instead.
        if (minSpace && freeOnDisk_ < static_cast<int64_t>(minSpace)) {
            if (diskWritePos_ <= (curVolume_ == 0 ? 4 : 0))
                throw std::runtime_error("a volume is too small for a header of " + std::to_string(minSpace) + " bytes");
            closeOutVolume();
            diskWritePos_ = 0;
            ++curVolume_;
            newDisk_ = true;
            continue;
        }
        const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(len), std::max<int64_t>(freeOnDisk_, 0)));
        size_t done = 0;
        while (done < n) {
            ssize_t w = ::write(outFd_, p + done, n - done);
            if (w <= 0) {
                if (w < 0 && errno == EINTR)
                    continue;
                throw EZipBuilder(DS_NoWrite, true);
            }
            done += static_cast<size_t>(w);
        }
        if (showProgress_ && n && OnProgress)
            OnProgress(this, ptBytesDone, {}, static_cast<long>(n));
        diskWritePos_ += static_cast<int64_t>(n);
        freeOnDisk_ -= static_cast<int64_t>(n);
        if (n == len)
            return;
        if (n == 0 && diskWritePos_ == 0)
            throw std::runtime_error("a volume has no room for any data");
        closeOutVolume();
        freeOnDisk_ = 0;
        diskWritePos_ = 0;
        ++curVolume_;
        newDisk_ = true;
        p += n;
        len -= n;
        minSpace = 0;
    }
}
