#include <halvex/text/text.h>

#include <halvex/text/numbers_internal.h>
#include <halvex/text/unicode_internal.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

using namespace ZYRK;

namespace {

// Characters needed so that both units and bytes fit the capacity rule: the
// UTF-16 buffer holds capacity units, the 8-bit buffer capacity x 4 bytes.
unsigned long Need(size_t units, size_t bytes)
{
    return static_cast<unsigned long>(std::max(units, bytes / 4));
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

bool IsAscii(unsigned char c) { return c < 0x80; }

std::u16string Utf16Of(std::wstring_view text)
{
    std::u16string units;
    Unicode::WideToUtf16(text, units);
    return units;
}

std::string Utf8Of(std::u16string_view units)
{
    std::string bytes;
    Unicode::Utf16ToUtf8(units, bytes);
    return bytes;
}

// The 8-bit (UTF-8) form of one wchar_t character.
std::string Utf8Of(wchar_t c)
{
    return c ? Utf8Of(Utf16Of(std::wstring_view(&c, 1))) : std::string();
}

size_t WideLen(const wchar_t* text, int n)
{
    return n < 0 ? std::wcslen(text) : wcsnlen(text, static_cast<size_t>(n));
}

size_t UnitLen(const char16_t* text, int n)
{
    size_t len = Unicode::Length(text);
    return n < 0 ? len : std::min(len, static_cast<size_t>(n));
}

}  // namespace

// ---------------------------------------------------------------------------
// Buffer management

uint32_t CText::CapacityFor(unsigned long n)
{
    return static_cast<uint32_t>(((n + 1) & ~63UL) + 64);
}

size_t CText::WideLength() const
{
    return Unicode::Length(m_wtext);
}

// Replaces both buffers with new zeroed ones of the given capacity holding
// the given texts (wide null: 8-bit only). The sources may lie in the old
// buffers. Out of memory: false, the old buffers stay.
bool CText::Rebuild(uint32_t capacity, const char* narrow, size_t narrowLength, const char16_t* wide,
                    size_t wideLength)
{
    size_t bytes = static_cast<size_t>(capacity) * 4;
    if (narrowLength >= bytes || (wide && wideLength >= capacity)) {
        return false;
    }
    char* text = static_cast<char*>(std::calloc(bytes, 1));
    char16_t* wtext = nullptr;
    if (text && wide) {
        wtext = static_cast<char16_t*>(std::calloc(capacity, sizeof(char16_t)));
        if (!wtext) {
            std::free(text);
            text = nullptr;
        }
    }
    if (!text) {
        return false;
    }
    if (narrowLength) {
        std::memcpy(text, narrow, narrowLength);
    }
    if (wideLength) {
        std::memcpy(wtext, wide, wideLength * sizeof(char16_t));
    }
    std::free(m_text);
    std::free(m_wtext);
    m_text = text;
    m_wtext = wtext;
    m_capacity = capacity;
    return true;
}

void CText::AllocString(CHAR_TYPE_T type, unsigned long n)
{
    bool wide = type == CHAR_WIDE;
    if (m_text && n < m_capacity && (m_wtext != nullptr) == wide) {
        return;
    }
    Rebuild(CapacityFor(n), nullptr, 0, wide ? u"" : nullptr, 0);
}

void CText::ReAllocString(CHAR_TYPE_T type, unsigned long n)
{
    if (!m_text) {
        AllocString(type, n);
        return;
    }
    size_t len8 = std::strlen(m_text);
    if (type != CHAR_WIDE) {
        if (n < m_capacity) {
            std::free(m_wtext);
            m_wtext = nullptr;
        } else {
            Rebuild(CapacityFor(n), m_text, len8, nullptr, 0);
        }
        return;
    }
    // Staying wide: both copies as they are.
    if (m_wtext) {
        size_t units = WideLength();
        unsigned long need = std::max<unsigned long>(n, Need(units, len8));
        if (need >= m_capacity) {
            Rebuild(CapacityFor(need), m_text, len8, m_wtext, units);
        }
        return;
    }
    // Becoming wide: the UTF-16 copy is the converted 8-bit text, and the
    // 8-bit copy the UTF-8 form of that, so that bytes which are no UTF-8
    // show as U+FFFD in both.
    std::u16string units;
    if (!Unicode::Utf8ToUtf16(std::string_view(m_text, len8), units)) {
        return;
    }
    std::string bytes = Utf8Of(units);
    unsigned long need = std::max<unsigned long>(n, Need(units.size(), bytes.size()));
    Rebuild(need < m_capacity ? m_capacity : CapacityFor(need), bytes.data(), bytes.size(), units.data(),
            units.size());
}

bool CText::Reserve(CHAR_TYPE_T type, unsigned long chars, unsigned long bytes)
{
    ReAllocString(type, Need(chars, bytes));
    return Need(chars, bytes) < m_capacity && ((m_wtext != nullptr) == (type == CHAR_WIDE));
}

void CText::RefreshNarrowFromWide()
{
    if (!m_wtext) {
        return;
    }
    std::string bytes = Utf8Of(std::u16string_view(m_wtext));
    // Three bytes at most for each unit: always inside the capacity x 4 bytes.
    size_t n = std::min(bytes.size(), NarrowBytes() - 1);
    std::memcpy(m_text, bytes.data(), n);
    m_text[n] = 0;
}

// Makes the text the wide text of `count` units (which may lie in this text).
void CText::StoreWide(const char16_t* units, size_t count)
{
    std::u16string copy(units, count);
    std::string bytes = Utf8Of(copy);
    AllocString(CHAR_WIDE, Need(count, bytes.size()));
    if (!m_wtext || count >= m_capacity || bytes.size() >= NarrowBytes()) {
        return;  // out of memory
    }
    std::memcpy(m_wtext, copy.data(), count * sizeof(char16_t));
    m_wtext[count] = 0;
    std::memcpy(m_text, bytes.data(), bytes.size());
    m_text[bytes.size()] = 0;
}

void CText::TextCopy(const char* src, int n)
{
    if (!src) {
        src = "";
    }
    size_t len = n < 0 ? std::strlen(src) : strnlen(src, static_cast<size_t>(n));
    std::string copy(src, len);  // src may lie in this text
    AllocString(CHAR_8BIT, len);
    if (m_text && !m_wtext && len < NarrowBytes()) {
        std::memcpy(m_text, copy.data(), len);
        m_text[len] = 0;
    }
}

void CText::TextCopy(const wchar_t* src, int n)
{
    if (!src) {
        src = L"";
    }
    std::u16string units = Utf16Of(std::wstring_view(src, WideLen(src, n)));
    StoreWide(units.data(), units.size());
}

void CText::TextCopy(const char16_t* src, int n)
{
    if (!src) {
        src = u"";
    }
    StoreWide(src, UnitLen(src, n));
}

void CText::AppendNarrow(const char* src, size_t len)
{
    if (len == 0) {
        return;
    }
    std::string add(src, len);  // src may lie in this text
    if (m_wtext) {
        // A wide text takes the converted text into both copies.
        std::u16string units;
        if (Unicode::Utf8ToUtf16(add, units)) {
            AppendWide(units.data(), units.size());
        }
        return;
    }
    size_t cur8 = std::strlen(m_text);
    if (Reserve(CHAR_8BIT, cur8 + len, cur8 + len)) {
        std::memcpy(m_text + cur8, add.data(), len + 1);
    }
}

void CText::AppendWide(const char16_t* src, size_t count)
{
    std::u16string add(src, count);  // src may lie in this text
    std::string bytes = Utf8Of(add);
    if (!m_wtext) {
        ReAllocString(CHAR_WIDE, 0);
        if (!m_wtext) {
            return;  // out of memory
        }
    }
    size_t cur8 = std::strlen(m_text);
    size_t curw = WideLength();
    if (Reserve(CHAR_WIDE, curw + count, cur8 + bytes.size())) {
        // A lone high surrogate at the end and a lone low one at the start
        // of the added text join into one character.
        bool joins = curw && count && Unicode::IsHighSurrogate(m_wtext[curw - 1]) && Unicode::IsLowSurrogate(add[0]);
        std::memcpy(m_wtext + curw, add.data(), count * sizeof(char16_t));
        m_wtext[curw + count] = 0;
        if (joins) {
            RefreshNarrowFromWide();
        } else {
            std::memcpy(m_text + cur8, bytes.data(), bytes.size());
            m_text[cur8 + bytes.size()] = 0;
        }
    }
}

void CText::ConcatCopy(const char* src, int n)
{
    if (src) {
        AppendNarrow(src, n < 0 ? std::strlen(src) : strnlen(src, static_cast<size_t>(n)));
    }
}

void CText::ConcatCopy(const wchar_t* src, int n)
{
    if (src) {
        std::u16string units = Utf16Of(std::wstring_view(src, WideLen(src, n)));
        AppendWide(units.data(), units.size());
    }
}

void CText::ConcatCopy(const char16_t* src, int n)
{
    if (src) {
        AppendWide(src, UnitLen(src, n));
    }
}

// ---------------------------------------------------------------------------
// Construction and assignment

CText::CText() : m_capacity(0), m_text(nullptr), m_wtext(nullptr), m_wedge(nullptr)
{
    AllocString(CHAR_8BIT, 0);
}

CText::CText(const char* text) : CText()
{
    TextCopy(text);
}

CText::CText(const char* text, int n) : CText()
{
    TextCopy(text, n < 0 ? 0 : n);
}

CText::CText(char c, int n) : CText()
{
    if (n > 0 && c) {
        AllocString(CHAR_8BIT, static_cast<unsigned long>(n));
        if (static_cast<size_t>(n) < NarrowBytes()) {
            std::memset(m_text, c, static_cast<size_t>(n));
            m_text[n] = 0;
        }
    }
}

CText::CText(const wchar_t* text) : CText()
{
    TextCopy(text ? text : L"");
}

CText::CText(const wchar_t* text, int n) : CText()
{
    TextCopy(text ? text : L"", n < 0 ? 0 : n);
}

CText::CText(wchar_t c, int n) : CText()
{
    if (n < 0 || !c) {
        n = 0;
    }
    std::u16string one = Utf16Of(std::wstring_view(&c, c ? 1 : 0));
    std::u16string units;
    for (int i = 0; i < n; ++i) {
        units += one;
    }
    StoreWide(units.data(), units.size());
}

CText::CText(const char16_t* text) : CText()
{
    TextCopy(text ? text : u"");
}

CText::CText(const char16_t* text, int n) : CText()
{
    TextCopy(text ? text : u"", n < 0 ? 0 : n);
}

CText::CText(int value) : CText()
{
    Format("%d", value);
}

CText::CText(const CText& other) : CText()
{
    *this = other;
}

CText::~CText()
{
    std::free(m_text);
    std::free(m_wtext);
    std::free(m_wedge);
}

CText& CText::operator=(const CText& other)
{
    if (this == &other) {
        return *this;
    }
    if (other.m_wtext) {
        size_t len = other.WideLength();
        size_t bytes = std::strlen(other.m_text);
        AllocString(CHAR_WIDE, Need(len, bytes));
        if (m_wtext && Need(len, bytes) < m_capacity) {
            std::memcpy(m_wtext, other.m_wtext, (len + 1) * sizeof(char16_t));
            std::memcpy(m_text, other.m_text, bytes + 1);
        }
    } else {
        TextCopy(other.m_text);
    }
    return *this;
}

CText& CText::operator=(const char* text)
{
    TextCopy(text);
    return *this;
}

CText& CText::operator=(const wchar_t* text)
{
    TextCopy(text);
    return *this;
}

CText& CText::operator=(const char16_t* text)
{
    TextCopy(text);
    return *this;
}

// ---------------------------------------------------------------------------
// Access

const char16_t* CText::AsUtf16()
{
    if (!m_wtext) {
        ReAllocString(CHAR_WIDE, 0);
    }
    return m_wtext ? m_wtext : u"";
}

const wchar_t* CText::AsWChar()
{
    AsUtf16();
    const wchar_t* w = GetWChar();
    return w ? w : L"";
}

const wchar_t* CText::GetWChar() const
{
    if (!m_wtext) {
        return nullptr;
    }
    std::wstring wide;
    if (!Unicode::Utf16ToWide(std::u16string_view(m_wtext), wide)) {
        return m_wedge;
    }
    // Hand out the same pointer as long as the text has not changed.
    if (m_wedge && wide == m_wedge) {
        return m_wedge;
    }
    wchar_t* edge = static_cast<wchar_t*>(std::malloc((wide.size() + 1) * sizeof(wchar_t)));
    if (!edge) {
        return m_wedge;
    }
    std::wmemcpy(edge, wide.c_str(), wide.size() + 1);
    std::free(m_wedge);
    m_wedge = edge;
    return m_wedge;
}

char CText::GetAt(int index) const
{
    if (index < 0) {
        return 0;
    }
    size_t len8 = std::strlen(m_text);
    if (static_cast<size_t>(index) < len8) {
        return m_text[index];
    }
    if (m_wtext && static_cast<size_t>(index) < WideLength()) {
        char16_t unit = m_wtext[index];
        return unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return 0;
}

wchar_t CText::GetAtW(int index) const
{
    if (index < 0) {
        return 0;
    }
    if (m_wtext) {
        return static_cast<size_t>(index) < WideLength() ? static_cast<wchar_t>(m_wtext[index]) : 0;
    }
    std::u16string units;
    Unicode::Utf8ToUtf16(m_text, units);
    return static_cast<size_t>(index) < units.size() ? static_cast<wchar_t>(units[index]) : 0;
}

void CText::SetAt(int index, char c)
{
    if (index < 0 || !c) {
        return;
    }
    if (m_wtext) {
        // The UTF-16 copy leads; a byte on its own is a character only when
        // it is ASCII.
        if (static_cast<size_t>(index) < WideLength()) {
            m_wtext[index] = IsAscii(static_cast<unsigned char>(c)) ? static_cast<char16_t>(c) : Unicode::kReplacement;
            RefreshNarrowFromWide();
        }
        return;
    }
    if (static_cast<size_t>(index) < std::strlen(m_text)) {
        m_text[index] = c;
    }
}

void CText::SetAtW(int index, wchar_t c)
{
    // One position holds one code unit: characters beyond U+FFFF do not fit.
    if (index < 0 || !c || static_cast<uint32_t>(c) > 0xFFFF) {
        return;
    }
    if (!m_wtext) {
        if (static_cast<uint32_t>(c) < 0x80) {
            if (static_cast<size_t>(index) < std::strlen(m_text)) {
                m_text[index] = static_cast<char>(c);
            }
            return;
        }
        AsUtf16();  // only the UTF-16 copy can hold it
        if (!m_wtext) {
            return;
        }
    }
    if (static_cast<size_t>(index) < WideLength()) {
        m_wtext[index] = static_cast<char16_t>(c);
        RefreshNarrowFromWide();
    }
}

// ---------------------------------------------------------------------------
// Size and type

int CText::GetLength() const
{
    return static_cast<int>(m_wtext ? WideLength() : std::strlen(m_text));
}

int CText::GetLength(CHAR_TYPE_T type) const
{
    if (type == CHAR_WIDE) {
        return static_cast<int>(WideLength());
    }
    return static_cast<int>(std::strlen(m_text));
}

int CText::GetSizeInBytes() const
{
    return m_wtext ? static_cast<int>(2 * WideLength()) : static_cast<int>(std::strlen(m_text));
}

void CText::Empty()
{
    m_text[0] = 0;
    if (m_wtext) {
        m_wtext[0] = 0;
    }
}

void CText::SetType(CHAR_TYPE_T type)
{
    ReAllocString(type, m_capacity ? m_capacity - 1 : 0);
}

void CText::Sync(CHAR_TYPE_T type)
{
    if (type == CHAR_WIDE) {
        AsUtf16();
        RefreshNarrowFromWide();
    } else {
        SetType(CHAR_8BIT);
    }
}

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
    if (m_wtext) {
        for (char16_t* p = m_wtext; *p; ++p) {
            *p = Unicode::ToUpper(*p);
        }
        RefreshNarrowFromWide();
        return;
    }
    // Only ASCII bytes: the others belong to multibyte characters.
    for (char* p = m_text; *p; ++p) {
        if (IsAscii(static_cast<unsigned char>(*p))) {
            *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
        }
    }
}

void CText::MakeLower()
{
    if (m_wtext) {
        for (char16_t* p = m_wtext; *p; ++p) {
            *p = Unicode::ToLower(*p);
        }
        RefreshNarrowFromWide();
        return;
    }
    for (char* p = m_text; *p; ++p) {
        if (IsAscii(static_cast<unsigned char>(*p))) {
            *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
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

namespace {
bool IsAsciiSpace(char c)
{
    return IsAscii(static_cast<unsigned char>(c)) && std::isspace(static_cast<unsigned char>(c));
}
}  // namespace

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

// ---------------------------------------------------------------------------
// Concatenation

CText operator+(const CText& a, const CText& b)
{
    CText r(a);
    r += b;
    return r;
}

CText operator+(const CText& a, const char* b)
{
    CText r(a);
    r += b;
    return r;
}

CText operator+(const char* a, const CText& b)
{
    CText r(a);
    r += b;
    return r;
}

CText operator+(const CText& a, const wchar_t* b)
{
    CText r(a);
    r += b;
    return r;
}

CText operator+(const wchar_t* a, const CText& b)
{
    CText r(a);
    r += b;
    return r;
}
