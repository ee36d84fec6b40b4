#include "tools/camsim/tls_service.h"

#include "tools/camsim/service_files.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace camsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kRelayBuffer = 64 * 1024;  // per direction
constexpr int kFlushMs = 5000;              // after one side has closed
constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

// A write to a peer that has gone away must fail with EPIPE, not end the
// process: the service's threads keep SIGPIPE blocked (a signal raised by a
// write goes to the writing thread and stays pending there).
void BlockSigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string Der(X509* cert) {
    unsigned char* out = nullptr;
    int length = i2d_X509(cert, &out);
    if (length <= 0) return {};
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(length));
    OPENSSL_free(out);
    return der;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool MakeIdentity(const std::string& commonName, X509** certOut, EVP_PKEY** keyOut, std::string& error) {
    ZYRK::EvpPkeyPtr key(EVP_RSA_gen(2048));
    ZYRK::X509Ptr cert(X509_new());
    if (!key || !cert) {
        error = "cannot make a key: " + OpenSslError();
        return false;
    }
    // A common name has 1 to 64 characters.
    std::string cn = commonName.empty() ? std::string("camera") : commonName.substr(0, 64);
    unsigned char serial[8];
    bool ok = RAND_bytes(serial, sizeof serial) == 1;
    serial[0] &= 0x7F;  // positive
    ZYRK::BignumPtr bn(ok ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr);
    ok = bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) != nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    ok = ok && X509_set_version(cert.get(), 2) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) != nullptr &&
         X509_set_pubkey(cert.get(), key.get()) == 1 &&
         X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("ZYRK"), -1, -1,
                                    0) == 1 &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()),
                                    -1, -1, 0) == 1 &&
         X509_set_issuer_name(cert.get(), name) == 1 && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = "cannot make the camera's certificate: " + OpenSslError();
        return false;
    }
    *certOut = cert.release();
    *keyOut = key.release();
    return true;
}

// Waits for events on fd, the stop signal or the deadline (none when
// deadline is max). Returns false on stop, timeout or a poll error.
bool WaitFor(int fd, short events, int stopFd, Clock::time_point deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            timeout = static_cast<int>(std::min<long long>(left, 60000));
        }
        pollfd p[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        int n = poll(p, 2, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (p[1].revents) return false;
        if (p[0].revents) return true;
    }
}

bool Handshake(SSL* ssl, int fd, int stopFd, Clock::time_point deadline) {
    for (;;) {
        ERR_clear_error();
        int rc = SSL_accept(ssl);
        if (rc == 1) return true;
        int why = SSL_get_error(ssl, rc);
        if (why == SSL_ERROR_WANT_READ) {
            if (!WaitFor(fd, POLLIN, stopFd, deadline)) return false;
        } else if (why == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(fd, POLLOUT, stopFd, deadline)) return false;
        } else {
            return false;
        }
    }
}

int ConnectBackend(const std::string& address, uint16_t port, int stopFd, int timeoutMs) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (errno == EINPROGRESS &&
        WaitFor(fd, POLLOUT, stopFd, Clock::now() + std::chrono::milliseconds(timeoutMs))) {
        int soerr = 0;
        socklen_t len = sizeof soerr;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) == 0 && soerr == 0) return fd;
    }
    close(fd);
    return -1;
}

