#pragma once
// known_hosts as OpenSSH reads and writes it: host patterns with wildcards
// and negation, "[host]:port" names, hashed names (|1|salt|hash), the
// @revoked and @cert-authority markers; and new entries appended on a line
// of their own, hashed when the user's ssh configuration asks for it.

#include <string>
#include <vector>

struct ssh_key_struct;

namespace knownhosts
{

enum class Verdict {
    Unknown,       // no line names the host
    Trusted,       // a line names the host with this key
    Changed,       // lines name the host, all with other keys
    Revoked,       // an @revoked line holds this key
    CertAuthority, // only an @cert-authority line vouches for the host
};

struct Check {
    Verdict verdict = Verdict::Unknown;
    std::vector<std::string> knownFingerprints; // the host's other keys ("SHA256:...")
    std::string where;                          // "FILE line N" of the deciding line
};

// `name` as KnownHostsName gives it ("host" or "[host]:port"); the files
// in order, missing ones skipped. A revoked key is refused whatever else
// matches.
Check check(const std::vector<std::string> &files, const std::string &name, ssh_key_struct *key);

// True when `name` matches the comma-separated host field of a line.
bool hostFieldMatches(const std::string &field, const std::string &name);
// OpenSSH's wildcard match: '*' any run, '?' one character.
bool wildcardMatch(const std::string &pattern, const std::string &text);

// Appends "NAME TYPE BASE64" (NAME hashed when `hash`) to `file`, on a line
// of its own, creating the file (0600) and its folder (0700) when missing;
// the mode of an existing file is kept. Empty when done, else why not.
std::string append(const std::string &file, const std::string &name, ssh_key_struct *key, bool hash);

// OpenSSH's "SHA256:..." form of a key's fingerprint; empty when it cannot
// be made.
std::string fingerprint(ssh_key_struct *key);

// "|1|salt|hash" of `name` with a fresh salt (or the given one, for tests).
std::string hashedName(const std::string &name, const std::string &salt = {});

// What ssh's configuration files (the user's, then the system's) say of
// HashKnownHosts for `host`: the first value found wins, as in ssh.
bool hashKnownHosts(const std::vector<std::string> &configFiles, const std::string &host);

} // namespace knownhosts
