#include "tools/camsim/camera_services.h"

#include "tools/camsim/http_service.h"
#include "tools/camsim/tls_service.h"

#include <sys/stat.h>

#include <cctype>

namespace camsim {
namespace {

// A host name as a folder name: letters, digits, '-', '_' and '.', never "." or "..".
std::string FolderName(const std::string& hostName) {
    std::string out;
    for (char ch : hostName)
        out += (std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.') ? ch : '_';
    if (out.empty() || out == "." || out == "..") out = "camera";
    return out;
}

void MakeDirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos)
        if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), 0700);
}

WebIdentity IdentityOf(const Camera& c) {
    WebIdentity id;
    id.name = c.userName;
    id.model = c.modelName;
    id.serial = c.serial;
    id.mac = FormatMac(c.mac);
    id.address = FormatAddress(c.address);
    id.hostName = c.hostName;
    return id;
}

}  // namespace

uint16_t LoopbackResourcePort(size_t index) { return static_cast<uint16_t>(30000 + index % 20000); }

CameraServices::CameraServices(std::string stateDir, Log& log) : stateDir_(std::move(stateDir)), log_(log) {}

CameraServices::~CameraServices() { StopAll(); }

std::string CameraServices::CameraDir(const Camera& camera) const {
    return stateDir_ + "/" + FolderName(camera.hostName);
}

void CameraServices::StopAll() {
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries.swap(entries_);
    }
    for (Entry& e : entries) {
        if (e.http) e.http->Stop();
        if (e.tls) e.tls->Stop();
    }
}

void CameraServices::Update(size_t index, const Camera& camera) {
    if (!camera.WantsHttp() && !camera.WantsTls()) return;
    std::unique_ptr<HttpService> oldHttp;
    std::unique_ptr<TlsService> oldTls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() <= index) entries_.resize(index + 1);
        Entry& e = entries_[index];
        if (e.address == camera.address && (e.http || e.tls)) {
            if (e.http) e.http->SetIdentity(IdentityOf(camera));
            return;
        }
        oldHttp = std::move(e.http);
        oldTls = std::move(e.tls);
        e.address = camera.address;
    }
    // The old listeners go first: they hold the ports (on the old address).
    if (oldHttp) oldHttp->Stop();
    if (oldTls) oldTls->Stop();
    oldHttp.reset();
    oldTls.reset();

    const std::string dir = CameraDir(camera);
    const std::string trust = dir + "/trust";
    MakeDirs(trust);
    const std::string address = FormatAddress(camera.address);
    std::unique_ptr<HttpService> http;
    std::unique_ptr<TlsService> tls;
    std::string error;
    if (camera.WantsTls()) {
        TlsServiceConfig t;
        t.bindAddress = address;
        t.port = camera.tlsPort;
        t.hostName = camera.hostName;
        t.certFile = dir + "/cert.pem";
        t.keyFile = dir + "/key.pem";
        t.trustDir = trust;
        t.backendAddress = "127.0.0.1";
        t.backendPort = LoopbackResourcePort(index);
        tls = std::make_unique<TlsService>(t);
        if (tls->Start(error)) {
            log_.Line("tls " + camera.userName + " on " + address + ":" + std::to_string(tls->Port()) +
                      " relays to 127.0.0.1:" + std::to_string(t.backendPort));
        } else {
            log_.Line("tls-error " + camera.userName + " " + address + ": " + error);
            tls.reset();
        }
    }
    if (camera.WantsHttp()) {
        HttpServiceConfig h;
        h.bindAddress = address;
        h.port = camera.httpPort;
        h.trustDir = trust;
        h.identity = IdentityOf(camera);
        std::string name = camera.userName;
        // An upload becomes trusted at once: the TLS front reads its folder again.
        h.onCertificateStored = [this, index, name](const TrustedCertificate& cert) {
            log_.Line("upload " + name + " trusted " + cert.subject + " " + cert.fingerprint);
            std::lock_guard<std::mutex> lock(mutex_);
            if (index < entries_.size() && entries_[index].tls) entries_[index].tls->ReloadTrustStore();
        };
        http = std::make_unique<HttpService>(h);
        error.clear();
        if (http->Start(error)) {
            log_.Line("http " + camera.userName + " on " + address + ":" + std::to_string(http->Port()));
        } else {
            log_.Line("http-error " + camera.userName + " " + address + ": " + error);
            http.reset();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[index].http = std::move(http);
    entries_[index].tls = std::move(tls);
}

}  // namespace camsim
