#pragma once
// WinZip AES encryption of one member (AE-1 and AE-2, AES-128/192/256):
// compression method 99, the real method in the 0x9901 extra field, member
// data = salt, 2-byte password verifier, AES-CTR data, 10-byte HMAC-SHA1
// code over the encrypted data (encrypt-then-MAC).
//
// Keys come from PBKDF2-HMAC-SHA1 with 1000 iterations and a random salt per
// member. The format fixes that cost, so every reader can open the archive;
// what protects the data against guessing is the length of the password.
// AES-CTR here is WinZip's: a 16-byte little-endian block counter starting
// at 1, which OpenSSL's big-endian CTR mode cannot produce, so the key
// stream is made with AES-ECB over counter blocks (AES-NI through OpenSSL).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace zipdll {

constexpr uint16_t kMethodAes = 99;
constexpr uint16_t kExtraAes = 0x9901;
constexpr uint16_t kVersionAes = 51; // APPNOTE 4.4.3.2: AES encryption
constexpr int kAesKdfIterations = 1000;
constexpr size_t kAesVerifierSize = 2;
constexpr size_t kAesTagSize = 10;
constexpr int kAes256 = 3; // strength code of the 0x9901 field

// The 0x9901 field: vendor version 1 (AE-1) or 2 (AE-2), strength 1/2/3 for
// AES-128/192/256, and the compression method of the data once decrypted.
struct AesExtra {
    uint16_t vendorVersion = 0;
    int strength = 0;
    uint16_t method = 0;
};

// Finds a well-formed 0x9901 field in an extra block (vendor "AE", a known
// version and strength). false when there is none or it is malformed.
bool findAesExtra(std::string_view extra, AesExtra &out);
// The field our writer stores: AE-2, AES-256, the given real method.
std::string makeAesExtra(uint16_t realMethod);

inline size_t aesSaltSize(int strength) { return strength >= 1 && strength <= 3 ? 4 + 4 * static_cast<size_t>(strength) : 0; }
inline size_t aesKeySize(int strength) { return 8 + 8 * static_cast<size_t>(strength); }
// Bytes the encryption adds to a member: salt, verifier, authentication code.
inline size_t aesOverhead(int strength) { return aesSaltSize(strength) + kAesVerifierSize + kAesTagSize; }

// "AES-256 (AE-2)" and the like, for listings; empty when not AES.
std::string aesDescription(const AesExtra &a);

// Overwrites a password or key held in a string, then empties it.
void wipe(std::string &s);

// Keys of one member. The keys and the MAC state are wiped when it goes.
class AesCipher {
public:
    AesCipher() = default;
    ~AesCipher();
    AesCipher(const AesCipher &) = delete;
    AesCipher &operator=(const AesCipher &) = delete;

    // Reading: derives the keys from the password and the member's salt.
    // false when the password verifier does not match (wrong password) or
    // the crypto library fails.
    bool open(std::string_view password, int strength, const uint8_t *salt, const uint8_t *verifier);
    // Writing: picks a random salt and derives the keys; `header` receives
    // salt and verifier, the bytes that go in front of the data.
    bool create(std::string_view password, int strength, std::string &header);

    void encrypt(uint8_t *data, size_t n); // encrypts, then authenticates
    void decrypt(uint8_t *data, size_t n); // authenticates, then decrypts
    // The authentication code of everything passed so far.
    bool tag(uint8_t out[kAesTagSize]);
    // Constant-time comparison with the stored code.
    bool verify(const uint8_t stored[kAesTagSize]);

private:
    bool derive(std::string_view password, int strength, const uint8_t *salt, uint8_t verifier[2]);
    void xorStream(uint8_t *data, size_t n);
    void refill();

    EVP_CIPHER_CTX *aes_ = nullptr;
    EVP_MAC_CTX *mac_ = nullptr;
    uint64_t counterLo_ = 0, counterHi_ = 0;
    static constexpr size_t kStream = 16 * 1024; // key stream made per ECB call
    alignas(16) uint8_t stream_[kStream];
    alignas(16) uint8_t blocks_[kStream];
    size_t streamPos_ = kStream;
};

} // namespace zipdll
