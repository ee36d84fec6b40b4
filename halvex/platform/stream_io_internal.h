// Stream sockets with deadlines, internal to halvex: the one readiness wait,
// the non-blocking connect, and the send-all and receive-all loops that the
// resource-tree client's transports, the resource server's connections, the
// FMP sockets and the queue client and server share. A peer that sends or
// reads slowly (a byte at a time) cannot hold a caller past its deadline, and
// a caller's CResCancel ends any wait at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ZYRK {

class CResCancel;

namespace Platform {

// Milliseconds of a monotonic clock; deadlines below are such values, 0
// meaning none.
int64_t MonotonicMs();

// A deadline ms from now, or 0 (none) when ms is 0.
int64_t DeadlineIn(uint32_t ms);

// Milliseconds left until the deadline, never below 0; -1 for no deadline.
int MsUntil(int64_t deadline);

// Results of the calls below besides a byte count. A failed send, receive or
// connect gives the negated sum of STREAM_ERRNO_BASE and its error number, so
// that no error number can be taken for one of the others.
constexpr long STREAM_TIMEOUT = -1;
constexpr long STREAM_CANCELLED = -2;
constexpr long STREAM_WAIT_FAILED = -3;  // the wait itself failed; errno tells why
constexpr long STREAM_ERRNO_BASE = 10000;

inline long StreamError(int error) { return -(STREAM_ERRNO_BASE + (error ? error : 5 /* EIO */)); }
// The error number of a failed call's result; 0 for any other result.
inline int StreamErrno(long result) { return result <= -STREAM_ERRNO_BASE ? int(-result - STREAM_ERRNO_BASE) : 0; }

// How long a call may wait for its socket: until the deadline (0: without
// limit), and no longer than until `cancel` (null: never) fires.
struct StreamWait {
    int64_t deadline = 0;
    const CResCancel* cancel = nullptr;
};

// Waits until fd is readable (or writable). A socket error or hang-up counts
// as ready: the next call on the socket reports it. A deadline that has
// passed still lets one look at the socket. 1 when ready, else
// STREAM_TIMEOUT, STREAM_CANCELLED or STREAM_WAIT_FAILED.
long WaitSocket(int fd, bool forWrite, const StreamWait& wait);

// Connects the non-blocking TCP socket fd to addrNet:port (network order)
// within the wait. 0 when connected; STREAM_TIMEOUT, STREAM_CANCELLED,
// STREAM_WAIT_FAILED, or the error of a connect refused at once or of an
// attempt that failed (*atOnce tells which, when given).
long ConnectSocket(int fd, uint32_t addrNet, uint16_t port, const StreamWait& wait, bool* atOnce = nullptr);

// One send or receive of up to n bytes (n > 0). With `wait` null it is one
// call of the socket as it is set up (blocking or not); otherwise the call
// never blocks and waits within `wait` whenever the socket would block. The
// count (for a receive 0 means the peer closed), or a negative result.
long StreamOnce(int fd, bool send, void* data, size_t n, const StreamWait* wait);

// Moves n bytes with `step(offset, remaining)`, which moves some of them and
// answers their count, 0 at the end of the stream, or a negative result.
// Gives n when all moved, else the step's 0 or negative result; *moved (when
// given) tells how many bytes moved.
template <class Step>
long MoveAll(size_t n, Step&& step, size_t* moved = nullptr)
{
    size_t done = 0;
    long result = static_cast<long>(n);
    while (done < n) {
        const long r = step(done, n - done);
        if (r <= 0) {
            result = r;
            break;
        }
        done += static_cast<size_t>(r);
    }
    if (moved) {
        *moved = done;
    }
    return result;
}

// Receives exactly n bytes, waiting as StreamOnce does: n; 0 when the peer
// closed before the first byte; else a negative result (a close in
// mid-buffer is the error ECONNRESET). *received (when given) tells how many
// bytes arrived.
long RecvAllBy(int fd, void* data, size_t n, const StreamWait* wait, size_t* received = nullptr);

// Sends all n bytes, waiting as StreamOnce does: n, or a negative result (a
// send that takes nothing is the error EPIPE).
long SendAllBy(int fd, const void* data, size_t n, const StreamWait* wait);

// The same with the socket's own SO_RCVTIMEO / SO_SNDTIMEO (when set) as the
// deadline of the whole buffer; false on failure, time-out or end of stream.
bool SendAll(int fd, const void* data, size_t length);
bool RecvAll(int fd, void* data, size_t length, size_t* received = nullptr);

}  // namespace Platform
}  // namespace ZYRK
