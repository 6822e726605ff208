#include "app/fromMain.h"

#include "app/SaveFileLibrary.h"
#include "app/WizardJobs.h"
#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/TempFiles.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>

#include <algorithm>
#include <stdexcept>
#include <unistd.h>

namespace app {
namespace {

QString q(const std::string &s) { return QString::fromStdString(s); }
std::string s(const QString &q) { return q.toStdString(); }

constexpr int kClientWidth = 584;
constexpr int kClientHeight = 372;
constexpr int kPageHeight = 326;
constexpr int kHeaderHeight = 60;
constexpr int kListLineMax = 511;

// Cuts a line to at most `max` bytes without splitting a UTF-8 character.
std::string cutLine(const std::string &line, std::size_t max)
{
    if (line.size() <= max)
        return line;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
        --cut;
    return line.substr(0, cut);
}

void setWhite(QWidget *w)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, Qt::white);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

QLabel *label(QWidget *parent, const QString &text, int x, int y, int w = -1, int h = -1)
{
    auto *l = new QLabel(text, parent);
    if (w < 0) {
        l->adjustSize();
        l->move(x, y);
    } else {
        l->setGeometry(x, y, w, h);
    }
    return l;
}

// A word-wrapped paragraph at (x, y) of width w; returns the y below it.
int paragraph(QWidget *parent, const QString &text, int x, int y, int w, QLabel **out = nullptr)
{
    auto *l = new QLabel(text, parent);
    l->setWordWrap(true);
    const int h = l->heightForWidth(w);
    l->setGeometry(x, y, w, h);
    if (out)
        *out = l;
    return y + h;
}

QPushButton *button(QWidget *parent, const QString &text, int x, int y, int w = 75, int h = 25)
{
    auto *b = new QPushButton(text, parent);
    b->setGeometry(x, y, w, h);
    return b;
}

QLineEdit *edit(QWidget *parent, int x, int y, int w, const QString &hint, int maxLength = 0)
{
    auto *e = new QLineEdit(parent);
    e->setGeometry(x, y, w, 21);
    e->setToolTip(hint);
    if (maxLength > 0)
        e->setMaxLength(maxLength);
    return e;
}

QComboBox *dropDown(QWidget *parent, int x, int y, int w, const QString &hint)
{
    auto *c = new QComboBox(parent);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setGeometry(x, y, w, 22);
    c->setToolTip(hint);
    return c;
}

QGroupBox *group(QWidget *parent, const QString &title, int x, int y, int w, int h)
{
    auto *g = new QGroupBox(title, parent);
    g->setGeometry(x, y, w, h);
    return g;
}

QLabel *titlePicture(QWidget *parent, const QString &subtitle)
{
    auto *l = new QLabel(parent);
    l->setTextFormat(Qt::RichText);
    l->setText("<span style='font-size:22pt; font-weight:bold; color:#0b2a5b'>Quellon</span>"
               "<span style='font-size:11pt; color:#1f8ac0'>&nbsp;&nbsp;" +
               subtitle + "</span>");
    l->setGeometry(184, 14, 330, 44);
    return l;
}

} // namespace

void TLinkLabel::mouseReleaseEvent(QMouseEvent *e)
{
    QLabel::mouseReleaseEvent(e);
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
        emit clicked();
}

const std::vector<std::string> &TfrmMain::objectTypes()
{
    // The list pads most entries with blanks; the save command receives the
    // field's text blanks included, as it always has.
    static const std::vector<std::string> types = [] {
        const char *const names[] = {
            "*ALL",    "*ALRTBL", "*BNDDIR", "*CHTFMT", "*CLD",    "*CLS",    "*CMD",    "*CRG",    "*CRQD",
            "*CSI",    "*CSPMAP", "*CSPTBL", "*DTAARA", "*DTAQ",   "*EDTD",   "*EXITRG", "*FCT",    "*FILE",
            "*FNTRSC", "*FNTTBL", "*FORMDF", "*FTR",    "*GSS",    "*JOBD",   "*JOBQ",   "*JOBSCD", "*JRN",
            "*JRNRCV", "*LOCALE", "*MEDDFN", "*MENU",   "*MGTCOL", "*MODULE", "*MSGF",   "*MSGQ",   "*M36",
            "*M36CFG", "*NODGRP", "*NODL",   "*OUTQ",   "*OVL",    "*PAGDFN", "*PAGSEG", "*PDG",    "*PGM",
            "*PNLGRP", "*PRDAVL", "*PRDDFN", "*PRDLOD", "*PSFCFG", "*QMFORM", "*QMQRY",  "*QRYDFN", "*RCT",
            "*SBSD",   "*SCHIDX", "*SPADCT", "*SQLPKG", "*SQLUDT", "*SRVPGM", "*SSND",   "*SVRSTG", "*S36",
            "*TBL",    "*USRIDX", "*USRQ",   "*USRSPC", "*VLDL",   "*WSCST"};
        std::vector<std::string> out;
        bool padded = false;
        for (const char *n : names) {
            std::string t = n;
            if (t == "*CLS") {
                padded = true;
                t.resize(7, ' ');
            } else if (padded) {
                t.resize(12, ' ');
            }
            if (t.rfind("*USRQ", 0) == 0)
                padded = false;
            out.push_back(t);
        }
        return out;
    }();
    return types;
}

TfrmMain *frmMain = nullptr;

TfrmMain::TfrmMain(QWidget *parent) : QWidget(parent)
{
    buildUi();
    frmMain = this;
}

TfrmMain::~TfrmMain()
{
    platform::guarded([this] { unloadZipDlls(); });
    if (frmMain == this)
        frmMain = nullptr;
}

