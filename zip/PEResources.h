#pragma once
// The resource tree of a Windows PE program: finds the stub's 32 x 32,
// 16-colour icon image (type 3, name 1, any language, 744 bytes) so that a
// self-extractor can carry another icon.

#include <cstdint>
#include <string>

namespace peres {

constexpr uint32_t kIconImageSize = 744; // BITMAPINFOHEADER + 16 colours + XOR and AND masks
constexpr uint32_t kIconFileSize = 766;  // icon file: 6-byte header, one 16-byte entry, the image

enum : int { kOk = 0, kIconWrongSize = 244, kIconException = 245, kNoIconFound = 246 };

// Looks for the icon image in `image` (the program's bytes). Returns kOk and
// its file offset, or kNoIconFound (no "MZ", no PE header, no ".rsrc"
// section holding the resource directory, or no 744-byte icon).
int LookForDirs(const std::string &image, int64_t &iconFileOffset);

// The icon file (766 bytes) for the image at `offset`, or "" when there is none.
std::string IconFileFromImage(const std::string &image);

} // namespace peres
