// IPv4 neighbour resolution through the kernel's neighbour table (rtnetlink):
// the kernel is asked to resolve an address on an adapter and its entry is
// read once it is complete. Nothing goes to a port of the camera, and nothing
// is asked for multicast, broadcast, zero or other addresses that have no
// neighbour entry of their own.
//
// How resolution is started, in order of preference:
//   1. RTM_NEWNEIGH with NTF_USE (and NLM_F_CREATE): the kernel creates the
//      entry if needed and sends its ARP requests as if traffic were queued
//      for the address (any kernel since 2.6.24, so Debian 12's 6.1 as well).
//      Needs CAP_NET_ADMIN.
//   2. Without it, one ICMP echo request through an unprivileged ping socket
//      (allowed by net.ipv4.ping_group_range, which Debian opens to every
//      group) makes the kernel resolve the next hop; used only when the
//      address is on-link for the adapter, where the next hop is the camera.
//   3. Else the table is only watched: entries that the camera's own ARP
//      requests create still complete the look-up.
// NUD_PROBE set through netlink and "managed" entries (NTF_EXT_MANAGED, 5.16
// and later) are not used: the first needs an entry with an address already,
// the second keeps the kernel probing the address for as long as the entry
// lives.
#pragma once

#include "discovery/ipv4.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// MAC ("%02X:%02X:%02X:%02X:%02X:%02X") of `address` on adapter `adapterIndex` (kernel
// interface index) once the kernel's neighbour entry is complete, within `timeout`;
// nullopt when it does not resolve in time or the address is not a unicast IPv4 address.
// Adapter index 0 resolves on the adapter that the kernel's route to the
// address leaves through. Returns early (nullopt) when the kernel gives up on
// the address after its own probes.
std::optional<std::string> ResolveNeighbourMac(uint32_t adapterIndex, const std::string& address,
                                               std::chrono::milliseconds timeout);
// The same, ending at once (nullopt) when the descriptor `cancelFd` becomes
// readable: lets an owner that stops end look-ups in progress.
std::optional<std::string> ResolveNeighbourMac(uint32_t adapterIndex, const std::string& address,
                                               std::chrono::milliseconds timeout, int cancelFd);

// Addresses without a neighbour entry of their own are those IsUnicastIPv4
// (ipv4.h) refuses. Subnet-directed broadcasts depend on the adapter; the
// resolver asks the kernel's routes about those.

// Many look-ups at once: a look-up is begun, and its outcome comes from Wait.
// The kernel's table serves it on one socket; tests give a table of their own.
// One thread at a time.
class INeighbourSource {
public:
    // The outcome of the look-up that was begun with (`adapterIndex`,
    // `address`): the MAC address once the entry is complete, or nullopt when
    // it cannot resolve (not a unicast address, no such adapter, the kernel
    // gave up after its probes).
    using OutcomeFn = std::function<void(uint32_t adapterIndex, const std::string& address,
                                         const std::optional<std::string>& mac)>;
    virtual ~INeighbourSource() = default;
    // Starts a look-up of `address` on `adapterIndex` (0: the adapter that the
    // route to the address leaves through). Returns without waiting for it.
    virtual void Begin(uint32_t adapterIndex, const std::string& address) = 0;
    // Forgets a look-up whose outcome is no longer awaited.
    virtual void End(uint32_t adapterIndex, const std::string& address) = 0;
    // Waits up to `timeout`, or until the descriptor `wakeFd` is readable (not
    // read here), for outcomes and hands each to `done`; a look-up whose
    // outcome was handed over has ended.
    virtual void Wait(std::chrono::milliseconds timeout, int wakeFd, const OutcomeFn& done) = 0;
};

// The kernel's neighbour table through rtnetlink, as ResolveNeighbourMac asks it.
std::shared_ptr<INeighbourSource> KernelNeighbourSource();

// One neighbour entry as the kernel reports it.
struct NeighbourEntry {
    uint32_t adapterIndex = 0;
    uint32_t address = 0;   // host order
    uint16_t state = 0;     // NUD_* bits
    std::string mac;        // "%02X:..." when the entry carries a 6-byte link-layer address
    bool deleted = false;   // the message was RTM_DELNEIGH
};

// Parses one netlink message (its header included) that reports an IPv4
// neighbour entry (RTM_NEWNEIGH or RTM_DELNEIGH); nullopt for any other
// message and for one whose lengths do not fit the bytes given.
std::optional<NeighbourEntry> ParseNeighbourMessage(const uint8_t* data, size_t size);

// The entry's MAC address when the entry is complete (reachable, stale,
// delayed, being probed or permanent, with a 6-byte address); nullopt while it
// is incomplete or failed, and for entries without ARP (the kernel fills those
// with the adapter's own address).
std::optional<std::string> CompleteMac(const NeighbourEntry& entry);
