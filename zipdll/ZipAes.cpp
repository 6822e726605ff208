#include "ZipAes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace zipdll {

bool findAesExtra(std::string_view extra, AesExtra &out)
{
    const auto *p = reinterpret_cast<const uint8_t *>(extra.data());
    size_t i = 0;
    while (i + 4 <= extra.size()) {
        const uint16_t id = static_cast<uint16_t>(p[i] | p[i + 1] << 8);
        const size_t len = static_cast<size_t>(p[i + 2] | p[i + 3] << 8);
        if (i + 4 + len > extra.size())
            return false;
        if (id == kExtraAes) {
            const uint8_t *f = p + i + 4;
            if (len < 7 || f[2] != 'A' || f[3] != 'E')
                return false;
            out.vendorVersion = static_cast<uint16_t>(f[0] | f[1] << 8);
            out.strength = f[4];
            out.method = static_cast<uint16_t>(f[5] | f[6] << 8);
            return (out.vendorVersion == 1 || out.vendorVersion == 2) && aesSaltSize(out.strength) != 0;
        }
        i += 4 + len;
    }
    return false;
}

std::string makeAesExtra(uint16_t realMethod)
{
    const char f[11] = {static_cast<char>(kExtraAes & 0xFF), static_cast<char>(kExtraAes >> 8), 7, 0, 2, 0, 'A', 'E',
                        kAes256, static_cast<char>(realMethod & 0xFF), static_cast<char>(realMethod >> 8)};
    return std::string(f, sizeof f);
}

std::string aesDescription(const AesExtra &a)
{
    if (!aesSaltSize(a.strength))
        return {};
    return "AES-" + std::to_string(64 + 64 * a.strength) + " (AE-" + std::to_string(a.vendorVersion) + ")";
}

void wipe(std::string &s)
{
    if (!s.empty())
        OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

AesCipher::~AesCipher()
{
    EVP_CIPHER_CTX_free(aes_); // clears the key schedule
    EVP_MAC_CTX_free(mac_);
    OPENSSL_cleanse(stream_, sizeof stream_);
}

bool AesCipher::derive(std::string_view password, int strength, const uint8_t *salt, uint8_t verifier[2])
{
    const size_t keyLen = aesKeySize(strength);
    uint8_t keys[2 * 32 + 2];
    const size_t total = 2 * keyLen + 2;
    bool ok = PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                                     static_cast<int>(aesSaltSize(strength)), kAesKdfIterations,
                                     static_cast<int>(total), keys) == 1;
    const EVP_CIPHER *cipher = strength == 1 ? EVP_aes_128_ecb() : strength == 2 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    if (ok) {
        aes_ = EVP_CIPHER_CTX_new();
        ok = aes_ && EVP_EncryptInit_ex(aes_, cipher, nullptr, keys, nullptr) == 1 &&
             EVP_CIPHER_CTX_set_padding(aes_, 0) == 1;
    }
    if (ok) {
        EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        mac_ = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
        EVP_MAC_free(hmac);
        char digest[] = "SHA1";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
        ok = mac_ && EVP_MAC_init(mac_, keys + keyLen, keyLen, params) == 1;
    }
    verifier[0] = keys[2 * keyLen];
    verifier[1] = keys[2 * keyLen + 1];
    OPENSSL_cleanse(keys, sizeof keys);
    counterLo_ = counterHi_ = 0;
    streamPos_ = kStream;
    return ok;
}

bool AesCipher::open(std::string_view password, int strength, const uint8_t *salt, const uint8_t *verifier)
{
    if (!aesSaltSize(strength) || aes_)
        return false;
    uint8_t v[2];
    if (!derive(password, strength, salt, v))
        return false;
    return CRYPTO_memcmp(v, verifier, 2) == 0;
}

bool AesCipher::create(std::string_view password, int strength, std::string &header)
{
    const size_t saltLen = aesSaltSize(strength);
    uint8_t salt[16];
    if (!saltLen || aes_ || RAND_bytes(salt, static_cast<int>(saltLen)) != 1)
        return false;
    uint8_t v[2];
    if (!derive(password, strength, salt, v))
        return false;
    header.assign(reinterpret_cast<const char *>(salt), saltLen);
    header.append(reinterpret_cast<const char *>(v), 2);
    return true;
}

// Counter blocks 1, 2, 3, ... as 128-bit little-endian numbers.
void AesCipher::refill()
{
    for (size_t i = 0; i < kStream; i += 16) {
        if (++counterLo_ == 0)
            ++counterHi_;
        for (int b = 0; b < 8; ++b) {
            blocks_[i + static_cast<size_t>(b)] = static_cast<uint8_t>(counterLo_ >> (8 * b));
            blocks_[i + 8 + static_cast<size_t>(b)] = static_cast<uint8_t>(counterHi_ >> (8 * b));
        }
    }
    int outLen = 0;
    EVP_EncryptUpdate(aes_, stream_, &outLen, blocks_, static_cast<int>(kStream));
    streamPos_ = 0;
}

void AesCipher::xorStream(uint8_t *data, size_t n)
{
    while (n > 0) {
        if (streamPos_ == kStream)
            refill();
        size_t k = std::min(n, kStream - streamPos_);
        const uint8_t *s = stream_ + streamPos_;
        size_t i = 0;
        for (; i + 8 <= k; i += 8) {
            uint64_t a, b;
            std::memcpy(&a, data + i, 8);
            std::memcpy(&b, s + i, 8);
            a ^= b;
            std::memcpy(data + i, &a, 8);
        }
        for (; i < k; ++i)
            data[i] ^= s[i];
        streamPos_ += k;
        data += k;
        n -= k;
    }
}

void AesCipher::encrypt(uint8_t *data, size_t n)
{
    xorStream(data, n);
    EVP_MAC_update(mac_, data, n);
}

void AesCipher::decrypt(uint8_t *data, size_t n)
{
    EVP_MAC_update(mac_, data, n);
    xorStream(data, n);
}

bool AesCipher::tag(uint8_t out[kAesTagSize])
{
    uint8_t full[EVP_MAX_MD_SIZE];
    size_t len = 0;
    const bool ok = mac_ && EVP_MAC_final(mac_, full, &len, sizeof full) == 1 && len >= kAesTagSize;
    if (ok)
        std::memcpy(out, full, kAesTagSize);
    OPENSSL_cleanse(full, sizeof full);
    return ok;
}

bool AesCipher::verify(const uint8_t stored[kAesTagSize])
{
    uint8_t mine[kAesTagSize];
    return tag(mine) && CRYPTO_memcmp(mine, stored, kAesTagSize) == 0;
}

} // namespace zipdll
