#pragma once
// Message boxes, file dialogs, modal forms and the application's exception
// display. The program installs the Qt implementation; tests install
// ScriptedDialogs and answer every question themselves.

#include <exception>
#include <optional>
#include <string>
#include <vector>

class QDialog;

namespace platform {

// Modal results keep the numbers the program's callers compare against.
enum ModalResult : int {
    mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4,
    mrIgnore = 5, mrYes = 6, mrNo = 7
};

// Button sets of a message box.
enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel, AbortRetryIgnore, RetryCancel, AbortIgnore };

enum class Icon { None, Error, Warning, Question, Information };

// Which button of the set Enter presses: the first (Windows' default) or the
// one after it (questions whose safe answer is the second, such as an
// overwrite that No declines).
enum class DefaultButton { First, Second, Third };

struct FileDialogOptions {
    std::string title;
    std::string fileName;         // proposed name (may be a pattern such as "*.4ql")
    std::string defaultExt;       // without the dot
    std::string initialDir;
    std::vector<std::string> filters; // Qt style: "Zipped save files (*.4ql)"
};

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Returns one of the ModalResult numbers.
    virtual int messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon icon,
                           DefaultButton defaultButton) = 0;
    int messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon icon)
    {
        return messageBox(text, caption, buttons, icon, DefaultButton::First);
    }
    virtual std::optional<std::string> openFile(const FileDialogOptions &opts) = 0;
    virtual std::optional<std::string> saveFile(const FileDialogOptions &opts) = 0;
    virtual std::optional<std::string> openPicture(const FileDialogOptions &opts) = 0;
    // ShowModal of a form; returns its modal result.
    virtual int showModal(QDialog &form) = 0;
    // The application's standard exception display.
    virtual void showException(const std::string &message) = 0;
};

// The installed service (the Qt one in the program, a scripted one in tests).
Dialogs &dialogs();
// Installs `d` (not owned); nullptr restores the built-in fallback that writes to stderr.
void setDialogs(Dialogs *d);

// "MessageId: 'Qln0004'" style caption for a message identifier.
std::string messageIdCaption(const std::string &id);

// Shows an exception through the application's exception display. Every Qt
// slot or handler entry point catches and calls this: exceptions never cross
// the event loop.
void showException(const std::exception &e);
void showUnknownException();

// Runs `fn`, showing any exception that escapes it. Returns false when one did.
template <typename Fn> bool guarded(Fn &&fn)
{
    try {
        fn();
        return true;
    } catch (const std::exception &e) {
        showException(e);
    } catch (...) {
        showUnknownException();
    }
    return false;
}

} // namespace platform
