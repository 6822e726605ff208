#pragma once
// The main window: a wizard whose pages a page control without tabs shows one
// at a time, the buttons below it and the activity list of a job. The mode
// (save or restore) comes from the command line and fixes the page sequence.

#include "app/CommandLine.h"
#include "app/HostProfiles.h"
#include "jobs/ArchiveInfo.h"
#include "jobs/HostJobs.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QStackedWidget;
class QTimer;

namespace app {

// The product web page (start page link, download address of new archives).
inline constexpr const char *kProductWebAddress = "https://www.quellon.com/";

// A label that acts as a web link or a clickable picture.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *e) override;
};

// Progress types of the zip component's OnProgress.
enum ProgressType : int { ptFileStart = 0, ptBytesDone = 1, ptBatchEnd = 2, ptFileCount = 3, ptTotalBytes = 4 };

// Job stages the progress display reads (the jobs set the others).
inline constexpr int jsZip = 10;
inline constexpr int jsUnzip = 11;

// What the OK click hands to the FTP client before it connects.
struct ConnectParams {
    std::string userId;
    std::string password;
    std::string host;
    int port = 21;
    std::string proxy;
    int proxyPort = 0;
    FtpTransport transport;
};

struct WizardJobParts;

// A step that failed, and why: the host's reply, its escape message, what
// the client itself found.
struct FailedStep {
    std::string what;
    std::vector<std::string> reasons;
};

// How a job ended, as the last page tells it.
struct JobOutcome {
    bool ok = true;
    std::vector<FailedStep> failedSteps; // in the order they happened
    std::string result;                  // what the operator is left with
};

class TfrmMain : public QWidget {
    Q_OBJECT
    friend class WizardJobUi;

public:
    explicit TfrmMain(QWidget *parent = nullptr);
    ~TfrmMain() override; // FormDestroy

    // Window creation (FormCreate): record, zip libraries, command line,
    // poster defaults, per-run folder, connection settings, host profiles.
    // False when the command line was refused: the message has been shown
    // and the program must end with status 0 without showing the window.
    bool formCreate(const std::vector<std::string> &args);
    bool startupRefused() const { return startupRefused_; }

    // First activation: step 1 of the mode.
    void formActivate();
    // The close rules; true when the window may close.
    bool formClose();

    // ---- navigation ----
    void btnNextClick();
    void btnBackClick();
    void btnFinishClick();
    void btnCancelClick();
    void btnCloseClick();
    void showStep();
    void tabSaveStartShow();
    void tabRestoreStartShow();

    // ---- Next rules ----
    void onTabPrefixChange();
    void grpSaveTypeClick();
    void edtSaveToZippedFileChange();
    void edtUserProfileChange();
    void onTabConnectInfoChange();

    // ---- file dialogs ----
    void btnBrowseClick();
    void Button1Click();

    // ---- progress display ----
    void addLine(const std::string &line); // the list line rule
    int listTopIndex() const { return listTopIndex_; }
    void TimerBarTimer();
    void zipProgress(int progressType, int64_t size, const std::string &fileName);

    // ---- restore side ----
    // Opens the chosen file on restore step 3: a bare save file gives its
    // library; an archive gives its info member. False, after a message
    // that says why, for a file that cannot be restored.
    bool openChosenFile();
    // Takes the info member out of the archive into the per-run folder and
    // loads it over the record; false (after a message) when the archive is
    // no Quellon archive or its record could not be read.
    bool readArchiveInfo();

    // ---- host profiles ----
    HostSettings hostSettings() const;
    void applyHostSettings(const HostSettings &s);
    void loadHostProfiles();
    void lookupHostProfile();
    void storeHostProfile();

    // ---- summaries ----
    void fillSaveSummary();
    void fillRestoreSummary();

    // The last page tells how the job ended (set before it is shown).
    void setJobOutcome(const JobOutcome &outcome);

    // The save dialog's current file name (the archive the save job makes).
    const std::string &saveDialogFileName() const { return saveDialogFileName_; }
    const std::string &runFolder() const { return runFolder_; }
    void removeRunFolder();

    int grpSaveTypeIndex() const;
    void setGrpSaveTypeIndex(int index);
    int mode() const { return mode_; }
    int step() const { return step_; }

