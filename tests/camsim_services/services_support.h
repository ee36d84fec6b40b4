// Helpers of the camera-service tests: a private temporary folder, quick
// certificates, a raw HTTP client, a TLS client and loopback backends. All on
// 127.0.0.1.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

struct X509Deleter { void operator()(X509* x) const; };
struct PkeyDeleter { void operator()(EVP_PKEY* k) const; };
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// A self-signed certificate (EC P-256: quick to make) with subject
// /C=DE/O=ZYRK/CN=<commonName>.
struct Identity {
    X509Ptr cert;
    PkeyPtr key;
    std::string Pem() const;
};
Identity MakeIdentity(const std::string& commonName);

// A fresh folder below the system's temporary folder, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
size_t CountFiles(const std::string& dir, const std::string& extension);

struct HttpReply {
    int status = 0;        // 0: no reply
    std::string headers;
    std::string body;
};
// Sends request as it stands to 127.0.0.1:port, then reads until the server
// closes (bounded by a generous limit so that a fault cannot hang a test).
HttpReply RawHttp(uint16_t port, const std::string& request, const char* host = "127.0.0.1");
// "PUT /m2m/uploadcert" with a Content-Length.
HttpReply PutCertificate(uint16_t port, const std::string& data, const char* version = "HTTP/1.0");

// Connects over TLS, presenting cert/key when given, sends data and reads
// until as many bytes came back, the peer closed or failed. handshake tells
// whether the client's own handshake completed.
struct TlsExchange {
    bool handshake = false;
    std::string received;
    bool closedByPeer = false;  // the reading ended with a close or an error
};
TlsExchange TlsRoundTrip(uint16_t port, X509* cert, EVP_PKEY* key, const std::string& data,
                         size_t expect = std::string::npos);

// A loopback TCP backend that runs handler on each connection (own thread).
class Backend {
public:
    using Handler = std::function<void(int fd, Backend& self)>;
    explicit Backend(Handler handler);
    ~Backend();
    uint16_t port() const { return port_; }
    int stopFd() const { return stopFd_; }

    // Bytes a handler recorded and whether its peer closed.
    void Record(const std::string& bytes);
    void RecordClose();
    // Waits (bounded) until pred holds over the recorded state.
    bool WaitFor(const std::function<bool(const std::string& bytes, int closes)>& pred);

    // Handlers.
    static void Echo(int fd, Backend& self);        // echoes until EOF, records
    static void RecordOnly(int fd, Backend& self);  // records until EOF
    static Handler GreetAndClose(std::string greeting);

private:
    void Loop();
    Handler handler_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::list<std::thread> connections_;
    std::condition_variable changed_;
    std::string recorded_;
    int closes_ = 0;
};

// Waits (bounded) until pred() holds; false when it never did.
bool Eventually(const std::function<bool()>& pred);

bool HaveTool(const std::string& name);
// Runs a shell command, returns its standard output and error together.
std::string RunCommand(const std::string& command, int* exitCode = nullptr);

}  // namespace testsupport
