#include "app/actions/camera_cert.h"

#include "app/actions/cert_store.h"

#include <halvex/platform/openssl_ptr_internal.h>
#include <halvex/platform/sigpipe_block_internal.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() { if (fd_ >= 0) close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits in short slices, so a cancel is seen soon.
constexpr int kCancelCheckMs = 100;

// Waits until fd is ready for events, the deadline passes or the exchange is
// cancelled.
bool WaitFor(int fd, short events, Clock::time_point deadline, const CancelFlag& cancel) {
    for (;;) {
        int ms = RemainingMs(deadline);
        if (ms == 0 || IsCancelled(cancel)) return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, std::min(ms, kCancelCheckMs));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool Connect(int fd, const sockaddr_in& addr, Clock::time_point deadline, const CancelFlag& cancel,
             std::string& error) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) {
        error = std::string("connect failed: ") + std::strerror(errno);
        return false;
    }
    if (!WaitFor(fd, POLLOUT, deadline, cancel)) {
        error = IsCancelled(cancel) ? "cancelled" : "connect timed out";
        return false;
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) soerr = errno;
    if (soerr != 0) {
        error = std::string("connect failed: ") + std::strerror(soerr);
        return false;
    }
    return true;
}

// Runs the handshake until it ends one way or the other, or the deadline.
void Handshake(SSL* ssl, int fd, Clock::time_point deadline, const CancelFlag& cancel) {
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(ssl);
        if (rc == 1) return;
        int why = SSL_get_error(ssl, rc);
        if (why == SSL_ERROR_WANT_READ) {
            if (!WaitFor(fd, POLLIN, deadline, cancel)) return;
        } else if (why == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(fd, POLLOUT, deadline, cancel)) return;
        } else {
            return;
        }
    }
}

// Text dump, then PEM block; the old file is replaced only when the new one
// is complete.
bool WriteCameraFile(X509* cert, const std::string& path, std::string& error) {
    return ReplaceFile(path, 0644, [cert](FILE* f) {
        ZYRK::BioPtr bio(BIO_new_fp(f, BIO_NOCLOSE));
        if (!bio) return false;
        bool ok = X509_print(bio.get(), cert) == 1 && PEM_write_bio_X509(bio.get(), cert) == 1;
        return BIO_flush(bio.get()) == 1 && ok;
    }, error);
}

}  // namespace

int FetchCameraCertificate(const CDevice& record, const FetchOptions& options, std::string* error) {
    std::string why;
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return 1;
    };

    CertificatePaths paths;
    if (!GetCertificatePaths(paths, why)) return fail(why);
    if (std::string refusal = CameraFileNameRefusal(record.hostName); !refusal.empty()) return fail(refusal);
    const std::string path = paths.CameraCertPath(record.hostName);
    if (path.empty()) return fail("Certificate folder path is too long for " + PrintableText(record.hostName));

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options.port);
    if (inet_pton(AF_INET, record.ipAddress.c_str(), &addr.sin_addr) != 1)
        return fail("'" + record.ipAddress + "' is not an IPv4 address");

    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ZYRK::SslCtxPtr ctx(SSL_CTX_new(TLS_method()));
    Socket sock;
    if (!ctx || sock.fd() < 0) return fail("cannot set up a TLS connection");
    // Nothing is verified: whatever the camera presents is taken.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);

    ZYRK::CSigpipeBlock sigpipe;
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    if (!Connect(sock.fd(), addr, deadline, options.cancel, why))
        return fail(record.ipAddress + ":" + std::to_string(options.port) + ": " + why);

    ZYRK::SslPtr ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), sock.fd()) != 1) return fail("cannot set up a TLS session");
    Handshake(ssl.get(), sock.fd(), deadline, options.cancel);
    if (IsCancelled(options.cancel)) return fail("cancelled");

    ZYRK::X509Ptr cert(SSL_get1_peer_certificate(ssl.get()));
    if (!cert)
        return fail(record.ipAddress + ":" + std::to_string(options.port) + ": the camera presented no certificate");
    if (!WriteCameraFile(cert.get(), path, why)) return fail(why);
    return 0;
}
