#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>

#include <set>

namespace platform {
namespace {

std::string readFirstLine(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readLine().trimmed().toStdString();
}

// The storage of `root` only when it is really mounted there: after a disk
// is taken out, the folder belongs to the parent file system.
QStorageInfo mountedAt(const std::string &root)
{
    QStorageInfo si(QString::fromStdString(root));
    if (!si.isValid() || !si.isReady() || si.rootPath() != QString::fromStdString(root))
        return QStorageInfo();
    return si;
}

// Runs a labelling tool; true when it exits with 0.
bool run(const QString &program, const QStringList &args)
{
    if (QStandardPaths::findExecutable(program).isEmpty())
        return false;
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class SystemVolumes final : public Volumes {
public:
    std::string root(const std::string &path) override
    {
        QFileInfo fi(QDir::cleanPath(QFileInfo(QString::fromStdString(path)).absoluteFilePath()));
        while (!fi.exists() && !fi.isRoot() && fi.absolutePath() != fi.absoluteFilePath())
            fi = QFileInfo(fi.absolutePath());
        QStorageInfo si(fi.absoluteFilePath());
        return si.isValid() ? si.rootPath().toStdString() : std::string("/");
    }

    int driveType(const std::string &root) override
    {
        QStorageInfo si = mountedAt(root);
        if (!si.isValid())
            return dtNoRootDir;
        return driveTypeOf(si.fileSystemType().toStdString(), si.device().toStdString());
    }

    bool space(const std::string &root, int64_t &freeBytes, int64_t &totalBytes) override
    {
        QStorageInfo si = mountedAt(root);
        if (!si.isValid())
            return false;
        freeBytes = si.bytesAvailable();
        totalBytes = si.bytesTotal();
        return totalBytes >= 0;
    }

    LabelRead label(const std::string &root, std::string &label) override
    {
        QStorageInfo si = mountedAt(root);
        if (!si.isValid())
            return LabelRead::NoMedium;
        label = si.name().toStdString();
        return LabelRead::Ok;
    }

    bool setLabel(const std::string &root, const std::string &label) override
    {
        QStorageInfo si = mountedAt(root);
        if (!si.isValid())
            return false;
        const QString dev = si.device();
        const QString fs = si.fileSystemType();
        const QString text = QString::fromStdString(label);
        // udisks lets the desktop user relabel removable media; the file
        // system's own tool is the fallback (it needs write access to the device).
        const QString object = "/org/freedesktop/UDisks2/block_devices/" + QFileInfo(dev).fileName();
        if (run("gdbus", {"call", "--system", "--dest", "org.freedesktop.UDisks2", "--object-path", object,
                          "--method", "org.freedesktop.UDisks2.Filesystem.SetLabel", text, "{}"}))
            return true;
        if (fs == "vfat" || fs == "msdos")
            return run("fatlabel", {dev, text});
        if (fs == "exfat")
            return run("exfatlabel", {dev, text});
        if (fs.startsWith("ext"))
            return run("e2label", {dev, text});
        return false;
    }

    bool erase(const std::string &root) override
    {
        if (root.empty() || root == "/" || driveType(root) != dtRemovable)
            return false;
        QDir dir(QString::fromStdString(root));
        bool ok = true;
        const auto entries = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QFileInfo &e : entries) {
            if (e.isDir() && !e.isSymLink())
                ok = QDir(e.absoluteFilePath()).removeRecursively() && ok;
            else
                ok = QFile::remove(e.absoluteFilePath()) && ok;
        }
        return ok;
    }

    std::vector<Mount> removableMounts() override
    {
        std::vector<Mount> out;
        for (const QStorageInfo &si : QStorageInfo::mountedVolumes()) {
            if (!si.isValid() || !si.isReady())
                continue;
            const std::string dev = si.device().toStdString();
            if (driveTypeOf(si.fileSystemType().toStdString(), dev) == dtRemovable)
                out.push_back({si.rootPath().toStdString(), dev, si.name().toStdString()});
        }
        return out;
    }
};

SystemVolumes systemVolumes;
Volumes *installed = nullptr;

} // namespace

Volumes &volumes() { return installed ? *installed : systemVolumes; }
void setVolumes(Volumes *v) { installed = v; }

int driveTypeOf(const std::string &fsType, const std::string &device)
{
    static const std::set<std::string> remote = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs", "9p"};
    if (remote.count(fsType))
        return dtRemote;
    if (device.rfind("/dev/", 0) != 0)
        return dtFixed;
    const QString name = QFileInfo(QFileInfo(QString::fromStdString(device)).canonicalFilePath()).fileName();
    if (name.isEmpty())
        return dtFixed;
    // A whole disk has its own entry; a partition sits below its disk's.
    std::string flag = readFirstLine("/sys/block/" + name + "/removable");
    if (flag.empty()) {
        const QString part = QFileInfo("/sys/class/block/" + name).canonicalFilePath();
        if (!part.isEmpty())
            flag = readFirstLine(QFileInfo(part).absolutePath() + "/removable");
    }
    return flag == "1" ? dtRemovable : dtFixed;
}

} // namespace platform
