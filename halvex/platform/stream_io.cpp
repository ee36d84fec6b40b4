// Stream sockets with deadlines: one readiness wait, the non-blocking
// connect, and the whole-buffer loops on top of them.
#include "halvex/platform/stream_io_internal.h"

#include <halvex/client/res_cancel.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <ctime>

namespace ZYRK {
namespace Platform {

int64_t MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t DeadlineIn(uint32_t ms)
{
    return ms ? MonotonicMs() + ms : 0;
}

int MsUntil(int64_t deadline)
{
    if (!deadline)
        return -1;
    const int64_t left = deadline - MonotonicMs();
    return left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

long WaitSocket(int fd, bool forWrite, const StreamWait& wait)
{
    const CResCancel* cancel = wait.cancel;
    const int cancelFd = cancel ? cancel->Handle() : -1;
    for (;;) {
        if (cancel && cancel->IsCancelled())
            return STREAM_CANCELLED;
        int slice = MsUntil(wait.deadline);
        // Without a descriptor to watch, the flag is looked at every 100 ms.
        if (cancel && cancelFd < 0 && (slice < 0 || slice > 100))
            slice = 100;
        pollfd p[2] = {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}, {cancelFd, POLLIN, 0}};
        const int r = poll(p, cancelFd >= 0 ? 2 : 1, slice);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return STREAM_WAIT_FAILED;
        }
        if (cancelFd >= 0 && p[1].revents)
            return STREAM_CANCELLED;
        if (p[0].revents)
            return 1;
        if (wait.deadline && MsUntil(wait.deadline) == 0)
            return STREAM_TIMEOUT;
    }
}

long ConnectSocket(int fd, uint32_t addrNet, uint16_t port, const StreamWait& wait, bool* atOnce)
{
    if (atOnce)
        *atOnce = false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addrNet;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EINTR) {
        if (atOnce)
            *atOnce = true;
        return StreamError(errno);
    }
    const long w = WaitSocket(fd, true, wait);
    if (w != 1)
        return w;
    // A socket that became writable because the attempt failed (refused,
    // unreachable) is not a connection.
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
        soError = errno;
    return soError ? StreamError(soError) : 0;
}

long StreamOnce(int fd, bool send, void* data, size_t n, const StreamWait* wait)
{
    const int flags = wait ? MSG_DONTWAIT : 0;
    for (;;) {
        const ssize_t r = send ? ::send(fd, data, n, MSG_NOSIGNAL | flags) : ::recv(fd, data, n, flags);
        if (r >= 0)
            return static_cast<long>(r);
        const int e = errno;
        if (e == EINTR)
            continue;
        if (!wait || (e != EAGAIN && e != EWOULDBLOCK))
            return StreamError(e);
        const long w = WaitSocket(fd, send, *wait);
        if (w != 1)
            return w;
    }
}

long RecvAllBy(int fd, void* data, size_t n, const StreamWait* wait, size_t* received)
{
    auto* p = static_cast<uint8_t*>(data);
    size_t got = 0;
    const long r = MoveAll(
        n, [&](size_t at, size_t left) { return StreamOnce(fd, false, p + at, left, wait); }, &got);
    if (received)
        *received = got;
    return r == 0 && got > 0 ? StreamError(ECONNRESET) : r;
}

long SendAllBy(int fd, const void* data, size_t n, const StreamWait* wait)
{
    // The bytes are only read: StreamOnce takes one pointer for both ways.
    auto* p = static_cast<uint8_t*>(const_cast<void*>(data));
    const long r = MoveAll(n, [&](size_t at, size_t left) { return StreamOnce(fd, true, p + at, left, wait); });
    return r == 0 && n > 0 ? StreamError(EPIPE) : r;
}

namespace {

int64_t SocketDeadline(int fd, int option)
{
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, option, &tv, &len) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0))
        return 0;
    return MonotonicMs() + static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000 + 1;
}

}  // namespace

bool SendAll(int fd, const void* data, size_t length)
{
    const StreamWait wait{SocketDeadline(fd, SO_SNDTIMEO)};
    return SendAllBy(fd, data, length, &wait) == static_cast<long>(length);
}

bool RecvAll(int fd, void* data, size_t length, size_t* received)
{
    const StreamWait wait{SocketDeadline(fd, SO_RCVTIMEO)};
    return RecvAllBy(fd, data, length, &wait, received) == static_cast<long>(length);
}

}  // namespace Platform
}  // namespace ZYRK
