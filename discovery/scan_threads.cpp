#include "discovery/scan_threads.h"

#include "discovery/adapters.h"

#include <chrono>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// How long a scan cycle waits for the listeners to follow the adapter table
// before its queries go out; a listener that is slower only misses answers.
constexpr auto kListenerSyncWait = std::chrono::milliseconds(1000);

void SignalFd(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

}  // namespace

CDiscoveryThreads::CDiscoveryThreads(CDeviceList& d, CStatusText& s)
    : devices(d), statusText(s), adapterSource(CAdapterTableSource::Current()) {
    SetNeighbourSource(KernelNeighbourSource());
    // Stop clears listenersRunning: a collection window in progress then ends
    // within a tenth of a second instead of running out its second per adapter.
    bonjourScanner.stopRequested = [this] { return !listenersRunning.load(); };
    gevScanner.stopRequested = [this] { return !listenersRunning.load(); };
}

CDiscoveryThreads::~CDiscoveryThreads() { Stop(); }

void CDiscoveryThreads::SetEndpoints(const DiscoveryEndpoints& e) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (!started) endpoints = e;
}

void CDiscoveryThreads::SetScanners(std::shared_ptr<IBonjourScanner> b, std::shared_ptr<IGEVScanner> g) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (started) return;
    bonjour = std::move(b);
    gev = std::move(g);
}

void CDiscoveryThreads::SetListenSockets(std::shared_ptr<IMdnsListenSockets> sockets) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (!started) listenSockets = std::move(sockets);
}

void CDiscoveryThreads::SetAdapterTableSource(AdapterTableProvider source) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (!started) adapterSource = std::move(source);
}

void CDiscoveryThreads::SetNeighbourSource(std::shared_ptr<INeighbourSource> source, MacResolverLimits limits) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (started) return;
    // A MAC address resolved after the merge fills its row under the device lock.
    macResolver = std::make_unique<CMacResolver>(
        std::move(source),
        [this](uint32_t adapterIndex, const std::string& address, const std::string& mac) {
            devices.FillMacAddress(adapterIndex, address, mac);
        },
        limits);
}

void CDiscoveryThreads::SetConcurrentCycle(bool on) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (!started) concurrentCycle = on;
}

void CDiscoveryThreads::Start() {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (started) return;
    started = true;
    cyclesCompleted = 0;
    {
        std::lock_guard<std::mutex> l(syncMutex);
        syncRequested = syncDone = 0;
        announcementReady = false;
    }
    bonjourScanner.SetDestination(endpoints.mdnsGroup, endpoints.mdnsPort);
    bonjourScanner.SetConcurrentAdapters(concurrentCycle);
    gevScanner.SetConcurrentAdapters(concurrentCycle);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    syncFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    macResolver->Start();
    listenersRunning = true;
    bonjourThread = std::thread(&CDiscoveryThreads::BonjourListenerThread, this);
    announcementThread = std::thread(&CDiscoveryThreads::AnnouncementListenerThread, this);
    scanThread = std::thread(&CDiscoveryThreads::ScanThread, this);
    scanEvent.Set();
}

