#include "cli/CliTransport.h"

#include "cli/CliCommon.h"
#include "net/TlsSession.h"

#include <cctype>
#include <cstdio>

namespace cli
{

void signOn(TNMFTP &ftp, const std::string &user, const std::string &password, const std::string &proxy,
            int proxyPort, int timeout, bool verbose)
{
    if (!proxy.empty()) {
        ftp.Proxy = proxy;
        ftp.ProxyPort = proxyPort;
    }
    ftp.UserID = user;
    ftp.Password = password;
    ftp.TimeOut = timeout;
    // Remote commands are not cut by it: TNMFTP waits for an RCMD without
    // limit and watches the host with TCP keepalive instead.
    ftp.ReplyTimeOut = timeout;
    ftp.ReportLevel = verbose ? 1 : 0;
    catchStopSignals();
    ftp.StopCheck = [] { return stopReason(); };
    ftp.OnStatus = [](TPowersock *, const std::string &text) {
        std::fprintf(stderr, "ftp: %s\n", trimLineEnd(text).c_str());
    };
}

std::string connectCause(const TNMFTP &ftp, const std::string &what)
{
    if (what == "Null Remote Address")
        return "name not found";
    if (what == "Host Lookup Timed Out")
        return "name lookup timed out";
    if (what == "Connection Timed out")
        return "timed out";
    if (what != "Connection Failed")
        return {};
    switch (ftp.LastError) {
    case 10061: return "connection refused";
    case 10060: return "timed out";
    case 10065: return "no route to host";
    case 10051: return "no route to host (network is unreachable)";
    case 10064: return "host is down";
    case 0: return "connection failed";
    default: {
        // "10049:Can't assign requested address": the number means nothing here.
        std::string text = TNMFTP().ErrorMessage(ftp.LastError);
        text.erase(0, text.find(':') + 1);
        if (!text.empty())
            text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    }
    }
}

std::string connectTarget(const TNMFTP &ftp)
{
    return ftp.Proxy.empty() ? ftp.Host + " port " + std::to_string(ftp.Port)
                             : "proxy " + ftp.Proxy + " port " + std::to_string(ftp.ProxyPort);
}

void TransportOptions::add(CLI::App &app)
{
    app.add_flag("--passive", passive,
                 "open the data connections from here (EPSV, else PASV): behind firewalls and NAT");
    app.add_option(
           "--tls", tls,
           "FTP over TLS: explicit (AUTH TLS on the normal port) or implicit (TLS from the first byte, "
           "port 990 unless --port)")
        ->check(CLI::IsMember({"explicit", "implicit"}));
    app.add_option("--tls-fingerprint", fingerprint,
                   "trust exactly the host certificate with this SHA-256 fingerprint (hex, colons optional), "
                   "for hosts whose certificate the system does not trust");
    app.add_option("--tls-ca", caFile, "PEM file of further trusted certificate authorities");
}

bool TransportOptions::check() const
{
    if (tls.empty() && (!fingerprint.empty() || !caFile.empty())) {
        error("--tls-fingerprint and --tls-ca need --tls");
        return false;
    }
    if (!fingerprint.empty()) {
        bool wellFormed = true;
        for (char c : fingerprint)
            wellFormed = wellFormed && (std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == ' ');
        if (!wellFormed || tls::NormalizeFingerprint(fingerprint).size() != 64) {
            error("--tls-fingerprint " + fingerprint +
                  " is not a SHA-256 fingerprint (64 hex digits, colons optional)");
            return false;
        }
    }
    return true;
}

void TransportOptions::apply(TNMFTP &ftp, int port, bool portGiven) const
{
    FtpTransport t;
    t.passive = passive;
    t.security = tls == "explicit"   ? TFtpSecurity::Explicit
                 : tls == "implicit" ? TFtpSecurity::Implicit
                                     : TFtpSecurity::None;
    t.tlsFingerprint = fingerprint;
    ftp.UseTransport(t);
    ftp.TlsCaFile = caFile;
    ftp.Port = t.security == TFtpSecurity::Implicit && !portGiven ? kImplicitTlsPort : port;
    ftp.OnVerifyCertificate = [refused = refused_](const std::string &fp, const std::string &,
                                                   TCertAnswer &answer) {
        *refused = fp;
        answer = TCertAnswer::Reject;
    };
}

std::string TransportOptions::advice() const
{
    if (refused_->empty())
        return {};
    return " (if that is the fingerprint your host's administrator gives, pass --tls-fingerprint " +
           *refused_ + ")";
}

} // namespace cli
