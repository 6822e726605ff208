// Main-form handlers that are not a form of their own: the format check, the
// about box and its links, the poster display of the last page.

#include "dialogs/MainFormActions.h"
#include "dialogs/PosterPanel.h"
#include "dialogs/ProductInfo.h"
#include "dialogs/formAbout.h"
#include "dialogs/formNewVersion.h"
#include "jobs/ArchiveInfo.h"
#include "platform/ProgramDir.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ScriptedShell.h"

#include "DialogTestSupport.h"
#include "support/TestFiles.h"

#include <QMouseEvent>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace dialogtest;

namespace {

class ActionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program folder holds the default poster only.
        testsupport::writeFile(program.file("QuellonPoster.bmp"),
                               testsupport::readFile(sourcePath("data/QuellonPoster.bmp")));
        platform::setProgramDir(program.path());
        info.reset();
    }
    void TearDown() override { platform::setProgramDir(""); }

    testsupport::TempDir program, run;
    platform::ScriptedDialogs ui;
    platform::ScriptedShell shell;
    jobs::TArchiveInfo info;
};

void click(QWidget *w)
{
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
}

} // namespace

TEST_F(ActionsTest, NewerFormatIsRefusedWithEitherButton)
{
    info.FormatVersion = 101;
    EXPECT_TRUE(dialogs::checkFormatVersion(info));
    info.FormatVersion = 7;
    EXPECT_TRUE(dialogs::checkFormatVersion(info));
    EXPECT_EQ(ui.modalCount, 0) << "no dialog for known formats";

    info.FormatVersion = 102;
    info.setDownloadAddress("https://example.org/quellon-new");
    ui.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &f) {
        EXPECT_EQ(f.windowTitle(), "New program version needed");
        press(f.btnCancel);
    }));
    ui.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &f) { f.close(); }));
    ui.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &f) { press(f.btnDownload); }));
    EXPECT_FALSE(dialogs::checkFormatVersion(info));
    EXPECT_FALSE(dialogs::checkFormatVersion(info));
    EXPECT_TRUE(shell.opened.empty()) << "Cancel and the close box open nothing";
    EXPECT_FALSE(dialogs::checkFormatVersion(info));
    EXPECT_EQ(shell.opened, std::vector<std::string>{"https://example.org/quellon-new"});
    EXPECT_EQ(frmNewVersion, nullptr);

    // An empty address still goes to the shell as it stands.
    info.setDownloadAddress("");
    ui.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &f) { press(f.btnDownload); }));
    EXPECT_FALSE(dialogs::checkFormatVersion(info));
    EXPECT_EQ(shell.opened.back(), "");
}

TEST_F(ActionsTest, AboutShowsVersionAndFollowsTheLinkRule)
{
    ui.modalScripts.push_back(script<TfrmAbout>([&](TfrmAbout &f) {
        EXPECT_EQ(f.pnlVersion->text(), "Version 1.3.1");
        click(f.Label8);
        click(f.lblCopyRights);
        f.pnlVersion->setText("x");
        f.hide();
        f.show(); // every activation rewrites it
        EXPECT_EQ(f.pnlVersion->text(), "Version 1.3.1");
        press(f.btnAcknowledgments); // not in the program folder here
        press(f.btnOk);
    }));
    shell.result = 2; // the shell fails for the missing document
    dialogs::showAbout();
    ASSERT_EQ(shell.opened.size(), 3u);
    EXPECT_EQ(shell.opened[0], dialogs::kProductWebPage) << "no hint: the caption";
    EXPECT_EQ(shell.opened[1], dialogs::kMakerWebPage) << "the hint, not the caption";
    EXPECT_EQ(shell.opened[2], program.path() + "/ACKNOWLE.HLP");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Error in file '" + program.path() + "/ACKNOWLE.HLP'");
    EXPECT_EQ(ui.boxes[0].caption, "") << "the system's default caption";
    EXPECT_EQ(ui.boxes[0].buttons, platform::Buttons::OkCancel);
}

