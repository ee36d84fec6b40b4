// The camera's HTTP server: its web page "/", the setup wizard "/setupwizard"
// and the certificate upload "PUT /m2m/uploadcert". An uploaded PEM
// certificate is parsed, stored as trusted in the camera's trust folder and
// answered with a small XML document whose "body" says what happened, e.g.
//   <?xml version="1.0"?><response><head><title>Upload</title></head>
//   <body>Certificate stored. Subject: /C=DE/O=ZYRK/CN=host</body></response>
// A bad upload gets status 400 and an error sentence in "body"; an upload
// larger than the limit gets 413. Other paths give 404.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <openssl/types.h>

struct MHD_Daemon;

namespace camsim {

// What the web pages show about the camera.
struct WebIdentity {
    std::string name;
    std::string model;
    std::string serial;
    std::string mac;
    std::string address;
    std::string hostName;
};

// A certificate that was stored in a trust folder.
struct TrustedCertificate {
    std::string path;         // the file it was written to
    std::string subject;      // one-line form, e.g. "/C=DE/O=ZYRK/CN=host"
    std::string fingerprint;  // SHA-256 of the DER form, lower-case hex
};

// Writes cert as "<trustDir>/<fingerprint>.pem" (created anew beside the old
// file and renamed over it, so readers see a complete file). Creates the
// folder when it is missing. False with a message on failure.
bool StoreTrustedCertificate(const std::string& trustDir, X509* cert, TrustedCertificate& stored,
                             std::string& error);

// The subject in its one-line form.
std::string SubjectLine(X509* cert);

inline constexpr size_t kDefaultUploadLimit = 64 * 1024;

struct HttpServiceConfig {
    std::string bindAddress = "127.0.0.1";  // IPv4, the camera's own address in the lab
    uint16_t port = 80;                     // 0: an ephemeral port (see HttpService::Port)
    std::string trustDir;                   // where uploaded certificates go
    size_t uploadLimit = kDefaultUploadLimit;
    unsigned maxConnections = 32;
    unsigned connectionTimeoutSeconds = 30;
    WebIdentity identity;
    // Called after a certificate was stored (on a server thread).
    std::function<void(const TrustedCertificate&)> onCertificateStored;
};

class HttpService {
public:
    explicit HttpService(HttpServiceConfig config);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds and starts serving; false with a message on error. Starting a
    // running service is an error.
    bool Start(std::string& error);
    // Stops serving and waits for the server's threads; safe to call twice.
    void Stop();
    // Stops, takes a new listening address (the camera's address changed)
    // and starts again. The pages' address is SetIdentity's business.
    bool Rebind(const std::string& bindAddress, std::string& error);
    bool Running() const;
    // The bound port (the ephemeral one when the configuration asked for 0).
    uint16_t Port() const;

    // The pages follow the camera's current identity (e.g. a new address).
    void SetIdentity(const WebIdentity& identity);
    WebIdentity Identity() const;

    // Request handling, reached from the server's callback.
    struct Request;
    struct Reply {
        unsigned status = 200;
        std::string contentType;
        std::string body;
    };
    Reply HandleGet(const std::string& url) const;
    Reply HandleUpload(const std::string& data);
    Reply TooLarge() const;
    size_t UploadLimit() const { return config_.uploadLimit; }

private:
    HttpServiceConfig config_;
    mutable std::mutex mutex_;  // identity_, daemon_, port_
    WebIdentity identity_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
    std::mutex storeMutex_;     // one upload writes the trust folder at a time
};

}  // namespace camsim
