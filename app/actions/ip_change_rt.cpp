#include "app/actions/ip_change_rt.h"

#include "discovery/adapters.h"
#include "discovery/ipchange.h"

#include <halvex/client/res_cancel.h>
#include <halvex/client/res_protocol.h>
#include <halvex/client/resourceclientlib.h>
#include <halvex/platform/hex.h>
#include <halvex/resource/client_resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <arpa/inet.h>
#include <openssl/pem.h>

#include <algorithm>
#include <chrono>
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

// A network-order address (first octet in the first byte in memory) as text.
std::string DottedNetworkOrder(uint32_t networkOrder) { return FormatIPv4(ntohl(networkOrder)); }

static_assert(kResourcePhaseTimeoutMs >= ZYRK::RES_CONNECT_WAIT_MS + kResourceExchangeTimeoutMs,
              "a phase must leave room for connecting and one exchange");

// The time one phase may still take. Before each request the tree's timeout
// is set to the smaller of the exchange bound and what is left of the phase,
// so a camera that answers each request just in time cannot stretch the
// phase. Once nothing is left, requests get 1 ms: the first one times out,
// which marks the connection broken, and everything after fails at once.
class CPhaseBudget {
public:
    explicit CPhaseBudget(const RTConnectOptions& options)
        : m_exchangeMs(options.timeoutMs), m_bounded(options.phaseTimeoutMs != 0),
          m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(options.phaseTimeoutMs)) {}

    // The timeout of the next request (0: none).
    unsigned long NextTimeout() const {
        if (!m_bounded) return m_exchangeMs;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
        const unsigned long leftMs = left.count() > 1 ? static_cast<unsigned long>(left.count()) : 1;
        return m_exchangeMs ? std::min(m_exchangeMs, leftMs) : leftMs;
    }

    void Arm(CClientResourceTree& tree) const { tree.SetTimeout(NextTimeout()); }

    // The options of the connect that opens the phase.
    RTConnectOptions ForConnect(const RTConnectOptions& options) const {
        RTConnectOptions bounded = options;
        bounded.timeoutMs = NextTimeout();
        return bounded;
    }

private:
    unsigned long m_exchangeMs;
    bool m_bounded;
    std::chrono::steady_clock::time_point m_end;
};

// One open, one write, one close: 0, or the result of the open or the write.
uint32_t WriteResource(CClientResourceTree& tree, const CPhaseBudget& budget, const std::string& path,
                       const CResourceValue& value, unsigned long time) {
    CResource* resource = nullptr;
    budget.Arm(tree);
    uint32_t r = uint32_t(tree.OpenResource(CResourcePath(path.c_str()), &resource, nullptr));
    if (r == 0 && resource) {
        budget.Arm(tree);
        r = uint32_t(resource->Set(value, ZYRK::RES_NOWAIT, time, nullptr));
        resource->Close();
    } else if (r == 0) {
        r = 0xFFFFFFFFu;
    }
    return r;
}

bool Cancelled(const RTConnectOptions& options) { return options.cancel && options.cancel->IsCancelled(); }

// Whether the row still holds the camera a change was prepared for.
bool SameCamera(const CDevice& a, const CDevice& b) {
    return a.ipAddress == b.ipAddress && a.adapterIndex == b.adapterIndex && a.hostName == b.hostName;
}

}  // namespace

std::string RTResultText(uint32_t code) {
    const std::string hex = ZYRK::hex_code(code);
    const char* text = nullptr;
    if (res_interpret_errcode(code, &text) == 0 && text) return std::string(text) + " (" + hex + ")";
    // Socket errors travel as the negated error number offset by 10000.
    const int32_t asInt = int32_t(code);
    if (asInt < -10000 && asInt > -10000 - 4096) return std::string(std::strerror(-asInt - 10000)) + " (" + hex + ")";
    return hex;
}

std::string RTBroadcastFailedText(const IPChangeBroadcastReport& report) {
    return "IP change broadcast failed: " + (report.failure.empty() ? std::string("nothing was sent") : report.failure);
}

std::string InterfaceResourceName(const CDevice& record) {
    return EqualsNoCase(record.platform, "W6") ? "FEC1" : "LAN90001";
}

std::string InterfaceResourcePath(const std::string& interfaceName, const std::string& leaf) {
    return ".services.net.interface." + interfaceName + "." + leaf;
}

void CCameraCredentials::Clear() {
    m_certificate.reset();
    m_key.reset();
    m_trustFile.clear();
}

