#pragma once
// EBCDIC code page 37, the host's character set for names, save file
// headers and database records.

#include <cstdint>
#include <string>

namespace hostsim {

// Byte tables between code page 37 and ISO 8859-1.
uint8_t ebcdicToLatin1(uint8_t c);
uint8_t latin1ToEbcdic(uint8_t c);

// Text (UTF-8) to EBCDIC; characters outside Latin-1 become the EBCDIC
// substitute character 0x3F, as the host's conversion does.
std::string toEbcdic(const std::string &utf8);
// EBCDIC to UTF-8.
std::string fromEbcdic(const std::string &ebcdic);

// A name padded with EBCDIC blanks to `width` bytes (cut when longer).
std::string ebcdicField(const std::string &text, size_t width);
// A field read back: EBCDIC to text, trailing blanks removed.
std::string ebcdicFieldText(const char *data, size_t width);

} // namespace hostsim
