// quellon-cli: the save and restore jobs and the zip component without a window.

#include "cli/CliCommon.h"
#include "cli/CliUsage.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: quellon-cli COMMAND [ARGS...]\n"
    "\n"
    "Move IBM i libraries and objects between a host and a PC file.\n"
    "\n"
    "Commands:\n"
    "  save      save a library or object on a host into a zipped save file (.4ql)\n"
    "  restore   restore a .4ql archive or a bare .savf on a host\n"
    "  info      show what a .4ql archive or .savf file holds\n"
    "  zip       list, add, extract, delete, ... members of a zip archive\n"
    "  ftp       get, put or send a raw command to an FTP server\n"
    "\n"
    "  help      show the options of a command: quellon-cli help COMMAND\n"
    "\n"
    "Options: -h, --help (this text), -V, --version.\n"
    "Run 'quellon-cli COMMAND --help' (or 'quellon-cli help COMMAND') for the\n"
    "options of a command.\n";

const char kVersion[] = "quellon-cli 1.3.1";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Quellon");
    QCoreApplication::setOrganizationName("Tamsholt");
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return cli::kUsage;
    }
    std::string cmd = argv[1];
    int subArgc = argc - 1;
    char **subArgv = argv + 1;
    // "help COMMAND" is "COMMAND --help".
    std::vector<char *> helpArgv;
    char helpOption[] = "--help";
    if (cmd == "help" && argc > 2) {
        cmd = argv[2];
        helpArgv = {argv[2], helpOption, nullptr};
        subArgc = 2;
        subArgv = helpArgv.data();
    }
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return cli::kOk;
    }
    if (cmd == "--version" || cmd == "-V") {
        std::puts(kVersion);
        return cli::kOk;
    }
    if (cmd == "ftp")
        return cli::exitStatus(cli::runFtp(subArgc, subArgv));
    if (cmd == "zip")
        return cli::runZip(subArgc, subArgv);
    // A stop by SIGINT or SIGTERM shows in the exit status (130, 143).
    if (cmd == "save")
        return cli::exitStatus(cli::runSave(subArgc, subArgv));
    if (cmd == "restore")
        return cli::exitStatus(cli::runRestore(subArgc, subArgv));
    if (cmd == "info")
        return cli::runInfo(subArgc, subArgv);
    return cli::usageError("", (cmd.rfind('-', 0) == 0 ? "unknown option '" : "unknown command '") + cmd +
                                   "' (commands: save, restore, info, zip, ftp)");
}
