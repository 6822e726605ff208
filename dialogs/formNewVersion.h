#pragma once
// Shown when a file was made by a newer program: offers the download.

#include <QDialog>
#include <QFrame>
#include <QPushButton>

class TfrmNewVersion : public QDialog {
    Q_OBJECT
public:
    explicit TfrmNewVersion(QWidget *parent = nullptr);

    QWidget *PnlNewVersion;
    QPushButton *btnDownload; // modal result Yes
    QPushButton *btnCancel;   // modal result Cancel
};

extern TfrmNewVersion *frmNewVersion;
