#include "zip/ZipEncryption.h"

namespace {

constexpr uint16_t kMethodAes = 99;
constexpr uint16_t kExtraAes = 0x9901;

struct Aes {
    bool found = false;
    uint16_t version = 0, method = 0;
    int strength = 0;
};

// The 0x9901 field: vendor version, "AE", strength 1..3, real method.
Aes findAes(const std::vector<uint8_t> &x)
{
    Aes a;
    for (size_t i = 0; i + 4 <= x.size();) {
        const uint16_t id = static_cast<uint16_t>(x[i] | x[i + 1] << 8);
        const size_t len = static_cast<size_t>(x[i + 2] | x[i + 3] << 8);
        if (i + 4 + len > x.size())
            break;
        if (id == kExtraAes && len >= 7 && x[i + 6] == 'A' && x[i + 7] == 'E') {
            a.version = static_cast<uint16_t>(x[i + 4] | x[i + 5] << 8);
            a.strength = x[i + 8];
            a.method = static_cast<uint16_t>(x[i + 9] | x[i + 10] << 8);
            a.found = (a.version == 1 || a.version == 2) && a.strength >= 1 && a.strength <= 3;
            break;
        }
        i += 4 + len;
    }
    return a;
}

} // namespace

std::string ZipEncryptionName(const ZipDirEntry &e)
{
    if (!(e.Flag & 1))
        return {};
    if (e.CompressionMethod == kMethodAes) {
        const Aes a = findAes(e.ExtraData);
        if (!a.found)
            return "unsupported encryption";
        return "AES-" + std::to_string(64 + 64 * a.strength) + " (AE-" + std::to_string(a.version) + ")";
    }
    return (e.Flag & 0x40) ? "unsupported encryption" : "ZipCrypto";
}

uint16_t ZipRealMethod(const ZipDirEntry &e)
{
    if (e.CompressionMethod == kMethodAes)
        if (const Aes a = findAes(e.ExtraData); a.found)
            return a.method;
    return e.CompressionMethod;
}