// Moves bytes between the TLS client and the backend until one side ends;
// what is already read from that side is still passed on (for a bounded
// time), then both close.
void Relay(SSL* ssl, int clientFd, int backendFd, int stopFd) {
    std::string toBackend, toClient;
    std::vector<char> buffer(16 * 1024);
    bool clientEnded = false, backendEnded = false, failed = false;
    short readWaits = POLLIN;  // what the last SSL_read waited for
    short writeWaits = 0;      // what the last SSL_write waited for

    for (;;) {
        while (!clientEnded && toBackend.size() < kRelayBuffer) {
            size_t n = 0;
            ERR_clear_error();
            int rc = SSL_read_ex(ssl, buffer.data(), std::min(buffer.size(), kRelayBuffer - toBackend.size()), &n);
            if (rc == 1) {
                toBackend.append(buffer.data(), n);
                continue;
            }
            int why = SSL_get_error(ssl, rc);
            if (why == SSL_ERROR_WANT_READ) readWaits = POLLIN;
            else if (why == SSL_ERROR_WANT_WRITE) readWaits = POLLOUT;
            else clientEnded = true;
            break;
        }
        while (!toBackend.empty()) {
            ssize_t n = send(backendFd, toBackend.data(), toBackend.size(), MSG_NOSIGNAL);
            if (n > 0) {
                toBackend.erase(0, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            failed = true;
            break;
        }
        while (!backendEnded && toClient.size() < kRelayBuffer) {
            ssize_t n = recv(backendFd, buffer.data(), std::min(buffer.size(), kRelayBuffer - toClient.size()), 0);
            if (n > 0) {
                toClient.append(buffer.data(), static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            backendEnded = true;
            break;
        }
        writeWaits = 0;
        while (!toClient.empty() && !failed) {
            size_t n = 0;
            ERR_clear_error();
            int rc = SSL_write_ex(ssl, toClient.data(), toClient.size(), &n);
            if (rc == 1) {
                toClient.erase(0, n);
                continue;
            }
            int why = SSL_get_error(ssl, rc);
            if (why == SSL_ERROR_WANT_WRITE) writeWaits = POLLOUT;
            else if (why == SSL_ERROR_WANT_READ) writeWaits = POLLIN;
            else failed = true;
            break;
        }

        if (failed || (clientEnded && backendEnded)) return;
        if (clientEnded && toBackend.empty()) return;
        if (backendEnded && toClient.empty()) return;

        const bool flushing = clientEnded || backendEnded;
        pollfd p[3] = {{-1, 0, 0}, {-1, 0, 0}, {stopFd, POLLIN, 0}};
        short clientEvents = writeWaits;
        if (!clientEnded && toBackend.size() < kRelayBuffer) clientEvents |= readWaits;
        if (clientEvents) p[0] = {clientFd, clientEvents, 0};
        short backendEvents = 0;
        if (!backendEnded && toClient.size() < kRelayBuffer) backendEvents |= POLLIN;
        if (!toBackend.empty()) backendEvents |= POLLOUT;
        if (backendEvents) p[1] = {backendFd, backendEvents, 0};
        int n;
        do {
            n = poll(p, 3, flushing ? kFlushMs : -1);
        } while (n < 0 && errno == EINTR);
        if (n <= 0 || p[2].revents) return;
    }
}

int VerifyClient(int ok, X509_STORE_CTX* ctx) {
    if (ok) return 1;
    // A self-signed certificate is accepted when it is one of the trusted
    // certificates byte for byte (whatever else the chain check disliked).
    if (X509_STORE_CTX_get_error_depth(ctx) != 0) return 0;
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* trust = ssl ? static_cast<const TrustSet*>(SSL_get_app_data(ssl)) : nullptr;
    if (!cert || !trust || X509_check_issued(cert, cert) != X509_V_OK || !trust->Contains(cert)) return 0;
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
}

}  // namespace

TrustSet::TrustSet() : store(X509_STORE_new()) {
    // Every trusted certificate is an anchor of its own, self-signed or not.
    if (store) X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
}

bool TrustSet::Contains(X509* cert) const {
    const std::string d = Der(cert);
    return !d.empty() && std::find(der.begin(), der.end(), d) != der.end();
}

std::shared_ptr<const TrustSet> LoadTrustSet(const std::string& dir) {
    auto set = std::make_shared<TrustSet>();
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec)) return set;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::error_code fec;
        if (entry.path().extension() == ".pem" && entry.is_regular_file(fec)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        ZYRK::BioPtr bio(BIO_new_file(file.c_str(), "r"));
        if (!bio) continue;
        while (X509* raw = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            ZYRK::X509Ptr cert(raw);
            std::string d = Der(cert.get());
            if (d.empty() || std::find(set->der.begin(), set->der.end(), d) != set->der.end()) continue;
            if (set->store) X509_STORE_add_cert(set->store.get(), cert.get());
            set->der.push_back(std::move(d));
        }
        ERR_clear_error();  // the end of the file reads as an error
    }
    return set;
}

bool LoadOrCreateIdentity(const std::string& certFile, const std::string& keyFile, const std::string& commonName,
                          X509** cert, EVP_PKEY** key, std::string& error) {
    *cert = nullptr;
    *key = nullptr;
    if (FileExists(certFile) && FileExists(keyFile)) {
        ZYRK::BioPtr cb(BIO_new_file(certFile.c_str(), "r"));
        ZYRK::X509Ptr c(cb ? PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr) : nullptr);
        ZYRK::BioPtr kb(BIO_new_file(keyFile.c_str(), "r"));
        ZYRK::EvpPkeyPtr k(kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr)
                                                 : nullptr);
        if (!c) {
            error = "cannot read the certificate " + certFile + ": " + OpenSslError();
            return false;
        }
        if (!k) {
            error = "cannot read the key " + keyFile + ": " + OpenSslError();
            return false;
        }
        if (X509_check_private_key(c.get(), k.get()) != 1) {
            ERR_clear_error();
            error = keyFile + " is not the key of " + certFile;
            return false;
        }
        *cert = c.release();
        *key = k.release();
        return true;
    }

    X509* c = nullptr;
    EVP_PKEY* k = nullptr;
    if (!MakeIdentity(commonName, &c, &k, error)) return false;
    ZYRK::X509Ptr certHolder(c);
    ZYRK::EvpPkeyPtr keyHolder(k);
    if (!keyFile.empty() &&
        !WriteFileAtomically(keyFile, keyFile + ".new", 0600, [&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        }, error))
        return false;
    if (!certFile.empty() &&
        !WriteFileAtomically(certFile, certFile + ".new", 0644, [&](BIO* b) { return PEM_write_bio_X509(b, c) == 1; },
                             error))
        return false;
    *cert = certHolder.release();
    *key = keyHolder.release();
    return true;
}

