#pragma once
#include <string>
#include <vector>

namespace app {

// The program entry after the application object exists: creates the main
// window, refuses an unusable command line (message Qln0005, status 0 without
// a window), otherwise shows the wizard and runs the message loop. Whatever
// escapes goes to the application's exception display; the result is 0.
int runProgram(const std::vector<std::string> &args);

} // namespace app
