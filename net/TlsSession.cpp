#include "net/TlsSession.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <vector>

namespace tls
{

namespace
{

std::string errorQueueText()
{
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty())
            text += "; ";
        text += buf;
    }
    return text;
}

// The socket under a session. OpenSSL's own socket BIO writes with write(),
// which raises SIGPIPE on a connection the peer has closed; this one sends
// with MSG_NOSIGNAL so a closed peer is an error, as on plain sockets.
//
// Application data is collected here and sent in large pieces: OpenSSL hands
// over one record (16 KiB at most) per write, and a send() per record costs
// more than the copy into this buffer. Everything else (handshake, alerts)
// goes out at once, after whatever is still held, so nothing is reordered and
// nothing OpenSSL believes sent is only waiting here unless the session's
// owner is told (TSession::HasUnsent) and flushes.
struct SocketBio {
    int fd = -1;
    bool eof = false;
    bool hold = false;     // inside TSession::Write: records may wait here
    std::vector<char> out; // taken, not yet sent: [outPos, size)
    size_t outPos = 0;
    int sendErrno = 0; // the send that failed, kept for the owner

    size_t unsent() const { return out.size() - outPos; }
};

// About 16 full records: one send of this size costs little more than one
// of a single record.
constexpr size_t kHoldBytes = 256 * 1024;

SocketBio *sockOf(BIO *b)
{
    return static_cast<SocketBio *>(BIO_get_data(b));
}

bool retryable(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// Sends what is held. 1: all of it left; 0 with `again`: the socket is full;
// 0 without: the connection failed (errno kept in sendErrno).
int sendHeld(SocketBio &s, bool &again)
{
    again = false;
    while (s.unsent() > 0) {
        ssize_t n = ::send(s.fd, s.out.data() + s.outPos, s.unsent(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (retryable(errno)) {
                again = true;
                return 0;
            }
            s.sendErrno = errno;
            return 0;
        }
        s.outPos += static_cast<size_t>(n);
    }
    s.out.clear();
    s.outPos = 0;
    return 1;
}

int bioWrite(BIO *b, const char *data, size_t len, size_t *written)
{
    BIO_clear_retry_flags(b);
    SocketBio &s = *sockOf(b);
    if (s.sendErrno != 0)
        return 0;
    bool again = false;
    if (s.hold) {
        if (s.unsent() + len > kHoldBytes && !sendHeld(s, again)) {
            if (!again)
                return 0;
            if (s.unsent() + len > kHoldBytes) {
                // Full, and the socket takes no more: OpenSSL keeps the
                // record and offers it again on the next write.
                BIO_set_retry_write(b);
                return 0;
            }
        }
        if (s.out.capacity() < kHoldBytes)
            s.out.reserve(kHoldBytes);
        if (s.outPos > 0 && s.out.size() + len > s.out.capacity()) {
            s.out.erase(s.out.begin(), s.out.begin() + static_cast<std::ptrdiff_t>(s.outPos));
            s.outPos = 0;
        }
        s.out.insert(s.out.end(), data, data + len);
        *written = len;
        return 1;
    }
    // Not application data: whatever waits goes first, then this, directly.
    if (s.unsent() > 0 && !sendHeld(s, again)) {
        if (again)
            BIO_set_retry_write(b);
        return 0;
    }
    ssize_t n = ::send(s.fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
        if (retryable(errno))
            BIO_set_retry_write(b);
        else
            s.sendErrno = errno;
        return 0;
    }
    *written = static_cast<size_t>(n);
    return 1;
}

int bioRead(BIO *b, char *data, size_t len, size_t *got)
{
    BIO_clear_retry_flags(b);
    ssize_t n = ::recv(sockOf(b)->fd, data, len, 0);
    if (n < 0) {
        if (retryable(errno))
            BIO_set_retry_read(b);
        return 0;
    }
    if (n == 0) {
        sockOf(b)->eof = true;
        return 0;
    }
    *got = static_cast<size_t>(n);
    return 1;
}

long bioCtrl(BIO *b, int cmd, long, void *)
{
    switch (cmd) {
    case BIO_CTRL_FLUSH: {
        BIO_clear_retry_flags(b);
        bool again = false;
        if (sendHeld(*sockOf(b), again))
            return 1;
        if (again)
            BIO_set_retry_write(b);
        return 0;
    }
    case BIO_CTRL_WPENDING:
        return static_cast<long>(sockOf(b)->unsent());
    case BIO_CTRL_EOF:
        return sockOf(b)->eof ? 1 : 0;
    default:
        return 0;
    }
}

int bioDestroy(BIO *b)
{
    delete sockOf(b);
    BIO_set_data(b, nullptr);
    return 1;
}

BIO_METHOD *socketMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quellon socket");
        BIO_meth_set_write_ex(m, bioWrite);
        BIO_meth_set_read_ex(m, bioRead);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_destroy(m, bioDestroy);
        return m;
    }();
    return method;
}

} // namespace

