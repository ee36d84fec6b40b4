// CResourceClientLibBio: the protocol engine over an OpenSSL BIO, a TLS
// connection with a client certificate or a plain BIO connection. The
// socket under the BIO is non-blocking: connecting and the handshake end
// within the connect wait (5 s), and with a timeout every send and receive of
// one exchange ends at the exchange's deadline.
#pragma once

#include <halvex/client/resourceclientlib.h>

typedef struct bio_st BIO;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace ZYRK {

class HALVEX_API CResourceClientLibBio : public CResourceClientLib {
public:
    // Certificate, key and the trust-store path stay the caller's and must
    // outlive the transport.
    CResourceClientLibBio(const char* host, unsigned short port, X509* certificate, EVP_PKEY* key,
                          const char* trustFile, bool strict);
    ~CResourceClientLibBio() override;

    int FlushSock(ResCommType comm, const char* name) override;
    int SetSocketBlocking(int blocking) override;
    int ResSend(ResCommType comm, const void* data, int length) override;
    int ResRecv(ResCommType comm, void* buffer, int capacity) override;
    int Open() override;
    int Close() override;
    unsigned int TmpGetSocket() override;
    int local_getsockname(ResCommType comm, struct sockaddr* address, socklen_t* length) override;
    int ResSetTimeout(unsigned long milliseconds) override;

private:
    // One read or write of up to `length` bytes, waiting as the connection
    // allows: the count, 0 when the peer closed, or a negative result.
    int Transfer(const ResCommType& comm, void* data, int length, bool write);
    // TLS handshake until the deadline (monotonic milliseconds); 0, or -1
    // with OpenSSL's error code (0 when none) and a reason.
    int Handshake(int64_t deadline, unsigned long& code, const char*& reason);

    BIO* m_bio;
    SSL_CTX* m_ctx;
    SSL* m_ssl;  // the TLS connection inside m_bio; null for a plain BIO
    int m_fd;    // the socket under the BIO
    X509* m_certificate;
    EVP_PKEY* m_key;
    const char* m_trustFile;
    bool m_strict;
};

}  // namespace ZYRK
