// Conversions between the library's three forms of text:
//   - 8-bit text: UTF-8 bytes (what CText keeps as its 8-bit copy, what the
//     display texts and res_handle_set take and give);
//   - UTF-16: char16_t code units in host byte order (CText's wide copy and
//     the value of a UTF-16 resource);
//   - wchar_t text: UTF-32 on this platform, only at the exported entry
//     points that name wchar_t.
// Every path of the library converts through these functions, so the same
// bad input gives the same result everywhere: whatever cannot be converted (a
// byte that starts no valid UTF-8 sequence, a lone surrogate, a wchar_t that
// is no Unicode scalar value) becomes U+FFFD, one per offending input byte or
// unit, and the conversion goes on after it. The work is done by glibc's
// iconv.
//
// The functions never throw; they return false only when memory runs out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ZYRK::Unicode {

constexpr char16_t kReplacement = 0xFFFD;

bool Utf8ToUtf16(std::string_view text, std::u16string& out) noexcept;
bool Utf16ToUtf8(std::u16string_view text, std::string& out) noexcept;
bool WideToUtf16(std::wstring_view text, std::u16string& out) noexcept;
bool Utf16ToWide(std::u16string_view text, std::wstring& out) noexcept;
// wchar_t text to 8-bit text (through UTF-16).
bool WideToUtf8(std::wstring_view text, std::string& out) noexcept;

// Units of a 0-terminated UTF-16 text before its terminator (0 for null).
size_t Length(const char16_t* text) noexcept;

bool IsHighSurrogate(char16_t unit) noexcept;
bool IsLowSurrogate(char16_t unit) noexcept;

// Case mapping of one code unit through the C library's wide-character
// classes; surrogates are left as they are.
char16_t ToLower(char16_t unit) noexcept;
char16_t ToUpper(char16_t unit) noexcept;
bool IsSpace(char16_t unit) noexcept;

// Unit-by-unit comparison (-1, 0, 1) in unsigned unit order, exact or with
// both sides mapped to lower case.
int Compare(std::u16string_view a, std::u16string_view b) noexcept;
int CompareNoCase(std::u16string_view a, std::u16string_view b) noexcept;

}  // namespace ZYRK::Unicode
