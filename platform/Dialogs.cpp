#include "platform/Dialogs.h"

#include <cstdio>

namespace platform {
namespace {

// Used before the program installs its service and by tools without a window:
// answers every question with its default and reports on stderr.
class StderrDialogs final : public Dialogs {
public:
    using Dialogs::messageBox;
    int messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon,
                   DefaultButton) override
    {
        std::fprintf(stderr, "%s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
        switch (buttons) {
        case Buttons::YesNo:
        case Buttons::YesNoCancel: return mrNo;
        case Buttons::AbortRetryIgnore:
        case Buttons::AbortIgnore: return mrAbort;
        case Buttons::OkCancel:
        case Buttons::RetryCancel: return mrCancel;
        case Buttons::Ok: break;
        }
        return mrOk;
    }
    std::optional<std::string> openFile(const FileDialogOptions &) override { return std::nullopt; }
    std::optional<std::string> saveFile(const FileDialogOptions &) override { return std::nullopt; }
    std::optional<std::string> openPicture(const FileDialogOptions &) override { return std::nullopt; }
    int showModal(QDialog &) override { return mrCancel; }
    void showException(const std::string &message) override
    {
        std::fprintf(stderr, "%s\n", message.c_str());
    }
};

StderrDialogs fallback;
Dialogs *installed = nullptr;

} // namespace

Dialogs &dialogs() { return installed ? *installed : fallback; }
void setDialogs(Dialogs *d) { installed = d; }

std::string messageIdCaption(const std::string &id) { return "MessageId: '" + id + "'"; }

void showException(const std::exception &e) { dialogs().showException(e.what()); }
void showUnknownException() { dialogs().showException("Unknown exception"); }

} // namespace platform
