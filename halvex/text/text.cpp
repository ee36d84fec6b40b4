// CText: construction, assignment, access to the two copies (8-bit and
// UTF-16) and their sizes, and the wide state. How the copies are stored and
// kept in step is in text_storage.cpp; comparing and searching, editing and
// number conversions have files of their own beside this one.
#include <halvex/text/text.h>

#include <halvex/text/text_internal.h>
#include <halvex/text/unicode_internal.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

using namespace ZYRK;
using namespace ZYRK::TextInternal;

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
