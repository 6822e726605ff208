#include "cli/CliCommon.h"

namespace cli {

int runZip(int, char **)
{
    error("'zip' is not available in this build");
    return kFailed;
}

} // namespace cli
