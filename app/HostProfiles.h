#pragma once
// Host profiles: per host, how to reach it (name, FTP port, proxy and its
// port, passive mode, TLS and the accepted certificate) and the user profile;
// the password is never stored. They live in the registry under "Hosts", one
// sub-key per host named by a nine-digit number ("000000000", "000000001",
// ...), and "LastHostUsed" names the last one. A profile without "Passive",
// "Security" or "TlsFingerprint" (older ones) means active mode in the clear;
// one without "ReplyTimeOut" (seconds) waits the default for a reply; one
// without "Protocol" ("FTP" or "SSH") is reached by FTP, and "SshLibrary"
// (default QGPL) holds the save file of a job over SSH.

#include "net/FtpTransport.h"

#include <string>
#include <vector>

namespace app {

// The values a profile fills in the main window.
struct HostSettings {
    std::string serverName;
    int port = 21;
    std::string proxy;
    int proxyPort = 0;
    std::string userProfile;
    FtpTransport transport;
};

namespace HostProfiles {

inline constexpr const char *kHostsKey = "Hosts";
inline constexpr const char *kLastHostUsed = "LastHostUsed";

// Start-up: appends the host names of all profiles to `names` (last sub-key
// first) and applies the profile named by "LastHostUsed" to `current`.
void load(HostSettings &current, std::vector<std::string> &names);

// Leaving the host name field: applies the profile whose "ServerName" equals
// current.serverName exactly (byte for byte); makes one when none does.
void lookup(HostSettings &current);

// Starting a job: writes the current values into the host's profile (or a
// new one) and makes it the last used.
void store(const HostSettings &current);

// Adds a profile from the current values, makes it the last used, returns
// its sub-key name.
std::string create(const HostSettings &current);

// "Port" and "ProxyPort" are decimal text; anything else raises
// "'%s' is not a valid integer value". Applying goes field by field, so a bad
// value leaves the fields before it applied.
int toInteger(const std::string &text);

} // namespace HostProfiles
} // namespace app