void TfrmMain::buildUi()
{
    static const bool fontsMapped = [] {
        QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "Arial", "DejaVu Sans"});
        return true;
    }();
    (void)fontsMapped;

    setObjectName("frmMain");
    setWindowTitle("Quellon for iSeries and AS/400");
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(QFont("MS Sans Serif", 8));
    setFixedSize(kClientWidth, kClientHeight);

    Wizard = new QStackedWidget(this);
    Wizard->setObjectName("Wizard");
    Wizard->setGeometry(0, 0, kClientWidth, kPageHeight);

    auto *bevel = new QFrame(this);
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(0, kPageHeight, kClientWidth, 2);

    const int by = 338;
    btnBack = button(this, "<< Back", 344, by);
    btnAbout = button(this, "&About", 344, by);
    btnNext = button(this, "Next >>", 424, by);
    btnFinish = button(this, "OK", 424, by);
    btnClose = button(this, "Close", 424, by);
    btnCancel = button(this, "Cancel", 504, by);
    btnDspJobLog = button(this, "Job log", 504, by);
    btnBack->setObjectName("btnBack");
    btnAbout->setObjectName("btnAbout");
    btnNext->setObjectName("btnNext");
    btnFinish->setObjectName("btnFinish");
    btnClose->setObjectName("btnClose");
    btnCancel->setObjectName("btnCancel");
    btnDspJobLog->setObjectName("btnDspJobLog");
    btnFinish->hide();
    btnClose->hide();
    btnDspJobLog->hide();
    btnAbout->hide();

    TimerBar = new QTimer(this);
    TimerBar->setInterval(125);

    // ---- save mode: start page ----
    tabSaveStart = new QWidget;
    setWhite(tabSaveStart);
    imgMainSave = new QLabel(tabSaveStart);
    imgMainSave->setGeometry(0, 0, 164, kPageHeight);
    imgMainSave->setScaledContents(true);
    imgTitleSave = titlePicture(tabSaveStart, "Save Wizard");
    {
        const int x = 184, w = 380;
        int y = 70;
        y = paragraph(tabSaveStart,
                      "This Wizard will guide you through a serie of panels, which enables you to save objects "
                      "directly from an iSeries (AS/400) and store them on your PC.",
                      x, y, w) + 10;
        y = paragraph(tabSaveStart,
                      "Saved objects can then be send by email, or you can copy them to an external media like "
                      "CD-ROM, tape etc.",
                      x, y, w) + 10;
        y = paragraph(tabSaveStart,
                      "Saved objects may be restored to any iSeries (AS/400) running the same (or lower) Release "
                      "of OS/400 as the source iSeries (AS/400). All you need on the target machine is the "
                      "Quellon freeware that can be downloaded from:",
                      x, y, w) + 4;
        Label32 = new TLinkLabel(q(kProductWebAddress), tabSaveStart);
        Label32->setObjectName("Label32");
        QFont f = Label32->font();
        f.setUnderline(true);
        Label32->setFont(f);
        Label32->setStyleSheet("color: blue");
        Label32->setCursor(Qt::PointingHandCursor);
        Label32->adjustSize();
        Label32->move(x, y);
        label(tabSaveStart, "Press Next to continue.", x, 296);
    }
    Wizard->addWidget(tabSaveStart);

    // ---- save mode: what to save ----
    tabSaveInfo = makeHeaderPage("Enter the Properties.",
                                 "The Wizard can save a single object or an entire library so it can be "
                                 "restored onto another iSeries (AS/400).");
    grpSaveType = group(tabSaveInfo, "Select type to be saved", 16, 76, 180, 68);
    rbEntireLibrary = new QRadioButton("Entire library", grpSaveType);
    rbEntireLibrary->setGeometry(12, 20, 160, 20);
    rbSingleObject = new QRadioButton("Single object", grpSaveType);
    rbSingleObject->setGeometry(12, 42, 160, 20);
    rbEntireLibrary->setChecked(true);
    label(tabSaveInfo, "Library name", 224, 86);
    edtLibraryNameToSave = edit(tabSaveInfo, 320, 82, 110, "Enter the library to be saved.", 10);
    label(tabSaveInfo, "(Name)", 438, 86);
    label(tabSaveInfo, "Target release", 224, 118);
    edtTgtRls = dropDown(tabSaveInfo, 320, 114, 110,
                         "Type the target release or press the Drop Down to select a OS/400 version.");
    edtTgtRls->setEditText("*Current");
    boxSaveLibrary = group(tabSaveInfo, "Object properties", 16, 160, 552, 92);
    lblObjToBeSaved = label(boxSaveLibrary, "Object to be saved", 16, 30);
    edtObjToBeSaved = edit(boxSaveLibrary, 140, 26, 110,
                           "Enter the name of the OS/400 object to be saved (e.g. MYOBJ or MYOBJ* for generic "
                           "or *ALL for all objects)",
                           10);
    txtObjToBeSaved = label(boxSaveLibrary, "(Name, generic*, *ALL)", 258, 30);
    lblSaveObjType = label(boxSaveLibrary, "Object type", 16, 60);
    edtSaveObjType = dropDown(boxSaveLibrary, 140, 56, 110, "Select an object type by pressing the drop down");
    for (const auto &t : objectTypes())
        edtSaveObjType->addItem(q(t));
    edtSaveObjType->setEditText("*ALL");
    Wizard->addWidget(tabSaveInfo);

    // ---- save mode: destination ----
    tabSaveFileInfo = makeHeaderPage("Select the destination for the saved and zipped file",
                                     "Use the Browse button to locate the destination for the Quellon file; "
                                     "then click \"Next\"");
    {
        auto *g = group(tabSaveFileInfo, "PC file name", 16, 96, 552, 64);
        edtSaveToZippedFile =
            edit(g, 12, 28, 438, "Enter the PC file name to be used for holding the sipped library.");
        btnBrowse = button(g, "Browse...", 462, 26);
        auto *e = group(tabSaveFileInfo, "Encryption", 16, 172, 552, 88);
        boxEncryptArchive = new QCheckBox("Encrypt the archive with AES-256", e);
        boxEncryptArchive->setGeometry(12, 24, 400, 20);
        label(e, "Password", 12, 56);
        edtArchivePassword = edit(e, 80, 52, 170, "The password that opens the archive.", 80);
        label(e, "Again", 270, 56);
        edtArchivePassword2 = edit(e, 320, 52, 170, "The same password once more.", 80);
        for (QLineEdit *pw : {edtArchivePassword, edtArchivePassword2}) {
            pw->setEchoMode(QLineEdit::Password);
            pw->setEnabled(false);
        }
    }
    Wizard->addWidget(tabSaveFileInfo);

    // ---- save mode: restore behaviour carried in the archive ----
    tabRestoreDefaults = makeHeaderPage("Advanced restore behaviour",
                                        "Quellon can, apart from the plain restore feature, offer you some "
                                        "additional advanced features.");
    {
        auto *g1 = group(tabRestoreDefaults, "Default values", 16, 76, 552, 70);
        btnRestoreDefaults = button(g1, "Restore values", 16, 28, 110);
        auto *g2 = group(tabRestoreDefaults, "Add graphics", 16, 152, 270, 70);
        btnAddPoster = button(g2, "Poster values", 16, 28, 110);
        btnAddPoster->setToolTip("Add a graphic poster to be showed when the file is restored on the target. ");
        auto *g3 = group(tabRestoreDefaults, "OS/400 Command", 298, 152, 270, 70);
        btnSaveAdvanced = button(g3, "Command value", 16, 28, 110);
    }
    Wizard->addWidget(tabRestoreDefaults);

    // ---- both modes: the host ----
    tabConnectInfo = makeHeaderPage("iSeries information", "Enter server information and press Next to continue");
    label(tabConnectInfo, "iSeries name or TCP/IP address:", 24, 80);
    edtServerName = dropDown(tabConnectInfo, 24, 98, 230, "e.g. 192.168.1.1 or MYAS400");
    // Out of the tab order, as the host name, user and password are what
    // Tab walks through; Alt+A opens it from the keyboard.
    btnAdvanced = button(tabConnectInfo, "&Advanced", 266, 96);
    btnAdvanced->setFocusPolicy(Qt::ClickFocus);
    {
        auto *g = group(tabConnectInfo, "OS/400 User information", 16, 140, 340, 96);
        label(g, "User profile", 16, 32);
        edtUserProfile = edit(g, 110, 28, 130, "Enter your OS/400 user profile name into this field.");
        label(g, "Password", 16, 62);
        edtPassword = edit(g, 110, 58, 130, "Enter your password into this field.");
        edtPassword->setEchoMode(QLineEdit::Password);
        edtPassword->setStyleSheet("lineedit-password-character: 42;"); // '*'

    }
    Wizard->addWidget(tabConnectInfo);

    // ---- both modes: summary and progress ----
    tabProcess = makeHeaderPage("Ready to start", "The Wizard is now ready to start the job on the iSeries");
    lblProcess = label(tabProcess, "Properties:", 16, 68, 300, 16);
    list = new QListWidget(tabProcess);
    list->setObjectName("list");
    list->setGeometry(16, 86, 520, 206);
    list->setFocusPolicy(Qt::NoFocus);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    list->setUniformItemSizes(true);
    // Long lines run past the edge as they would in a plain list box.
    list->setTextElideMode(Qt::ElideNone);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setStyleSheet("QListWidget { background: palette(button); }");
    bar = new QProgressBar(tabProcess);
    bar->setObjectName("bar");
    bar->setOrientation(Qt::Vertical);
    bar->setGeometry(546, 86, 18, 206);
    bar->setRange(1, 10);
    bar->setValue(1);
    bar->setTextVisible(false);
    bar->setEnabled(false);
    bar->hide();
    lblProcessTitle = tabProcess->findChild<QLabel *>("headerTitle");
    lblProcessText = tabProcess->findChild<QLabel *>("headerText");
    lblFinish = new QLabel("Press OK to start the process.", tabProcess);
    lblFinish->setGeometry(300, 300, 264, 16);
    lblFinish->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Wizard->addWidget(tabProcess);

    // ---- both modes: last page ----
    tabSaveDone = makeHeaderPage("Thanks for using Quellon",
                                 "The Wizard has now ended the zip operation successfully. Press Close to leave "
                                 "the wizard");
    tabSaveDone->findChild<QWidget *>("header")->setFixedHeight(73);
    tabSaveDone->findChild<QWidget *>("headerRule")->move(0, 73);
    lblDoneTitle = tabSaveDone->findChild<QLabel *>("headerTitle");
    lblDoneText = tabSaveDone->findChild<QLabel *>("headerText");
    lblDoneText->setGeometry(32, 28, 470, 44);
    // Every failed step with the host's reasons may need more room than
    // the page has: it scrolls, and wraps long replies.
    scrJobErrors = new QScrollArea(tabSaveDone);
    scrJobErrors->setObjectName("scrJobErrors");
    scrJobErrors->setGeometry(16, 84, 552, 234);
    scrJobErrors->setFrameShape(QFrame::NoFrame);
    scrJobErrors->setWidgetResizable(true);
    scrJobErrors->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrJobErrors->setFocusPolicy(Qt::NoFocus);
    lblJobErrors = new QLabel;
    lblJobErrors->setObjectName("lblJobErrors");
    lblJobErrors->setWordWrap(true);
    lblJobErrors->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblJobErrors->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblJobErrors->setContentsMargins(8, 0, 8, 0);
    scrJobErrors->setWidget(lblJobErrors);
    scrJobErrors->viewport()->setAutoFillBackground(false);
    lblJobErrors->setAutoFillBackground(false);
    lblJobErrors->hide();
    scrJobErrors->hide();
    pnlPoster = new QWidget(tabSaveDone);
    pnlPoster->setObjectName("pnlPoster");
    pnlPoster->setGeometry(4, 80, 576, 236);
    imgPoster = new TLinkLabel(pnlPoster);
    imgPoster->setObjectName("imgPoster");
    imgPoster->setCursor(Qt::PointingHandCursor);
    Wizard->addWidget(tabSaveDone);

    // ---- restore mode: start page ----
    tabRestoreStart = new QWidget;
    setWhite(tabRestoreStart);
    imgMainRestore = new QLabel(tabRestoreStart);
    imgMainRestore->setGeometry(0, 0, 164, kPageHeight);
    imgMainRestore->setScaledContents(true);
    imgTitleRestore = titlePicture(tabRestoreStart, "Restore Wizard");
    paragraph(tabRestoreStart, "Use this Wizard to Restore zipped objects into your iSeries (AS/400)", 184, 70, 380);
    label(tabRestoreStart, "Press Next to continue.", 184, 296);
    Wizard->addWidget(tabRestoreStart);

    // ---- restore mode: the file ----
    tabRestoreInfo = makeHeaderPage("Enter restore informations",
                                    "The Wizard will restore the entered library on the iSeries");
    {
        auto *g = group(tabRestoreInfo, "Type zipped file to be restored", 16, 96, 552, 64);
        edtSavedZippedFile =
            edit(g, 12, 28, 438, "Enter the Zipped PC file to be used for the restore on the iSeries");
        Button1 = button(g, "Browse...", 462, 26);
    }
    Wizard->addWidget(tabRestoreInfo);

    // ---- restore mode: where to ----
    tabRestoreHostInfo = makeHeaderPage("Enter retore informations", "Enter restore informations on the iSeries ");
    {
        auto *g = group(tabRestoreHostInfo, "Restore to library", 16, 80, 552, 64);
        label(g, "To Library", 16, 31);
        edtRestoreToLibrary = edit(g, 110, 27, 110, "Enter a library name (e.g. MYLIB)", 10);
        edtRestoreToLibrary->setText("*SAVLIB");
        boxAutoCreateLibrary = new QCheckBox("Auto create library?", g);
        boxAutoCreateLibrary->setGeometry(250, 28, 200, 20);
        boxAutoCreateLibrary->setToolTip("Useful if the save file was saved by SAVOBJ");
        boxRestSavf = group(tabRestoreHostInfo, "Save file information", 16, 156, 552, 64);
        label(boxRestSavf, "Saved Library", 16, 31);
        edtSavedLibrary = edit(boxRestSavf, 110, 27, 110, "Enter a library name (e.g. MYLIB)", 10);
    }
    Wizard->addWidget(tabRestoreHostInfo);

    // The mode's stamp, above the pages at the top right.
    pnlStamp = new QFrame(this);
    pnlStamp->setObjectName("pnlStamp");
    static_cast<QFrame *>(pnlStamp)->setFrameShape(QFrame::Box);
    static_cast<QFrame *>(pnlStamp)->setStyleSheet("QFrame#pnlStamp { background: white; border: 1px solid #a0a0a0; }");
    pnlStamp->setGeometry(kClientWidth - 48 - 10, 6, 48, 48);
    imgStamp = new QLabel(pnlStamp);
    imgStamp->setGeometry(1, 1, 46, 46);
    imgStamp->setScaledContents(true);
    pnlStamp->raise();

    // ---- wiring: every handler entry shows what escapes it ----
    auto wire = [this](auto *sender, auto signal, auto handler) {
        connect(sender, signal, this, [this, handler] { platform::guarded([&] { (this->*handler)(); }); });
    };
    wire(btnNext, &QPushButton::clicked, &TfrmMain::btnNextClick);
    wire(btnBack, &QPushButton::clicked, &TfrmMain::btnBackClick);
    wire(btnFinish, &QPushButton::clicked, &TfrmMain::btnFinishClick);
    wire(btnCancel, &QPushButton::clicked, &TfrmMain::btnCancelClick);
    wire(btnClose, &QPushButton::clicked, &TfrmMain::btnCloseClick);
    wire(btnAbout, &QPushButton::clicked, &TfrmMain::btnAboutClick);
    wire(btnDspJobLog, &QPushButton::clicked, &TfrmMain::btnDspJobLogClick);
    wire(btnBrowse, &QPushButton::clicked, &TfrmMain::btnBrowseClick);
    wire(Button1, &QPushButton::clicked, &TfrmMain::Button1Click);
    wire(btnAdvanced, &QPushButton::clicked, &TfrmMain::advancedFromConnectionPage);
    wire(btnRestoreDefaults, &QPushButton::clicked, &TfrmMain::btnRestoreDefaultsClick);
    wire(btnAddPoster, &QPushButton::clicked, &TfrmMain::btnAddPosterClick);
    wire(btnSaveAdvanced, &QPushButton::clicked, &TfrmMain::btnSaveAdvancedClick);
    wire(rbEntireLibrary, &QRadioButton::clicked, &TfrmMain::grpSaveTypeClick);
    wire(rbSingleObject, &QRadioButton::clicked, &TfrmMain::grpSaveTypeClick);
    wire(imgPoster, &TLinkLabel::clicked, &TfrmMain::imgPosterClick);
    wire(TimerBar, &QTimer::timeout, &TfrmMain::TimerBarTimer);
    for (QLineEdit *e : {edtLibraryNameToSave, edtObjToBeSaved, edtSavedZippedFile, edtRestoreToLibrary, edtSavedLibrary})
        wire(e, &QLineEdit::textChanged, &TfrmMain::onTabPrefixChange);
    wire(edtSaveToZippedFile, &QLineEdit::textChanged, &TfrmMain::edtSaveToZippedFileChange);
    wire(boxEncryptArchive, &QCheckBox::toggled, &TfrmMain::edtSaveToZippedFileChange);
    wire(edtArchivePassword, &QLineEdit::textChanged, &TfrmMain::edtSaveToZippedFileChange);
    wire(edtArchivePassword2, &QLineEdit::textChanged, &TfrmMain::edtSaveToZippedFileChange);
    wire(edtUserProfile, &QLineEdit::textChanged, &TfrmMain::edtUserProfileChange);
    wire(edtPassword, &QLineEdit::textChanged, &TfrmMain::edtUserProfileChange);
    connect(Label32, &TLinkLabel::clicked, this, [this] { platform::guarded([this] { URLClick(Label32); }); });
    // Leaving the host name field runs the host lookup.
    edtServerName->installEventFilter(this);
    edtServerName->lineEdit()->installEventFilter(this);
    // Enter goes to the window (keyPressEvent), which presses the page's
    // button; the buttons only report how they got the focus.
    for (QPushButton *b : findChildren<QPushButton *>()) {
        b->setAutoDefault(false);
        b->installEventFilter(this);
    }
}

