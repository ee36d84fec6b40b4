#include "tools/camsim/http_service.h"

#include "tools/camsim/service_files.h"

#include <halvex/platform/hex.h>
#include <halvex/platform/openssl_ptr_internal.h>

#include <microhttpd.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <tinyxml2.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <unistd.h>

namespace camsim {

namespace {

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string XmlReply(const std::string& sentence) {
    tinyxml2::XMLPrinter printer(nullptr, true);
    printer.PushHeader(false, true);
    printer.OpenElement("response", true);
    printer.OpenElement("head", true);
    printer.OpenElement("title", true);
    printer.PushText("Upload");
    printer.CloseElement(true);
    printer.CloseElement(true);
    printer.OpenElement("body", true);
    printer.PushText(sentence.c_str());
    printer.CloseElement(true);
    printer.CloseElement(true);
    return printer.CStr();
}

HttpService::Reply XmlAnswer(unsigned status, const std::string& sentence) {
    return {status, "text/xml", XmlReply(sentence)};
}

HttpService::Reply HtmlPage(const std::string& title, const std::string& content) {
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
                       "</title></head>\n<body>\n" + content + "</body></html>\n";
    return {200, "text/html; charset=utf-8", std::move(page)};
}

HttpService::Reply NotFound() {
    return {404, "text/html; charset=utf-8", "<!DOCTYPE html>\n<html><body><h1>404 Not Found</h1></body></html>\n"};
}

HttpService::Reply NotAllowed() {
    return {405, "text/html; charset=utf-8",
            "<!DOCTYPE html>\n<html><body><h1>405 Method Not Allowed</h1></body></html>\n"};
}

constexpr const char* kUploadPath = "/m2m/uploadcert";

// One request's state between the server's calls.
struct RequestState {
    bool upload = false;
    bool tooLarge = false;
    std::string data;
};

MHD_Result Queue(MHD_Connection* connection, const HttpService::Reply& reply, bool close) {
    MHD_Response* response = MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!reply.contentType.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result rc = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return rc;
}

// Content-Length larger than limit (a value that does not parse counts as
// too large: the request is refused rather than guessed at).
bool DeclaredTooLarge(MHD_Connection* connection, size_t limit) {
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!length) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(length, &end, 10);
    if (end == length || *end != '\0' || errno == ERANGE || length[0] == '-') return true;
    return value > limit;
}

MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* uploadData, size_t* uploadDataSize, void** context) {
    auto* service = static_cast<HttpService*>(cls);
    const std::string path = url ? url : "";
    const std::string verb = method ? method : "";

    if (path == kUploadPath) {
        if (verb != MHD_HTTP_METHOD_PUT) return Queue(connection, NotAllowed(), true);
        auto* state = static_cast<RequestState*>(*context);
        if (!state) {
            state = new RequestState;
            state->upload = true;
            *context = state;
            if (DeclaredTooLarge(connection, service->UploadLimit())) {
                state->tooLarge = true;
                // Answered before the body is read; the connection closes.
                return Queue(connection, service->TooLarge(), true);
            }
            return MHD_YES;
        }
        if (*uploadDataSize != 0) {
            const size_t n = *uploadDataSize;
            *uploadDataSize = 0;
            if (!state->tooLarge) {
                if (n > service->UploadLimit() - state->data.size()) {
                    state->tooLarge = true;
                    state->data.clear();
                    state->data.shrink_to_fit();
                } else {
                    state->data.append(uploadData, n);
                }
            }
            return MHD_YES;
        }
        if (state->tooLarge) return Queue(connection, service->TooLarge(), true);
        return Queue(connection, service->HandleUpload(state->data), false);
    }

    if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
        // A body sent with another method is not wanted: answer at once.
        return Queue(connection, path == "/" || path == "/setupwizard" ? NotAllowed() : NotFound(), true);
    }
    return Queue(connection, service->HandleGet(path), false);
}

void Completed(void* /*cls*/, MHD_Connection* /*connection*/, void** context, MHD_RequestTerminationCode /*code*/) {
    delete static_cast<RequestState*>(*context);
    *context = nullptr;
}

}  // namespace

std::string SubjectLine(X509* cert) {
    if (!cert) return {};
    char* line = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
    if (!line) return {};
    std::string subject = line;
    OPENSSL_free(line);
    return subject;
}

