#pragma once
// The bare save file reader lives with the jobs; the wizard uses it by the
// names it always had.

#include "jobs/SaveFile.h"

namespace app {
using jobs::ebcdicLibraryName;
using jobs::kSaveFileLibraryOffset;
using jobs::saveFileLibrary;
} // namespace app
