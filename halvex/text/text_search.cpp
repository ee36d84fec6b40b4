// CText: comparison, search and pieces (Mid, Left, Right, spans).
#include <halvex/text/text.h>

#include <halvex/text/text_internal.h>
#include <halvex/text/unicode_internal.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

using namespace ZYRK;
using namespace ZYRK::TextInternal;

// ---------------------------------------------------------------------------
// Comparison

int CText::Compare(const CText& other) const
{
    return Sign(std::strcmp(m_text, other.m_text));
}

int CText::Compare(const char* text) const
{
    return text ? Sign(std::strcmp(m_text, text)) : 1;
}

int CText::Compare(const wchar_t* text) const
{
    if (!m_wtext || !text) {
        return -1;
    }
    return Unicode::Compare(m_wtext, Utf16Of(text));
}

int CText::CompareNoCase(const CText& other) const
{
    return Sign(strcasecmp(m_text, other.m_text));
}

int CText::CompareNoCase(const char* text) const
{
    return text ? Sign(strcasecmp(m_text, text)) : 1;
}

int CText::CompareNoCase(const wchar_t* text) const
{
    if (!m_wtext || !text) {
        return -1;
    }
    return Unicode::CompareNoCase(m_wtext, Utf16Of(text));
}

// ---------------------------------------------------------------------------
// Search

int CText::Find(char c, int start) const
{
    char pattern[2] = {c, 0};
    return Find(pattern, start);
}

int CText::Find(wchar_t c, int start) const
{
    return Find(Utf8Of(c).c_str(), start);
}

int CText::Find(const char* pattern, int start) const
{
    size_t len = std::strlen(m_text);
    if (!pattern || !*pattern || start < 0 || static_cast<size_t>(start) >= len) {
        return -1;
    }
    const char* p = std::strstr(m_text + start, pattern);
    return p ? static_cast<int>(p - m_text) : -1;
}

int CText::Find(const wchar_t* pattern, int start) const
{
    if (!pattern) {
        return -1;
    }
    return Find(Utf8Of(Utf16Of(pattern)).c_str(), start);
}

int CText::FindNoCase(const char* pattern, int start) const
{
    if (!pattern) {
        return -1;
    }
    CText hay(m_text), needle(pattern);
    hay.MakeLower();
    needle.MakeLower();
    return hay.Find(needle.m_text, start);
}

int CText::FindNoCase(const wchar_t* pattern, int start) const
{
    if (!pattern) {
        return -1;
    }
    return FindNoCase(Utf8Of(Utf16Of(pattern)).c_str(), start);
}

int CText::FindOneOf(const char* set) const
{
    if (!set || !*set) {
        return -1;
    }
    size_t pos = std::strcspn(m_text, set);
    return m_text[pos] ? static_cast<int>(pos) : -1;
}

int CText::ReverseFind(char c) const
{
    if (!c) {
        return -1;
    }
    const char* p = std::strrchr(m_text, c);
    return p ? static_cast<int>(p - m_text) : -1;
}

int CText::ReverseFind(wchar_t c) const
{
    std::string pattern = Utf8Of(c);
    if (pattern.empty()) {
        return -1;
    }
    size_t pos = std::string_view(m_text).rfind(pattern);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

// ---------------------------------------------------------------------------
// Pieces

CText CText::Mid(int start) const
{
    return Mid(start, INT_MAX);
}

CText CText::Mid(int start, int count) const
{
    int len = GetLength();
    if (start < 0) {
        start = 0;
    }
    if (start >= len || count <= 0) {
        return m_wtext ? CText(u"") : CText();
    }
    count = std::min(count, len - start);
    if (m_wtext) {
        return CText(m_wtext + start, count);
    }
    return CText(m_text + start, count);
}

CText CText::Left(int n) const
{
    if (n >= GetLength()) {
        return *this;
    }
    return Mid(0, n);
}

CText CText::Right(int n) const
{
    int len = GetLength();
    if (n >= len) {
        return *this;
    }
    if (n <= 0) {
        return Mid(len);
    }
    return Mid(len - n, n);
}

CText CText::SpanIncluding(const char* set) const
{
    if (!set) {
        return CText();
    }
    return CText(m_text, static_cast<int>(std::strspn(m_text, set)));
}

CText CText::SpanExcluding(const char* set) const
{
    if (!set) {
        return CText(*this);
    }
    return CText(m_text, static_cast<int>(std::strcspn(m_text, set)));
}