TClientContext::TClientContext(const std::string &caFile, bool systemStore)
{
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_)
        throw std::runtime_error("TLS: cannot create a context: " + errorQueueText());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // AES-128-GCM first: as safe for these transfers and a third faster than
    // AES-256-GCM, which a host that honours the client's order would pick.
    SSL_CTX_set_ciphersuites(ctx_, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    if (systemStore)
        SSL_CTX_set_default_verify_paths(ctx_);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1) {
        std::string why = errorQueueText();
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        throw std::runtime_error("TLS: cannot load the CA file " + caFile + ": " + why);
    }
    // The chain is checked during the handshake, but the decision (trust
    // store, pinned fingerprint, the user's answer) is taken after it.
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    // Whole records per system call; the socket layer drains what is
    // buffered before it waits again.
    SSL_CTX_set_read_ahead(ctx_, 1);
    SSL_CTX_set_default_read_buffer_len(ctx_, 256 * 1024);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT);
}

TClientContext::~TClientContext()
{
    SSL_SESSION_free(latest_);
    SSL_CTX_free(ctx_);
}

TSession::TSession(TClientContext &ctx, int fd, const std::string &host, const TSession *resume)
{
    ssl_ = SSL_new(ctx.Handle());
    BIO *bio = ssl_ ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        SSL_free(ssl_);
        throw std::runtime_error("TLS: cannot start a session: " + errorQueueText());
    }
    auto *sock = new SocketBio;
    sock->fd = fd;
    BIO_set_data(bio, sock);
    BIO_set_init(bio, 1);
    bio_ = bio;
    SSL_set_bio(ssl_, bio, bio);
    in_addr literal{};
    if (!host.empty()) {
        if (::inet_pton(AF_INET, host.c_str(), &literal) == 1) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl_, host.c_str());
            SSL_set1_host(ssl_, host.c_str());
        }
    }
    if (resume) {
        resumeCtx_ = &ctx;
        if (ctx.latest_) {
            SSL_set_session(ssl_, ctx.latest_);
        } else if (SSL_SESSION *s = SSL_get1_session(resume->ssl_)) {
            SSL_set_session(ssl_, s);
            SSL_SESSION_free(s);
        }
    }
    SSL_set_connect_state(ssl_);
}

TSession::~TSession()
{
    if (resumeCtx_ && done_) {
        SSL_SESSION *s = SSL_get1_session(ssl_);
        if (s && SSL_SESSION_is_resumable(s)) {
            SSL_SESSION_free(resumeCtx_->latest_);
            resumeCtx_->latest_ = s;
        } else {
            SSL_SESSION_free(s);
        }
    }
    SSL_free(ssl_);
}

TWant TSession::Fail(int ret)
{
    switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ:
        return TWant::Read;
    case SSL_ERROR_WANT_WRITE:
        return TWant::Write;
    case SSL_ERROR_ZERO_RETURN:
        return TWant::Closed;
    case SSL_ERROR_SYSCALL: {
        std::string q = errorQueueText();
        if (const int e = sockOf(bio_)->sendErrno)
            error_ = std::string("sending failed: ") + std::strerror(e);
        else
            error_ = q.empty() ? "the connection ended without a TLS close" : q;
        return TWant::Error;
    }
    default: {
        std::string q = errorQueueText();
        error_ = q.empty() ? "TLS failure" : q;
        return TWant::Error;
    }
    }
}

