#include "discovery/udp_socket.h"

#include "discovery/adapters.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

CUdpSocket::~CUdpSocket() { Close(); }

bool CUdpSocket::Fail() {
    lastError = errno ? errno : EINVAL;
    return false;
}

bool CUdpSocket::Open() {
    Close();
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return fd >= 0 || Fail();
}

void CUdpSocket::Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool CUdpSocket::SetReuseAddress(bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0 || Fail();
}

bool CUdpSocket::SetBroadcast(bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &v, sizeof v) == 0 || Fail();
}

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

bool CUdpSocket::EnablePacketInfo() {
    int v = 1;
    return ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &v, sizeof v) == 0 || Fail();
}

bool CUdpSocket::Bind(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    a.sin_port = htons(port);
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

bool CUdpSocket::SendTo(uint32_t hostOrderAddress, uint16_t port, const void* data, size_t size, uint32_t source) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(hostOrderAddress);
    to.sin_port = htons(port);
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (source != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
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
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left < 0) left = 0;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) {
            if (p.revents & (POLLIN | POLLERR)) return 1;
            errno = EIO;
            Fail();
            return -1;
        }
        if (r == 0) return 0;
        if (errno != EINTR) {
            Fail();
            return -1;
        }
    }
}

ssize_t CUdpSocket::ReceiveFrom(void* buffer, size_t size, sockaddr_storage& from, socklen_t& fromLength) {
    ssize_t n;
    do {
        fromLength = sizeof from;
        n = ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0) Fail();
    return n;
}
