// CResourceClientLibBio: the protocol engine over an OpenSSL BIO, a TLS
// connection with a client certificate or a plain BIO connection.
#pragma once

#include <halvex/client/resourceclientlib.h>

typedef struct bio_st BIO;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_ctx_st SSL_CTX;

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
    BIO* m_bio;
    SSL_CTX* m_ctx;
    X509* m_certificate;
    EVP_PKEY* m_key;
    const char* m_trustFile;
    bool m_strict;
};

}  // namespace ZYRK
