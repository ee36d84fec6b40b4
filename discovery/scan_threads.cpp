#include "discovery/scan_threads.h"

#include "discovery/adapters.h"
#include "discovery/announcement.h"
#include "discovery/discovery_log.h"
#include "discovery/udp_socket.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// CAutoResetEvent

void CAutoResetEvent::Set() {
    std::vector<std::shared_ptr<Watcher>> toWake;
    {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
        toWake = watchers;
    }
    cv.notify_one();
    // Taking the watcher's mutex orders this wake-up after the watcher's last
    // look at the events, so it cannot be lost.
    for (const auto& w : toWake) {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->cv.notify_all();
    }
}

bool CAutoResetEvent::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    if (timeoutMs < 0) {
        cv.wait(lock, [this] { return signalled; });
    } else if (!cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled; })) {
        return false;
    }
    signalled = false;
    return true;
}

bool CAutoResetEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(mutex);
    return signalled;
}

bool CAutoResetEvent::TryConsume() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!signalled) return false;
    signalled = false;
    return true;
}

void CAutoResetEvent::AddWatcher(const std::shared_ptr<Watcher>& w) {
    std::lock_guard<std::mutex> lock(mutex);
    watchers.push_back(w);
}

void CAutoResetEvent::RemoveWatcher(const std::shared_ptr<Watcher>& w) {
    std::lock_guard<std::mutex> lock(mutex);
    watchers.erase(std::remove(watchers.begin(), watchers.end(), w), watchers.end());
}

int CAutoResetEvent::WaitAny(std::initializer_list<CAutoResetEvent*> events, int timeoutMs) {
    auto w = std::make_shared<Watcher>();
    for (CAutoResetEvent* e : events) e->AddWatcher(w);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int result = -1;
    {
        std::unique_lock<std::mutex> lock(w->mutex);
        for (;;) {
            int i = 0;
            for (CAutoResetEvent* e : events) {
                if (e->TryConsume()) {
                    result = i;
                    break;
                }
                ++i;
            }
            if (result >= 0) break;
            if (timeoutMs < 0) {
                w->cv.wait(lock);
            } else if (w->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                // One last look: a set may have come with the time-out.
                int k = 0;
                for (CAutoResetEvent* e : events) {
                    if (e->TryConsume()) {
                        result = k;
                        break;
                    }
                    ++k;
                }
                break;
            }
        }
    }
    for (CAutoResetEvent* e : events) e->RemoveWatcher(w);
    return result;
}

// ---------------------------------------------------------------------------
// CStatusText

void CStatusText::Set(const std::string& t) {
    std::lock_guard<std::mutex> lock(mutex);
    text = t;
}

std::string CStatusText::Get() const {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
}

// ---------------------------------------------------------------------------
// CDiscoveryThreads

