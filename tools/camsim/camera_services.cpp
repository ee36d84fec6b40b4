#include "tools/camsim/camera_services.h"

#include "tools/camsim/http_service.h"
#include "tools/camsim/resource_service.h"
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

CameraServices::CameraServices(std::string stateDir, Log& log, Apply apply)
    : stateDir_(std::move(stateDir)), log_(log), apply_(std::move(apply)) {}

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
        if (e.resource) e.resource->Stop();
    }
}

bool CameraServices::CommitChange(const Camera& c, size_t index, const InterfaceSettings& s, AddressChange& change,
                                  std::string& why) {
    if (s.name != c.IpChangeInterface()) {
        why = "interface " + s.name + " is not this camera's (" + c.IpChangeInterface() + ")";
        return false;
    }
    change = AddressChange{index, 0, 0, 0, s.dhcp};
    if (s.dhcp) {
        AddressChange ll = LinkLocalChange(c, index);
        change = ll;
        return true;
    }
    uint32_t a = 0, k = 0, g = 0;
    if (!ParseAddress(s.address, a) || !ParseAddress(s.netmask, k)) {
        why = "address \"" + s.address + "\" or mask \"" + s.netmask + "\" does not parse";
        return false;
    }
    // An empty gateway means none.
    if (!s.gateway.empty() && !ParseAddress(s.gateway, g)) {
        why = "gateway \"" + s.gateway + "\" does not parse";
        return false;
    }
    bool usable = a != 0 && a != 0xFFFFFFFF && (a >> 28) < 14 && (a >> 24) != 127 && k != 0 && (~k & (~k + 1)) == 0;
    if (!usable) {
        why = "unusable address or mask " + s.address + "/" + s.netmask;
        return false;
    }
    change = AddressChange{index, a, k, g, false};
    return true;
}

namespace {

InterfaceSettings SettingsOf(const Camera& c, const char* name) {
    InterfaceSettings s;
    s.name = name;
    s.dhcp = c.dhcp;
    s.address = FormatAddress(c.address);
    s.netmask = FormatAddress(c.mask);
    s.gateway = FormatAddress(c.gateway);
    return s;
}

}  // namespace

void CameraServices::Update(size_t index, const Camera& camera) {
    if (!camera.WantsResource() && !camera.WantsHttp() && !camera.WantsTls()) return;
    std::unique_ptr<HttpService> oldHttp;
    std::unique_ptr<TlsService> oldTls;
    std::unique_ptr<ResourceService> oldResource;
    ResourceService* keptResource = nullptr;
    bool unchanged = false;
    // A resource server on loopback (behind the TLS front) stays where it is.
    const bool plain = camera.enabled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() <= index) entries_.resize(index + 1);
        Entry& e = entries_[index];
        e.camera = camera;
        bool started = e.http || e.tls || e.resource;
        if (e.address == camera.address && started) {
            if (e.http) e.http->SetIdentity(IdentityOf(camera));
            keptResource = e.resource.get();
            unchanged = true;
        } else {
            oldHttp = std::move(e.http);
            oldTls = std::move(e.tls);
            if (plain || !e.resource) oldResource = std::move(e.resource);
            else keptResource = e.resource.get();
            e.address = camera.address;
        }
    }
    if (keptResource) {
        // The tree follows the camera's settings (a lease, a change by another route).
        keptResource->Update(SettingsOf(camera, "LAN90001"));
        keptResource->Update(SettingsOf(camera, "FEC1"));
    }
    if (unchanged) return;
    // The old listeners go first: they hold the ports (on the old address).
    if (oldHttp) oldHttp->Stop();
    if (oldTls) oldTls->Stop();
    if (oldResource) oldResource->Stop();
    oldHttp.reset();
    oldTls.reset();
    oldResource.reset();

    const std::string dir = CameraDir(camera);
    const std::string trust = dir + "/trust";
    MakeDirs(trust);
    const std::string address = FormatAddress(camera.address);
    std::unique_ptr<ResourceService> resource;
    std::unique_ptr<HttpService> http;
    std::unique_ptr<TlsService> tls;
    std::string error;
    uint16_t backendPort = 0;
    if (camera.WantsResource() && !keptResource) {
        ResourceServiceConfig r;
        r.bindAddress = plain ? address : "127.0.0.1";
        r.port = plain ? camera.servicePort : LoopbackResourcePort(index);
        r.lan = SettingsOf(camera, "LAN90001");
        r.fec = SettingsOf(camera, "FEC1");
        r.onCommit = [this, index](const InterfaceSettings& s) {
            Camera c;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (index >= entries_.size()) return;
                c = entries_[index].camera;
            }
            AddressChange change;
            std::string why;
            std::string what = s.name + (s.dhcp ? " dhcp" : " " + s.address + "/" + s.netmask + " gateway " + s.gateway);
            if (!CommitChange(c, index, s, change, why)) {
                log_.Line("commit-refused " + c.userName + " " + what + ": " + why);
                return;
            }
            apply_(change, "resource tree " + what);
        };
        resource = std::make_unique<ResourceService>();
        if (resource->Start(r, error)) {
            backendPort = resource->Port();
            log_.Line("resource " + camera.userName + " on " + r.bindAddress + ":" + std::to_string(backendPort));
            if (plain && backendPort != camera.servicePort)
                log_.Line("resource-error " + camera.userName + " port " + std::to_string(camera.servicePort) +
                          " was taken");
        } else {
            log_.Line("resource-error " + camera.userName + " " + r.bindAddress + ": " + error);
            resource.reset();
        }
    } else if (keptResource) {
        backendPort = keptResource->Port();
    }
    if (camera.WantsTls()) {
        TlsServiceConfig t;
        t.bindAddress = address;
        t.port = camera.tlsPort;
        t.hostName = camera.hostName;
        t.certFile = dir + "/cert.pem";
        t.keyFile = dir + "/key.pem";
        t.trustDir = trust;
        t.backendAddress = "127.0.0.1";
        t.backendPort = backendPort ? backendPort : LoopbackResourcePort(index);
        t.stallHandshake = camera.tlsStallHandshake;
        const std::string stalled = camera.userName;
        t.onStallEnded = [this, stalled](long long waitedMs, bool clientClosed) {
            log_.Line("tls-stall " + stalled + " " + (clientClosed ? "client gave up" : "ended") + " after " +
                      std::to_string(waitedMs) + " ms");
        };
        tls = std::make_unique<TlsService>(t);
        error.clear();
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
    Entry& e = entries_[index];
    if (resource) e.resource = std::move(resource);
    e.http = std::move(http);
    e.tls = std::move(tls);
}

}  // namespace camsim