TWant TSession::Handshake()
{
    if (done_)
        return TWant::None;
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        done_ = true;
        return TWant::None;
    }
    TWant w = Fail(r);
    return w == TWant::Closed ? TWant::Error : w;
}

long TSession::Read(char *buf, size_t n, TWant &want)
{
    // SSL_read hands out one record (16 KiB at most) per call; gathering
    // records up to the caller's buffer saves the caller a file write per
    // record. Whatever stops the gathering (would-block, close_notify, an
    // error) is met again on the next call, after these bytes are delivered.
    if (heldEnd_ != TWant::None) {
        want = heldEnd_;
        return 0;
    }
    size_t total = 0;
    while (total < n) {
        ERR_clear_error();
        size_t got = 0;
        if (SSL_read_ex(ssl_, buf + total, n - total, &got) != 1) {
            const TWant w = Fail(0);
            if (total == 0) {
                want = w;
                return 0;
            }
            // The end of the stream or a failure is told on the next call,
            // once these bytes are the caller's.
            if (w == TWant::Closed || w == TWant::Error)
                heldEnd_ = w;
            break;
        }
        total += got;
    }
    want = TWant::None;
    return static_cast<long>(total);
}

long TSession::Write(const char *buf, size_t n, TWant &want)
{
    ERR_clear_error();
    size_t put = 0;
    SocketBio &s = *sockOf(bio_);
    s.hold = true;
    const int r = SSL_write_ex(ssl_, buf, n, &put);
    s.hold = false;
    if (r == 1) {
        want = TWant::None;
        return static_cast<long>(put);
    }
    want = Fail(0);
    return 0;
}

TWant TSession::Flush()
{
    SocketBio &s = *sockOf(bio_);
    bool again = false;
    if (sendHeld(s, again))
        return TWant::None;
    if (again)
        return TWant::Write;
    error_ = std::string("sending failed: ") + std::strerror(s.sendErrno);
    return TWant::Error;
}

bool TSession::HasUnsent() const
{
    return sockOf(bio_)->unsent() > 0;
}

TWant TSession::SendCloseNotify()
{
    ERR_clear_error();
    int r = SSL_shutdown(ssl_);
    if (r >= 0)
        return TWant::None; // sent (the peer's answer is not awaited)
    TWant w = Fail(r);
    return w == TWant::Write ? TWant::Write : w == TWant::Read ? TWant::None : w;
}

bool TSession::HasPending() const
{
    return SSL_has_pending(ssl_) == 1;
}

std::string TSession::PeerFingerprint() const
{
    X509 *cert = SSL_get0_peer_certificate(ssl_);
    if (!cert)
        return {};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (X509_digest(cert, EVP_sha256(), md, &len) != 1)
        return {};
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        if (i)
            out += ':';
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 15];
    }
    return out;
}

std::string TSession::VerifyError() const
{
    if (!SSL_get0_peer_certificate(ssl_))
        return "the host sent no certificate";
    long r = SSL_get_verify_result(ssl_);
    return r == X509_V_OK ? std::string() : X509_verify_cert_error_string(r);
}

std::string TSession::Protocol() const
{
    return SSL_get_version(ssl_);
}

bool TSession::Resumed() const
{
    return SSL_session_reused(ssl_) == 1;
}

std::string NormalizeFingerprint(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string ColonFingerprint(const std::string &text)
{
    const std::string n = NormalizeFingerprint(text);
    std::string out;
    for (size_t i = 0; i < n.size(); i += 2) {
        if (i)
            out += ':';
        out += n.substr(i, 2);
    }
    return out;
}

bool SameFingerprint(const std::string &a, const std::string &b)
{
    std::string na = NormalizeFingerprint(a);
    return na.size() == 64 && na == NormalizeFingerprint(b);
}

} // namespace tls