TEST_F(ActionsTest, PosterFromTheArchiveIsShownWithItsLink)
{
    info.setPosterFile("C:\\Pictures\\Logo Files\\poster-300x100.jpg");
    info.setPosterLink("https://sender.example/");
    std::vector<std::pair<std::string, std::string>> asked;
    auto extract = [&](const std::string &member, const std::string &folder) {
        asked.emplace_back(member, folder);
        testsupport::writeFile(folder + "/" + member, testsupport::readFile(poster("poster-300x100.jpg")));
    };
    dialogs::PosterPanel panel(QSize(576, 236));
    dialogs::displayPoster(info, panel, run.path(), extract);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].first, "poster-300x100.jpg");
    EXPECT_EQ(asked[0].second, run.path());
    EXPECT_EQ(info.posterFile(), "poster-300x100.jpg") << "the record keeps only the file name";
    EXPECT_EQ(panel.imgPoster->geometry(), QRect(138, 68, 300, 100));
    EXPECT_EQ(panel.imgPoster->hint(), "https://sender.example/");
    EXPECT_TRUE(ui.boxes.empty());

    click(panel.imgPoster);
    EXPECT_EQ(shell.opened, std::vector<std::string>{"https://sender.example/"});
    panel.imgPoster->setHint("");
    click(panel.imgPoster);
    EXPECT_EQ(shell.opened.size(), 1u) << "an empty hint does nothing";
}

TEST_F(ActionsTest, NoPosterShowsTheDefaultWithTheProductPage)
{
    dialogs::PosterPanel panel(QSize(576, 236));
    bool extracted = false;
    dialogs::displayPoster(info, panel, run.path(), [&](auto &, auto &) { extracted = true; });
    EXPECT_FALSE(extracted);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_FALSE(panel.picture().isNull());
    EXPECT_EQ(panel.imgPoster->hint(), dialogs::kProductWebPage);
}

TEST_F(ActionsTest, PosterThatCannotBeShownFallsBackAndSaysWhy)
{
    // Extraction fails and leaves no file: the DLL error, then the picture message.
    info.setPosterFile("logo.bmp");
    info.setPosterLink("https://sender.example/");
    dialogs::PosterPanel panel(QSize(576, 236));
    dialogs::displayPoster(info, panel, run.path(),
                           [](auto &, auto &) { throw std::runtime_error("unzip failed"); });
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].caption, "MessageId: 'Qln0011'");
    EXPECT_EQ(ui.boxes[0].text, "Error - Fatal DLL Exception");
    EXPECT_EQ(ui.boxes[1].caption, "MessageId: 'Qln0079'");
    EXPECT_NE(ui.boxes[1].text.find("file not found"), std::string::npos) << ui.boxes[1].text;
    EXPECT_NE(ui.boxes[1].text.find("default poster is shown"), std::string::npos);
    EXPECT_FALSE(panel.picture().isNull()) << "the default poster";
    EXPECT_EQ(panel.imgPoster->hint(), dialogs::kProductWebPage);

    // A damaged member; and with the default poster gone too, the panel stays empty.
    ui.boxes.clear();
    std::remove((program.path() + "/QuellonPoster.bmp").c_str());
    info.setPosterFile("broken.wmf");
    dialogs::displayPoster(info, panel, run.path(), [](const std::string &m, const std::string &folder) {
        testsupport::writeFile(folder + "/" + m, "not a metafile at all");
    });
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("cannot be shown either"), std::string::npos) << ui.boxes[0].text;
    EXPECT_TRUE(panel.picture().isNull());
}

TEST_F(ActionsTest, LargePosterStretchesOrClipsOnTheLastPage)
{
    QImage(800, 600, QImage::Format_RGB32).save(QString::fromStdString(run.file("big.bmp")), "BMP");
    info.setPosterFile("big.bmp");
    dialogs::PosterPanel panel(QSize(576, 236));
    info.PosterStretch = 1;
    dialogs::displayPoster(info, panel, run.path(), nullptr);
    EXPECT_EQ(panel.imgPoster->geometry(), QRect(0, 0, 576, 236));
    EXPECT_TRUE(panel.imgPoster->hasScaledContents());
    info.PosterStretch = 0;
    dialogs::displayPoster(info, panel, run.path(), nullptr);
    EXPECT_EQ(panel.imgPoster->geometry(), QRect(0, 0, 800, 600));
    EXPECT_FALSE(panel.imgPoster->hasScaledContents());
}
