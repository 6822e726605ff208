#pragma once
// The job log viewer: the host job log fetched into "joblog.txt", shown
// modally; in error mode with the failure under it and Abort / Ignore in place
// of Close.

#include <QDialog>
#include <QTextEdit>

#include <string>

class QLabel;
class QPushButton;
class QStatusBar;
class QWidget;

namespace jobs {

class TfrmDspJobLog : public QDialog {
    Q_OBJECT
public:
    explicit TfrmDspJobLog(QWidget *parent = nullptr);

    bool ErrorMode = false;

    QWidget *pnlMsg;
    QLabel *msgText;
    QWidget *Panel3;
    // The log keeps its columns (its lines never wrap); the failure under
    // it wraps, so the operator reads it without scrolling sideways.
    QTextEdit *boxJobLog;
    QWidget *Panel1;
    QWidget *pnlNormal;
    QPushButton *btnClose;
    QWidget *pnlErrorLog;
    QPushButton *btnAbort;
    QPushButton *btnIgnore;
    QStatusBar *StatusBar1;

    void FormActivate();

protected:
    void showEvent(QShowEvent *e) override;
};

// The live viewer while it is open, else null.
extern TfrmDspJobLog *frmDspJobLog;

// Loads the job log at `logPath` into a new viewer and shows it modally;
// returns its modal result. A missing log throws "Cannot open file PATH" in
// normal mode; in error mode the viewer still opens, saying the log could not
// be fetched, so the failure and the choice to go on are never lost.
int ShowJobLog(const std::string &logPath, bool errorMode, const std::string &message);

} // namespace jobs
