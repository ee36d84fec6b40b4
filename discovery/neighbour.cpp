#include "discovery/neighbour.h"

#include "discovery/adapters.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include <linux/neighbour.h>
#include <net/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
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
constexpr std::chrono::milliseconds kRereadInterval(250);

std::string FormatMac(const uint8_t* b) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    return buf;
}

// One request to the kernel: header, fixed body, attributes.
class CRouteRequest {
public:
    CRouteRequest(uint16_t type, uint16_t flags) {
        auto* h = Header();
        h->nlmsg_len = NLMSG_LENGTH(0);
        h->nlmsg_type = type;
        h->nlmsg_flags = flags;
    }
    template <class Body>
    void AddBody(const Body& body) {
        Append(&body, sizeof body);
    }
    void AddAttribute(uint16_t type, const void* data, size_t size) {
        rtattr a{};
        a.rta_type = type;
        a.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        Append(&a, sizeof a);
        Append(data, size);
    }
    nlmsghdr* Header() { return reinterpret_cast<nlmsghdr*>(buffer); }

private:
    void Append(const void* data, size_t size) {
        auto* h = Header();
        if (NLMSG_ALIGN(h->nlmsg_len + size) > sizeof buffer) return;  // requests here are a few dozen bytes
        std::memcpy(buffer + h->nlmsg_len, data, size);
        h->nlmsg_len = static_cast<uint32_t>(NLMSG_ALIGN(h->nlmsg_len + size));
    }
    alignas(nlmsghdr) uint8_t buffer[256] = {};
};

// What the kernel's route to an address says.
struct RouteAnswer {
    uint8_t type = RTN_UNSPEC;
    uint32_t outputIndex = 0;
    bool onLink = true;  // no gateway between us and the address
};

// A route netlink socket that also receives the kernel's neighbour
// notifications, so that no change of the entry is missed between reading it
// and waiting for it.
class CRouteSocket {
public:
    ~CRouteSocket() {
        if (fd >= 0) ::close(fd);
    }

    bool Open() {
        fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (fd < 0) return false;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_NEIGH;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
        socklen_t len = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return false;
        portId = local.nl_pid;
        return true;
    }

    // The entry as it stands: true with `entry` unset when there is none.
    bool ReadEntry(uint32_t index, uint32_t address, Clock::time_point deadline, std::optional<NeighbourEntry>& entry) {
        entry.reset();
        CRouteRequest r(RTM_GETNEIGH, NLM_F_REQUEST);
        ndmsg n{};
        n.ndm_family = AF_INET;
        n.ndm_ifindex = static_cast<int>(index);
        r.AddBody(n);
        const uint32_t dst = htonl(address);
        r.AddAttribute(NDA_DST, &dst, sizeof dst);
        int error = Exchange(r, deadline, [&](const nlmsghdr* h) {
            auto e = ParseNeighbourMessage(reinterpret_cast<const uint8_t*>(h), h->nlmsg_len);
            if (e && e->adapterIndex == index && e->address == address) entry = e;
        });
        return error == 0 || error == ENOENT;
    }

    // Asks the kernel to resolve the address as if traffic were waiting for it.
    bool Solicit(uint32_t index, uint32_t address, Clock::time_point deadline) {
        CRouteRequest r(RTM_NEWNEIGH, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_ACK);
        ndmsg n{};
        n.ndm_family = AF_INET;
        n.ndm_ifindex = static_cast<int>(index);
        n.ndm_state = NUD_NONE;
        n.ndm_flags = NTF_USE;
        r.AddBody(n);
        const uint32_t dst = htonl(address);
        r.AddAttribute(NDA_DST, &dst, sizeof dst);
        return Exchange(r, deadline, nullptr) == 0;
    }

    bool Route(uint32_t address, uint32_t outputIndex, Clock::time_point deadline, RouteAnswer& answer) {
        CRouteRequest r(RTM_GETROUTE, NLM_F_REQUEST);
        rtmsg m{};
        m.rtm_family = AF_INET;
        m.rtm_dst_len = 32;
        r.AddBody(m);
        const uint32_t dst = htonl(address);
        r.AddAttribute(RTA_DST, &dst, sizeof dst);
        if (outputIndex != 0) r.AddAttribute(RTA_OIF, &outputIndex, sizeof outputIndex);
        bool got = false;
        int error = Exchange(r, deadline, [&](const nlmsghdr* h) {
            if (h->nlmsg_type != RTM_NEWROUTE || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
            const auto* rm = static_cast<const rtmsg*>(NLMSG_DATA(h));
            answer.type = rm->rtm_type;
            int left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(rtmsg)));
            for (const rtattr* a = RTM_RTA(rm); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
                if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4)
                    std::memcpy(&answer.outputIndex, RTA_DATA(a), 4);
                if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= 4) {
                    uint32_t gw = 0;
                    std::memcpy(&gw, RTA_DATA(a), 4);
                    answer.onLink = gw == dst;
                }
            }
            got = true;
        });
        return error == 0 && got;
    }

    // The adapter's flags (IFF_*); false when there is no such adapter.
    bool LinkFlags(uint32_t index, Clock::time_point deadline, unsigned& flags) {
        CRouteRequest r(RTM_GETLINK, NLM_F_REQUEST);
        ifinfomsg i{};
        i.ifi_family = AF_UNSPEC;
        i.ifi_index = static_cast<int>(index);
        r.AddBody(i);
        bool got = false;
        int error = Exchange(r, deadline, [&](const nlmsghdr* h) {
            if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
            const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
            if (static_cast<uint32_t>(info->ifi_index) != index) return;
            flags = info->ifi_flags;
            got = true;
        });
        return error == 0 && got;
    }

    // Reads notifications until the deadline or until `handle` says done;
    // false on time-out.
    template <class Handler>
    bool Watch(Clock::time_point deadline, Handler handle) {
        bool done = false;
        int r = Pump(deadline, [&](const nlmsghdr* h) {
            auto e = ParseNeighbourMessage(reinterpret_cast<const uint8_t*>(h), h->nlmsg_len);
            if (e && handle(*e)) done = true;
            return done;
        });
        return r == 0 && done;
    }

