// The TLS session on its own, over a socket pair with a small send buffer, so
// the socket fills up and every would-block path of the held records runs.
// The other end is a plain OpenSSL server in the same thread.
#include "net/TlsSession.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A server context with a throw-away self-signed P-256 certificate.
SSL_CTX *serverContext()
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("peer"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509_sign(x, key, EVP_sha256());
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, x);
    SSL_CTX_use_PrivateKey(ctx, key);
    X509_free(x);
    EVP_PKEY_free(key);
    return ctx;
}

class TlsSessionPair : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        for (int fd : fds_)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        const int small = 8 * 1024;
        ::setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sctx_ = serverContext();
        server_ = SSL_new(sctx_);
        SSL_set_fd(server_, fds_[1]);
        SSL_set_accept_state(server_);
        client_ = std::make_unique<tls::TSession>(cctx_, fds_[0], "");
        for (int i = 0; i < 100 && !(client_->HandshakeDone() && SSL_is_init_finished(server_)); ++i) {
            ASSERT_NE(client_->Handshake(), tls::TWant::Error) << client_->LastError();
            SSL_do_handshake(server_);
        }
        ASSERT_TRUE(client_->HandshakeDone());
    }

    void TearDown() override
    {
        client_.reset();
        SSL_free(server_);
        SSL_CTX_free(sctx_);
        for (int fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }

    // What the server can read now; `closed` turns true at close_notify.
    void serverRead(std::string &into, bool &closed)
    {
        char buf[64 * 1024];
        size_t got = 0;
        while (SSL_read_ex(server_, buf, sizeof buf, &got) == 1)
            into.append(buf, got);
        closed = closed || SSL_get_error(server_, 0) == SSL_ERROR_ZERO_RETURN;
    }

    int fds_[2] = {-1, -1};
    tls::TClientContext cctx_;
    SSL_CTX *sctx_ = nullptr;
    SSL *server_ = nullptr;
    std::unique_ptr<tls::TSession> client_;
};

} // namespace

// Writes of odd sizes into a socket that is full most of the time: the
// server gets every byte in order, and close_notify only after the last.
TEST_F(TlsSessionPair, HeldRecordsArriveWholeAndInOrderBeforeTheClose)
{
    const std::string payload = testsupport::randomBytes(1024 * 1024 + 777, 3);
    std::string got;
    bool closed = false;
    size_t pos = 0;
    int blocked = 0;
    const size_t pieces[] = {1, 4093, 16384, 16385, 100000, 262144 + 5};
    size_t piece = 0, n = 0;
    for (int step = 0; pos < payload.size() && step < 100000; ++step) {
        // After a would-block the same write is offered again, as OpenSSL
        // requires.
        if (n == 0)
            n = std::min(pieces[piece++ % 6], payload.size() - pos);
        tls::TWant want = tls::TWant::None;
        const long put = client_->Write(payload.data() + pos, n, want);
        if (put > 0) {
            pos += static_cast<size_t>(put);
            n -= static_cast<size_t>(put);
        } else {
            ASSERT_EQ(want, tls::TWant::Write) << client_->LastError();
            ++blocked;
            serverRead(got, closed);
        }
    }
    ASSERT_EQ(pos, payload.size());
    EXPECT_GT(blocked, 0) << "the socket never filled: the test proves nothing";
    // The last records wait inside the session until flushed.
    for (int i = 0; i < 100000 && client_->HasUnsent(); ++i) {
        const tls::TWant w = client_->Flush();
        ASSERT_NE(w, tls::TWant::Error) << client_->LastError();
        serverRead(got, closed);
    }
    EXPECT_FALSE(client_->HasUnsent());
    EXPECT_EQ(client_->Flush(), tls::TWant::None);
    ASSERT_EQ(client_->SendCloseNotify(), tls::TWant::None);
    for (int i = 0; i < 100 && !closed; ++i)
        serverRead(got, closed);
    EXPECT_TRUE(closed);
    ASSERT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "the bytes arrived changed or out of order";
}

// A small write is held, not sent; if the peer is gone by the flush, the
// flush fails instead of passing the lost bytes off as sent.
TEST_F(TlsSessionPair, HeldBytesOfADeadConnectionAreAFailure)
{
    tls::TWant want = tls::TWant::None;
    ASSERT_EQ(client_->Write("tail", 4, want), 4);
    EXPECT_TRUE(client_->HasUnsent());
    std::string got;
    bool closed = false;
    serverRead(got, closed);
    EXPECT_TRUE(got.empty()) << "a held record went out before the flush";
    ::close(fds_[1]);
    fds_[1] = -1;
    EXPECT_EQ(client_->Flush(), tls::TWant::Error);
    EXPECT_FALSE(client_->LastError().empty());
    // Nor does a later write succeed on it.
    EXPECT_EQ(client_->Write("more", 4, want), 0);
    EXPECT_EQ(want, tls::TWant::Error);
}
