// teliox-cli set-ip: changes the network settings of one camera the way the
// window's "Modify..." does: GigE Vision cameras by register writes or a
// forced address, all others through their resource tree (the current mode
// is read, then a worker writes DHCP, address, netmask, gateway and a commit;
// a camera whose resource server cannot be reached gets the IP-change
// broadcast instead).
//
//   teliox-cli set-ip CAMERA --dhcp | --static ADDRESS/MASK [--gateway G]
//
// CAMERA is the camera's IPv4 address or its MAC address (":" or "-"
// between the pairs, any letter case). MASK is a prefix length (24) or a
// dotted mask (255.255.255.0). The cameras are found by one scan cycle of
// the window's discovery threads first (GigE Vision, mDNS, announcements),
// which keep listening while the change runs; each step of the change is
// printed. Exit status: 0 when the camera acknowledged the change (for the
// resource tree: every setting and the commit accepted), 1 when it failed
// (the reason on the standard error), 2 for bad usage, 3 when the camera is
// not found or offers no change from here, 4 when the camera's resource
// service could not be reached and the change went out as the IP-change
// broadcast (no answer is expected: the change is not confirmed).
//
// The resource tree gives up connecting after 5 seconds (TLS handshake
// included), waits at most 10 seconds for each reply, and ends the read
// phase and the write phase after at most 15 seconds each.
#include "commands.h"
#include "cli_common.h"

#include "app/actions/ip_change_rt.h"
#include "discovery/adapters.h"
#include "discovery/address_plan.h"
#include "discovery/device_list.h"
#include "discovery/gev_modify.h"
#include "discovery/gev_scanner.h"
#include "discovery/scan_threads.h"

#include <halvex/client/resourceclientlib.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kExitBroadcast = 4;

void Usage(FILE* out = stderr) {
    std::fprintf(out,
                 "usage: teliox-cli set-ip CAMERA --dhcp | --static ADDRESS/MASK [--gateway G]\n"
                 "  CAMERA             the camera's IP address or MAC address\n"
                 "  --dhcp             let the camera obtain its address automatically\n"
                 "  --static A/M       fixed address A with mask M (prefix length or dotted)\n"
                 "  --gateway G        default gateway of the fixed address (default 0.0.0.0)\n"
                 "\n"
                 "Cameras without GigE Vision control are changed through their resource\n"
                 "service: connecting gives up after %d s (TLS handshake included), each\n"
                 "request waits at most %lu s for its reply, and reading the settings and\n"
                 "writing them end after at most %lu s each. A camera that cannot be\n"
                 "reached gets the IP-change broadcast instead.\n"
                 "\n"
                 "exit status: 0 the camera acknowledged the change; 1 the change failed;\n"
                 "  2 bad usage; 3 camera not found or not changeable from here;\n"
                 "  %d the change was broadcast (not confirmed by the camera)\n",
                 ZYRK::RES_CONNECT_WAIT_MS / 1000, kResourceExchangeTimeoutMs / 1000,
                 kResourcePhaseTimeoutMs / 1000, kExitBroadcast);
}

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "teliox-cli set-ip: %s\n", message.c_str());
    return code;
}

void PrintStatus(const std::string& text, bool) {
    if (text.empty()) return;
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string Describe(const GEVSettings& s) {
    return s.dhcp ? std::string("DHCP")
                  : FormatIPv4(s.address) + "/" + FormatIPv4(s.netmask) + " gateway " + FormatIPv4(s.gateway);
}

// The resource-tree route: the read phase, then the writes and the commit;
// or the broadcast when the camera's resource server cannot be reached.
int ModifyViaResourceTree(const CDevice& camera, const GEVSettings& settings) {
    RTRouteOptions options;  // the product's bounds
    const RTChangeResult r = ChangeViaResourceTree(camera, settings, PrintStatus, options, [](const RTReadResult& read) {
        if (read.connected)
            std::printf("The camera uses %s\n",
                        read.dhcp ? "DHCP" : ("a fixed address, mask " + read.subnetMask).c_str());
    });
    switch (r.outcome) {
        case RTOutcome::Done:
            std::printf("Settings written and committed: %s\n", Describe(settings).c_str());
            return 0;
        case RTOutcome::BroadcastSent:
            if (!r.broadcast.failure.empty())
                std::printf("The IP-change message did not go out everywhere: %s\n", r.broadcast.failure.c_str());
            std::printf("IP-change message for %s sent on %u adapter%s: %s (no answer is expected)\n",
                        camera.hostName.c_str(), r.broadcast.sent, r.broadcast.sent == 1 ? "" : "s",
                        Describe(settings).c_str());
            return kExitBroadcast;
        case RTOutcome::Failed: break;
    }
    if (r.read.connected && !r.written.connected)
        return Fail(1, "the second connection to the camera failed: " + RTResultText(r.written.connectResult));
    return Fail(1, r.status);
}

}  // namespace