void TfrmMain::advancedFromConnectionPage()
{
    // Alt+A leaves the host name field without a focus change: its profile
    // comes first, so the dialog edits this host's settings.
    if (Wizard->currentWidget() == tabConnectInfo)
        onTabConnectInfoChange();
    btnAdvancedClick();
}

QPushButton *TfrmMain::enterButton() const
{
    // A button the operator moved to with Tab (Browse..., Restore values,
    // ...) takes Enter once; Back and Cancel never do.
    auto *focus = qobject_cast<QPushButton *>(QApplication::focusWidget());
    if (focus && focus == tabbedButton_ && focus != btnBack && focus != btnCancel && focus->isEnabled())
        return focus;
    for (QPushButton *b : {btnNext, btnFinish, btnClose})
        if (!b->isHidden() && b->isEnabled())
            return b;
    return nullptr;
}

void TfrmMain::keyPressEvent(QKeyEvent *e)
{
    const bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
    if (enter && e->modifiers() == Qt::NoModifier) {
        // Enter in the host name field leaves it first, so its profile applies.
        QWidget *focus = QApplication::focusWidget();
        if (Wizard->currentWidget() == tabConnectInfo && (focus == edtServerName || focus == edtServerName->lineEdit()))
            platform::guarded([this] { onTabConnectInfoChange(); });
        e->accept();
        if (QPushButton *b = enterButton()) {
            // Pressed once: after the dialog it opens, Enter is Next again.
            tabbedButton_ = nullptr;
            b->click();
        }
        return;
    }
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        if (!btnCancel->isHidden() && btnCancel->isEnabled())
            btnCancel->click();
        e->accept();
        return;
    }
    QWidget::keyPressEvent(e);
}

