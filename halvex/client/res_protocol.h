// Common layer of the resource-tree protocol: the connection descriptor, the
// frame header and its extensions, embedded requests and replies of multi
// operations, the attribute block, engine result codes and their conversion
// into library result codes, and the table of result-code texts.
//
// The frame functions are free functions so that the server side of the
// protocol encodes and decodes frames with the same code as the client.
#pragma once

#include <halvex/bigendian.h>
#include <halvex/halvex_export.h>
#include <halvex/platform/errcodes.h>

#include <cstddef>
#include <cstdint>

namespace ZYRK {

// Connection descriptor handed by value to every engine operation.
struct ResCommType {
    int32_t commType;   // 1 TCP, 2 local FMP, 4 TLS; bit 0 = a TCP socket lies underneath
    uint32_t timeout;   // send/receive timeout in ms, 0 = blocking
    uint8_t version;    // negotiated protocol version, 0 until known
};

constexpr int32_t RES_COMM_TCP = 1;
constexpr int32_t RES_COMM_FMP = 2;
constexpr int32_t RES_COMM_TLS = 4;
constexpr int32_t RES_COMM_FMP_TCP = 18;

// Engine results produced on the client side (negative numbers); the server's
// error bytes (160..174) and transport errors travel as engine results too.
constexpr int RES_ERR_NOT_INITIALISED = -101;
constexpr int RES_ERR_HOST = -102;
constexpr int RES_ERR_PROTOCOL = -103;
constexpr int RES_ERR_BAD_HEADER = -104;
constexpr int RES_ERR_TOO_LONG = -105;
constexpr int RES_ERR_TIMEOUT = -106;
// The caller cancelled the connection's waits (CResCancel); converted to
// 0x640F0000 (interrupted).
constexpr int RES_ERR_INTERRUPTED = -107;

// Server error bytes (second byte of an error reply).
constexpr uint8_t RES_SERR_PATH_NOT_FOUND = 160;
constexpr uint8_t RES_SERR_NO_READ = 161;
constexpr uint8_t RES_SERR_NO_WRITE = 162;
constexpr uint8_t RES_SERR_NO_CREATE = 163;
constexpr uint8_t RES_SERR_NO_DELETE = 164;
constexpr uint8_t RES_SERR_FAILED = 165;
constexpr uint8_t RES_SERR_OPCODE = 166;
constexpr uint8_t RES_SERR_UNKNOWN_TYPE = 167;
constexpr uint8_t RES_SERR_TYPE_MISMATCH = 168;
constexpr uint8_t RES_SERR_INDATA_SIZE = 169;
constexpr uint8_t RES_SERR_PERMISSION = 170;
constexpr uint8_t RES_SERR_AUTH = 171;
constexpr uint8_t RES_SERR_SESSION = 172;
constexpr uint8_t RES_SERR_NOT_UNIQUE = 173;
constexpr uint8_t RES_SERR_NO_MEMORY = 174;

// Frame layout.
constexpr uint8_t RES_FRAME_MAGIC = 0xFE;
constexpr uint8_t RES_EXT_USER = 0xF2;
constexpr uint8_t RES_EXT_ADDRESS = 0xF3;
constexpr uint8_t RES_EXT_REQUEST = 0xF4;
constexpr uint8_t RES_EXT_REPLY = 0xF5;
constexpr uint8_t RES_ERROR_REPLY = 0xFF;
constexpr int RES_FRAME_HEADER_SIZE = 8;
constexpr int RES_BUFFER_SIZE = 2048;
// Upper bound of one reply that the client is willing to hold in memory. The
// length field of a reply comes from the peer and is not trusted beyond it.
constexpr uint32_t RES_MAX_REPLY_SIZE = 16u * 1024u * 1024u;

// Header size of a single request at a protocol version: 8, 12 (user
// extension) or 18 bytes (user and address extensions).
HALVEX_API int GetHeaderSize(unsigned char version);

// Writes the 8-byte frame header.
HALVEX_API void res_frame_build_header(uint8_t* out, int extensions, uint32_t length);
// Checks the magic byte and reads the extension count and the length.
HALVEX_API bool res_frame_parse_header(const uint8_t* in, int* extensions, uint32_t* length);

// Writes the user extension (F2 02 uid) at out; 4 bytes.
HALVEX_API int res_frame_put_user(uint8_t* out, uint16_t uid);
// Writes the address extension (F3 04 addr) at out; addr_net in network order; 6 bytes.
HALVEX_API int res_frame_put_address(uint8_t* out, uint32_t addr_net);

// True when the `n` bytes after a frame header hold more embedded requests
// than the header's extension count: the `extensions` counted items are
// stepped over (user 4 bytes, address 6, embedded request 6 + its length +
// pad, anything else 2) and another embedded request follows. Such a frame
// was sent with a count that wrapped; its items cannot be trusted.
HALVEX_API bool res_frame_has_uncounted_items(const uint8_t* payload, uint32_t n, int extensions);

// Size on the wire of one embedded request or reply of n bytes: tag, length
// byte, 32-bit length, the bytes, one pad byte when n is odd.
inline size_t res_embedded_size(uint32_t n) { return 6u + n + (n & 1u); }
// Writes tag, 4, BE32 n, then leaves room for n bytes (copied when data is not
// null) and the pad byte. Returns the bytes used (res_embedded_size).
HALVEX_API size_t res_embedded_put(uint8_t* out, uint8_t tag, const uint8_t* data, uint32_t n);

// Walks the embedded replies (or requests) of a multi frame's payload: bytes
// that do not start an item are skipped one by one; an item whose length runs
// past the end ends the walk.
class HALVEX_API CResEmbeddedWalker {
public:
    CResEmbeddedWalker(const uint8_t* data, size_t length, uint8_t tag = RES_EXT_REPLY)
        : m_data(data), m_length(length), m_pos(0), m_tag(tag) {}
    // Next item: its bytes and length. False at the end.
    bool Next(const uint8_t** item, uint32_t* length);

private:
    const uint8_t* m_data;
    size_t m_length;
    size_t m_pos;
    uint8_t m_tag;
};

// Decoded attribute record of one resource. Its byte layout is also used by
// the attribute request (bytes 1..7 and 16..21 travel there).
struct ResAttr {
    uint8_t type;
    uint8_t ownerGet, ownerSet, ownerCreate, ownerDelete;
    uint8_t subscrSupported, persistent, sync;
    uint32_t openCount;
    uint32_t numSubscr;
    uint8_t rename, notifyParent, hintHex, hintBin, hintTime, defaultHinted;
    uint8_t groupGet, groupSet, groupCreate, groupDelete;
    uint8_t otherGet, otherSet, otherCreate, otherDelete;
    uint8_t hidden;
    uint16_t ownerUid;
    uint16_t ownerGid;
    uint32_t childCount;
    uint8_t hintTemperature;
};
static_assert(offsetof(ResAttr, openCount) == 8 && offsetof(ResAttr, rename) == 16,
              "attribute record layout");

constexpr int RES_ATTR_BLOCK_SIZE = 41;

// Decodes an attribute block (0x42 ...) of `length` bytes into a zeroed
// record, as far as the block reaches (older servers send shorter blocks).
HALVEX_API void res_attr_decode(const uint8_t* block, size_t length, ResAttr& attr);
// Encodes a full 41-byte attribute block from a record.
HALVEX_API void res_attr_encode(const ResAttr& attr, uint8_t* block);
// Attribute word (bits listed with CResource) from a record, and back.
HALVEX_API uint32_t res_attr_to_word(const ResAttr& attr);

// Maps an engine result to a library result code.
HALVEX_API uint32_t res_convert_errcode(int engine_result);

}  // namespace ZYRK

// Text of a result code: 0 and the text, or 0x640D0000 with *text unchanged.
HALVEX_C_API uint32_t res_interpret_errcode(uint32_t code, const char** text);
