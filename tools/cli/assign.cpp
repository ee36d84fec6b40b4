// teliox-cli assign: gives many cameras new network settings in one go, as
// the window's "Assign Addresses..." does.
//
//   teliox-cli assign --from ADDRESS/MASK [--gateway G] [--dry-run] [--parallel N] CAMERA... | --all
//   teliox-cli assign --dhcp [--dry-run] [--parallel N] CAMERA... | --all
//
// CAMERA is a camera's IPv4 address or its MAC address; an address that
// several cameras share names all of them. --all takes every listed camera
// whose address can be changed. The cameras are found by one scan cycle
// first. The plan gives each camera the next free address from ADDRESS on
// (never the network or broadcast address, an address of this computer, the
// gateway, an address of a listed camera or one that answers an ARP probe),
// cameras that share an address first; it is printed with the addresses it
// skipped, and nothing changes when there are not enough addresses or with
// --dry-run. The changes run a few at a time (--parallel, default 4) over
// the routes of set-ip; each result is printed as it comes, then the cameras
// are looked for at their new addresses by a new scan.
//
// Exit status: 0 when every change succeeded (acknowledged by the camera, or
// sent as a broadcast, which no camera answers, and the camera then found at
// its new address by the rescan) or with --dry-run, 1 when any failed or the
// plan is refused, 2 for bad usage, 3 when a camera is not found or offers no
// address change.
#include "cli_common.h"
#include "commands.h"

#include "app/actions/assign_routes.h"
#include "app/actions/assign_run.h"
#include "discovery/adapters.h"
#include "discovery/address_plan.h"
#include "discovery/camera_export.h"
#include "discovery/device_list.h"
#include "discovery/scan_threads.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

void Usage(FILE* out = stderr) {
    std::fputs("usage: teliox-cli assign --from ADDRESS/MASK [--gateway G] [--dry-run] [--parallel N] CAMERA... | --all\n"
               "       teliox-cli assign --dhcp [--dry-run] [--parallel N] CAMERA... | --all\n"
               "  CAMERA             a camera's IP address or MAC address (an address shared by\n"
               "                     several cameras names all of them)\n"
               "  --all              every listed camera whose address can be changed\n"
               "  --from A/M         give the cameras free addresses from A on, mask M (prefix\n"
               "                     length or dotted); addresses in use are skipped\n"
               "  --gateway G        default gateway of the new addresses (default 0.0.0.0)\n"
               "  --dhcp             let the cameras obtain their addresses automatically\n"
               "  --dry-run          print the plan and change nothing\n"
               "  --parallel N       cameras changed at once, 1 to 16 (default 4)\n"
               "exit status: 0 all changed (acknowledged, or sent as a broadcast and found at\n"
               "the new address by the rescan; or --dry-run), 1 a change failed, a broadcast\n"
               "change was not confirmed or the plan was refused, 2 bad usage, 3 a camera not\n"
               "found or not changeable\n",
               out);
}

int Fail(int code, const std::string& message) { return CliFail("assign", code, message); }

std::string Now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

std::string Describe(const CDevice& d) {
    std::string s = TerminalText(d.name);
    if (!d.macAddress.empty()) s += " (" + d.macAddress + ")";
    return s;
}

void Flush() { std::fflush(stdout); }

// Scans once: the cycle and one second of late multicast answers and announcements.
bool ScanOnce(CDiscoveryThreads& discovery, unsigned cycles) {
    if (!WaitForCycles(discovery, cycles)) return false;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return true;
}

void PrintPlan(const AddressPlan& plan) {
    std::printf("Plan: %s\n", PlanSummary(plan).c_str());
    // Changes and skipped addresses in address order; cameras left alone last.
    struct Line {
        uint32_t address;
        std::string text;
    };
    std::vector<Line> lines;
    for (const PlannedChange& c : plan.changes)
        if (c.change)
            lines.push_back({plan.dhcp ? 0 : c.address,
                             Describe(c.camera) + "  " + c.camera.ipAddress + " -> " + PlannedAddressText(c)});
    for (const SkippedAddress& s : plan.skipped)
        lines.push_back({s.address, FormatIPv4(s.address) + "  skipped: " + TerminalText(s.reason)});
    std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.address < b.address; });
    for (const Line& l : lines) std::printf("  %s\n", l.text.c_str());
    for (const PlannedChange& c : plan.changes)
        if (!c.change) std::printf("  %s  %s  not changed: %s\n", Describe(c.camera).c_str(), c.camera.ipAddress.c_str(), c.note.c_str());
    Flush();
}

