#include "net/KnownHosts.h"

#include <libssh/libssh.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <glob.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace knownhosts
{
namespace
{

std::string base64(const std::string &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool unbase64(const std::string &text, std::string &out)
{
    if (text.empty() || text.size() % 4 != 0)
        return false;
    out.assign(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return false;
    size_t pad = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return true;
}

std::string hmacSha1(const std::string &key, const std::string &data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char *>(data.data()),
         data.size(), md, &len);
    return std::string(reinterpret_cast<char *>(md), len);
}

// "|1|salt|hash" against the name.
bool hashedMatches(const std::string &entry, const std::string &name)
{
    const auto bar = entry.find('|', 3);
    if (entry.rfind("|1|", 0) != 0 || bar == std::string::npos)
        return false;
    std::string salt, hash;
    if (!unbase64(entry.substr(3, bar - 3), salt) || !unbase64(entry.substr(bar + 1), hash))
        return false;
    return hash.size() == 20 && hmacSha1(salt, name) == hash;
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

} // namespace

std::string fingerprint(ssh_key key)
{
    unsigned char *hash = nullptr;
    size_t len = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &len) != 0)
        return {};
    char *text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, len);
    std::string out = text ? text : "";
    ssh_string_free_char(text);
    ssh_clean_pubkey_hash(&hash);
    return out;
}

namespace
{

struct KeyOf {
    ssh_key key = nullptr;
    KeyOf(const std::string &type, const std::string &b64)
    {
        const ssh_keytypes_e t = ssh_key_type_from_name(type.c_str());
        if (t == SSH_KEYTYPE_UNKNOWN || ssh_pki_import_pubkey_base64(b64.c_str(), t, &key) != SSH_OK)
            key = nullptr;
    }
    ~KeyOf() { ssh_key_free(key); }
};

} // namespace

bool wildcardMatch(const std::string &pattern, const std::string &text)
{
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                                            std::tolower(static_cast<unsigned char>(text[t])))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool hostFieldMatches(const std::string &field, const std::string &name)
{
    // A hashed entry names one host; a pattern list matches when a
    // positive pattern does and no negated one.
    if (field.rfind("|1|", 0) == 0)
        return hashedMatches(field, name);
    bool matched = false;
    size_t pos = 0;
    while (pos <= field.size()) {
        auto comma = field.find(',', pos);
        if (comma == std::string::npos)
            comma = field.size();
        std::string pattern = field.substr(pos, comma - pos);
        pos = comma + 1;
        const bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated)
            pattern.erase(0, 1);
        if (pattern.empty() || !wildcardMatch(pattern, name))
            continue;
        if (negated)
            return false;
        matched = true;
    }
    return matched;
}

Check check(const std::vector<std::string> &files, const std::string &name, ssh_key key)
{
    Check out;
    bool trusted = false, other = false, authority = false;
    std::string trustedWhere, otherWhere;
    for (const auto &file : files) {
        std::ifstream in(file);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            auto w = words(line);
            if (w.empty() || w[0][0] == '#')
                continue;
            std::string marker;
            if (w[0][0] == '@') {
                marker = w[0];
                w.erase(w.begin());
            }
            if (w.size() < 3 || !hostFieldMatches(w[0], name))
                continue;
            const KeyOf known(w[1], w[2]);
            if (!known.key)
                continue;
            const bool same = ssh_key_cmp(known.key, key, SSH_KEY_CMP_PUBLIC) == 0;
            const std::string where = file + " line " + std::to_string(number);
            if (marker == "@revoked") {
                if (same) {
                    out.verdict = Verdict::Revoked;
                    out.where = where;
                    return out;
                }
            } else if (marker == "@cert-authority") {
                authority = true;
                if (otherWhere.empty() && !trusted)
                    otherWhere = where;
            } else if (marker.empty()) {
                if (same && !trusted) {
                    trusted = true;
                    trustedWhere = where;
                } else if (!same) {
                    other = true;
                    if (otherWhere.empty())
                        otherWhere = where;
                    out.knownFingerprints.push_back(fingerprint(known.key));
                }
            }
        }
    }
    if (trusted) {
        out.verdict = Verdict::Trusted;
        out.where = trustedWhere;
    } else if (other) {
        out.verdict = Verdict::Changed;
        out.where = otherWhere;
    } else if (authority) {
        out.verdict = Verdict::CertAuthority;
        out.where = otherWhere;
    }
    return out;
}

