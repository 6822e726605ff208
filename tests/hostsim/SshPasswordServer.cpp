#include "hostsim/SshPasswordServer.h"

#include "support/TestFiles.h"

#include <libssh/libssh.h>
#include <libssh/server.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace testsupport
{
namespace
{

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

// Runs `command` as sshd's forced command would and relays the channel.
void relay(ssh_channel chan, const std::string &root, const std::string &command)
{
    // Everything the child needs is made before fork: the test process has
    // other threads, so the child may only exec.
    std::vector<std::string> env{"SSH_ORIGINAL_COMMAND=" + command};
    for (char **e = environ; *e; ++e)
        if (std::string(*e).rfind("SSH_ORIGINAL_COMMAND=", 0) != 0)
            env.emplace_back(*e);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = binDir() + "quellon-hostsim";
    std::string a1 = "--ssh-command", a2 = "--root", a3 = root;
    char *argv[] = {bin.data(), a1.data(), a2.data(), a3.data(), nullptr};
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    int toChild = in[1];
    bool outOpen = true, errOpen = true;
    std::vector<char> buf(64 * 1024);
    while (outOpen || errOpen) {
        if (toChild >= 0) {
            const int n = ssh_channel_read_timeout(chan, buf.data(), static_cast<uint32_t>(buf.size()), 0, 2);
            if (n > 0) {
                for (int off = 0; off < n;) {
                    const ssize_t w = ::write(toChild, buf.data() + off, static_cast<size_t>(n - off));
                    if (w <= 0)
                        break;
                    off += static_cast<int>(w);
                }
            } else if (n < 0 || ssh_channel_is_eof(chan)) {
                ::close(toChild);
                toChild = -1;
            }
        }
        pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, toChild >= 0 ? 0 : 50) <= 0)
            continue;
        for (int k = 0; k < 2; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = ::read(p[k].fd, buf.data(), buf.size());
            if (n <= 0) {
                (k == 0 ? outOpen : errOpen) = false;
                continue;
            }
            const int w = k == 0 ? ssh_channel_write(chan, buf.data(), static_cast<uint32_t>(n))
                                 : ssh_channel_write_stderr(chan, buf.data(), static_cast<uint32_t>(n));
            if (w < 0)
                (k == 0 ? outOpen : errOpen) = false;
        }
    }
    if (toChild >= 0)
        ::close(toChild);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ssh_channel_request_send_exit_status(chan, WIFEXITED(status) ? WEXITSTATUS(status) : 255);
    ssh_channel_send_eof(chan);
    ssh_channel_close(chan);
}

} // namespace

SshPasswordServer::SshPasswordServer(const std::string &root, const std::string &user,
                                     const std::string &password, bool keyboardInteractiveOnly)
    : root_(root), user_(user), password_(password),
      methods_(keyboardInteractiveOnly ? SSH_AUTH_METHOD_INTERACTIVE
                                       : SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE)
{
    ssh_key key = nullptr;
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) {
        problem_ = "cannot make a host key";
        return;
    }
    unsigned char *hash = nullptr;
    size_t len = 0;
    ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &len);
    char *fp = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, len);
    fingerprint_ = fp ? fp : "";
    ssh_string_free_char(fp);
    ssh_clean_pubkey_hash(&hash);
    for (int attempt = 0; attempt < 5 && !bind_; ++attempt) {
        ssh_bind b = ssh_bind_new();
        int port = freePort();
        ssh_bind_options_set(b, SSH_BIND_OPTIONS_BINDADDR, "127.0.0.1");
        ssh_bind_options_set(b, SSH_BIND_OPTIONS_BINDPORT, &port);
        ssh_bind_options_set(b, SSH_BIND_OPTIONS_IMPORT_KEY, key);
        if (ssh_bind_listen(b) == SSH_OK) {
            bind_ = b;
            port_ = port;
        } else {
            problem_ = ssh_get_error(b);
            ssh_bind_free(b);
        }
    }
    if (!bind_) {
        ssh_key_free(key);
        return;
    }
    problem_.clear();
    thread_ = std::thread([this] { serve(); });
}

SshPasswordServer::~SshPasswordServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (bind_)
        ssh_bind_free(static_cast<ssh_bind>(bind_));
}

