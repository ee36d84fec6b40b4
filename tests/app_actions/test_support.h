// Helpers of the camera-action tests: a private program-data folder, a status
// recorder, and small peers on 127.0.0.1 (TLS camera, HTTP camera, a listener
// that never answers).
#pragma once

#include "app/actions/action_status.h"
#include "app/actions/client_cert.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct MHD_Daemon;

// The folder that every test program points TELIOX_PROGRAMDATA at; created
// before the first test and removed after the last.
const std::string& TestRoot();

// Points TELIOX_PROGRAMDATA at a fresh subfolder of TestRoot() for one
// scope, and XDG_DATA_HOME at DataHome() inside it.
class ScopedProgramData {
public:
    explicit ScopedProgramData(const std::string& name);
    ~ScopedProgramData();
    const std::string& dir() const { return dir_; }
    std::string SslDir() const { return dir_ + "/ZYRK/SSL"; }
    std::string DataHome() const { return dir_ + "/user-data"; }
    std::string UserSslDir() const { return DataHome() + "/ZYRK/SSL"; }

private:
    std::string dir_;
    std::string previous_;
    std::string previousDataHome_;
};

struct StatusEvent {
    enum Kind { kSet, kShow, kAsk } kind;
    std::string text;
    bool operator==(const StatusEvent&) const = default;
};

class RecordingStatus : public IActionStatus {
public:
    void SetStatusText(const std::string& text) override;
    void ShowStatus(const std::string& text) override;
    bool AskYesNo(const std::string& question) override;

    bool answer = false;          // what AskYesNo returns
    std::string statusText;       // like the view's statusText
    std::string pane;             // like the frame's status pane
    std::vector<StatusEvent> events;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);

// A self-signed certificate for the test camera (EC P-256: quick to make).
ClientCertificate MakeCameraCertificate(const std::string& commonName);
std::string ToPem(X509* cert);
std::string ToDer(X509* cert);

// A TLS camera on 127.0.0.1 that serves connections until destroyed.
class TlsTestServer {
public:
    enum Mode {
        kPresent,            // a normal handshake
        kRequireClientCert,  // TLS 1.2, refuses clients without a certificate
        kCloseAtOnce,        // accepts and closes without TLS
    };
    TlsTestServer(Mode mode, const ClientCertificate& identity);
    ~TlsTestServer();
    uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }

private:
    void Serve();
    Mode mode_;
    void* ctx_ = nullptr;  // SSL_CTX
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// A socket on 127.0.0.1 that listens but never accepts: connections complete
// in the kernel and then nothing more happens.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A free port on 127.0.0.1 with nobody listening (connections are refused).
uint16_t UnusedPort();

struct RecordedRequest {
    std::string method;
    std::string version;
    std::string url;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// An HTTP camera on 127.0.0.1 (libmicrohttpd) that records every request and
// answers each with the same reply.
class HttpTestServer {
public:
    HttpTestServer(int status, std::string reply, std::string contentType = "text/xml");
    ~HttpTestServer();
    uint16_t port() const { return port_; }
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<RecordedRequest> Requests();

    // libmicrohttpd callbacks.
    int status_;
    std::string reply_;
    std::string contentType_;
    std::mutex mutex_;
    std::vector<RecordedRequest> requests_;

private:
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
};

// Runs a shell command; returns its exit status and fills output with what
// it printed (stdout and stderr).
int RunCommand(const std::string& command, std::string& output);
bool HaveTool(const std::string& name);
std::string ShellQuote(const std::string& s);
