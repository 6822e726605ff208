#pragma once
// How a host's FTP server is reached beyond its name and port: who opens the
// data connections, and whether TLS protects the session. Kept per host
// profile, edited in the connection settings, handed to TNMFTP.

#include <cstdint>
#include <string>

enum class TFtpSecurity : uint8_t {
    None,     // plain FTP
    Explicit, // AUTH TLS on the normal port, then PBSZ 0 and PROT P
    Implicit, // TLS from the first byte (usually port 990), then PBSZ 0 and PROT P
};

struct FtpTransport {
    bool passive = false; // the PC opens the data connections (EPSV, else PASV)
    TFtpSecurity security = TFtpSecurity::None;
    // SHA-256 of the host certificate the user accepted, "AB:CD:..."; empty
    // when none was accepted (the trust store decides).
    std::string tlsFingerprint;
};

// The port FTP servers listen on for implicit TLS.
inline constexpr int kImplicitTlsPort = 990;
