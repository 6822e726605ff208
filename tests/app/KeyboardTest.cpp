// The wizard from the keyboard: real key presses on the shown, active
// window, so Tab, Shift+Tab, Alt+A and Enter reach the widgets as they do
// for the operator.

#include "WizardFixture.h"

#include "dialogs/formAdvanced.h"
#include "widgets/TCSpinEdit.h"

#include <QApplication>
#include <QTest>

namespace {

class KeyboardTest : public WizardTest {
protected:
    // Save mode, shown and active, at step `steps + 1`.
    TestForm &shownAt(int steps)
    {
        TestForm &f = start({"/zip"});
        f.show();
        f.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        f.edtLibraryNameToSave->setText("MYLIB");
        dialogs.fileAnswers.push_back(tmp.file("mylib.4ql"));
        for (int i = 0; i < steps; ++i)
            next();
        return f;
    }
    static QWidget *focus() { return QApplication::focusWidget(); }
    static void press(Qt::Key key, Qt::KeyboardModifiers m = Qt::NoModifier) { QTest::keyClick(focus(), key, m); }
    static void type(const char *text) { QTest::keyClicks(focus(), QString::fromLatin1(text)); }
    // Alt+A: a mnemonic clicks its button a moment later.
    void altA(int modalsAfter)
    {
        press(Qt::Key_A, Qt::AltModifier);
        for (int i = 0; i < 200 && dialogs.modalCount < modalsAfter; ++i)
            QTest::qWait(10);
        EXPECT_EQ(dialogs.modalCount, modalsAfter);
    }
};

} // namespace

// Alt+A opens Advanced from the host name field; Tab never stops on it.
TEST_F(KeyboardTest, LeavingTheHostFieldAgainKeepsWhatWasTypedAndSet)
{
    for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
             {"ServerName", "as2"}, {"Port", "2121"}, {"Proxy", ""}, {"ProxyPort", "0"}, {"UserProfile", "ANN"}})
        platform::Registry().writeString("Hosts/000000000", name, value);
    TestForm &f = shownAt(4);
    ASSERT_EQ(focus(), f.edtServerName);
    type("localhost");
    press(Qt::Key_Tab);
    type("JOE");
    press(Qt::Key_Tab);
    type("secret");
    press(Qt::Key_Tab);
    EXPECT_EQ(focus(), f.btnBack); // not Advanced
    for (int i = 0; i < 3; ++i)
        press(Qt::Key_Tab, Qt::ShiftModifier);
    dialogs.modalScripts.push_back([](QDialog &d) {
        static_cast<TfrmAdvanced &>(d).edtPort->setText("3021");
        return platform::mrOk;
    });
    altA(1);
    press(Qt::Key_Tab);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "JOE");
    EXPECT_TRUE(f.btnNext->isEnabled());
    // Back and Next show the page again: the same host, nothing applied.
    back();
    next();
    press(Qt::Key_Return);
    press(Qt::Key_Return);
    ASSERT_EQ(f.connects.size(), 1u);
    EXPECT_EQ(f.connects[0].port, 3021);
    EXPECT_EQ(f.connects[0].userId, "JOE");
    // Another host brings its own profile.
    back();
    f.edtServerName->lineEdit()->selectAll();
    type("as2");
    press(Qt::Key_Tab);
    EXPECT_EQ(f.Port, 2121);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "ANN");
    // On the start page Alt+A is About, whose button is shown there.
    for (int i = 0; i < 4; ++i)
        back();
    altA(2);
}

TEST_F(KeyboardTest, EnterPressesThePageButtonUnlessTheOperatorTabbedToAnother)
{
    TestForm &f = shownAt(3);
    ASSERT_EQ(page(), f.tabRestoreDefaults);
    // Each dialog really opens and closes, taking the focus from the window.
    for (int i = 0; i < 2; ++i)
        dialogs.modalScripts.push_back([](QDialog &d) {
            d.show();
            QTest::qWait(50);
            d.hide();
            return platform::mrCancel;
        });
    auto backToWizard = [&f] {
        f.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
    };
    // Clicked with the mouse: after its dialog Enter is Next, not the dialog.
    QTest::mouseClick(f.btnRestoreDefaults, Qt::LeftButton);
    backToWizard();
    press(Qt::Key_Return);
    EXPECT_EQ(dialogs.modalCount, 1);
    ASSERT_EQ(page(), f.tabConnectInfo);
    // Reached with Tab, a button takes Enter once.
    back();
    for (int i = 0; i < 20 && focus() != f.btnAddPoster; ++i)
        press(Qt::Key_Tab);
    press(Qt::Key_Return);
    backToWizard();
    EXPECT_EQ(focus(), f.btnAddPoster);
    press(Qt::Key_Return);
    EXPECT_EQ(dialogs.modalCount, 2);
    ASSERT_EQ(page(), f.tabConnectInfo);
    // Cancel reached with Tab does not take Enter.
    back();
    f.btnCancel->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Return);
    EXPECT_EQ(page(), f.tabConnectInfo);
    EXPECT_TRUE(dialogs.boxes.empty());
}
