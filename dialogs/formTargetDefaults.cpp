#include "dialogs/formTargetDefaults.h"

#include "dialogs/DialogCommon.h"
#include "platform/Dialogs.h"

#include <QGroupBox>

TfrmTargetDefaults *frmTargetDefaults = nullptr;

namespace {
// Room of the record's fields, terminator excluded.
constexpr int kHostBytes = 255;
constexpr int kNameBytes = 10;

QLineEdit *edit(QWidget *parent, const char *name, const char *hint)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setToolTip(QLatin1String(hint));
    return e;
}
} // namespace

TfrmTargetDefaults::TfrmTargetDefaults(const TargetDefaults &values, QWidget *parent)
    : QDialog(parent), values_(values)
{
    setObjectName(QStringLiteral("frmTargetDefaults"));
    setWindowTitle(QStringLiteral("Target defaults"));
    setFixedSize(573, 261);

    dialogs::makeHeaderPanel(this, 573, 73, QStringLiteral("You can pre-type the values for the restore process"),
                             {QStringLiteral("You can enter special default values for the target iSeries into this "
                                             "panel. This will help the end user to restore your data quicker and "
                                             "safer.")});

    auto *grpHost = new QGroupBox(QStringLiteral("iSeries name or TCP/IP address:"), this);
    grpHost->setGeometry(16, 86, 541, 56);
    dftServerName = edit(grpHost, "dftServerName",
                         "Enter the default TCP/IP address or name for the target iSeries (e.g. 192.168.1.10 or MY400)");
    dftServerName->setGeometry(12, 22, 517, 24);

    auto *grpUser = new QGroupBox(QStringLiteral("Restore as user profile "), this);
    grpUser->setGeometry(16, 150, 266, 56);
    dftUserProfile = edit(grpUser, "dftUserProfile", "Enter the default User profile for the target iSeries (e.g. MYUSER)");
    dftUserProfile->setGeometry(12, 22, 242, 24);

    auto *grpLib = new QGroupBox(QStringLiteral("Restore to library"), this);
    grpLib->setGeometry(291, 150, 266, 56);
    dftRestoreToLibrary = edit(grpLib, "dftRestoreToLibrary", "Enter the default library name for the target iSeries (e.g. MYLIB)");
    dftRestoreToLibrary->setGeometry(12, 22, 242, 24);
    dftRestoreToLibrary->setMaxLength(10);
    dftRestoreToLibrary->setText(QStringLiteral("*SAVLIB"));

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(398, 222, 75, 27);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(482, 222, 75, 27);

    for (QLineEdit *e : {dftServerName, dftUserProfile, dftRestoreToLibrary})
        connect(e, &QLineEdit::textChanged, this, [this] { onChange(); });
    connect(btnOk, &QPushButton::clicked, this, [this] { platform::guarded([this] { btnOkClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrCancel); });

    FormActivate();
}

void TfrmTargetDefaults::FormActivate()
{
    dftServerName->setText(QString::fromStdString(values_.serverName));
    dftUserProfile->setText(QString::fromStdString(values_.userProfile));
    dftRestoreToLibrary->setText(QString::fromStdString(values_.restoreToLibrary));
    onChange();
}

void TfrmTargetDefaults::onChange()
{
    // OK only when something differs from the start-up values; "*savlib"
    // counts as the start-up value.
    const bool changed = !dftServerName->text().isEmpty() || !dftUserProfile->text().isEmpty() ||
                         dftRestoreToLibrary->text().toUpper() != QLatin1String("*SAVLIB");
    btnOk->setEnabled(changed);
}

void TfrmTargetDefaults::btnOkClick()
{
    if (!dialogs::fitsField(dftServerName->text(), kHostBytes, QStringLiteral("iSeries name or TCP/IP address")) ||
        !dialogs::fitsField(dftUserProfile->text(), kNameBytes, QStringLiteral("user profile")) ||
        !dialogs::fitsField(dftRestoreToLibrary->text(), kNameBytes, QStringLiteral("library name")))
        return;
    // Copied exactly as typed, in this order.
    values_.serverName = dftServerName->text().toStdString();
    values_.userProfile = dftUserProfile->text().toStdString();
    values_.restoreToLibrary = dftRestoreToLibrary->text().toStdString();
    dialogs::closeWith(*this, platform::mrOk);
}
