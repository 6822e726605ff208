#include "dialogs/formPoster.h"

#include "dialogs/DialogCommon.h"
#include "dialogs/FormPreviewPoster.h"
#include "dialogs/PosterDefaults.h"
#include "platform/Dialogs.h"

#include <QFileInfo>

TfrmAddPoster *frmAddPoster = nullptr;

TfrmAddPoster::TfrmAddPoster(const dialogs::PosterValues &values, QWidget *parent) : QDialog(parent), values_(values)
{
    setObjectName(QStringLiteral("frmAddPoster"));
    setWindowTitle(QStringLiteral("Add poster"));
    setFixedSize(575, 293);

    dialogs::makeHeaderPanel(this, 575, 73, QStringLiteral("Poster values"),
                             {QStringLiteral("A personal poster (e.g. your company logo) can be displayed when the "
                                             "recipient unzips the file.")});

    auto *grpFile = new QGroupBox(QStringLiteral("PC file name"), this);
    grpFile->setGeometry(16, 84, 543, 84);
    edtPoster = new QLineEdit(grpFile);
    edtPoster->setObjectName(QStringLiteral("edtPoster"));
    edtPoster->setToolTip(QStringLiteral("Enter PC file name to be used as the poster or press Browse to select the file"));
    edtPoster->setGeometry(12, 22, 430, 24);
    btnBrowse = new QPushButton(QStringLiteral("Browse..."), grpFile);
    btnBrowse->setObjectName(QStringLiteral("btnBrowse"));
    btnBrowse->setGeometry(452, 21, 79, 27);
    edtPosterStretch = new QCheckBox(QStringLiteral("Auto fit to 576 x 254 pixels?"), grpFile);
    edtPosterStretch->setObjectName(QStringLiteral("edtPosterStretch"));
    edtPosterStretch->setToolTip(QStringLiteral("Select this if you want your poster to fit into the image area"));
    edtPosterStretch->setGeometry(12, 54, 300, 22);
    edtPosterStretch->setChecked(true);

    boxHyperlink = new QGroupBox(QStringLiteral("Hyperlink"), this);
    boxHyperlink->setObjectName(QStringLiteral("boxHyperlink"));
    boxHyperlink->setGeometry(16, 176, 543, 60);
    edtPosterLink = new QLineEdit(boxHyperlink);
    edtPosterLink->setObjectName(QStringLiteral("edtPosterLink"));
    edtPosterLink->setToolTip(QStringLiteral("Enter the hyperlink to be used when the end user clicks on the poster "
                                             "(https://www.example.com/)"));
    edtPosterLink->setGeometry(12, 24, 519, 24);

    btnPreview = new QPushButton(QStringLiteral("Preview"), this);
    btnPreview->setObjectName(QStringLiteral("btnPreview"));
    btnPreview->setGeometry(16, 254, 75, 27);
    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(400, 254, 75, 27);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(484, 254, 75, 27);

    connect(edtPoster, &QLineEdit::textChanged, this, [this] { onChange(); });
    connect(btnBrowse, &QPushButton::clicked, this, [this] { platform::guarded([this] { btnBrowseClick(); }); });
    connect(btnPreview, &QPushButton::clicked, this, [this] { platform::guarded([this] { btnPreviewClick(); }); });
    connect(btnOk, &QPushButton::clicked, this, [this] { platform::guarded([this] { btnOkClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { dialogs::closeWith(*this, platform::mrCancel); });

    FormActivate();
}

bool TfrmAddPoster::posterExists() const
{
    return !edtPoster->text().isEmpty() && QFileInfo(edtPoster->text()).isFile();
}

void TfrmAddPoster::FormActivate()
{
    QSignalBlocker block(edtPoster);
    edtPoster->setText(QString::fromStdString(values_.file));
    edtPosterLink->setText(QString::fromStdString(values_.link));
    edtPosterStretch->setChecked(values_.stretch);
    const bool exists = posterExists();
    btnPreview->setEnabled(exists);
    btnOk->setEnabled(exists);
}

void TfrmAddPoster::onChange()
{
    btnPreview->setEnabled(posterExists());
    btnOk->setEnabled(true);
}

void TfrmAddPoster::btnBrowseClick()
{
    platform::FileDialogOptions o;
    o.title = "Open";
    o.fileName = edtPoster->text().toStdString();
    o.filters = {"All (*.bmp *.ico *.emf *.wmf)", "Bitmaps (*.bmp)", "Icons (*.ico)", "Enhanced Metafiles (*.emf)",
                 "Metafiles (*.wmf)"};
    if (auto chosen = platform::dialogs().openPicture(o))
        edtPoster->setText(QFileInfo(QString::fromStdString(*chosen)).absoluteFilePath());
}

void TfrmAddPoster::btnOkClick()
{
    const QString file = edtPoster->text();
    if (!file.isEmpty() && !QFileInfo(file).isFile()) {
        platform::dialogs().messageBox("File '" + file.toStdString() + "' not found",
                                       platform::messageIdCaption("Qln0077"), platform::Buttons::Ok,
                                       platform::Icon::Error);
        return;
    }
    if (!dialogs::fitsField(file, dialogs::kPosterFieldBytes, QStringLiteral("poster file name")) ||
        !dialogs::fitsField(edtPosterLink->text(), dialogs::kPosterFieldBytes, QStringLiteral("poster hyperlink")))
        return;
    // The current archive gets the poster whatever the answer below.
    values_.file = file.toStdString();
    values_.link = edtPosterLink->text().toStdString();
    values_.stretch = edtPosterStretch->isChecked();
    if (platform::dialogs().messageBox("Save poster information as default?", platform::messageIdCaption("Qln1048"),
                                       platform::Buttons::YesNo, platform::Icon::Question) == platform::mrYes)
        dialogs::writePosterDefaults(values_);
    dialogs::closeWith(*this, platform::mrOk);
}

void TfrmAddPoster::btnPreviewClick()
{
    const QImage picture = dialogs::loadPosterOrDefault(edtPoster->text().toStdString());
    TfrmPreviewPoster preview(picture, edtPosterLink->text(), edtPosterStretch->isChecked(), this);
    frmPreviewPoster = &preview;
    platform::dialogs().showModal(preview);
    frmPreviewPoster = nullptr;
}
