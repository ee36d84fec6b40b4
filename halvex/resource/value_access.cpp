// CResourceValue: reading and writing the data by type (bool, int32,
// double, 8-bit text, UTF-16 text), with the range and allowed-list checks
// that a write of each type makes.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/value_storage_internal.h>
#include <halvex/text/unicode_internal.h>

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace ZYRK {

using namespace ValueStorage;

namespace {

const char kEmptyAscii[] = "";
const wchar_t kEmptyWide[] = L"";

}  // namespace

char16_t* ValueStorage::DupUnits(const char16_t* units, size_t count)
{
    char16_t* p = static_cast<char16_t*>(std::malloc((count + 1) * sizeof(char16_t)));
    if (p) {
        std::memcpy(p, units, count * sizeof(char16_t));
        p[count] = 0;
    }
    return p;
}

wchar_t* ValueStorage::WideOf(const char16_t* units, size_t count)
{
    std::wstring wide;
    if (!Unicode::Utf16ToWide(std::u16string_view(units, count), wide)) {
        return nullptr;
    }
    wchar_t* p = static_cast<wchar_t*>(std::malloc((wide.size() + 1) * sizeof(wchar_t)));
    if (p) {
        std::wmemcpy(p, wide.c_str(), wide.size() + 1);
    }
    return p;
}

// ---------------------------------------------------------------------------
// Reading

double CResourceValue::GetDouble() const
{
    return m_type == VALUE_TYPE_DOUBLE ? m_data.d : 0.0;
}

const char* CResourceValue::GetAscii() const
{
    return (m_type == VALUE_TYPE_ASCII && m_data.a) ? m_data.a : kEmptyAscii;
}

const wchar_t* CResourceValue::GetUnicode() const
{
    return (m_type == VALUE_TYPE_UNICODE && m_wide) ? m_wide : kEmptyWide;
}

const char16_t* CResourceValue::GetUTF16Ptr() const
{
    return m_type == VALUE_TYPE_UNICODE ? m_data.u : nullptr;
}

unsigned long CResourceValue::GetUTF16(unsigned short* buffer, unsigned long capacity) const
{
    if (m_type != VALUE_TYPE_UNICODE) {
        return ERR_ILLEGAL_MODE;
    }
    if (!m_data.u || !buffer || capacity < GetLength() + 1) {
        return ERR_BAD_DATA;
    }
    for (size_t i = 0; i < m_size / 2; ++i) {
        buffer[i] = m_data.u[i];
    }
    return ERR_OK;
}

unsigned long CResourceValue::GetLength() const
{
    if (m_type == VALUE_TYPE_ASCII) {
        return m_data.a ? std::strlen(m_data.a) : 0;
    }
    if (m_type == VALUE_TYPE_UNICODE) {
        return Unicode::Length(m_data.u);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Writing

unsigned long CResourceValue::Set(bool value)
{
    if (m_type != VALUE_TYPE_BOOL) {
        return ERR_BAD_DATA;
    }
    m_data.b = value ? 1 : 0;
    return ERR_OK;
}

unsigned long CResourceValue::Set(int value)
{
    if (m_type != VALUE_TYPE_INT32) {
        SysLogExt::PrintF(2, "ZYRK::CResourceValue::Set[%p](%d): ERR_BAD_DATA <= type=%d", static_cast<void*>(this),
                          value, static_cast<int>(m_type));
        return ERR_BAD_DATA;
    }
    if (m_limits.has && (value > m_limits.imax || value < m_limits.imin)) {
        SysLogExt::PrintF(2, "ZYRK::CResourceValue::Set[%p](%d): ERR_OUT_OF_RANGE <= limits={%d, %d}",
                          static_cast<void*>(this), value, m_limits.imin, m_limits.imax);
        return ERR_OUT_OF_RANGE;
    }
    m_data.i = value;
    return ERR_OK;
}

unsigned long CResourceValue::Set(long value)
{
    // A 32-bit long: values beyond int32 cannot be held.
    if (value > INT32_MAX || value < INT32_MIN) {
        return ERR_BAD_DATA;
    }
    return Set(static_cast<int>(value));
}

unsigned long CResourceValue::Set(unsigned long value)
{
    if (value >= 0x80000000UL) {
        return ERR_BAD_DATA;
    }
    return Set(static_cast<int>(value));
}

unsigned long CResourceValue::Set(double value)
{
    if (m_type != VALUE_TYPE_DOUBLE) {
        SysLogExt::PrintF(2, "ZYRK::CResourceValue::Set[%p](%g): ERR_BAD_DATA <= type=%d", static_cast<void*>(this),
                          value, static_cast<int>(m_type));
        return ERR_BAD_DATA;
    }
    // Written so that NaN, which compares false with everything, is outside.
    if (m_limits.has && !(value >= m_limits.dmin && value <= m_limits.dmax)) {
        SysLogExt::PrintF(2, "ZYRK::CResourceValue::Set[%p](%g): ERR_OUT_OF_RANGE <= limits={%g, %g}",
                          static_cast<void*>(this), value, m_limits.dmin, m_limits.dmax);
        return ERR_OUT_OF_RANGE;
    }
    m_data.d = value;
    return ERR_OK;
}

unsigned long CResourceValue::Set(const char* text)
{
    if (m_type != VALUE_TYPE_ASCII || !text) {
        return ERR_BAD_DATA;
    }
    const char* src = text;
    size_t len = std::strlen(text);
    int32_t index = m_limits.allowedIndex;
    if (m_limits.has && m_limits.maxLength) {
        len = std::min<size_t>(len, m_limits.maxLength);
    } else if (m_limits.has && m_limits.alist) {
        bool exact = m_limits.caseSensitive;
        int32_t found = IndexOf(m_limits.alist, [text, exact](const char* entry) {
            return (exact ? std::strcmp(entry, text) : strcasecmp(entry, text)) == 0;
        });
        if (found < 0) {
            return ERR_OUT_OF_RANGE;
        }
        src = m_limits.alist[found];
        len = std::strlen(src);
        index = found;
    }
    if (len >= UINT32_MAX) {
        return ERR_BAD_DATA;
    }
    if (m_data.a && len + 1 <= m_size) {
        std::memmove(m_data.a, src, len);
        m_data.a[len] = 0;
    } else {
        char* buf = static_cast<char*>(std::malloc(len + 1));
        if (!buf) {
            return ERR_NO_MEMORY;
        }
        std::memcpy(buf, src, len);
        buf[len] = 0;
        std::free(m_data.a);
        m_data.a = buf;
    }
    m_size = static_cast<uint32_t>(len + 1);
    m_limits.allowedIndex = index;
    return ERR_OK;
}

unsigned long CResourceValue::StoreUnits(const char16_t* units, size_t count)
{
    if (count >= UINT32_MAX / 2) {
        return ERR_BAD_DATA;
    }
    wchar_t* wide = WideOf(units, count);
    if (!wide) {
        return ERR_NO_MEMORY;
    }
    if (m_data.u && (count + 1) * 2 <= m_size) {
        std::memmove(m_data.u, units, count * sizeof(char16_t));
        m_data.u[count] = 0;
    } else {
        char16_t* buf = DupUnits(units, count);
        if (!buf) {
            std::free(wide);
            return ERR_NO_MEMORY;
        }
        std::free(m_data.u);
        m_data.u = buf;
    }
    std::free(m_wide);
    m_wide = wide;
    m_size = static_cast<uint32_t>((count + 1) * 2);
    return ERR_OK;
}

unsigned long CResourceValue::SetUnits(const char16_t* units)
{
    if (m_type != VALUE_TYPE_UNICODE || !units) {
        return ERR_BAD_DATA;
    }
    size_t count = Unicode::Length(units);
    if (m_limits.has && m_limits.maxLength) {
        if (count > m_limits.maxLength) {
            count = m_limits.maxLength;
            // Never leave half of a surrogate pair at the end.
            if (count && Unicode::IsHighSurrogate(units[count - 1])) {
                --count;
            }
        }
        return StoreUnits(units, count);
    }
    if (m_limits.has && m_limits.ulist) {
        std::u16string_view text(units, count);
        bool exact = m_limits.caseSensitive;
        int32_t found = IndexOf(m_limits.ulist, [text, exact](const char16_t* entry) {
            return (exact ? Unicode::Compare(entry, text) : Unicode::CompareNoCase(entry, text)) == 0;
        });
        if (found < 0) {
            return ERR_OUT_OF_RANGE;
        }
        const char16_t* entry = m_limits.ulist[found];
        unsigned long r = StoreUnits(entry, Unicode::Length(entry));
        if (r == ERR_OK) {
            m_limits.allowedIndex = found;
        }
        return r;
    }
    return StoreUnits(units, count);
}

unsigned long CResourceValue::Set(const char16_t* utf16)
{
    return SetUnits(utf16);
}

unsigned long CResourceValue::Set(const unsigned short* utf16)
{
    if (m_type != VALUE_TYPE_UNICODE || !utf16) {
        return ERR_BAD_DATA;
    }
    size_t count = 0;
    while (utf16[count]) {
        ++count;
    }
    std::u16string units(utf16, utf16 + count);
    return SetUnits(units.c_str());
}

unsigned long CResourceValue::Set(const wchar_t* text)
{
    if (m_type != VALUE_TYPE_UNICODE || !text) {
        return ERR_BAD_DATA;
    }
    std::u16string units;
    if (!Unicode::WideToUtf16(text, units)) {
        return ERR_NO_MEMORY;
    }
    return SetUnits(units.c_str());
}

}  // namespace ZYRK