TlsService::TlsService(TlsServiceConfig config) : config_(std::move(config)) {}

TlsService::~TlsService() { Stop(); }

bool TlsService::Start(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        error = "the TLS service is already running";
        return false;
    }
    sockaddr_in addr{};
    sockaddr_in backend{};
    if (!ParseSocketAddress(config_.bindAddress, config_.port, addr, error) ||
        !ParseSocketAddress(config_.backendAddress, config_.backendPort, backend, error))
        return false;

    X509* rawCert = nullptr;
    EVP_PKEY* rawKey = nullptr;
    if (!LoadOrCreateIdentity(config_.certFile, config_.keyFile, config_.hostName, &rawCert, &rawKey, error))
        return false;
    ZYRK::X509Ptr cert(rawCert);
    ZYRK::EvpPkeyPtr key(rawKey);

    ZYRK::SslCtxPtr owned(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* ctx = owned.get();
    if (!ctx || SSL_CTX_use_certificate(ctx, cert.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
        error = "cannot set up TLS: " + OpenSslError();
        return false;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &VerifyClient);
    // Every connection runs a full handshake, so a client is checked against
    // the trust folder of that moment.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx, 0);
    static const unsigned char kSessionContext[] = "camsim-tls";
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        error = "cannot listen on " + config_.bindAddress + ":" + std::to_string(config_.port) + ": " +
                std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        close(fd);
        return false;
    }

    ZYRK::BioPtr pem(BIO_new(BIO_s_mem()));
    if (pem && PEM_write_bio_X509(pem.get(), cert.get()) == 1) {
        char* data = nullptr;
        long size = BIO_get_mem_data(pem.get(), &data);
        certPem_.assign(data, static_cast<size_t>(size));
    }
    ctx_ = std::move(owned);
    listenFd_ = fd;
    stopFd_ = stopFd;
    port_ = ntohs(bound.sin_port);
    trust_ = LoadTrustSet(config_.trustDir);
    running_ = true;
    acceptThread_ = std::thread([this] {
        BlockSigpipe();
        AcceptLoop();
    });
    return true;
}

