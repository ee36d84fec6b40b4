// The protocol engine over an OpenSSL BIO. With certificate and key the BIO is
// a TLS client connection that presents the certificate; the server's
// certificate is checked against the trust store afterwards, and refused only
// in strict mode. Messages go to the standard error stream.
//
// The TCP connection under the BIO is made here, non-blocking, so that no
// step waits without limit: the connection and the handshake together end
// within the connect wait, and reads and writes wait as the connection's
// timeout allows (every wait can also be cancelled).
#include <halvex/client/resourceclientlib_bio.h>
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_cancel.h>
#include <halvex/platform/openssl_ptr_internal.h>
#include <halvex/platform/sigpipe_block_internal.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ZYRK {

CResourceClientLibBio::CResourceClientLibBio(const char* host, unsigned short port, X509* certificate,
                                             EVP_PKEY* key, const char* trustFile, bool strict)
    : CResourceClientLib(host, port),
      m_bio(nullptr),
      m_ctx(nullptr),
      m_ssl(nullptr),
      m_fd(-1),
      m_certificate(certificate),
      m_key(key),
      m_trustFile(trustFile),
      m_strict(strict) {}

CResourceClientLibBio::~CResourceClientLibBio() = default;

int CResourceClientLibBio::FlushSock(ResCommType, const char*) {
    if (!m_bio || BIO_flush(m_bio) != 1) std::fprintf(stderr, "SSL Failed to flush...\n");
    if (!m_bio) return 0;
    // What the peer has already sent of an out-of-step reply is dropped
    // without waiting, within the same bounds as the TCP transport's drain.
    CSigpipeBlock guard;
    unsigned char scratch[512];
    int dropped = 0;
    const int64_t end = Platform::DeadlineIn(RES_FLUSH_MAX_MS);
    while (dropped < RES_FLUSH_MAX_BYTES && Platform::MsUntil(end) > 0) {
        const int r = m_ssl ? SSL_read(m_ssl, scratch, int(sizeof scratch)) : BIO_read(m_bio, scratch, int(sizeof scratch));
        if (r <= 0) break;
        dropped += r;
    }
    ERR_clear_error();
    return 0;
}

// The socket under the BIO is always non-blocking and the waits follow the
// connection's timeout: there is no mode to switch.
int CResourceClientLibBio::SetSocketBlocking(int) { return 0; }

int CResourceClientLibBio::ResSetTimeout(unsigned long) { return 0; }

int CResourceClientLibBio::Transfer(const ResCommType& comm, void* data, int length, bool write) {
    if (!m_bio) return -res_socket_error(ENOTCONN);
    CSigpipeBlock guard;
    const Platform::StreamWait wait{WaitDeadline(comm), Cancel()};
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int r;
        bool wantWrite;
        bool retry;
        if (m_ssl) {
            r = write ? SSL_write(m_ssl, data, length) : SSL_read(m_ssl, data, length);
            if (r > 0) return r;
            const int why = SSL_get_error(m_ssl, r);
            if (why == SSL_ERROR_ZERO_RETURN) return write ? -res_socket_error(EPIPE) : 0;
            retry = why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE;
            wantWrite = why == SSL_ERROR_WANT_WRITE;
            if (!retry && why == SSL_ERROR_SSL && errno == 0) errno = EPROTO;
        } else {
            r = write ? BIO_write(m_bio, data, length) : BIO_read(m_bio, data, length);
            if (r > 0) return r;
            retry = BIO_should_retry(m_bio);
            wantWrite = BIO_should_write(m_bio);
        }
        if (!retry) {
            const int e = errno;
            ERR_clear_error();
            // A failure is never reported as success: without an error number
            // a read means the peer closed, a write that nothing went out.
            if (e) return -res_socket_error(e);
            return write ? -res_socket_error(EPIPE) : 0;
        }
        const long w = Platform::WaitSocket(m_fd, wantWrite, wait);
        if (w != 1) return res_stream_result(w);
    }
}

int CResourceClientLibBio::ResSend(ResCommType comm, const void* data, int length) {
    // The bytes are only read: Transfer takes one pointer for both ways.
    char* p = static_cast<char*>(const_cast<void*>(data));
    const long r = Platform::MoveAll(size_t(length), [&](size_t at, size_t left) -> long {
        return Transfer(comm, p + at, int(left), true);
    });
    if (r < 0) return int(r);
    // A write that took nothing is not a frame sent.
    return r == long(length) ? 0 : -res_socket_error(EPIPE);
}

int CResourceClientLibBio::ResRecv(ResCommType comm, void* buffer, int capacity) {
    return Transfer(comm, buffer, capacity, false);
}

unsigned int CResourceClientLibBio::TmpGetSocket() { return 1; }

int CResourceClientLibBio::local_getsockname(ResCommType, sockaddr*, socklen_t*) { return 0; }

