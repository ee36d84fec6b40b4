// Big-endian fields of wire formats: the byte order of every frame the
// library and the program exchange, unless a format says otherwise.
//
// - be_put16/32/64, be_put_double and be_get16/32/64, be_get_double: one
//   field at a pointer; the caller has checked the room.
// - CBigEndianReader: reads fields in order from a span of bytes it does not
//   own. Every read checks that enough bytes are left; when they are not it
//   reads nothing, leaves the position where it was, returns false (or 0 for
//   the forms that return the field) and the reader stays !Ok(): every later
//   read fails too, so a chain of reads can be checked once at its end.
// - CBigEndianWriter: writes fields in order, either appended to a vector
//   (which grows) or into a buffer of fixed room. A write that does not fit
//   writes nothing and the writer stays !Ok(): every later write is refused.
//
// Both also read and write single fields little-endian (U16LE, U32LE) for the
// few formats that carry such fields beside big-endian ones.
//
// Header-only and free of the library's other parts, so that any code of the
// project can use it without linking halvex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <span>
#include <vector>

namespace ZYRK {

inline void be_put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void be_put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void be_put64(uint8_t* p, uint64_t v)
{
    be_put32(p, static_cast<uint32_t>(v >> 32));
    be_put32(p + 4, static_cast<uint32_t>(v));
}

// IEEE 754 binary64, most significant byte first.
inline void be_put_double(uint8_t* p, double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    be_put64(p, bits);
}

inline uint16_t be_get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t be_get32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline uint64_t be_get64(const uint8_t* p)
{
    return (static_cast<uint64_t>(be_get32(p)) << 32) | be_get32(p + 4);
}

inline double be_get_double(const uint8_t* p)
{
    uint64_t bits = be_get64(p);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

class CBigEndianReader {
public:
    CBigEndianReader(const uint8_t* data, size_t size) : m_data(data ? data : &kNothing), m_size(data ? size : 0) {}
    explicit CBigEndianReader(std::span<const uint8_t> bytes) : CBigEndianReader(bytes.data(), bytes.size()) {}

    // False once a read found not enough bytes.
    bool Ok() const { return m_ok; }
    size_t Position() const { return m_pos; }
    size_t Remaining() const { return m_size - m_pos; }
    bool Has(size_t n) const { return m_size - m_pos >= n; }
    // The bytes not read yet.
    const uint8_t* Here() const { return m_data + m_pos; }

    // Moves to an absolute position inside the span.
    bool Seek(size_t pos)
    {
        if (!m_ok || pos > m_size) {
            return Short();
        }
        m_pos = pos;
        return true;
    }
    bool Skip(size_t n) { return Take(n) != nullptr; }

    // The next n bytes (for n = 0 a valid pointer too), and the position
    // moves past them; null when fewer are left or an earlier read failed.
    const uint8_t* Take(size_t n)
    {
        if (!m_ok || !Has(n)) {
            Short();
            return nullptr;
        }
        const uint8_t* at = m_data + m_pos;
        m_pos += n;
        return at;
    }

    bool Bytes(void* out, size_t n)
    {
        const uint8_t* p = Take(n);
        if (p && n) {
            std::memcpy(out, p, n);
        }
        return p != nullptr;
    }

    bool U8(uint8_t& v) { return Field(1, v, [](const uint8_t* p) { return p[0]; }); }
    bool U16(uint16_t& v) { return Field(2, v, be_get16); }
    bool U32(uint32_t& v) { return Field(4, v, be_get32); }
    bool U64(uint64_t& v) { return Field(8, v, be_get64); }
    bool Double(double& v) { return Field(8, v, be_get_double); }
    bool U16LE(uint16_t& v)
    {
        return Field(2, v, [](const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); });
    }
    bool U32LE(uint32_t& v)
    {
        return Field(4, v, [](const uint8_t* p) {
            return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                   (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        });
    }

    // The same fields returned; 0 when not enough bytes are left.
    uint8_t U8() { return Value(&CBigEndianReader::U8); }
    uint16_t U16() { return Value(&CBigEndianReader::U16); }
    uint32_t U32() { return Value(&CBigEndianReader::U32); }
    uint64_t U64() { return Value(&CBigEndianReader::U64); }
    double Double() { return Value(&CBigEndianReader::Double); }

private:
    bool Short()
    {
        m_ok = false;
        return false;
    }
    template <class T, class Get>
    bool Field(size_t n, T& v, Get get)
    {
        const uint8_t* p = Take(n);
        if (p) {
            v = static_cast<T>(get(p));
        }
        return p != nullptr;
    }
    template <class T>
    T Value(bool (CBigEndianReader::*read)(T&))
    {
        T v{};
        (this->*read)(v);
        return v;
    }

    static constexpr uint8_t kNothing = 0;
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

class CBigEndianWriter {
public:
    // Appends to out, which grows as needed.
    explicit CBigEndianWriter(std::vector<uint8_t>& out) : m_vector(&out), m_start(out.size()) {}
    // Writes into buffer, never beyond capacity bytes.
    CBigEndianWriter(uint8_t* buffer, size_t capacity) : m_buffer(buffer), m_capacity(buffer ? capacity : 0) {}

    // False once a write did not fit.
    bool Ok() const { return m_ok; }
    // Bytes written by this writer.
    size_t Size() const { return m_vector ? m_vector->size() - m_start : m_size; }

    // Room for the next n (> 0) bytes, which the caller fills; the position
    // moves past them. Null when they do not fit. (A vector's room stays
    // valid only until the next write.)
    uint8_t* Reserve(size_t n)
    {
        if (m_ok && m_vector) {
            size_t at = m_vector->size();
            try {
                m_vector->resize(at + n);
                return m_vector->data() + at;
            } catch (const std::exception&) {  // out of memory, or beyond what a vector holds
            }
        } else if (m_ok && m_capacity - m_size >= n) {
            uint8_t* at = m_buffer + m_size;
            m_size += n;
            return at;
        }
        m_ok = false;
        return nullptr;
    }

    CBigEndianWriter& Bytes(const void* data, size_t n)
    {
        uint8_t* p = Reserve(n);
        if (p && n) {
            std::memcpy(p, data, n);
        }
        return *this;
    }
    CBigEndianWriter& Zeros(size_t n)
    {
        uint8_t* p = Reserve(n);
        if (p && n) {
            std::memset(p, 0, n);
        }
        return *this;
    }
    CBigEndianWriter& U8(uint8_t v) { return Field(1, v, [](uint8_t* p, uint8_t x) { p[0] = x; }); }
    CBigEndianWriter& U16(uint16_t v) { return Field(2, v, be_put16); }
    CBigEndianWriter& U32(uint32_t v) { return Field(4, v, be_put32); }
    CBigEndianWriter& U64(uint64_t v) { return Field(8, v, be_put64); }
    CBigEndianWriter& Double(double v) { return Field(8, v, be_put_double); }
    CBigEndianWriter& U16LE(uint16_t v)
    {
        return Field(2, v, [](uint8_t* p, uint16_t x) {
            p[0] = static_cast<uint8_t>(x);
            p[1] = static_cast<uint8_t>(x >> 8);
        });
    }
    CBigEndianWriter& U32LE(uint32_t v)
    {
        return Field(4, v, [](uint8_t* p, uint32_t x) {
            for (int i = 0; i < 4; ++i) {
                p[i] = static_cast<uint8_t>(x >> (8 * i));
            }
        });
    }

    // Overwrites a field written earlier (a length known only at the end);
    // false when it lies beyond what was written.
    bool U16At(size_t offset, uint16_t v) { return FieldAt(offset, 2, v, be_put16); }
    bool U32At(size_t offset, uint32_t v) { return FieldAt(offset, 4, v, be_put32); }

private:
    template <class T, class Put>
    CBigEndianWriter& Field(size_t n, T v, Put put)
    {
        if (uint8_t* p = Reserve(n)) {
            put(p, v);
        }
        return *this;
    }
    template <class T, class Put>
    bool FieldAt(size_t offset, size_t n, T v, Put put)
    {
        if (offset > Size() || Size() - offset < n) {
            return false;
        }
        put((m_vector ? m_vector->data() + m_start : m_buffer) + offset, v);
        return true;
    }

    std::vector<uint8_t>* m_vector = nullptr;
    size_t m_start = 0;
    uint8_t* m_buffer = nullptr;
    size_t m_capacity = 0;
    size_t m_size = 0;
    bool m_ok = true;
};

}  // namespace ZYRK
