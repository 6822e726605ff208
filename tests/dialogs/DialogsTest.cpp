// The dialogs driven as a user would: fill fields, press buttons, close the
// window; the record / settings seen by the main form afterwards.

#include "dialogs/FormPreviewPoster.h"
#include "dialogs/MainFormActions.h"
#include "dialogs/formAdvanced.h"
#include "dialogs/formPoster.h"
#include "dialogs/formSaveAdvanced.h"
#include "dialogs/formTargetDefaults.h"
#include "jobs/ArchiveInfo.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"

#include "DialogTestSupport.h"
#include "support/TestFiles.h"

#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace dialogtest;
using platform::mrCancel;
using platform::mrNo;
using platform::mrOk;
using platform::mrYes;

namespace {

jobs::TArchiveInfo freshRecord()
{
    jobs::TArchiveInfo info;
    info.reset();
    return info;
}

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override { platform::Registry::useFile(home.file("registry.ini")); }
    void TearDown() override { platform::Registry::useFile(""); }
    testsupport::TempDir home;
    platform::ScriptedDialogs ui;
};

} // namespace

// ---- connection settings ---------------------------------------------------

TEST_F(DialogsTest, AdvancedCancelAndCloseBoxKeepTheSettings)
{
    int port = 21, proxyPort = 0;
    std::string proxy;
    FtpTransport transport;
    auto edit = [](TfrmAdvanced &f) {
        f.edtPort->setText("2121");
        type(f.edtProxy, "proxy.local");
        f.edtProxyPort->setText("8080");
    };
    ui.modalScripts.push_back(script<TfrmAdvanced>([&](TfrmAdvanced &f) { edit(f); press(f.btnCancel); }));
    ui.modalScripts.push_back(script<TfrmAdvanced>([&](TfrmAdvanced &f) { edit(f); f.close(); }));
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    EXPECT_EQ(port, 21);
    EXPECT_EQ(proxy, "");
    EXPECT_EQ(proxyPort, 0);
    EXPECT_EQ(ui.modalCount, 2);
    EXPECT_EQ(frmAdvanced, nullptr) << "the form is freed after each use";
}

TEST_F(DialogsTest, AdvancedOkTakesTheCorrectedValues)
{
    int port = 21, proxyPort = 3128;
    std::string proxy = "old";
    FtpTransport transport;
    std::string shownAfterLeaving;
    ui.modalScripts.push_back(script<TfrmAdvanced>([&](TfrmAdvanced &f) {
        EXPECT_EQ(f.windowTitle(), "Advanced server configuration");
        EXPECT_EQ(f.edtPort->text(), "21");
        EXPECT_EQ(f.edtProxy->text(), "old");
        EXPECT_EQ(f.edtProxyPort->text(), "3128");
        f.edtPort->setText("70000");
        emit f.edtPort->editingFinished(); // focus moves to the next control
        shownAfterLeaving = f.edtPort->text().toStdString();
        type(f.edtProxy, "  Proxy.Example ");
        f.edtProxyPort->setText(""); // emptied and never left: still 0 on OK
        press(f.btnOk);
    }));
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    EXPECT_EQ(shownAfterLeaving, "65535");
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(proxy, "  Proxy.Example ") << "taken exactly as typed";
    EXPECT_EQ(proxyPort, 0);

    // OK without edits gives the same values back.
    ui.modalScripts.push_back(script<TfrmAdvanced>([](TfrmAdvanced &f) { press(f.btnOk); }));
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(proxy, "  Proxy.Example ");
    EXPECT_EQ(proxyPort, 0);
}

TEST_F(DialogsTest, AdvancedShowsEveryLabelAndPlaceholderWhole)
{
    TfrmAdvanced f(21, "", 0, FtpTransport{});
    f.show();
    for (QLabel *l : f.findChildren<QLabel *>())
        EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->contentsRect().width())
            << l->text().toStdString();
    QLineEdit *e = f.edtFingerprint;
    EXPECT_LE(e->fontMetrics().horizontalAdvance(e->placeholderText()), e->contentsRect().width() - 8);
    EXPECT_FALSE(f.btnForget->geometry().intersects(e->geometry()));
}

