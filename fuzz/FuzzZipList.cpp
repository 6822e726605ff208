// libFuzzer target: the directory reader (end record search, central
// directory, names, comments, ZIP64 end records).

#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = fuzz::writeInput(data, size);
    TZipBuilder z;
    fuzz::quiet(z);
    z.UseDirOnlyEntries = (size & 1) != 0;
    z.CodePage = static_cast<CPOpts>(size % 3);
    z.SetZipFileName(path);
    size_t names = 0;
    for (const ZipDirEntry &e : z.Entries)
        names += e.FileName.size() + e.FileComment.size() + e.ExtraData.size();
    names += z.GetZipComment().size();
    // A listed archive may get a new comment; the rewrite must stay in bounds.
    if (!z.ZipFileName().empty() && size % 7 == 0)
        z.SetZipComment("fuzz");
    return names == static_cast<size_t>(-1);
}
