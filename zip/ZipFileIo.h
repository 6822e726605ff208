#pragma once
// Whole reads and writes on archive files: short transfers and EINTR are
// retried, so a false result is a real failure (or the end of the file).

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

namespace zipio {

inline bool readAt(int fd, int64_t pos, void *buf, size_t n)
{
    auto *p = static_cast<uint8_t *>(buf);
    while (n) {
        ssize_t r = ::pread(fd, p, n, static_cast<off_t>(pos));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        pos += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline bool writeAll(int fd, const void *buf, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace zipio
