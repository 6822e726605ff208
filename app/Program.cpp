#include "app/Program.h"

#include "app/fromMain.h"
#include "platform/Dialogs.h"

#include <QApplication>

namespace app {

int runProgram(const std::vector<std::string> &args)
{
    platform::guarded([&] {
        TfrmMain frmMain;
        if (!frmMain.formCreate(args))
            return;
        frmMain.show();
        QApplication::exec();
    });
    return 0;
}

} // namespace app
