#include "app/Program.h"

#include "platform/Cursor.h"
#include "platform/Dialogs.h"
#include "platform/QtCursor.h"
#include "platform/QtDialogs.h"
#include "platform/QtShell.h"
#include "zip/PasswordDialogQt.h"
#include "platform/Shell.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *envValue(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v ? v : nullptr;
}

// Qt aborts with a hint about reinstalling when it finds no display; say what
// is really missing instead, and where the jobs run without one.
bool graphicalSessionMissing(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0)
            return false;
    if (const char *qpa = envValue("QT_QPA_PLATFORM")) {
        // offscreen, vnc, eglfs, ... need no session; xcb and wayland do.
        if (std::strncmp(qpa, "xcb", 3) != 0 && std::strncmp(qpa, "wayland", 7) != 0)
            return false;
    }
    return !envValue("DISPLAY") && !envValue("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char **argv)
{
    if (graphicalSessionMissing(argc, argv)) {
        std::fputs("quellon: the wizard needs a graphical session (neither DISPLAY nor WAYLAND_DISPLAY "
                   "is set); without one, use quellon-cli (see quellon-cli --help)\n",
                   stderr);
        return 1;
    }
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
