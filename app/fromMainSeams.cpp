// The main window's seams to the parts that plug into it: the zip component,
// the FTP client and its jobs. Each default here is what the wizard does
// while that part is absent.

#include "app/fromMain.h"

#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

#include <stdexcept>

namespace app {

void TfrmMain::loadZipDlls() {}
void TfrmMain::unloadZipDlls() {}

void TfrmMain::setZipFileName(const std::string &name) { ZipFileName = name; }

void TfrmMain::extractInfoMember() {}

void TfrmMain::disconnectIfConnected() {}

void TfrmMain::connectToHost(const ConnectParams &)
{
    throw std::runtime_error("The connection to the host is not available in this build.");
}

void TfrmMain::btnDspJobLogClick() {}

void TfrmMain::extractMember(const std::string &, const std::string &)
{
    throw std::runtime_error("The zip component is not available in this build.");
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
