#pragma once
// The options that say how a host is reached beyond name and port, shared by
// ftp, save and restore: --passive, --tls, --tls-fingerprint, --tls-ca.

#include "net/NMFtp.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

namespace cli
{

// The sign-on every host command shares: user and password, the proxy (the
// user then goes as USER@HOST), the time-out (lookup, connection and every
// reply but a remote command's; 0 none), SIGINT/SIGTERM ending the waits, and
// the FTP dialogue on stderr with -v.
void signOn(TNMFTP &ftp, const std::string &user, const std::string &password, const std::string &proxy,
            int proxyPort, int timeout, bool verbose);

// Why the connection to the host (or its proxy) could not be made, in the
// words operators know: "connection refused", "no route to host", "timed
// out", "name not found"; empty when `what` (the exception's text) is no
// connection failure.
std::string connectCause(const TNMFTP &ftp, const std::string &what);
// "HOST port N", or "proxy P port N" through a proxy.
std::string connectTarget(const TNMFTP &ftp);

struct TransportOptions {
    bool passive = false;
    std::string tls; // "", "explicit" or "implicit"
    std::string fingerprint;
    std::string caFile;

    void add(CLI::App &app);
    // After parsing: false, after an error line, when the options do not fit
    // together or the fingerprint is not a SHA-256.
    bool check() const;
    // Sets passive mode and TLS on `ftp`; implicit TLS goes to port 990
    // unless a port was given.
    void apply(TNMFTP &ftp, int port, bool portGiven) const;
    // For the failure line: how to trust a certificate that was refused
    // because nothing vouched for it; empty otherwise.
    std::string advice() const;

private:
    // Nobody can be asked here: the certificate is refused and its
    // fingerprint kept for the advice.
    std::shared_ptr<std::string> refused_ = std::make_shared<std::string>();
};

} // namespace cli