TEST_F(DialogsTest, AdvancedTransferSettings)
{
    int port = 21, proxyPort = 0;
    std::string proxy;
    const std::string fp = "3A:F1:07:9C:55:20:8B:E4:1D:6F:C2:90:AA:13:5E:77:08:B9:4C:D2:E6:31:7F:A0:52:9D:C8:16:EB:44:0F:63";
    FtpTransport transport{false, TFtpSecurity::Explicit, fp};
    std::vector<std::string> ports;
    ui.modalScripts.push_back(script<TfrmAdvanced>([&](TfrmAdvanced &f) {
        EXPECT_FALSE(f.chkPassive->isChecked());
        EXPECT_EQ(f.cmbSecurity->currentText(), "Explicit TLS");
        EXPECT_EQ(f.edtFingerprint->text().toStdString(), fp);
        EXPECT_TRUE(f.edtFingerprint->isReadOnly());
        EXPECT_TRUE(f.btnForget->isEnabled());
        // Implicit TLS takes the standard ports along, in both directions.
        f.cmbSecurity->setCurrentIndex(2);
        ports.push_back(f.edtPort->text().toStdString());
        f.cmbSecurity->setCurrentIndex(0);
        ports.push_back(f.edtPort->text().toStdString());
        // A port the user chose stays whatever the choice.
        f.edtPort->setText("2121");
        f.cmbSecurity->setCurrentIndex(2);
        ports.push_back(f.edtPort->text().toStdString());
        f.chkPassive->setChecked(true);
        press(f.btnForget);
        EXPECT_FALSE(f.btnForget->isEnabled());
        EXPECT_EQ(f.edtReplyTimeOut->text(), "60"); // the default, in seconds
        f.edtReplyTimeOut->setText("0");
        press(f.btnOk);
    }));
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    EXPECT_EQ(transport.replyTimeOut, 0) << "0: no limit";
    EXPECT_EQ(ports, (std::vector<std::string>{"990", "21", "2121"}));
    EXPECT_EQ(port, 2121);
    EXPECT_TRUE(transport.passive);
    EXPECT_EQ(transport.security, TFtpSecurity::Implicit);
    EXPECT_EQ(transport.tlsFingerprint, "") << "Forget drops the accepted certificate";

    // Cancel keeps all of it, the forgotten certificate included.
    transport.tlsFingerprint = fp;
    ui.modalScripts.push_back(script<TfrmAdvanced>([&](TfrmAdvanced &f) {
        f.chkPassive->setChecked(false);
        f.cmbSecurity->setCurrentIndex(0);
        press(f.btnForget);
        press(f.btnCancel);
    }));
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    EXPECT_TRUE(transport.passive);
    EXPECT_EQ(transport.security, TFtpSecurity::Implicit);
    EXPECT_EQ(transport.tlsFingerprint, fp);
    EXPECT_EQ(port, 2121);
}

TEST_F(DialogsTest, AdvancedSshChoiceTakesItsPortAndLibraryAndSetsTheFtpFieldsAside)
{
    int port = 21, proxyPort = 0;
    std::string proxy;
    FtpTransport transport;
    std::vector<std::string> ports;
    ui.modalScripts.push_back(script<TfrmAdvanced>([&](TfrmAdvanced &f) {
        EXPECT_EQ(f.cmbProtocol->currentText(), "FTP");
        EXPECT_FALSE(f.edtSshLibrary->isEnabled());
        f.cmbProtocol->setCurrentIndex(1);
        ports.push_back(f.edtPort->text().toStdString());
        EXPECT_FALSE(f.chkPassive->isEnabled());
        EXPECT_FALSE(f.cmbSecurity->isEnabled());
        EXPECT_FALSE(f.edtProxy->isEnabled());
        EXPECT_TRUE(f.edtSshLibrary->isEnabled());
        EXPECT_EQ(f.edtSshLibrary->text(), "QGPL");
        f.cmbProtocol->setCurrentIndex(0);
        ports.push_back(f.edtPort->text().toStdString());
        f.cmbProtocol->setCurrentIndex(1);
        type(f.edtSshLibrary, " qtmp ");
        press(f.btnOk);
    }));
    dialogs::editConnectionSettings(port, proxy, proxyPort, transport);
    EXPECT_EQ(ports, (std::vector<std::string>{"22", "21"}));
    EXPECT_EQ(port, 22);
    EXPECT_TRUE(transport.ssh);
    EXPECT_EQ(transport.sshLibrary, "QTMP");
}

// ---- post-restore command --------------------------------------------------

