#pragma once
// How a listed member is encrypted, for listings and for deciding whether
// an archive needs a password.

#include "zip/ZipBuilder.h"

#include <string>

// "" when the member is not encrypted; "ZipCrypto", "AES-256 (AE-2)" and
// the like; "unsupported encryption" for PKWARE strong encryption or an AES
// member whose 0x9901 field is missing or malformed.
std::string ZipEncryptionName(const ZipDirEntry &e);

// The method a member's data is compressed with once decrypted: for WinZip
// AES the one its 0x9901 field names.
uint16_t ZipRealMethod(const ZipDirEntry &e);