QWidget *TfrmMain::makeHeaderPage(const QString &title, const QString &text)
{
    auto *page = new QWidget;
    auto *header = new QWidget(page);
    header->setObjectName("header");
    setWhite(header);
    header->setGeometry(0, 0, kClientWidth, kHeaderHeight);
    auto *t = new QLabel(title, header);
    t->setObjectName("headerTitle");
    QFont bold = t->font();
    bold.setBold(true);
    t->setFont(bold);
    t->setGeometry(16, 10, 480, 16);
    auto *x = new QLabel(text, header);
    x->setObjectName("headerText");
    x->setWordWrap(true);
    x->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    x->setGeometry(32, 28, 470, 30);
    auto *line = new QFrame(page);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(0, kHeaderHeight, kClientWidth, 2);
    line->setObjectName("headerRule");
    return page;
}

// ---------------------------------------------------------------- lifecycle

bool TfrmMain::formCreate(const std::vector<std::string> &args)
{
    ArchiveInfo.reset();
    platform::guarded([this] { loadZipDlls(); });

    const CommandLine cl = parseCommandLine(args);
    if (!cl.valid) {
        platform::dialogs().messageBox(invalidParameterMessage(cl.badArgument), platform::messageIdCaption("Qln0005"),
                                       platform::Buttons::Ok, platform::Icon::None);
        startupRefused_ = true;
        return false;
    }
    mode_ = cl.mode;
    if (!cl.file.empty())
        edtSavedZippedFile->setText(q(cl.file));

    if (mode_ == msSave)
        platform::guarded([this] { loadPosterDefaults(); });

    // Private and atomic: the folder is made with its unique name in one step
    // (mkdtemp, 0700), so no other local user can slip in between.
    runFolder_ = platform::makeRunFolder(platform::tempPath(), "_4Q");

    Port = 21;
    Proxy.clear();
    ProxyPort = 0;
    Transport = {};
    platform::guarded([this] { loadHostProfiles(); });
    return true;
}

