#include "zip/ZipTrash.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>

#include <sys/stat.h>


namespace ziptrash {

bool moveToHomeTrash(const std::string &path)
{
    // The places Qt's move looks at: the home folder's file system decides
    // between the home trash and one at the top of another file system.
    const std::string data =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
    const std::string home = QDir::homePath().toStdString();
    struct stat dataSt{}, homeSt{}, fileSt{};
    if (data.empty() || data[0] != '/' || ::stat(data.c_str(), &dataSt) != 0 || !S_ISDIR(dataSt.st_mode) ||
        ::stat(home.c_str(), &homeSt) != 0 || ::lstat(path.c_str(), &fileSt) != 0 ||
        dataSt.st_dev != fileSt.st_dev || homeSt.st_dev != fileSt.st_dev)
        return false;
    // The trash's own folders are made here, private to the user, so the
    // move below finds them and never falls back to another place.
    const std::string trash = data + "/Trash";
    for (const std::string &d : {trash, trash + "/files", trash + "/info"}) {
        ::mkdir(d.c_str(), 0700);
        struct stat st{};
        if (::lstat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
    }
    return QFile::moveToTrash(QString::fromStdString(path));
}

} // namespace ziptrash
