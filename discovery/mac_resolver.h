// MAC addresses of listed cameras, resolved off the discovery threads. A
// source merges its camera without waiting for the MAC address and asks the
// resolver for it; the resolver's own thread keeps a bounded number of
// look-ups in flight at once in the neighbour table (each ends when its entry
// completes or fails, or after a timeout), and a MAC address that resolves
// later is handed to a fill callback (the list writes it into the row under
// its device lock). Results are remembered for a while, so that repeated
// answers of one camera cost no look-up and a row created again after a
// refresh gets its MAC address at once.
#pragma once

#include "discovery/neighbour.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

struct MacResolverLimits {
    size_t maxInFlight = 256;                     // look-ups under way at once
    size_t maxQueued = 4096;                      // waiting look-ups; further requests are dropped
    std::chrono::milliseconds timeout{3500};      // per look-up: the kernel gives up after ~3 s of probes
    std::chrono::milliseconds rememberFound{10000};
    std::chrono::milliseconds retryAfter{10000};  // an address that did not resolve is not asked again before
    size_t maxRemembered = 8192;
};

class CMacResolver {
public:
    // Called on the resolver's thread, or on the requesting thread for a
    // remembered address: the row of (`rowAdapter`, `address`) has MAC `mac`.
    using FillFn = std::function<void(uint32_t rowAdapter, const std::string& address, const std::string& mac)>;

    // No source: the kernel's neighbour table.
    CMacResolver(std::shared_ptr<INeighbourSource> source, FillFn fill, MacResolverLimits limits = {});
    ~CMacResolver();  // Stop()
    CMacResolver(const CMacResolver&) = delete;
    CMacResolver& operator=(const CMacResolver&) = delete;

    void Start();
    // Ends the look-ups under way, drops the waiting ones and joins the
    // resolver's thread; no fill is made after it returns.
    void Stop();

    // The remembered MAC address, without waiting. False when none is known.
    bool Known(uint32_t resolveAdapter, const std::string& address, std::string& mac) const;

    // Asks for the MAC address of `address`, resolved on `resolveAdapter` (0:
    // the route's adapter), for the row of (`rowAdapter`, `address`). Never
    // blocks: a remembered address is filled at once, one already asked for
    // gains the row, others wait their turn. Addresses that are not unicast
    // IPv4 are ignored.
    void Request(uint32_t resolveAdapter, uint32_t rowAdapter, const std::string& address);

    // Waits until no look-up waits or runs, or until `deadline`; true when
    // nothing is left to wait for. Look-ups that have run for `patience`
    // already are not waited for: an address on the wire resolves within
    // milliseconds, one that has not by then most likely never will.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline,
                  std::chrono::milliseconds patience = std::chrono::milliseconds::max()) const;

    // Counters for tests and diagnostics.
    size_t Dropped() const;     // requests refused because the queue was full
    size_t Completed() const;   // look-ups that ended, resolved or not

private:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<uint32_t, std::string>;  // resolve adapter, address
    struct Result {
        std::optional<std::string> mac;
        Clock::time_point when;
    };
    struct Flight {
        Clock::time_point started;
        Clock::time_point deadline;
    };
    void Run();
    void Finish(const Key& key, const std::optional<std::string>& mac);  // on the resolver's thread
    void Forget(Clock::time_point now);  // with `mutex` held
    void Wake() const;

    std::shared_ptr<INeighbourSource> source;
    FillFn fill;
    MacResolverLimits limits;
    int wakeFd = -1;  // readable when there is work or Stop has begun

    mutable std::mutex mutex;
    mutable std::condition_variable idleCv;  // a look-up ended
    bool running = false;
    std::deque<Key> queue;
    std::map<Key, std::set<uint32_t>> rows;  // waiting or running look-ups and the rows they fill
    std::map<Key, Flight> inFlight;
    std::map<Key, Result> remembered;
    size_t dropped = 0;
    size_t completed = 0;
    std::mutex fillMutex;  // held while filling; Stop takes it so that no fill outlives it
    bool filling = true;
    std::thread thread;
};
