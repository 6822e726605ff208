#include "SaveFile.h"

#include "Ebcdic.h"
#include "HostStore.h"

#include <array>
#include <cstring>
#include <fstream>
#include <zlib.h>

namespace hostsim {

namespace {

constexpr char kMagic[] = "QHSAVF01"; // stored in EBCDIC at offset 0
constexpr uint32_t kFormatVersion = 1;

// Header field offsets (big-endian integers, as the host stores them).
constexpr size_t kOffVersion = 8;
constexpr size_t kOffHeaderLength = 16;
constexpr size_t kOffBlanks = 40;
constexpr size_t kOffFileLength = 48;
constexpr size_t kOffObjectCount = 56;
constexpr size_t kOffDataCrc = 60;
constexpr size_t kOffHeaderCrc = 64;
constexpr size_t kOffCommand = 68;
constexpr size_t kOffRelease = 78;
constexpr size_t kOffSavedAt = 86;
constexpr size_t kOffSystem = 100;

constexpr size_t kChunk = 256 * 1024;

void putBe(std::string &buf, size_t off, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        buf[off + static_cast<size_t>(i)] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
}

uint64_t getBe(const std::string &buf, size_t off, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<uint8_t>(buf[off + static_cast<size_t>(i)]);
    return v;
}

uint32_t crcOf(uint32_t crc, const char *data, size_t len)
{
    return static_cast<uint32_t>(::crc32(crc, reinterpret_cast<const Bytef *>(data), static_cast<uInt>(len)));
}

uint32_t headerCrc(std::string header)
{
    putBe(header, kOffHeaderCrc, 0, 4);
    return crcOf(0, header.data(), header.size());
}

struct Releases {
    const char *name;
    uint8_t code;
};
// The descriptor's release byte: 0x44 is V5R4, the later releases follow on.
constexpr Releases kReleases[] = {
    {"V5R4M0", 0x44}, {"V6R1M0", 0x45}, {"V7R1M0", 0x46}, {"V7R2M0", 0x47},
    {"V7R3M0", 0x48}, {"V7R4M0", 0x49}, {"V7R5M0", 0x4A}, {"V7R6M0", 0x4B},
};

} // namespace

uint8_t releaseByte(const std::string &release)
{
    for (const auto &r : kReleases)
        if (release == r.name)
            return r.code;
    return 0;
}

bool writeSaveFile(const fs::path &target, const SaveFileInfo &info, const std::vector<ObjectSource> &sources,
                   std::string *error)
{
    const fs::path tmp = HostStore::tempPathFor(target);
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    auto failed = [&](const std::string &why) {
        out.close();
        std::error_code ec;
        fs::remove(tmp, ec);
        if (error)
            *error = why;
        return false;
    };
    if (!out)
        return failed("cannot create " + tmp.string());

    std::string header(kSavfHeaderLength, '\0');
    out.write(header.data(), static_cast<std::streamsize>(header.size()));

    uint32_t dataCrc = 0;
    uint64_t dataLength = 0;
    std::vector<char> buf(kChunk);
    auto emit = [&](const char *data, size_t len) {
        out.write(data, static_cast<std::streamsize>(len));
        dataCrc = crcOf(dataCrc, data, len);
        dataLength += len;
    };
    for (const auto &src : sources) {
        std::ifstream in(src.path, std::ios::binary);
        if (!in)
            return failed("cannot read " + src.path.string());
        std::error_code ec;
        const uint64_t size = fs::file_size(src.path, ec);
        if (ec)
            return failed("cannot read " + src.path.string());
        std::string entry(kSavfEntryHeaderLength, '\0');
        entry.replace(0, 10, ebcdicField(src.name, 10));
        entry.replace(10, 10, ebcdicField(src.type, 10));
        entry.replace(20, 10, ebcdicField(src.attribute, 10));
        putBe(entry, 32, size, 8);
        emit(entry.data(), entry.size());
        uint64_t left = size;
        while (left > 0) {
            in.read(buf.data(), static_cast<std::streamsize>(std::min<uint64_t>(left, buf.size())));
            const auto got = static_cast<size_t>(in.gcount());
            if (got == 0)
                return failed("object changed while saved: " + src.path.string());
            emit(buf.data(), got);
            left -= got;
        }
    }
    if (const size_t rest = dataLength % kSavfRecordLength; rest != 0) {
        const std::string pad(kSavfRecordLength - rest, '\0');
        emit(pad.data(), pad.size());
    }

    const std::string blanks(8, '\x40');
    header.replace(0, 8, toEbcdic(kMagic));
    putBe(header, kOffVersion, kFormatVersion, 4);
    putBe(header, kOffHeaderLength, kSavfHeaderLength, 4);
    header.replace(kOffBlanks, 8, blanks);
    putBe(header, kOffFileLength, kSavfHeaderLength + dataLength, 8);
    putBe(header, kOffObjectCount, sources.size(), 4);
    putBe(header, kOffDataCrc, dataCrc, 4);
    header.replace(kOffCommand, 10, ebcdicField(info.command, 10));
    header.replace(kOffRelease, 8, ebcdicField(info.release, 8));
    header.replace(kOffSavedAt, 14, ebcdicField(info.savedAt, 14));
    header.replace(kOffSystem, 10, ebcdicField(info.system, 10));
    // The save/restore descriptor space as file(1) and other tools find it.
    header[kSavfDescriptorOffset] = '\x19';
    header[kSavfDescriptorOffset + 1] = '\xDB';
    header.replace(kSavfDescriptorOffset + 2, 8, toEbcdic("QSRDSSPC"));
    header[kSavfDescriptorOffset + 212] = info.command == "SAVOBJ" ? '\x01' : '\x02';
    header[kSavfDescriptorOffset + 213] = static_cast<char>(releaseByte(info.release));
    header.replace(kSavfLibraryOffset, 10, ebcdicField(info.library, 10));
    putBe(header, kOffHeaderCrc, headerCrc(header), 4);

    out.seekp(0);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.flush();
    if (!out)
        return failed("cannot write " + tmp.string());
    out.close();
    std::error_code ec;
    // The save file keeps its authority (CRTSAVF AUT) when it is rewritten.
    const auto st = fs::status(target, ec);
    if (!ec && fs::exists(st))
        fs::permissions(tmp, st.permissions(), fs::perm_options::replace, ec);
    fs::rename(tmp, target, ec);
    if (ec)
        return failed("cannot replace " + target.string());
    return true;
}

std::optional<SaveFileInfo> readSaveFile(const fs::path &file, std::string *reason)
{
    auto damaged = [&](const std::string &why) -> std::optional<SaveFileInfo> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    std::error_code ec;
    const uint64_t size = fs::file_size(file, ec);
    if (ec)
        return damaged("the save file cannot be read");
    if (size % kSavfRecordLength != 0)
        return damaged("its size is not a multiple of the 528-byte record length");
    if (size < kSavfHeaderLength)
        return damaged("it is shorter than a save file header");
    std::ifstream in(file, std::ios::binary);
    std::string header(kSavfHeaderLength, '\0');
    in.read(header.data(), static_cast<std::streamsize>(header.size()));
    if (in.gcount() != static_cast<std::streamsize>(header.size()))
        return damaged("the save file cannot be read");
    if (header.compare(0, 8, toEbcdic(kMagic)) != 0 || getBe(header, kOffVersion, 4) != kFormatVersion ||
        getBe(header, kOffHeaderLength, 4) != kSavfHeaderLength)
        return damaged("the save file header is not valid");
    if (getBe(header, kOffHeaderCrc, 4) != headerCrc(header))
        return damaged("the save file header is damaged (checksum mismatch)");
    if (getBe(header, kOffFileLength, 8) != size)
        return damaged("the save file length does not match its header");

    SaveFileInfo info;
    info.library = ebcdicFieldText(header.data() + kSavfLibraryOffset, 10);
    info.command = ebcdicFieldText(header.data() + kOffCommand, 10);
    info.release = ebcdicFieldText(header.data() + kOffRelease, 8);
    info.savedAt = ebcdicFieldText(header.data() + kOffSavedAt, 14);
    info.system = ebcdicFieldText(header.data() + kOffSystem, 10);
    const uint64_t count = getBe(header, kOffObjectCount, 4);
    const uint32_t expectedCrc = static_cast<uint32_t>(getBe(header, kOffDataCrc, 4));

    // One pass over the data: check the CRC and walk the entries.
    uint32_t crc = 0;
    uint64_t pos = kSavfHeaderLength;
    std::vector<char> buf(kChunk);
    std::string entry;
    uint64_t skip = 0; // data bytes of the current object still to pass
    while (pos < size) {
        in.read(buf.data(), static_cast<std::streamsize>(std::min<uint64_t>(buf.size(), size - pos)));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0)
            return damaged("the save file cannot be read");
        crc = crcOf(crc, buf.data(), got);
        size_t i = 0;
        while (i < got) {
            if (skip > 0) {
                const auto n = static_cast<size_t>(std::min<uint64_t>(skip, got - i));
                skip -= n;
                i += n;
                continue;
            }
            if (info.objects.size() == count) {
                // Padding after the last object must be zeros.
                for (; i < got; ++i)
                    if (buf[i] != '\0')
                        return damaged("unexpected data after the last object");
                break;
            }
            const size_t n = std::min(kSavfEntryHeaderLength - entry.size(), got - i);
            entry.append(buf.data() + i, n);
            i += n;
            if (entry.size() == kSavfEntryHeaderLength) {
                SavedObject obj;
                obj.name = ebcdicFieldText(entry.data(), 10);
                obj.type = ebcdicFieldText(entry.data() + 10, 10);
                obj.attribute = ebcdicFieldText(entry.data() + 20, 10);
                obj.size = getBe(entry, 32, 8);
                obj.offset = pos + i;
                if (obj.offset + obj.size > size || obj.offset + obj.size < obj.offset)
                    return damaged("an object runs past the end of the save file");
                skip = obj.size;
                info.objects.push_back(std::move(obj));
                entry.clear();
            }
        }
        pos += got;
    }
    if (crc != expectedCrc)
        return damaged("the saved data is damaged (checksum mismatch)");
    if (info.objects.size() != count || skip != 0 || !entry.empty())
        return damaged("the save file holds fewer objects than its header says");
    return info;
}