    // ---- state held for the window's life ----
    jobs::TArchiveInfo ArchiveInfo{};
    int Port = 21;
    std::string Proxy;
    int ProxyPort = 0;
    FtpTransport Transport; // passive mode, TLS, the accepted certificate
    bool RestoreFromSaveFile = false;
    std::string ZipFileName; // the zip component's archive name
    int JobStage = 0;        // what the running job does (the jobs set it)

    // ---- controls ----
    QStackedWidget *Wizard;
    QPushButton *btnBack, *btnAbout, *btnNext, *btnFinish, *btnClose, *btnCancel, *btnDspJobLog;
    QWidget *pnlStamp;
    QLabel *imgStamp;
    QTimer *TimerBar;

    QWidget *tabSaveStart;
    QLabel *imgMainSave, *imgTitleSave;
    TLinkLabel *Label32;

    QWidget *tabSaveInfo;
    QGroupBox *grpSaveType;
    QRadioButton *rbEntireLibrary, *rbSingleObject;
    QLineEdit *edtLibraryNameToSave;
    QComboBox *edtTgtRls;
    QGroupBox *boxSaveLibrary;
    QLabel *lblObjToBeSaved, *txtObjToBeSaved, *lblSaveObjType;
    QLineEdit *edtObjToBeSaved;
    QComboBox *edtSaveObjType;

    QWidget *tabSaveFileInfo;
    QLineEdit *edtSaveToZippedFile;
    // Archive encryption (AES-256) and its password, typed twice.
    QCheckBox *boxEncryptArchive;
    QLineEdit *edtArchivePassword;
    QLineEdit *edtArchivePassword2;
    QPushButton *btnBrowse;

    QWidget *tabRestoreDefaults;
    QPushButton *btnRestoreDefaults, *btnAddPoster, *btnSaveAdvanced;

    QWidget *tabConnectInfo;
    QComboBox *edtServerName;
    QPushButton *btnAdvanced;
    QLineEdit *edtUserProfile, *edtPassword;

    QWidget *tabProcess;
    QLabel *lblProcess, *lblFinish;
    QLabel *lblProcessTitle, *lblProcessText; // the header: ready, or the job's step
    QListWidget *list;
    QProgressBar *bar;

    QWidget *tabSaveDone;
    QLabel *lblDoneTitle, *lblDoneText;
    QLabel *lblJobErrors; // what failed, in place of the poster
    QScrollArea *scrJobErrors; // holds lblJobErrors
    QWidget *pnlPoster;
    TLinkLabel *imgPoster;

    QWidget *tabRestoreStart;
    QLabel *imgMainRestore, *imgTitleRestore;

    QWidget *tabRestoreInfo;
    QLineEdit *edtSavedZippedFile;
    QPushButton *Button1;

    QWidget *tabRestoreHostInfo;
    QLineEdit *edtRestoreToLibrary;
    QCheckBox *boxAutoCreateLibrary;
    QGroupBox *boxRestSavf;
    QLineEdit *edtSavedLibrary;

    // The FTP client, the zip component and the host jobs of this window.
    WizardJobParts &jobParts();

    // While a job runs the summary page's header names the step it is in.
    void followJobStage();
    std::string stageTitle(int stage) const;

    // ---- a host that stops answering (app/fromMainOverdue.cpp) ----
    // The FTP client has awaited a reply for a while (or no longer): Cancel
    // stays available meanwhile, whatever the timer does to it.
    void ftpReplyOverdue(bool overdue);
    // Cancel while a reply is overdue: after a confirmation the job stops as
    // a failure of its stage. True when the click was taken here.
    bool stopOverdueJob();
    bool replyOverdue() const { return replyOverdue_; }
    // How long a reply is awaited before Cancel is offered (ms).
    int ReplyOverdueMs = 10000;
    // A zip or unzip that runs longer than this offers Cancel the same way:
    // confirmed, it stops the job and nothing is left that looks complete.
    int ZipOverdueMs = 10000;
    bool zipOverdue() const { return zipOverdue_; }
    // The part of the batch's bytes done, 0..100, while a zip or unzip runs.
    int zipPercent() const { return zipPercent_; }
    // What a job stopped that way shows: its stage's failure, then why.
    static std::string stoppedJobMessage(const std::string &stageMessage, const std::string &reason);

    // The lines under a failed step on the last page. Over FTP a "reply"
    // that carries no reply code is the client's own finding.
    static std::vector<std::string> failureReasons(const jobs::FailureReport &r, bool overFtp);

