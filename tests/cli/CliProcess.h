#pragma once
// quellon-cli as a process: its stdout and stderr in files, an environment
// of the test's choosing, optionally a pseudo-terminal as its terminal.

#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

class CliProcess {
public:
    // Starts quellon-cli with `args`; `env` entries are NAME=VALUE added to
    // (or replacing in) the test's environment. stdout and stderr go to
    // files in `dir`.
    CliProcess(const std::string &dir, const std::vector<std::string> &args,
               const std::vector<std::string> &env = {});
    ~CliProcess();

    // Waits until stdout (or stderr) has `text` or `timeoutMs` passed.
    bool waitFor(const std::string &text, int timeoutMs = 30000, bool onStderr = false) const;
    void signal(int sig) const;
    // The exit status (128 + signal when killed by one), or -1 after
    // `timeoutMs` (the process is killed then).
    int finish(int timeoutMs = 60000);
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
};

// Runs quellon-cli to its end; stdout and stderr kept apart.
struct CliResult {
    int status = -1;
    std::string out, err;
};
CliResult runCli(const std::string &dir, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {});

// The names in `folder`, dot files included.
std::vector<std::string> folderNames(const std::string &folder);

} // namespace clitest
