#pragma once
// About box: product, version, maker's contact details, links and the
// acknowledgments document.

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "dialogs/DialogCommon.h"

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *parent = nullptr);

    dialogs::LinkLabel *Label8;
    QPushButton *btnOk;
    QPushButton *btnAcknowledgments;
    QLabel *pnlVersion;
    dialogs::LinkLabel *lblCopyRights;

    void FormActivate();
    void URLClik(const QLabel &label);
    void btnAcknowledgmentsClick();

protected:
    void showEvent(QShowEvent *e) override;
};

extern TfrmAbout *frmAbout;
