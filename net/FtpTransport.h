#pragma once
// How a host is reached beyond its name and port: FTP or SSH, who opens the
// data connections, whether TLS protects the session, how long a reply may
// take. Kept per host profile, edited in the connection settings, handed to
// TNMFTP (or, over SSH, to the SSH link).

#include <cstdint>
#include <string>

enum class TFtpSecurity : uint8_t {
    None,     // plain FTP
    Explicit, // AUTH TLS on the normal port, then PBSZ 0 and PROT P
    Implicit, // TLS from the first byte (usually port 990), then PBSZ 0 and PROT P
};

// How long sign-on and ordinary commands may take to answer (ms), unless the
// host's settings say otherwise. Remote commands (RCMD) are never cut by it.
inline constexpr int kDefaultReplyTimeOut = 60000;

struct FtpTransport {
    bool passive = false; // the PC opens the data connections (EPSV, else PASV)
    TFtpSecurity security = TFtpSecurity::None;
    // SHA-256 of the host certificate the user accepted, "AB:CD:..."; empty
    // when none was accepted (the trust store decides).
    std::string tlsFingerprint;
    // ms a reply (or a stalled transfer) is awaited; 0 = no limit.
    int replyTimeOut = kDefaultReplyTimeOut;
    // Through the host's SSH server instead of FTP (its FTP server is off);
    // passive mode and TLS do not apply then.
    bool ssh = false;
    // Over SSH the save file lives in a real library while the job runs.
    std::string sshLibrary = "QGPL";
};

// The port SSH servers listen on.
inline constexpr int kSshPort = 22;

// The port FTP servers listen on for implicit TLS.
inline constexpr int kImplicitTlsPort = 990;
