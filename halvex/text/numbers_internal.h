// Checked conversions between numbers and text. They read the way the
// scanf conversions the library has always used do ("%d", "%x", "%u", "%lf":
// leading white space skipped, the number ends where its characters end, what
// follows is not looked at), but a number that does not fit the target type
// is refused instead of being cut down to some other value. Reading and
// writing use the "C" numeric conventions ('.' as decimal point) whatever
// locale the program has set, so a value shown by the library reads back the
// same.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace ZYRK::Numbers {

enum class ReadResult {
    kOk,
    kNoNumber,    // no digits where the number should start; value untouched
    kOutOfRange,  // a number the type cannot hold; value gets the nearest one
};

// Decimal, optional sign: INT32_MIN..INT32_MAX.
ReadResult ReadInt32(const char* text, int32_t& value) noexcept;
// Decimal without sign: 0..UINT32_MAX.
ReadResult ReadUInt32(const char* text, uint32_t& value) noexcept;
// Hexadecimal digits (an optional "0x" before them): 0..0xFFFFFFFF.
ReadResult ReadHex32(const char* text, uint32_t& value) noexcept;
// Any form strtod reads; a finite text too large for a double is out of
// range, "inf" and "nan" are read as such.
ReadResult ReadDouble(const char* text, double& value) noexcept;

// printf into a string of whatever length the output needs, with the "C"
// numeric conventions. Empty when the format fails or memory runs out.
std::string Format(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args) noexcept;

}  // namespace ZYRK::Numbers