void TlsService::Stop() {
    std::thread acceptor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        running_ = false;
        uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) {
            // The counter cannot overflow here; nothing to do.
        }
        acceptor = std::move(acceptThread_);
    }
    if (acceptor.joinable()) acceptor.join();
    Reap(true);
    std::lock_guard<std::mutex> lock(mutex_);
    close(listenFd_);
    close(stopFd_);
    listenFd_ = stopFd_ = -1;
    ctx_.reset();
    port_ = 0;
}

bool TlsService::Rebind(const std::string& bindAddress, std::string& error) {
    Stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.bindAddress = bindAddress;
    }
    return Start(error);
}

bool TlsService::Running() const { return running_.load(); }

uint16_t TlsService::Port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

void TlsService::ReloadTrustStore() {
    auto set = LoadTrustSet(config_.trustDir);
    std::lock_guard<std::mutex> lock(mutex_);
    trust_ = std::move(set);
}

std::string TlsService::CertificatePem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return certPem_;
}

void TlsService::Reap(bool all) {
    std::list<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (all || it->done.load()) finished.splice(finished.end(), workers_, it);
            it = next;
        }
    }
    for (Worker& w : finished)
        if (w.thread.joinable()) w.thread.join();
}

void TlsService::AcceptLoop() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        int n = poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || p[1].revents) return;
        Reap(false);
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: wait a little instead of spinning.
                pollfd s{stopFd_, POLLIN, 0};
                poll(&s, 1, 100);
            }
            continue;
        }
        if (active_.load() >= std::max(1u, config_.maxConnections)) {
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++accepted_;
        ++active_;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back();
        Worker* worker = &workers_.back();
        std::shared_ptr<const TrustSet> trust = trust_;
        try {
            worker->thread = std::thread([this, fd, trust, worker] {
                BlockSigpipe();
                Serve(fd, trust);
                --active_;
                worker->done = true;
            });
        } catch (const std::system_error&) {
            // No thread to be had: this client is turned away.
            workers_.pop_back();
            --active_;
            close(fd);
        }
    }
}

void TlsService::Stall(int fd) {
    const auto start = Clock::now();
    const auto end = start + std::chrono::minutes(1);
    bool clientClosed = false;
    char sink[4096];
    while (WaitFor(fd, POLLIN, stopFd_, end)) {
        ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            clientClosed = true;
            break;
        }
    }
    ++rejected_;
    if (config_.onStallEnded)
        config_.onStallEnded(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
                             clientClosed);
    close(fd);
}

void TlsService::Serve(int fd, std::shared_ptr<const TrustSet> trust) {
    if (config_.stallHandshake) {
        Stall(fd);
        return;
    }
    ZYRK::SslPtr ssl(SSL_new(ctx_.get()));
    bool ok = ssl && SSL_set_fd(ssl.get(), fd) == 1;
    if (ok) {
        SSL_set_app_data(ssl.get(), const_cast<TrustSet*>(trust.get()));
        if (trust->store) SSL_set1_verify_cert_store(ssl.get(), trust->store.get());
        SSL_set_accept_state(ssl.get());
        ok = Handshake(ssl.get(), fd, stopFd_,
                       Clock::now() + std::chrono::milliseconds(std::max(1, config_.handshakeTimeoutMs)));
        if (!ok) ++rejected_;
    }
    if (ok) {
        int backend = ConnectBackend(config_.backendAddress, config_.backendPort, stopFd_,
                                     std::max(1, config_.backendConnectTimeoutMs));
        if (backend >= 0) {
            ++relayed_;
            Relay(ssl.get(), fd, backend, stopFd_);
            close(backend);
        }
        ERR_clear_error();
        SSL_shutdown(ssl.get());  // one close_notify, not waited for
    }
    ERR_clear_error();
    ssl.reset();
    close(fd);
}

}  // namespace camsim
