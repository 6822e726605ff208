// The main window's seams to the parts that plug into it: the zip component,
// the FTP client and its jobs.

#include "app/fromMain.h"

#include "app/CertificateQuestion.h"
#include "app/WizardJobs.h"
#include "jobs/formDspJobLog.h"

#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>

#include <cstdio>
#include <cstdlib>

#include <stdexcept>

namespace app {

void TfrmMain::loadZipDlls()
{
    TZipBuilder &zip = jobParts().zip;
    zip.Load_Zip_Dll();
    zip.Load_Unz_Dll();
}

void TfrmMain::unloadZipDlls()
{
    TZipBuilder::Unload_Zip_Dll();
    TZipBuilder::Unload_Unz_Dll();
}

// The component lists the archive; it drops the name of one it cannot read.
void TfrmMain::setZipFileName(const std::string &name)
{
    TZipBuilder &zip = jobParts().zip;
    zip.SetZipFileName(name);
    ZipFileName = zip.ZipFileName();
}

// The restore job later extracts the save file with the same folder and
// options.
void TfrmMain::extractInfoMember()
{
    TZipBuilder &zip = jobParts().zip;
    zip.FSpecArgs = {jobs::kInfoMemberName};
    zip.ExtrBaseDir = runFolder();
    zip.ExtrOptions = ExtrOpts{ExtrOverWrite};
    struct Clear {
        TZipBuilder &z;
        ~Clear() { z.FSpecArgs.clear(); }
    } clear{zip};
    zip.Extract();
}

void TfrmMain::disconnectIfConnected()
{
    TNMFTP &ftp = jobParts().ftp;
    if (ftp.Connected)
        ftp.Disconnect();
}

// The whole job runs inside Connect: sign-on raises OnConnect, whose handler
// prepares the host job and runs the save or restore job.
void TfrmMain::connectToHost(const ConnectParams &p)
{
    WizardJobParts &parts = jobParts();
    TNMFTP &ftp = parts.ftp;
    ftp.UserID = p.userId;
    ftp.Password = p.password;
    ftp.Host = p.host;
    ftp.Port = p.port;
    ftp.Proxy = p.proxy;
    ftp.ProxyPort = p.proxyPort;
    ftp.UseTransport(p.transport);
    const std::string host = p.host;
    ftp.OnVerifyCertificate = [this, host](const std::string &fingerprint, const std::string &problem,
                                           TCertAnswer &answer) {
        answer = askAboutCertificate(host, fingerprint, problem);
        // Kept with the host at once: the whole job runs inside Connect.
        if (answer == TCertAnswer::AcceptAndRemember) {
            Transport.tlsFingerprint = fingerprint;
            storeHostProfile();
        }
    };

    ftp.OverdueAfter = ReplyOverdueMs;
    ftp.OnReplyOverdue = [this](bool overdue) { ftpReplyOverdue(overdue); };

    jobs::HostJobs &j = parts.jobs;
    j.runFolder = runFolder();
    j.userProfile = p.userId;
    if (mode() == msSave) {
        j.mode = jobs::HostJobs::Mode::Save;
        jobs::SaveInputs &in = j.saveInputs;
        in.saveType = grpSaveTypeIndex();
        in.library = edtLibraryNameToSave->text().toStdString();
        in.targetRelease = edtTgtRls->currentText().toStdString();
        in.objectName = edtObjToBeSaved->text().toStdString();
        in.objectType = edtSaveObjType->currentText().toStdString();
        in.hostName = p.host;
        in.archivePath = ZipFileName;
        in.ownerName = jobs::defaultOwnerName();
        in.downloadAddress = kProductWebAddress;
    } else {
        j.mode = jobs::HostJobs::Mode::Restore;
        jobs::RestoreInputs &in = j.restoreInputs;
        in.chosenFile = edtSavedZippedFile->text().toStdString();
        in.restoreToLibrary = edtRestoreToLibrary->text().toStdString();
        in.savedLibrary = edtSavedLibrary->text().toStdString();
        in.hostName = p.host;
        in.autoCreateLibrary = boxAutoCreateLibrary->isChecked();
        in.fromSaveFile = RestoreFromSaveFile;
    }
    try {
        ftp.Connect();
    } catch (const jobs::JobAborted &) {
        // The user stopped the job and the window closes; nothing to show.
    } catch (const ECertificateChanged &e) {
        parts.ui.failureBegins();
        throw ECertificateChanged(std::string(e.what()) +
                                  ".\n\nIf the host was given a new certificate, choose Forget in the connection "
                                  "settings (Advanced) and connect again; you will be asked about the new one.");
    } catch (...) {
        // A lost connection ends the job without a reported failure: unlock
        // the window as a failure does, or Cancel would stay locked by the
        // timer and the wizard could not be left.
        ftpReplyOverdue(false);
        parts.ui.failureBegins();
        if (ftp.Stopped())
            throw std::runtime_error(stoppedJobMessage(j.stageMessage(j.JobStage), ftp.StopReason()));
        throw;
    }
}

void TfrmMain::btnDspJobLogClick()
{
    jobs::ShowJobLog(runFolder() + "/" + jobs::kJobLogFileName, false, std::string());
}

// One member of the archive named by ZipFileName into `folder`; the
// component's folder, options and list are as they were afterwards.
void TfrmMain::extractMember(const std::string &member, const std::string &folder)
{
    TZipBuilder &zip = jobParts().zip;
    if (zip.ZipFileName().empty())
        throw std::runtime_error("No archive is open.");
    const auto savedArgs = zip.FSpecArgs;
    const std::string savedDir = zip.ExtrBaseDir;
    const ExtrOpts savedOpts = zip.ExtrOptions;
    struct Restore {
        TZipBuilder &z;
        const std::vector<std::string> &args;
        const std::string &dir;
        const ExtrOpts &opts;
        ~Restore()
        {
            z.FSpecArgs = args;
            z.ExtrBaseDir = dir;
            z.ExtrOptions = opts;
        }
    } restore{zip, savedArgs, savedDir, savedOpts};
    zip.FSpecArgs = {member};
    zip.ExtrBaseDir = folder;
    zip.ExtrOptions = ExtrOpts{ExtrOverWrite};
    zip.Extract();
    if (zip.ProcessedCount < 1)
        throw std::runtime_error("Member " + member + " could not be extracted from " + zip.ZipFileName());
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
