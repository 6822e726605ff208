#pragma once
// The host's FTP server: one thread per control connection, each with its
// own server job (HostJob).

#include "HostJob.h"
#include "HostStore.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ssl_ctx_st;

namespace hostsim {

enum class TlsMode { Off, Explicit, Implicit };

struct ServerConfig {
    std::string listenAddress = "127.0.0.1";
    uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> users; // upper-case user, password
    std::string logFile;
    long long abortTransferAfter = -1;
    // Data connections move at most this many bytes a second (0: no limit),
    // so that a client can be caught in the middle of a transfer.
    long long transferRate = 0;
    // An RCMD matching one of these is answered only after a minute, or
    // never when the client hangs up first: a host command caught running.
    std::vector<std::shared_ptr<FailPattern>> slowPatterns;
    int transferEndCode = 250;
    int idleSeconds = 300;
    // Real hosts refuse "/..." paths until SITE NAMEFMT 1; lenient accepts
    // them in name format 0 as well.
    bool strictNameFormat = true;
    // SIZE answers 213 with the byte count of a save file; off: 500, as on
    // hosts that do not know the subcommand.
    bool answerSize = true;
    // A binary RETR of a save file ends after this many bytes, with a clean
    // close and the usual completion reply (a cut the client cannot see).
    long long cutDownloadAfter = -1;
    // With a certificate AUTH TLS is offered; Explicit also requires it
    // before USER, Implicit starts every connection with the handshake.
    TlsMode tlsMode = TlsMode::Off;
    std::string tlsCert;
    std::string tlsKey;
    std::string wireLog; // every byte on the wire, both ways, all connections
    HostConfig host;
};

class FtpServer {
public:
    FtpServer(ServerConfig config, HostStore &store);
    ~FtpServer();

    // Binds and listens; returns the port or 0 with `error` set.
    uint16_t listen(std::string *error);
    // Accepts clients until stop() or `stopFd` becomes readable.
    void serve(int stopFd);
    void stop();

    // Appends one received command line to --log.
    void logCommand(const std::string &line);
    // Appends raw bytes that crossed a socket to --wire-log.
    void logWire(const char *data, size_t len);
    bool wireLogging() const { return !config_.wireLog.empty(); }
    // The TLS server context; null without a certificate.
    ssl_ctx_st *tlsContext() const { return tlsCtx_; }
    const ServerConfig &config() const { return config_; }
    HostStore &store() { return store_; }
    int nextJobNumber() { return jobCounter_.fetch_add(1); }

private:
    struct Client {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
        std::atomic<int> dataFd{-1};
    };
    void reap(bool all);

    ServerConfig config_;
    HostStore &store_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> jobCounter_;
    std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
    std::mutex logMutex_;
    std::mutex wireMutex_;
    ssl_ctx_st *tlsCtx_ = nullptr;
};

} // namespace hostsim
