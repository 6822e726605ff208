#pragma once
// The main form's handlers for the dialogs, as plain functions: each one
// creates its dialog, shows it through the platform's modal service, takes
// the results back and frees it, so the form's handler is a single call:
//
//   btnAdvancedClick         dialogs::editConnectionSettings(Port, Proxy, ProxyPort, Transport);
//   btnSaveAdvancedClick     dialogs::btnSaveAdvancedClick(ArchiveInfo);
//   btnRestoreDefaultsClick  dialogs::btnRestoreDefaultsClick(ArchiveInfo);
//   btnAddPosterClick        dialogs::btnAddPosterClick(ArchiveInfo);
//   btnAboutClick            dialogs::showAbout();
//   URLClick(label)          dialogs::linkLabelClick(*label);
//   loadPosterDefaults       dialogs::readPosterDefaults(ArchiveInfo);
//   checkFormatVersion       return dialogs::checkFormatVersion(ArchiveInfo);
//   showPoster               dialogs::displayPoster(ArchiveInfo, *pnlPoster, *imgPoster, runFolder,
//                                                   extractMember);  // zip: member -> folder, throws
//   imgPosterClick           dialogs::imgPosterClick(*imgPoster);

#include <cstdint>
#include <functional>
#include <string>

#include "dialogs/PosterDefaults.h"
#include "dialogs/formTargetDefaults.h"

class QLabel;
class QWidget;

namespace jobs {
struct TArchiveInfo;
}

#include "net/FtpTransport.h"

namespace dialogs {

class PosterPanel;

// btnAdvancedClick: the connection settings; unchanged unless OK.
void editConnectionSettings(int &port, std::string &proxy, int &proxyPort, FtpTransport &transport);
// btnSaveAdvancedClick: the target command; true when OK stored a new one.
bool editTargetCommand(std::string &command);
// btnRestoreDefaultsClick: target host, user profile, restore library.
bool editTargetDefaults(TargetDefaults &values);
// btnAddPosterClick: the poster of the current archive (and maybe the defaults).
bool editPoster(PosterValues &poster);
// btnAboutClick.
void showAbout();
// URLClick of the main form's link labels (Label32).
void linkLabelClick(const QLabel &label);

// The format check of the restore wizard: true when the file may be used.
// A newer format shows the new-version dialog; Download hands the file's
// download address to the shell. Either way the answer is false.
bool checkFormatVersion(int32_t formatVersion, const std::string &downloadAddress);

// Extracts archive member `member` into `folder` (overwriting, no folder
// names); throws on failure. Supplied by the main form's zip component.
using ExtractPosterFn = std::function<void(const std::string &member, const std::string &folder)>;

// The poster display of the last page. Cuts `poster.file` down to its file
// name (at the last '/' or '\'), extracts that member into `runFolder` and
// shows it in `panel` with the poster link as hint; with no poster file the
// default poster with the product web page. A picture that cannot be shown
// gives a message and the default poster; nothing here stops the job.
void displayPoster(PosterValues &poster, PosterPanel &panel, const std::string &runFolder,
                   const ExtractPosterFn &extract);
void displayPoster(PosterValues &poster, QWidget &pnlPoster, QLabel &imgPoster, const std::string &runFolder,
                   const ExtractPosterFn &extract);

// The same handlers on the main form's archive info record.
void btnSaveAdvancedClick(jobs::TArchiveInfo &info);
void btnRestoreDefaultsClick(jobs::TArchiveInfo &info);
void btnAddPosterClick(jobs::TArchiveInfo &info);
// Reading the poster defaults at start-up in save mode.
void readPosterDefaults(jobs::TArchiveInfo &info);
// Format check of the chosen file's record (version and download address).
bool checkFormatVersion(const jobs::TArchiveInfo &info);
// Poster display of the last page; cuts the record's poster file to its name.
void displayPoster(jobs::TArchiveInfo &info, PosterPanel &panel, const std::string &runFolder,
                   const ExtractPosterFn &extract);
// The same on the wizard's own poster area and image (hint = tooltip).
void displayPoster(jobs::TArchiveInfo &info, QWidget &pnlPoster, QLabel &imgPoster, const std::string &runFolder,
                   const ExtractPosterFn &extract);
// imgPosterClick: the image's hint goes to the shell unless it is empty.
void imgPosterClick(const QLabel &imgPoster);

// The file-name part of a poster path as stored by a Windows or Linux PC.
std::string posterFileName(const std::string &path);

} // namespace dialogs
