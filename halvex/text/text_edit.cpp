// CText: editing (appending, replacing, case, reversing, trimming) and the
// free concatenation operators.
#include <halvex/text/text.h>

#include <halvex/text/text_internal.h>
#include <halvex/text/unicode_internal.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

using namespace ZYRK;
using namespace ZYRK::TextInternal;

// ---------------------------------------------------------------------------
// Editing

CText& CText::operator+=(const CText& other)
{
    if (other.m_wtext) {
        AppendWide(other.m_wtext, other.WideLength());
    } else {
        AppendNarrow(other.m_text, std::strlen(other.m_text));
    }
    return *this;
}

CText& CText::operator+=(const char* text)
{
    ConcatCopy(text);
    return *this;
}

CText& CText::operator+=(const wchar_t* text)
{
    ConcatCopy(text);
    return *this;
}

CText& CText::operator+=(const char16_t* text)
{
    ConcatCopy(text);
    return *this;
}

CText& CText::operator+=(char c)
{
    char s[2] = {c, 0};
    ConcatCopy(s);
    return *this;
}

CText& CText::operator+=(wchar_t c)
{
    wchar_t s[2] = {c, 0};
    ConcatCopy(s);
    return *this;
}

int CText::Replace(char from, char to)
{
    if (!from || !to) {
        return 0;
    }
    int count = 0;
    for (char* p = m_text; *p; ++p) {
        if (*p == from) {
            *p = to;
            ++count;
        }
    }
    return count;
}

int CText::Replace(wchar_t from, wchar_t to)
{
    if (!from || !to) {
        return 0;
    }
    AsUtf16();
    if (!m_wtext) {
        return 0;
    }
    std::u16string pattern = Utf16Of(std::wstring_view(&from, 1));
    std::u16string replacement = Utf16Of(std::wstring_view(&to, 1));
    int count = 0;
    if (pattern.size() == 1 && replacement.size() == 1) {
        for (char16_t* p = m_wtext; *p; ++p) {
            if (*p == pattern[0]) {
                *p = replacement[0];
                ++count;
            }
        }
        return count;
    }
    // A character outside the BMP takes two units: the length may change.
    std::u16string text(m_wtext);
    std::u16string out;
    for (size_t pos = 0;;) {
        size_t hit = text.find(pattern, pos);
        if (hit == std::u16string::npos) {
            out.append(text, pos, std::u16string::npos);
            break;
        }
        out.append(text, pos, hit - pos);
        out += replacement;
        pos = hit + pattern.size();
        ++count;
    }
    if (count && Reserve(CHAR_WIDE, out.size(), std::strlen(m_text))) {
        std::memcpy(m_wtext, out.c_str(), (out.size() + 1) * sizeof(char16_t));
    }
    return count;
}

int CText::Replace(const char* pattern, const char* replacement)
{
    if (!pattern || !*pattern) {
        return 0;
    }
    if (!replacement) {
        replacement = "";
    }
    size_t plen = std::strlen(pattern), rlen = std::strlen(replacement);
    size_t len = std::strlen(m_text);
    int count = 0;
    for (const char* p = std::strstr(m_text, pattern); p; p = std::strstr(p + plen, pattern)) {
        ++count;
    }
    if (count == 0) {
        return 0;
    }
    size_t newlen = len - count * plen + count * rlen;
    // Build the result in scratch storage: pattern and replacement may point
    // into this text.
    std::string out;
    out.reserve(newlen);
    const char* src = m_text;
    for (const char* p = std::strstr(src, pattern); p; p = std::strstr(src, pattern)) {
        out.append(src, static_cast<size_t>(p - src));
        out.append(replacement, rlen);
        src = p + plen;
    }
    out.append(src);
    if (newlen > len) {
        if (!Reserve(Type(), std::max(WideLength(), newlen), newlen)) {
            return 0;
        }
    }
    std::memcpy(m_text, out.c_str(), newlen + 1);
    return count;
}

void CText::MakeUpper()
{
    ChangeCase(true);
}

void CText::MakeLower()
{
    ChangeCase(false);
}

void CText::ChangeCase(bool upper)
{
    if (m_wtext) {
        for (char16_t* p = m_wtext; *p; ++p) {
            *p = upper ? Unicode::ToUpper(*p) : Unicode::ToLower(*p);
        }
        RefreshNarrowFromWide();
        return;
    }
    // Only ASCII bytes: the others belong to multibyte characters.
    for (char* p = m_text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (IsAscii(c)) {
            *p = static_cast<char>(upper ? std::toupper(c) : std::tolower(c));
        }
    }
}

void CText::MakeReverse()
{
    if (!m_wtext) {
        std::reverse(m_text, m_text + std::strlen(m_text));
        return;
    }
    size_t len = WideLength();
    std::reverse(m_wtext, m_wtext + len);
    // Surrogate pairs keep their order: a reversed pair reads low, high.
    for (size_t i = 0; i + 1 < len; ++i) {
        if (Unicode::IsLowSurrogate(m_wtext[i]) && Unicode::IsHighSurrogate(m_wtext[i + 1])) {
            std::swap(m_wtext[i], m_wtext[i + 1]);
            ++i;
        }
    }
    RefreshNarrowFromWide();
}

void CText::TrimLeft()
{
    if (m_wtext) {
        size_t i = 0;
        while (m_wtext[i] && Unicode::IsSpace(m_wtext[i])) {
            ++i;
        }
        std::memmove(m_wtext, m_wtext + i, (WideLength() - i + 1) * sizeof(char16_t));
        RefreshNarrowFromWide();
        return;
    }
    size_t i = 0;
    while (m_text[i] && IsAsciiSpace(m_text[i])) {
        ++i;
    }
    std::memmove(m_text, m_text + i, std::strlen(m_text + i) + 1);
}

void CText::TrimRight()
{
    if (m_wtext) {
        size_t n = WideLength();
        while (n && Unicode::IsSpace(m_wtext[n - 1])) {
            --n;
        }
        m_wtext[n] = 0;
        RefreshNarrowFromWide();
        return;
    }
    size_t n = std::strlen(m_text);
    while (n && IsAsciiSpace(m_text[n - 1])) {
        --n;
    }
    m_text[n] = 0;
}

bool CText::TrimLeft(int n)
{
    int len = GetLength();
    n = std::clamp(n, 0, len);
    if (m_wtext) {
        std::memmove(m_wtext, m_wtext + n, (static_cast<size_t>(len - n) + 1) * sizeof(char16_t));
        RefreshNarrowFromWide();
    } else {
        std::memmove(m_text, m_text + n, static_cast<size_t>(len - n) + 1);
    }
    return true;
}

bool CText::TrimRight(int n)
{
    int len = GetLength();
    n = std::clamp(n, 0, len);
    if (m_wtext) {
        m_wtext[len - n] = 0;
        RefreshNarrowFromWide();
    } else {
        m_text[len - n] = 0;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Concatenation

namespace {

template <class A, class B>
CText Joined(const A& a, const B& b)
{
    CText r(a);
    r += b;
    return r;
}

}  // namespace

CText operator+(const CText& a, const CText& b)
{
    return Joined(a, b);
}

CText operator+(const CText& a, const char* b)
{
    return Joined(a, b);
}

CText operator+(const char* a, const CText& b)
{
    return Joined(a, b);
}

CText operator+(const CText& a, const wchar_t* b)
{
    return Joined(a, b);
}

CText operator+(const wchar_t* a, const CText& b)
{
    return Joined(a, b);
}
