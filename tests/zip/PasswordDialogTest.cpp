// The password dialog, driven through the scripted modal-form service.

#include "zip/PasswordDialogQt.h"
#include "zip/ZipBuilder.h"

#include "platform/ScriptedDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

// Types `text` and presses the button whose caption is `button`.
std::function<int(QDialog &)> answer(const std::string &text, const QString &button, QString *title = nullptr,
                                     QString *prompt = nullptr)
{
    return [=](QDialog &form) {
        if (title)
            *title = form.windowTitle();
        if (prompt)
            *prompt = form.findChild<QLabel *>()->text();
        form.findChild<QLineEdit *>()->setText(QString::fromStdString(text));
        for (QPushButton *b : form.findChildren<QPushButton *>())
            if (b->text() == button)
                b->click();
        return form.result();
    };
}

} // namespace

TEST(PasswordDialog, AsksTwiceForAddAndStoresTheAgreedPassword)
{
    platform::ScriptedDialogs dlg;
    installQtZipPasswordPrompt();
    TZipBuilder z;
    QString title, prompt1, prompt2;
    dlg.modalScripts.push_back(answer("secret", "OK", &title, &prompt1));
    dlg.modalScripts.push_back(answer("secret", "OK", nullptr, &prompt2));
    EXPECT_EQ(z.GetAddPassword(), "secret");
    EXPECT_EQ(z.Password, "secret");
    EXPECT_EQ(title, "Password");
    EXPECT_EQ(prompt1, "Enter the password:");
    EXPECT_EQ(prompt2, "Confirm the password:");

    int messages = 0;
    z.OnMessage = [&](TZipBuilder *, int, const std::string &) { ++messages; };
    z.Password.clear();
    dlg.modalScripts.push_back(answer("secret", "OK"));
    dlg.modalScripts.push_back(answer("Secret", "OK"));
    EXPECT_EQ(z.GetAddPassword(), "");
    EXPECT_EQ(z.LastErrorCode, 10104);
    EXPECT_EQ(z.Password, "");
    ASSERT_EQ(dlg.boxes.size(), 1u); // shown: the component is attended

    // Cancel returns nothing, whatever was typed; no second question.
    dlg.modalScripts.push_back(answer("typed", "Cancel"));
    EXPECT_EQ(z.GetAddPassword(), "");
    EXPECT_EQ(dlg.modalCount, 5);
    setZipPasswordPrompt(nullptr);
}

TEST(PasswordDialog, ExtractPasswordAndFieldLimit)
{
    platform::ScriptedDialogs dlg;
    installQtZipPasswordPrompt();
    TZipBuilder z;
    z.StoreDialogPassword = false;
    dlg.modalScripts.push_back(answer(std::string(100, 'x'), "OK"));
    EXPECT_EQ(z.GetExtrPassword(), std::string(80, 'x')); // the edit refuses an 81st character
    EXPECT_EQ(z.Password, "");

    z.Unattended = true;
    EXPECT_EQ(z.GetExtrPassword(), "");
    EXPECT_EQ(z.LastErrorCode, 10151);
    EXPECT_EQ(z.GetAddPassword(), "");
    EXPECT_EQ(z.LastErrorCode, 10150);
    EXPECT_EQ(dlg.modalCount, 1);
    setZipPasswordPrompt(nullptr);
}
