#include "discovery/address_plan.h"

#include "discovery/adapters.h"
#include "discovery/neighbour.h"

#include <algorithm>
#include <cctype>
#include <future>
#include <map>

bool ParseSubnetMask(const std::string& text, uint32_t& mask) {
    if (!text.empty() && text.size() <= 2 && std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        const int prefix = std::stoi(text);
        if (prefix > 32) return false;
        mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
        return true;
    }
    uint32_t m = 0;
    if (!ParseIPv4(text, m)) return false;
    if (((~m + 1) & ~m) != 0) return false;  // ones, then zeros only
    mask = m;
    return true;
}

bool ParseAddressWithMask(const std::string& text, uint32_t& address, uint32_t& mask) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    return ParseIPv4(text.substr(0, slash), address) && ParseSubnetMask(text.substr(slash + 1), mask);
}

std::string NormaliseMacText(const std::string& text) {
    if (text.size() != 17) return {};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i % 3 == 2) {
            if (c != ':' && c != '-') return {};
            out += ':';
        } else {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

namespace {

uint32_t HostOrder(const std::string& text) {
    uint32_t v = 0;
    return ParseIPv4(text, v) ? v : 0;
}

// The adapter whose network holds `address`, or 0.
uint32_t AdapterFor(const AdapterTable& table, uint32_t address) {
    for (const AdapterInfo& a : table) {
        const uint32_t own = HostOrder(a.address), mask = HostOrder(a.mask);
        if (own != 0 && (own & mask) == (address & mask)) return a.index;
    }
    return 0;
}

// Cameras sharing an address first; one row per camera.
std::vector<CDevice> OrderCameras(const std::vector<CDevice>& cameras) {
    std::vector<CDevice> ordered;
    for (int pass = 0; pass < 2; ++pass)
        for (const CDevice& d : cameras) {
            if (d.sharedAddressMacs.empty() == (pass == 0)) continue;
            if (std::any_of(ordered.begin(), ordered.end(), [&d](const CDevice& o) { return IsSameCamera(o, d); }))
                continue;
            ordered.push_back(d);
        }
    return ordered;
}

}  // namespace

bool IsSameCamera(const CDevice& a, const CDevice& b) {
    if (a.macAddress.empty() || !EqualsNoCase(a.macAddress, b.macAddress)) return false;
    if (UsesGEVControl(a) && UsesGEVControl(b)) return true;
    return a.hostName == b.hostName;
}

NeighbourProbe NeighbourTableProbe() {
    return [](uint32_t adapterIndex, const std::string& address, std::chrono::milliseconds timeout) {
        return ResolveNeighbourMac(adapterIndex, address, timeout);
    };
}

AdapterSuggestion SuggestMaskAndGateway(uint32_t address) {
    AdapterSuggestion s;
    const auto table = ReadAdapterTable();
    if (!table) return s;
    for (const AdapterInfo& adapter : *table) {
        const uint32_t adapterAddress = HostOrder(adapter.address);
        const uint32_t adapterMask = HostOrder(adapter.mask);
        // An adapter without an address (0.0.0.0, mask 0.0.0.0) would match
        // every camera and suggest the mask 0.0.0.0: it is not a network.
        if (adapterAddress == 0) continue;
        if ((adapterAddress & adapterMask) == (address & adapterMask)) {
            s.mask = adapterMask;
            s.gateway = HostOrder(adapter.gateway);
            s.adapterIndex = adapter.index;
            s.matched = true;  // the last matching adapter wins
        }
    }
    return s;
}

AddressPlan PlanAddresses(const AddressPlanRequest& request) {
    AddressPlan plan;
    plan.dhcp = request.dhcp;
    for (const CDevice& camera : OrderCameras(request.cameras)) {
        PlannedChange c;
        c.camera = camera;
        c.dhcp = request.dhcp;
        if (!CanModifyIP(camera)) {
            c.change = false;
            c.note = "offers no address change";
        } else if (request.dhcp && UsesGEVControl(camera) &&
                   (!camera.reachable || !camera.sharedAddressMacs.empty())) {
            // Such a camera is only reached by a forced address, which
            // carries a fixed address, never DHCP.
            c.change = false;
            c.note = camera.reachable ? "shares its address: give it a static address"
                                      : "outside its adapter's subnet: give it a static address";
        }
        plan.cameraCount += c.change ? 1 : 0;
        plan.changes.push_back(std::move(c));
    }
    if (plan.cameraCount == 0) {
        plan.error = "No camera whose address can be changed";
        return plan;
    }
    if (request.dhcp) return plan;

    const uint32_t mask = request.mask;
    if (((~mask + 1) & ~mask) != 0 || mask == 0) {
        plan.error = "The subnet mask " + FormatIPv4(mask) + " is not a valid mask";
        return plan;
    }
    if (!IsUnicastIPv4(request.start)) {
        plan.error = "The start address " + FormatIPv4(request.start) + " is not a unicast address";
        return plan;
    }
    const uint32_t network = request.start & mask;
    const uint32_t broadcast = network | ~mask;
    if (request.gateway != 0 && (request.gateway & mask) != network) {
        plan.error = "The default gateway " + FormatIPv4(request.gateway) + " is not in the subnet " +
                     FormatIPv4(network) + "/" + FormatIPv4(mask);
        return plan;
    }
    // Networks of one or two addresses have no network or broadcast address.
    const bool tiny = broadcast - network < 2;
    const uint32_t first = tiny ? request.start : std::max(request.start, network + 1);
    const uint32_t last = tiny ? broadcast : broadcast - 1;
    if (first > last) {
        plan.error = "No address of the subnet lies at or after " + FormatIPv4(request.start);
        return plan;
    }

    // What is known to be in use, with the reason a technician is shown.
    std::map<uint32_t, std::string> known;
    const auto table = ReadAdapterTable().value_or(AdapterTable{});
    for (const AdapterInfo& a : table)
        if (uint32_t own = HostOrder(a.address)) known[own] = "this computer's address";
    if (request.gateway) known.emplace(request.gateway, "the default gateway");
    for (const CDevice& row : request.listed) {
        uint32_t a = 0;
        if (!ParseIPv4(row.ipAddress, a)) continue;
        std::string who = "in use by camera " + row.name;
        if (!row.macAddress.empty()) who += " (" + row.macAddress + ")";
        known.emplace(a, who);
    }
    uint64_t knownInPool = 0;
    for (auto it = known.lower_bound(first); it != known.end() && it->first <= last; ++it) ++knownInPool;
    const uint64_t poolSize = uint64_t(last) - first + 1;
    plan.available = poolSize - knownInPool;
    if (plan.available < plan.cameraCount) {
        plan.error = "Not enough addresses: " + std::to_string(plan.cameraCount) + " cameras, " +
                     std::to_string(plan.available) + " addresses available from " + FormatIPv4(first) + " to " +
                     FormatIPv4(last);
        return plan;
    }

    const uint32_t fallbackAdapter = plan.changes.front().camera.adapterIndex;
    const unsigned parallel = std::max(1u, request.probeParallel);
    unsigned probedInUse = 0, probed = 0;
    auto cancelled = [&] { return request.cancel && request.cancel->load(); };

    std::vector<uint32_t> free;  // the addresses the cameras get, in order
    uint64_t next = first;
    while (free.size() < plan.cameraCount) {
        if (cancelled()) {
            plan.cancelled = true;
            plan.error = "Cancelled";
            return plan;
        }
        // The next candidates that nothing known holds; probed at once.
        std::vector<uint32_t> batch;
        const size_t wanted = std::min<size_t>(parallel, plan.cameraCount - free.size());
        for (; next <= last && batch.size() < wanted; ++next) {
            const uint32_t a = static_cast<uint32_t>(next);
            auto k = known.find(a);
            if (k != known.end()) {
                plan.skipped.push_back({a, k->second});
                continue;
            }
            batch.push_back(a);
        }
        if (batch.empty()) break;
        std::vector<std::optional<std::string>> found(batch.size());
        if (request.probe) {
            std::vector<std::future<std::optional<std::string>>> probes;
            for (uint32_t a : batch) {
                uint32_t adapter = AdapterFor(table, a);
                if (adapter == 0) adapter = fallbackAdapter;
                probes.push_back(std::async(std::launch::async, request.probe, adapter, FormatIPv4(a),
                                            request.probeTimeout));
            }
            for (size_t i = 0; i < probes.size(); ++i) found[i] = probes[i].get();
            probed += static_cast<unsigned>(batch.size());
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            if (found[i]) {
                plan.skipped.push_back({batch[i], "in use by " + (found[i]->empty() ? "another device" : *found[i])});
                --plan.available;
                ++probedInUse;
            } else {
                free.push_back(batch[i]);
            }
        }
        if (request.probe && request.progress)
            request.progress("Checked " + std::to_string(probed) + " addresses, " + std::to_string(probedInUse) +
                             " in use");
        if (probedInUse > request.maxProbedInUse) {
            plan.error = "More than " + std::to_string(request.maxProbedInUse) + " addresses from " +
                         FormatIPv4(first) + " are in use: choose another start address";
            return plan;
        }
    }
    if (free.size() < plan.cameraCount) {
        plan.error = "Not enough addresses: " + std::to_string(plan.cameraCount) + " cameras, " +
                     std::to_string(free.size()) + " free addresses from " + FormatIPv4(first) + " to " +
                     FormatIPv4(last);
        return plan;
    }
    std::stable_sort(plan.skipped.begin(), plan.skipped.end(),
                     [](const SkippedAddress& a, const SkippedAddress& b) { return a.address < b.address; });
    size_t i = 0;
    for (PlannedChange& c : plan.changes) {
        if (!c.change) continue;
        c.address = free[i++];
        c.mask = mask;
        c.gateway = request.gateway;
    }
    return plan;
}

std::string PlanSummary(const AddressPlan& plan) {
    const std::string cameras = std::to_string(plan.cameraCount) + (plan.cameraCount == 1 ? " camera" : " cameras");
    if (plan.dhcp) return cameras + ", addresses obtained automatically";
    return cameras + ", " + std::to_string(plan.available) + " addresses available, " +
           std::to_string(plan.skipped.size()) + " skipped";
}

std::string PlannedAddressText(const PlannedChange& change) {
    if (!change.change) return {};
    return change.dhcp ? "DHCP" : FormatIPv4(change.address);
}
