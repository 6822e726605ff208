#pragma once
// A small FTP server for tests: it accepts one control connection on
// 127.0.0.1 (port 0) in a thread of its own and plays a script against it,
// recording every line the client sent. Blocking sockets with a receive
// time-out, so a client that stops talking ends the script instead of the run.

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest
{

class ScriptedFtpServer;

class Session
{
public:
    explicit Session(int fd, ScriptedFtpServer &server) : fd_(fd), server_(server) {}
    // Sends text as it stands (no line end added); false when the client
    // is gone.
    bool send(const std::string &text);
    // Sends one reply line with CR LF.
    void reply(const std::string &line) { send(line + "\r\n"); }
    // Next line from the client without its line end; "" when it closed.
    std::string line();
    // Reads whatever comes until the client closes: a host that never answers.
    void silent();
    // Reads a line and notes a script error unless it begins with `prefix`.
    std::string expect(const std::string &prefix);
    // Active mode: connects to the address of the last PORT command.
    void openData();
    void dataSend(const std::string &bytes);
    std::string dataReceiveAll();
    void dataClose();
    // Closes the control connection only; the data connection stays open.
    void closeControl();
    void close();

private:
    int fd_;
    int data_ = -1;
    std::string buffer_;
    std::string portArgs_;
    ScriptedFtpServer &server_;
};

class ScriptedFtpServer
{
public:
    using Script = std::function<void(Session &)>;
    explicit ScriptedFtpServer(Script script);
    ~ScriptedFtpServer();
    int port() const { return port_; }
    // Waits for the script to end.
    void join();
    std::vector<std::string> received();
    std::string errors();

private:
    friend class Session;
    void record(const std::string &line);
    void fail(const std::string &what);
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> received_;
    std::string errors_;
};

} // namespace nettest
