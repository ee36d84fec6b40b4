// Byte form of resource values inside requests and replies of the resource
// protocol: value bodies, transparent preambles, limits blocks, originators,
// mount-point bodies and child-name lists. Multi-byte integers are
// big-endian; UTF-16 code units travel little-endian, as this library holds
// them in memory.
//
// Results (int): 0 = done; RES_CODEC_PROTOCOL_ERROR (-103) for a type byte
// outside 1..9, a type that cannot be written, or a body that is truncated or
// inconsistent; RES_CODEC_NO_ROOM when the output buffer is too small.
// Decoders read only inside [p, p + len) and never allocate more than the
// input can describe.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/resource/resource_value.h>

#include <cstddef>
#include <cstdint>

namespace ZYRK {

constexpr int RES_CODEC_OK = 0;
constexpr int RES_CODEC_PROTOCOL_ERROR = -103;
constexpr int RES_CODEC_NO_ROOM = -105;

// Type bytes of the wire (value types and resource kinds).
constexpr uint8_t RES_WIRE_BOOL = 1;
constexpr uint8_t RES_WIRE_INT32 = 2;
constexpr uint8_t RES_WIRE_DOUBLE = 3;
constexpr uint8_t RES_WIRE_ASCII = 4;
constexpr uint8_t RES_WIRE_STRUCT = 5;
constexpr uint8_t RES_WIRE_STRUCT2 = 6;
constexpr uint8_t RES_WIRE_UNICODE = 7;
constexpr uint8_t RES_WIRE_TRANSPARENT = 8;
constexpr uint8_t RES_WIRE_MOUNT = 9;

constexpr size_t RES_TRANSPARENT_REQUEST_PREAMBLE = 13;
constexpr size_t RES_TRANSPARENT_REPLY_PREAMBLE = 12;
constexpr size_t RES_ORIGINATOR_SIZE = 10;

// Mount-point flags.
constexpr uint8_t RES_MOUNT_TCP = 0x01;
constexpr uint8_t RES_MOUNT_FMP = 0x02;

// Protocol version from which mount points are decoded into their text form.
constexpr unsigned RES_MOUNT_DECODE_VERSION = 10;

struct TRANSPARENT_PREAMBLE_T {
    uint8_t copyFlag;    // request form only: 1 = the data follows, 0 = by reference
    uint32_t size;       // total size in bytes
    uint32_t revision;
    uint32_t reference;  // 0 when the data follows, else the sender's address of it
};

// --- Value bodies -----------------------------------------------------------

// Bytes res_encode_value_body writes for v (0 for a type that cannot be written).
HALVEX_API size_t res_value_body_size(const CResourceValue& v);

// Writes the body of v as a write request carries it (without the type byte,
// which the caller writes: the resource's kind or the value's type). A
// transparent value gives the 13-byte request preamble; when its copy type is
// not 0 the caller sends the fragments' bytes after the request
// (res_encode_fragments).
HALVEX_API int res_encode_value_body(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written);

// Writes the body of v as a read reply carries it: like the request form,
// except that transparent data gets the 12-byte reply preamble (reference 0)
// directly followed by its bytes.
HALVEX_API int res_encode_reply_value_body(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written);

// Copies the bytes of every fragment of a transparent value in chain order.
HALVEX_API int res_encode_fragments(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written);

// Reads a reply body of the given type byte into v (types 1..9). An empty
// body leaves v unchanged. Types 5 and 6 give the child names as an 8-bit
// text, one per line; type 9 gives "address:PORT/tcp" (or "/fmp") from
// protocol version 10 on and leaves v unchanged below it; type 8 reads the
// 12-byte reply preamble and takes the data that follows it
// (res_apply_transparent_reply).
HALVEX_API int res_decode_value_body(uint8_t typeByte, const uint8_t* body, size_t len, CResourceValue& v,
                                     unsigned version);

// The same for a buffer that starts with the type byte.
HALVEX_API int res_decode_value(const uint8_t* p, size_t len, CResourceValue& v, unsigned version);

// Reads the value of a write request (server side): types 1, 2, 3, 4, 7 and
// 8. *consumed receives the bytes taken (a text up to and including its 0
// byte or unit). For type 8 the 13-byte preamble is read into *preamble (when
// given) and v becomes a transparent value without data: its bytes travel
// after the request.
HALVEX_API int res_decode_request_value_body(uint8_t typeByte, const uint8_t* body, size_t len, CResourceValue& v,
                                             size_t* consumed, TRANSPARENT_PREAMBLE_T* preamble);

// --- Transparent preambles --------------------------------------------------

HALVEX_API void res_encode_transparent_request_preamble(const TRANSPARENT_PREAMBLE_T& pre, uint8_t out[13]);
HALVEX_API void res_encode_transparent_reply_preamble(const TRANSPARENT_PREAMBLE_T& pre, uint8_t out[12]);
HALVEX_API int res_decode_transparent_request_preamble(const uint8_t* p, size_t len, TRANSPARENT_PREAMBLE_T& pre);
HALVEX_API int res_decode_transparent_reply_preamble(const uint8_t* p, size_t len, TRANSPARENT_PREAMBLE_T& pre);

// Makes v the transparent value a reply describes: with exactly pre.size
// bytes of data it gets its own copy (copy type 1); otherwise it stays
// without data. A non-zero reference is never followed: an address in the
// peer's memory means nothing here, so v stays without data (copy type 0).
HALVEX_API int res_apply_transparent_reply(const TRANSPARENT_PREAMBLE_T& pre, const uint8_t* data, size_t dataLen,
                                           CResourceValue& v);

// --- Limits blocks ----------------------------------------------------------

// Writes the type byte, the 16-bit count and the limits of v. A value without
// limits writes nothing (*written = 0): the server answers "unsupported".
// Bool and transparent values write the type byte alone.
HALVEX_API int res_encode_limits(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written);

// Reads a limits block (starting with its type byte) into v, whose type must
// match. Allowed lists are installed with case-insensitive matching; a count
// of 1 followed by a 0 byte (a 0 unit for UTF-16) is a maximum length.
HALVEX_API int res_decode_limits(const uint8_t* p, size_t len, CResourceValue& v);

// --- Originator -------------------------------------------------------------

// Writes address, port and thread id, each in network order. When the value's
// originator address is 0, the given local socket fields (as a sockaddr_in
// holds them) and thread id are written instead.
HALVEX_API void res_encode_originator(const ORIGINATOR_T& origin, uint32_t localAddrField, uint16_t localPortField,
                                      uint32_t threadId, uint8_t out[10]);
// The originator of a value as a writer sends it: the value's own, or, when
// its address is 0, the writer's local socket fields and the calling thread.
HALVEX_API void res_encode_originator(const CResourceValue& v, uint32_t localAddrField, uint16_t localPortField,
                                      uint8_t out[10]);
HALVEX_API int res_decode_originator(const uint8_t* p, size_t len, ORIGINATOR_T& origin);

// --- Mount points and child names (reply bodies of types 9, 5 and 6) ---------

HALVEX_API int res_encode_mount_point(const char* address, uint16_t port, uint8_t flags, uint8_t* out, size_t cap,
                                      size_t* written);
HALVEX_API int res_encode_child_names(const char* const* names, size_t count, uint8_t* out, size_t cap,
                                      size_t* written);

}  // namespace ZYRK
