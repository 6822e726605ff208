#pragma once
// The library a bare OS/400 save file holds: ten EBCDIC bytes at a fixed
// offset of the save file's header.

#include <cstddef>
#include <string>

namespace jobs {

inline constexpr long kSaveFileLibraryOffset = 12674;
inline constexpr long kSaveFileLibraryEnd = kSaveFileLibraryOffset + 10;
// A save file is moved as whole records of this size.
inline constexpr long kSaveFileRecordLength = 528;

// Translates EBCDIC bytes to the PC code page up to the first EBCDIC blank
// (0x40) or the tenth byte.
std::string ebcdicLibraryName(const unsigned char *bytes, std::size_t n);

// Reads the library name from a save file; false (and "Cannot open file.\n"
// on stderr) when the file cannot be opened. A file that ends before the end
// of the name field holds no header: the name is empty and `tooShort` (when
// given) is set, so the caller can say so instead of showing a partial name.
bool saveFileLibrary(const std::string &path, std::string &library, bool *tooShort = nullptr);

// What is wrong with a downloaded save file, in words; empty when nothing
// is. A save file is a whole number of 528-byte records, and one that holds
// a save (`expectData`) is not empty.
std::string saveFileProblem(const std::string &path, bool expectData);
// The same for a save file of `size` bytes that was never on disk.
std::string saveFileSizeProblem(long long size, bool expectData);

} // namespace jobs
