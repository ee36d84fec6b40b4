// Whole-buffer I/O on stream sockets with an optional deadline, internal to
// halvex. Shared by the resource server's connections and the queue client
// and server, so that a peer that sends or reads slowly (a byte at a time)
// cannot hold a caller past its deadline.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ZYRK {
namespace Platform {

// Milliseconds of a monotonic clock; deadlines below are such values.
int64_t MonotonicMs();

// A deadline ms from now, or 0 (none) when ms is 0.
int64_t DeadlineIn(uint32_t ms);

// Receives exactly n bytes before the deadline (0 = none): n; 0 when the peer
// closed before the first byte; -ETIMEDOUT when the deadline passed; another
// negative errno on failure (-ECONNRESET also for a close in mid-buffer).
// *received (when given) tells how many bytes arrived.
long RecvAllBy(int fd, void* data, size_t n, int64_t deadline, size_t* received = nullptr);

// Sends all n bytes before the deadline (0 = none); false on failure or
// time-out.
bool SendAllBy(int fd, const void* data, size_t n, int64_t deadline);

// The same with the socket's own SO_RCVTIMEO / SO_SNDTIMEO (when set) as the
// deadline of the whole buffer; false on failure, time-out or end of stream.
bool SendAll(int fd, const void* data, size_t length);
bool RecvAll(int fd, void* data, size_t length, size_t* received = nullptr);

}  // namespace Platform
}  // namespace ZYRK
