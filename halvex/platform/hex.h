// Hexadecimal text: bytes as pairs of digits and back, and result codes as
// the library prints them. One small piece for the library and the programs
// built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ZYRK {

// Two lower-case digits per byte, without separators: {0x0A, 0xFF} -> "0aff".
inline std::string hex_encode(const uint8_t* data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// The value of one hexadecimal digit of either case; -1 for any other
// character.
inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Bytes from pairs of digits (either case); false for an odd length or a
// character that is not a digit, out then holds nothing of use.
inline bool hex_decode(const std::string& text, std::vector<uint8_t>& out)
{
    if (text.size() % 2) {
        return false;
    }
    out.resize(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

// A result code as the library prints it: "0x" and eight upper-case digits.
inline std::string hex_code(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

}  // namespace ZYRK