private:
    // Sends a request and reads until its answer; neighbour notifications that
    // arrive meanwhile go to `onMessage` as well. The kernel's error number, 0
    // for success, ETIMEDOUT when the deadline passes first.
    template <class OnMessage>
    int Exchange(CRouteRequest& r, Clock::time_point deadline, OnMessage onMessage) {
        const uint32_t seq = ++sequence;
        r.Header()->nlmsg_seq = seq;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ssize_t n;
        do {
            n = ::sendto(fd, r.Header(), r.Header()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return errno ? errno : EIO;
        int error = ETIMEDOUT;
        Pump(deadline, [&](const nlmsghdr* h) {
            if (h->nlmsg_seq != seq || h->nlmsg_pid != portId) {
                if constexpr (!std::is_same_v<OnMessage, std::nullptr_t>) onMessage(h);
                return false;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                    error = EIO;
                } else {
                    int e = static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                    error = e < 0 ? -e : e;
                }
                return true;
            }
            if constexpr (!std::is_same_v<OnMessage, std::nullptr_t>) onMessage(h);
            error = 0;  // a doit request answers with its one message and no ack
            return true;
        });
        return error;
    }

    // Receives datagrams from the kernel until `handle` returns true (0), the
    // deadline passes (1) or the socket fails (-1). Notifications that the
    // kernel dropped on a full buffer are not missed for long: the waiting
    // loop reads the entry again every little while.
    template <class Handle>
    int Pump(Clock::time_point deadline, Handle handle) {
        alignas(nlmsghdr) uint8_t buf[16384];
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left < 0) return 1;
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            if (r == 0) return 1;
            sockaddr_nl from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = ::recvfrom(fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
                return -1;
            }
            if (from.nl_pid != 0) continue;                       // only the kernel speaks here
            if (static_cast<size_t>(n) > sizeof buf) continue;    // cut short: not worth reading
            int len = static_cast<int>(n);
            for (auto* h = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len))
                if (handle(h)) return 0;
        }
    }

    int fd = -1;
    uint32_t portId = 0;
    uint32_t sequence = 0;
};

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

}  // namespace

bool IsUnicastIPv4(uint32_t a) {
    const uint32_t first = a >> 24;
    return first != 0 && first != 127 && first < 224;
}

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

std::optional<std::string> ResolveNeighbourMac(uint32_t adapterIndex, const std::string& address,
                                               std::chrono::milliseconds timeout) {
    uint32_t target = 0;
    if (!ParseIPv4(address, target) || !IsUnicastIPv4(target)) return std::nullopt;
    const auto deadline = Clock::now() + (timeout.count() > 0 ? timeout : std::chrono::milliseconds(0));

    CRouteSocket s;
    if (!s.Open()) return std::nullopt;

    // The kernel's routes say whether the address is an ordinary neighbour
    // there (not one of our own, not a subnet-directed broadcast) and, for
    // adapter 0, which adapter to resolve it on.
    RouteAnswer route;
    if (s.Route(target, adapterIndex, deadline, route)) {
        if (route.type != RTN_UNICAST) return std::nullopt;
        if (adapterIndex == 0) adapterIndex = route.outputIndex;
    } else {
        route.onLink = false;  // no answer: do not guess where an echo request would go
    }
    if (adapterIndex == 0) return std::nullopt;
    // Loopback and adapters without ARP have no neighbours to ask for.
    unsigned flags = 0;
    if (!s.LinkFlags(adapterIndex, deadline, flags) || (flags & (IFF_LOOPBACK | IFF_NOARP))) return std::nullopt;

    std::optional<NeighbourEntry> entry;
    if (!s.ReadEntry(adapterIndex, target, deadline, entry)) return std::nullopt;  // no such adapter, or no time
    if (entry)
        if (auto mac = CompleteMac(*entry)) return mac;

    bool started = s.Solicit(adapterIndex, target, deadline);
    if (!started && route.onLink) started = SendEchoRequest(adapterIndex, target);

    // Wait for the entry to complete. A failure counts only once resolution
    // was started here: an entry that failed before may still be filled by
    // the camera's own ARP request.
    std::optional<std::string> result;
    bool failed = false;
    for (;;) {
        // Read once more: the entry may have completed before the watch began.
        if (!s.ReadEntry(adapterIndex, target, deadline, entry)) return std::nullopt;
        if (entry) {
            if (auto mac = CompleteMac(*entry)) return mac;
            if (started && (entry->state & NUD_FAILED)) return std::nullopt;
            if (entry->state & NUD_NOARP) return std::nullopt;  // an adapter without ARP: nothing will come
        }
        const auto until = std::min(deadline, Clock::now() + kRereadInterval);
        s.Watch(until, [&](const NeighbourEntry& e) {
            if (e.adapterIndex != adapterIndex || e.address != target) return false;
            if (auto mac = CompleteMac(e)) {
                result = mac;
                return true;
            }
            if (started && (e.state & NUD_FAILED)) {
                failed = true;
                return true;
            }
            return false;
        });
        if (result || failed || Clock::now() >= deadline) return result;
    }
}