bool ParseParallel(const char* text, unsigned& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 16) return false;
    out = static_cast<unsigned>(v);
    return true;
}

// Whether the camera of a change answers where the plan put it.
bool FoundAfterChange(const std::vector<CDevice>& rows, const PlannedChange& c, std::string& where) {
    for (const CDevice& d : rows) {
        if (!IsSameCamera(d, c.camera)) continue;
        if (c.dhcp || d.ipAddress == FormatIPv4(c.address)) {
            where = d.ipAddress;
            return true;
        }
    }
    return false;
}

}  // namespace

int CmdAssign(int argc, char** argv) {
    std::vector<std::string> cameras;
    bool all = false, dhcp = false, dryRun = false;
    std::string fromText, gatewayText;
    unsigned parallel = CAssignRun::kDefaultParallel;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help") return Usage(stdout), 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        // The value of an option; null when the command line ends first.
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--all") {
            all = true;
        } else if (a == "--dhcp") {
            dhcp = true;
        } else if (a == "--dry-run") {
            dryRun = true;
        } else if (a == "--from" || a == "--gateway" || a == "--parallel") {
            const char* v = next;
            if (!v) return Usage(), Fail(2, a + " needs a value");
            ++i;
            if (a == "--from") fromText = v;
            else if (a == "--gateway") gatewayText = v;
            else if (!ParseParallel(v, parallel)) return Fail(2, "--parallel wants a number from 1 to 16, not '" + std::string(v) + "'");
        } else if (!a.empty() && a[0] == '-') {
            return Usage(), Fail(2, "unknown option '" + a + "'");
        } else {
            cameras.push_back(a);
        }
    }
    if (dhcp == !fromText.empty()) return Usage(), Fail(2, "give either --from ADDRESS/MASK or --dhcp");
    if (dhcp && !gatewayText.empty()) return Fail(2, "--gateway goes with --from only");
    if (all == !cameras.empty()) return Usage(), Fail(2, "name the cameras or give --all (not both)");

    AddressPlanRequest request;
    request.dhcp = dhcp;
    if (!dhcp) {
        if (!ParseAddressWithMask(fromText, request.start, request.mask))
            return Fail(2, "--from wants ADDRESS/MASK with a prefix length or a dotted mask, e.g. 192.168.1.20/24, not '" +
                               fromText + "'");
        if (!gatewayText.empty() && !ParseIPv4(gatewayText, request.gateway))
            return Fail(2, "'" + gatewayText + "' is not an IPv4 address");
    }
    struct Wanted {
        std::string text;
        uint32_t address = 0;
        bool byAddress = false;
        std::string mac;
    };
    std::vector<Wanted> wanted;
    for (const std::string& c : cameras) {
        Wanted w;
        w.text = c;
        w.byAddress = ParseIPv4(c, w.address);
        if (!w.byAddress) w.mac = NormaliseMacText(c);
        if (!w.byAddress && w.mac.empty()) return Fail(2, "'" + c + "' is neither an IPv4 nor a MAC address");
        wanted.push_back(w);
    }

    std::printf("Scanning for cameras...\n");
    Flush();
    CDeviceList list;
    CStatusText statusText;
    CDiscoveryThreads discovery(list, statusText);
    discovery.Start();
    if (!ScanOnce(discovery, 1)) return Fail(1, "the scan did not complete");
    const std::vector<CDevice> rows = list.Snapshot();
    std::printf("%zu cameras listed\n", rows.size());

    int notFound = 0;
    if (all) {
        for (const CDevice& d : rows)
            if (CanModifyIP(d)) request.cameras.push_back(d);
        if (request.cameras.empty()) return Fail(3, "no listed camera offers an address change");
    } else {
        for (const Wanted& w : wanted) {
            bool any = false;
            for (const CDevice& d : rows) {
                if (!(w.byAddress ? d.ipAddress == FormatIPv4(w.address) : d.macAddress == w.mac)) continue;
                any = true;
                if (!CanModifyIP(d)) {
                    std::fprintf(stderr, "teliox-cli assign: camera %s (%s) offers no address change\n",
                                 w.text.c_str(), Describe(d).c_str());
                    ++notFound;
                    continue;
                }
                request.cameras.push_back(d);
            }
            if (!any) {
                std::fprintf(stderr, "teliox-cli assign: no camera %s found\n", w.text.c_str());
                ++notFound;
            }
        }
        if (notFound) return Fail(3, std::to_string(notFound) + " of the cameras named cannot be changed (" +
                                         std::to_string(rows.size()) + " listed); nothing changed");
    }

    request.listed = rows;
    request.probe = NeighbourTableProbe();
    request.progress = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    if (!dhcp) std::fprintf(stderr, "Checking the addresses from %s...\n", FormatIPv4(request.start).c_str());
    const AddressPlan plan = PlanAddresses(request);
    PrintPlan(plan);
    if (!plan.error.empty()) return Fail(1, plan.error + "; nothing changed");
    if (dryRun) {
        std::printf("Dry run: nothing changed\n");
        return 0;
    }

    std::printf("Changing %u cameras, %u at a time...\n", plan.cameraCount, parallel);
    Flush();
    AssignRouteOptions routes;
    CAssignRun run(
        plan.changes, [&routes](const PlannedChange& c, unsigned slot) { return ChangeCameraAddress(c, slot, routes); },
        parallel,
        [&plan](size_t row, const AssignRowStatus& s) {
            if (s.state == AssignState::Waiting || s.state == AssignState::Changing) return;
            const PlannedChange& c = plan.changes[row];
            std::string line = "  " + Describe(c.camera) + "  " + c.camera.ipAddress + " -> " +
                               PlannedAddressText(c) + "  " + s.text;
            if (!s.detail.empty()) line += " (" + TerminalText(s.detail) + ")";
            std::printf("%s\n", line.c_str());
            Flush();
        });
    run.Start();
    // Every route is bounded; this bound only guards against a fault.
    if (!run.WaitFor(30 * 60 * 1000)) {
        run.Cancel();
        return Fail(1, "the changes did not end");
    }
    const unsigned failed = run.Count(AssignState::Failed);
    const unsigned done = run.Count(AssignState::Done), sent = run.Count(AssignState::BroadcastSent);
    std::printf("%u done, %u sent as broadcast, %u failed\n", done, sent, failed);

    // A new scan looks for each camera at its new address; cameras that
    // restart take a moment, so a few cycles are given.
    std::printf("Rescan at %s\n", Now().c_str());
    Flush();
    std::vector<bool> found(plan.changes.size(), false);
    const std::vector<AssignRowStatus> statuses = run.Statuses();
    for (int cycle = 0; cycle < 3; ++cycle) {
        list.RemoveAll();
        const unsigned before = discovery.CyclesCompleted();
        discovery.SignalScan();
        if (!ScanOnce(discovery, before + 1)) break;
        const std::vector<CDevice> now = list.Snapshot();
        bool allFound = true;
        for (size_t i = 0; i < plan.changes.size(); ++i) {
            const AssignState st = statuses[i].state;
            if (st != AssignState::Done && st != AssignState::BroadcastSent) continue;
            std::string where;
            if (!found[i] && FoundAfterChange(now, plan.changes[i], where)) found[i] = true;
            allFound = allFound && found[i];
        }
        if (allFound) break;
    }
    discovery.Stop();
    // A broadcast is never answered: only the rescan confirms such a change.
    unsigned unconfirmed = 0;
    for (size_t i = 0; i < plan.changes.size(); ++i) {
        const AssignState st = statuses[i].state;
        if (st != AssignState::Done && st != AssignState::BroadcastSent) continue;
        const PlannedChange& c = plan.changes[i];
        if (found[i])
            std::printf("  %s found at %s\n", Describe(c.camera).c_str(),
                        c.dhcp ? "its new address" : FormatIPv4(c.address).c_str());
        else
            std::printf("  %s not found at %s yet%s\n", Describe(c.camera).c_str(),
                        c.dhcp ? "a new address" : FormatIPv4(c.address).c_str(),
                        st == AssignState::BroadcastSent ? ": the broadcast change is not confirmed" : "");
        if (!found[i] && st == AssignState::BroadcastSent) ++unconfirmed;
    }
    Flush();
    if (failed || unconfirmed)
        return Fail(1, std::to_string(failed) + " of " + std::to_string(plan.cameraCount) + " changes failed, " +
                           std::to_string(unconfirmed) + " sent as broadcast not confirmed");
    return 0;
}
