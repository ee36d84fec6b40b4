// The camera's TLS front of its resource server. It presents the camera's
// own self-signed certificate (made at start-up when the configured files do
// not exist), requires a client certificate that the camera trusts (the ones
// uploaded through the HTTP service, in the trust folder) and then relays the
// plain resource-tree protocol bytes both ways to the camera's resource
// server, so that one resource tree serves both ports. Closing either side
// closes both.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <halvex/platform/openssl_ptr_internal.h>

namespace camsim {

struct TlsServiceConfig {
    std::string bindAddress = "127.0.0.1";  // IPv4, the camera's own address in the lab
    uint16_t port = 9100;                   // 0: an ephemeral port (see TlsService::Port)
    std::string hostName = "camera";        // common name of a certificate made here
    // The camera's certificate and key (PEM). When either file is missing a
    // new pair is made and written there; empty paths keep it in memory.
    std::string certFile;
    std::string keyFile;
    std::string trustDir;                   // trusted client certificates, "*.pem"
    std::string backendAddress = "127.0.0.1";
    uint16_t backendPort = 22136;
    unsigned maxConnections = 16;           // further clients are closed at once
    int handshakeTimeoutMs = 10000;
    int backendConnectTimeoutMs = 5000;
    // Take each connection and read what comes without ever answering the
    // handshake, until the client gives up (or a minute has passed);
    // onStallEnded then hears how long the client waited, in milliseconds.
    bool stallHandshake = false;
    std::function<void(long long waitedMs, bool clientClosed)> onStallEnded;
};

// The trusted certificates of one moment; connections keep the set they
// started with.
struct TrustSet {
    TrustSet();
    TrustSet(const TrustSet&) = delete;
    TrustSet& operator=(const TrustSet&) = delete;
    bool Contains(X509* cert) const;  // byte-identical DER
    ZYRK::X509StorePtr store;
    std::vector<std::string> der;
};

// Every certificate in the "*.pem" files of dir (files that do not parse are
// skipped).
std::shared_ptr<const TrustSet> LoadTrustSet(const std::string& dir);

// Loads the pair from certFile/keyFile, or makes a new self-signed RSA 2048
// certificate for commonName (and writes it there when the paths are given)
// when either file does not exist. False with a message on error.
bool LoadOrCreateIdentity(const std::string& certFile, const std::string& keyFile, const std::string& commonName,
                          X509** cert, EVP_PKEY** key, std::string& error);

class TlsService {
public:
    explicit TlsService(TlsServiceConfig config);
    ~TlsService();
    TlsService(const TlsService&) = delete;
    TlsService& operator=(const TlsService&) = delete;

    // Loads or makes the certificate, loads the trust folder, binds and
    // starts accepting; false with a message on error.
    bool Start(std::string& error);
    // Closes the listener and every connection and waits for their threads;
    // safe to call twice.
    void Stop();
    // Stops, takes a new listening address (the camera's address changed)
    // and starts again; open connections end.
    bool Rebind(const std::string& bindAddress, std::string& error);
    bool Running() const;
    uint16_t Port() const;

    // Reads the trust folder again; new connections use the new set. Call it
    // when a certificate has been uploaded.
    void ReloadTrustStore();

    // The camera's certificate in PEM (empty before Start).
    std::string CertificatePem() const;

    // Counters, for the log and for tests.
    size_t AcceptedConnections() const { return accepted_.load(); }
    size_t RejectedHandshakes() const { return rejected_.load(); }
    size_t RelayedConnections() const { return relayed_.load(); }
    size_t ActiveConnections() const { return active_.load(); }

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void AcceptLoop();
    void Serve(int fd, std::shared_ptr<const TrustSet> trust);
    void Stall(int fd);
    void Reap(bool all);

    TlsServiceConfig config_;
    mutable std::mutex mutex_;  // trust_, workers_, certPem_
    ZYRK::SslCtxPtr ctx_;
    std::shared_ptr<const TrustSet> trust_;
    std::string certPem_;
    int listenFd_ = -1;
    int stopFd_ = -1;           // eventfd: readable once Stop has begun
    uint16_t port_ = 0;
    std::atomic<bool> running_{false};
    std::thread acceptThread_;
    std::list<Worker> workers_;
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> rejected_{0};
    std::atomic<size_t> relayed_{0};
    std::atomic<size_t> active_{0};
};

}  // namespace camsim
