// CText: numbers read from the text and printf-style formatting into it.
#include <halvex/text/text.h>

#include <halvex/text/numbers_internal.h>

#include <cfloat>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace ZYRK;

// ---------------------------------------------------------------------------
// Conversion

int CText::ToInt() const
{
    // A number beyond the int range gives the nearest int, never some other
    // number; a text without a number gives 0.
    int32_t v = 0;
    Numbers::ReadInt32(m_text, v);
    return v;
}

double CText::ToFloat() const
{
    char* copy = strdup(m_text);
    if (!copy) {
        return DBL_MIN;
    }
    if (char* comma = std::strchr(copy, ',')) {
        *comma = '.';
    }
    double v = 0.0;
    Numbers::ReadDouble(copy, v);
    std::free(copy);
    return v;
}

int CText::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int r = FormatV(format, args);
    va_end(args);
    return r;
}

int CText::FormatV(const char* format, va_list args)
{
    if (!format) {
        TextCopy("");
        return 0;
    }
    // Scratch buffer of 100 bytes, grown in steps of 100 until the output fits.
    size_t size = 100;
    for (;;) {
        char* buf = static_cast<char*>(std::malloc(size));
        if (!buf) {
            return -1;
        }
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(buf, size, format, copy);
        va_end(copy);
        if (n < 0) {
            std::free(buf);
            return -1;
        }
        if (static_cast<size_t>(n) < size) {
            TextCopy(buf, n);
            std::free(buf);
            return n;
        }
        std::free(buf);
        size = (static_cast<size_t>(n) / 100 + 1) * 100;
    }
}
