#pragma once
#include "platform/Dialogs.h"

namespace platform {

// Qt Widgets message boxes and file dialogs for the wizard.
class QtDialogs final : public Dialogs {
public:
    using Dialogs::messageBox;
    int messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon icon,
                   DefaultButton defaultButton) override;
    std::optional<std::string> openFile(const FileDialogOptions &opts) override;
    std::optional<std::string> saveFile(const FileDialogOptions &opts) override;
    std::optional<std::string> openPicture(const FileDialogOptions &opts) override;
    int showModal(QDialog &form) override;
    void showException(const std::string &message) override;
};

} // namespace platform
