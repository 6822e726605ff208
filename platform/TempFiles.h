#pragma once
// Per-run temporary folder and unique temporary names.

#include <string>

namespace platform {

// The system's folder for temporary files, with a trailing '/'.
std::string tempPath();

// Makes a new private folder (mode 0700) in `parent` whose name starts with
// `prefix`, atomically (mkdtemp): no other local user can take the name
// between choosing and creating it. Returns the path without a trailing '/',
// or "" when it could not be made.
std::string makeRunFolder(const std::string &parent, const std::string &prefix = "_4Q");

// Removes every ordinary file in `folder`, then the folder. On failure
// returns false and puts the system's error text into `error`.
bool removeRunFolder(const std::string &folder, std::string *error);

// Creates a new empty file named PREFIX + unique + ".tmp" in `dir` with
// O_EXCL and returns its path ("" on failure).
std::string makeUniqueTempFile(const std::string &dir, const std::string &prefix);

} // namespace platform
