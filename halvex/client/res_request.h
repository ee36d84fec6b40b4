// Request building for the protocol engine (internal): the payload goes into
// the caller's send buffer after the frame header, or into a heap buffer of
// the exact size when it does not fit, and a writer that fills it in order.
#pragma once

#include <halvex/client/res_protocol.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace ZYRK {

// Path (NUL): text and terminator.
inline size_t res_cstr_size(const char* s) { return (s ? std::strlen(s) : 0) + 1; }
// Path (length): one length byte and the text.
inline size_t res_lstr_size(const char* s) { return (s ? std::strlen(s) : 0) + 1; }
// A text longer than 255 characters cannot travel behind a length byte.
inline bool res_lstr_ok(const char* s) { return (s ? std::strlen(s) : 0) <= 255; }

// Writes request bytes in order: the fields of the shared big-endian writer
// and the two text forms of requests. Either into room the caller sized
// beforehand (CResRequest::Writer), never beyond it, or at the end of a byte
// vector that grows with them, for requests assembled before their size is
// known. A write that does not fit (a room sized wrongly, or memory running
// out for a vector) writes nothing and leaves the writer !Ok().
class CResWriter {
public:
    CResWriter(uint8_t* room, size_t size) : m_w(room, size) {}
    explicit CResWriter(std::vector<uint8_t>& out) : m_w(out) {}

    CResWriter& U8(uint8_t v) { m_w.U8(v); return *this; }
    CResWriter& U16(uint16_t v) { m_w.U16(v); return *this; }
    CResWriter& U32(uint32_t v) { m_w.U32(v); return *this; }
    // Little-endian: a word that travels in the sender's byte order.
    CResWriter& U32LE(uint32_t v) { m_w.U32LE(v); return *this; }
    CResWriter& Bytes(const void* data, size_t n) { m_w.Bytes(data, n); return *this; }
    CResWriter& Zeros(size_t n) { m_w.Zeros(n); return *this; }
    // Text and terminator.
    CResWriter& Cstr(const char* s) { return Bytes(s, s ? std::strlen(s) : 0).U8(0); }
    // One length byte and the text (callers check res_lstr_ok first).
    CResWriter& Lstr(const char* s) {
        const size_t n = s ? std::strlen(s) : 0;
        return U8(uint8_t(n)).Bytes(s, n);
    }
    // Room for the next n (> 0) bytes, which the caller fills; null when they
    // do not fit. In a vector only valid until the next write.
    uint8_t* Reserve(size_t n) { return m_w.Reserve(n); }
    // Overwrites a field written earlier (an offset known only later).
    bool U16At(size_t offset, uint16_t v) { return m_w.U16At(offset, v); }
    bool U32At(size_t offset, uint32_t v) { return m_w.U32At(offset, v); }

    // Bytes written by this writer.
    size_t Size() const { return m_w.Size(); }
    bool Ok() const { return m_w.Ok(); }

private:
    CBigEndianWriter m_w;
};

class CResRequest {
public:
    CResRequest(unsigned char* send, unsigned char version)
        : m_send(send), m_heap(nullptr), m_header(size_t(GetHeaderSize(version))), m_payload(0) {}
    ~CResRequest() { std::free(m_heap); }
    CResRequest(const CResRequest&) = delete;
    CResRequest& operator=(const CResRequest&) = delete;

    // Room for `payload` bytes after the header; null when memory runs out.
    unsigned char* Payload(size_t payload) {
        std::free(m_heap);
        m_heap = nullptr;
        m_payload = 0;
        unsigned char* at = nullptr;
        if (m_header + payload <= size_t(RES_BUFFER_SIZE)) {
            at = m_send + m_header;
        } else {
            m_heap = static_cast<unsigned char*>(std::malloc(m_header + payload));
            at = m_heap ? m_heap + m_header : nullptr;
        }
        if (at) m_payload = payload;
        return at;
    }
    // A writer over the room of the last Payload (none when it failed).
    CResWriter Writer() const { return CResWriter(m_payload ? Buffer() + m_header : nullptr, m_payload); }
    unsigned char* Buffer() const { return m_heap ? m_heap : m_send; }
    bool OnHeap() const { return m_heap != nullptr; }

private:
    unsigned char* m_send;
    unsigned char* m_heap;
    size_t m_header;
    size_t m_payload;
};

// Decodes a ReadAttrDataLimits reply (0x0D or 0x0B form) of n bytes.
int res_decode_attr_data_limits(const unsigned char* reply, size_t n, uint8_t version, ResAttr& attr,
                                class CResourceValue& value);
uint8_t res_reply_kind_byte(int replyKind);

}  // namespace ZYRK
