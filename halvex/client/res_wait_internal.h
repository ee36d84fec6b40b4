// Waiting on the socket of a transport (internal): one bounded, cancellable
// wait for readiness, the non-blocking TCP connect that the TCP and TLS
// transports share, and the guard that keeps a write to a vanished peer from
// raising SIGPIPE.
#pragma once

#include <halvex/client/res_cancel.h>

#include <signal.h>

#include <chrono>
#include <cstdint>

namespace ZYRK {

using ResClock = std::chrono::steady_clock;

// Milliseconds from now until `deadline`, never below 0.
int res_ms_until(ResClock::time_point deadline);

constexpr int RES_WAIT_READY = 1;
constexpr int RES_WAIT_TIMEOUT = 0;
constexpr int RES_WAIT_FAILED = -1;     // errno tells why
constexpr int RES_WAIT_CANCELLED = -2;

// Waits until fd is readable (or writable), at most timeoutMs (negative: no
// limit), and ends early when `cancel` (may be null) fires. A socket error or
// hang-up counts as ready: the next call on the socket reports it.
int res_wait_socket(int fd, bool forWrite, int timeoutMs, const CResCancel* cancel);

enum RES_CONNECT_T {
    RES_CONNECTED = 0,
    RES_CONNECT_FAILED,       // connect() refused at once; *error holds errno
    RES_CONNECT_WAIT_FAILED,  // the wait itself failed; *error holds errno
    RES_CONNECT_TIMEOUT,
    RES_CONNECT_CANCELLED,
    RES_CONNECT_REFUSED,      // the connection attempt failed; *error holds its error
};

// Connects the non-blocking TCP socket fd to addrNet:port (network order),
// waiting at most waitMs for the connection to complete.
RES_CONNECT_T res_connect_socket(int fd, uint32_t addrNet, uint16_t port, int waitMs, const CResCancel* cancel,
                                 int* error);

// Blocks SIGPIPE on the calling thread while it lives and drops one that the
// guarded calls raised, so a write to a peer that has gone away fails with
// EPIPE instead of ending the process.
class CResSigpipeBlock {
public:
    CResSigpipeBlock();
    ~CResSigpipeBlock();
    CResSigpipeBlock(const CResSigpipeBlock&) = delete;
    CResSigpipeBlock& operator=(const CResSigpipeBlock&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_alreadyPending;
};

}  // namespace ZYRK
