// The main window's seams to the parts that plug into it: the zip component,
// the FTP client and its jobs, and the dialogs. Each default here is what the
// wizard does while that part is absent.

#include "app/fromMain.h"

#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "platform/Shell.h"

#include <QCoreApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

#include <stdexcept>

namespace app {

void TfrmMain::loadZipDlls() {}
void TfrmMain::unloadZipDlls() {}

// The poster defaults of the save wizard; a missing key leaves the cleared
// fields, a missing stretch value ends the reading after the two texts.
void TfrmMain::loadPosterDefaults()
{
    platform::Registry reg;
    if (!reg.keyExists("Poster"))
        return;
    ArchiveInfo.setPosterFile(reg.readString("Poster", "Poster"));
    ArchiveInfo.setPosterLink(reg.readString("Poster", "PosterWWW"));
    if (!reg.valueExists("Poster", "PosterStretch"))
        return;
    ArchiveInfo.PosterStretch = reg.readBool("Poster", "PosterStretch") ? 1 : 0;
}

void TfrmMain::setZipFileName(const std::string &name) { ZipFileName = name; }

void TfrmMain::extractInfoMember() {}

bool TfrmMain::checkFormatVersion() { return ArchiveInfo.FormatVersion <= jobs::kArchiveFormatVersion; }

void TfrmMain::disconnectIfConnected() {}

void TfrmMain::connectToHost(const ConnectParams &)
{
    throw std::runtime_error("The connection to the host is not available in this build.");
}

// The program's own poster, linking to the product web page.
void TfrmMain::showPoster()
{
    QPixmap pix;
    if (pix.load(QString::fromStdString(platform::programDir() + "QuellonPoster.bmp"))) {
        imgPoster->setPixmap(pix);
        imgPoster->resize(pix.size());
    }
    imgPoster->setToolTip(kProductWebAddress);
}

void TfrmMain::imgPosterClick()
{
    const QString link = imgPoster->toolTip();
    if (!link.isEmpty())
        platform::shell().open(link.toStdString());
}

void TfrmMain::btnAboutClick() {}
void TfrmMain::btnAdvancedClick() {}
void TfrmMain::btnRestoreDefaultsClick() {}
void TfrmMain::btnAddPosterClick() {}
void TfrmMain::btnSaveAdvancedClick() {}
void TfrmMain::btnDspJobLogClick() {}

// Link labels: the hint when there is one, else the caption.
void TfrmMain::URLClick(QLabel *label)
{
    const QString target = label->toolTip().isEmpty() ? label->text() : label->toolTip();
    platform::shell().open(target.toStdString());
}

void TfrmMain::endProgram(int status)
{
    if (jobRunning_) {
        // Aborted inside a running job: nothing of the job may go on.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    QCoreApplication::exit(status);
}

} // namespace app
