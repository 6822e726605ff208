#include "SeedObject.h"

#include "ClParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hostsim {

namespace {

bool parseSize(const std::string &s, uint64_t &out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(s.c_str(), &end, 10);
    if (errno || end == s.c_str())
        return false;
    const std::string unit = end;
    const int shift = unit.empty() ? 0 : unit == "K" || unit == "k" ? 10 : unit == "M" || unit == "m" ? 20
                                       : unit == "G" || unit == "g" ? 30 : -1;
    if (shift < 0 || n > (~0ull >> shift))
        return false;
    out = static_cast<uint64_t>(n) << shift;
    return true;
}

std::string upper(std::string s)
{
    for (auto &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

bool seedObject(HostStore &store, const std::string &spec, std::string *error)
{
    const size_t slash = spec.find('/'), dot = spec.find('.', slash == std::string::npos ? 0 : slash);
    const size_t eq = spec.find('=', dot == std::string::npos ? 0 : dot);
    if (slash == std::string::npos || dot == std::string::npos || eq == std::string::npos) {
        *error = "--seed-object wants LIB/NAME.TYPE=SIZE[,generated]: " + spec;
        return false;
    }
    const std::string lib = upper(spec.substr(0, slash)), name = upper(spec.substr(slash + 1, dot - slash - 1));
    const std::string type = upper(spec.substr(dot + 1, eq - dot - 1));
    std::string size = spec.substr(eq + 1);
    bool generated = false;
    if (const size_t comma = size.find(','); comma != std::string::npos) {
        generated = size.substr(comma + 1) == "generated";
        if (!generated && size.substr(comma + 1) != "sparse") {
            *error = "--seed-object: the fill is sparse or generated: " + spec;
            return false;
        }
        size.resize(comma);
    }
    uint64_t bytes = 0;
    if (!isValidName(lib) || !isValidName(name) || type.empty() || !parseSize(size, bytes)) {
        *error = "--seed-object: bad library, object or size in " + spec;
        return false;
    }
    const fs::path dir = store.findLibrary(lib).value_or(store.createLibrary(lib));
    const fs::path target = dir / (name + "." + type);
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == bytes)
        return true;
    const fs::path temp = dir / ("." + name + "." + type + ".seed");
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    if (ok && !generated) {
        ok = ::ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    } else if (ok) {
        // xorshift64: fast, deterministic, and no repeats a compressor finds.
        std::vector<uint64_t> block(1 << 17);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (uint64_t left = bytes; ok && left > 0;) {
            for (auto &w : block) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = x;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size() * 8));
            const char *p = reinterpret_cast<const char *>(block.data());
            for (size_t done = 0; ok && done < n;) {
                const ssize_t w = ::write(fd, p + done, n - done);
                ok = w > 0 || (w < 0 && errno == EINTR);
                if (w > 0)
                    done += static_cast<size_t>(w);
            }
            left -= n;
        }
    }
    if (fd >= 0 && ::close(fd) != 0)
        ok = false;
    if (ok)
        ok = ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        *error = "cannot write " + target.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
    }
    return ok;
}

} // namespace hostsim
