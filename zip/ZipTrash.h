// Moving a replaced file to the user's trash, when that is safe.
#pragma once

#include <string>

namespace ziptrash {

// Moves the file at absolute path to the home trash and returns true, or
// leaves it where it is and returns false when the home trash is missing
// or on another file system. Then the caller deletes it: a trash made on
// the fly at the top of some other file system, or half a trash written
// into the current folder, is worse than no trash.
bool moveToHomeTrash(const std::string &path);

} // namespace ziptrash
