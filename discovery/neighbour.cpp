#include "discovery/neighbour.h"

#include "discovery/adapters.h"
#include "discovery/route_socket.h"
#include "discovery/udp_socket.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>
#include <cstdio>
#include <cstring>

#include <linux/neighbour.h>
#include <net/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// States in which an entry holds a link-layer address that answered (or was
// set by hand). NUD_NOARP is left out: such entries carry the adapter's own
// address, not the neighbour's.
constexpr uint16_t kCompleteStates = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;

// How often the entry is read again while waiting, in case a notification
// was lost (a full socket buffer drops them).
constexpr std::chrono::milliseconds kRereadInterval(500);

std::string FormatMac(const uint8_t* b) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    return buf;
}

// One ICMP echo request through an unprivileged ping socket, sent out of the
// adapter: the kernel resolves the address before it can send it.
bool SendEchoRequest(uint32_t index, uint32_t address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd < 0) return false;
    const uint32_t netIndex = htonl(index);
    bool ok = ::setsockopt(fd, IPPROTO_IP, IP_UNICAST_IF, &netIndex, sizeof netIndex) == 0;
    if (ok) {
        icmphdr echo{};
        echo.type = ICMP_ECHO;
        echo.un.echo.sequence = htons(1);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(address);
        ok = ::sendto(fd, &echo, sizeof echo, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
             static_cast<ssize_t>(sizeof echo);
    }
    ::close(fd);
    return ok;
}

bool Cancelled(int cancelFd) { return cancelFd >= 0 && WaitAnyReadable({cancelFd}, 0) == 0; }

}  // namespace

std::optional<NeighbourEntry> ParseNeighbourMessage(const uint8_t* data, size_t size) {
    if (!data || size < NLMSG_LENGTH(sizeof(ndmsg))) return std::nullopt;
    nlmsghdr h;
    std::memcpy(&h, data, sizeof h);
    if (h.nlmsg_type != RTM_NEWNEIGH && h.nlmsg_type != RTM_DELNEIGH) return std::nullopt;
    if (h.nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)) || h.nlmsg_len > size) return std::nullopt;
    ndmsg n;
    std::memcpy(&n, data + NLMSG_HDRLEN, sizeof n);
    if (n.ndm_family != AF_INET || n.ndm_ifindex <= 0) return std::nullopt;

    NeighbourEntry e;
    e.adapterIndex = static_cast<uint32_t>(n.ndm_ifindex);
    e.state = n.ndm_state;
    e.deleted = h.nlmsg_type == RTM_DELNEIGH;
    bool hasAddress = false;
    // Attributes: walked by offset so that no length from the message can
    // lead a read past the bytes given.
    size_t pos = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg));
    const size_t end = h.nlmsg_len;
    while (pos + sizeof(rtattr) <= end) {
        rtattr a;
        std::memcpy(&a, data + pos, sizeof a);
        if (a.rta_len < sizeof(rtattr) || a.rta_len > end - pos) break;
        const uint8_t* payload = data + pos + RTA_LENGTH(0);
        const size_t payloadSize = a.rta_len - RTA_LENGTH(0);
        if (a.rta_type == NDA_DST && payloadSize == 4) {
            uint32_t v;
            std::memcpy(&v, payload, 4);
            e.address = ntohl(v);
            hasAddress = true;
        } else if (a.rta_type == NDA_LLADDR && payloadSize == 6) {
            e.mac = FormatMac(payload);
        }
        pos += RTA_ALIGN(a.rta_len);
    }
    if (!hasAddress) return std::nullopt;
    return e;
}

std::optional<std::string> CompleteMac(const NeighbourEntry& e) {
    if (e.deleted || !(e.state & kCompleteStates) || e.mac.empty()) return std::nullopt;
    if (e.mac == "00:00:00:00:00:00") return std::nullopt;
    return e.mac;
}

namespace {

// The kernel's table: look-ups begun on one socket that receives the table's
// notifications, each waiting for its entry to complete or fail.
class CKernelNeighbourSource : public INeighbourSource {
public:
    CKernelNeighbourSource() {
        socket.onNotification = [this](const NeighbourEntry& e) { Settle(e); };
    }

    void Begin(uint32_t adapterIndex, const std::string& address) override {
        BeginUntil(adapterIndex, address, Clock::now() + kExchangeBound);
    }

    void BeginUntil(uint32_t adapterIndex, const std::string& address, Clock::time_point deadline) {
        const Asker asker{adapterIndex, address};
        uint32_t target = 0;
        if (!ParseIPv4(address, target) || !IsUnicastIPv4(target) || (!socket.IsOpen() && !socket.Open())) {
            ready.push_back({asker, std::nullopt});
            return;
        }
        // The kernel's routes say whether the address is an ordinary
        // neighbour there (not one of our own, not a subnet-directed
        // broadcast) and, for adapter 0, which adapter to resolve it on.
        uint32_t index = adapterIndex;
        RouteAnswer route;
        if (socket.Route(target, index, deadline, route)) {
            if (route.type != RTN_UNICAST) index = 0;
            else if (index == 0) index = route.outputIndex;
        } else {
            route.onLink = false;  // no answer: do not guess where an echo request would go
        }
        // Loopback and adapters without ARP have no neighbours to ask for.
        unsigned flags = 0;
        std::optional<NeighbourEntry> entry;
        if (index == 0 || !socket.LinkFlags(index, deadline, flags) || (flags & (IFF_LOOPBACK | IFF_NOARP)) ||
            !socket.ReadEntry(index, target, deadline, entry)) {
            ready.push_back({asker, std::nullopt});
            return;
        }
        if (entry)
            if (auto mac = CompleteMac(*entry)) {
                ready.push_back({asker, mac});
                return;
            }
        auto it = lookups.find({index, target});
        if (it == lookups.end()) {
            bool started = socket.Solicit(index, target, deadline);
            if (!started && route.onLink) started = SendEchoRequest(index, target);
            it = lookups.emplace(std::make_pair(index, target), Lookup{}).first;
            it->second.started = started;
        }
        it->second.lastRead = Clock::time_point{};  // read again before the first wait: it may have completed meanwhile
        it->second.askers.push_back(asker);
    }

