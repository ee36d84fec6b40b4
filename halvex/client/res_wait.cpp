// Bounded, cancellable waits of the client transports.
#include <halvex/client/res_cancel.h>
#include <halvex/client/res_wait_internal.h>

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace ZYRK {

CResCancel::CResCancel() : m_cancelled(false), m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CResCancel::~CResCancel() {
    if (m_fd >= 0) ::close(m_fd);
}

void CResCancel::Cancel() {
    if (m_cancelled.exchange(true)) return;
    if (m_fd >= 0) {
        const uint64_t one = 1;
        // The counter only ever goes from 0 to 1: this write cannot block.
        [[maybe_unused]] ssize_t n = ::write(m_fd, &one, sizeof one);
    }
}

int res_ms_until(ResClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ResClock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 0x7FFFFFFF)) : 0;
}

int res_wait_socket(int fd, bool forWrite, int timeoutMs, const CResCancel* cancel) {
    const bool bounded = timeoutMs >= 0;
    const ResClock::time_point end = ResClock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
    const int cancelFd = cancel ? cancel->Handle() : -1;
    for (;;) {
        if (cancel && cancel->IsCancelled()) return RES_WAIT_CANCELLED;
        int slice = bounded ? res_ms_until(end) : -1;
        // Without a descriptor to watch, the flag is looked at every 100 ms.
        if (cancel && cancelFd < 0 && (slice < 0 || slice > 100)) slice = 100;
        pollfd p[2] = {{fd, short(forWrite ? POLLOUT : POLLIN), 0}, {cancelFd, POLLIN, 0}};
        const int r = ::poll(p, cancelFd >= 0 ? 2 : 1, slice);
        if (r < 0) {
            if (errno == EINTR) continue;
            return RES_WAIT_FAILED;
        }
        if (cancelFd >= 0 && p[1].revents) return RES_WAIT_CANCELLED;
        if (p[0].revents) return RES_WAIT_READY;
        if (bounded && res_ms_until(end) == 0) return RES_WAIT_TIMEOUT;
    }
}

RES_CONNECT_T res_connect_socket(int fd, uint32_t addrNet, uint16_t port, int waitMs, const CResCancel* cancel,
                                 int* error) {
    *error = 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addrNet;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return RES_CONNECTED;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EINTR) {
        *error = errno;
        return RES_CONNECT_FAILED;
    }
    switch (res_wait_socket(fd, true, waitMs, cancel)) {
        case RES_WAIT_TIMEOUT: return RES_CONNECT_TIMEOUT;
        case RES_WAIT_CANCELLED: return RES_CONNECT_CANCELLED;
        case RES_WAIT_FAILED: *error = errno; return RES_CONNECT_WAIT_FAILED;
        default: break;
    }
    // A socket that became writable because the attempt failed (refused,
    // unreachable) is not a connection.
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
    if (soError != 0) {
        *error = soError;
        return RES_CONNECT_REFUSED;
    }
    return RES_CONNECTED;
}

CResSigpipeBlock::CResSigpipeBlock() {
    sigemptyset(&m_pipe);
    sigaddset(&m_pipe, SIGPIPE);
    sigset_t waiting;
    sigemptyset(&waiting);
    ::sigpending(&waiting);
    m_alreadyPending = sigismember(&waiting, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
}

CResSigpipeBlock::~CResSigpipeBlock() {
    // Only a SIGPIPE that the guarded calls raised is taken away; one that
    // was waiting before belongs to someone else.
    sigset_t waiting;
    sigemptyset(&waiting);
    ::sigpending(&waiting);
    if (!m_alreadyPending && sigismember(&waiting, SIGPIPE) == 1) {
        const timespec none{0, 0};
        ::sigtimedwait(&m_pipe, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

}  // namespace ZYRK