void CDiscoveryThreads::Stop() {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (!started) return;
    quitEvent.Set();
    listenersRunning = false;
    SignalFd(wakeFd);
    syncCv.notify_all();
    // A cycle in progress may outlast any fixed wait: join, so that no thread
    // touches the list once its owner goes on.
    if (bonjourThread.joinable()) bonjourThread.join();
    if (announcementThread.joinable()) announcementThread.join();
    if (scanThread.joinable()) scanThread.join();
    macResolver->Stop();  // look-ups in progress end at once; no fill after this
    scanning = false;
    for (int* fd : {&wakeFd, &syncFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    started = false;
}

void CDiscoveryThreads::SignalScan() { scanEvent.Set(); }
bool CDiscoveryThreads::IsScanning() const { return scanning; }
bool CDiscoveryThreads::ListenersRunning() const { return listenersRunning; }
unsigned CDiscoveryThreads::CyclesCompleted() const { return cyclesCompleted; }

bool CDiscoveryThreads::WaitForMacLookups(std::chrono::steady_clock::time_point deadline,
                                          std::chrono::milliseconds patience) const {
    return macResolver->WaitIdle(deadline, patience);
}

void CDiscoveryThreads::ScanThread() {
    CAdapterTableSource source(adapterSource);
    for (;;) {
        int which = CAutoResetEvent::WaitAny({&scanEvent, &quitEvent});
        if (which == 1) return;
        if (which == 0) RunScanCycle();
    }
}

void CDiscoveryThreads::SyncListeners() {
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> l(syncMutex);
        generation = ++syncRequested;
    }
    SignalFd(syncFd);
    std::unique_lock<std::mutex> l(syncMutex);
    syncCv.wait_for(l, kListenerSyncWait, [&] {
        return (syncDone >= generation && announcementReady) || !listenersRunning;
    });
}

void CDiscoveryThreads::ListenerSynced(uint64_t generation) {
    {
        std::lock_guard<std::mutex> l(syncMutex);
        if (generation > syncDone) syncDone = generation;
    }
    syncCv.notify_all();
}

void CDiscoveryThreads::AnnouncementListenerReady() {
    {
        std::lock_guard<std::mutex> l(syncMutex);
        announcementReady = true;
    }
    syncCv.notify_all();
}

void CDiscoveryThreads::MergeBonjour(const std::vector<BonjourResponse>& responses) {
    CAdapterTableSnapshot adapters;  // one reading for the batch, unless the caller holds one
    for (const BonjourResponse& response : responses) {
        const uint32_t adapter = response.adapterIndex;
        // A MAC address known from an earlier look-up goes straight into the
        // record; any other is asked for after the merge and fills the row later.
        DeviceInfo info = MakeBonjourDeviceInfo(response, [&](const std::string& a, const std::string&, std::string& mac) {
            return macResolver->Known(adapter, a, mac);
        });
        devices.AddOrUpdateDevice(info);
        if (!info.macKnown && !info.hostName.empty()) macResolver->Request(adapter, adapter, info.ipAddress);
    }
}

void CDiscoveryThreads::RunScanCycle() {
    // Stop clears listenersRunning: a cycle then ends at its next step
    // instead of scanning for an owner that is going away.
    auto stopping = [this] { return !listenersRunning.load(); };
    if (stopping()) return;
    scanning = true;
    statusText.Set("Scan started...");

    // The adapters as they are now, for every step of this cycle; the
    // listeners follow the same table before any query goes out, so that no
    // answer comes before they have joined the group.
    const std::optional<AdapterTable> table = ReadAdapterTable();
    CAdapterTableSnapshot adapters(table);
    SyncListeners();

    IBonjourScanner& mdns = bonjour ? *bonjour : bonjourScanner;
    IGEVScanner& gigE = gev ? *gev : gevScanner;
    auto collect = [&](std::vector<BonjourResponse>& responses) {
        return mdns.QueryAndCollect(endpoints.bonjourWindowSeconds, responses, kCameraServiceType);
    };
    auto multicastQuery = [&] { mdns.MulticastQuery(kCameraServiceType); };
    auto gevScan = [&](std::vector<GEVDiscoveryAnswer>& answers) { gigE.Scan(answers); };

    std::vector<GEVDiscoveryAnswer> answers;
    if (concurrentCycle) {
        // All sources at once: the GigE Vision window runs beside the mDNS
        // one, and the multicast query goes out first so that its answers come
        // within the same window.
        std::thread gevThread([&] {
            CAdapterTableSnapshot same(table);
            gevScan(answers);
        });
        multicastQuery();
        std::vector<BonjourResponse> responses;
        if (collect(responses) && !responses.empty() && !stopping()) MergeBonjour(responses);
        gevThread.join();
    } else {
        std::vector<BonjourResponse> responses;
        if (collect(responses) && !responses.empty() && !stopping()) MergeBonjour(responses);
        if (!stopping()) multicastQuery();
        if (!stopping()) gevScan(answers);
    }
    if (stopping()) {
        scanning = false;
        return;
    }
    statusText.Set("Scan completed");
    AddGEVDevices(devices, answers);
    scanning = false;
    ++cyclesCompleted;
}
