#pragma once
// quellon-cli as a process without a terminal: stdout and stderr in files,
// NAME=VALUE entries added to the environment. QUELLON_TEST_FSIZE=N is no
// variable: it caps the size of every file the program writes at N bytes,
// as a disk that fills.

#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

class CliProcess {
public:
    CliProcess(const std::string &dir, const std::vector<std::string> &args,
               const std::vector<std::string> &env = {});
    ~CliProcess() { finish(100); }
    // Waits until stdout has `text` (at most `timeoutMs`).
    bool waitFor(const std::string &text, int timeoutMs = 30000) const;
    void signal(int sig) const;
    // The exit status (128 + signal when killed by one), or -1 after
    // `timeoutMs` (the process is killed then).
    int finish(int timeoutMs = 60000);
    // The exit status once it has ended, else -1 (it runs on).
    int poll();
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
};

struct CliResult {
    int status = -1;
    std::string out, err;
};
CliResult runCli(const std::string &dir, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {});

// The names in `folder` but the run's own output files.
std::vector<std::string> folderNames(const std::string &folder);

} // namespace clitest
