#include "app/HostProfiles.h"

#include "platform/Registry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace app::HostProfiles {
namespace {

std::string keyOf(const std::string &subKey) { return std::string(kHostsKey) + "/" + subKey; }

void apply(const platform::Registry &reg, const std::string &key, HostSettings &s)
{
    s.serverName = reg.readString(key, "ServerName");
    s.port = toInteger(reg.readString(key, "Port"));
    s.proxy = reg.readString(key, "Proxy");
    s.proxyPort = toInteger(reg.readString(key, "ProxyPort"));
    s.userProfile = reg.readString(key, "UserProfile");
    // Missing values are a profile from before passive mode and TLS.
    const std::string passive = reg.readString(key, "Passive");
    s.transport.passive = !passive.empty() && toInteger(passive) != 0;
    const std::string security = reg.readString(key, "Security");
    const int level = security.empty() ? 0 : toInteger(security);
    // An unknown level is reported, not quietly taken as plain FTP: the user
    // may have asked for TLS.
    if (level < 0 || level > 2)
        throw std::runtime_error("'" + security + "' is not a valid security level (0 plain, 1 explicit TLS, "
                                 "2 implicit TLS)");
    s.transport.security = static_cast<TFtpSecurity>(level);
    s.transport.tlsFingerprint = reg.readString(key, "TlsFingerprint");
    // Seconds; a profile from before the setting waits the default.
    const std::string wait = reg.readString(key, "ReplyTimeOut");
    s.transport.replyTimeOut = wait.empty() ? kDefaultReplyTimeOut : std::max(0, toInteger(wait)) * 1000;
    // Missing: a profile from before SSH, reached by FTP. An unknown value is
    // reported rather than guessed.
    const std::string protocol = reg.readString(key, "Protocol");
    if (!protocol.empty() && protocol != "FTP" && protocol != "SSH")
        throw std::runtime_error("'" + protocol + "' is not a valid protocol (FTP or SSH)");
    s.transport.ssh = protocol == "SSH";
    const std::string library = reg.readString(key, "SshLibrary");
    s.transport.sshLibrary = library.empty() ? FtpTransport{}.sshLibrary : library;
}

void write(platform::Registry &reg, const std::string &key, const HostSettings &s)
{
    reg.writeString(key, "ServerName", s.serverName);
    reg.writeString(key, "Port", std::to_string(s.port));
    reg.writeString(key, "Proxy", s.proxy);
    reg.writeString(key, "ProxyPort", std::to_string(s.proxyPort));
    reg.writeString(key, "UserProfile", s.userProfile);
    reg.writeString(key, "Passive", s.transport.passive ? "1" : "0");
    reg.writeString(key, "Security", std::to_string(static_cast<int>(s.transport.security)));
    reg.writeString(key, "TlsFingerprint", s.transport.tlsFingerprint);
    reg.writeString(key, "ReplyTimeOut", std::to_string(s.transport.replyTimeOut / 1000));
    reg.writeString(key, "Protocol", s.transport.ssh ? "SSH" : "FTP");
    reg.writeString(key, "SshLibrary", s.transport.sshLibrary);
}

// The sub-key of the profile for `serverName`, searched last first; empty
// when there is none.
std::string findProfile(const platform::Registry &reg, const std::string &serverName)
{
    const auto subKeys = reg.subKeys(kHostsKey);
    for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it)
        if (reg.readString(keyOf(*it), "ServerName") == serverName)
            return *it;
    return {};
}

} // namespace

int toInteger(const std::string &text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    const char *begin = text.c_str() + i;
    const char *digits = begin + ((*begin == '+' || *begin == '-') ? 1 : 0);
    char *end = nullptr;
    errno = 0;
    const long v = *digits >= '0' && *digits <= '9' ? std::strtol(begin, &end, 10) : 0;
    if (!end || *end != '\0' || end != text.c_str() + text.size() || errno == ERANGE || v < INT_MIN ||
        v > INT_MAX)
        throw std::runtime_error("'" + text + "' is not a valid integer value");
    return static_cast<int>(v);
}

void load(HostSettings &current, std::vector<std::string> &names)
{
    platform::Registry reg;
    reg.createKey(kHostsKey);
    const std::string last = reg.readString(kHostsKey, kLastHostUsed);
    const auto subKeys = reg.subKeys(kHostsKey);
    for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it) {
        const std::string key = keyOf(*it);
        names.push_back(reg.readString(key, "ServerName"));
        if (*it == last)
            apply(reg, key, current);
    }
}

void lookup(HostSettings &current)
{
    {
        platform::Registry reg;
        const std::string found = findProfile(reg, current.serverName);
        if (!found.empty()) {
            apply(reg, keyOf(found), current);
            return;
        }
    }
    create(current);
}

void store(const HostSettings &current)
{
    {
        platform::Registry reg;
        const std::string found = findProfile(reg, current.serverName);
        if (!found.empty()) {
            write(reg, keyOf(found), current);
            reg.writeString(kHostsKey, kLastHostUsed, found);
            return;
        }
    }
    create(current);
}

std::string create(const HostSettings &current)
{
    platform::Registry reg;
    reg.createKey(kHostsKey);
    char name[16];
    std::snprintf(name, sizeof name, "%9.9d", static_cast<int>(reg.subKeys(kHostsKey).size()));
    write(reg, keyOf(name), current);
    reg.writeString(kHostsKey, kLastHostUsed, name);
    return name;
}

} // namespace app::HostProfiles
