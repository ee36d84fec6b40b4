#include "app/actions/ip_change_rt.h"

#include "discovery/adapters.h"
#include "discovery/ipchange.h"

#include <halvex/resource/client_resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <arpa/inet.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

using ZYRK::CClientResourceTree;
using ZYRK::CResource;
using ZYRK::CResourcePath;
using ZYRK::CResourceValue;

namespace {

constexpr const char* kMethodPath = ".services.net.interface.LAN90001.method";
constexpr unsigned long kCommitTime = 50;

// A pass-phrase callback that offers none: an encrypted key fails to load
// instead of prompting on a terminal.
int NoPassPhrase(char*, int, int, void*) { return 0; }

std::string Hex(uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

// A network-order address (first octet in the first byte in memory) as text.
std::string DottedNetworkOrder(uint32_t networkOrder) { return FormatIPv4(ntohl(networkOrder)); }

uint32_t HostOrder(const std::string& text) {
    uint32_t v = 0;
    return ParseIPv4(text, v) ? v : 0;
}

// One open, one write, one close. Adds to the result's counts.
void WriteResource(CClientResourceTree& tree, const std::string& path, const CResourceValue& value,
                   unsigned long time, RTWriteResult& result, bool* accepted = nullptr) {
    CResource* resource = nullptr;
    uint32_t r = uint32_t(tree.OpenResource(CResourcePath(path.c_str()), &resource, nullptr));
    if (r == 0 && resource) {
        r = uint32_t(resource->Set(value, ZYRK::RES_NOWAIT, time, nullptr));
        resource->Close();
    } else if (r == 0) {
        r = 0xFFFFFFFFu;
    }
    if (r == 0) {
        ++result.written;
        if (accepted) *accepted = true;
    } else {
        result.skipped.push_back(path + ": " + Hex(r));
    }
}

// Whether the row still holds the camera a change was prepared for.
bool SameCamera(const CDevice& a, const CDevice& b) {
    return a.ipAddress == b.ipAddress && a.adapterIndex == b.adapterIndex && a.hostName == b.hostName;
}

}  // namespace

std::string InterfaceResourceName(const CDevice& record) {
    return EqualsNoCase(record.platform, "W6") ? "FEC1" : "LAN90001";
}

std::string InterfaceResourcePath(const std::string& interfaceName, const std::string& leaf) {
    return ".services.net.interface." + interfaceName + "." + leaf;
}

CCameraCredentials::~CCameraCredentials() { Clear(); }

void CCameraCredentials::Clear() {
    X509_free(m_certificate);
    EVP_PKEY_free(m_key);
    m_certificate = nullptr;
    m_key = nullptr;
    m_trustFile.clear();
}

bool CCameraCredentials::Load(const CertificatePaths& paths, const std::string& hostName) {
    Clear();
    if (FILE* f = std::fopen(paths.clientCertPath.c_str(), "rb")) {
        m_certificate = PEM_read_X509(f, nullptr, NoPassPhrase, nullptr);
        std::fclose(f);
    }
    if (FILE* f = std::fopen(paths.clientKeyPath.c_str(), "rb")) {
        m_key = PEM_read_PrivateKey(f, nullptr, NoPassPhrase, nullptr);
        std::fclose(f);
    }
    m_trustFile = paths.CameraCertPath(hostName);
    if (!m_certificate || !m_key || m_trustFile.empty()) {
        Clear();
        return false;
    }
    return true;
}

uint32_t ConnectToCamera(const CDevice& record, CClientResourceTree& tree, CCameraCredentials& credentials,
                         const RTConnectOptions& options) {
    if (options.timeoutMs) tree.SetTimeout(options.timeoutMs);
    if (!record.disabled) return uint32_t(tree.Init(record.ipAddress.c_str(), options.plainPort, true));

    CertificatePaths paths;
    std::string error;
    if (!GetCertificatePaths(paths, error) || !credentials.Load(paths, record.hostName)) return 1;
    // Init copies the trust file path; the buffer only has to be writable.
    std::string trustFile = credentials.TrustFile();
    return uint32_t(tree.Init(record.ipAddress.c_str(), options.tlsPort, credentials.Certificate(),
                              credentials.Key(), trustFile.data(), false, true));
}

RTReadResult ReadViaResourceTree(const CDevice& record, const RTStatusCallback& status,
                                 const RTRouteOptions& options) {
    auto say = [&](const std::string& text, bool showNow) {
        if (status) status(text, showNow);
    };
    RTReadResult result;
    result.camera = record;

    CResourceValue maskValue(ZYRK::VALUE_TYPE_ASCII);
    CResourceValue gatewayValue(ZYRK::VALUE_TYPE_ASCII);
    CResourceValue dhcpValue(ZYRK::VALUE_TYPE_BOOL);
    {
        // The credentials outlive the tree that uses them.
        CCameraCredentials credentials;
        auto tree = std::make_unique<CClientResourceTree>();

        say("Connecting to camera...", true);
        result.connectResult = ConnectToCamera(record, *tree, credentials, options.connect);
        result.connected = result.connectResult == 0;
        if (!result.connected) {
            say("Connection failed", true);
        } else {
            say("Connected", true);
            CResource* method = nullptr;
            if (tree->OpenResource(CResourcePath(kMethodPath), &method, nullptr) == 0 && method) {
                CResourceValue text(ZYRK::VALUE_TYPE_ASCII);
                method->Get(text, nullptr);
                method->Close();
                const char* t = text.GetAscii();
                dhcpValue.Set(!(t && std::strcmp(t, "manual") == 0));
            } else {
                CResource* dhcp = nullptr;
                const std::string path = InterfaceResourcePath(InterfaceResourceName(record), "DHCP");
                if (tree->OpenResource(CResourcePath(path.c_str()), &dhcp, nullptr) == 0 && dhcp) {
                    dhcp->Get(dhcpValue, nullptr);
                    dhcp->Close();
                }
            }
            if (!dhcpValue.GetBool()) {
                maskValue.Set(DottedNetworkOrder(record.subnetMask).c_str());
                gatewayValue.Set(DottedNetworkOrder(record.gateway).c_str());
            }
        }
        // Destroying the tree closes the session of the read phase.
    }

    result.dhcp = dhcpValue.GetBool();
    if (!result.dhcp) {
        const char* m = maskValue.GetAscii();
        const char* g = gatewayValue.GetAscii();
        result.subnetMask = m ? m : "";
        result.gateway = g ? g : "";
    }
    RTDialogPreset& p = result.preset;
    p.cameraName = record.name;
    p.obtainAutomatically = result.dhcp;
    p.settingsKnown = result.connected;
    p.automaticAllowed = true;
    p.address = HostOrder(record.ipAddress);
    if (!result.dhcp) {
        p.netmask = HostOrder(result.subnetMask);
        p.gatewayAddress = HostOrder(result.gateway);
    }
    return result;
}

RTWriteResult IPChangeThread(RTChange change, const RTStatusCallback& status) {
    auto say = [&](const std::string& text) {
        if (status) status(text, false);
    };
    RTWriteResult result;
    const std::string iface = InterfaceResourceName(change.camera);
    {
        CCameraCredentials credentials;
        auto tree = std::make_unique<CClientResourceTree>();
        result.connectResult = ConnectToCamera(change.camera, *tree, credentials, change.connect);
        if (result.connectResult != 0) {
            tree.reset();
            say("Failed to connect");
            return result;
        }
        result.connected = true;

        if (change.dhcpRequested) {
            WriteResource(*tree, InterfaceResourcePath(iface, "DHCP"), CResourceValue(true), 0, result);
        } else {
            WriteResource(*tree, InterfaceResourcePath(iface, "DHCP"), CResourceValue(false), 0, result);
            WriteResource(*tree, InterfaceResourcePath(iface, "address"), CResourceValue(change.newAddress.c_str()),
                          0, result);
            WriteResource(*tree, InterfaceResourcePath(iface, "netmask"),
                          CResourceValue(change.newSubnetMask.c_str()), 0, result);
            WriteResource(*tree, InterfaceResourcePath(iface, "gateway"), CResourceValue(change.newGateway.c_str()),
                          0, result);
        }
        WriteResource(*tree, InterfaceResourcePath(iface, "commit"), CResourceValue(true), kCommitTime, result,
                      &result.committed);
    }
    say("IP change completed");
    return result;
}

std::thread StartIPChangeThread(RTChange change, RTStatusCallback status,
                                std::function<void(const RTWriteResult&)> done) {
    return std::thread([change = std::move(change), status = std::move(status), done = std::move(done)]() mutable {
        const RTWriteResult result = IPChangeThread(std::move(change), status);
        if (done) done(result);
    });
}

RTApplyResult ApplyViaResourceTree(CDeviceList& list, int row, const RTReadResult& read, const RTSettings& chosen,
                                   RTStatusCallback status, const RTRouteOptions& options,
                                   std::function<void(const RTWriteResult&)> done) {
    RTApplyResult result;
    if (status) status("Initiating IP change", true);

    const std::string address = FormatIPv4(chosen.address);
    const std::string mask = FormatIPv4(chosen.netmask);
    const std::string gateway = FormatIPv4(chosen.gateway);
    const bool connected = read.connected;
    list.WithDevice(row, [&](CDevice& d) {
        if (!SameCamera(d, read.camera)) return;
        d.ipChangePending = !connected;
        result.rowUpdated = true;
    });
    if (result.rowUpdated) list.SetItemText(row, kColIpAddress, "");

    if (connected) {
        RTChange change;
        change.camera = read.camera;
        change.dhcpRequested = chosen.dhcp;
        if (!chosen.dhcp) {
            change.newAddress = address;
            change.newSubnetMask = mask;
            change.newGateway = gateway;
        }
        change.connect = options.connect;
        result.thread = StartIPChangeThread(std::move(change), std::move(status), std::move(done));
        result.threadStarted = true;
        return result;
    }

    const std::string iface = InterfaceResourceName(read.camera);
    result.broadcastResult =
        options.broadcast ? options.broadcast(read.camera.hostName, chosen.dhcp, address, mask, gateway, iface)
                          : SendIPChangeBroadcast(read.camera.hostName, chosen.dhcp, address, mask, gateway, iface);
    result.broadcast = true;
    if (status) status("IP change broadcasted", true);
    return result;
}
