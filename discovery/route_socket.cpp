#include "discovery/route_socket.h"

#include "discovery/udp_socket.h"

#include <cerrno>
#include <cstring>

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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

}  // namespace

CRouteSocket::~CRouteSocket() {
    if (fd >= 0) ::close(fd);
}

bool CRouteSocket::TakeLost() {
    bool l = lost;
    lost = false;
    return l;
}

bool CRouteSocket::Open() {
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

bool CRouteSocket::ReadEntry(uint32_t index, uint32_t address, Clock::time_point deadline,
                             std::optional<NeighbourEntry>& entry) {
    entry.reset();
    CRouteRequest r(RTM_GETNEIGH, NLM_F_REQUEST);
    ndmsg n{};
    n.ndm_family = AF_INET;
    n.ndm_ifindex = static_cast<int>(index);
    r.AddBody(n);
    const uint32_t dst = htonl(address);
    r.AddAttribute(NDA_DST, &dst, sizeof dst);
    int error = Exchange(r.Header(), deadline, [&](const nlmsghdr* h) {
        auto e = ParseNeighbourMessage(reinterpret_cast<const uint8_t*>(h), h->nlmsg_len);
        if (e && e->adapterIndex == index && e->address == address) entry = e;
    });
    return error == 0 || error == ENOENT;
}

bool CRouteSocket::Solicit(uint32_t index, uint32_t address, Clock::time_point deadline) {
    CRouteRequest r(RTM_NEWNEIGH, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_ACK);
    ndmsg n{};
    n.ndm_family = AF_INET;
    n.ndm_ifindex = static_cast<int>(index);
    n.ndm_state = NUD_NONE;
    n.ndm_flags = NTF_USE;
    r.AddBody(n);
    const uint32_t dst = htonl(address);
    r.AddAttribute(NDA_DST, &dst, sizeof dst);
    return Exchange(r.Header(), deadline, nullptr) == 0;
}

bool CRouteSocket::Route(uint32_t address, uint32_t outputIndex, Clock::time_point deadline, RouteAnswer& answer) {
    CRouteRequest r(RTM_GETROUTE, NLM_F_REQUEST);
    rtmsg m{};
    m.rtm_family = AF_INET;
    m.rtm_dst_len = 32;
    r.AddBody(m);
    const uint32_t dst = htonl(address);
    r.AddAttribute(RTA_DST, &dst, sizeof dst);
    if (outputIndex != 0) r.AddAttribute(RTA_OIF, &outputIndex, sizeof outputIndex);
    bool got = false;
    int error = Exchange(r.Header(), deadline, [&](const nlmsghdr* h) {
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

bool CRouteSocket::LinkFlags(uint32_t index, Clock::time_point deadline, unsigned& flags) {
    CRouteRequest r(RTM_GETLINK, NLM_F_REQUEST);
    ifinfomsg i{};
    i.ifi_family = AF_UNSPEC;
    i.ifi_index = static_cast<int>(index);
    r.AddBody(i);
    bool got = false;
    int error = Exchange(r.Header(), deadline, [&](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
        if (static_cast<uint32_t>(info->ifi_index) != index) return;
        flags = info->ifi_flags;
        got = true;
    });
    return error == 0 && got;
}

bool CRouteSocket::Watch(Clock::time_point deadline, const std::function<bool(const NeighbourEntry&)>& handle) {
    bool done = false;
    int r = Pump(deadline, [&](const nlmsghdr* h) {
        auto e = ParseNeighbourMessage(reinterpret_cast<const uint8_t*>(h), h->nlmsg_len);
        if (e && handle(*e)) done = true;
        return done;
    });
    return r == 0 && done;
}

// Sends a request and reads until its answer; neighbour notifications that
// arrive meanwhile go to `onNotification`. The kernel's error number, 0 for
// success, ETIMEDOUT when the deadline passes first.
int CRouteSocket::Exchange(nlmsghdr* request, Clock::time_point deadline, const MessageFn& onMessage) {
    const uint32_t seq = ++sequence;
    request->nlmsg_seq = seq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t n;
    do {
        n = ::sendto(fd, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno ? errno : EIO;
    int error = ETIMEDOUT;
    Pump(deadline, [&](const nlmsghdr* h) {
        if (h->nlmsg_seq != seq || h->nlmsg_pid != portId) {
            // A notification that came meanwhile: not lost to whoever waits for it.
            if (onNotification)
                if (auto e = ParseNeighbourMessage(reinterpret_cast<const uint8_t*>(h), h->nlmsg_len))
                    onNotification(*e);
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
        if (onMessage) onMessage(h);
        error = 0;  // a doit request answers with its one message and no ack
        return true;
    });
    return error;
}

// Receives datagrams from the kernel until `handle` returns true (0), the
// deadline passes (1), or the socket fails or the wait is cancelled (-1).
// Notifications that the kernel dropped on a full buffer are not missed for
// long: `lost` tells the waiting side to read its entries again.
int CRouteSocket::Pump(Clock::time_point deadline, const std::function<bool(const nlmsghdr*)>& handle) {
    alignas(nlmsghdr) uint8_t buf[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) return 1;
        // The cancel descriptor is looked at first (-1: none).
        const int ready = WaitAnyReadable({fd, cancelFd}, static_cast<int>(left), 1);
        if (ready == -2) return 1;
        if (ready != 0) return -1;
        sockaddr_nl from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == ENOBUFS) lost = true;
            if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
            return -1;
        }
        if (from.nl_pid != 0) continue;                       // only the kernel speaks here
        if (static_cast<size_t>(n) > sizeof buf) continue;    // cut short: not worth reading
        // The messages of the datagram, each inside it and aligned as the kernel packs them.
        const size_t size = static_cast<size_t>(n);
        for (size_t off = 0; size - off >= sizeof(nlmsghdr);) {
            const auto* h = reinterpret_cast<const nlmsghdr*>(buf + off);
            if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - off) break;
            if (handle(h)) return 0;
            off += NLMSG_ALIGN(h->nlmsg_len);
            if (off > size) break;
        }
    }
}
