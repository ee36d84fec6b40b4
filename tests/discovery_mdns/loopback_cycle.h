// The discovery threads on loopback: stand-in scanners that touch nothing
// unless a test gives them work, mDNS listener sockets bound to each
// adapter's own (loopback) address instead of a multicast group, and the
// loopback adapter table. Everything else of the threads is the real code.
#pragma once

#include "discovery/scan_threads.h"
#include "mdns_test_util.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mdnstest {

// The mDNS side of a cycle: each step does what the test gives it, nothing
// otherwise.
class StandInBonjour : public IBonjourScanner {
public:
    std::function<bool(std::vector<BonjourResponse>&)> queryAndCollect;
    std::function<void()> multicastQuery;

    bool QueryAndCollect(int, std::vector<BonjourResponse>& responses, const std::string&) override {
        responses.clear();
        return queryAndCollect ? queryAndCollect(responses) : true;
    }
    bool MulticastQuery(const std::string&) override {
        if (multicastQuery) multicastQuery();
        return true;
    }
};

// The GigE Vision side: no answers unless the test gives some.
class StandInGEV : public IGEVScanner {
public:
    std::function<void(std::vector<GEVDiscoveryAnswer>&)> scan;

    bool Scan(std::vector<GEVDiscoveryAnswer>& answers) override {
        answers.clear();
        if (scan) scan(answers);
        return true;
    }
};

// The listener's socket on an adapter: its own address and the mDNS port of
// the endpoints, so that answers sent there by unicast reach it.
class LoopbackListenSockets : public IMdnsListenSockets {
public:
    explicit LoopbackListenSockets(uint16_t port) : port(port) {}
    bool Open(const AdapterInfo& adapter, uint32_t address, CUdpSocket& s) override {
        if (!s.Open() || !s.SetReuseAddress(true)) return false;
        if (!adapter.device.empty()) s.BindToDevice(adapter.device);
        return s.Bind(address, port);
    }

private:
    uint16_t port;
};

// Endpoints on loopback ports of their own; queries go to `queries`.
inline DiscoveryEndpoints LoopbackEndpoints(const std::string& queries = "127.0.0.3") {
    DiscoveryEndpoints e;
    e.mdnsGroup = queries;
    e.mdnsPort = FreeLoopbackPort();
    e.announcementBindAddress = "127.0.0.1";
    e.announcementPort = FreeLoopbackPort();
    return e;
}

inline AdapterTableProvider LoopbackTableSource() {
    return [] { return std::optional<AdapterTable>(LoopbackTable()); };
}

// Points the threads at `e`, their listener at loopback sockets and their
// adapter table at the loopback device. Before Start.
inline void UseLoopback(CDiscoveryThreads& threads, const DiscoveryEndpoints& e) {
    threads.SetEndpoints(e);
    threads.SetListenSockets(std::make_shared<LoopbackListenSockets>(e.mdnsPort));
    threads.SetAdapterTableSource(LoopbackTableSource());
}

// Stand-ins for both scanners (returned, for the test to give them work).
struct StandIns {
    std::shared_ptr<StandInBonjour> mdns = std::make_shared<StandInBonjour>();
    std::shared_ptr<StandInGEV> gev = std::make_shared<StandInGEV>();
    void InstallOn(CDiscoveryThreads& threads) const { threads.SetScanners(mdns, gev); }
};

}  // namespace mdnstest
