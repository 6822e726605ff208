#include "ScriptedFtpServer.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest
{

namespace
{
void setTimeout(int fd)
{
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
} // namespace

bool Session::send(const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd_, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

std::string Session::line()
{
    for (;;) {
        size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string l = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            if (!l.empty() && l.back() == '\r')
                l.pop_back();
            server_.record(l);
            if (l.rfind("PORT ", 0) == 0)
                portArgs_ = l.substr(5);
            return l;
        }
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return "";
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

void Session::silent()
{
    char buf[4096];
    while (::recv(fd_, buf, sizeof buf, 0) > 0) {
    }
}

std::string Session::expect(const std::string &prefix)
{
    std::string l = line();
    if (l.rfind(prefix, 0) != 0)
        server_.fail("expected '" + prefix + "', got '" + l + "'");
    return l;
}

void Session::openData()
{
    unsigned h1, h2, h3, h4, p1, p2;
    if (std::sscanf(portArgs_.c_str(), "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
        server_.fail("no usable PORT: '" + portArgs_ + "'");
        return;
    }
    data_ = ::socket(AF_INET, SOCK_STREAM, 0);
    setTimeout(data_);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(p1 * 256 + p2));
    a.sin_addr.s_addr = htonl(0x7F000001);
    if (::connect(data_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        server_.fail("data connection refused");
}

void Session::dataSend(const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(data_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

std::string Session::dataReceiveAll()
{
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(data_, buf, sizeof buf, 0)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

void Session::dataClose()
{
    if (data_ >= 0)
        ::close(data_);
    data_ = -1;
}

void Session::closeControl()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void Session::close()
{
    dataClose();
    closeControl();
}

ScriptedFtpServer::ScriptedFtpServer(Script script)
{
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    ::bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(listen_, 4);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
        timeval tv{10, 0};
        ::setsockopt(listen_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) {
            fail("no client connected");
            return;
        }
        setTimeout(fd);
        Session s(fd, *this);
        script(s);
        s.close();
    });
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    join();
    ::close(listen_);
}

void ScriptedFtpServer::join()
{
    if (thread_.joinable())
        thread_.join();
}

std::vector<std::string> ScriptedFtpServer::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string ScriptedFtpServer::errors()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

void ScriptedFtpServer::record(const std::string &line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(line);
}

void ScriptedFtpServer::fail(const std::string &what)
{
    std::lock_guard<std::mutex> lock(mutex_);
    errors_ += what + "\n";
}

} // namespace nettest