TEST_F(DialogsTest, CommandOkNeedsTextAndStoresItAsTyped)
{
    auto info = freshRecord();
    bool okEnabledWhenEmpty = true;
    ui.modalScripts.push_back(script<TfrmSaveAdvanced>([&](TfrmSaveAdvanced &f) {
        okEnabledWhenEmpty = f.btnOk->isEnabled();
        type(f.edtTgtCmd, " call mylib/myprog ");
        EXPECT_TRUE(f.btnOk->isEnabled());
        press(f.btnOk);
    }));
    dialogs::btnSaveAdvancedClick(info);
    EXPECT_FALSE(okEnabledWhenEmpty);
    EXPECT_EQ(info.targetCommand(), " call mylib/myprog ") << "no trimming, no case change";

    // Reopened: shows the stored command; emptying it disables OK, Cancel keeps it.
    ui.modalScripts.push_back(script<TfrmSaveAdvanced>([&](TfrmSaveAdvanced &f) {
        EXPECT_EQ(f.edtTgtCmd->text(), " call mylib/myprog ");
        type(f.edtTgtCmd, "");
        EXPECT_FALSE(press(f.btnOk));
        press(f.btnCancel);
    }));
    dialogs::btnSaveAdvancedClick(info);
    EXPECT_EQ(info.targetCommand(), " call mylib/myprog ");
}

TEST_F(DialogsTest, CommandTooLongForTheRecordIsRefused)
{
    auto info = freshRecord();
    info.setTargetCommand("CALL A");
    int resultAfterOk = -1;
    ui.modalScripts.push_back(script<TfrmSaveAdvanced>([&](TfrmSaveAdvanced &f) {
        type(f.edtTgtCmd, QString(256, 'X'));
        press(f.btnOk);
        resultAfterOk = f.result();
        EXPECT_TRUE(f.isVisible()) << "the dialog stays open";
        type(f.edtTgtCmd, QString(255, 'Y'));
        press(f.btnOk);
    }));
    dialogs::btnSaveAdvancedClick(info);
    EXPECT_EQ(resultAfterOk, 0);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "MessageId: 'Qln0078'");
    EXPECT_NE(ui.boxes[0].text.find("OS/400 command is too long"), std::string::npos) << ui.boxes[0].text;
    EXPECT_EQ(info.targetCommand(), std::string(255, 'Y')) << "255 characters fit exactly";
}

// ---- target defaults -------------------------------------------------------

TEST_F(DialogsTest, TargetDefaultsOkOnlyWhenSomethingDiffers)
{
    auto info = freshRecord();
    ui.modalScripts.push_back(script<TfrmTargetDefaults>([](TfrmTargetDefaults &f) {
        EXPECT_EQ(f.dftRestoreToLibrary->text(), "*SAVLIB");
        EXPECT_FALSE(f.btnOk->isEnabled()) << "all start-up values";
        type(f.dftRestoreToLibrary, "*savlib");
        EXPECT_FALSE(f.btnOk->isEnabled()) << "*savlib counts as the start-up value";
        type(f.dftUserProfile, "qsecofr");
        EXPECT_TRUE(f.btnOk->isEnabled());
        type(f.dftUserProfile, "");
        type(f.dftServerName, "my400");
        EXPECT_TRUE(f.btnOk->isEnabled());
        press(f.btnOk);
    }));
    dialogs::btnRestoreDefaultsClick(info);
    EXPECT_EQ(info.defaultTargetHost(), "my400");
    EXPECT_EQ(info.defaultUserProfile(), "");
    EXPECT_EQ(info.defaultRestoreLibrary(), "*savlib") << "stored as typed";

    // An empty library enables OK and is stored empty.
    ui.modalScripts.push_back(script<TfrmTargetDefaults>([](TfrmTargetDefaults &f) {
        type(f.dftServerName, "");
        type(f.dftRestoreToLibrary, "");
        EXPECT_TRUE(f.btnOk->isEnabled());
        press(f.btnOk);
    }));
    dialogs::btnRestoreDefaultsClick(info);
    EXPECT_EQ(info.defaultTargetHost(), "");
    EXPECT_EQ(info.defaultRestoreLibrary(), "");
}

