#pragma once
// The host's SFTP server (the sftp subsystem, as IBM i's OpenSSH runs
// sftp-server): version 3 on stdin/stdout, reaching save files through
// their /QSYS.LIB/LIB.LIB/NAME.FILE paths. A save file is written only when
// it exists and is empty, by one writer, and is taken at CLOSE only as
// whole 528-byte records; a refused one stays as it was. Each open is
// logged with the file's *PUBLIC authority.

#include "SshCommand.h"

namespace hostsim
{

// Serves one SFTP session until the client ends it; the exit status.
int serveSftp(HostStore &store, const SshConfig &config, int in, int out);

} // namespace hostsim
