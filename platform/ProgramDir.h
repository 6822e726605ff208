#pragma once
#include <string>

namespace platform {

// The folder of the program file with a trailing '/': the data files, the zip
// libraries and the self-extractor stub live there. An installed program
// whose folder lacks the data files (/usr/bin) gets ../lib/quellon/ instead.
std::string programDir();
// Tests and tools point it elsewhere; "" restores the real one.
void setProgramDir(const std::string &dir);

} // namespace platform