void TfrmMain::formActivate()
{
    activated_ = true;
    step_ = 0;
    btnNextClick();
}

void TfrmMain::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    if (activated_)
        return;
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    // Once, when the window first appears: dialogs and other applications
    // taking the focus for a while do not restart the wizard.
    platform::guarded([this] { formActivate(); });
}

void TfrmMain::closeEvent(QCloseEvent *e)
{
    bool may = false;
    platform::guarded([&] { may = formClose(); });
    if (may)
        e->accept();
    else
        e->ignore();
}

bool TfrmMain::formClose()
{
    if (Wizard->currentWidget() == tabSaveDone) {
        removeRunFolder();
        return true;
    }
    if (btnCancel->isEnabled()) {
        const int answer = platform::dialogs().messageBox("Are you sure that you want to exit the Wizard program?",
                                                          platform::messageIdCaption("Qln0004"),
                                                          platform::Buttons::YesNo, platform::Icon::Question);
        if (answer == platform::mrYes) {
            removeRunFolder();
            endProgram(0);
            return true;
        }
        return false;
    }
    // A job runs: the request is ignored without a word.
    return false;
}

void TfrmMain::removeRunFolder()
{
    if (runFolder_.empty())
        return;
    // Not the current directory of the process while it goes.
    const std::string home = platform::programDir();
    if (::chdir(home.c_str()) != 0) {
        // Removal below still works on Linux; nothing to report here.
    }
    std::string error;
    if (!platform::removeRunFolder(runFolder_, &error))
        platform::dialogs().messageBox(error, "", platform::Buttons::Ok, platform::Icon::None);
    runFolder_.clear();
}

void TfrmMain::btnCancelClick()
{
    if (!stopOverdueJob() && !stopLongZip())
        close();
}
void TfrmMain::btnCloseClick() { close(); }

// ---------------------------------------------------------------- steps

void TfrmMain::btnNextClick()
{
    ++step_;
    showStep();
}

void TfrmMain::btnBackClick()
{
    --step_;
    showStep();
}

void TfrmMain::setNextFocus(QWidget *w) { w->setFocus(Qt::OtherFocusReason); }

void TfrmMain::showStep()
{
    btnAbout->hide();
    btnDspJobLog->hide();
    btnNext->hide();
    btnFinish->hide();
    btnClose->hide();
    btnNext->setEnabled(false);
    btnFinish->setEnabled(false);
    btnClose->setEnabled(false);
    btnBack->setEnabled(step_ > 1);

    auto showNext = [this] { btnNext->show(); };
    auto lastPage = [this] {
        Wizard->setCurrentWidget(tabSaveDone);
        btnClose->show();
        btnClose->setEnabled(true);
        btnCancel->hide();
        btnDspJobLog->show();
        btnBack->setEnabled(false);
        setNextFocus(btnClose);
    };
    auto connectionPage = [this, showNext] {
        Wizard->setCurrentWidget(tabConnectInfo);
        showNext();
        onTabConnectInfoChange();
        setNextFocus(edtServerName);
    };
    auto summaryPage = [this](bool save) {
        Wizard->setCurrentWidget(tabProcess);
        if (save)
            fillSaveSummary();
        else
            fillRestoreSummary();
        btnFinish->show();
        btnFinish->setEnabled(true);
        setNextFocus(btnFinish);
    };

    if (mode_ == msSave) {
        switch (step_) {
        case 1:
            Wizard->setCurrentWidget(tabSaveStart);
            platform::guarded([this] { tabSaveStartShow(); });
            showNext();
            btnNext->setEnabled(true);
            setNextFocus(btnNext);
            break;
        case 2:
            Wizard->setCurrentWidget(tabSaveInfo);
            showNext();
            onTabPrefixChange();
            grpSaveTypeClick();
            setNextFocus(edtLibraryNameToSave);
            break;
        case 3:
            Wizard->setCurrentWidget(tabSaveFileInfo);
            showNext();
            edtSaveToZippedFileChange();
            edtSaveToZippedFile->setEnabled(false);
            if (edtSaveToZippedFile->text().isEmpty()) {
                platform::FileDialogOptions o;
                o.fileName = s(edtLibraryNameToSave->text());
                o.defaultExt = "4ql";
                o.filters = {"OS/400 Zipped Savefile (.4ql) (*.4ql)"};
                if (auto chosen = platform::dialogs().saveFile(o)) {
                    saveDialogFileName_ = *chosen;
                    edtSaveToZippedFile->setText(q(*chosen));
                }
            }
            break;
        case 4:
            Wizard->setCurrentWidget(tabRestoreDefaults);
            showNext();
            btnNext->setEnabled(true);
            setNextFocus(btnNext);
            break;
        case 5: connectionPage(); break;
        case 6: summaryPage(true); break;
        case 7: lastPage(); break;
        default: break;
        }
    } else {
        switch (step_) {
        case 1:
            Wizard->setCurrentWidget(tabRestoreStart);
            platform::guarded([this] { tabRestoreStartShow(); });
            showNext();
            btnNext->setEnabled(true);
            setNextFocus(btnNext);
            break;
        case 2:
            Wizard->setCurrentWidget(tabRestoreInfo);
            showNext();
            onTabPrefixChange();
            setNextFocus(edtSavedZippedFile);
            break;
        case 3: {
            showNext();
            // A file that cannot be restored goes no further than this page.
            bool accepted = openChosenFile();
            if (accepted)
                platform::guarded([&] { accepted = checkFormatVersion(); });
            if (accepted) {
                Wizard->setCurrentWidget(tabRestoreHostInfo);
                setNextFocus(edtRestoreToLibrary);
            } else {
                btnNext->setEnabled(false);
                --step_;
                Wizard->setCurrentWidget(tabRestoreInfo);
                // Back follows the step the wizard went back to.
                btnBack->setEnabled(step_ > 1);
            }
            onTabPrefixChange();
            break;
        }
        case 4: connectionPage(); break;
        case 5: summaryPage(false); break;
        case 6: lastPage(); break;
        default: break;
        }
    }

    btnAbout->setVisible(!btnBack->isEnabled());
    btnBack->setVisible(btnBack->isEnabled());
}

void TfrmMain::loadPicture(QLabel *target, const std::string &fileName)
{
    const std::string path = platform::programDir() + fileName;
    QPixmap pix;
    if (!QFileInfo(q(path)).isFile() || !pix.load(q(path)))
        throw std::runtime_error("Cannot open file \"" + path + "\". No such file or directory");
    target->setPixmap(pix);
}

