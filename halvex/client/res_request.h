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

class CResRequest {
public:
    CResRequest(unsigned char* send, unsigned char version)
        : m_send(send), m_heap(nullptr), m_header(size_t(GetHeaderSize(version))) {}
    ~CResRequest() { std::free(m_heap); }
    CResRequest(const CResRequest&) = delete;
    CResRequest& operator=(const CResRequest&) = delete;

    // Room for `payload` bytes after the header; null when memory runs out.
    unsigned char* Payload(size_t payload) {
        std::free(m_heap);
        m_heap = nullptr;
        if (m_header + payload <= size_t(RES_BUFFER_SIZE)) return m_send + m_header;
        m_heap = static_cast<unsigned char*>(std::malloc(m_header + payload));
        return m_heap ? m_heap + m_header : nullptr;
    }
    unsigned char* Buffer() const { return m_heap ? m_heap : m_send; }
    bool OnHeap() const { return m_heap != nullptr; }

private:
    unsigned char* m_send;
    unsigned char* m_heap;
    size_t m_header;
};

// Writes request bytes in order: into room the caller sized beforehand
// (CResRequest::Payload), or at the end of a byte vector that grows with
// them, for requests assembled before their size is known.
class CResWriter {
public:
    explicit CResWriter(uint8_t* p) : m_p(p), m_out(nullptr), m_k(0) {}
    explicit CResWriter(std::vector<uint8_t>& out) : m_p(nullptr), m_out(&out), m_k(0) {}
    CResWriter& u8(uint8_t v) {
        *reserve(1) = v;
        return *this;
    }
    CResWriter& be16(uint16_t v) {
        res_put_be16(reserve(2), v);
        return *this;
    }
    CResWriter& be32(uint32_t v) {
        res_put_be32(reserve(4), v);
        return *this;
    }
    CResWriter& le32(uint32_t v) {
        uint8_t* p = reserve(4);
        for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
        return *this;
    }
    CResWriter& bytes(const void* d, size_t n) {
        uint8_t* p = reserve(n);
        if (n) std::memcpy(p, d, n);
        return *this;
    }
    CResWriter& zeros(size_t n) {
        uint8_t* p = reserve(n);
        if (n) std::memset(p, 0, n);
        return *this;
    }
    CResWriter& cstr(const char* s) {
        size_t n = s ? std::strlen(s) : 0;
        bytes(s, n);
        return u8(0);
    }
    CResWriter& lstr(const char* s) {
        size_t n = s ? std::strlen(s) : 0;
        u8(uint8_t(n));
        return bytes(s, n);
    }
    // Room for n bytes at the end; in a vector only until the next write.
    uint8_t* reserve(size_t n) {
        if (m_out) {
            const size_t at = m_out->size();
            m_out->resize(at + n);
            return m_out->data() + at;
        }
        uint8_t* at = m_p + m_k;
        m_k += n;
        return at;
    }
    // Bytes written; for a vector, all that it holds.
    size_t size() const { return m_out ? m_out->size() : m_k; }

private:
    uint8_t* m_p;
    std::vector<uint8_t>* m_out;
    size_t m_k;
};

// Decodes a ReadAttrDataLimits reply (0x0D or 0x0B form) of n bytes.
int res_decode_attr_data_limits(const unsigned char* reply, size_t n, uint8_t version, ResAttr& attr,
                                class CResourceValue& value);
uint8_t res_reply_kind_byte(int replyKind);

}  // namespace ZYRK
