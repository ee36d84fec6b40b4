#include <halvex/text/text.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <strings.h>

namespace {

// Converts the multibyte text src (len bytes) into at most cap - 1 wide
// characters at dst (terminated). Bytes the locale cannot convert are taken
// one by one as their own code, so nothing is dropped silently.
size_t NarrowToWide(const char* src, size_t len, wchar_t* dst, size_t cap)
{
    std::mbstate_t st{};
    size_t in = 0, out = 0;
    while (in < len && out + 1 < cap) {
        wchar_t wc = 0;
        size_t r = std::mbrtowc(&wc, src + in, len - in, &st);
        if (r == 0) {
            break;
        }
        if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
            st = std::mbstate_t{};
            wc = static_cast<unsigned char>(src[in]);
            r = 1;
        }
        dst[out++] = wc;
        in += r;
    }
    if (cap) {
        dst[out] = 0;
    }
    return out;
}

// Number of wide characters NarrowToWide makes of src.
size_t WideCount(const char* src, size_t len)
{
    std::mbstate_t st{};
    size_t in = 0, out = 0;
    while (in < len) {
        wchar_t wc = 0;
        size_t r = std::mbrtowc(&wc, src + in, len - in, &st);
        if (r == 0) {
            break;
        }
        if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
            st = std::mbstate_t{};
            r = 1;
        }
        ++out;
        in += r;
    }
    return out;
}

// Converts one wide character; characters the locale cannot express become
// the byte itself when below 256, else '?'.
size_t OneWideToNarrow(wchar_t wc, char* buf, std::mbstate_t* st)
{
    size_t r = std::wcrtomb(buf, wc, st);
    if (r == static_cast<size_t>(-1)) {
        *st = std::mbstate_t{};
        buf[0] = (wc >= 0 && wc < 256) ? static_cast<char>(wc) : '?';
        r = 1;
    }
    return r;
}

// Converts len wide characters of src into at most cap - 1 bytes at dst
// (terminated); stops before a character that does not fit.
size_t WideToNarrow(const wchar_t* src, size_t len, char* dst, size_t cap)
{
    std::mbstate_t st{};
    size_t out = 0;
    char buf[MB_LEN_MAX];
    for (size_t i = 0; i < len && src[i]; ++i) {
        std::mbstate_t save = st;
        size_t r = OneWideToNarrow(src[i], buf, &st);
        if (out + r + 1 > cap) {
            st = save;
            break;
        }
        std::memcpy(dst + out, buf, r);
        out += r;
    }
    if (cap) {
        dst[out] = 0;
    }
    return out;
}

size_t NarrowCount(const wchar_t* src, size_t len)
{
    std::mbstate_t st{};
    size_t out = 0;
    char buf[MB_LEN_MAX];
    for (size_t i = 0; i < len && src[i]; ++i) {
        out += OneWideToNarrow(src[i], buf, &st);
    }
    return out;
}

