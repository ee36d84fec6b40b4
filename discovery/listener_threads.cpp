// The listener threads of CDiscoveryThreads: the mDNS listener, which follows
// the adapter table with one socket per adapter, and the announcement
// listener.
#include "discovery/scan_threads.h"

#include "discovery/adapters.h"
#include "discovery/announcement.h"
#include "discovery/discovery_log.h"
#include "discovery/udp_socket.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

namespace {

constexpr int kListenerWakeMs = 750;
constexpr size_t kMaxListenerAdapters = 10;
// Between scan cycles the mDNS listener still looks at the table this often.
constexpr auto kListenerResyncEvery = std::chrono::milliseconds(3000);
// The announcement listener reads the table again after this long.
constexpr auto kAnnouncementTableAge = std::chrono::milliseconds(1000);

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
        // Every camera answers a multicast query at once.
        s.SetReceiveBuffer(kScanReceiveBuffer);
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

void CDiscoveryThreads::BonjourListenerThread() {
    CAdapterTableSource source(adapterSource);
    struct Listener {
        CUdpSocket socket;
        uint32_t adapterIndex = 0;
        uint32_t adapterAddress = 0;
        std::string device;
    };
    std::vector<Listener> listeners;
    std::shared_ptr<IMdnsListenSockets> opener = listenSockets;
    if (!opener) {
        uint32_t group = 0;
        if (!ParseIPv4(endpoints.mdnsGroup, group)) {
            LogDiscoveryError("mDNS listener: no group address " + endpoints.mdnsGroup);
            ListenerSynced(UINT64_MAX);  // no cycle waits for a listener that is not there
            return;
        }
        opener = std::make_shared<CMdnsGroupSockets>(endpoints.mdnsGroup, group, endpoints.mdnsPort);
    }

    // One socket per adapter of the first ten that has an address; sockets of
    // adapters that stay as they were are kept, those of vanished or
    // re-addressed adapters are closed.
    auto open = [&](const AdapterInfo& a, uint32_t address, Listener& l) {
        if (!opener->Open(a, address, l.socket)) return false;
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
    s.SetReceiveBuffer(kScanReceiveBuffer);
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
