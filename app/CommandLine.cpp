#include "app/CommandLine.h"

#include <QFileInfo>
#include <QString>

namespace app {

CommandLine parseCommandLine(const std::vector<std::string> &args)
{
    CommandLine cl;
    for (const auto &arg : args) {
        const QString lower = QString::fromStdString(arg).toLower();
        if (lower == "/zip") {
            cl.mode = msSave;
        } else if (lower == "/unzip") {
            cl.mode = msRestore;
        } else if (QFileInfo(QString::fromStdString(arg)).isFile()) {
            cl.file = arg;
            cl.mode = msRestore;
        } else {
            cl.valid = false;
            cl.badArgument = arg;
            break;
        }
    }
    return cl;
}

std::string invalidParameterMessage(const std::string &argument)
{
    return "Invalid startup parameter or \nfile name '" + argument +
           "' not found. \n\nvalid startup params are: \n/Zip => Start in save mode, \n/Unzip => Start in "
           "restore mode";
}

} // namespace app
