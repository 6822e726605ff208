#pragma once
// What every quellon-cli sub-command shares: exit statuses, passwords from the
// environment or a file, progress on stderr.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli
{

enum Exit : int { kOk = 0, kFailed = 1, kUsage = 2 };

// One clear line on stderr: "quellon-cli: <what>".
void error(const std::string &what);
// The last line error() printed, for --json's "error"; empty before.
const std::string &lastError();

// A reply or message without its line end.
std::string trimLineEnd(std::string s);

// --password-env and --password-file exclude each other; false after a
// usage error line of `command`.
bool passwordOptionsOk(const std::string &command, const std::string &envVar, const std::string &file);

// The password: from --password-env VAR, from --password-file FILE (its
// first line; "-" reads standard input; a file others may read gets a
// warning), else asked once at the terminal without echo, with `prompt`, as
// ssh does. Nothing (after an error line) when none of them gives one.
std::optional<std::string> readPassword(const std::string &envVar, const std::string &file,
                                        const std::string &prompt = {});
// Asks at the controlling terminal with `prompt`, echo off. Nothing when
// there is none (after `noTerminal` as the error line, or the one about
// --password-env) or a stop signal came.
std::optional<std::string> askAtTerminal(const std::string &prompt, const std::string &noTerminal = {});

// SIGINT and SIGTERM stop the network commands cleanly: the handler only
// notes the signal, the FTP client's waits see it (stopReason) and end, the
// partial files go. A second signal ends the process at once.
void catchStopSignals();
// 0, or the signal that asked to stop.
int stopSignal();
// "stopped by SIGINT" once a signal came; empty before.
std::string stopReason();
// The exit status after a stop: 128 + the signal (130, 143); `rc` otherwise.
int exitStatus(int rc);

// The default --timeout of the host commands, in milliseconds.
int defaultTimeout();

// Sizes as people read them: "512 bytes", "1.5 KiB", "12.3 MiB", "2.0 GiB".
std::string sizeText(int64_t bytes);

// Progress on stderr: only when stderr is a terminal, or when forced; never
// when not `allowed` (-q). One line, redrawn: percentage, sizes, the rate
// and the time left once they mean something.
class Progress
{
public:
    explicit Progress(bool force = false, bool allowed = true);
    ~Progress();
    bool enabled() const { return enabled_; }
    void start(const std::string &label, int64_t total); // total <= 0: unknown
    void update(int64_t done, bool force = false);       // force: print even within the rate limit
    void finish();

private:
    bool enabled_;
    std::string label_;
    int64_t total_ = 0;
    int64_t last_ = -1;    // drawn last
    int64_t pending_ = 0;  // given last
    int64_t lastMs_ = 0;
    int64_t startMs_ = 0;
    std::size_t width_ = 0; // of the line drawn last, to blank its rest
    bool open_ = false;
};

// Sub-command entry points: argv[0] is the sub-command's name.
int runFtp(int argc, char **argv);
int runZip(int argc, char **argv);
int runSave(int argc, char **argv);
int runRestore(int argc, char **argv);
int runInfo(int argc, char **argv);

} // namespace cli
