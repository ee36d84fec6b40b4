// The client certificate that Teliox presents to cameras over TLS: a 4096-bit
// RSA key (e = 65537) and a self-signed X.509 certificate, serial 1, valid for
// 630720000 s (7300 days) from the moment of generation, subject
// C=<user's country>, O=ZYRK, CN=<host name>, signed with SHA-256.
#pragma once

#include "app/actions/action_status.h"
#include "app/actions/cert_store.h"

#include <halvex/platform/openssl_ptr_internal.h>

#include <memory>
#include <optional>
#include <string>

inline constexpr long kClientCertValiditySeconds = 630720000L;
inline constexpr int kClientKeyBits = 4096;
inline constexpr unsigned long kClientKeyExponent = 65537UL;

using ZYRK::EvpPkeyPtr;
using ZYRK::X509Ptr;

// The working objects of one generation.
struct ClientCertificate {
    EvpPkeyPtr key;
    X509Ptr cert;
};

struct ClientCertificateOptions {
    std::optional<std::string> hostName;  // default: gethostname()
    std::optional<std::string> country;   // default: UserCountry()
    int keyBits = kClientKeyBits;         // the product always uses 4096
    CancelFlag cancel;                    // set: the key generation gives up
};

// Two-letter country code of a locale name such as "de_DE.UTF-8" -> "DE";
// empty when the name carries none ("C", "POSIX", "en").
std::string CountryFromLocale(const std::string& locale);

// The country of the user's locale: the first non-empty of LC_ALL,
// LC_MESSAGES and LANG decides (as it does for the C library); "US" when that
// one names no country or none is set.
std::string UserCountry();

// The computer's host name as the sockets layer reports it (up to
// HOST_NAME_MAX, 64 bytes on Linux, whole); empty on failure.
std::string LocalHostName();

// Fills the working objects. On failure the status text holds the message of
// the failing step and the result is false. Takes seconds for a 4096-bit key;
// it touches nothing but its arguments, so it can run on a worker thread.
bool GenerateClientCertificate(ClientCertificate& out, IActionStatus& status,
                               const ClientCertificateOptions& options = {});

// Writes "cert.pem" (mode 0644) and then "key.pem" (mode 0600), each whole
// or not at all (the old file stays until the new one is complete). A file
// that cannot be created or written sets the status "Error writing cert file"
// or "Error writing private key file"; the result is false when either
// failed. When "cert.pem" fails, "key.pem" is left as it was, so the pair on
// disk never mixes an old certificate with a new key.
bool WriteClientCertificate(const ClientCertificate& cc, const CertificatePaths& paths,
                            IActionStatus& status);
