#include <halvex/text/numbers_internal.h>

#include <locale.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace ZYRK::Numbers {

namespace {

// The "C" numeric locale, made once for the whole process.
locale_t CNumericLocale()
{
    static const locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// Switches the calling thread to the "C" numeric conventions while it lives.
class CNumericScope {
public:
    CNumericScope() : m_previous(CNumericLocale() ? uselocale(CNumericLocale()) : nullptr) {}
    ~CNumericScope()
    {
        if (m_previous) {
            uselocale(m_previous);
        }
    }
    CNumericScope(const CNumericScope&) = delete;
    CNumericScope& operator=(const CNumericScope&) = delete;

private:
    locale_t m_previous;
};

const char* SkipSpace(const char* p)
{
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

// Reads an unsigned number in `base` after leading white space; it must
// start with a digit (no sign). For base 16 strtoull takes an optional "0x"
// itself, as "%x" does.
ReadResult ReadUnsigned(const char* text, int base, uint32_t& value)
{
    if (!text) {
        return ReadResult::kNoNumber;
    }
    const char* p = SkipSpace(text);
    unsigned char first = static_cast<unsigned char>(*p);
    if (!(base == 16 ? std::isxdigit(first) : std::isdigit(first))) {
        return ReadResult::kNoNumber;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(p, &end, base);
    if (end == p) {
        return ReadResult::kNoNumber;
    }
    if (errno == ERANGE || v > UINT32_MAX) {
        value = UINT32_MAX;
        return ReadResult::kOutOfRange;
    }
    value = static_cast<uint32_t>(v);
    return ReadResult::kOk;
}

}  // namespace

ReadResult ReadInt32(const char* text, int32_t& value) noexcept
{
    if (!text) {
        return ReadResult::kNoNumber;
    }
    const char* p = SkipSpace(text);
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) {
        return ReadResult::kNoNumber;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(p, &end, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
        value = v < 0 ? INT32_MIN : INT32_MAX;
        return ReadResult::kOutOfRange;
    }
    value = static_cast<int32_t>(v);
    return ReadResult::kOk;
}

ReadResult ReadUInt32(const char* text, uint32_t& value) noexcept
{
    return ReadUnsigned(text, 10, value);
}

ReadResult ReadHex32(const char* text, uint32_t& value) noexcept
{
    return ReadUnsigned(text, 16, value);
}

ReadResult ReadDouble(const char* text, double& value) noexcept
{
    if (!text || !CNumericLocale()) {
        return ReadResult::kNoNumber;
    }
    errno = 0;
    char* end = nullptr;
    double v = strtod_l(text, &end, CNumericLocale());
    if (end == text) {
        return ReadResult::kNoNumber;
    }
    // ERANGE also reports a result too small to be normal: that one is kept,
    // it is the nearest double. Only an overflow is refused.
    if (errno == ERANGE && std::isinf(v)) {
        value = v;
        return ReadResult::kOutOfRange;
    }
    value = v;
    return ReadResult::kOk;
}

std::string FormatV(const char* format, va_list args) noexcept
{
    if (!format) {
        return std::string();
    }
    CNumericScope scope;
    va_list measure;
    va_copy(measure, args);
    int n = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n < 0) {
        return std::string();
    }
    try {
        std::string out(static_cast<size_t>(n) + 1, '\0');
        va_list write;
        va_copy(write, args);
        std::vsnprintf(out.data(), out.size(), format, write);
        va_end(write);
        out.resize(static_cast<size_t>(n));
        return out;
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

std::string Format(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    std::string out = FormatV(format, args);
    va_end(args);
    return out;
}

}  // namespace ZYRK::Numbers