bool CCameraCredentials::Load(const CertificatePaths& paths, const std::string& hostName) {
    Clear();
    if (FILE* f = std::fopen(paths.clientCertPath.c_str(), "rb")) {
        m_certificate.reset(PEM_read_X509(f, nullptr, NoPassPhrase, nullptr));
        std::fclose(f);
    }
    if (FILE* f = std::fopen(paths.clientKeyPath.c_str(), "rb")) {
        m_key.reset(PEM_read_PrivateKey(f, nullptr, NoPassPhrase, nullptr));
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
    tree.SetCancel(options.cancel.get());
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

        const CPhaseBudget budget(options.connect);
        say("Connecting to camera...", true);
        result.connectResult = ConnectToCamera(record, *tree, credentials, budget.ForConnect(options.connect));
        result.connected = result.connectResult == 0;
        if (!result.connected) {
            say("Connection failed", true);
        } else {
            say("Connected", true);
            CResource* method = nullptr;
            bool methodRead = false;
            budget.Arm(*tree);
            if (tree->OpenResource(CResourcePath(kMethodPath), &method, nullptr) == 0 && method) {
                CResourceValue text(ZYRK::VALUE_TYPE_ASCII);
                // A read that failed tells nothing about the mode: it is not
                // taken for an empty text (which would mean DHCP).
                budget.Arm(*tree);
                methodRead = method->Get(text, nullptr) == 0;
                method->Close();
                const char* t = text.GetAscii();
                if (methodRead) dhcpValue.Set(!(t && std::strcmp(t, "manual") == 0));
            }
            if (!methodRead) {
                CResource* dhcp = nullptr;
                const std::string path = InterfaceResourcePath(InterfaceResourceName(record), "DHCP");
                budget.Arm(*tree);
                if (tree->OpenResource(CResourcePath(path.c_str()), &dhcp, nullptr) == 0 && dhcp) {
                    budget.Arm(*tree);
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
    // A text that is no address leaves the preset's 0.
    ParseIPv4(record.ipAddress, p.address);
    if (!result.dhcp) {
        ParseIPv4(result.subnetMask, p.netmask);
        ParseIPv4(result.gateway, p.gatewayAddress);
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
        const CPhaseBudget budget(change.connect);
        result.connectResult = ConnectToCamera(change.camera, *tree, credentials, budget.ForConnect(change.connect));
        if (result.connectResult != 0) {
            tree.reset();
            result.status = Cancelled(change.connect) ? kRTTextAbandoned : kRTTextFailedToConnect;
            say(result.status);
            return result;
        }
        result.connected = true;

        struct Step {
            const char* leaf;
            CResourceValue value;
            unsigned long time;
        };
        std::vector<Step> steps;
        if (change.dhcpRequested) {
            steps.push_back({"DHCP", CResourceValue(true), 0});
        } else {
            steps.push_back({"DHCP", CResourceValue(false), 0});
            steps.push_back({"address", CResourceValue(change.newAddress.c_str()), 0});
            steps.push_back({"netmask", CResourceValue(change.newSubnetMask.c_str()), 0});
            steps.push_back({"gateway", CResourceValue(change.newGateway.c_str()), 0});
        }
        steps.push_back({"commit", CResourceValue(true), kCommitTime});
        for (const Step& step : steps) {
            const std::string path = InterfaceResourcePath(iface, step.leaf);
            const uint32_t r = WriteResource(*tree, budget, path, step.value, step.time);
            if (r != 0) {
                // What the camera did not take is not committed: the settings
                // it already holds stay pending there, not applied.
                result.skipped.push_back(path + ": " + ZYRK::hex_code(r));
                result.failedStep = step.leaf;
                result.failedResult = r;
                break;
            }
            ++result.written;
            if (std::strcmp(step.leaf, "commit") == 0) result.committed = true;
        }
        // Destroying the tree closes the session.
    }
    if (result.committed) {
        result.outcome = RTOutcome::Done;
        result.status = kRTTextCompleted;
    } else if (Cancelled(change.connect)) {
        result.status = kRTTextAbandoned;
    } else {
        result.status = "IP change failed: " + result.failedStep + ": " + RTResultText(result.failedResult);
    }
    say(result.status);
    return result;
}

std::thread StartIPChangeThread(RTChange change, RTStatusCallback status,
                                std::function<void(const RTWriteResult&)> done) {
    return std::thread([change = std::move(change), status = std::move(status), done = std::move(done)]() mutable {
        const RTWriteResult result = IPChangeThread(std::move(change), status);
        if (done) done(result);
    });
}

namespace {

// The change the write phase makes from the dialog's choice.
RTChange MakeChange(const RTReadResult& read, const RTSettings& chosen, const RTRouteOptions& options) {
    RTChange change;
    change.camera = read.camera;
    change.dhcpRequested = chosen.dhcp;
    if (!chosen.dhcp) {
        change.newAddress = FormatIPv4(chosen.address);
        change.newSubnetMask = FormatIPv4(chosen.netmask);
        change.newGateway = FormatIPv4(chosen.gateway);
    }
    change.connect = options.connect;
    return change;
}

// The broadcast of the chosen values (also when DHCP was chosen).
IPChangeBroadcastReport Broadcast(const RTReadResult& read, const RTSettings& chosen, const RTRouteOptions& options) {
    const std::string address = FormatIPv4(chosen.address);
    const std::string mask = FormatIPv4(chosen.netmask);
    const std::string gateway = FormatIPv4(chosen.gateway);
    const std::string iface = InterfaceResourceName(read.camera);
    if (options.broadcast) return options.broadcast(read.camera.hostName, chosen.dhcp, address, mask, gateway, iface);
    IPChangeBroadcastReport report;
    SendIPChangeBroadcast(read.camera.hostName, chosen.dhcp, address, mask, gateway, iface, IPChangeTarget(), &report);
    return report;
}

}  // namespace

RTApplyResult ApplyViaResourceTree(CDeviceList& list, int row, const RTReadResult& read, const RTSettings& chosen,
                                   RTStatusCallback status, const RTRouteOptions& options,
                                   std::function<void(const RTWriteResult&)> done) {
    RTApplyResult result;
    if (status) status("Initiating IP change", true);

    const bool connected = read.connected;
    auto updateRow = [&](bool pending) {
        list.WithDevice(row, [&](CDevice& d) {
            if (!SameCamera(d, read.camera)) return;
            d.ipChangePending = pending;
            result.rowUpdated = true;
        });
    };

    if (connected) {
        updateRow(false);
        if (result.rowUpdated) list.SetItemText(row, kColIpAddress, "");
        result.thread = StartIPChangeThread(MakeChange(read, chosen, options), std::move(status), std::move(done));
        result.threadStarted = true;
        return result;
    }

    result.broadcastReport = Broadcast(read, chosen, options);
    result.broadcastResult = result.broadcastReport.result;
    result.broadcast = true;
    const bool sent = result.broadcastReport.sent > 0;
    // Only a message that went out makes the change pending.
    updateRow(sent);
    if (result.rowUpdated) list.SetItemText(row, kColIpAddress, "");
    result.outcome = sent ? RTOutcome::BroadcastSent : RTOutcome::Failed;
    result.status = sent ? std::string(kRTTextBroadcasted) : RTBroadcastFailedText(result.broadcastReport);
    if (status) status(result.status, true);
    return result;
}

RTChangeResult ChangeViaResourceTree(const CDevice& camera, RTSettings chosen, const RTStatusCallback& status,
                                     const RTRouteOptions& options,
                                     const std::function<void(const RTReadResult&)>& afterRead) {
    RTChangeResult result;
    result.read = ReadViaResourceTree(camera, status, options);
    if (afterRead) afterRead(result.read);
    if (Cancelled(options.connect)) {
        result.status = kRTTextAbandoned;
        if (status) status(result.status, true);
        return result;
    }
    if (status) status("Initiating IP change", true);
    if (result.read.connected) {
        result.written = IPChangeThread(MakeChange(result.read, chosen, options), status);
        result.outcome = result.written.outcome;
        result.status = result.written.status;
        return result;
    }
    if (chosen.dhcp) {
        // What the dialog holds when DHCP is chosen; the broadcast carries it.
        chosen.address = result.read.preset.address;
        chosen.netmask = result.read.preset.netmask;
        chosen.gateway = result.read.preset.gatewayAddress;
    }
    result.broadcast = Broadcast(result.read, chosen, options);
    const bool sent = result.broadcast.sent > 0;
    result.outcome = sent ? RTOutcome::BroadcastSent : RTOutcome::Failed;
    result.status = sent ? std::string(kRTTextBroadcasted) : RTBroadcastFailedText(result.broadcast);
    if (status) status(result.status, true);
    return result;
}
