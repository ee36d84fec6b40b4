#include "halvex/platform/stream_io_internal.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>

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

namespace {

// Waits until fd is ready for events or the deadline passes: 1 ready, 0 time
// out, -errno on failure. Without a deadline it waits without limit.
int WaitReady(int fd, short events, int64_t deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const int64_t left = deadline - MonotonicMs();
            if (left <= 0)
                return 0;
            timeout = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, timeout);
        if (r > 0)
            return 1;  // errors and hang-ups show in the following call
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -errno;
    }
}

}  // namespace

long RecvAllBy(int fd, void* data, size_t n, int64_t deadline, size_t* received)
{
    auto* p = static_cast<uint8_t*>(data);
    size_t got = 0;
    long result = static_cast<long>(n);
    while (got < n) {
        const int w = WaitReady(fd, POLLIN, deadline);
        if (w <= 0) {
            result = w == 0 ? -ETIMEDOUT : w;
            break;
        }
        const ssize_t r = recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) {
            result = got == 0 ? 0 : -ECONNRESET;
            break;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        result = -errno;
        break;
    }
    if (received)
        *received = got;
    return result;
}

bool SendAllBy(int fd, const void* data, size_t n, int64_t deadline)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t r = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitReady(fd, POLLOUT, deadline) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
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
    return SendAllBy(fd, data, length, SocketDeadline(fd, SO_SNDTIMEO));
}

bool RecvAll(int fd, void* data, size_t length, size_t* received)
{
    return RecvAllBy(fd, data, length, SocketDeadline(fd, SO_RCVTIMEO), received) == static_cast<long>(length);
}

}  // namespace Platform
}  // namespace ZYRK