    void End(uint32_t adapterIndex, const std::string& address) override {
        for (auto it = lookups.begin(); it != lookups.end();) {
            auto& a = it->second.askers;
            a.erase(std::remove(a.begin(), a.end(), Asker{adapterIndex, address}), a.end());
            it = a.empty() ? lookups.erase(it) : std::next(it);
        }
    }

    void Wait(std::chrono::milliseconds timeout, int wakeFd, const OutcomeFn& done) override {
        const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
        socket.SetCancel(wakeFd);
        for (;;) {
            ReadAgain(deadline);
            if (!ready.empty()) break;
            if (lookups.empty()) {
                WaitForWake(deadline, wakeFd);
                break;
            }
            const auto until = std::min(deadline, Clock::now() + kRereadInterval);
            socket.Watch(until, [&](const NeighbourEntry& e) { return Settle(e); });
            if (!ready.empty() || Clock::now() >= deadline || Cancelled(wakeFd)) break;
        }
        // The wake-up descriptor ends waits only: Begin's requests must not
        // fail because new work came.
        socket.SetCancel(-1);
        std::vector<Outcome> outcomes;
        outcomes.swap(ready);
        for (const Outcome& o : outcomes) done(o.asker.first, o.asker.second, o.mac);
    }

private:
    using Asker = std::pair<uint32_t, std::string>;  // as the look-up was begun
    struct Outcome {
        Asker asker;
        std::optional<std::string> mac;
    };
    struct Lookup {
        bool started = false;  // resolution was started here: a failure of the entry is final
        Clock::time_point lastRead;
        std::vector<Asker> askers;
    };
    // Bounds of one exchange with the kernel, and of the pause between two
    // readings of an entry that is waited for.
    static constexpr std::chrono::milliseconds kExchangeBound{500};

    // An entry changed: a look-up that waits for it ends when it completed,
    // or failed after resolution was started here. True when one ended.
    bool Settle(const NeighbourEntry& e) {
        auto it = lookups.find({e.adapterIndex, e.address});
        if (it == lookups.end()) return false;
        std::optional<std::string> mac = CompleteMac(e);
        const bool failed = !mac && ((it->second.started && (e.state & NUD_FAILED)) || (e.state & NUD_NOARP));
        if (!mac && !failed) return false;
        for (const Asker& a : it->second.askers) ready.push_back({a, mac});
        lookups.erase(it);
        return true;
    }

    // Reads the entries not read for a while (all of them after lost
    // notifications), so that a lost notification costs no more than that.
    void ReadAgain(Clock::time_point deadline) {
        const bool all = socket.TakeLost();
        const auto now = Clock::now();
        std::vector<std::pair<uint32_t, uint32_t>> due;
        for (auto& [key, l] : lookups)
            if (all || now - l.lastRead >= kRereadInterval) due.push_back(key);
        for (const auto& key : due) {
            auto it = lookups.find(key);
            if (it == lookups.end()) continue;
            it->second.lastRead = now;
            std::optional<NeighbourEntry> entry;
            if (!socket.ReadEntry(key.first, key.second, std::min(deadline, now + kExchangeBound), entry)) continue;
            if (entry) Settle(*entry);
        }
    }

    // Until the deadline, or until `wakeFd` (-1: none, a plain pause) is readable.
    static void WaitForWake(Clock::time_point deadline, int wakeFd) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left > 0) WaitAnyReadable({wakeFd}, static_cast<int>(left));
    }

    CRouteSocket socket;
    std::map<std::pair<uint32_t, uint32_t>, Lookup> lookups;  // by adapter and address (host order)
    std::vector<Outcome> ready;
};

}  // namespace

std::shared_ptr<INeighbourSource> KernelNeighbourSource() { return std::make_shared<CKernelNeighbourSource>(); }

std::optional<std::string> ResolveNeighbourMac(uint32_t adapterIndex, const std::string& address,
                                               std::chrono::milliseconds timeout) {
    return ResolveNeighbourMac(adapterIndex, address, timeout, -1);
}

std::optional<std::string> ResolveNeighbourMac(uint32_t adapterIndex, const std::string& address,
                                               std::chrono::milliseconds timeout, int cancelFd) {
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    CKernelNeighbourSource source;
    std::optional<std::string> result;
    bool ended = false;
    auto done = [&](uint32_t, const std::string&, const std::optional<std::string>& mac) {
        result = mac;
        ended = true;
    };
    source.BeginUntil(adapterIndex, address, deadline);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        source.Wait(left, cancelFd, done);
        if (ended || Clock::now() >= deadline || Cancelled(cancelFd)) return result;
    }
}
