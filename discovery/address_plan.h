// Addressing many cameras in one action: the texts a technician types
// (addresses with masks, MAC addresses), the mask and gateway suggested by
// the local adapters, and the plan that gives each camera an address of its
// own from a start address, passing over every address already in use.
// Nothing here changes a camera.
#pragma once

#include "discovery/device.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A prefix length ("24") or a dotted mask of contiguous ones ("255.255.255.0").
bool ParseSubnetMask(const std::string& text, uint32_t& mask);
// "ADDRESS/MASK", the mask as ParseSubnetMask reads it.
bool ParseAddressWithMask(const std::string& text, uint32_t& address, uint32_t& mask);
// "00:11:1c:ab:cd:ef" or "00-11-1C-AB-CD-EF" in the list's form
// ("00:11:1C:AB:CD:EF"); empty when the text is not a MAC address.
std::string NormaliseMacText(const std::string& text);

// Whether two rows are one camera (seen on two adapters, or before and after
// a change): GigE Vision cameras by their MAC address, which they report
// themselves; other cameras by MAC address and host name, since several of
// them may answer behind one MAC address.
bool IsSameCamera(const CDevice& a, const CDevice& b);

// Mask and gateway of the local adapter on the network of `address`: every
// adapter with an address is examined, the last match wins; with none,
// 255.255.255.0 and 0.0.0.0 (`matched` false). Host order.
struct AdapterSuggestion {
    uint32_t mask = 0xFFFFFF00u;
    uint32_t gateway = 0;
    uint32_t adapterIndex = 0;
    bool matched = false;
};
AdapterSuggestion SuggestMaskAndGateway(uint32_t address);

// Asks the adapter's neighbour table whether a device answers at `address`
// (an ARP request, no ICMP); its MAC address, or none after `timeout`.
using NeighbourProbe = std::function<std::optional<std::string>(uint32_t adapterIndex, const std::string& address,
                                                                 std::chrono::milliseconds timeout)>;
// The product's probe: the kernel's neighbour table through rtnetlink.
NeighbourProbe NeighbourTableProbe();

struct AddressPlanRequest {
    std::vector<CDevice> cameras;  // the cameras to address, in the user's order
    std::vector<CDevice> listed;   // every row of the camera list: their addresses are in use
    bool dhcp = false;             // obtain addresses automatically instead
    uint32_t start = 0;            // first address of the pool (host order)
    uint32_t mask = 0;
    uint32_t gateway = 0;          // 0: none
    NeighbourProbe probe;          // empty: candidates are not probed
    std::chrono::milliseconds probeTimeout{1000};
    unsigned probeParallel = 8;    // probes at once
    unsigned maxProbedInUse = 256; // more addresses in use than this: the plan gives up
    const std::atomic<bool>* cancel = nullptr;
    // Progress while probing: addresses checked so far (any thread).
    std::function<void(const std::string& text)> progress;
};

struct PlannedChange {
    CDevice camera;
    bool change = true;     // false: the camera is left as it is (`note` says why)
    std::string note;
    bool dhcp = false;
    uint32_t address = 0;   // host order; for a static address
    uint32_t mask = 0;
    uint32_t gateway = 0;
};

struct SkippedAddress {
    uint32_t address = 0;
    std::string reason;     // "in use by 02:00:00:00:00:01", "this computer's address", ...
};

struct AddressPlan {
    bool dhcp = false;
    std::vector<PlannedChange> changes;  // one per camera, in the order the changes run
    std::vector<SkippedAddress> skipped; // addresses passed over, in pool order
    uint64_t available = 0;              // addresses of the pool not known to be in use
    unsigned cameraCount = 0;            // cameras that will be changed
    std::string error;                   // not empty: the plan must not run (nothing is changed)
    bool cancelled = false;
};

// Cameras whose address another camera shares come first, then the others
// in the order given; a camera seen on two adapters (IsSameCamera) once; cameras
// that offer no address change are kept with a note. A static plan gives
// each camera the next free address from `start` up to the end of its
// subnet, never the network or broadcast address, an adapter's address, the
// gateway, an address of a listed row or one the probe finds in use. Not
// enough addresses, or bad input, gives `error` and no address at all.
AddressPlan PlanAddresses(const AddressPlanRequest& request);

// "N cameras, M addresses available, K skipped" (static), or
// "N cameras, addresses obtained automatically" (DHCP).
std::string PlanSummary(const AddressPlan& plan);
// "192.168.1.20" for a static change, "DHCP", or "" when not changed.
std::string PlannedAddressText(const PlannedChange& change);
