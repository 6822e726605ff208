#include "platform/ScriptedDialogs.h"

namespace platform {

ScriptedDialogs::ScriptedDialogs() : previous_(&dialogs()) { setDialogs(this); }
ScriptedDialogs::~ScriptedDialogs() { setDialogs(previous_); }

int ScriptedDialogs::messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon icon,
                                DefaultButton defaultButton)
{
    boxes.push_back({text, caption, buttons, icon, defaultButton});
    if (!boxAnswers.empty()) {
        int a = boxAnswers.front();
        boxAnswers.pop_front();
        return a;
    }
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

std::optional<std::string> ScriptedDialogs::nextFile(const FileDialogOptions &opts)
{
    fileDialogs.push_back(opts);
    if (fileAnswers.empty())
        return std::nullopt;
    auto a = fileAnswers.front();
    fileAnswers.pop_front();
    return a;
}

std::optional<std::string> ScriptedDialogs::openFile(const FileDialogOptions &o) { return nextFile(o); }
std::optional<std::string> ScriptedDialogs::saveFile(const FileDialogOptions &o) { return nextFile(o); }
std::optional<std::string> ScriptedDialogs::openPicture(const FileDialogOptions &o) { return nextFile(o); }

int ScriptedDialogs::showModal(QDialog &form)
{
    ++modalCount;
    if (modalScripts.empty())
        return mrCancel;
    auto script = std::move(modalScripts.front());
    modalScripts.pop_front();
    return script(form);
}

void ScriptedDialogs::showException(const std::string &message) { exceptions.push_back(message); }

} // namespace platform
