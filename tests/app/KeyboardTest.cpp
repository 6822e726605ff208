// The wizard from the keyboard: real key presses on the shown, active
// window, so Tab, Shift+Tab, Alt+A and Enter reach the widgets as they do
// for the operator.

#include "WizardFixture.h"

#include "dialogs/formAdvanced.h"
#include "widgets/TCSpinEdit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <functional>

namespace {

class KeyboardTest : public WizardTest {
protected:
    TestForm &shown(std::vector<std::string> args)
    {
        TestForm &f = start(std::move(args));
        f.show();
        f.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        return f;
    }
    // Save mode up to the host page.
    TestForm &toConnectionPage()
    {
        TestForm &f = shown({"/zip"});
        next();
        f.edtLibraryNameToSave->setText("MYLIB");
        dialogs.fileAnswers.push_back(tmp.file("mylib.4ql"));
        next();
        next();
        next();
        EXPECT_EQ(page(), f.tabConnectInfo);
        return f;
    }
    static QWidget *focus() { return QApplication::focusWidget(); }
    static void press(int key, Qt::KeyboardModifiers m = Qt::NoModifier)
    {
        QTest::keyClick(focus(), static_cast<Qt::Key>(key), m);
    }
    static void type(const char *text) { QTest::keyClicks(focus(), QString::fromLatin1(text)); }
    // A mnemonic clicks its button a moment later.
    static bool waitFor(const std::function<bool()> &done, int ms = 2000)
    {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QTest::qWait(10);
        return done();
    }
    // Alt+A's Advanced, answered by setting the port.
    void advancedSetsPort(int port)
    {
        dialogs.modalScripts.push_back([port](QDialog &d) {
            static_cast<TfrmAdvanced &>(d).edtPort->setText(QString::number(port));
            return platform::mrOk;
        });
    }
};

} // namespace

TEST_F(KeyboardTest, LeavingTheHostFieldAgainKeepsWhatWasTypedAndSet)
{
    {
        platform::Registry reg;
        reg.writeString("Hosts/000000000", "ServerName", "as2");
        reg.writeString("Hosts/000000000", "Port", "2121");
        reg.writeString("Hosts/000000000", "Proxy", "");
        reg.writeString("Hosts/000000000", "ProxyPort", "0");
        reg.writeString("Hosts/000000000", "UserProfile", "ANN");
    }
    TestForm &f = toConnectionPage();
    ASSERT_EQ(focus(), f.edtServerName);
    type("localhost");
    press(Qt::Key_Tab);
    ASSERT_EQ(focus(), f.edtUserProfile);
    type("JOE");
    press(Qt::Key_Tab);
    type("secret");
    press(Qt::Key_Tab, Qt::ShiftModifier);
    press(Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_EQ(focus(), f.edtServerName);
    advancedSetsPort(3021);
    press(Qt::Key_A, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return dialogs.modalCount == 1; }));
    EXPECT_EQ(f.Port, 3021);
    press(Qt::Key_Tab);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "JOE");
    EXPECT_EQ(f.Port, 3021);
    EXPECT_TRUE(f.btnNext->isEnabled());

    // Back and Next show the page again: the same host, nothing applied.
    back();
    next();
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "JOE");
    EXPECT_EQ(f.Port, 3021);
    // The job goes where the operator said.
    press(Qt::Key_Return);
    ASSERT_EQ(page(), f.tabProcess);
    press(Qt::Key_Return);
    ASSERT_EQ(f.connects.size(), 1u);
    EXPECT_EQ(f.connects[0].port, 3021);
    EXPECT_EQ(f.connects[0].userId, "JOE");

    // Another host brings its own profile, and coming back the stored one.
    back();
    f.edtServerName->lineEdit()->setFocus(Qt::TabFocusReason);
    f.edtServerName->lineEdit()->selectAll();
    type("as2");
    press(Qt::Key_Tab);
    EXPECT_EQ(f.Port, 2121);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "ANN");
    press(Qt::Key_Tab, Qt::ShiftModifier);
    f.edtServerName->lineEdit()->selectAll();
    type("localhost");
    press(Qt::Key_Tab);
    EXPECT_EQ(f.Port, 3021);
    EXPECT_EQ(f.edtUserProfile->text().toStdString(), "JOE");
    EXPECT_TRUE(dialogs.exceptions.empty());
}

TEST_F(KeyboardTest, AdvancedOpensWithAltAAndIsNoTabStop)
{
    TestForm &f = toConnectionPage();
    EXPECT_EQ(f.btnAdvanced->text().toStdString(), "&Advanced");
    // Tab walks host, user, password, then the buttons; never Advanced.
    for (int i = 0; i < 8; ++i) {
        press(Qt::Key_Tab);
        EXPECT_NE(focus(), f.btnAdvanced);
    }
    press(Qt::Key_A, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return dialogs.modalCount == 1; }));
    // On the start page Alt+A is About, whose button is shown there.
    back();
    back();
    back();
    back();
    ASSERT_EQ(page(), f.tabSaveStart);
    press(Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(waitFor([&] { return dialogs.modalCount == 2; }));
}

TEST_F(KeyboardTest, EnterPressesThePageButtonUnlessTheOperatorTabbedToAnother)
{
    TestForm &f = shown({"/zip"});
    next();
    f.edtLibraryNameToSave->setText("MYLIB");
    dialogs.fileAnswers.push_back(tmp.file("mylib.4ql"));
    next();
    next();
    ASSERT_EQ(page(), f.tabRestoreDefaults);
    // Each dialog really opens and closes, so the focus leaves the window
    // and comes back as it does for the operator.
    auto openAndClose = [](QDialog &d) {
        d.show();
        d.activateWindow();
        const bool active = QTest::qWaitForWindowActive(&d);
        d.hide();
        return active ? platform::mrCancel : platform::mrAbort;
    };
    for (int i = 0; i < 3; ++i)
        dialogs.modalScripts.push_back(openAndClose);

    // Clicked with the mouse: after its dialog Enter is Next, not the
    // dialog once more.
    QTest::mouseClick(f.btnRestoreDefaults, Qt::LeftButton);
    ASSERT_EQ(dialogs.modalCount, 1);
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    press(Qt::Key_Return);
    EXPECT_EQ(dialogs.modalCount, 1);
    ASSERT_EQ(page(), f.tabConnectInfo);

    // Reached with Tab, a button takes Enter once.
    back();
    for (int i = 0; i < 20 && focus() != f.btnAddPoster; ++i)
        press(Qt::Key_Tab);
    ASSERT_EQ(focus(), f.btnAddPoster);
    press(Qt::Key_Return);
    EXPECT_EQ(dialogs.modalCount, 2);
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_EQ(focus(), f.btnAddPoster);
    press(Qt::Key_Return);
    EXPECT_EQ(dialogs.modalCount, 2);
    ASSERT_EQ(page(), f.tabConnectInfo);

    // Back or Cancel reached with Tab: Enter is still the page's button;
    // Space presses the focused one.
    back();
    f.btnCancel->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Return);
    ASSERT_EQ(page(), f.tabConnectInfo);
    back();
    f.btnBack->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Space);
    EXPECT_EQ(page(), f.tabSaveFileInfo);
    EXPECT_TRUE(dialogs.boxes.empty());
}
