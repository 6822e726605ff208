#include "platform/QtShell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace platform {

int QtShell::open(const std::string &target)
{
    const QString t = QString::fromStdString(target);
    QUrl url;
    if (QFileInfo::exists(t))
        url = QUrl::fromLocalFile(QFileInfo(t).absoluteFilePath());
    else
        url = QUrl::fromUserInput(t);
    if (!url.isValid())
        return 2;
    return QDesktopServices::openUrl(url) ? 42 : 31; // 31: no association
}

} // namespace platform