TEST_F(DialogsTest, TargetDefaultsCancelCloseAndLongTextKeepTheRecord)
{
    auto info = freshRecord();
    info.setDefaultTargetHost("AS400A");
    info.setDefaultUserProfile("OPER");
    auto edit = [](TfrmTargetDefaults &f) {
        type(f.dftServerName, "other");
        type(f.dftUserProfile, "someone");
        type(f.dftRestoreToLibrary, "LIB2");
    };
    ui.modalScripts.push_back(script<TfrmTargetDefaults>([&](TfrmTargetDefaults &f) { edit(f); press(f.btnCancel); }));
    ui.modalScripts.push_back(script<TfrmTargetDefaults>([&](TfrmTargetDefaults &f) { edit(f); f.close(); }));
    ui.modalScripts.push_back(script<TfrmTargetDefaults>([&](TfrmTargetDefaults &f) {
        edit(f);
        type(f.dftUserProfile, "ELEVENCHARS");
        press(f.btnOk); // refused: stays open
        f.close();
    }));
    for (int i = 0; i < 3; ++i)
        dialogs::btnRestoreDefaultsClick(info);
    EXPECT_EQ(info.defaultTargetHost(), "AS400A");
    EXPECT_EQ(info.defaultUserProfile(), "OPER");
    EXPECT_EQ(info.defaultRestoreLibrary(), "*SAVLIB");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "MessageId: 'Qln0078'");
    EXPECT_NE(ui.boxes[0].text.find("user profile"), std::string::npos);

    // Ten letters that take twelve bytes: the message counts both, truly.
    ui.boxes.clear();
    ui.modalScripts.push_back(script<TfrmTargetDefaults>([&](TfrmTargetDefaults &f) {
        type(f.dftRestoreToLibrary, QString::fromUtf8("BIBLIOT\xc3\x89K\xc3\x85"));
        press(f.btnOk);
        f.close();
    }));
    dialogs::btnRestoreDefaultsClick(info);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("its 10 characters take 12 bytes, at most 10 bytes fit"), std::string::npos)
        << ui.boxes[0].text;
    EXPECT_EQ(info.defaultRestoreLibrary(), "*SAVLIB");
}

// ---- poster set-up ---------------------------------------------------------

TEST_F(DialogsTest, PosterButtonsFollowTheFileField)
{
    auto info = freshRecord();
    ui.modalScripts.push_back(script<TfrmAddPoster>([&](TfrmAddPoster &f) {
        EXPECT_FALSE(f.btnOk->isEnabled());
        EXPECT_FALSE(f.btnPreview->isEnabled());
        type(f.edtPoster, home.file("nothing-here.bmp"));
        EXPECT_TRUE(f.btnOk->isEnabled()) << "typing anything enables OK";
        EXPECT_FALSE(f.btnPreview->isEnabled());
        press(f.btnOk);
        EXPECT_TRUE(f.isVisible()) << "a missing file keeps the dialog open";
        type(f.edtPoster, QString::fromStdString(poster("poster-300x100.jpg")));
        EXPECT_TRUE(f.btnPreview->isEnabled());
        type(f.edtPoster, "");
        EXPECT_TRUE(f.btnOk->isEnabled());
        press(f.btnCancel);
    }));
    dialogs::btnAddPosterClick(info);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "MessageId: 'Qln0077'");
    EXPECT_EQ(ui.boxes[0].text, "File '" + home.file("nothing-here.bmp") + "' not found");
    EXPECT_EQ(ui.boxes[0].icon, platform::Icon::Error);
    EXPECT_EQ(info.posterFile(), "");
}

