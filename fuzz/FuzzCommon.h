#pragma once
// Shared by the fuzz targets: each input becomes an archive file in a private
// folder, listed (and extracted) by the component, unattended.

#include "zip/ZipBuilder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace fuzz {

inline const std::string &workDir()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/quellon-fuzz-XXXXXX";
        const char *d = ::mkdtemp(tmpl);
        if (!d)
            std::abort();
        return std::string(d);
    }();
    return dir;
}

inline std::string writeInput(const uint8_t *data, size_t size)
{
    const std::string path = workDir() + "/input.zip";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path;
}

inline void quiet(TZipBuilder &z)
{
    z.Unattended = true;
    z.OnMessage = [](TZipBuilder *, int, const std::string &) {};
}

} // namespace fuzz
