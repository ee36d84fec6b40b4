#include "halvex/platform/listener_internal.h"

#include <halvex/platform/syslogext.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <thread>

namespace ZYRK {
namespace Platform {

int AcceptRetrying(int listenFd, sockaddr_in* peer, const std::atomic<bool>& stopping, const char* who)
{
    uint32_t failures = 0;
    uint32_t pause = 0;
    while (!stopping.load()) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int c = accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (c >= 0) {
            if (failures)
                SysLogExt::PrintF(3, "%s: accepting again after %u failed attempts", who, failures);
            if (peer)
                *peer = address;
            return c;
        }
        const int e = errno;
        // A signal or a client that gave up during the handshake: the next
        // connection may be waiting already.
        if (e == EINTR || e == ECONNABORTED)
            continue;
        if (stopping.load())
            break;
        ++failures;
        pause = pause ? std::min(pause * 2, ACCEPT_BACKOFF_MAX_MS) : ACCEPT_BACKOFF_FIRST_MS;
        if (failures == 1 || failures % 100 == 0)
            SysLogExt::PrintF(2, "%s: accept failed, errno=%d, attempt %u; trying again in %u ms", who, e, failures,
                              pause);
        // The connection that failed stays queued; waiting lets descriptors
        // or buffers free up. The pause is cut short when the server stops.
        for (uint32_t waited = 0; waited < pause && !stopping.load(); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::shared_ptr<CSessionGate> CSessionGate::Create(uint32_t cap)
{
    return std::shared_ptr<CSessionGate>(new CSessionGate(cap));
}

std::shared_ptr<void> CSessionGate::TryEnter()
{
    uint32_t active = m_active.load();
    do {
        const uint32_t cap = m_cap.load();
        if (cap && active >= cap)
            return nullptr;
    } while (!m_active.compare_exchange_weak(active, active + 1));
    std::shared_ptr<CSessionGate> self = shared_from_this();
    return std::shared_ptr<void>(this, [self](void*) { self->m_active.fetch_sub(1); });
}

}  // namespace Platform
}  // namespace ZYRK