void TfrmMain::tabSaveStartShow()
{
    loadPicture(imgMainSave, "QuellonSplash.bmp");
    loadPicture(imgStamp, "ZipStamp.bmp");
    const std::string path = platform::programDir() + "tgtrls.txt";
    QFile f(q(path));
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("Cannot open file \"" + path + "\". No such file or directory");
    QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
    for (auto &l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    edtTgtRls->clear();
    edtTgtRls->addItems(lines);
    if (edtTgtRls->count() > 0)
        edtTgtRls->setCurrentIndex(0);
}

void TfrmMain::tabRestoreStartShow()
{
    loadPicture(imgMainRestore, "QuellonSplash.bmp");
    loadPicture(imgStamp, "UnZipStamp.bmp");
}

// ---------------------------------------------------------------- Next rules

int TfrmMain::grpSaveTypeIndex() const { return rbSingleObject->isChecked() ? 1 : 0; }

void TfrmMain::setGrpSaveTypeIndex(int index)
{
    (index == 1 ? rbSingleObject : rbEntireLibrary)->setChecked(true);
    grpSaveTypeClick();
}

void TfrmMain::onTabPrefixChange()
{
    bool ok;
    if (mode_ == msSave) {
        ok = !edtLibraryNameToSave->text().isEmpty() && !edtTgtRls->currentText().isEmpty();
        if (grpSaveTypeIndex() == 1)
            ok = ok && !edtObjToBeSaved->text().isEmpty() && !edtSaveObjType->currentText().isEmpty();
    } else {
        ok = fileExists(s(edtSavedZippedFile->text()));
    }
    btnNext->setEnabled(ok);
}

void TfrmMain::grpSaveTypeClick()
{
    const bool single = grpSaveTypeIndex() == 1;
    edtObjToBeSaved->setEnabled(single);
    edtSaveObjType->setEnabled(single);
    lblObjToBeSaved->setEnabled(edtObjToBeSaved->isEnabled());
    txtObjToBeSaved->setEnabled(edtObjToBeSaved->isEnabled());
    lblSaveObjType->setEnabled(edtSaveObjType->isEnabled());
    boxSaveLibrary->setVisible(edtSaveObjType->isEnabled());
    onTabPrefixChange();
}

void TfrmMain::edtSaveToZippedFileChange()
{
    // Encrypted: only with a password typed the same twice.
    const bool encrypt = boxEncryptArchive->isChecked();
    edtArchivePassword->setEnabled(encrypt);
    edtArchivePassword2->setEnabled(encrypt);
    const bool passwordReady = !encrypt || (!edtArchivePassword->text().isEmpty() &&
                                            edtArchivePassword->text() == edtArchivePassword2->text());
    btnNext->setEnabled(!edtSaveToZippedFile->text().isEmpty() && passwordReady);
    if (btnNext->isEnabled() && !encrypt)
        setNextFocus(btnNext);
}

void TfrmMain::edtUserProfileChange()
{
    // Over SSH the user's keys may be all the host needs.
    btnNext->setEnabled(!edtServerName->currentText().isEmpty() && !edtUserProfile->text().isEmpty() &&
                        (Transport.ssh || !edtPassword->text().isEmpty()));
}

void TfrmMain::onTabConnectInfoChange()
{
    edtUserProfileChange();
    lookupHostProfile();
    // The host's profile may have chosen SSH, or FTP again: it decides
    // whether the password is needed.
    edtUserProfileChange();
}

bool TfrmMain::eventFilter(QObject *watched, QEvent *e)
{
    if (e->type() == QEvent::FocusIn && qobject_cast<QPushButton *>(watched)) {
        // A dialog that closes or a menu gives the focus back as it was.
        const auto reason = static_cast<QFocusEvent *>(e)->reason();
        if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason)
            tabbedButton_ = static_cast<QPushButton *>(watched);
        else if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            tabbedButton_ = nullptr;
        return QWidget::eventFilter(watched, e);
    }
    if (e->type() == QEvent::FocusOut && (watched == edtServerName || watched == edtServerName->lineEdit())) {
        const auto reason = static_cast<QFocusEvent *>(e)->reason();
        // Opening the drop-down or switching applications does not leave the field.
        const bool left = reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason;
        QWidget *now = QApplication::focusWidget();
        const bool stillInside = now == edtServerName || now == edtServerName->lineEdit();
        if (left && !stillInside && Wizard->currentWidget() == tabConnectInfo)
            platform::guarded([this] { onTabConnectInfoChange(); });
    }
    return QWidget::eventFilter(watched, e);
}

bool TfrmMain::fileExists(const std::string &path) const
{
    return !path.empty() && QFileInfo(q(path)).isFile();
}

// ---------------------------------------------------------------- file dialogs

void TfrmMain::btnBrowseClick()
{
    platform::FileDialogOptions o;
    o.fileName = s(edtLibraryNameToSave->text());
    o.defaultExt = "4ql";
    o.filters = {"OS/400 Zipped Savefile (.4ql) (*.4ql)"};
    // A cancelled dialog leaves the archive name as the field shows it.
    if (auto chosen = platform::dialogs().saveFile(o)) {
        saveDialogFileName_ = *chosen;
        edtSaveToZippedFile->setText(q(*chosen));
    }
}

void TfrmMain::Button1Click()
{
    platform::FileDialogOptions o;
    o.defaultExt = "4ql";
    o.fileName = "*.4ql";
    o.filters = {"OS/400 Zipped Save file (.4ql) (*.4ql)", "OS/400 Save file (.savf) (*.savf)"};
    if (auto chosen = platform::dialogs().openFile(o)) {
        openDialogFileName_ = *chosen;
        edtSavedZippedFile->setText(q(*chosen));
    }
}

// ---------------------------------------------------------------- the job

void TfrmMain::btnFinishClick()
{
    disconnectIfConnected();

    if (mode_ == msSave) {
        const std::string archive = saveDialogFileName_;
        if (fileExists(archive)) {
            const int answer = platform::dialogs().messageBox(
                "File '" + archive + "' already exist - delete old file?", platform::messageIdCaption("Qln0003"),
                platform::Buttons::YesNo, platform::Icon::Warning, platform::DefaultButton::Second);
            if (answer != platform::mrYes)
                return;
            if (!QFile::remove(q(archive)))
                throw std::runtime_error("Cannot delete file \"" + archive + "\"");
        }
        setZipFileName(archive);
    } else {
        const std::string file = s(edtSavedZippedFile->text());
        if (!fileExists(file)) {
            platform::dialogs().messageBox("File '" + file + "' does not exist", platform::messageIdCaption("Qln0033"),
                                           platform::Buttons::Ok, platform::Icon::Error);
            return;
        }
        if (!RestoreFromSaveFile)
            setZipFileName(file);
    }

    storeHostProfile();

    ConnectParams p;
    p.userId = s(edtUserProfile->text());
    p.password = s(edtPassword->text());
    p.host = s(edtServerName->currentText());
    p.port = Port;
    p.proxy = Proxy;
    p.proxyPort = ProxyPort;
    p.transport = Transport;

    lblProcess->setText("Processing ...");
    lblFinish->hide();
    btnFinish->setEnabled(false);
    lockForJob();
    addLine("Connecting to " + p.host);
    shownStage_ = jobs::jsNone;
    laterStageSeen_ = false;
    showJobHeader("Connecting to " + p.host);

    jobRunning_ = true;
    struct Reset {
        TfrmMain &f;
        ~Reset()
        {
            f.jobRunning_ = false;
            f.zipBatchEnds();
            f.TimerBar->stop();
            // Ended on the summary page (sign-on refused, connection lost):
            // the window is free again and OK tries once more.
            if (f.Wizard->currentWidget() == f.tabProcess)
                f.summaryReady();
        }
    } reset{*this};
    connectToHost(p);
}

