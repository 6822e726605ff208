#pragma once
// Poster set-up: the picture file, its link and the stretch choice for the
// current archive, optionally saved as the defaults.

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include "dialogs/PosterDefaults.h"

class TfrmAddPoster : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAddPoster(const dialogs::PosterValues &values, QWidget *parent = nullptr);

    QLineEdit *edtPoster;
    QCheckBox *edtPosterStretch;
    QPushButton *btnBrowse;
    QGroupBox *boxHyperlink;
    QLineEdit *edtPosterLink;
    QPushButton *btnPreview;
    QPushButton *btnOk;
    QPushButton *btnCancel;

    // The poster stored by OK (the record's values until then).
    const dialogs::PosterValues &values() const { return values_; }

    void FormActivate();
    void onChange();
    void btnBrowseClick();
    void btnOkClick();
    void btnPreviewClick();

private:
    bool posterExists() const;
    dialogs::PosterValues values_;
};

extern TfrmAddPoster *frmAddPoster;
