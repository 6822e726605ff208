#pragma once
// The question put to the user when a host's certificate is not vouched for
// by the system's trust store and none was accepted for that host before,
// or when an SSH host's key is not known yet.

#include "net/NMFtp.h"

#include <string>

namespace app
{

// Yes: trust this certificate for the host from now on; No: for this
// connection only; Cancel (or closing the box): do not connect.
TCertAnswer askAboutCertificate(const std::string &host, const std::string &fingerprint,
                                const std::string &problem);

// The same question for an SSH host key that known_hosts does not hold; Yes
// adds it there. `fingerprint` is OpenSSH's "SHA256:..." form, as
// ssh-keygen -l shows it on the host.
TCertAnswer askAboutHostKey(const std::string &host, const std::string &fingerprint,
                            const std::string &knownHostsFile);

// `text` with each certificate or host key fingerprint on a line of its own
// (a SHA-256 in hex on two rows of 16 bytes), so a message box never breaks
// one inside a byte or at a '/' or '+' of OpenSSH's form.
std::string fingerprintsOnTheirOwnLines(const std::string &text);

} // namespace app
