#include "cli/CliCommon.h"

namespace cli {

int runSave(int, char **)
{
    error("'save' is not available in this build");
    return kFailed;
}

int runRestore(int, char **)
{
    error("'restore' is not available in this build");
    return kFailed;
}

int runInfo(int, char **)
{
    error("'info' is not available in this build");
    return kFailed;
}

} // namespace cli
