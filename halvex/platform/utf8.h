// UTF-8 form of wide texts, one way for the whole library: code points up
// to 0x10FFFF in one to four bytes, anything beyond as "?".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ZYRK {

// Appends the UTF-8 bytes of one code point.
inline void utf8_append(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += '?';
    }
}

// The UTF-8 form of at most n wide characters of w, ending at its first 0.
inline std::string wide_to_utf8(const wchar_t* w, size_t n)
{
    std::string out;
    for (size_t i = 0; w && i < n && w[i]; ++i) {
        utf8_append(out, static_cast<uint32_t>(w[i]));
    }
    return out;
}

}  // namespace ZYRK
