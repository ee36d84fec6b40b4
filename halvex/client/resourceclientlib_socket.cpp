// The protocol engine over a plain TCP connection: non-blocking connect with a
// wait of at most 5 seconds, Nagle's algorithm off, blocking or timeout mode.
// In timeout mode every wait of one exchange ends at the exchange's deadline.
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_wait_internal.h>
#include <halvex/platform/postlog.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <strings.h>

namespace ZYRK {

bool res_resolve_ipv4(const char* host, uint32_t* addr_net) {
    in_addr a{};
    if (::inet_pton(AF_INET, host, &a) == 1) {
        *addr_net = a.s_addr;
        return true;
    }
    // Names under the reserved top-level domain "invalid" never resolve; they
    // are refused here without asking any name server.
    size_t n = std::strlen(host);
    while (n && host[n - 1] == '.') --n;
    if (n == 0) return false;
    if ((n == 7 && ::strncasecmp(host, "invalid", 7) == 0) ||
        (n > 7 && ::strncasecmp(host + n - 8, ".invalid", 8) == 0))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0 || !list) return false;
    *addr_net = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return true;
}

CResourceClientLibSocket::CResourceClientLibSocket(const char* host, unsigned short port)
    : CResourceClientLib(host, port), m_socket(-1) {}

CResourceClientLibSocket::~CResourceClientLibSocket() = default;

int CResourceClientLibSocket::SetSocketBlocking(int blocking) {
    int nonBlocking = blocking ? 0 : 1;
    if (::ioctl(m_socket, FIONBIO, &nonBlocking) != 0) {
        int e = errno;
        ce_printmsg(L"SetSocketBlocking ioctlsocket(): errno = %d\r\n", res_socket_error(e));
        return -res_socket_error(e ? e : EBADF);
    }
    return 0;
}

int CResourceClientLibSocket::ResSetTimeout(unsigned long milliseconds) {
    int nonBlocking = milliseconds ? 1 : 0;
    if (::ioctl(m_socket, FIONBIO, &nonBlocking) != 0) {
        int e = errno;
        ce_printmsg(L"ResSetTimeout ioctlsocket(): errno = %d\r\n", res_socket_error(e));
        return -res_socket_error(e ? e : EBADF);
    }
    return 0;
}

int CResourceClientLibSocket::ResSendBlocking(const void* data, int length) {
    // A stream send may take only part of the block; the rest follows so that
    // a frame is never cut short on the wire.
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        ssize_t r = ::send(m_socket, p + sent, size_t(length - sent), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -res_socket_error(errno);
        }
        sent += int(r);
    }
    return sent;
}

int CResourceClientLibSocket::ResRecvBlocking(void* buffer, int capacity) {
    for (;;) {
        ssize_t r = ::recv(m_socket, buffer, size_t(capacity), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -res_socket_error(errno);
        return int(r);
    }
}

int CResourceClientLibSocket::ResSendNonBlocking(ResCommType comm, const void* data, int length) {
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        ssize_t r = ::send(m_socket, p + sent, size_t(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) {
            sent += int(r);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK && errno != EAGAIN) return -res_socket_error(errno);
        if (int w = WaitReady(m_socket, true, comm)) return w;
    }
    return sent;
}

int CResourceClientLibSocket::ResRecvNonBlocking(ResCommType comm, void* buffer, int capacity) {
    for (;;) {
        ssize_t r = ::recv(m_socket, buffer, size_t(capacity), MSG_DONTWAIT);
        if (r >= 0) return int(r);
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK && errno != EAGAIN) return -res_socket_error(errno);
        if (int w = WaitReady(m_socket, false, comm)) return w;
    }
}

int CResourceClientLibSocket::ResSend(ResCommType comm, const void* data, int length) {
    return comm.timeout == 0 ? ResSendBlocking(data, length) : ResSendNonBlocking(comm, data, length);
}

int CResourceClientLibSocket::ResRecv(ResCommType comm, void* buffer, int capacity) {
    return comm.timeout == 0 ? ResRecvBlocking(buffer, capacity) : ResRecvNonBlocking(comm, buffer, capacity);
}

int CResourceClientLibSocket::Open() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        ce_printmsg(L"ResOpenTCPSocket socket(): errno = %d\r\n", errno);
        return -1;
    }
    m_socket = fd;
    auto fail = [this](int result) {
        ::close(m_socket);
        m_socket = -1;
        return result;
    };

    int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        ce_printmsg(L"ResOpenTCPSocket setsockopt(): errno = %d\r\n", errno);

    int r = SetSocketBlocking(0);
    if (r != 0) return fail(r);

    uint32_t addr = 0;
    if (!res_resolve_ipv4(m_host, &addr)) {
        ce_printmsg(L"ResOpenTCPSocket gethostbyname(): can't resolve host\r\n");
        return fail(RES_ERR_HOST);
    }

    int e = 0;
    switch (res_connect_socket(fd, addr, m_port, ConnectWaitMs(), Cancel(), &e)) {
        case RES_CONNECTED: break;
        case RES_CONNECT_WAIT_FAILED:
            ce_printmsg(L"ResOpenTCPSocket select(): errno = %d\r\n", e);
            return fail(-res_socket_error(e));
        case RES_CONNECT_TIMEOUT:
            ce_printmsg(L"ResOpenTCPSocket select(): timeout\r\n");
            return fail(-1);
        case RES_CONNECT_CANCELLED: return fail(-1);
        default:
            ce_printmsg(L"ResOpenTCPSocket connect(): errno = %d\r\n", e);
            return fail(-1);
    }

    r = SetSocketBlocking(1);
    if (r != 0) return fail(r);
    return 0;
}

int CResourceClientLibSocket::Close() {
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
    return 0;
}

unsigned int CResourceClientLibSocket::TmpGetSocket() { return m_socket < 0 ? 0u : unsigned(m_socket); }

int CResourceClientLibSocket::local_getsockname(ResCommType comm, sockaddr* address, socklen_t* length) {
    if (!(comm.commType & 1)) {
        errno = ENOTSOCK;
        return -1;
    }
    if (::getsockname(m_socket, address, length) != 0) return -1;
    return 0;
}

}  // namespace ZYRK