int CResourceClientLibBio::Close() {
    // The TLS connection belongs to the BIO (Open hands it over or frees it).
    if (m_bio) {
        BIO_free_all(m_bio);
        m_bio = nullptr;
        m_ssl = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_ctx) {
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    return 0;
}

int CResourceClientLibBio::Handshake(int64_t deadline, unsigned long& code, const char*& reason) {
    const Platform::StreamWait wait{deadline, Cancel()};
    CSigpipeBlock guard;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int r = SSL_connect(m_ssl);
        if (r == 1) return 0;
        const int why = SSL_get_error(m_ssl, r);
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
            code = ERR_peek_error();
            reason = code ? ERR_reason_error_string(code) : nullptr;
            if (!reason) reason = errno ? std::strerror(errno) : "connection closed by the peer";
            return -1;
        }
        switch (Platform::WaitSocket(m_fd, why == SSL_ERROR_WANT_WRITE, wait)) {
            case 1: continue;
            case Platform::STREAM_TIMEOUT: reason = "handshake timed out"; return -1;
            case Platform::STREAM_CANCELLED: reason = "interrupted"; return -1;
            default: reason = std::strerror(errno); return -1;
        }
    }
}

int CResourceClientLibBio::Open() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                         OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS,
                     nullptr);
    Close();

    auto fail = [this]() {
        Close();
        return -1;
    };

    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx) {
        ERR_print_errors_fp(stderr);
        return fail();
    }
    // A peer that ends the connection without a close_notify reads as a
    // closed connection, as it did with the blocking BIO.
    SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);

    const bool tls = m_certificate && m_key;
    if (tls) {
        if (!m_trustFile || SSL_CTX_load_verify_locations(m_ctx, m_trustFile, nullptr) != 1)
            std::fprintf(stderr, "Failed to load Truststore from %s...\n", m_trustFile ? m_trustFile : "");
        if (SSL_CTX_use_certificate(m_ctx, m_certificate) != 1) {
            std::fprintf(stderr, "Error attempting to add certificate\n");
            ERR_print_errors_fp(stderr);
            return fail();
        }
        if (SSL_CTX_use_PrivateKey(m_ctx, m_key) != 1) {
            std::fprintf(stderr, "Error adding pkey\n");
            return fail();
        }
        if (SSL_CTX_check_private_key(m_ctx) != 1) {
            std::fprintf(stderr, "Error checking key\n");
            ERR_print_errors_fp(stderr);
            return fail();
        }
    }
    ERR_clear_error();

    // The TCP connection; connecting and the handshake share one bound.
    const int64_t end = Platform::DeadlineIn(ConnectWaitMs());
    const char* reason = nullptr;
    uint32_t addr = 0;
    if (!ResolveHost(&addr)) {
        reason = "host not found";
    } else if ((m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP)) < 0) {
        reason = std::strerror(errno);
    } else {
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const long c = Platform::ConnectSocket(m_fd, addr, m_port, {Platform::DeadlineIn(ConnectWaitMs()), Cancel()});
        switch (c) {
            case 0: break;
            case Platform::STREAM_TIMEOUT: reason = "connect timed out"; break;
            case Platform::STREAM_CANCELLED: reason = "interrupted"; break;
            case Platform::STREAM_WAIT_FAILED: reason = std::strerror(errno); break;
            default: reason = std::strerror(Platform::StreamErrno(c)); break;
        }
    }
    if (reason) {
        std::fprintf(stderr, "SSL: Failure connection, reason: %lu %s\n", 0ul, reason);
        return fail();
    }

    if (tls) {
        SslPtr ssl(SSL_new(m_ctx));
        BioPtr bio(BIO_new(BIO_f_ssl()));
        if (ssl && bio && SSL_set_fd(ssl.get(), m_fd) == 1) {
            SSL_set_connect_state(ssl.get());
            SSL_set_mode(ssl.get(), SSL_MODE_AUTO_RETRY);
            m_ssl = ssl.release();
            BIO_set_ssl(bio.get(), m_ssl, BIO_CLOSE);
            m_bio = bio.release();
        }
    } else {
        m_bio = BIO_new_socket(m_fd, BIO_NOCLOSE);
    }
    if (!m_bio) {
        std::fprintf(stderr, "SSL: Failure BIO_new_connect\n");
        return fail();
    }

    if (tls) {
        unsigned long code = 0;
        if (Handshake(end, code, reason) != 0) {
            std::fprintf(stderr, "SSL: Failure connection, reason: %lu %s\n", code, reason ? reason : "");
            ERR_clear_error();
            return fail();
        }
        if (SSL_get_verify_result(m_ssl) != X509_V_OK) {
            std::fprintf(stderr, "Wrong server certificate or no matching certificate on client...\n");
            if (m_strict) return fail();
        }
    }
    return 0;
}

}  // namespace ZYRK
