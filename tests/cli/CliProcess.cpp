#include "CliProcess.h"

#include "support/TestFiles.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace clitest {

CliProcess::CliProcess(const std::string &dir, const std::vector<std::string> &args,
                       const std::vector<std::string> &env)
    : outPath_(dir + "/cli-stdout.txt"), errPath_(dir + "/cli-stderr.txt")
{
    std::vector<std::string> argv{std::string(QUELLON_BIN_DIR) + "/quellon-cli"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        for (const auto &e : env)
            ::putenv(const_cast<char *>(e.c_str()));
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setsid(); // no terminal: nothing to prompt on
        std::vector<char *> p;
        for (auto &a : argv)
            p.push_back(a.data());
        p.push_back(nullptr);
        ::execv(p[0], p.data());
        ::_exit(127);
    }
}

CliProcess::~CliProcess()
{
    if (pid_ > 0)
        finish(100);
}

bool CliProcess::waitFor(const std::string &text, int timeoutMs, bool onStderr) const
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if ((onStderr ? err() : out()).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void CliProcess::signal(int sig) const { ::kill(pid_, sig); }

int CliProcess::finish(int timeoutMs)
{
    for (int waited = 0; pid_ > 0 && waited <= timeoutMs; waited += 5) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return -1;
}

std::string CliProcess::out() const { return testsupport::readFile(outPath_); }
std::string CliProcess::err() const { return testsupport::readFile(errPath_); }

CliResult runCli(const std::string &dir, const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    CliProcess p(dir, args, env);
    CliResult r;
    r.status = p.finish();
    r.out = p.out();
    r.err = p.err();
    return r;
}

std::vector<std::string> folderNames(const std::string &folder)
{
    std::vector<std::string> out;
    if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && n.rfind("cli-std", 0) != 0)
                out.push_back(n);
        }
        ::closedir(d);
    }
    return out;
}

} // namespace clitest
