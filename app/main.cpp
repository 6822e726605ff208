#include "app/Program.h"

#include "platform/Cursor.h"
#include "platform/Dialogs.h"
#include "platform/QtCursor.h"
#include "platform/QtDialogs.h"
#include "platform/QtShell.h"
#include "zip/PasswordDialogQt.h"
#include "platform/Shell.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName("Quellon");

    platform::QtDialogs dialogs;
    platform::QtShell shell;
    platform::QtCursor cursor;
    platform::setDialogs(&dialogs);
    platform::setShell(&shell);
    platform::setCursor(&cursor);
    // The zip component asks for the passwords of encrypted archives.
    installQtZipPasswordPrompt();

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    const int status = app::runProgram(args);

    platform::setCursor(nullptr);
    platform::setShell(nullptr);
    platform::setDialogs(nullptr);
    return status;
}