namespace {

constexpr int kListenerWakeMs = 750;
constexpr size_t kMaxListenerAdapters = 10;
// How long a scan cycle waits for the listeners to follow the adapter table
// before its queries go out; a listener that is slower only misses answers.
constexpr auto kListenerSyncWait = std::chrono::milliseconds(1000);
// Between scan cycles the mDNS listener still looks at the table this often.
constexpr auto kListenerResyncEvery = std::chrono::milliseconds(3000);
// The announcement listener reads the table again after this long.
constexpr auto kAnnouncementTableAge = std::chrono::milliseconds(1000);

void SignalFd(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

void DrainFd(int fd) {
    if (fd < 0) return;
    uint64_t value = 0;
    (void)!::read(fd, &value, sizeof value);
}

// The mDNS listener on the network. A socket bound to a unicast address
// receives no multicast on Linux: each binds the port on any address, tied
// to its adapter's device, and joins the group on the adapter.
class CMdnsGroupSockets : public IMdnsListenSockets {
public:
    CMdnsGroupSockets(std::string groupText, uint32_t group, uint16_t port)
        : groupText(std::move(groupText)), group(group), port(port) {}

    bool Open(const AdapterInfo& a, uint32_t address, CUdpSocket& s) override {
        if (!s.Open()) {
            LogDiscoveryError(std::string("mDNS listener: cannot open a socket: ") + std::strerror(s.LastError()));
            return false;
        }
        s.SetReuseAddress(true);
        if (!a.device.empty() && !s.BindToDevice(a.device))
            LogDiscoveryError("mDNS listener: cannot tie the socket to " + a.device + ": " +
                              std::strerror(s.LastError()));
        s.SetMulticastAll(false);
        if (!s.Bind(INADDR_ANY, port)) {
            LogDiscoveryError("mDNS listener: cannot bind port " + std::to_string(port) + " for " + a.address + ": " +
                              std::strerror(s.LastError()));
            return false;
        }
        if (!s.JoinGroup(group, address, a.index))
            LogDiscoveryError("mDNS listener: cannot join " + groupText + " on " + a.address + ": " +
                              std::strerror(s.LastError()));
        return true;
    }

private:
    std::string groupText;
    uint32_t group;
    uint16_t port;
};

}  // namespace

CDiscoveryThreads::CDiscoveryThreads(CDeviceList& d, CStatusText& s) : devices(d), statusText(s) {
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

void CDiscoveryThreads::BonjourListenerThread() {
    CAdapterTableSource source(adapterSource);
    struct Listener {
        CUdpSocket socket;
        uint32_t adapterIndex = 0;
        uint32_t adapterAddress = 0;
        std::string device;
    };
    std::vector<Listener> listeners;
    std::shared_ptr<IMdnsListenSockets> sockets = listenSockets;
    if (!sockets) {
        uint32_t group = 0;
        if (!ParseIPv4(endpoints.mdnsGroup, group)) {
            LogDiscoveryError("mDNS listener: no group address " + endpoints.mdnsGroup);
            ListenerSynced(UINT64_MAX);  // no cycle waits for a listener that is not there
            return;
        }
        sockets = std::make_shared<CMdnsGroupSockets>(endpoints.mdnsGroup, group, endpoints.mdnsPort);
    }

    // One socket per adapter of the first ten that has an address; sockets of
    // adapters that stay as they were are kept, those of vanished or
    // re-addressed adapters are closed.
    auto open = [&](const AdapterInfo& a, uint32_t address, Listener& l) {
        if (!sockets->Open(a, address, l.socket)) return false;
        l.adapterIndex = a.index;
        l.adapterAddress = address;
        l.device = a.device;
        return true;
    };
    auto follow = [&] {
        auto table = ReadAdapterTable();
        if (!table) return;  // unreadable now: keep listening where we are
        std::vector<Listener> next;
        for (size_t i = 0; i < table->size() && i < kMaxListenerAdapters; ++i) {
            const AdapterInfo& a = (*table)[i];
            uint32_t address = 0;
            // Answers on an adapter without address never count: no socket for it.
            if (!ParseIPv4(a.address, address) || address == 0) continue;
            auto same = std::find_if(listeners.begin(), listeners.end(), [&](const Listener& l) {
                return l.socket.IsOpen() && l.adapterIndex == a.index && l.adapterAddress == address &&
                       l.device == a.device;
            });
            if (same != listeners.end()) {
                next.push_back(std::move(*same));
                continue;
            }
            Listener l;
            if (open(a, address, l)) next.push_back(std::move(l));
        }
        for (Listener& gone : listeners)
            if (gone.socket.IsOpen()) gone.socket.LeaveGroup();
        listeners = std::move(next);
    };
    auto requested = [this] {
        std::lock_guard<std::mutex> l(syncMutex);
        return syncRequested;
    };

    uint64_t generation = requested();
    follow();
    ListenerSynced(generation);
    auto lastFollow = std::chrono::steady_clock::now();

    std::vector<uint8_t> buf(kMdnsMaxDatagram);
    size_t next = 0;  // where the next look for a readable socket starts, so that no adapter starves
    while (listenersRunning) {
        std::vector<int> fds;
        for (const Listener& l : listeners) fds.push_back(l.socket.Handle());
        const size_t sockets = fds.size();
        fds.push_back(syncFd);
        fds.push_back(wakeFd);
        int i = WaitAnyReadable(fds, kListenerWakeMs, sockets ? next % sockets : 0);
        if (i == -2 || (i >= 0 && static_cast<size_t>(i) == sockets)) {
            // Time to look at the table: asked by a scan cycle, or a while since the last look.
            const bool asked = i >= 0;
            if (asked) DrainFd(syncFd);
            if (asked || std::chrono::steady_clock::now() - lastFollow >= kListenerResyncEvery) {
                generation = requested();
                follow();
                ListenerSynced(generation);
                lastFollow = std::chrono::steady_clock::now();
            }
            continue;
        }
        if (i < 0) break;
        if (static_cast<size_t>(i) > sockets) continue;  // woken by Stop
        next = static_cast<size_t>(i) + 1;
        Listener& l = listeners[static_cast<size_t>(i)];
        CUdpSocket::Received from;
        ssize_t n = l.socket.Receive(buf.data(), buf.size(), from);
        if (n < 0 || from.truncated) continue;  // a receive error or an over-long datagram: that one only
        BonjourResponse response;
        if (!ParseBonjourResponse(buf.data(), static_cast<size_t>(n), from.fromAddress, from.fromPort, response))
            continue;
        response.adapterIndex = l.adapterIndex;
        if (!listenersRunning) break;
        CAdapterTableSnapshot adapters;
        MergeBonjour({response});
    }
    for (Listener& l : listeners) l.socket.LeaveGroup();
    ListenerSynced(UINT64_MAX);
}

void CDiscoveryThreads::AnnouncementListenerThread() {
    CAdapterTableSource source(adapterSource);
    uint32_t bindAddress = 0;
    if (!ParseIPv4(endpoints.announcementBindAddress, bindAddress)) {
        LogDiscoveryError("announcement listener: no address " + endpoints.announcementBindAddress);
        AnnouncementListenerReady();
        return;
    }
    CUdpSocket s;
    if (!s.Open()) {
        LogDiscoveryError(std::string("announcement listener: cannot open a socket: ") + std::strerror(s.LastError()));
        AnnouncementListenerReady();
        return;
    }
    s.SetReuseAddress(true);
    if (!s.Bind(bindAddress, endpoints.announcementPort)) {
        LogDiscoveryError("announcement listener: cannot bind UDP port " + std::to_string(endpoints.announcementPort) +
                          ": " + std::strerror(s.LastError()) +
                          (endpoints.announcementPort < 1024 ? " (a port below 1024 needs root or cap_net_bind_service)"
                                                             : ""));
        AnnouncementListenerReady();
        return;
    }
    AnnouncementListenerReady();

    // Announced cameras go to the first adapter of the table as it is when
    // they arrive (read again at most once a second); with no adapter there is
    // nothing to attribute them to.
    std::optional<AdapterTable> table;
    auto tableRead = std::chrono::steady_clock::time_point{};
    std::vector<int> fds{s.Handle()};
    if (wakeFd >= 0) fds.push_back(wakeFd);
    while (listenersRunning) {
        int r = WaitAnyReadable(fds, kListenerWakeMs);
        if (r == -2) continue;
        if (r < 0) break;
        if (r != 0) continue;  // woken by Stop
        uint8_t buf[kAnnouncementMaxDatagram];
        CUdpSocket::Received from;
        ssize_t n = s.Receive(buf, sizeof buf, from);
        if (n < 0 || from.truncated || !listenersRunning) continue;
        const auto now = std::chrono::steady_clock::now();
        if (now - tableRead >= kAnnouncementTableAge) {
            table = ReadAdapterTable();
            tableRead = now;
        }
        if (!table || table->empty()) continue;
        CAdapterTableSnapshot adapters(table);
        HandleAnnouncement(table->front().index, AnnouncementText(buf, static_cast<size_t>(n)));
    }
}

void CDiscoveryThreads::HandleAnnouncement(uint32_t adapterIndex, const std::string& text) {
    DeviceInfo info;
    // Announcements name no source adapter: the MAC address is resolved on
    // the adapter the route to the camera leaves through.
    auto known = [this](const std::string& a, std::string& mac) { return macResolver->Known(0, a, mac); };
    // The datagram's text ends at its first NUL.
    if (!MakeAnnouncementDeviceInfo(adapterIndex, std::string_view(text.c_str()), known, info)) return;
    devices.AddOrUpdateDevice(info);
    if (!info.macKnown && !info.hostName.empty()) macResolver->Request(0, adapterIndex, info.ipAddress);
}
