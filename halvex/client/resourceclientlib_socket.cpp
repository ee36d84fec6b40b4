// The protocol engine over a plain TCP connection: non-blocking connect with a
// wait of at most 5 seconds, Nagle's algorithm off, blocking or timeout mode.
// In timeout mode every wait of one exchange ends at the exchange's deadline.
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/client/res_engine_internal.h>
#include <halvex/platform/postlog.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ZYRK {

bool res_lookup_ipv4(const char* host, uint32_t* addr_net) {
    if (host[std::strspn(host, ".")] == '\0') return false;
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

namespace {

// Switches the socket's non-blocking mode; 0, or the negated socket error
// after a message that names the caller.
int SwitchNonBlocking(int fd, bool on, const wchar_t* caller) {
    int nonBlocking = on ? 1 : 0;
    if (::ioctl(fd, FIONBIO, &nonBlocking) != 0) {
        int e = errno;
        ce_printmsg(L"%s ioctlsocket(): errno = %d\r\n", caller, res_socket_error(e));
        return -res_socket_error(e ? e : EBADF);
    }
    return 0;
}

}  // namespace

int CResourceClientLibSocket::SetSocketBlocking(int blocking) {
    return SwitchNonBlocking(m_socket, !blocking, L"SetSocketBlocking");
}

// Timeout mode waits in poll, on a non-blocking socket.
int CResourceClientLibSocket::ResSetTimeout(unsigned long milliseconds) {
    return SwitchNonBlocking(m_socket, milliseconds != 0, L"ResSetTimeout");
}

// A stream send may take only part of the block; the rest follows so that a
// frame is never cut short on the wire.
int CResourceClientLibSocket::ResSendBlocking(const void* data, int length) {
    return res_stream_result(Platform::SendAllBy(m_socket, data, size_t(length), nullptr));
}

int CResourceClientLibSocket::ResRecvBlocking(void* buffer, int capacity) {
    return res_stream_result(Platform::StreamOnce(m_socket, false, buffer, size_t(capacity), nullptr));
}

int CResourceClientLibSocket::ResSendNonBlocking(ResCommType comm, const void* data, int length) {
    const Platform::StreamWait wait{WaitDeadline(comm), Cancel()};
    return res_stream_result(Platform::SendAllBy(m_socket, data, size_t(length), &wait));
}

int CResourceClientLibSocket::ResRecvNonBlocking(ResCommType comm, void* buffer, int capacity) {
    const Platform::StreamWait wait{WaitDeadline(comm), Cancel()};
    return res_stream_result(Platform::StreamOnce(m_socket, false, buffer, size_t(capacity), &wait));
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
    if (!ResolveHost(&addr)) {
        ce_printmsg(L"ResOpenTCPSocket gethostbyname(): can't resolve host\r\n");
        return fail(RES_ERR_HOST);
    }

    const long c = Platform::ConnectSocket(fd, addr, m_port, {Platform::DeadlineIn(ConnectWaitMs()), Cancel()});
    switch (c) {
        case 0: break;
        case Platform::STREAM_WAIT_FAILED: {
            const int e = errno;
            ce_printmsg(L"ResOpenTCPSocket select(): errno = %d\r\n", e);
            return fail(-res_socket_error(e));
        }
        case Platform::STREAM_TIMEOUT:
            ce_printmsg(L"ResOpenTCPSocket select(): timeout\r\n");
            return fail(-1);
        case Platform::STREAM_CANCELLED: return fail(-1);
        default:
            ce_printmsg(L"ResOpenTCPSocket connect(): errno = %d\r\n", Platform::StreamErrno(c));
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