// Characters needed so that both chars and bytes fit the capacity rule.
unsigned long Need(size_t chars, size_t bytes)
{
    return static_cast<unsigned long>(std::max(chars, bytes / 4));
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

// ---------------------------------------------------------------------------
// Buffer management

uint32_t CText::CapacityFor(unsigned long n)
{
    return static_cast<uint32_t>(((n + 1) & ~63UL) + 64);
}

void CText::AllocString(CHAR_TYPE_T type, unsigned long n)
{
    bool wide = type == CHAR_WIDE;
    if (m_text && n < m_capacity && (m_wtext != nullptr) == wide) {
        return;
    }
    uint32_t cap = CapacityFor(n);
    char* text = static_cast<char*>(std::calloc(static_cast<size_t>(cap) * 4, 1));
    wchar_t* wtext = nullptr;
    if (text && wide) {
        wtext = static_cast<wchar_t*>(std::calloc(cap, sizeof(wchar_t)));
        if (!wtext) {
            std::free(text);
            text = nullptr;
        }
    }
    if (!text) {
        return;  // out of memory: the old buffers stay
    }
    std::free(m_text);
    std::free(m_wtext);
    m_text = text;
    m_wtext = wtext;
    m_capacity = cap;
}

void CText::ReAllocString(CHAR_TYPE_T type, unsigned long n)
{
    if (!m_text || n >= m_capacity) {
        uint32_t cap = CapacityFor(n);
        char* text = static_cast<char*>(std::calloc(static_cast<size_t>(cap) * 4, 1));
        if (!text) {
            return;
        }
        wchar_t* wtext = nullptr;
        if (m_wtext) {
            wtext = static_cast<wchar_t*>(std::calloc(cap, sizeof(wchar_t)));
            if (!wtext) {
                std::free(text);
                return;
            }
            std::wcscpy(wtext, m_wtext);
        }
        if (m_text) {
            std::strcpy(text, m_text);
        }
        std::free(m_text);
        std::free(m_wtext);
        m_text = text;
        m_wtext = wtext;
        m_capacity = cap;
    }
    if (type == CHAR_WIDE && !m_wtext) {
        wchar_t* wtext = static_cast<wchar_t*>(std::calloc(m_capacity, sizeof(wchar_t)));
        if (!wtext) {
            return;
        }
        m_wtext = wtext;
        RefreshWideFromNarrow();
    } else if (type == CHAR_8BIT && m_wtext) {
        std::free(m_wtext);
        m_wtext = nullptr;
    }
}

bool CText::Reserve(CHAR_TYPE_T type, unsigned long chars, unsigned long bytes)
{
    ReAllocString(type, Need(chars, bytes));
    return Need(chars, bytes) < m_capacity && ((m_wtext != nullptr) == (type == CHAR_WIDE));
}

void CText::RefreshNarrowFromWide()
{
    if (m_wtext) {
        WideToNarrow(m_wtext, std::wcslen(m_wtext), m_text, NarrowBytes());
    }
}

void CText::RefreshWideFromNarrow()
{
    if (m_wtext) {
        NarrowToWide(m_text, std::strlen(m_text), m_wtext, m_capacity);
    }
}

void CText::TextCopy(const char* src, int n)
{
    if (!src) {
        src = "";
    }
    size_t len = n < 0 ? std::strlen(src) : strnlen(src, static_cast<size_t>(n));
    char* tmp = nullptr;
    if (m_text && src >= m_text && src < m_text + NarrowBytes()) {
        tmp = static_cast<char*>(std::malloc(len + 1));
        if (!tmp) {
            return;
        }
        std::memcpy(tmp, src, len);
        src = tmp;
    }
    AllocString(CHAR_8BIT, len);
    if (m_text && len < NarrowBytes() && !m_wtext) {
        std::memcpy(m_text, src, len);
        m_text[len] = 0;
    }
    std::free(tmp);
}

void CText::TextCopy(const wchar_t* src, int n)
{
    if (!src) {
        src = L"";
    }
    size_t len = n < 0 ? std::wcslen(src) : wcsnlen(src, static_cast<size_t>(n));
    wchar_t* tmp = nullptr;
    if (m_wtext && src >= m_wtext && src < m_wtext + m_capacity) {
        tmp = static_cast<wchar_t*>(std::malloc((len + 1) * sizeof(wchar_t)));
        if (!tmp) {
            return;
        }
        std::wmemcpy(tmp, src, len);
        tmp[len] = 0;
        src = tmp;
    }
    size_t bytes = NarrowCount(src, len);
    AllocString(CHAR_WIDE, Need(len, bytes));
    if (m_wtext && len < m_capacity) {
        std::wmemcpy(m_wtext, src, len);
        m_wtext[len] = 0;
        RefreshNarrowFromWide();
    }
    std::free(tmp);
}

void CText::ConcatCopy(const char* src, int n)
{
    if (!src) {
        return;
    }
    size_t len = n < 0 ? std::strlen(src) : strnlen(src, static_cast<size_t>(n));
    if (len == 0) {
        return;
    }
    char* tmp = static_cast<char*>(std::malloc(len + 1));
    if (!tmp) {
        return;
    }
    std::memcpy(tmp, src, len);
    tmp[len] = 0;
    size_t cur8 = std::strlen(m_text);
    if (!m_wtext) {
        if (Reserve(CHAR_8BIT, cur8 + len, cur8 + len)) {
            std::memcpy(m_text + cur8, tmp, len + 1);
        }
    } else {
        size_t curw = std::wcslen(m_wtext);
        size_t addw = WideCount(tmp, len);
        if (Reserve(CHAR_WIDE, curw + addw, cur8 + len)) {
            std::memcpy(m_text + cur8, tmp, len + 1);
            NarrowToWide(tmp, len, m_wtext + curw, m_capacity - curw);
        }
    }
    std::free(tmp);
}

void CText::ConcatCopy(const wchar_t* src, int n)
{
    if (!src) {
        return;
    }
    size_t len = n < 0 ? std::wcslen(src) : wcsnlen(src, static_cast<size_t>(n));
    wchar_t* tmp = static_cast<wchar_t*>(std::malloc((len + 1) * sizeof(wchar_t)));
    if (!tmp) {
        return;
    }
    std::wmemcpy(tmp, src, len);
    tmp[len] = 0;
    size_t cur8 = std::strlen(m_text);
    size_t curw = m_wtext ? std::wcslen(m_wtext) : WideCount(m_text, cur8);
    size_t add8 = NarrowCount(tmp, len);
    if (Reserve(CHAR_WIDE, curw + len, cur8 + add8)) {
        curw = std::wcslen(m_wtext);
        std::wmemcpy(m_wtext + curw, tmp, len + 1);
        WideToNarrow(tmp, len, m_text + cur8, NarrowBytes() - cur8);
    }
    std::free(tmp);
}

// ---------------------------------------------------------------------------
// Construction and assignment

CText::CText() : m_capacity(0), m_text(nullptr), m_wtext(nullptr)
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
    char one[MB_LEN_MAX];
    std::mbstate_t st{};
    size_t bytes = OneWideToNarrow(c ? c : L' ', one, &st) * static_cast<size_t>(n);
    AllocString(CHAR_WIDE, Need(static_cast<size_t>(n), bytes));
    if (m_wtext && static_cast<unsigned long>(n) < m_capacity) {
        std::wmemset(m_wtext, c, static_cast<size_t>(n));
        m_wtext[n] = 0;
        RefreshNarrowFromWide();
    }
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
}