TEST_F(DialogsTest, PosterNoToDefaultStillChangesTheArchive)
{
    auto info = freshRecord();
    const std::string file = poster("poster-300x100.bmp");
    ui.modalScripts.push_back(script<TfrmAddPoster>([&](TfrmAddPoster &f) {
        type(f.edtPoster, QString::fromStdString(file));
        type(f.edtPosterLink, "www.example.com/100%");
        f.edtPosterStretch->setChecked(true);
        press(f.btnOk);
    }));
    ui.boxAnswers.push_back(mrNo);
    dialogs::btnAddPosterClick(info);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "MessageId: 'Qln1048'");
    EXPECT_EQ(ui.boxes[0].text, "Save poster information as default?");
    EXPECT_EQ(ui.boxes[0].buttons, platform::Buttons::YesNo);
    EXPECT_EQ(info.posterFile(), file);
    EXPECT_EQ(info.posterLink(), "www.example.com/100%") << "stored as typed, percent sign and all";
    EXPECT_EQ(info.PosterStretch, 1);
    EXPECT_FALSE(platform::Registry().keyExists("Poster")) << "No writes no defaults";

    // Yes also writes the defaults, which a fresh save run then reads.
    ui.modalScripts.push_back(script<TfrmAddPoster>([&](TfrmAddPoster &f) {
        EXPECT_EQ(f.edtPoster->text().toStdString(), file);
        EXPECT_TRUE(f.btnOk->isEnabled());
        f.edtPosterStretch->setChecked(false);
        press(f.btnOk);
    }));
    ui.boxAnswers.push_back(mrYes);
    dialogs::btnAddPosterClick(info);
    auto next = freshRecord();
    dialogs::readPosterDefaults(next);
    EXPECT_EQ(next.posterFile(), file);
    EXPECT_EQ(next.posterLink(), "www.example.com/100%");
    EXPECT_EQ(next.PosterStretch, 0);

    // Cleared field and OK removes the poster.
    ui.modalScripts.push_back(script<TfrmAddPoster>([&](TfrmAddPoster &f) {
        type(f.edtPoster, "");
        press(f.btnOk);
    }));
    dialogs::btnAddPosterClick(info);
    EXPECT_EQ(info.posterFile(), "");
}

TEST_F(DialogsTest, PosterDefaultsWithoutStretchValueKeepTheFlagOff)
{
    {
        platform::Registry reg;
        reg.writeString("Poster", "Poster", "/srv/logo.bmp");
        reg.writeString("Poster", "PosterWWW", "https://example.com/");
        reg.writeString("Poster", "Unused", "x");
        reg.sync();
    }
    auto info = freshRecord();
    dialogs::readPosterDefaults(info);
    EXPECT_EQ(info.posterFile(), "/srv/logo.bmp");
    EXPECT_EQ(info.posterLink(), "https://example.com/");
    EXPECT_EQ(info.PosterStretch, 0);

    // A value too long for the record is not taken (a cut path names another file).
    {
        platform::Registry reg;
        reg.writeString("Poster", "Poster", "/" + std::string(300, 'p') + ".bmp");
        reg.sync();
    }
    auto other = freshRecord();
    dialogs::readPosterDefaults(other);
    EXPECT_EQ(other.posterFile(), "");
    EXPECT_EQ(other.posterLink(), "https://example.com/");
}

TEST_F(DialogsTest, PosterBrowseAndPreviewUseTheFieldsAndCheckBox)
{
    auto info = freshRecord();
    const std::string big = home.file("big.bmp");
    QImage(800, 600, QImage::Format_RGB32).save(QString::fromStdString(big), "BMP");
    ui.fileAnswers.push_back(big);
    QRect previewRect;
    bool previewScaled = false;
    QString previewHint;
    ui.modalScripts.push_back(script<TfrmAddPoster>([&](TfrmAddPoster &f) {
        type(f.edtPoster, "start.bmp");
        press(f.btnBrowse);
        EXPECT_EQ(f.edtPoster->text().toStdString(), big);
        type(f.edtPosterLink, "https://example.com/");
        f.edtPosterStretch->setChecked(true);
        ui.modalScripts.push_back(script<TfrmPreviewPoster>([&](TfrmPreviewPoster &p) {
            EXPECT_EQ(frmPreviewPoster, &p);
            previewRect = p.imgPoster->geometry();
            previewScaled = p.imgPoster->hasScaledContents();
            previewHint = p.imgPoster->hint();
            press(p.btnClose);
        }));
        press(f.btnPreview);
        press(f.btnCancel);
    }));
    dialogs::btnAddPosterClick(info);
    ASSERT_EQ(ui.fileDialogs.size(), 1u);
    EXPECT_EQ(ui.fileDialogs[0].fileName, "start.bmp") << "browsing starts at the typed file";
    EXPECT_EQ(ui.fileDialogs[0].filters.front(), "All (*.bmp *.ico *.emf *.wmf)");
    EXPECT_EQ(previewRect, QRect(0, 0, 575, 257)) << "stretched over the preview's poster area";
    EXPECT_TRUE(previewScaled);
    EXPECT_EQ(previewHint, "https://example.com/");
    EXPECT_EQ(info.posterFile(), "") << "Cancel stores nothing";
    EXPECT_EQ(ui.modalCount, 2);
}
