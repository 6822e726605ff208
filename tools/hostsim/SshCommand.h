#pragma once
// The host as seen through its SSH server: sshd's forced command hands the
// client's command line here. As in an IBM i PASE shell, `system "CL"` runs
// one CL command in a job of its own (so QTEMP starts empty every time) and
// prints the command's messages (in the PASE CCSID unless the command line
// sets a UTF-8 LC_ALL or LANG), `cat` streams a save file out of or into its
// /QSYS.LIB/LIB.LIB/NAME.FILE path, and sftp-server (the sftp subsystem)
// serves SFTP (SftpServer.h). Nothing else is offered.

#include "HostJob.h"
#include "HostStore.h"

#include <optional>
#include <string>
#include <vector>

namespace hostsim
{

struct SshConfig {
    HostConfig host;
    std::string logFile; // every command line received, appended
    // Break a `cat` download off after this many bytes (exit status 2).
    long long abortTransferAfter = -1;
    // Drop the whole SSH connection after this many bytes of a `cat`
    // download, as a network that fails does: the session process above us
    // is killed, so the client sees the connection go, not a status.
    long long dropConnectionAfter = -1;
    // SFTP reads stop being answered past this many bytes: a host that hangs.
    long long stallTransferAfter = -1;
    // The PASE CCSID: 819 answers in ISO-8859-1 unless asked for UTF-8.
    int paseCcsid = 1208;
    // What a user's shell start-up files print before every command, the
    // sftp subsystem's included (bash reads .bashrc for sshd's commands).
    std::string profileText;
};

// /QSYS.LIB/LIB.LIB/NAME.FILE, any case: the library and the file.
bool saveFilePath(const std::string &path, std::string &library, std::string &file);
// Appends `line` to the configured command log.
void logLine(const SshConfig &config, const std::string &line);

// Splits a command line into words as a POSIX shell would for the forms the
// clients send: blanks, single quotes, double quotes with backslash escapes,
// backslashes, a bare ">" (or ">PATH") as a redirection word, and leading
// NAME=value words (environment assignments) kept as they are. Nothing
// when it holds anything a plain command does not need (;, |, &, $, `, <,
// globs, an open quote): this host runs no scripts.
std::optional<std::vector<std::string>> shellWords(const std::string &line);

// Runs one command line; output goes to `out`, messages to `err` (file
// descriptors), the save file comes from `in`. Returns the exit status.
int runSshCommand(const std::string &line, HostStore &store, const SshConfig &config, int in, int out,
                  int err);

} // namespace hostsim