    // The 69 entries of the object type list, blanks included.
    static const std::vector<std::string> &objectTypes();

protected:
    // ---- seams filled by the zip component, the FTP client and the jobs
    // (app/fromMainSeams.cpp) and the dialogs (app/fromMainDialogs.cpp);
    // tests script them ----
    virtual void loadZipDlls();
    virtual void unloadZipDlls();
    virtual void loadPosterDefaults();
    // The zip component reads the archive named by ZipFileName.
    virtual void setZipFileName(const std::string &name);
    // Extracts "zipInfo.4qi" from ZipFileName into the per-run folder; may throw.
    virtual void extractInfoMember();
    // An encrypted archive: its password asked for in the zip component's
    // dialog and checked on the record; false when cancelled or wrong.
    bool unlockArchive();
    // The member names of the archive named by ZipFileName.
    virtual std::vector<std::string> archiveMembers();
    // The newer-format check; false refuses the archive.
    virtual bool checkFormatVersion();
    virtual void disconnectIfConnected();
    // Connect of the FTP client: the whole job runs inside this call.
    virtual void connectToHost(const ConnectParams &params);
    // The poster on the last page.
    virtual void showPoster();
    virtual void imgPosterClick();
    virtual void btnAboutClick();
    virtual void btnAdvancedClick();
    virtual void btnRestoreDefaultsClick();
    virtual void btnAddPosterClick();
    virtual void btnSaveAdvancedClick();
    virtual void btnDspJobLogClick();
    // Extracts one archive member into `folder` (overwriting); throws on failure.
    virtual void extractMember(const std::string &member, const std::string &folder);
    virtual void URLClick(QLabel *label);
    // Ends the program with `status` once the close rules allow it.
    virtual void endProgram(int status);

    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;
    // Enter presses the page's button (Next, OK or Close), or a button the
    // operator moved to with Tab; Escape presses Cancel while it is enabled.
    void keyPressEvent(QKeyEvent *e) override;
    // The button Enter presses now (null: none).
    QPushButton *enterButton() const;

    bool jobRunning_ = false; // inside the OK click's connect

    // Back and Cancel stay locked from OK until the job has ended, whatever
    // the job meets (unzip without timer, a failure the user ignored).
    void lockForJob();
    // Whether the timer must keep Back and Cancel locked.
    bool buttonsLocked() const { return jobRunning_; }
    // The job ended without reaching the last page: the summary page is
    // ready for another try.
    void summaryReady();
    // Judges the job that has just ended and, in save mode, gives the
    // archive its name only when what it packed is whole.
    JobOutcome endJob();
    // The archive being made under a temporary name beside its own.
    std::string partialArchive_;
    // The failures the running job reported, with their reasons.
    std::vector<jobs::FailureReport> failureReports_;

private:
    void buildUi();
    QWidget *makeHeaderPage(const QString &title, const QString &text);
    void loadPicture(QLabel *target, const std::string &fileName);
    void setNextFocus(QWidget *w);
    bool fileExists(const std::string &path) const;
    void refuseArchive(const std::string &file, const std::string &why);

    int mode_ = msSave;
    int step_ = 0;
    bool startupRefused_ = false;
    bool activated_ = false;
    std::string runFolder_;
    std::string saveDialogFileName_;
    std::string openDialogFileName_;
    int listTopIndex_ = 0;
    // zipProgress's running totals
    int64_t totalSize_ = 0;
    int64_t bytesDone_ = 0;
    int savedBarMax_ = 10;
    std::shared_ptr<WizardJobParts> jobParts_;
    bool replyOverdue_ = false;
    // ---- a long zip or unzip (app/fromMainOverdue.cpp) ----
    void zipBatchStarts();
    void zipBatchEnds();
    void zipOverdueTimeout();
    bool stopLongZip();
    QTimer *zipOverdueTimer_ = nullptr;
    bool zipping_ = false;
    bool zipOverdue_ = false;
    bool streamZipping_ = false; // a streamed save runs: its transfer is the long zip
    int zipPercent_ = -1;
    void advancedFromConnectionPage();
    void showJobHeader(const std::string &title);
    int shownStage_ = 0;
    bool laterStageSeen_ = false;
    QPointer<QPushButton> tabbedButton_; // reached with Tab, not yet pressed
    // The host whose stored profile fills the connection page now.
    std::optional<std::string> appliedHost_;
};

// The live main window (null before it is made and after it is gone), for
// the dialogs and jobs that report into it.
extern TfrmMain *frmMain;

} // namespace app
