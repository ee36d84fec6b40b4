// Reads a fuzz input piece by piece; past its end every read gives zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Stops the run when a property does not hold, saying which one.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_p(data), m_left(size) {}

    bool More() const { return m_left > 0; }

    uint8_t Byte()
    {
        if (!m_left) {
            return 0;
        }
        --m_left;
        return *m_p++;
    }

    uint32_t U32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | Byte();
        }
        return v;
    }

    double Double()
    {
        uint64_t bits = (static_cast<uint64_t>(U32()) << 32) | U32();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    // Up to `max` bytes, the count taken from the input first.
    std::string Bytes(size_t max)
    {
        size_t n = Byte() % (max + 1);
        n = n < m_left ? n : m_left;
        std::string s(reinterpret_cast<const char*>(m_p), n);
        m_p += n;
        m_left -= n;
        return s;
    }

private:
    const uint8_t* m_p;
    size_t m_left;
};
