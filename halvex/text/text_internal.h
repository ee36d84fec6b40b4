// Small pieces shared by the files that make up CText: the capacity a text
// needs, conversions of one piece of text between the 8-bit (UTF-8), UTF-16
// and wchar_t forms, and character classes of single bytes.
#pragma once

#include <halvex/text/unicode_internal.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

namespace ZYRK::TextInternal {

// Characters needed so that both units and bytes fit the capacity rule: the
// UTF-16 buffer holds capacity units, the 8-bit buffer capacity x 4 bytes.
inline unsigned long Need(size_t units, size_t bytes)
{
    return static_cast<unsigned long>(std::max(units, bytes / 4));
}

inline int Sign(int v)
{
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

inline bool IsAscii(unsigned char c)
{
    return c < 0x80;
}

inline bool IsAsciiSpace(char c)
{
    return IsAscii(static_cast<unsigned char>(c)) && std::isspace(static_cast<unsigned char>(c));
}

inline std::u16string Utf16Of(std::wstring_view text)
{
    std::u16string units;
    Unicode::WideToUtf16(text, units);
    return units;
}

inline std::string Utf8Of(std::u16string_view units)
{
    std::string bytes;
    Unicode::Utf16ToUtf8(units, bytes);
    return bytes;
}

// The 8-bit (UTF-8) form of one wchar_t character.
inline std::string Utf8Of(wchar_t c)
{
    return c ? Utf8Of(Utf16Of(std::wstring_view(&c, 1))) : std::string();
}

// Length of a wchar_t text, or of its first n characters (n < 0: all).
inline size_t WideLen(const wchar_t* text, int n)
{
    return n < 0 ? std::wcslen(text) : wcsnlen(text, static_cast<size_t>(n));
}

// Length of a UTF-16 text, or of its first n units (n < 0: all).
inline size_t UnitLen(const char16_t* text, int n)
{
    size_t len = Unicode::Length(text);
    return n < 0 ? len : std::min(len, static_cast<size_t>(n));
}

}  // namespace ZYRK::TextInternal
