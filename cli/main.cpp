// quellon-cli: the save and restore jobs and the zip component without a window.

#include "cli/CliCommon.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>

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
    "Run 'quellon-cli COMMAND --help' for the options of a command.\n";

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
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return cli::kOk;
    }
    if (cmd == "--version") {
        std::puts("quellon-cli 1.3.1");
        return cli::kOk;
    }
    int subArgc = argc - 1;
    char **subArgv = argv + 1;
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
    cli::error("unknown command '" + cmd + "'");
    std::fputs(kUsage, stderr);
    return cli::kUsage;
}