void TfrmMain::lockForJob()
{
    btnBack->setEnabled(false);
    btnCancel->setEnabled(false);
}

void TfrmMain::summaryReady()
{
    lblProcessTitle->setText("Ready to start");
    lblProcessText->setText("The Wizard is now ready to start the job on the iSeries");
    lblProcess->setText("Properties:");
    lblFinish->show();
    btnFinish->setEnabled(true);
    btnCancel->setEnabled(true);
    btnBack->setEnabled(step_ > 1);
    bar->setEnabled(false);
}

void TfrmMain::setJobOutcome(const JobOutcome &o)
{
    if (o.ok) {
        lblDoneTitle->setText("Thanks for using Quellon");
        lblDoneText->setText("The Wizard has now ended the zip operation successfully. Press Close to leave the "
                             "wizard");
        scrJobErrors->hide();
        lblJobErrors->hide();
        pnlPoster->show();
        return;
    }
    lblDoneTitle->setText("The job ended with errors");
    lblDoneText->setText("The Wizard has ended the job, but not every step succeeded. The job log tells what "
                         "the host said. Press Close to leave the wizard");
    QString text = "<p><b>" + q(o.result).toHtmlEscaped() + "</b></p><p>Failed:</p><ul>";
    for (const auto &step : o.failedSteps) {
        // Under each step what the host (or the client) said, as in the
        // job log viewer.
        text += "<li>" + q(step.what).toHtmlEscaped();
        for (const auto &why : step.reasons)
            text += "<br><span style='color:#404040'>" + q(why).toHtmlEscaped() + "</span>";
        text += "</li>";
    }
    text += "</ul>";
    lblJobErrors->setTextFormat(Qt::RichText);
    lblJobErrors->setText(text);
    lblJobErrors->show();
    scrJobErrors->show();
    scrJobErrors->verticalScrollBar()->setValue(0);
    pnlPoster->hide();
}

// ---------------------------------------------------------------- progress

void TfrmMain::addLine(const std::string &line)
{
    list->addItem(q(cutLine(line, kListLineMax)));
    list->item(list->count() - 1)->setSizeHint(QSize(0, 16));
    if (list->count() > 5) {
        ++listTopIndex_;
        list->scrollToItem(list->item(std::min(listTopIndex_, list->count() - 1)), QAbstractItemView::PositionAtTop);
    }
}

void TfrmMain::showJobHeader(const std::string &title)
{
    lblProcessTitle->setText(q(title));
    lblProcessText->setText("The Wizard is running the job; the list below shows each step as it happens.");
}

std::string TfrmMain::stageTitle(int stage) const
{
    const std::string host = s(edtServerName->currentText());
    const std::string library = jobs::hostUpper(s(mode_ == msSave ? edtLibraryNameToSave->text()
                                                                   : edtRestoreToLibrary->text()));
    switch (stage) {
    case jobs::jsPrepareJob: return "Preparing the job on " + host;
    case jobs::jsRestoreObjects: return "Restoring the objects into " + library + " on " + host;
    case jobs::jsClearSaveFile: return "Clearing the save file on " + host;
    case jobs::jsSave:
        return grpSaveTypeIndex() == 1
                   ? "Saving " + jobs::hostUpper(s(edtObjToBeSaved->text())) + " of " + library + " on " + host
                   : "Saving library " + library + " on " + host;
    case jobs::jsDownloadSaveFile: return "Downloading the save file from " + host;
    case jobs::jsDisconnect: return "Disconnecting from " + host;
    case jobs::jsUploadSaveFile: return "Uploading the save file to " + host;
    case jobs::jsRestoreLibrary: return "Restoring library " + library + " on " + host;
    case jobs::jsRunCommand: return "Running the archive's command on " + host;
    case jobs::jsZip: return "Zipping the save file";
    case jobs::jsUnzip: return "Unzipping the save file";
    case jobs::jsCreateLibrary: return "Creating library " + library + " on " + host;
    default: return {};
    }
}

void TfrmMain::followJobStage()
{
    if (!jobRunning_ || Wizard->currentWidget() != tabProcess)
        return;
    // The stage goes back to none after every answer and to "prepare" while
    // a failure is reported: the header keeps the step the job is in.
    const int stage = jobParts().jobs.JobStage;
    if (stage == jobs::jsNone || stage == shownStage_ || (stage == jobs::jsPrepareJob && laterStageSeen_))
        return;
    const std::string title = stageTitle(stage);
    if (title.empty())
        return;
    laterStageSeen_ = laterStageSeen_ || stage != jobs::jsPrepareJob;
    shownStage_ = stage;
    showJobHeader(title);
}

void TfrmMain::TimerBarTimer()
{
    followJobStage();
    const bool barWasEnabled = bar->isEnabled();
    // Inside a job the buttons stay locked even on the first tick; only a
    // reply awaited too long frees Cancel, to stop the job.
    const bool locked = buttonsLocked();
    btnCancel->setEnabled((!barWasEnabled && !locked) || replyOverdue_ || zipOverdue_);
    btnBack->setEnabled(!barWasEnabled && !locked);
    bar->setEnabled(TimerBar->isActive());
    // While a zip or unzip runs the bar shows its bytes, not activity.
    if (!zipping_)
        bar->setValue(bar->value() >= bar->maximum() ? 1 : bar->value() + 1);
}

void TfrmMain::zipProgress(int progressType, int64_t size, const std::string &)
{
    switch (progressType) {
    case ptTotalBytes:
        savedBarMax_ = bar->maximum();
        bar->setMaximum(10001);
        bar->setValue(1);
        totalSize_ = size;
        bytesDone_ = 0;
        if (JobStage == jsZip)
            addLine("Total size to be zipped: " + std::to_string(totalSize_ / 1024) + " kb");
        else if (JobStage == jsUnzip)
            addLine("Total size to be unzipped: " + std::to_string(totalSize_ / 1024) + " kb");
        if (JobStage == jsZip || JobStage == jsUnzip)
            zipBatchStarts();
        break;
    case ptBytesDone:
        bytesDone_ += size;
        if (totalSize_ != 0) {
            const int64_t pos = bytesDone_ * 10000 / totalSize_ + 1;
            // Out-of-range values would leave the bar where it was.
            bar->setValue(static_cast<int>(std::clamp<int64_t>(pos, bar->minimum(), bar->maximum())));
            const int percent = static_cast<int>(std::clamp<int64_t>(bytesDone_ * 100 / totalSize_, 0, 100));
            if (zipping_ && percent != zipPercent_) {
                zipPercent_ = percent;
                shownStage_ = JobStage;
                showJobHeader(stageTitle(JobStage) + ": " + std::to_string(percent) + " % of " +
                              std::to_string(totalSize_ / 1024) + " kb");
            }
        }
        break;
    case ptBatchEnd:
        bar->setMaximum(savedBarMax_);
        bar->setValue(1);
        zipBatchEnds();
        break;
    default: break;
    }
}

