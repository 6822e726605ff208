#include "cli/CliCommon.h"

#include "net/NMFtp.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace cli
{

std::string trimLineEnd(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

namespace
{
std::string g_lastError;
}

void error(const std::string &what)
{
    std::fprintf(stderr, "quellon-cli: %s\n", what.c_str());
    // Indented lines are the reasons under the line they belong to.
    if (what.rfind("  ", 0) != 0)
        g_lastError = what;
}

const std::string &lastError()
{
    return g_lastError;
}

std::optional<std::string> readPassword(const std::string &envVar, const std::string &file)
{
    if (!envVar.empty()) {
        const char *v = std::getenv(envVar.c_str());
        if (!v) {
            error("environment variable " + envVar + " is not set");
            return std::nullopt;
        }
        return std::string(v);
    }
    if (!file.empty()) {
        std::ifstream in(file);
        if (!in) {
            error("cannot read password file " + file);
            return std::nullopt;
        }
        std::string line;
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    error("no password given: use --password-env VAR or --password-file FILE");
    return std::nullopt;
}

namespace
{
volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void noteStopSignal(int sig)
{
    g_stopSignal = sig;
}
} // namespace

void catchStopSignals()
{
    struct sigaction sa {
    };
    sa.sa_handler = noteStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND; // the second signal is not caught
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

int stopSignal()
{
    return g_stopSignal;
}

std::string stopReason()
{
    switch (g_stopSignal) {
    case 0:
        return {};
    case SIGINT:
        return "stopped by SIGINT";
    case SIGTERM:
        return "stopped by SIGTERM";
    default:
        return "stopped by signal " + std::to_string(g_stopSignal);
    }
}

int exitStatus(int rc)
{
    return g_stopSignal ? 128 + g_stopSignal : rc;
}

int defaultTimeout()
{
    return kDefaultReplyTimeOut;
}

namespace
{
int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

Progress::Progress(bool force) : enabled_(force || ::isatty(STDERR_FILENO)) {}
Progress::~Progress()
{
    finish();
}

void Progress::start(const std::string &label, int64_t total)
{
    finish();
    label_ = label;
    total_ = total;
    last_ = -1;
    lastMs_ = 0;
    open_ = enabled_;
    update(0);
}

void Progress::update(int64_t done, bool force)
{
    if (!open_)
        return;
    int64_t t = nowMs();
    if (!force && done != total_ && t - lastMs_ < 100)
        return;
    lastMs_ = t;
    last_ = done;
    if (total_ > 0)
        std::fprintf(stderr, "\r%s: %3d%% (%lld of %lld bytes)", label_.c_str(),
                     static_cast<int>(done * 100 / total_), static_cast<long long>(done),
                     static_cast<long long>(total_));
    else
        std::fprintf(stderr, "\r%s: %lld bytes", label_.c_str(), static_cast<long long>(done));
    std::fflush(stderr);
}

void Progress::finish()
{
    if (!open_)
        return;
    std::fprintf(stderr, "\n");
    open_ = false;
}

} // namespace cli
