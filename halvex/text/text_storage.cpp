// CText's storage: the 8-bit buffer and the optional UTF-16 buffer, their
// capacity rule, and the copying and appending that keep both copies in
// step.
#include <halvex/text/text.h>

#include <halvex/text/text_internal.h>
#include <halvex/text/unicode_internal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using namespace ZYRK;
using namespace ZYRK::TextInternal;

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
