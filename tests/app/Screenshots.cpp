// Walks both wizards with sample values and saves a picture of every page:
//   wizard_screenshots OUTPUT_FOLDER
// Settings and temporary files go to a scratch folder; nothing of the
// operator's is touched.

#include "app/WizardJobs.h"
#include "app/fromMain.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "support/TestFiles.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTimer>

#include <cstdio>

namespace {

class ShotForm : public app::TfrmMain {
public:
    jobs::TArchiveInfo member{};
    std::string outDir;
    std::string prefix;
    int shot = 0;

    void save(const std::string &name)
    {
        QApplication::processEvents();
        char file[64];
        std::snprintf(file, sizeof file, "%s-%d-%s.png", prefix.c_str(), ++shot, name.c_str());
        grab().save(QString::fromStdString(outDir + "/" + file));
        std::printf("%s\n", file);
    }

protected:
    void extractInfoMember() override { jobs::writeInfoMember(member, runFolder()); }
    void setZipFileName(const std::string &name) override { ZipFileName = name; }
    std::vector<std::string> archiveMembers() override
    {
        return {jobs::kInfoMemberName, member.saveFileMemberName()};
    }
    void connectToHost(const app::ConnectParams &p) override
    {
        addLine("Connected to " + p.host);
        addLine("User profile '" + p.userId + "' now online with " + p.host);
        addLine("Creating temporary files on " + p.host);
        bar->show();
        TimerBar->start();
        if (mode() == app::msSave) {
            addLine("SAVLIB LIB(MYLIB) TGTRLS(V7R4M0) ");
            addLine("Now Downloading from: " + p.host);
            addLine("Now disconnecting from " + p.host);
            addLine("Zip saved file to: " + edtSaveToZippedFile->text().toStdString());
            JobStage = app::jsZip;
            jobParts().jobs.JobStage = jobs::jsZip;
            // A zip that has run for long: its percentage, and Cancel offered.
            ZipOverdueMs = 0;
            zipProgress(app::ptTotalBytes, 20971520, "4QL1A2B.tmp");
            zipProgress(app::ptBytesDone, 13631488, "4QL1A2B.tmp");
            QApplication::processEvents();
        } else {
            addLine("Now uploading to: " + p.host);
            addLine("RSTLIB SAVLIB(MYLIB) RSTLIB(MYLIB) ");
            jobParts().jobs.JobStage = jobs::jsRestoreLibrary;
        }
        for (int i = 0; i < 3; ++i)
            TimerBarTimer();
        save("running");
        jobParts().jobs.JobStage = jobs::jsNone;
        TimerBar->stop();
        zipProgress(app::ptBatchEnd, 0, "");
        showPoster();
        btnNextClick();
    }
};

void runSave(const std::string &out, const std::string &scratch, platform::ScriptedDialogs &dialogs)
{
    dialogs.fileAnswers.push_back(scratch + "/MYLIB.4ql");
    ShotForm f;
    f.outDir = out;
    f.prefix = "save";
    f.formCreate({"/zip"});
    f.show();
    f.save("start");
    f.btnNextClick();
    f.edtLibraryNameToSave->setText("MYLIB");
    f.edtTgtRls->setCurrentIndex(3);
    f.save("properties");
    f.setGrpSaveTypeIndex(1);
    f.edtObjToBeSaved->setText("INV*");
    f.edtSaveObjType->setCurrentIndex(44);
    f.save("single-object");
    f.setGrpSaveTypeIndex(0);
    f.btnNextClick();
    f.edtSaveToZippedFile->setText("/home/operator/saves/MYLIB.4ql");
    f.save("destination");
    f.btnNextClick();
    f.save("restore-behaviour");
    f.btnNextClick();
    f.edtServerName->setEditText("AS400PRD");
    f.edtUserProfile->setText("JOE");
    f.edtPassword->setText("secret");
    f.save("connection");
    f.btnNextClick();
    f.save("summary");
    f.btnFinishClick();
    f.save("done");
    f.removeRunFolder();
}

void runRestore(const std::string &out, const std::string &scratch)
{
    const std::string archive = scratch + "/MYLIB.4ql";
    testsupport::writeFile(archive, "PK");
    ShotForm f;
    f.outDir = out;
    f.prefix = "restore";
    f.member.reset();
    f.member.setOwnerName("Tamsholt Data");
    f.member.setSavedLibrary("MYLIB");
    f.member.setSaveTime("08.12.2026 01:02:03");
    f.member.setSavedRelease("V7R4M0");
    f.member.setDefaultTargetHost("AS400DEV");
    f.member.setDefaultUserProfile("JOE");
    f.member.setTargetCommand("CALL PGM(MYLIB/INIT)");
    f.member.SaveType = 1;
    f.member.setTempSaveFilePath("/tmp/_4QAbCdEf/4QL1A2B.tmp");
    f.formCreate({"/unzip"});
    f.show();
    f.save("start");
    f.btnNextClick();
    f.edtSavedZippedFile->setText(QString::fromStdString(archive));
    f.save("file");
    f.btnNextClick();
    f.save("library");
    f.btnNextClick();
    f.edtPassword->setText("secret");
    f.save("connection");
    f.btnNextClick();
    f.save("summary");
    f.btnFinishClick();
    f.save("done");
    f.removeRunFolder();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: wizard_screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    // Absolute: closing a run makes the program's folder the current one.
    const std::string out = QDir(argv[1]).absolutePath().toStdString();
    testsupport::TempDir scratch;
    qputenv("TMPDIR", QByteArray::fromStdString(scratch.path()));
    platform::Registry::useFile(scratch.file("settings.ini"));
    // The data files sit in the build folder, one above this tool.
    platform::setProgramDir(QCoreApplication::applicationDirPath().toStdString() + "/..");
    platform::ScriptedDialogs problems;
    runSave(out, scratch.path(), problems);
    runRestore(out, scratch.path());
    for (const auto &e : problems.exceptions)
        std::fprintf(stderr, "shown: %s\n", e.c_str());
    return problems.exceptions.empty() ? 0 : 1;
}
