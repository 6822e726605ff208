#pragma once
// Scripted dialog service for tests: records every question and answers from
// queues the test fills; an empty queue gives the box's default answer.

#include "platform/Dialogs.h"

#include <deque>
#include <functional>

namespace platform {

struct RecordedBox {
    std::string text;
    std::string caption;
    Buttons buttons;
    Icon icon;
    DefaultButton defaultButton = DefaultButton::First;
};

class ScriptedDialogs final : public Dialogs {
public:
    ScriptedDialogs();
    ~ScriptedDialogs() override;

    std::deque<int> boxAnswers;                        // next answers for message boxes
    std::deque<std::optional<std::string>> fileAnswers; // next answers for file/picture dialogs
    // Called for each modal form; fill fields, press buttons, return the result.
    // Without one, a form is cancelled.
    std::deque<std::function<int(QDialog &)>> modalScripts;

    std::vector<RecordedBox> boxes;
    std::vector<FileDialogOptions> fileDialogs;
    std::vector<std::string> exceptions;
    int modalCount = 0; // forms shown

    using Dialogs::messageBox;
    int messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon icon,
                   DefaultButton defaultButton) override;
    std::optional<std::string> openFile(const FileDialogOptions &opts) override;
    std::optional<std::string> saveFile(const FileDialogOptions &opts) override;
    std::optional<std::string> openPicture(const FileDialogOptions &opts) override;
    int showModal(QDialog &form) override;
    void showException(const std::string &message) override;

private:
    std::optional<std::string> nextFile(const FileDialogOptions &opts);
    Dialogs *previous_;
};

} // namespace platform
