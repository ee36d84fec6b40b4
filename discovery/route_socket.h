// The conversation with the kernel's routing tables over rtnetlink that
// neighbour resolution needs: a neighbour entry read and solicited, the route
// to an address, an adapter's flags, and the neighbour notifications that
// come meanwhile. Every exchange is bounded by a deadline and ends at once
// when the cancel descriptor becomes readable.
#pragma once

#include "discovery/neighbour.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

struct nlmsghdr;

// What the kernel's route to an address says.
struct RouteAnswer {
    uint8_t type = 0;          // RTN_* (RTN_UNSPEC: none)
    uint32_t outputIndex = 0;  // the adapter it leaves through
    bool onLink = true;        // no gateway between us and the address
};

// A route netlink socket that also receives the kernel's neighbour
// notifications, so that no change of an entry is missed between reading it
// and waiting for it.
class CRouteSocket {
public:
    using Clock = std::chrono::steady_clock;

    CRouteSocket() = default;
    ~CRouteSocket();
    CRouteSocket(const CRouteSocket&) = delete;
    CRouteSocket& operator=(const CRouteSocket&) = delete;

    bool Open();
    bool IsOpen() const { return fd >= 0; }
    // Where neighbour notifications go that arrive while a request waits for its answer.
    std::function<void(const NeighbourEntry&)> onNotification;
    // Readable descriptor that ends every wait at once (-1: none).
    void SetCancel(int f) { cancelFd = f; }
    // True once since the kernel dropped notifications on a full buffer.
    bool TakeLost();

    // The entry (adapter, host-order address) as it stands: true with
    // `entry` unset when there is none.
    bool ReadEntry(uint32_t index, uint32_t address, Clock::time_point deadline, std::optional<NeighbourEntry>& entry);
    // Asks the kernel to resolve the address as if traffic were waiting for it.
    bool Solicit(uint32_t index, uint32_t address, Clock::time_point deadline);
    // The route to `address` (out of `outputIndex` when not 0).
    bool Route(uint32_t address, uint32_t outputIndex, Clock::time_point deadline, RouteAnswer& answer);
    // The adapter's flags (IFF_*); false when there is no such adapter.
    bool LinkFlags(uint32_t index, Clock::time_point deadline, unsigned& flags);
    // Reads notifications until the deadline or until `handle` says done;
    // false on time-out.
    bool Watch(Clock::time_point deadline, const std::function<bool(const NeighbourEntry&)>& handle);

private:
    using MessageFn = std::function<void(const nlmsghdr*)>;
    int Exchange(nlmsghdr* request, Clock::time_point deadline, const MessageFn& onMessage);
    int Pump(Clock::time_point deadline, const std::function<bool(const nlmsghdr*)>& handle);

    int fd = -1;
    int cancelFd = -1;
    bool lost = false;
    uint32_t portId = 0;
    uint32_t sequence = 0;
};
