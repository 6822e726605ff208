#pragma once
// TLS on a socket the caller already owns and drives: OpenSSL works on the
// same non-blocking descriptor, and every call answers at once, telling the
// caller which readiness (read or write) it needs before the next try.

#include <memory>
#include <string>

struct bio_st;
struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;

namespace tls
{

// What a non-blocking TLS call needs before it can go on.
enum class TWant { None, Read, Write, Closed, Error };

// Client settings shared by the control and the data connections of one
// session (the data connection resumes the control connection's session).
class TClientContext
{
public:
    // Trusts the system store (unless `systemStore` is false: a pinned
    // certificate makes it moot, and loading it is a noticeable part of a
    // short transfer), plus `caFile` when given. Throws std::runtime_error
    // when the CA file cannot be loaded.
    explicit TClientContext(const std::string &caFile = {}, bool systemStore = true);
    ~TClientContext();
    TClientContext(const TClientContext &) = delete;
    TClientContext &operator=(const TClientContext &) = delete;
    ssl_ctx_st *Handle() const { return ctx_; }

private:
    friend class TSession;
    ssl_ctx_st *ctx_ = nullptr;
    // The newest session a resumed connection brought back: TLS 1.3 hosts
    // may take each ticket only once, so the next data connection offers
    // this one rather than the control connection's first.
    ssl_session_st *latest_ = nullptr;
};

class TSession
{
public:
    // `host` is checked against the certificate (name or IPv4 literal);
    // `resume`, when given, is offered for session reuse (or the newest
    // session of `ctx` that came from such a reuse). A resuming session must
    // end before `ctx`.
    TSession(TClientContext &ctx, int fd, const std::string &host, const TSession *resume = nullptr);
    ~TSession();
    TSession(const TSession &) = delete;
    TSession &operator=(const TSession &) = delete;

    // One step of the handshake: None once it is complete.
    TWant Handshake();
    bool HandshakeDone() const { return done_; }
    // Plain bytes read (> 0), or 0 with `want` set: Read/Write (try again on
    // that readiness), Closed (the peer's close_notify), Error (see LastError;
    // an end without close_notify is an error: the data may be cut short).
    long Read(char *buf, size_t n, TWant &want);
    // Plain bytes taken (> 0), or 0 with `want` set as for Read. Taken bytes
    // may wait inside the session (HasUnsent) until Flush sends them.
    long Write(const char *buf, size_t n, TWant &want);
    // Sends what Write holds: None once all has left, Write when the socket
    // is full (try again when writable), Error when the connection failed.
    TWant Flush();
    bool HasUnsent() const;
    // Sends close_notify; Write when the alert could not leave yet.
    TWant SendCloseNotify();
    // Decrypted or buffered bytes wait inside the session (no socket event
    // will announce them).
    bool HasPending() const;

    // The peer certificate's SHA-256 as "AB:CD:...", empty before the
    // handshake.
    std::string PeerFingerprint() const;
    // Empty when the chain and the host name verified; else OpenSSL's reason.
    std::string VerifyError() const;
    // Why the last call failed.
    const std::string &LastError() const { return error_; }
    std::string Protocol() const;
    bool Resumed() const;

private:
    TWant Fail(int ret);
    ssl_st *ssl_ = nullptr;
    bio_st *bio_ = nullptr; // owned by ssl_
    TClientContext *resumeCtx_ = nullptr; // set on sessions that resume
    bool done_ = false;
    std::string error_;
    TWant heldEnd_ = TWant::None; // an end met while gathering records
};

// "ab cd:EF..." -> "ABCDEF...": fingerprints compare in this form.
std::string NormalizeFingerprint(const std::string &text);
// "ABCDEF..." -> "AB:CD:EF:...", the form shown to users.
std::string ColonFingerprint(const std::string &text);
// Same certificate fingerprint, whatever the spelling.
bool SameFingerprint(const std::string &a, const std::string &b);

} // namespace tls