bool extractObject(const fs::path &savf, const SavedObject &object, const fs::path &target, std::string *error)
{
    std::ifstream in(savf, std::ios::binary);
    const fs::path tmp = HostStore::tempPathFor(target);
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    auto failed = [&](const std::string &why) {
        out.close();
        std::error_code ec;
        fs::remove(tmp, ec);
        if (error)
            *error = why;
        return false;
    };
    if (!in || !out)
        return failed("cannot open files for " + target.string());
    in.seekg(static_cast<std::streamoff>(object.offset));
    std::vector<char> buf(kChunk);
    uint64_t left = object.size;
    while (left > 0) {
        in.read(buf.data(), static_cast<std::streamsize>(std::min<uint64_t>(left, buf.size())));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0)
            return failed("save file ended early");
        out.write(buf.data(), static_cast<std::streamsize>(got));
        left -= got;
    }
    out.flush();
    if (!out)
        return failed("cannot write " + target.string());
    out.close();
    std::error_code ec;
    // The save file keeps its authority (CRTSAVF AUT) when it is rewritten.
    const auto st = fs::status(target, ec);
    if (!ec && fs::exists(st))
        fs::permissions(tmp, st.permissions(), fs::perm_options::replace, ec);
    fs::rename(tmp, target, ec);
    if (ec)
        return failed("cannot replace " + target.string());
    return true;
}

} // namespace hostsim
