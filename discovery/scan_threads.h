// The discovery threads of the camera list: the scan cycle (mDNS query and
// collect, multicast query, GigE Vision discovery; scan_threads.cpp), the mDNS
// listener and the announcement listener (listener_threads.cpp), with the
// events and flags they share with the view (thread_events.h).
#pragma once

#include "discovery/device_list.h"

#include "discovery/adapters.h"
#include "discovery/bonjour_scanner.h"
#include "discovery/gev_scanner.h"
#include "discovery/mac_resolver.h"
#include "discovery/thread_events.h"
#include "discovery/udp_socket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Where the threads send and listen: the mDNS group (where queries go and
// the group the listener joins) and port, the announcement listener's
// address and port, and the mDNS collection window. The defaults are the
// real ones; tests point them at loopback addresses and ports of their own.
struct DiscoveryEndpoints {
    std::string mdnsGroup = kMdnsGroup;
    uint16_t mdnsPort = kMdnsPort;
    std::string announcementBindAddress = "0.0.0.0";
    uint16_t announcementPort = 1005;
    int bonjourWindowSeconds = 1;
};

// How the mDNS listener opens its socket on one adapter. On the network
// (the default) it binds the mDNS port on the adapter's device and joins the
// group there; tests on loopback bind the adapter's own address instead.
class IMdnsListenSockets {
public:
    virtual ~IMdnsListenSockets() = default;
    // Opens `socket` to receive mDNS answers on `adapter`, whose first
    // address is `address` (host order). False when it cannot; the reason
    // is logged.
    virtual bool Open(const AdapterInfo& adapter, uint32_t address, CUdpSocket& socket) = 0;
};

class CDiscoveryThreads {
public:
    CDiscoveryThreads(CDeviceList& devices, CStatusText& statusText);
    ~CDiscoveryThreads();  // Stop()

    // listenersRunning := 1; start BonjourListenerThread, AnnouncementListenerThread
    // and ScanThread in this order; then set scanEvent (first cycle).
    void Start();
    // quitEvent, listenersRunning := 0, then waits for the threads (they never
    // touch the list after Stop returns).
    void Stop();

    void SignalScan();                 // scanEvent.Set()
    bool IsScanning() const;           // the scanning flag
    bool ListenersRunning() const;
    // Scan cycles run to their end since Start (a cycle cut short by Stop
    // does not count).
    unsigned CyclesCompleted() const;

    // Before Start only.
    void SetEndpoints(const DiscoveryEndpoints& endpoints);
    // The scanners of the scan cycle. By default CBonjourScanner and
    // CGEVScanner on the network, pointed at the endpoints and ended early by
    // Stop; null keeps the default.
    void SetScanners(std::shared_ptr<IBonjourScanner> bonjour, std::shared_ptr<IGEVScanner> gev);
    // How the mDNS listener opens its sockets (null: on the network, joined
    // to the endpoints' group).
    void SetListenSockets(std::shared_ptr<IMdnsListenSockets> sockets);
    // Where the threads read the adapter table (null: the system's table):
    // installed as their source (CAdapterTableSource). By default the source
    // of the thread that constructed them. Each scan cycle reads it once, and
    // the listeners follow it.
    void SetAdapterTableSource(AdapterTableProvider source);
    // Where MAC addresses come from (default: the kernel's neighbour table),
    // and the bounds of their look-ups.
    void SetNeighbourSource(std::shared_ptr<INeighbourSource> source, MacResolverLimits limits = {});
    // The command-line scan: every source and every adapter at once, one
    // collection window in all, the GigE Vision answers merged when it closes.
    // The window program keeps the sources one after another, adapter by
    // adapter.
    void SetConcurrentCycle(bool on);

    // Waits until no MAC look-up waits or runs (look-ups older than
    // `patience` aside), or until `deadline`; true when none is left to wait
    // for. A command-line scan lets late MAC addresses arrive before it prints.
    bool WaitForMacLookups(std::chrono::steady_clock::time_point deadline,
                           std::chrono::milliseconds patience = std::chrono::milliseconds::max()) const;

    // The announcement merge (also used by tests with texts of their own).
    void HandleAnnouncement(uint32_t adapterIndex, const std::string& text);

private:
    void ScanThread();
    void BonjourListenerThread();
    void AnnouncementListenerThread();
    void RunScanCycle();
    // mDNS responses into the list; the MAC addresses they lack are asked for.
    void MergeBonjour(const std::vector<BonjourResponse>& responses);
    // Asks the mDNS listener to follow the adapter table now and waits until
    // it has joined the group on every adapter (and the announcement listener
    // is bound); bounded, and cut short by Stop.
    void SyncListeners();
    void ListenerSynced(uint64_t generation);
    void AnnouncementListenerReady();

    CDeviceList& devices;
    CStatusText& statusText;
    CAutoResetEvent scanEvent;
    CAutoResetEvent quitEvent;
    std::atomic<bool> listenersRunning{false};
    std::atomic<bool> scanning{false};
    std::atomic<unsigned> cyclesCompleted{0};
    std::thread scanThread, bonjourThread, announcementThread;
    std::mutex startStopLock;
    bool started = false;
    int wakeFd = -1;  // readable once Stop begins: listeners need not sit out their 750 ms wait
    int syncFd = -1;  // readable when the scan thread wants the mDNS listener to follow the table
    DiscoveryEndpoints endpoints;
    AdapterTableProvider adapterSource;
    bool concurrentCycle = false;
    CBonjourScanner bonjourScanner;
    CGEVScanner gevScanner;
    std::shared_ptr<IBonjourScanner> bonjour;  // what the cycle uses: bonjourScanner unless replaced
    std::shared_ptr<IGEVScanner> gev;          // likewise gevScanner
    std::shared_ptr<IMdnsListenSockets> listenSockets;
    std::unique_ptr<CMacResolver> macResolver;

    std::mutex syncMutex;
    std::condition_variable syncCv;
    uint64_t syncRequested = 0;  // generations asked for by the scan thread
    uint64_t syncDone = 0;       // generation the mDNS listener has followed
    bool announcementReady = false;
};