// ---------------------------------------------------------------- summaries

void TfrmMain::fillSaveSummary()
{
    list->clear();
    listTopIndex_ = 0;
    for (const auto &l : jobs::saveSummary(s(edtLibraryNameToSave->text()), s(edtTgtRls->currentText()),
                                           s(edtServerName->currentText()), s(edtUserProfile->text())))
        addLine(l);
}

void TfrmMain::fillRestoreSummary()
{
    list->clear();
    listTopIndex_ = 0;
    for (const auto &l :
         jobs::restoreSummary(ArchiveInfo, s(edtRestoreToLibrary->text()), s(edtServerName->currentText()),
                              s(edtUserProfile->text()), s(edtSavedZippedFile->text())))
        addLine(l);
    // The rule under "Saved by" is drawn closer where the font is wide, so it
    // ends inside the list as it does with the font it was made for.
    const int room = list->width() - 2 * list->frameWidth() - 8;
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem *item = list->item(i);
        const QString t = item->text();
        if (t.isEmpty() || t.count('=') != t.size())
            continue;
        QFont f = list->font();
        const int wide = QFontMetrics(f).horizontalAdvance(t);
        if (wide > room) {
            f.setLetterSpacing(QFont::PercentageSpacing, std::max(20.0, 100.0 * room / wide));
            item->setFont(f);
        }
    }
}

// ---------------------------------------------------------------- restore side

void TfrmMain::refuseArchive(const std::string &file, const std::string &why)
{
    platform::dialogs().messageBox("Error in file '" + file + "' or it is not a valid Quellon file." +
                                       (why.empty() ? "" : "\n\n" + why),
                                   platform::messageIdCaption("Qln0010"), platform::Buttons::Ok,
                                   platform::Icon::Error);
}

bool TfrmMain::readArchiveInfo()
{
    const std::string member = jobs::infoMemberPath(runFolder_);
    QFile::remove(q(member));
    if (!unlockArchive())
        return false;
    try {
        extractInfoMember();
    } catch (...) {
        platform::dialogs().messageBox("Error - Fatal DLL Exception", platform::messageIdCaption("Qln0011"),
                                       platform::Buttons::Ok, platform::Icon::None);
        return false;
    }
    // Checked before it is loaded: a damaged record must not replace the
    // one the wizard holds.
    if (const std::string why = jobs::archiveProblem(true, archiveMembers(), runFolder_); !why.empty()) {
        refuseArchive(ZipFileName, why);
        return false;
    }
    return jobs::readInfoMember(ArchiveInfo, runFolder_);
}

bool TfrmMain::openChosenFile()
{
    boxAutoCreateLibrary->hide();
    boxRestSavf->hide();
    boxRestSavf->setEnabled(false);

    const std::string file = s(edtSavedZippedFile->text());
    RestoreFromSaveFile = file.size() >= 5 && file.compare(file.size() - 5, 5, ".savf") == 0;

    if (RestoreFromSaveFile) {
        std::string library;
        bool tooShort = false;
        if (!saveFileLibrary(file, library, &tooShort))
            return false;
        // A file that ends before the header's name holds no save file.
        if (tooShort) {
            refuseArchive(file, "It is too short to be a save file.");
            return false;
        }
        edtSavedLibrary->setText(q(library));
        edtRestoreToLibrary->setText(q(library));
        setWindowTitle(q("Restore from save file " + file));
        edtServerName->setEditText(QString());
        edtUserProfile->clear();
        boxAutoCreateLibrary->show();
        boxRestSavf->show();
        boxRestSavf->setEnabled(true);
        return true;
    }

    if (!fileExists(file)) {
        platform::dialogs().messageBox("File '" + file + "' does not exists", platform::messageIdCaption("Qln0002"),
                                       platform::Buttons::Ok, platform::Icon::Error);
        return false;
    }
    setZipFileName(file);
    if (!fileExists(ZipFileName)) {
        refuseArchive(file, jobs::archiveProblem(false, {}, runFolder_));
        return false;
    }
    if (!readArchiveInfo())
        return false;

    setWindowTitle(q(jobs::displayUpper(ArchiveInfo.savedLibrary()) + " from: " + ArchiveInfo.ownerName()));
    edtServerName->setEditText(q(ArchiveInfo.defaultTargetHost()));
    edtUserProfile->setText(q(ArchiveInfo.defaultUserProfile()));
    if (ArchiveInfo.defaultRestoreLibrary() == jobs::kSavLib)
        edtRestoreToLibrary->setText(q(ArchiveInfo.savedLibrary()));
    else
        edtRestoreToLibrary->setText(q(ArchiveInfo.defaultRestoreLibrary()));
    if (ArchiveInfo.SaveType == 1)
        boxAutoCreateLibrary->show();
    return true;
}

// ---------------------------------------------------------------- host profiles

HostSettings TfrmMain::hostSettings() const
{
    HostSettings h;
    h.serverName = s(edtServerName->currentText());
    h.port = Port;
    h.proxy = Proxy;
    h.proxyPort = ProxyPort;
    h.transport = Transport;
    h.userProfile = s(edtUserProfile->text());
    return h;
}

void TfrmMain::applyHostSettings(const HostSettings &h)
{
    edtServerName->setEditText(q(h.serverName));
    Port = h.port;
    Proxy = h.proxy;
    ProxyPort = h.proxyPort;
    Transport = h.transport;
    edtUserProfile->setText(q(h.userProfile));
}

void TfrmMain::loadHostProfiles()
{
    HostSettings h = hostSettings();
    std::vector<std::string> names;
    // What was read before a bad value stays applied, as it did.
    struct Apply {
        TfrmMain *f;
        HostSettings &h;
        std::vector<std::string> &names;
        ~Apply()
        {
            for (const auto &n : names)
                f->edtServerName->addItem(q(n));
            f->applyHostSettings(h);
            f->appliedHost_ = h.serverName;
        }
    } apply{this, h, names};
    HostProfiles::load(h, names);
}

void TfrmMain::lookupHostProfile()
{
    const std::string host = s(edtServerName->currentText());
    HostSettings h = hostSettings();
    // Leaving the field again, or coming back to the page, keeps what the
    // operator set for this host since (a user profile, a port under
    // Advanced); only another host brings its stored profile.
    if (appliedHost_ && *appliedHost_ == host) {
        HostProfiles::lookup(h); // makes the profile if it has gone
        return;
    }
    struct Apply {
        TfrmMain *f;
        HostSettings &h;
        ~Apply()
        {
            f->applyHostSettings(h);
            f->appliedHost_ = h.serverName;
        }
    } apply{this, h};
    HostProfiles::lookup(h);
}

void TfrmMain::storeHostProfile() { HostProfiles::store(hostSettings()); }

} // namespace app
