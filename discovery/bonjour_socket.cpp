#include "discovery/bonjour_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in MakeAddress(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

CDiscoverySocket::~CDiscoverySocket() { Close(); }

CDiscoverySocket::CDiscoverySocket(CDiscoverySocket&& other) noexcept { *this = std::move(other); }

CDiscoverySocket& CDiscoverySocket::operator=(CDiscoverySocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd = other.fd;
        lastError = other.lastError;
        joined = other.joined;
        joinedGroup = other.joinedGroup;
        joinedInterface = other.joinedInterface;
        joinedIndex = other.joinedIndex;
        other.fd = -1;
        other.joined = false;
    }
    return *this;
}

bool CDiscoverySocket::Fail() {
    lastError = errno;
    return false;
}

bool CDiscoverySocket::Open() {
    Close();
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return fd >= 0 || Fail();
}

void CDiscoverySocket::Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    joined = false;
}

bool CDiscoverySocket::SetReuseAddress() {
    int one = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 || Fail();
}

bool CDiscoverySocket::BindToDevice(const std::string& device) {
    if (device.empty()) {
        errno = ENODEV;
        return Fail();
    }
    return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) == 0 ||
           Fail();
}

bool CDiscoverySocket::SetMulticastInterface(uint32_t hostOrderAddress, uint32_t interfaceIndex) {
    ip_mreqn m{};
    m.imr_address.s_addr = htonl(hostOrderAddress);
    m.imr_ifindex = static_cast<int>(interfaceIndex);
    return ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m) == 0 || Fail();
}

bool CDiscoverySocket::SetMulticastAll(bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &v, sizeof v) == 0 || Fail();
}

bool CDiscoverySocket::JoinGroup(uint32_t hostOrderGroup, uint32_t hostOrderInterface, uint32_t interfaceIndex) {
    ip_mreqn m{};
    m.imr_multiaddr.s_addr = htonl(hostOrderGroup);
    m.imr_address.s_addr = htonl(hostOrderInterface);
    m.imr_ifindex = static_cast<int>(interfaceIndex);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) return Fail();
    joined = true;
    joinedGroup = hostOrderGroup;
    joinedInterface = hostOrderInterface;
    joinedIndex = interfaceIndex;
    return true;
}

void CDiscoverySocket::LeaveGroup() {
    if (!joined || fd < 0) return;
    ip_mreqn m{};
    m.imr_multiaddr.s_addr = htonl(joinedGroup);
    m.imr_address.s_addr = htonl(joinedInterface);
    m.imr_ifindex = static_cast<int>(joinedIndex);
    ::setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
    joined = false;
}

bool CDiscoverySocket::Bind(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in a = MakeAddress(hostOrderAddress, port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 || Fail();
}

bool CDiscoverySocket::SendTo(uint32_t hostOrderAddress, uint16_t port, const void* data, size_t size) {
    sockaddr_in a = MakeAddress(hostOrderAddress, port);
    ssize_t n;
    do {
        n = ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail();
    return static_cast<size_t>(n) == size;
}

ssize_t CDiscoverySocket::Receive(void* buffer, size_t size, uint32_t& fromAddress, uint16_t& fromPort) {
    sockaddr_in from{};
    iovec iov{buffer, size};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = ::recvmsg(fd, &msg, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail();
        return -1;
    }
    if (msg.msg_flags & MSG_TRUNC) {
        errno = EMSGSIZE;
        Fail();
        return -1;
    }
    fromAddress = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
    fromPort = from.sin_family == AF_INET ? ntohs(from.sin_port) : 0;
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
            // An error or hang-up condition counts as readable: the receive
            // then reports it.
            if (p[i].revents & (POLLIN | POLLERR | POLLHUP)) return static_cast<int>(i);
            if (p[i].revents & POLLNVAL) return -1;
        }
    }
}

void LogDiscoveryError(const std::string& text) { std::fprintf(stderr, "teliox: %s\n", text.c_str()); }
