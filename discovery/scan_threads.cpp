#include "discovery/scan_threads.h"

#include "discovery/adapters.h"
#include "discovery/announcement.h"
#include "discovery/bonjour_socket.h"

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

}  // namespace

CDiscoveryThreads::CDiscoveryThreads(CDeviceList& d, CStatusText& s) : devices(d), statusText(s) {
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

void CDiscoveryThreads::SetScanCycleSteps(const ScanCycleSteps& s) {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (!started) steps = s;
}

void CDiscoveryThreads::Start() {
    std::lock_guard<std::mutex> lock(startStopLock);
    if (started) return;
    started = true;
    cyclesCompleted = 0;
    bonjourScanner.SetDestination(endpoints.mdnsGroup, endpoints.mdnsPort);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
    if (wakeFd >= 0) {
        uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }
    // A cycle in progress may outlast any fixed wait: join, so that no thread
    // touches the list once its owner goes on.
    if (bonjourThread.joinable()) bonjourThread.join();
    if (announcementThread.joinable()) announcementThread.join();
    if (scanThread.joinable()) scanThread.join();
    scanning = false;
    if (wakeFd >= 0) ::close(wakeFd);
    wakeFd = -1;
    started = false;
}

void CDiscoveryThreads::SignalScan() { scanEvent.Set(); }
bool CDiscoveryThreads::IsScanning() const { return scanning; }
bool CDiscoveryThreads::ListenersRunning() const { return listenersRunning; }
unsigned CDiscoveryThreads::CyclesCompleted() const { return cyclesCompleted; }

bool CDiscoveryThreads::LookupMac(const std::string& address, const std::string& source, std::string& mac) {
    if (steps.macLookup) return steps.macLookup(address, source, mac);
    return LookupMacAddress(address, source, mac);
}

void CDiscoveryThreads::ScanThread() {
    for (;;) {
        int which = CAutoResetEvent::WaitAny({&scanEvent, &quitEvent});
        if (which == 1) return;
        if (which == 0) RunScanCycle();
    }
}

void CDiscoveryThreads::RunScanCycle() {
    // Stop clears listenersRunning: a cycle then ends at its next step
    // instead of scanning for an owner that is going away.
    auto stopping = [this] { return !listenersRunning.load(); };
    if (stopping()) return;
    scanning = true;
    statusText.Set("Scan started...");

    auto lookup = [this](const std::string& a, const std::string& s, std::string& mac) { return LookupMac(a, s, mac); };

    std::vector<BonjourResponse> responses;
    bool collected = steps.queryAndCollect
                         ? steps.queryAndCollect(responses)
                         : bonjourScanner.QueryAndCollect(endpoints.bonjourWindowSeconds, responses, kCameraServiceType);
    if (collected && !responses.empty() && !stopping()) AddBonjourDevices(devices, responses, lookup);

    if (!stopping()) {
        if (steps.multicastQuery)
            steps.multicastQuery();
        else
            bonjourScanner.MulticastQuery(kCameraServiceType);
    }

    std::vector<GEVDiscoveryAnswer> answers;
    if (!stopping()) {
        if (steps.gevScan)
            steps.gevScan(answers);
        else
            gevScanner.Scan(answers);
    }
    if (stopping()) {
        scanning = false;
        return;
    }
    statusText.Set("Scan completed");
    if (steps.addGevDevices)
        steps.addGevDevices(answers);
    else
        AddGEVDevices(devices, answers);
    scanning = false;
    ++cyclesCompleted;
}

void CDiscoveryThreads::BonjourListenerThread() {
    auto table = ReadAdapterTable();
    if (!table) {
        LogDiscoveryError("mDNS listener: cannot read the adapter table");
        return;
    }
    uint32_t group = 0;
    if (!ParseIPv4(endpoints.mdnsGroup, group)) {
        LogDiscoveryError("mDNS listener: no group address " + endpoints.mdnsGroup);
        return;
    }
    const bool multicast = IN_MULTICAST(group);
    const uint16_t port = endpoints.mdnsPort;

    struct Listener {
        CDiscoverySocket socket;
        uint32_t adapterIndex;
        uint32_t adapterAddress;
    };
    std::vector<Listener> listeners;
    for (size_t i = 0; i < table->size() && i < kMaxListenerAdapters; ++i) {
        const AdapterInfo& a = (*table)[i];
        uint32_t address = 0;
        // Answers on an adapter without address never count: no socket for it.
        if (!ParseIPv4(a.address, address) || address == 0) continue;
        CDiscoverySocket s;
        if (!s.Open()) {
            LogDiscoveryError(std::string("mDNS listener: cannot open a socket: ") + std::strerror(s.LastError()));
            return;
        }
        s.SetReuseAddress();
        if (!a.device.empty() && !s.BindToDevice(a.device))
            LogDiscoveryError("mDNS listener: cannot tie the socket to " + a.device + ": " +
                              std::strerror(s.LastError()));
        if (multicast) {
            // A socket bound to a unicast address receives no multicast on
            // Linux: bind the port on any address, tied to the adapter's device
            // above, and join the group on the adapter.
            s.SetMulticastAll(false);
            if (!s.Bind(INADDR_ANY, port)) {
                LogDiscoveryError("mDNS listener: cannot bind port " + std::to_string(port) + " for " + a.address +
                                  ": " + std::strerror(s.LastError()));
                continue;
            }
            if (!s.JoinGroup(group, address, a.index))
                LogDiscoveryError("mDNS listener: cannot join " + endpoints.mdnsGroup + " on " + a.address + ": " +
                                  std::strerror(s.LastError()));
        } else if (!s.Bind(address, port)) {
            LogDiscoveryError("mDNS listener: cannot bind " + a.address + ":" + std::to_string(port) + ": " +
                              std::strerror(s.LastError()));
            continue;
        }
        listeners.push_back({std::move(s), a.index, address});
    }

    if (listeners.empty()) return;  // no socket: nothing to wait for
    std::vector<int> fds;
    for (const Listener& l : listeners) fds.push_back(l.socket.Handle());
    if (wakeFd >= 0) fds.push_back(wakeFd);
    auto lookup = [this](const std::string& a, const std::string& s, std::string& mac) { return LookupMac(a, s, mac); };

    size_t next = 0;  // where the next look for a readable socket starts, so that no adapter starves
    while (listenersRunning) {
        int i = WaitAnyReadable(fds, kListenerWakeMs, next);
        if (i == -2) continue;
        if (i < 0) break;
        if (static_cast<size_t>(i) >= listeners.size()) continue;  // woken by Stop
        next = static_cast<size_t>(i) + 1;
        Listener& l = listeners[static_cast<size_t>(i)];
        uint8_t buf[kMdnsMaxDatagram];
        uint32_t from = 0;
        uint16_t fromPort = 0;
        ssize_t n = l.socket.Receive(buf, sizeof buf, from, fromPort);
        if (n < 0) continue;
        BonjourResponse response;
        if (!ParseBonjourResponse(buf, static_cast<size_t>(n), from, fromPort, response)) continue;
        response.adapterIndex = l.adapterIndex;
        if (listenersRunning) AddBonjourDevices(devices, {response}, lookup);
    }
    for (Listener& l : listeners) l.socket.LeaveGroup();
}

void CDiscoveryThreads::AnnouncementListenerThread() {
    auto table = ReadAdapterTable();
    if (!table || table->empty()) return;  // no adapter: nothing to attribute announcements to
    const uint32_t adapterIndex = table->front().index;

    uint32_t bindAddress = 0;
    if (!ParseIPv4(endpoints.announcementBindAddress, bindAddress)) {
        LogDiscoveryError("announcement listener: no address " + endpoints.announcementBindAddress);
        return;
    }
    CDiscoverySocket s;
    if (!s.Open()) {
        LogDiscoveryError(std::string("announcement listener: cannot open a socket: ") + std::strerror(s.LastError()));
        return;
    }
    s.SetReuseAddress();
    if (!s.Bind(bindAddress, endpoints.announcementPort)) {
        LogDiscoveryError("announcement listener: cannot bind UDP port " + std::to_string(endpoints.announcementPort) +
                          ": " + std::strerror(s.LastError()) +
                          (endpoints.announcementPort < 1024 ? " (a port below 1024 needs root or cap_net_bind_service)"
                                                             : ""));
        return;
    }
    std::vector<int> fds{s.Handle()};
    if (wakeFd >= 0) fds.push_back(wakeFd);
    while (listenersRunning) {
        int r = WaitAnyReadable(fds, kListenerWakeMs);
        if (r == -2) continue;
        if (r < 0) break;
        if (r != 0) continue;  // woken by Stop
        uint8_t buf[kAnnouncementMaxDatagram];
        uint32_t from = 0;
        uint16_t fromPort = 0;
        ssize_t n = s.Receive(buf, sizeof buf, from, fromPort);
        if (n < 0) continue;
        if (listenersRunning) HandleAnnouncement(adapterIndex, AnnouncementText(buf, static_cast<size_t>(n)));
    }
}

void CDiscoveryThreads::HandleAnnouncement(uint32_t adapterIndex, const std::string& text) {
    DeviceInfo info;
    auto lookup = [this](const std::string& a, std::string& mac) { return LookupMac(a, std::string(), mac); };
    // The datagram's text ends at its first NUL.
    if (!MakeAnnouncementDeviceInfo(adapterIndex, std::string_view(text.c_str()), lookup, info)) return;
    devices.AddOrUpdateDevice(info);
}
