#include "test_support.h"

#include "app/actions/cert_store.h"

#include <gtest/gtest.h>
#include <microhttpd.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string g_root;

class ProgramDataEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // The test peers write to clients that may have gone already.
        std::signal(SIGPIPE, SIG_IGN);
        std::string pattern = std::filesystem::temp_directory_path().string() + "/teliox-actions-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        g_root = pattern;
        setenv(kProgramDataEnv, g_root.c_str(), 1);
        // The per-user fallback never reaches the real home folder either.
        setenv(kDataHomeEnv, (g_root + "/user-data").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        if (!g_root.empty()) std::filesystem::remove_all(g_root, ec);
    }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new ProgramDataEnvironment);

int ListenLoopback(uint16_t& port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

const std::string& TestRoot() { return g_root; }

ScopedProgramData::ScopedProgramData(const std::string& name) : dir_(g_root + "/" + name) {
    std::filesystem::create_directories(dir_);
    const char* prev = std::getenv(kProgramDataEnv);
    previous_ = prev ? prev : "";
    const char* prevData = std::getenv(kDataHomeEnv);
    previousDataHome_ = prevData ? prevData : "";
    setenv(kProgramDataEnv, dir_.c_str(), 1);
    setenv(kDataHomeEnv, DataHome().c_str(), 1);
}

ScopedProgramData::~ScopedProgramData() {
    setenv(kProgramDataEnv, previous_.c_str(), 1);
    setenv(kDataHomeEnv, previousDataHome_.c_str(), 1);
}

void RecordingStatus::SetStatusText(const std::string& text) {
    statusText = text;
    events.push_back({StatusEvent::kSet, text});
}

void RecordingStatus::ShowStatus(const std::string& text) {
    statusText = text;
    pane = text;
    events.push_back({StatusEvent::kShow, text});
}

bool RecordingStatus::AskYesNo(const std::string& question) {
    events.push_back({StatusEvent::kAsk, question});
    return answer;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

ClientCertificate MakeCameraCertificate(const std::string& commonName) {
    ClientCertificate cc;
    cc.key.reset(EVP_EC_gen("P-256"));
    cc.cert.reset(X509_new());
    X509_set_version(cc.cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cc.cert.get()), 77);
    X509_gmtime_adj(X509_getm_notBefore(cc.cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cc.cert.get()), 3600);
    X509_set_pubkey(cc.cert.get(), cc.key.get());
    X509_NAME* name = X509_get_subject_name(cc.cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cc.cert.get(), name);
    X509_sign(cc.cert.get(), cc.key.get(), EVP_sha256());
    return cc;
}

std::string ToPem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<size_t>(n));
    BIO_free(bio);
    return out;
}

std::string ToDer(X509* cert) {
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    std::string out(reinterpret_cast<char*>(der), n > 0 ? static_cast<size_t>(n) : 0);
    OPENSSL_free(der);
    return out;
}

// --- TLS camera ---------------------------------------------------------

TlsTestServer::TlsTestServer(Mode mode, const ClientCertificate& identity) : mode_(mode) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, identity.cert.get());
    SSL_CTX_use_PrivateKey(ctx, identity.key.get());
    if (mode == kRequireClientCert) {
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    ctx_ = ctx;
    listenFd_ = ListenLoopback(port_, 8);
    thread_ = std::thread([this] { Serve(); });
}

TlsTestServer::~TlsTestServer() {
    stop_ = true;
    thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

void TlsTestServer::Serve() {
    while (!stop_ && listenFd_ >= 0) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        if (mode_ != kCloseAtOnce) {
            timeval tv{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        close(fd);
    }
}

// --- silent and refused ports ---------------------------------------------

SilentListener::SilentListener() { fd_ = ListenLoopback(port_, 4); }
SilentListener::~SilentListener() { if (fd_ >= 0) close(fd_); }

uint16_t UnusedPort() {
    uint16_t port = 0;
    int fd = ListenLoopback(port, 1);
    close(fd);  // nobody listens there now
    return port;
}

// --- HTTP camera ------------------------------------------------------------

namespace {

struct PendingRequest {
    RecordedRequest request;
    bool started = false;
};

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(cls);
    std::string name = key ? key : "";
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    (*headers)[name] = value ? value : "";
    return MHD_YES;
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* version, const char* uploadData, size_t* uploadSize, void** state) {
    auto* server = static_cast<HttpTestServer*>(cls);
    auto* pending = static_cast<PendingRequest*>(*state);
    if (!pending) {
        pending = new PendingRequest;
        pending->request.method = method;
        pending->request.version = version;
        pending->request.url = url;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, &pending->request.headers);
        *state = pending;
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        pending->request.body.append(uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    {
        std::lock_guard<std::mutex> lock(server->mutex_);
        server->requests_.push_back(pending->request);
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        server->reply_.size(), const_cast<char*>(server->reply_.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", server->contentType_.c_str());
    MHD_Result rc = MHD_queue_response(connection, static_cast<unsigned>(server->status_), response);
    MHD_destroy_response(response);
    return rc;
}

void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<PendingRequest*>(*state);
    *state = nullptr;
}

}  // namespace

HttpTestServer::HttpTestServer(int status, std::string reply, std::string contentType)
    : status_(status), reply_(std::move(reply)), contentType_(std::move(contentType)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, &Handle, this,
                               MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
                               MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr,
                               MHD_OPTION_END);
    if (daemon_) {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
        if (info) port_ = info->port;
    }
}

HttpTestServer::~HttpTestServer() {
    if (daemon_) MHD_stop_daemon(daemon_);
}

std::vector<RecordedRequest> HttpTestServer::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

// --- processes ----------------------------------------------------------------

int RunCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& name) {
    std::string out;
    return RunCommand("command -v " + ShellQuote(name), out) == 0;
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}
