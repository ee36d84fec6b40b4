#include "app/actions/client_cert.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

bool AddNameEntry(X509_NAME* name, const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>(value.c_str()),
                                      -1, -1, 0) == 1;
}

// Called by OpenSSL while it searches for primes; 0 ends the generation.
int KeygenProgress(EVP_PKEY_CTX* ctx) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(EVP_PKEY_CTX_get_app_data(ctx));
    return cancel && cancel->load() ? 0 : 1;
}

bool Fail(IActionStatus& status, const char* text) {
    status.SetStatusText(text);
    return false;
}

}  // namespace

std::string CountryFromLocale(const std::string& locale) {
    // language[_territory][.codeset][@modifier]
    size_t us = locale.find('_');
    if (us == std::string::npos) return {};
    size_t end = locale.find_first_of(".@", us + 1);
    std::string territory = locale.substr(us + 1, end == std::string::npos ? std::string::npos : end - us - 1);
    if (territory.size() != 2) return {};
    for (char& c : territory) {
        if (!std::isalpha(static_cast<unsigned char>(c))) return {};
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return territory;
}

std::string UserCountry() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value && *value) {
            std::string country = CountryFromLocale(value);
            return country.empty() ? "US" : country;
        }
    }
    return "US";
}

std::string LocalHostName() {
    // Room for the longest name and its NUL: a name of HOST_NAME_MAX bytes
    // fits whole. gethostname need not terminate a name it had to cut.
    char buf[HOST_NAME_MAX + 2] = {};
    if (gethostname(buf, HOST_NAME_MAX + 1) != 0) return {};
    buf[HOST_NAME_MAX + 1] = '\0';
    return buf;
}

bool GenerateClientCertificate(ClientCertificate& out, IActionStatus& status,
                               const ClientCertificateOptions& options) {
    out.key.reset();
    out.cert.reset();
    const std::string country = options.country ? *options.country : UserCountry();
    const std::string organisation = "ZYRK";
    const std::string commonName = options.hostName ? *options.hostName : LocalHostName();

    ZYRK::BignumPtr exponent(BN_new());
    if (!exponent || BN_set_word(exponent.get(), kClientKeyExponent) != 1)
        return Fail(status, "BN_set_word error");

    // RSA key generation through the EVP interface, the exponent set explicitly.
    EVP_PKEY* raw = nullptr;
    {
        ZYRK::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        if (ctx && options.cancel) {
            EVP_PKEY_CTX_set_app_data(ctx.get(), options.cancel.get());
            EVP_PKEY_CTX_set_cb(ctx.get(), KeygenProgress);
        }
        if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
            EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), options.keyBits) <= 0 ||
            EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0 ||
            EVP_PKEY_keygen(ctx.get(), &raw) <= 0 || !raw)
            return Fail(status, "RSA_generate_key error");
    }
    EvpPkeyPtr key(raw);
    // The generated object already is the private key; make sure it holds RSA.
    if (!EVP_PKEY_is_a(key.get(), "RSA")) return Fail(status, "EVP_PKEY_assign_RSA error");

    X509Ptr cert(X509_new());
    if (!cert || ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) != 1)
        return Fail(status, "ASN1_INTEGER_set error");

    // Both bounds from one reading of the clock, so the span is exact.
    time_t now = std::time(nullptr);
    if (!X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &now) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, kClientCertValiditySeconds, &now))
        return Fail(status, "Time adjust error");

    if (X509_set_pubkey(cert.get(), key.get()) != 1)
        return Fail(status, "An error occurred when setting public key");

    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (!AddNameEntry(subject, "C", country)) return Fail(status, "An error occurred when setting Country");
    if (!AddNameEntry(subject, "O", organisation))
        return Fail(status, "An error occurred when setting Organization");
    if (!AddNameEntry(subject, "CN", commonName))
        return Fail(status, "An error occurred when setting Common Name");
    if (X509_set_issuer_name(cert.get(), subject) != 1)
        return Fail(status, "An error occurred when setting issuer name");
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return Fail(status, "An error occurred when signing");

    out.key = std::move(key);
    out.cert = std::move(cert);
    return true;
}

bool WriteClientCertificate(const ClientCertificate& cc, const CertificatePaths& paths,
                            IActionStatus& status) {
    // Both files are written in full before either replaces its old one, and
    // the key goes first: a failure leaves the old pair, never a new
    // certificate beside an old key.
    std::string error;
    CPendingFile cert, key;
    if (!cc.cert || !cert.Write(paths.clientCertPath, 0644, [&](FILE* f) {
            return PEM_write_X509(f, cc.cert.get()) == 1;
        }, error)) {
        status.SetStatusText("Error writing cert file");
        return false;
    }
    if (!cc.key || !key.Write(paths.clientKeyPath, 0600, [&](FILE* f) {
            return PEM_write_PrivateKey(f, cc.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        }, error) || !key.Commit(error)) {
        status.SetStatusText("Error writing private key file");
        return false;
    }
    if (!cert.Commit(error)) {
        status.SetStatusText("Error writing cert file");
        return false;
    }
    return true;
}
