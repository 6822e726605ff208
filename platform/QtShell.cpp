#include "platform/QtShell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <memory>

namespace platform {
namespace {

// The shell's own numbers: 2 file not found, 31 no program for it.
constexpr int kFileNotFound = 2;
constexpr int kNoAssociation = 31;
constexpr int kStarted = 42;

} // namespace

int QtShell::open(const std::string &target)
{
    const QString t = QString::fromStdString(target);
    QUrl url;
    if (QFileInfo::exists(t))
        url = QUrl::fromLocalFile(QFileInfo(t).absoluteFilePath());
    else if (t.startsWith('/') || t.startsWith("file:"))
        return kFileNotFound; // a path, not an address: the file is missing
    else
        url = QUrl::fromUserInput(t);
    if (!url.isValid())
        return kFileNotFound;

    // QDesktopServices reports success as soon as the opener starts, so a
    // file type without a program would pass unnoticed; xdg-open's exit
    // status says it.
    const QString opener = QStandardPaths::findExecutable("xdg-open");
    if (opener.isEmpty())
        return QDesktopServices::openUrl(url) ? kStarted : kNoAssociation;
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start(opener, {url.isLocalFile() ? url.toLocalFile() : url.toString()});
    if (!p->waitForStarted(answerWithinMs))
        return kNoAssociation;
    QElapsedTimer clock;
    clock.start();
    while (p->state() != QProcess::NotRunning && clock.elapsed() < answerWithinMs) {
        if (!p->waitForFinished(20))
            QCoreApplication::processEvents();
    }
    if (p->state() != QProcess::NotRunning) {
        // Still showing the target: it stays until it ends by itself, even
        // past this program's end (an owner would kill it then).
        QProcess *running = p.release();
        QObject::connect(running, &QProcess::finished, running, &QObject::deleteLater);
        return kStarted;
    }
    const int status = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    if (status == 0)
        return kStarted;
    return status == 2 ? kFileNotFound : kNoAssociation;
}

} // namespace platform