int CmdSetIp(int argc, char** argv) {
    std::string camera;
    std::optional<bool> dhcp;
    std::string staticText, gatewayText;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        } else if (a == "--dhcp") {
            if (dhcp && !*dhcp) return Usage(), Fail(2, "--dhcp and --static exclude each other");
            dhcp = true;
        } else if (a == "--static") {
            if (dhcp && *dhcp) return Usage(), Fail(2, "--dhcp and --static exclude each other");
            const char* v = value();
            if (!v) return Usage(), Fail(2, "--static needs ADDRESS/MASK");
            dhcp = false;
            staticText = v;
        } else if (a == "--gateway") {
            const char* v = value();
            if (!v) return Usage(), Fail(2, "--gateway needs an address");
            gatewayText = v;
        } else if (!a.empty() && a[0] == '-') {
            return Usage(), Fail(2, "unknown option '" + a + "'");
        } else if (camera.empty()) {
            camera = a;
        } else {
            return Usage(), Fail(2, "more than one camera given ('" + camera + "', '" + a + "')");
        }
    }
    if (camera.empty()) return Usage(), Fail(2, "no camera given");
    if (!dhcp) return Usage(), Fail(2, "give --dhcp or --static ADDRESS/MASK");

    GEVSettings settings;
    settings.dhcp = *dhcp;
    if (!settings.dhcp) {
        const size_t slash = staticText.find('/');
        if (slash == std::string::npos) return Fail(2, "--static wants ADDRESS/MASK, e.g. 192.168.1.20/24");
        if (!ParseIPv4(staticText.substr(0, slash), settings.address))
            return Fail(2, "'" + staticText.substr(0, slash) + "' is not an IPv4 address");
        if (!ParseSubnetMask(staticText.substr(slash + 1), settings.netmask))
            return Fail(2, "'" + staticText.substr(slash + 1) + "' is not a subnet mask (prefix length or dotted)");
        if (!gatewayText.empty() && !ParseIPv4(gatewayText, settings.gateway))
            return Fail(2, "'" + gatewayText + "' is not an IPv4 address");
    } else if (!gatewayText.empty()) {
        return Fail(2, "--gateway goes with --static only");
    }

    uint32_t cameraAddress = 0;
    const bool byAddress = ParseIPv4(camera, cameraAddress);
    const std::string cameraMac = byAddress ? std::string() : NormaliseMacText(camera);
    if (!byAddress && cameraMac.empty()) return Fail(2, "'" + camera + "' is neither an IPv4 nor a MAC address");

    std::printf("Scanning for cameras...\n");
    std::fflush(stdout);
    CDeviceList list;
    CStatusText statusText;
    CDiscoveryThreads discovery(list, statusText);
    discovery.Start();
    if (!WaitForCycles(discovery, 1)) return Fail(1, "the scan did not complete");
    // Late multicast answers and announcements.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const auto rows = list.Snapshot();
    const CDevice* found = nullptr;
    for (const auto& d : rows) {
        if (byAddress ? d.ipAddress == FormatIPv4(cameraAddress) : d.macAddress == cameraMac) {
            found = &d;
            break;
        }
    }
    if (!found) return Fail(3, "no camera " + camera + " found (" + std::to_string(rows.size()) + " listed)");
    std::printf("Found %s at %s (MAC %s) on %s\n", found->name.c_str(), found->ipAddress.c_str(),
                found->macAddress.c_str(), found->interfaceName.c_str());

    if (!CanModifyIP(*found)) return Fail(3, "camera " + camera + " offers no address change");
    if (!UsesGEVControl(*found)) return ModifyViaResourceTree(*found, settings);

    const GEVDialogPreset preset = PrepareGEVDialog(*found);
    if (settings.dhcp) {
        if (!preset.automaticAllowed)
            return Fail(2, "camera " + camera +
                               " lies outside its adapter's subnet: DHCP cannot be chosen, give --static");
        // A forced address carries what the dialog holds also when DHCP is chosen.
        settings.address = preset.address;
        settings.netmask = preset.netmask;
        settings.gateway = preset.gatewayAddress;
    }

    const GEVModifyResult r = ModifyViaGigEVision(list, found->row, settings, [](const std::string& text, bool) {
        if (text.empty()) return;
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    });
    if (!r.cameraFound) return Fail(1, "the camera's record vanished");
    if (r.privilegeGranted) {
        if (!r.writesAcknowledged) return Fail(1, "the camera did not acknowledge every register write");
        std::printf("Settings written; the camera restarts with %s\n",
                    settings.dhcp ? "DHCP" : (FormatIPv4(settings.address) + "/" + FormatIPv4(settings.netmask) +
                                              " gateway " + FormatIPv4(settings.gateway))
                                                 .c_str());
        return 0;
    }
    if (!r.forceIPSent) return Fail(1, "the camera refused control and the forced address could not be sent");
    std::printf("Forced address %s/%s gateway %s sent to MAC %s\n", FormatIPv4(settings.address).c_str(),
                FormatIPv4(settings.netmask).c_str(), FormatIPv4(settings.gateway).c_str(),
                found->macAddress.c_str());
    if (r.rescan) {
        std::printf("Scanning again...\n");
        std::fflush(stdout);
        const unsigned done = discovery.CyclesCompleted();
        discovery.SignalScan();
        WaitForCycles(discovery, done + 1);
        discovery.Stop();
        bool seen = false;
        for (const auto& d : list.Snapshot())
            if (d.macAddress == found->macAddress && d.ipAddress == FormatIPv4(settings.address)) seen = true;
        std::printf(seen ? "The camera answers at %s\n" : "The camera does not answer at %s yet\n",
                    FormatIPv4(settings.address).c_str());
    }
    return 0;
}