void SshPasswordServer::serve()
{
    auto b = static_cast<ssh_bind>(bind_);
    while (!stop_) {
        pollfd p{static_cast<int>(ssh_bind_get_fd(b)), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        ssh_session s = ssh_new();
        if (ssh_bind_accept(b, s) == SSH_OK)
            session(s);
        ssh_disconnect(s);
        ssh_free(s);
    }
}

void SshPasswordServer::session(void *sessionPtr)
{
    auto s = static_cast<ssh_session>(sessionPtr);
    long timeout = 10;
    ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeout);
    if (ssh_handle_key_exchange(s) != SSH_OK)
        return;
    ssh_set_auth_methods(s, methods_);
    bool signedOn = false;
    std::string kbdintUser; // a response names no user: its request did
    while (!signedOn && !stop_) {
        ssh_message m = ssh_message_get(s);
        if (!m)
            return;
        const bool auth = ssh_message_type(m) == SSH_REQUEST_AUTH;
        const char *u = auth ? ssh_message_auth_user(m) : nullptr;
        if (auth && ssh_message_subtype(m) == SSH_AUTH_METHOD_PASSWORD && (methods_ & SSH_AUTH_METHOD_PASSWORD)) {
// The message API is deprecated for libssh's callback server API; it is the
// shortest way to see a password here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            const char *pw = ssh_message_auth_password(m);
            if (u && pw && user_ == u && password_ == pw) {
                ssh_message_auth_reply_success(m, 0);
                signedOn = true;
            } else {
                ++refusals_;
                ssh_message_auth_set_methods(m, methods_);
                ssh_message_reply_default(m);
            }
        } else if (auth && ssh_message_subtype(m) == SSH_AUTH_METHOD_INTERACTIVE &&
                   (methods_ & SSH_AUTH_METHOD_INTERACTIVE)) {
            if (!ssh_message_auth_kbdint_is_response(m)) {
                kbdintUser = u ? u : "";
                const char *prompts[] = {"Password: "};
                char echo[] = {0};
                ssh_message_auth_interactive_request(m, "", "", 1, prompts, echo);
            } else {
                const char *answer =
                    ssh_userauth_kbdint_getnanswers(s) == 1 ? ssh_userauth_kbdint_getanswer(s, 0) : nullptr;
                if (answer && user_ == kbdintUser && password_ == answer) {
                    ssh_message_auth_reply_success(m, 0);
                    signedOn = true;
                } else {
                    ++refusals_;
                    ssh_message_auth_set_methods(m, methods_);
                    ssh_message_reply_default(m);
                }
            }
#pragma GCC diagnostic pop
        } else {
            ssh_message_auth_set_methods(m, methods_);
            ssh_message_reply_default(m);
        }
        ssh_message_free(m);
    }
    // Channels one after the other, each one exec request.
    ssh_channel chan = nullptr;
    while (!stop_) {
        ssh_message m = ssh_message_get(s);
        if (!m)
            break;
        if (ssh_message_type(m) == SSH_REQUEST_CHANNEL_OPEN &&
            ssh_message_subtype(m) == SSH_CHANNEL_SESSION) {
            chan = ssh_message_channel_request_open_reply_accept(m);
            ssh_message_free(m);
            continue;
        }
        if (chan && ssh_message_type(m) == SSH_REQUEST_CHANNEL &&
            ssh_message_subtype(m) == SSH_CHANNEL_REQUEST_EXEC) {
            const std::string command = ssh_message_channel_request_command(m);
            ssh_message_channel_request_reply_success(m);
            ssh_message_free(m);
            relay(chan, root_, command);
            ssh_channel_free(chan);
            chan = nullptr;
            continue;
        }
        if (chan && ssh_message_type(m) == SSH_REQUEST_CHANNEL &&
            ssh_message_subtype(m) == SSH_CHANNEL_REQUEST_SUBSYSTEM &&
            std::string(ssh_message_channel_request_subsystem(m)) == "sftp") {
            ssh_message_channel_request_reply_success(m);
            ssh_message_free(m);
            relay(chan, root_, "/usr/lib/openssh/sftp-server");
            ssh_channel_free(chan);
            chan = nullptr;
            continue;
        }
        ssh_message_reply_default(m);
        ssh_message_free(m);
    }
    if (chan)
        ssh_channel_free(chan);
}

} // namespace testsupport
