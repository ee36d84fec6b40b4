// What the library's listening tasks share, internal to halvex: accepting
// that rides out transient failures (no descriptors left, no buffers, an
// aborted handshake) instead of ending the listener, and a cap on the
// connections a server serves at once.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace ZYRK {
namespace Platform {

// First and longest pause after a failed accept.
constexpr uint32_t ACCEPT_BACKOFF_FIRST_MS = 10;
constexpr uint32_t ACCEPT_BACKOFF_MAX_MS = 500;

// Accepts the next connection on listenFd (close-on-exec); peer (may be null)
// receives its address. Failures are logged (the first of a series and then
// every hundredth, with who) and retried after a pause that doubles up to
// ACCEPT_BACKOFF_MAX_MS. Returns -1 only once stopping is true.
int AcceptRetrying(int listenFd, sockaddr_in* peer, const std::atomic<bool>& stopping, const char* who);

// Counts the connections of one server against a cap. A slot stays taken
// while its holder keeps the returned pointer; the gate itself may go away
// before its slots do.
class CSessionGate : public std::enable_shared_from_this<CSessionGate> {
public:
    static constexpr uint32_t DEFAULT_CAP = 256;

    static std::shared_ptr<CSessionGate> Create(uint32_t cap = DEFAULT_CAP);

    // 0 = no cap.
    void SetCap(uint32_t cap) { m_cap.store(cap); }
    uint32_t Cap() const { return m_cap.load(); }
    uint32_t Active() const { return m_active.load(); }
    // A slot, or null when the cap is reached.
    std::shared_ptr<void> TryEnter();

private:
    explicit CSessionGate(uint32_t cap) : m_cap(cap) {}

    std::atomic<uint32_t> m_cap;
    std::atomic<uint32_t> m_active{0};
};

}  // namespace Platform
}  // namespace ZYRK
