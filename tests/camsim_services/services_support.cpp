#include "services_support.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Generous bounds so that a fault shows as a failure, never as a hang.
constexpr int kIoTimeoutMs = 20000;

int ConnectLoopback(uint16_t port, const char* host = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, host, &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct SigpipeIgnored {
    SigpipeIgnored() { std::signal(SIGPIPE, SIG_IGN); }
} sigpipeIgnored;  // the test processes write to peers that close on them

}  // namespace

void X509Deleter::operator()(X509* x) const { X509_free(x); }
void PkeyDeleter::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }

std::string Identity::Pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert.get());
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(size));
    BIO_free(bio);
    return pem;
}

Identity MakeIdentity(const std::string& commonName) {
    Identity id;
    id.key.reset(EVP_EC_gen("P-256"));
    id.cert.reset(X509_new());
    X509* c = id.cert.get();
    ASN1_INTEGER_set(X509_get_serialNumber(c), 1);
    X509_gmtime_adj(X509_getm_notBefore(c), -60);
    X509_gmtime_adj(X509_getm_notAfter(c), 3600L * 24 * 365);
    X509_set_pubkey(c, id.key.get());
    X509_NAME* name = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("ZYRK"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(c, name);
    X509_sign(c, id.key.get(), EVP_sha256());
    return id;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "camsim-services-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made) path_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

size_t CountFiles(const std::string& dir, const std::string& extension) {
    std::error_code ec;
    size_t n = 0;
    if (!std::filesystem::is_directory(dir, ec)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == extension) ++n;
    return n;
}

HttpReply RawHttp(uint16_t port, const std::string& request, const char* host) {
    HttpReply reply;
    int fd = ConnectLoopback(port, host);
    if (fd < 0) return reply;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may answer and close early
        sent += static_cast<size_t>(n);
    }
    std::string all;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        all.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/", 0) != 0 || end == std::string::npos) return reply;
    reply.status = std::atoi(all.c_str() + all.find(' ') + 1);
    reply.headers = all.substr(0, end);
    reply.body = all.substr(end + 4);
    return reply;
}

HttpReply PutCertificate(uint16_t port, const std::string& data, const char* version) {
    std::string request = std::string("PUT /m2m/uploadcert ") + version +
                          "\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                          std::to_string(data.size()) + "\r\n\r\n" + data;
    return RawHttp(port, request);
}

TlsExchange TlsRoundTrip(uint16_t port, X509* cert, EVP_PKEY* key, const std::string& data, size_t expect) {
    TlsExchange result;
    if (expect == std::string::npos) expect = data.size();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return result;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (cert && key) {
        SSL_CTX_use_certificate(ctx, cert);
        SSL_CTX_use_PrivateKey(ctx, key);
    }
    int fd = ConnectLoopback(port);
    SSL* ssl = fd >= 0 ? SSL_new(ctx) : nullptr;
    if (ssl) {
        SSL_set_fd(ssl, fd);
        result.handshake = SSL_connect(ssl) == 1;
        if (result.handshake) {
            // Non-blocking from here: write and read at once so that a large
            // transfer cannot deadlock against the relay's buffers.
            int flags = fcntl(fd, F_GETFL);
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
            size_t written = 0;
            char buffer[16384];
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
            while (result.received.size() < expect && std::chrono::steady_clock::now() < deadline) {
                short events = POLLIN;
                if (written < data.size()) {
                    size_t n = 0;
                    int rc = SSL_write_ex(ssl, data.data() + written, data.size() - written, &n);
                    if (rc == 1) written += n;
                    else if (SSL_get_error(ssl, rc) == SSL_ERROR_WANT_WRITE) events |= POLLOUT;
                    else if (SSL_get_error(ssl, rc) != SSL_ERROR_WANT_READ) {
                        result.closedByPeer = true;
                        break;
                    }
                }
                size_t n = 0;
                int rc = SSL_read_ex(ssl, buffer, sizeof buffer, &n);
                if (rc == 1) {
                    result.received.append(buffer, n);
                    continue;
                }
                int why = SSL_get_error(ssl, rc);
                if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
                    result.closedByPeer = true;
                    break;
                }
                pollfd p{fd, events, 0};
                poll(&p, 1, 1000);
            }
        }
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    if (fd >= 0) close(fd);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return result;
}

Backend::Backend(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listenFd_, 16) == 0 &&
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
}

Backend::~Backend() {
    uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0) ADD_FAILURE() << "cannot stop the backend";
    thread_.join();
    for (auto& t : connections_) t.join();
    close(listenFd_);
    close(stopFd_);
}

void Backend::Loop() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (!p[0].revents) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back([this, fd] {
            handler_(fd, *this);
            close(fd);
        });
    }
}

void Backend::Record(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded_ += bytes;
    changed_.notify_all();
}

void Backend::RecordClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++closes_;
    changed_.notify_all();
}

bool Backend::WaitFor(const std::function<bool(const std::string&, int)>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kIoTimeoutMs),
                             [&] { return pred(recorded_, closes_); });
}

namespace {
// Reads what arrives until EOF or the backend's stop; calls sink on each piece.
void Pump(int fd, Backend& self, const std::function<void(const char*, size_t)>& sink) {
    char buffer[16384];
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {self.stopFd(), POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents) return;
        if (!p[0].revents) continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        sink(buffer, static_cast<size_t>(n));
    }
    self.RecordClose();
}
}  // namespace

void Backend::Echo(int fd, Backend& self) {
    Pump(fd, self, [&](const char* data, size_t n) {
        self.Record(std::string(data, n));
        size_t sent = 0;
        while (sent < n) {
            ssize_t w = send(fd, data + sent, n - sent, MSG_NOSIGNAL);
            if (w <= 0) return;
            sent += static_cast<size_t>(w);
        }
    });
}

void Backend::RecordOnly(int fd, Backend& self) {
    Pump(fd, self, [&](const char* data, size_t n) { self.Record(std::string(data, n)); });
}

Backend::Handler Backend::GreetAndClose(std::string greeting) {
    return [greeting](int fd, Backend& self) {
        if (send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL) < 0) ADD_FAILURE() << "greeting not sent";
        self.RecordClose();
    };
}

bool Eventually(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string RunCommand(const std::string& command, int* exitCode) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

}  // namespace testsupport
