#include "cli/CliCommon.h"

#include "cli/CliUsage.h"
#include "net/NMFtp.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sys/stat.h>
#include <termios.h>
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

bool passwordOptionsOk(const std::string &command, const std::string &envVar, const std::string &file)
{
    if (!envVar.empty() && !file.empty()) {
        usageError(command, "--password-env and --password-file exclude each other; give one");
        return false;
    }
    return true;
}

namespace
{

std::string firstLine(std::istream &in)
{
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

// Asks at the controlling terminal, echo off; the terminal is set back
// however the answer ends (a stop signal included).
std::optional<std::string> askAtTerminal(const std::string &prompt, const std::string &noTerminal)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        error(noTerminal.empty() ? "no password given: use --password-env VAR or --password-file FILE (or run at a "
                                   "terminal to be asked)"
                                 : noTerminal);
        return std::nullopt;
    }
    catchStopSignals();
    termios saved {};
    const bool isTerm = ::tcgetattr(tty, &saved) == 0;
    if (isTerm) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    (void)!::write(tty, prompt.data(), prompt.size());
    std::string answer;
    bool ended = false;
    char c;
    while (!ended) {
        const ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR && !stopSignal())
            continue;
        if (n <= 0 || c == '\n')
            ended = true;
        else
            answer += c;
    }
    if (isTerm)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    ::close(tty);
    if (stopSignal()) {
        error("password prompt " + stopReason());
        return std::nullopt;
    }
    if (!answer.empty() && answer.back() == '\r')
        answer.pop_back();
    return answer;
}


std::optional<std::string> readPassword(const std::string &envVar, const std::string &file, const std::string &prompt)
{
    if (!envVar.empty()) {
        const char *v = std::getenv(envVar.c_str());
        if (!v) {
            error("environment variable " + envVar + " is not set");
            return std::nullopt;
        }
        return std::string(v);
    }
    if (file == "-")
        return firstLine(std::cin);
    if (!file.empty()) {
        std::ifstream in(file);
        if (!in) {
            error("cannot read password file " + file + ": " + std::strerror(errno));
            return std::nullopt;
        }
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH))) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            std::fprintf(stderr, "quellon-cli: warning: password file %s can be read by other users (mode %s); "
                                 "chmod 600 %s\n",
                         file.c_str(), mode, file.c_str());
        }
        return firstLine(in);
    }
    return askAtTerminal(prompt.empty() ? "Password: " : prompt);
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

std::string sizeText(int64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes) / 1024;
    int u = 0;
    while (v >= 1024 && u < 3) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

namespace
{
std::string clockText(int64_t seconds)
{
    char buf[32];
    if (seconds >= 3600)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return buf;
}
} // namespace

Progress::Progress(bool force, bool allowed) : enabled_(allowed && (force || ::isatty(STDERR_FILENO))) {}
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
    pending_ = 0;
    lastMs_ = 0;
    startMs_ = nowMs();
    width_ = 0;
    open_ = enabled_;
    update(0);
}

void Progress::update(int64_t done, bool force)
{
    if (!open_)
        return;
    pending_ = done;
    const int64_t t = nowMs();
    if (done == last_ || (!force && done != total_ && t - lastMs_ < 200))
        return;
    lastMs_ = t;
    last_ = done;
    std::string line = label_ + ": ";
    if (total_ > 0)
        line += std::to_string(static_cast<int>(done * 100 / total_)) + "% " + sizeText(done) + " of " +
                sizeText(total_);
    else
        line += sizeText(done);
    // A rate and a time left only after a second of it: before, they jump.
    const int64_t ms = t - startMs_;
    if (ms >= 1000 && done > 0) {
        const int64_t rate = done * 1000 / ms;
        line += ", " + sizeText(rate) + "/s";
        if (total_ > done && rate > 0)
            line += ", " + clockText((total_ - done) / rate) + " left";
    }
    const std::size_t width = line.size();
    if (width < width_)
        line += std::string(width_ - width, ' ');
    width_ = width;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
}

void Progress::finish()
{
    if (!open_)
        return;
    // The line ends with what was really done, not with an older figure.
    update(pending_, true);
    std::fprintf(stderr, "\n");
    open_ = false;
}

} // namespace cli
