#include "cli/CliCommon.h"

namespace cli {

int runFtp(int, char **)
{
    error("'ftp' is not available in this build");
    return kFailed;
}

} // namespace cli
