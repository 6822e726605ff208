// The main window's handlers that open the modal dialogs and show the poster.
// Each dialog is created, shown and freed by the call it names.

#include "app/fromMain.h"

#include "dialogs/MainFormActions.h"

#include <QString>

namespace app {

void TfrmMain::loadPosterDefaults() { dialogs::readPosterDefaults(ArchiveInfo); }

bool TfrmMain::checkFormatVersion() { return dialogs::checkFormatVersion(ArchiveInfo); }

void TfrmMain::showPoster()
{
    dialogs::displayPoster(ArchiveInfo, *pnlPoster, *imgPoster, runFolder(),
                           [this](const std::string &member, const std::string &folder) {
                               try {
                                   extractMember(member, folder);
                               } catch (...) {
                                   // A member the archive does not hold is no fault of the
                                   // zip library: the picture message that follows says it.
                                   bool held = false;
                                   for (const auto &m : archiveMembers())
                                       held = held || QString::fromStdString(m).section('/', -1).compare(
                                                          QString::fromStdString(member), Qt::CaseInsensitive) == 0;
                                   if (held)
                                       throw;
                               }
                           });
}

void TfrmMain::imgPosterClick() { dialogs::imgPosterClick(*imgPoster); }
void TfrmMain::btnAboutClick() { dialogs::showAbout(); }
void TfrmMain::btnAdvancedClick()
{
    dialogs::editConnectionSettings(Port, Proxy, ProxyPort, Transport);
    // FTP or SSH decides whether a password is needed.
    edtUserProfileChange();
}
void TfrmMain::btnRestoreDefaultsClick() { dialogs::btnRestoreDefaultsClick(ArchiveInfo); }
void TfrmMain::btnAddPosterClick() { dialogs::btnAddPosterClick(ArchiveInfo); }
void TfrmMain::btnSaveAdvancedClick() { dialogs::btnSaveAdvancedClick(ArchiveInfo); }
void TfrmMain::URLClick(QLabel *label) { dialogs::linkLabelClick(*label); }

} // namespace app
