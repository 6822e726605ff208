// The dialogs wired into the real main window, one line per handler as the
// wizard will carry them: the newer-format refusal on the file page and the
// poster on the last page.

#include "app/WizardFixture.h"
#include "dialogs/MainFormActions.h"
#include "dialogs/PosterPicture.h"
#include "dialogs/formNewVersion.h"

#include "DialogTestSupport.h"

#include <QLabel>
#include <QPixmap>

namespace {

class WiredForm : public TestForm {
public:
    std::string posterSource; // what the archive's poster member holds
    int extracts = 0;
    void runShowPoster() { showPoster(); }

protected:
    bool checkFormatVersion() override { return dialogs::checkFormatVersion(ArchiveInfo); }
    void showPoster() override
    {
        dialogs::displayPoster(ArchiveInfo, *pnlPoster, *imgPoster, runFolder(),
                               [this](const std::string &member, const std::string &folder) {
                                   ++extracts;
                                   testsupport::writeFile(folder + "/" + member, testsupport::readFile(posterSource));
                               });
    }
    void imgPosterClick() override { dialogs::imgPosterClick(*imgPoster); }
};

class WizardWiringTest : public WizardTest {
protected:
    WiredForm &startWired(std::vector<std::string> args)
    {
        auto f = std::make_unique<WiredForm>();
        WiredForm &ref = *f;
        form = std::move(f);
        form->formCreate(args);
        form->formActivate();
        return ref;
    }
};

jobs::TArchiveInfo record(int32_t version)
{
    jobs::TArchiveInfo r;
    r.reset();
    r.FormatVersion = version;
    r.setSavedLibrary("MYLIB");
    r.setDownloadAddress("https://www.quellon.com/download");
    r.setTempSaveFilePath("/tmp/_4QAbCdEf/4QL1234.tmp");
    return r;
}

} // namespace

TEST_F(WizardWiringTest, NewerFormatStaysOnTheFilePageWithEitherButton)
{
    const std::string archive = tmp.file("new.4ql");
    testsupport::writeFile(archive, "PK");
    WiredForm &f = startWired({archive});
    f.memberInArchive = record(102);
    next();
    ASSERT_EQ(page(), f.tabRestoreInfo);

    using dialogtest::press;
    using dialogtest::script;
    dialogs.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &d) { press(d.btnCancel); }));
    dialogs.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &d) { press(d.btnDownload); }));
    dialogs.modalScripts.push_back(script<TfrmNewVersion>([](TfrmNewVersion &d) { d.close(); }));
    for (int i = 0; i < 3; ++i) {
        next();
        EXPECT_EQ(page(), f.tabRestoreInfo) << "try " << i;
        EXPECT_EQ(f.step(), 2);
        EXPECT_TRUE(f.btnNext->isEnabled()) << "the file is still there";
    }
    EXPECT_EQ(dialogs.modalCount, 3);
    EXPECT_EQ(shell.opened, std::vector<std::string>{"https://www.quellon.com/download"});

    f.memberInArchive = record(101);
    next();
    EXPECT_EQ(page(), f.tabRestoreHostInfo);
    EXPECT_EQ(dialogs.modalCount, 3) << "no dialog for a known format";
}

TEST_F(WizardWiringTest, RecipientSeesTheSendersPosterOnTheLastPage)
{
    const std::string archive = tmp.file("poster.4ql");
    testsupport::writeFile(archive, "PK");
    WiredForm &f = startWired({archive});
    jobs::TArchiveInfo r = record(101);
    r.setPosterFile("C:\\Company\\logo.wmf");
    r.setPosterLink("https://sender.example/");
    f.memberInArchive = r;
    f.posterSource = dialogtest::poster("poster-400x150.wmf");
    f.job = [](TestForm &t) {
        static_cast<WiredForm &>(t).runShowPoster();
        t.btnNextClick();
    };
    next();
    next();
    next();
    f.edtServerName->setEditText("as2");
    f.edtUserProfile->setText("joe");
    f.edtPassword->setText("secret");
    next();
    f.btnFinishClick();
    ASSERT_EQ(page(), f.tabSaveDone);
    EXPECT_EQ(f.extracts, 1);
    EXPECT_EQ(f.ArchiveInfo.posterFile(), "logo.wmf");
    EXPECT_EQ(f.imgPoster->geometry(), QRect(88, 43, 400, 150));
    EXPECT_EQ(f.imgPoster->toolTip(), "https://sender.example/");
    EXPECT_TRUE(dialogs.boxes.empty());

    f.resize(f.sizeHint());
    f.show();
    QApplication::processEvents();
    const QPixmap shot = f.grab();
    if (const char *dir = std::getenv("QUELLON_SCREENSHOT_DIR"); dir && *dir) {
        shot.save(QString::fromUtf8(dir) + "/wizard-lastpage-wmf.png", "PNG");
    }
    f.hide();

    emit f.imgPoster->clicked();
    EXPECT_EQ(shell.opened, std::vector<std::string>{"https://sender.example/"});
}
