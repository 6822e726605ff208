// Walk of the PE resource directory, bounded by the image everywhere: a stub
// is just bytes here, and damaged bytes must never move a read outside them.

#include "zip/PEResources.h"

#include "zip/ByteReader.h"

#include <algorithm>

namespace peres {
namespace {

struct Section {
    uint32_t virtualAddress = 0, virtualSize = 0, rawSize = 0, rawPointer = 0;
};

struct Walk {
    const std::string &image;
    Section rsrc;
    uint32_t dirFile = 0; // file offset of the resource directory root
    uint32_t dirSize = 0;
};

uint32_t u32At(const std::string &s, size_t pos, bool &ok)
{
    if (pos > s.size() || s.size() - pos < 4) {
        ok = false;
        return 0;
    }
    ByteReader r(s.data() + pos, 4);
    return r.u32();
}

uint16_t u16At(const std::string &s, size_t pos, bool &ok)
{
    if (pos > s.size() || s.size() - pos < 2) {
        ok = false;
        return 0;
    }
    ByteReader r(s.data() + pos, 2);
    return r.u16();
}

// One directory entry: descends into sub-directories of the wanted ids, or
// checks a data entry at the last level. Returns the icon's file offset or -1.
int64_t BrowseResDir(const Walk &w, uint32_t dirOffset, int level);

int64_t SearchResDirEntry(const Walk &w, uint32_t entryOffset, int level)
{
    bool ok = true;
    const std::string &img = w.image;
    const uint32_t nameId = u32At(img, size_t(w.dirFile) + entryOffset, ok);
    const uint32_t target = u32At(img, size_t(w.dirFile) + entryOffset + 4, ok);
    if (!ok || (nameId & 0x80000000u))
        return -1; // named entries are skipped
    if (level == 0 && nameId != 3)
        return -1;
    if (level == 1 && nameId != 1)
        return -1;
    if (target & 0x80000000u) {
        if (level >= 2)
            return -1;
        return BrowseResDir(w, target & 0x7FFFFFFFu, level + 1);
    }
    if (level != 2)
        return -1;
    const uint32_t dataRva = u32At(img, size_t(w.dirFile) + target, ok);
    const uint32_t size = u32At(img, size_t(w.dirFile) + target + 4, ok);
    if (!ok || size != kIconImageSize || dataRva < w.rsrc.virtualAddress)
        return -1;
    const int64_t file = int64_t(dataRva) - w.rsrc.virtualAddress + w.rsrc.rawPointer;
    if (file < 0 || file + size > int64_t(img.size()))
        return -1;
    return file;
}

int64_t BrowseResDir(const Walk &w, uint32_t dirOffset, int level)
{
    bool ok = true;
    const size_t at = size_t(w.dirFile) + dirOffset;
    const uint16_t named = u16At(w.image, at + 12, ok);
    const uint16_t ids = u16At(w.image, at + 14, ok);
    if (!ok || dirOffset >= w.dirSize)
        return -1;
    for (uint32_t i = 0; i < uint32_t(named) + ids; ++i) {
        const uint32_t entry = dirOffset + 16 + 8 * i;
        if (size_t(w.dirFile) + entry + 8 > w.image.size())
            return -1;
        int64_t found = SearchResDirEntry(w, entry, level);
        if (found >= 0)
            return found;
    }
    return -1;
}

} // namespace

int LookForDirs(const std::string &image, int64_t &iconFileOffset)
{
    iconFileOffset = -1;
    bool ok = true;
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return kNoIconFound;
    const uint32_t pe = u32At(image, 0x3C, ok);
    if (!ok || u32At(image, pe, ok) != 0x00004550 || !ok)
        return kNoIconFound;
    const uint16_t sections = u16At(image, size_t(pe) + 6, ok);
    const uint16_t optSize = u16At(image, size_t(pe) + 20, ok);
    const size_t opt = size_t(pe) + 24;
    const uint16_t magic = u16At(image, opt, ok);
    if (!ok)
        return kNoIconFound;
    // Data directory 2 (resources): after 96 bytes in PE32, 112 in PE32+.
    const size_t dirs = opt + (magic == 0x20B ? 112 : 96);
    if (dirs + 24 > opt + optSize)
        return kNoIconFound;
    const uint32_t resRva = u32At(image, dirs + 16, ok);
    const uint32_t resSize = u32At(image, dirs + 20, ok);
    const size_t table = opt + optSize;
    for (uint32_t i = 0; ok && i < sections; ++i) {
        const size_t s = table + 40 * size_t(i);
        if (s + 40 > image.size())
            return kNoIconFound;
        if (image.compare(s, 6, std::string(".rsrc\0", 6)) != 0 && image.compare(s, 8, std::string(".rsrc\0\0\0", 8)) != 0)
            continue;
        Section sec;
        sec.virtualSize = u32At(image, s + 8, ok);
        sec.virtualAddress = u32At(image, s + 12, ok);
        sec.rawSize = u32At(image, s + 16, ok);
        sec.rawPointer = u32At(image, s + 20, ok);
        const uint32_t extent = std::max(sec.virtualSize, sec.rawSize);
        if (!ok || resRva < sec.virtualAddress || resRva - sec.virtualAddress >= extent)
            return kNoIconFound;
        const int64_t dirFile = int64_t(resRva) - sec.virtualAddress + sec.rawPointer;
        if (dirFile < 0 || dirFile >= int64_t(image.size()))
            return kNoIconFound;
        Walk w{image, sec, uint32_t(dirFile), resSize ? resSize : extent};
        const int64_t found = BrowseResDir(w, 0, 0);
        if (found < 0)
            return kNoIconFound;
        iconFileOffset = found;
        return kOk;
    }
    return kNoIconFound;
}

std::string IconFileFromImage(const std::string &image)
{
    int64_t at = -1;
    if (LookForDirs(image, at) != kOk)
        return {};
    std::string f;
    const uint8_t head[22] = {0, 0, 1, 0, 1, 0,                 // icon file, one image
                              32, 32, 16, 0, 1, 0, 4, 0,        // 32 x 32, 16 colours, 1 plane, 4 bits
                              0xE8, 0x02, 0, 0, 22, 0, 0, 0};   // 744 bytes at offset 22
    f.assign(reinterpret_cast<const char *>(head), sizeof head);
    f += image.substr(static_cast<size_t>(at), kIconImageSize);
    return f;
}

} // namespace peres