CText& CText::operator=(const CText& other)
{
    if (this == &other) {
        return *this;
    }
    if (other.m_wtext) {
        size_t len = std::wcslen(other.m_wtext);
        size_t bytes = std::strlen(other.m_text);
        AllocString(CHAR_WIDE, Need(len, bytes));
        if (m_wtext && Need(len, bytes) < m_capacity) {
            std::wmemcpy(m_wtext, other.m_wtext, len + 1);
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

// ---------------------------------------------------------------------------
// Access

const wchar_t* CText::AsWChar()
{
    if (!m_wtext) {
        size_t len8 = std::strlen(m_text);
        ReAllocString(CHAR_WIDE, Need(WideCount(m_text, len8), len8));
    }
    return m_wtext ? m_wtext : L"";
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
    if (m_wtext && static_cast<size_t>(index) < std::wcslen(m_wtext)) {
        char buf[MB_LEN_MAX];
        std::mbstate_t st{};
        OneWideToNarrow(m_wtext[index], buf, &st);
        return buf[0];
    }
    return 0;
}

wchar_t CText::GetAtW(int index) const
{
    if (index < 0) {
        return 0;
    }
    if (m_wtext) {
        return static_cast<size_t>(index) < std::wcslen(m_wtext) ? m_wtext[index] : 0;
    }
    return static_cast<size_t>(index) < std::strlen(m_text)
               ? static_cast<wchar_t>(static_cast<unsigned char>(m_text[index]))
               : 0;
}

void CText::SetAt(int index, char c)
{
    if (index < 0 || !c) {
        return;
    }
    if (static_cast<size_t>(index) < std::strlen(m_text)) {
        m_text[index] = c;
    }
    if (m_wtext && static_cast<size_t>(index) < std::wcslen(m_wtext)) {
        wint_t wc = std::btowc(static_cast<unsigned char>(c));
        m_wtext[index] = wc == WEOF ? static_cast<wchar_t>(static_cast<unsigned char>(c))
                                    : static_cast<wchar_t>(wc);
    }
}

void CText::SetAtW(int index, wchar_t c)
{
    if (index < 0 || !c) {
        return;
    }
    if (m_wtext && static_cast<size_t>(index) < std::wcslen(m_wtext)) {
        m_wtext[index] = c;
    }
    if (static_cast<size_t>(index) < std::strlen(m_text)) {
        char buf[MB_LEN_MAX];
        std::mbstate_t st{};
        size_t r = OneWideToNarrow(c, buf, &st);
        m_text[index] = r == 1 ? buf[0] : '?';
    }
}

// ---------------------------------------------------------------------------
// Size and type

int CText::GetLength() const
{
    return static_cast<int>(m_wtext ? std::wcslen(m_wtext) : std::strlen(m_text));
}

int CText::GetLength(CHAR_TYPE_T type) const
{
    if (type == CHAR_WIDE) {
        return m_wtext ? static_cast<int>(std::wcslen(m_wtext)) : 0;
    }
    return static_cast<int>(std::strlen(m_text));
}

int CText::GetSizeInBytes() const
{
    return m_wtext ? static_cast<int>(2 * std::wcslen(m_wtext)) : static_cast<int>(std::strlen(m_text));
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
        AsWChar();
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
    return Sign(std::wcscmp(m_wtext, text));
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
    size_t n = std::max(std::wcslen(m_wtext), std::wcslen(text));
    return Sign(wcsncasecmp(m_wtext, text, n));
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
    wchar_t pattern[2] = {c, 0};
    return Find(pattern, start);
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
    CText narrow(pattern);
    return Find(narrow.m_text, start);
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
    CText narrow(pattern);
    return FindNoCase(narrow.m_text, start);
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
    char buf[MB_LEN_MAX];
    std::mbstate_t st{};
    if (OneWideToNarrow(c, buf, &st) != 1) {
        return -1;
    }
    return ReverseFind(buf[0]);
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
        return m_wtext ? CText(L"") : CText();
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
        CText copy(other);
        ConcatCopy(copy.m_wtext);
    } else {
        ConcatCopy(other.m_text);
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
    AsWChar();
    if (!m_wtext) {
        return 0;
    }
    int count = 0;
    for (wchar_t* p = m_wtext; *p; ++p) {
        if (*p == from) {
            *p = to;
            ++count;
        }
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
    char* out = static_cast<char*>(std::malloc(newlen + 1));
    if (!out) {
        return 0;
    }
    char* o = out;
    const char* src = m_text;
    for (const char* p = std::strstr(src, pattern); p; p = std::strstr(src, pattern)) {
        std::memcpy(o, src, static_cast<size_t>(p - src));
        o += p - src;
        std::memcpy(o, replacement, rlen);
        o += rlen;
        src = p + plen;
    }
    std::strcpy(o, src);
    if (newlen > len) {
        size_t curw = m_wtext ? std::wcslen(m_wtext) : 0;
        if (!Reserve(Type(), std::max(curw, newlen), newlen)) {
            std::free(out);
            return 0;
        }
    }
    std::memcpy(m_text, out, newlen + 1);
    std::free(out);
    return count;
}

void CText::MakeUpper()
{
    for (char* p = m_text; *p; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    if (m_wtext) {
        for (wchar_t* p = m_wtext; *p; ++p) {
            *p = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(*p)));
        }
    }
}

void CText::MakeLower()
{
    for (char* p = m_text; *p; ++p) {
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    if (m_wtext) {
        for (wchar_t* p = m_wtext; *p; ++p) {
            *p = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(*p)));
        }
    }
}

void CText::MakeReverse()
{
    if (m_wtext) {
        std::reverse(m_wtext, m_wtext + std::wcslen(m_wtext));
        RefreshNarrowFromWide();
    } else {
        std::reverse(m_text, m_text + std::strlen(m_text));
    }
}

void CText::TrimLeft()
{
    if (m_wtext) {
        size_t i = 0;
        while (m_wtext[i] && std::iswspace(static_cast<wint_t>(m_wtext[i]))) {
            ++i;
        }
        std::wmemmove(m_wtext, m_wtext + i, std::wcslen(m_wtext + i) + 1);
        RefreshNarrowFromWide();
        return;
    }
    size_t i = 0;
    while (m_text[i] && std::isspace(static_cast<unsigned char>(m_text[i]))) {
        ++i;
    }
    std::memmove(m_text, m_text + i, std::strlen(m_text + i) + 1);
}

void CText::TrimRight()
{
    if (m_wtext) {
        size_t n = std::wcslen(m_wtext);
        while (n && std::iswspace(static_cast<wint_t>(m_wtext[n - 1]))) {
            --n;
        }
        m_wtext[n] = 0;
        RefreshNarrowFromWide();
        return;
    }
    size_t n = std::strlen(m_text);
    while (n && std::isspace(static_cast<unsigned char>(m_text[n - 1]))) {
        --n;
    }
    m_text[n] = 0;
}

bool CText::TrimLeft(int n)
{
    int len = GetLength();
    n = std::clamp(n, 0, len);
    if (m_wtext) {
        std::wmemmove(m_wtext, m_wtext + n, static_cast<size_t>(len - n) + 1);
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
    return std::atoi(m_text);
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
    double v = std::atof(copy);
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
