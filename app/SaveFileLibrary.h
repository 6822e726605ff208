#pragma once
// The library a bare OS/400 save file holds: ten EBCDIC bytes at a fixed
// offset of the save file's header.

#include <string>

namespace app {

inline constexpr long kSaveFileLibraryOffset = 12674;

// Translates EBCDIC bytes to the PC code page up to the first EBCDIC blank
// (0x40) or the tenth byte.
std::string ebcdicLibraryName(const unsigned char *bytes, std::size_t n);

// Reads the library name from a save file; false (and "Cannot open file.\n"
// on stderr) when the file cannot be opened. A file too short for the
// header gives the name of the bytes it has.
bool saveFileLibrary(const std::string &path, std::string &library);

} // namespace app