std::string hashedName(const std::string &name, const std::string &givenSalt)
{
    std::string salt = givenSalt;
    if (salt.empty()) {
        salt.assign(20, '\0');
        if (RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), 20) != 1)
            return {};
    }
    return "|1|" + base64(salt) + "|" + base64(hmacSha1(salt, name));
}

std::string append(const std::string &file, const std::string &name, ssh_key key, bool hash)
{
    char *b64 = nullptr;
    if (ssh_pki_export_pubkey_base64(key, &b64) != SSH_OK || !b64)
        return "cannot write the host key out";
    const std::string keyText = b64;
    ssh_string_free_char(b64);
    const std::string host = hash ? hashedName(name) : name;
    if (host.empty())
        return "cannot hash the host name";
    std::string entry = host + " " + ssh_key_type_to_char(ssh_key_type(key)) + " " + keyText + "\n";

    const auto slash = file.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ::mkdir(file.substr(0, slash).c_str(), 0700);
    const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::strerror(errno);
    // Another ssh may append at the same moment.
    ::flock(fd, LOCK_EX);
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        entry.insert(entry.begin(), '\n');
    // One write: the entry lands whole or not at all on a local file.
    const ssize_t w = ::write(fd, entry.data(), entry.size());
    const bool ok = w == static_cast<ssize_t>(entry.size()) && ::fsync(fd) == 0;
    const int err = errno;
    if (!ok && w > 0 && ::ftruncate(fd, st.st_size) != 0) {
        // The file stays as it was where it can; the failure is reported.
    }
    ::close(fd);
    return ok ? std::string() : std::string(std::strerror(err ? err : EIO));
}

namespace
{

// One configuration file, with its Include lines; `found` once a value is
// set. Host blocks match the host; Match blocks other than "all" are not
// evaluated and count as not matching.
void readConfig(const std::string &path, const std::string &host, const std::string &relativeTo, bool &found,
                bool &value, int depth)
{
    std::ifstream in(path);
    std::string line;
    bool active = true;
    while (!found && std::getline(in, line)) {
        for (auto &c : line)
            if (c == '=' || c == '\t')
                c = ' ';
        auto w = words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        std::string key = w[0];
        for (auto &c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "host") {
            active = false;
            bool negated = false;
            for (size_t i = 1; i < w.size(); ++i) {
                std::string p = w[i];
                const bool neg = p[0] == '!';
                if (neg)
                    p.erase(0, 1);
                if (wildcardMatch(p, host)) {
                    if (neg)
                        negated = true;
                    else
                        active = true;
                }
            }
            active = active && !negated;
        } else if (key == "match") {
            active = w.size() == 2 && (w[1] == "all" || w[1] == "All");
        } else if (key == "include" && active && depth < 8) {
            for (size_t i = 1; i < w.size() && !found; ++i) {
                const std::string pattern = w[i][0] == '/' || w[i][0] == '~' ? w[i] : relativeTo + "/" + w[i];
                glob_t g{};
                if (::glob(pattern.c_str(), GLOB_TILDE, nullptr, &g) == 0)
                    for (size_t k = 0; k < g.gl_pathc && !found; ++k)
                        readConfig(g.gl_pathv[k], host, relativeTo, found, value, depth + 1);
                ::globfree(&g);
            }
        } else if (key == "hashknownhosts" && active && w.size() >= 2) {
            std::string v = w[1];
            for (auto &c : v)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            found = true;
            value = v == "yes";
        }
    }
}

} // namespace

bool hashKnownHosts(const std::vector<std::string> &configFiles, const std::string &host)
{
    bool found = false, value = false;
    for (const auto &f : configFiles) {
        if (found)
            break;
        const auto slash = f.rfind('/');
        readConfig(f, host, slash == std::string::npos ? "." : f.substr(0, slash), found, value, 0);
    }
    return value;
}

} // namespace knownhosts
