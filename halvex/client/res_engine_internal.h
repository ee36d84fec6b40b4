// Internal helpers of the protocol engine and its transports (not exported).
#pragma once

#include <halvex/client/resourceclientlib.h>
#include <halvex/platform/users.h>
#include <halvex/resource/resource_value.h>

#include "halvex/platform/stream_io_internal.h"

#include <cstdint>

namespace ZYRK {

inline uint16_t res_ident_uid(const RES_IDENT_T& ident) { return ident.uid; }
inline uint32_t res_ident_address(const RES_IDENT_T& ident) { return ident.ipAddr; }
inline uint16_t res_current_uid() { return get_user_id(); }

// Fragment chain of a transparent value.
inline TRANSPARENT_FRAGMENT_T* res_fragment_next(TRANSPARENT_FRAGMENT_T* f) { return f->next; }
inline unsigned long res_fragment_length(const TRANSPARENT_FRAGMENT_T* f) { return f->length; }
inline const void* res_fragment_data(const TRANSPARENT_FRAGMENT_T* f) { return f->data; }

// Socket error numbers as the engine reports them: the errno value offset by
// 10000, in the manner of the Winsock numbers, so that a negated transport
// error never coincides with an engine code (-101..-106) or a server byte.
constexpr int RES_SOCKET_ERROR_BASE = 10000;
inline int res_socket_error(int e) { return RES_SOCKET_ERROR_BASE + (e ? e : 5 /* EIO */); }

// A result of the library's stream calls as the engine reports it: a count as
// it is, a wait that ran out as -106, a cancelled one as interrupted, a wait
// that failed as -103, a failed call as its negated socket error.
inline int res_stream_result(long r) {
    switch (r) {
        case Platform::STREAM_TIMEOUT: return RES_ERR_TIMEOUT;
        case Platform::STREAM_CANCELLED: return RES_ERR_INTERRUPTED;
        case Platform::STREAM_WAIT_FAILED: return RES_ERR_PROTOCOL;
        default: return r < 0 ? -res_socket_error(Platform::StreamErrno(r)) : int(r);
    }
}

// The system's resolver: the first IPv4 address of a host name, network
// order. A name of nothing but dots names no host and is not looked up.
bool res_lookup_ipv4(const char* host, uint32_t* addr_net);

// Value bodies as the engine reads and writes them.
//
// The value types a write request can carry.
bool res_wire_writable(VALUE_TYPE_T type);
// Bytes of the body of a write request for the value (after the type byte):
// fixed size, text with its terminator, or the 13-byte transparent preamble
// (the transparent data itself travels from the fragment chain). 0 for a
// type that cannot be written.
size_t res_wire_body_size(const CResourceValue& value);
// Writes that body at the writer's position; -103 for a type that cannot be
// written or a body that does not fit, else 0.
int res_wire_body_write(const CResourceValue& value, class CResWriter& w);
// True when a transparent write carries its data after the preamble.
bool res_wire_copies_data(const CResourceValue& value);
// Fills the value from a read reply's type byte and body (`length` bytes
// after the type byte). -103 for a type byte outside 1..9, else 0. The text
// of types 4 and 7 may be given separately (`text`, `textLength`; null to
// use the body); so may the data of a transparent copy.
int res_wire_body_read(CResourceValue& value, uint8_t type, const uint8_t* body, size_t length, uint8_t version,
                       const uint8_t* tail = nullptr, size_t tailLength = 0);
// Installs the limits of a limits block (type byte, BE16 count, ...).
void res_wire_limits_read(CResourceValue& value, const uint8_t* block, size_t length);

}  // namespace ZYRK
