#include "hostsim/SshdProcess.h"

#include "support/TestFiles.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport
{
namespace
{

const char kSshd[] = "/usr/sbin/sshd";

std::string quoted(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

} // namespace

bool haveSshd()
{
    return ::access(kSshd, X_OK) == 0 && runCommand("command -v ssh-keygen >/dev/null") == 0;
}

SshdProcess::SshdProcess(const std::string &dir, const std::string &root,
                         const std::vector<std::string> &hostsimArgs, bool emulator)
    : dir_(dir), root_(root), hostsimArgs_(hostsimArgs), emulator_(emulator)
{
    if (!haveSshd()) {
        problem_ = "OpenSSH's sshd is not installed (Debian package openssh-server)";
        return;
    }
    if (const passwd *pw = ::getpwuid(::getuid()))
        user_ = pw->pw_name;
    // Run as root, sshd insists on its privilege separation folder, which
    // only the system service would otherwise make.
    if (::geteuid() == 0)
        ::mkdir("/run/sshd", 0755);
    const std::string client = clientSshDir();
    ::mkdir(client.c_str(), 0700);
    std::string out;
    if (runCommand("ssh-keygen -q -t ed25519 -N '' -C quellon-test -f " + quoted(client + "/id_ed25519"),
                   &out) != 0) {
        problem_ = "ssh-keygen failed: " + out;
        return;
    }
    writeFile(client + "/known_hosts", "");
    writeFile(dir_ + "/authorized_keys", readFile(client + "/id_ed25519.pub"));
    if (!makeHostKey())
        return;
    port_ = freePort();
    start();
}

SshdProcess::~SshdProcess()
{
    stop();
}

std::string SshdProcess::log() const
{
    return readFile(dir_ + "/sshd.log");
}

bool SshdProcess::makeHostKey()
{
    const std::string key = dir_ + "/host_ed25519";
    ::unlink(key.c_str());
    ::unlink((key + ".pub").c_str());
    std::string out;
    if (runCommand("ssh-keygen -q -t ed25519 -N '' -C quellon-host -f " + quoted(key), &out) != 0 ||
        runCommand("ssh-keygen -l -E sha256 -f " + quoted(key + ".pub"), &out) != 0) {
        problem_ = "ssh-keygen failed: " + out;
        return false;
    }
    // "256 SHA256:... comment (ED25519)"
    const auto start = out.find("SHA256:");
    fingerprint_ =
        start == std::string::npos ? std::string() : out.substr(start, out.find(' ', start) - start);
    return true;
}

bool SshdProcess::start()
{
    std::string force = quoted(binDir() + "quellon-hostsim") + " --ssh-command --root " + quoted(root_) +
                        " --log " + quoted(dir_ + "/commands.log");
    for (const auto &a : hostsimArgs_)
        force += " " + quoted(a);
    const std::string config = "ListenAddress 127.0.0.1\n"
                               "Port " +
                               std::to_string(port_) +
                               "\n"
                               "HostKey " +
                               dir_ +
                               "/host_ed25519\n"
                               "AuthorizedKeysFile " +
                               dir_ +
                               "/authorized_keys\n"
                               "PidFile none\n"
                               "UsePAM no\n"
                               "StrictModes no\n"
                               "PubkeyAuthentication yes\n"
                               "PasswordAuthentication no\n"
                               "KbdInteractiveAuthentication no\n"
                               "PermitRootLogin prohibit-password\n"
                               "MaxAuthTries 20\n"
                               "AllowTcpForwarding no\n"
                               "X11Forwarding no\n"
                               "PermitTTY no\n"
                               // Under the forced command the emulator sees
                               // this as the command and serves SFTP.
                               "Subsystem sftp /usr/lib/openssh/sftp-server\n" +
                               (emulator_ ? "ForceCommand " + force + "\n" : std::string());
    writeFile(dir_ + "/sshd_config", config);
    const std::string logPath = dir_ + "/sshd.log";
    writeFile(logPath, "");
    pid_ = ::fork();
    if (pid_ == 0) {
        const int log = ::open(logPath.c_str(), O_WRONLY | O_APPEND);
        ::dup2(log, STDERR_FILENO);
        ::dup2(log, STDOUT_FILENO);
        const std::string cfg = dir_ + "/sshd_config";
        ::execl(kSshd, kSshd, "-D", "-e", "-f", cfg.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (log().find("Server listening on") != std::string::npos)
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    problem_ = "sshd did not start: " + log();
    stop();
    return false;
}

bool SshdProcess::replaceHostKey()
{
    stop();
    problem_.clear();
    return makeHostKey() && start();
}

void SshdProcess::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

} // namespace testsupport
