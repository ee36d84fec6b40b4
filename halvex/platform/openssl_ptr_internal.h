// Owning pointers for OpenSSL objects, one kind of pointer per kind of
// object, for the library, the program's camera actions and the camera
// simulator. Header only and not installed with the library: it adds nothing
// to what libhalvex exports.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace ZYRK {

// Frees an object with OpenSSL's function for its kind.
template <auto Free>
struct COpenSslFree {
    template <class T>
    void operator()(T* object) const
    {
        Free(object);
    }
};

using BioPtr = std::unique_ptr<BIO, COpenSslFree<BIO_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, COpenSslFree<BN_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, COpenSslFree<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, COpenSslFree<EVP_PKEY_CTX_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, COpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, COpenSslFree<SSL_free>>;
using X509Ptr = std::unique_ptr<X509, COpenSslFree<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, COpenSslFree<X509_STORE_free>>;

}  // namespace ZYRK
