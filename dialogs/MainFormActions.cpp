#include "dialogs/MainFormActions.h"

#include "dialogs/DialogCommon.h"
#include "dialogs/PosterPanel.h"
#include "dialogs/ProductInfo.h"
#include "dialogs/formAbout.h"
#include "dialogs/formAdvanced.h"
#include "dialogs/formNewVersion.h"
#include "dialogs/formPoster.h"
#include "dialogs/formSaveAdvanced.h"
#include "jobs/ArchiveInfo.h"
#include "platform/Dialogs.h"
#include "platform/Shell.h"

namespace dialogs {
namespace {

// Points the form's global at the live instance while it is shown.
template <typename Form> struct Live {
    Form *&global;
    Live(Form *&g, Form &f) : global(g) { global = &f; }
    ~Live() { global = nullptr; }
};

} // namespace

void editConnectionSettings(int &port, std::string &proxy, int &proxyPort, FtpTransport &transport)
{
    TfrmAdvanced form(port, proxy, proxyPort, transport);
    Live live(frmAdvanced, form);
    if (platform::dialogs().showModal(form) != platform::mrOk)
        return;
    port = form.port();
    proxy = form.proxy();
    proxyPort = form.proxyPort();
    transport = form.transport();
}

bool editTargetCommand(std::string &command)
{
    TfrmSaveAdvanced form(command);
    Live live(frmSaveAdvanced, form);
    if (platform::dialogs().showModal(form) != platform::mrOk)
        return false;
    command = form.command();
    return true;
}

bool editTargetDefaults(TargetDefaults &values)
{
    TfrmTargetDefaults form(values);
    Live live(frmTargetDefaults, form);
    if (platform::dialogs().showModal(form) != platform::mrOk)
        return false;
    values = form.values();
    return true;
}

bool editPoster(PosterValues &poster)
{
    TfrmAddPoster form(poster);
    Live live(frmAddPoster, form);
    if (platform::dialogs().showModal(form) != platform::mrOk)
        return false;
    poster = form.values();
    return true;
}

void showAbout()
{
    TfrmAbout form;
    Live live(frmAbout, form);
    platform::dialogs().showModal(form);
}

void linkLabelClick(const QLabel &label) { urlClick(label); }

bool checkFormatVersion(int32_t formatVersion, const std::string &downloadAddress)
{
    if (formatVersion <= jobs::kArchiveFormatVersion)
        return true;
    TfrmNewVersion form;
    Live live(frmNewVersion, form);
    if (platform::dialogs().showModal(form) == platform::mrYes)
        platform::shell().open(downloadAddress);
    return false;
}

std::string posterFileName(const std::string &path)
{
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

void displayPoster(PosterValues &poster, QWidget &pnlPoster, QLabel &imgPoster, const std::string &runFolder,
                   const ExtractPosterFn &extract)
{
    poster.file = posterFileName(poster.file);
    QImage picture;
    QString hint;
    bool usedDefault = true;
    if (!poster.file.empty() && poster.file != "." && poster.file != "..") {
        try {
            if (extract)
                extract(poster.file, runFolder);
        } catch (...) {
            platform::dialogs().messageBox("Error - Fatal DLL Exception", platform::messageIdCaption("Qln0011"),
                                           platform::Buttons::Ok, platform::Icon::None);
        }
        picture = loadPosterOrDefault(runFolder + "/" + poster.file, &usedDefault);
        hint = QString::fromStdString(poster.link);
    } else {
        picture = loadPosterOrDefault(defaultPosterPath());
    }
    // The default picture links to the product, not to a sender's page.
    if (usedDefault)
        hint = QLatin1String(kProductWebPage);
    setPosterPicture(imgPoster, picture);
    imgPoster.setToolTip(hint);
    applyPosterLayout(pnlPoster, imgPoster, poster.stretch);
}

void displayPoster(PosterValues &poster, PosterPanel &panel, const std::string &runFolder,
                   const ExtractPosterFn &extract)
{
    displayPoster(poster, panel, *panel.imgPoster, runFolder, extract);
    // Keep the panel's own copy of the picture in step.
    panel.setPicture(panel.imgPoster->pixmap().toImage());
    panel.applyLayout(poster.stretch);
}

void imgPosterClick(const QLabel &imgPoster) { posterClick(imgPoster.toolTip()); }

// ---- on the archive info record -----------------------------------------
// The dialogs refuse text that does not fit, so the setters below never cut.

namespace {

PosterValues posterOf(const jobs::TArchiveInfo &info)
{
    return {info.posterFile(), info.posterLink(), info.PosterStretch != 0};
}

void setPoster(jobs::TArchiveInfo &info, const PosterValues &p)
{
    info.setPosterFile(p.file);
    info.setPosterLink(p.link);
    info.PosterStretch = p.stretch ? 1 : 0;
}

} // namespace

void btnSaveAdvancedClick(jobs::TArchiveInfo &info)
{
    std::string command = info.targetCommand();
    if (editTargetCommand(command))
        info.setTargetCommand(command);
}

void btnRestoreDefaultsClick(jobs::TArchiveInfo &info)
{
    TargetDefaults v{info.defaultTargetHost(), info.defaultUserProfile(), info.defaultRestoreLibrary()};
    if (!editTargetDefaults(v))
        return;
    info.setDefaultTargetHost(v.serverName);
    info.setDefaultUserProfile(v.userProfile);
    info.setDefaultRestoreLibrary(v.restoreToLibrary);
}

void btnAddPosterClick(jobs::TArchiveInfo &info)
{
    PosterValues p = posterOf(info);
    if (editPoster(p))
        setPoster(info, p);
}

void readPosterDefaults(jobs::TArchiveInfo &info)
{
    PosterValues p = posterOf(info);
    readPosterDefaults(p);
    setPoster(info, p);
}

bool checkFormatVersion(const jobs::TArchiveInfo &info)
{
    return checkFormatVersion(info.FormatVersion, info.downloadAddress());
}

void displayPoster(jobs::TArchiveInfo &info, PosterPanel &panel, const std::string &runFolder,
                   const ExtractPosterFn &extract)
{
    PosterValues p = posterOf(info);
    displayPoster(p, panel, runFolder, extract);
    info.setPosterFile(p.file);
}

void displayPoster(jobs::TArchiveInfo &info, QWidget &pnlPoster, QLabel &imgPoster, const std::string &runFolder,
                   const ExtractPosterFn &extract)
{
    PosterValues p = posterOf(info);
    displayPoster(p, pnlPoster, imgPoster, runFolder, extract);
    info.setPosterFile(p.file);
}

} // namespace dialogs
