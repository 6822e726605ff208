#pragma once
// Values pre-typed for the person who restores the file: target host, user
// profile and restore library.

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include <string>

struct TargetDefaults {
    std::string serverName;
    std::string userProfile;
    std::string restoreToLibrary;
};

class TfrmTargetDefaults : public QDialog {
    Q_OBJECT
public:
    explicit TfrmTargetDefaults(const TargetDefaults &values, QWidget *parent = nullptr);

    QLineEdit *dftServerName;
    QLineEdit *dftUserProfile;
    QLineEdit *dftRestoreToLibrary;
    QPushButton *btnOk;
    QPushButton *btnCancel;

    // The values stored by OK (the record's values until then).
    const TargetDefaults &values() const { return values_; }

    void FormActivate();
    void onChange();
    void btnOkClick();

private:
    TargetDefaults values_;
};

extern TfrmTargetDefaults *frmTargetDefaults;
