// The protocol engine over an OpenSSL BIO. With certificate and key the BIO is
// a TLS client connection that presents the certificate; the server's
// certificate is checked against the trust store afterwards, and refused only
// in strict mode. Messages go to the standard error stream.
#include <halvex/client/resourceclientlib_bio.h>
#include <halvex/client/res_engine_internal.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>

namespace ZYRK {

CResourceClientLibBio::CResourceClientLibBio(const char* host, unsigned short port, X509* certificate,
                                             EVP_PKEY* key, const char* trustFile, bool strict)
    : CResourceClientLib(host, port),
      m_bio(nullptr),
      m_ctx(nullptr),
      m_certificate(certificate),
      m_key(key),
      m_trustFile(trustFile),
      m_strict(strict) {}

CResourceClientLibBio::~CResourceClientLibBio() = default;

int CResourceClientLibBio::FlushSock(ResCommType, const char*) {
    if (!m_bio || BIO_flush(m_bio) != 1) std::fprintf(stderr, "SSL Failed to flush...\n");
    return 0;
}

int CResourceClientLibBio::SetSocketBlocking(int) { return 0; }

int CResourceClientLibBio::ResSetTimeout(unsigned long) { return 0; }

int CResourceClientLibBio::ResSend(ResCommType, const void* data, int length) {
    if (!m_bio) return -res_socket_error(ENOTCONN);
    errno = 0;
    int r = BIO_write(m_bio, data, length);
    if (r > 0) return 0;
    // A failed write is never reported as success, even when the socket layer
    // left no error number behind.
    return -res_socket_error(errno);
}

int CResourceClientLibBio::ResRecv(ResCommType, void* buffer, int capacity) {
    if (!m_bio) return -res_socket_error(ENOTCONN);
    errno = 0;
    int r = BIO_read(m_bio, buffer, capacity);
    if (r > 0) return r;
    return errno ? -res_socket_error(errno) : 0;
}

unsigned int CResourceClientLibBio::TmpGetSocket() { return 1; }

int CResourceClientLibBio::local_getsockname(ResCommType, sockaddr*, socklen_t*) { return 0; }

int CResourceClientLibBio::Close() {
    if (m_bio) {
        BIO_free_all(m_bio);
        m_bio = nullptr;
    }
    if (m_ctx) {
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    return 0;
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

    char target[256];
    std::snprintf(target, sizeof target, "%s:%u", m_host, unsigned(m_port));

    const bool tls = m_certificate && m_key;
    SSL* ssl = nullptr;
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
        m_bio = BIO_new_ssl_connect(m_ctx);
        if (m_bio) {
            BIO_set_conn_hostname(m_bio, target);
            BIO_get_ssl(m_bio, &ssl);
            if (ssl) SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
        }
    } else {
        m_bio = BIO_new_connect(target);
    }
    if (!m_bio) {
        std::fprintf(stderr, "SSL: Failure BIO_new_connect\n");
        return fail();
    }

    if (BIO_do_connect(m_bio) <= 0) {
        unsigned long e = ERR_get_error();
        const char* reason = ERR_reason_error_string(e);
        std::fprintf(stderr, "SSL: Failure connection, reason: %lu %s\n", e, reason ? reason : "");
        return fail();
    }

    if (tls && ssl) {
        if (SSL_get_verify_result(ssl) != X509_V_OK) {
            std::fprintf(stderr, "Wrong server certificate or no matching certificate on client...\n");
            if (m_strict) return fail();
        }
    }
    return 0;
}

}  // namespace ZYRK