bool StoreTrustedCertificate(const std::string& trustDir, X509* cert, TrustedCertificate& stored,
                             std::string& error) {
    if (trustDir.empty()) {
        error = "no trust folder configured";
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), md, &mdLength) != 1) {
        error = "cannot compute the certificate's fingerprint";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(trustDir, ec);
    if (ec) {
        error = "cannot create " + trustDir + ": " + ec.message();
        return false;
    }
    const std::string fingerprint = ZYRK::hex_encode(md, mdLength);
    const std::string path = trustDir + "/" + fingerprint + ".pem";
    static std::atomic<unsigned> counter{0};
    const std::string temp = trustDir + "/." + fingerprint + "." + std::to_string(getpid()) + "." +
                             std::to_string(counter++) + ".tmp";
    if (!WriteFileAtomically(path, temp, 0644, [cert](BIO* b) { return PEM_write_bio_X509(b, cert) == 1; }, error))
        return false;
    stored.path = path;
    stored.subject = SubjectLine(cert);
    stored.fingerprint = fingerprint;
    return true;
}

HttpService::HttpService(HttpServiceConfig config) : config_(std::move(config)), identity_(config_.identity) {}

HttpService::~HttpService() { Stop(); }

bool HttpService::Start(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (daemon_) {
        error = "the HTTP service is already running";
        return false;
    }
    sockaddr_in addr{};
    if (!ParseSocketAddress(config_.bindAddress, config_.port, addr, error)) return false;
    if (config_.uploadLimit == 0) config_.uploadLimit = kDefaultUploadLimit;
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, config_.port, nullptr, nullptr,
                               &Access, this,
                               MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&addr),
                               MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(config_.maxConnections ? config_.maxConnections : 1),
                               MHD_OPTION_CONNECTION_TIMEOUT, config_.connectionTimeoutSeconds,
                               MHD_OPTION_NOTIFY_COMPLETED, &Completed, this,
                               MHD_OPTION_END);
    if (!daemon_) {
        error = "cannot serve HTTP on " + config_.bindAddress + ":" + std::to_string(config_.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : config_.port;
    return true;
}

void HttpService::Stop() {
    MHD_Daemon* daemon = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        daemon = daemon_;
        daemon_ = nullptr;
        port_ = 0;
    }
    // Outside the lock: the server's threads may be waiting for it.
    if (daemon) MHD_stop_daemon(daemon);
}

bool HttpService::Rebind(const std::string& bindAddress, std::string& error) {
    Stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.bindAddress = bindAddress;
    }
    return Start(error);
}

bool HttpService::Running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return daemon_ != nullptr;
}

uint16_t HttpService::Port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

void HttpService::SetIdentity(const WebIdentity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
}

WebIdentity HttpService::Identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

HttpService::Reply HttpService::HandleGet(const std::string& url) const {
    const WebIdentity id = Identity();
    const std::string name = HtmlEscape(id.name);
    if (url == "/" || url == "/index.html") {
        std::string rows;
        auto row = [&](const char* label, const std::string& value) {
            rows += std::string("<tr><th>") + label + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
        };
        row("Name", id.name);
        row("Model", id.model);
        row("Serial number", id.serial);
        row("MAC address", id.mac);
        row("IP address", id.address);
        row("Host name", id.hostName);
        return HtmlPage(id.name, "<h1>" + name + "</h1>\n<table>\n" + rows +
                                     "</table>\n<p><a href=\"/setupwizard\">Connectivity wizard</a></p>\n");
    }
    if (url == "/setupwizard" || url == "/setupwizard/") {
        return HtmlPage(id.name + " - Setup wizard",
                        "<h1>Setup wizard</h1>\n<p>" + name + " (" + HtmlEscape(id.address) + ")</p>\n"
                        "<ol>\n<li>Network settings: address " + HtmlEscape(id.address) + "</li>\n"
                        "<li>Client certificate: upload it with PUT " + kUploadPath + "</li>\n"
                        "<li>Secure resource service: TLS with a trusted client certificate</li>\n</ol>\n"
                        "<p><a href=\"/\">Back</a></p>\n");
    }
    return NotFound();
}

HttpService::Reply HttpService::TooLarge() const {
    return XmlAnswer(413, "Certificate rejected: the upload is larger than " + std::to_string(config_.uploadLimit) +
                              " bytes.");
}

HttpService::Reply HttpService::HandleUpload(const std::string& data) {
    if (data.empty()) return XmlAnswer(400, "Certificate rejected: the upload is empty.");
    ZYRK::BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!bio) return XmlAnswer(500, "Certificate not stored: out of memory.");
    ZYRK::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) return XmlAnswer(400, "Certificate rejected: no PEM certificate found.");

    TrustedCertificate stored;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(storeMutex_);
        if (!StoreTrustedCertificate(config_.trustDir, cert.get(), stored, error))
            return XmlAnswer(500, "Certificate not stored: " + error + ".");
    }
    if (config_.onCertificateStored) config_.onCertificateStored(stored);
    return XmlAnswer(200, "Certificate stored. Subject: " + stored.subject);
}

}  // namespace camsim
