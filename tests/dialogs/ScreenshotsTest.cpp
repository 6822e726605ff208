// Renders every dialog and the last page's poster area with a poster of each
// picture type. The rendered pixels are checked; with QUELLON_SCREENSHOT_DIR
// set, the pictures are also saved there as PNG (docs/screenshots/dialogs).

#include "dialogs/DialogCommon.h"
#include "dialogs/FormPreviewPoster.h"
#include "dialogs/MainFormActions.h"
#include "dialogs/PosterPanel.h"
#include "dialogs/PosterPicture.h"
#include "dialogs/formAbout.h"
#include "dialogs/formAdvanced.h"
#include "dialogs/formNewVersion.h"
#include "dialogs/formPoster.h"
#include "dialogs/formSaveAdvanced.h"
#include "dialogs/formTargetDefaults.h"
#include "jobs/ArchiveInfo.h"
#include "platform/ProgramDir.h"
#include "platform/ScriptedDialogs.h"

#include "DialogTestSupport.h"
#include "support/TestFiles.h"

#include <QApplication>
#include <QPixmap>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace dialogtest;

namespace {

void save(const QPixmap &pm, const char *name)
{
    const char *dir = std::getenv("QUELLON_SCREENSHOT_DIR");
    if (dir && *dir) {
        ASSERT_TRUE(pm.save(QString::fromUtf8(dir) + "/" + name + ".png", "PNG")) << name;
    }
}

QPixmap shoot(QWidget &w)
{
    w.show();
    QApplication::processEvents();
    QPixmap pm = w.grab();
    w.hide();
    return pm;
}

// The wizard's last page as the recipient sees it: the white header of 73
// pixels and the 576 x 236 poster area below.
class LastPage : public QWidget {
public:
    LastPage()
    {
        setFixedSize(576, 73 + 2 + 236);
        dialogs::makeHeaderPanel(this, 576, 73, QStringLiteral("Thanks for using Quellon"),
                                 {QStringLiteral("The Wizard has now ended the zip operation successfully. Press "
                                                 "Close to leave the wizard")});
        panel = new dialogs::PosterPanel(QSize(576, 236), this);
        panel->move(0, 75);
    }
    dialogs::PosterPanel *panel;
};

} // namespace

TEST(Screenshots, Dialogs)
{
    platform::setProgramDir(sourcePath("data"));
    const FtpTransport secure{true, TFtpSecurity::Implicit,
                              "3A:F1:07:9C:55:20:8B:E4:1D:6F:C2:90:AA:13:5E:77:08:B9:4C:D2:E6:31:7F:A0:52:9D:C8:16:EB:44:0F:63"};
    TfrmAdvanced advanced(990, "proxy.example.com", 8080, secure);
    TfrmSaveAdvanced command("CALL MYLIB/INSTALL");
    TfrmTargetDefaults defaults({"MY400", "QSECOFR", "*SAVLIB"});
    TfrmAddPoster addPoster({poster("poster-300x100.jpg"), "https://www.example.com/", true});
    TfrmNewVersion newVersion;
    TfrmAbout about;
    QImage jpeg;
    std::string error;
    ASSERT_TRUE(dialogs::loadPosterPicture(poster("poster-300x100.jpg"), jpeg, error));
    TfrmPreviewPoster preview(jpeg, "https://www.example.com/", true);

    struct Shot {
        QWidget *form;
        const char *name;
        QSize size;
    } shots[] = {
        {&advanced, "frmAdvanced", {326, 477}},       {&command, "frmSaveAdvanced", {575, 262}},
        {&defaults, "frmTargetDefaults", {573, 261}}, {&addPoster, "frmAddPoster", {575, 293}},
        {&preview, "frmPreviewPoster", {575, 365}},   {&newVersion, "frmNewVersion", {552, 134}},
        {&about, "frmAbout", {425, 308}},
    };
    for (const auto &s : shots) {
        const QPixmap pm = shoot(*s.form);
        EXPECT_EQ(pm.size(), s.size) << s.name;
        save(pm, s.name);
    }
    // The preview shows the poster centred in its 575 x 257 area below the header.
    const QImage shown = shoot(preview).toImage();
    EXPECT_EQ(shown.pixel(75 + 137 + 5, 78 + 5 + 75) & 0xFFFFFF, jpeg.pixel(5, 5) & 0xFFFFFF);
    platform::setProgramDir("");
}

TEST(Screenshots, PosterOfEachTypeOnTheLastPage)
{
    platform::ScriptedDialogs ui;
    testsupport::TempDir run;
    QImage big(800, 600, QImage::Format_RGB32);
    big.fill(QColor(40, 120, 200));
    for (int y = 0; y < 600; y += 50)
        for (int x = 0; x < 800; ++x)
            big.setPixel(x, y, qRgb(255, 255, 255));
    big.save(QString::fromStdString(run.file("poster-800x600.bmp")), "BMP");

    struct Case {
        const char *file;
        bool stretch;
        const char *name;
    } cases[] = {
        {"poster-300x100.jpg", false, "lastpage-jpeg"},     {"poster-300x100.bmp", false, "lastpage-bmp"},
        {"poster-64x64.ico", false, "lastpage-ico"},        {"poster-400x150.wmf", false, "lastpage-wmf"},
        {"poster-400x150.emf", false, "lastpage-emf"},      {"poster-800x600.bmp", true, "lastpage-800x600-stretched"},
        {"poster-800x600.bmp", false, "lastpage-800x600-clipped"},
    };
    for (const auto &c : cases) {
        if (!testsupport::fileExists(run.file(c.file)))
            testsupport::writeFile(run.file(c.file), testsupport::readFile(poster(c.file)));
        jobs::TArchiveInfo info;
        info.reset();
        info.setPosterFile(std::string("C:\\Logos\\") + c.file);
        info.setPosterLink("https://www.example.com/");
        info.PosterStretch = c.stretch;
        LastPage page;
        dialogs::displayPoster(info, *page.panel, run.path(), nullptr);
        EXPECT_TRUE(ui.boxes.empty()) << c.file << ": " << (ui.boxes.empty() ? "" : ui.boxes[0].text);
        const QPixmap pm = shoot(page);
        save(pm, c.name);

        // The picture's own top-left pixel sits where the layout rule put it.
        const QImage shot = pm.toImage();
        const QRect r = page.panel->imgPoster->geometry();
        const QImage &pic = page.panel->picture();
        if (qAlpha(pic.pixel(1, 1)) == 255) {
            EXPECT_EQ(shot.pixel(r.x() + 1, 75 + r.y() + 1) & 0xFFFFFF, pic.pixel(1, 1) & 0xFFFFFF) << c.file;
        }
    }
}
