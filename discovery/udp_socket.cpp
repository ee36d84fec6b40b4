#include "discovery/udp_socket.h"

#include "discovery/ipv4.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace {

sockaddr_in MakeAddress(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    a.sin_port = htons(port);
    return a;
}

ip_mreqn MembershipRequest(uint32_t hostOrderGroup, uint32_t hostOrderInterface, uint32_t interfaceIndex) {
    ip_mreqn m{};
    m.imr_multiaddr.s_addr = htonl(hostOrderGroup);
    m.imr_address.s_addr = htonl(hostOrderInterface);
    m.imr_ifindex = static_cast<int>(interfaceIndex);
    return m;
}

}  // namespace

CUdpSocket::~CUdpSocket() { Close(); }

CUdpSocket::CUdpSocket(CUdpSocket&& other) noexcept { *this = std::move(other); }

CUdpSocket& CUdpSocket::operator=(CUdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd = std::exchange(other.fd, -1);
        lastError = other.lastError;
        joined = std::exchange(other.joined, false);
        joinedGroup = other.joinedGroup;
        joinedInterface = other.joinedInterface;
        joinedIndex = other.joinedIndex;
    }
    return *this;
}

bool CUdpSocket::Fail() {
    lastError = errno ? errno : EINVAL;
    return false;
}

bool CUdpSocket::SetOption(int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0 || Fail();
}

bool CUdpSocket::Open() {
    Close();
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return fd >= 0 || Fail();
}

void CUdpSocket::Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    joined = false;
}

bool CUdpSocket::SetReuseAddress(bool on) { return SetOption(SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
bool CUdpSocket::SetReusePort(bool on) { return SetOption(SOL_SOCKET, SO_REUSEPORT, on ? 1 : 0); }
bool CUdpSocket::SetBroadcast(bool on) { return SetOption(SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }
bool CUdpSocket::EnablePacketInfo() { return SetOption(IPPROTO_IP, IP_PKTINFO, 1); }
bool CUdpSocket::SetMulticastAll(bool on) { return SetOption(IPPROTO_IP, IP_MULTICAST_ALL, on ? 1 : 0); }
bool CUdpSocket::SetMulticastTtl(int ttl) { return SetOption(IPPROTO_IP, IP_MULTICAST_TTL, ttl); }
bool CUdpSocket::SetMulticastLoop(bool on) { return SetOption(IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0); }

bool CUdpSocket::BindToDevice(const std::string& device) {
    if (device.empty()) {
        errno = ENODEV;
        return Fail();
    }
    return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) == 0 ||
           Fail();
}

void CUdpSocket::SetReceiveBuffer(int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void CUdpSocket::SetSendBuffer(int bytes) { ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }

bool CUdpSocket::SetMulticastInterface(uint32_t hostOrderAddress, uint32_t interfaceIndex) {
    ip_mreqn m = MembershipRequest(0, hostOrderAddress, interfaceIndex);
    return ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m) == 0 || Fail();
}

bool CUdpSocket::JoinGroup(uint32_t hostOrderGroup, uint32_t hostOrderInterface, uint32_t interfaceIndex) {
    ip_mreqn m = MembershipRequest(hostOrderGroup, hostOrderInterface, interfaceIndex);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) return Fail();
    joined = true;
    joinedGroup = hostOrderGroup;
    joinedInterface = hostOrderInterface;
    joinedIndex = interfaceIndex;
    return true;
}

void CUdpSocket::LeaveGroup() {
    if (!joined || fd < 0) return;
    ip_mreqn m = MembershipRequest(joinedGroup, joinedInterface, joinedIndex);
    ::setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
    joined = false;
}

bool CUdpSocket::Bind(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in a = MakeAddress(hostOrderAddress, port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 || Fail();
}

bool CUdpSocket::Bind(const std::string& address, uint16_t port) {
    uint32_t v = 0;
    if (!ParseIPv4(address, v)) {
        errno = EINVAL;
        return Fail();
    }
    return Bind(v, port);
}

uint16_t CUdpSocket::LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool CUdpSocket::SendTo(uint32_t hostOrderAddress, uint16_t port, const void* data, size_t size, uint32_t source,
                        uint32_t interfaceIndex) {
    sockaddr_in to = MakeAddress(hostOrderAddress, port);
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (source != 0 || interfaceIndex != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(interfaceIndex);
        info.ipi_spec_dst.s_addr = htonl(source);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    ssize_t n;
    do {
        n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail();
    if (static_cast<size_t>(n) != size) {
        errno = EMSGSIZE;
        return Fail();
    }
    return true;
}

bool CUdpSocket::SendTo(const std::string& address, uint16_t port, const void* data, size_t size) {
    uint32_t v = 0;
    if (!ParseIPv4(address, v)) {
        errno = EINVAL;
        return Fail();
    }
    return SendTo(v, port, data, size);
}

int CUdpSocket::WaitReadable(int timeoutMs) {
    const int r = WaitAnyReadable({fd}, timeoutMs < 0 ? 0 : timeoutMs);
    if (r >= 0) return 1;
    if (r == -2) return 0;
    Fail();
    return -1;
}

ssize_t CUdpSocket::Receive(void* buffer, size_t size, Received& info, bool wait) {
    info = Received{};
    iovec iov{buffer, size};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    ssize_t n;
    do {
        msg = msghdr{};
        msg.msg_name = &info.from;
        msg.msg_namelen = sizeof info.from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        n = ::recvmsg(fd, &msg, wait ? 0 : MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail();
        return -1;
    }
    info.fromLength = msg.msg_namelen;
    if (info.from.ss_family == AF_INET && info.fromLength >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto& from = reinterpret_cast<const sockaddr_in&>(info.from);
        info.fromAddress = ntohl(from.sin_addr.s_addr);
        info.fromPort = ntohs(from.sin_port);
    }
    info.truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
            c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            info.destination = ntohl(pi.ipi_addr.s_addr);
        }
    return n;
}

int WaitAnyReadable(const std::vector<int>& fds, int timeoutMs, size_t start) {
    if (fds.empty()) return -1;
    std::vector<pollfd> p(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) p[i] = pollfd{fds[i], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        int r = ::poll(p.data(), p.size(), wait);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return -2;
        for (size_t k = 0; k < p.size(); ++k) {
            size_t i = (start + k) % p.size();
            if (p[i].revents & (POLLIN | POLLERR | POLLHUP)) return static_cast<int>(i);
            if (p[i].revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
        }
    }
}
