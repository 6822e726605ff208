#pragma once
// The archive's "OEM" character set (code page 437) against this platform's
// text (UTF-8).

#include <string>

namespace codepage {

// CP437 bytes -> UTF-8. Bytes below 0x80 stay as they are.
std::string cp437ToUtf8(const std::string &in);
// UTF-8 -> CP437; characters CP437 lacks become '_'. Invalid UTF-8 bytes are
// taken as Latin-1.
std::string utf8ToCp437(const std::string &in);
bool isValidUtf8(const std::string &s);
// Windows-1252 bytes -> UTF-8 (for names that are neither UTF-8 nor OEM).
std::string cp1252ToUtf8(const std::string &in);

} // namespace codepage
