// CResourceValue: limits (an int32 or double range, a maximum text length or
// a list of allowed texts), set, read and handed out.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_storage_internal.h>
#include <halvex/text/unicode_internal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace ZYRK {

using namespace ValueStorage;

namespace {

// A malloc'd null-terminated list of the entries of `from`, each copied by
// dup (which mallocs); null when memory runs out.
template <class To, class From, class Dup>
To** CopyList(const From* const* from, Dup dup)
{
    size_t n = 0;
    while (from[n]) {
        ++n;
    }
    To** list = static_cast<To**>(std::calloc(n + 1, sizeof(To*)));
    for (size_t k = 0; list && k < n; ++k) {
        list[k] = dup(from[k]);
        if (!list[k]) {
            FreeList(list);
            return nullptr;
        }
    }
    return list;
}

// The checks of an allowed list handed to SetLimits: the value's type, then
// the list itself.
unsigned long ListArguments(bool rightType, const void* allowed)
{
    if (!rightType) {
        return ERR_RES_WRONG_TYPE;
    }
    return allowed ? ERR_OK : ERR_BAD_DATA;
}

// Hands out a range of the value's own.
template <class T>
unsigned long HandOutRange(bool rightType, bool hasLimits, T low, T high, T& min, T& max)
{
    if (!rightType) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!hasLimits) {
        return ERR_UNSUPPORTED;
    }
    min = low;
    max = high;
    return ERR_OK;
}

// Hands out an allowed list of the value's own, with its case flag.
template <class T>
unsigned long HandOutList(bool rightType, bool hasLimits, T** list, bool listCase, T*** allowed, bool& caseSensitive)
{
    if (!rightType) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!hasLimits || !list) {
        return ERR_UNSUPPORTED;
    }
    if (!allowed) {
        return ERR_BAD_DATA;
    }
    *allowed = list;
    caseSensitive = listCase;
    return ERR_OK;
}

}  // namespace

LIMIT_TYPE_T CResourceValue::LimitType() const
{
    if (!m_limits.has) {
        return LIMIT_TYPE_NONE;
    }
    switch (m_type) {
    case VALUE_TYPE_INT32:
        return LIMIT_TYPE_INT_RANGE;
    case VALUE_TYPE_DOUBLE:
        return LIMIT_TYPE_DOUBLE_RANGE;
    case VALUE_TYPE_ASCII:
        return m_limits.maxLength ? LIMIT_TYPE_ASCII_MAXLEN : LIMIT_TYPE_ASCII_LIST;
    case VALUE_TYPE_UNICODE:
        return m_limits.maxLength ? LIMIT_TYPE_UNICODE_MAXLEN : LIMIT_TYPE_UNICODE_LIST;
    default:
        return LIMIT_TYPE_NONE;
    }
}

unsigned long CResourceValue::SetLimits(int min, int max)
{
    if (m_type != VALUE_TYPE_INT32) {
        return ERR_RES_WRONG_TYPE;
    }
    m_limits.has = true;
    m_limits.imin = min;
    m_limits.imax = max;
    return ERR_OK;
}

unsigned long CResourceValue::SetLimits(double min, double max)
{
    if (m_type != VALUE_TYPE_DOUBLE) {
        return ERR_RES_WRONG_TYPE;
    }
    // A NaN bound would make every range check pass.
    if (std::isnan(min) || std::isnan(max)) {
        return ERR_BAD_DATA;
    }
    m_limits.has = true;
    m_limits.dmin = min;
    m_limits.dmax = max;
    return ERR_OK;
}

// Makes the given allowed list (malloc'd, now the value's) the limits, with
// the position of the current text in it.
unsigned long CResourceValue::AdoptList(char** alist, char16_t** ulist, wchar_t** wlist, int32_t index,
                                        bool caseSensitive)
{
    RemoveLimits();
    m_limits.has = true;
    m_limits.alist = alist;
    m_limits.ulist = ulist;
    m_limits.wlist = wlist;
    m_limits.allowedIndex = index;
    m_limits.caseSensitive = caseSensitive;
    return ERR_OK;
}

unsigned long CResourceValue::SetLimits(const char** allowed, bool caseSensitive)
{
    if (unsigned long r = ListArguments(m_type == VALUE_TYPE_ASCII, allowed)) {
        return r;
    }
    char** list = CopyList<char>(allowed, [](const char* entry) { return strdup(entry); });
    if (!list) {
        return ERR_NO_MEMORY;
    }
    const char* current = GetAscii();
    return AdoptList(list, nullptr, nullptr,
                     IndexOf(list, [current](const char* entry) { return std::strcmp(entry, current) == 0; }, true),
                     caseSensitive);
}

unsigned long CResourceValue::SetLimits(const char16_t** allowed, bool caseSensitive)
{
    if (unsigned long r = ListArguments(m_type == VALUE_TYPE_UNICODE, allowed)) {
        return r;
    }
    // The list itself, and its wchar_t form for the wchar_t GetLimits.
    char16_t** list =
        CopyList<char16_t>(allowed, [](const char16_t* entry) { return DupUnits(entry, Unicode::Length(entry)); });
    wchar_t** wlist =
        list ? CopyList<wchar_t>(list, [](const char16_t* entry) { return WideOf(entry, Unicode::Length(entry)); })
             : nullptr;
    if (!wlist) {
        FreeList(list);
        return ERR_NO_MEMORY;
    }
    const char16_t* current = m_data.u ? m_data.u : u"";
    return AdoptList(
        nullptr, list, wlist,
        IndexOf(list, [current](const char16_t* entry) { return Unicode::Compare(entry, current) == 0; }, true),
        caseSensitive);
}

unsigned long CResourceValue::SetLimits(const wchar_t** allowed, bool caseSensitive)
{
    if (unsigned long r = ListArguments(m_type == VALUE_TYPE_UNICODE, allowed)) {
        return r;
    }
    std::vector<std::u16string> entries;
    std::vector<const char16_t*> list;
    try {
        for (size_t k = 0; allowed[k]; ++k) {
            entries.emplace_back();
            if (!Unicode::WideToUtf16(allowed[k], entries.back())) {
                return ERR_NO_MEMORY;
            }
        }
        list = NullTerminated(entries);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    return SetLimits(list.data(), caseSensitive);
}

unsigned long CResourceValue::SetLimits(unsigned long maxLength)
{
    if (m_type != VALUE_TYPE_ASCII && m_type != VALUE_TYPE_UNICODE) {
        return ERR_RES_WRONG_TYPE;
    }
    RemoveLimits();
    m_limits.has = true;
    m_limits.maxLength = static_cast<uint32_t>(std::min<unsigned long>(maxLength, UINT32_MAX));
    return ERR_OK;
}

unsigned long CResourceValue::SetLimits(const CResourceValue& other)
{
    if (&other == this) {
        return ERR_OK;
    }
    if (m_type != other.m_type) {
        return ERR_RES_WRONG_TYPE;
    }
    RemoveLimits();
    if (!other.m_limits.has) {
        return ERR_OK;
    }
    switch (m_type) {
    case VALUE_TYPE_INT32:
        return SetLimits(static_cast<int>(other.m_limits.imin), static_cast<int>(other.m_limits.imax));
    case VALUE_TYPE_DOUBLE:
        return SetLimits(other.m_limits.dmin, other.m_limits.dmax);
    case VALUE_TYPE_ASCII:
    case VALUE_TYPE_UNICODE:
        // The other value is of the same type: only the list of that type
        // can be there.
        if (other.m_limits.maxLength) {
            return SetLimits(static_cast<unsigned long>(other.m_limits.maxLength));
        }
        if (other.m_limits.alist) {
            return SetLimits(const_cast<const char**>(other.m_limits.alist), other.m_limits.caseSensitive);
        }
        if (other.m_limits.ulist) {
            return SetLimits(const_cast<const char16_t**>(other.m_limits.ulist), other.m_limits.caseSensitive);
        }
        return ERR_OK;
    default:
        return ERR_OK;
    }
}

unsigned long CResourceValue::RemoveLimits()
{
    FreeList(m_limits.alist);
    FreeList(m_limits.ulist);
    FreeList(m_limits.wlist);
    std::memset(&m_limits, 0, sizeof m_limits);
    m_limits.allowedIndex = -1;
    return ERR_OK;
}

unsigned long CResourceValue::GetLimits(int& min, int& max) const
{
    return HandOutRange(m_type == VALUE_TYPE_INT32, m_limits.has, static_cast<int>(m_limits.imin),
                        static_cast<int>(m_limits.imax), min, max);
}

unsigned long CResourceValue::GetLimits(double& min, double& max) const
{
    return HandOutRange(m_type == VALUE_TYPE_DOUBLE, m_limits.has, m_limits.dmin, m_limits.dmax, min, max);
}

unsigned long CResourceValue::GetLimits(char*** allowed, bool& caseSensitive) const
{
    return HandOutList(m_type == VALUE_TYPE_ASCII, m_limits.has, m_limits.alist, m_limits.caseSensitive, allowed,
                       caseSensitive);
}

unsigned long CResourceValue::GetLimits(wchar_t*** allowed, bool& caseSensitive) const
{
    return HandOutList(m_type == VALUE_TYPE_UNICODE, m_limits.has, m_limits.wlist, m_limits.caseSensitive, allowed,
                       caseSensitive);
}

unsigned long CResourceValue::GetLimits(char16_t*** allowed, bool& caseSensitive) const
{
    return HandOutList(m_type == VALUE_TYPE_UNICODE, m_limits.has, m_limits.ulist, m_limits.caseSensitive, allowed,
                       caseSensitive);
}

unsigned long CResourceValue::GetLimits(unsigned long& maxLength) const
{
    if (m_type != VALUE_TYPE_ASCII && m_type != VALUE_TYPE_UNICODE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!m_limits.has || !m_limits.maxLength) {
        return ERR_UNSUPPORTED;
    }
    maxLength = m_limits.maxLength;
    return ERR_OK;
}

unsigned long CResourceValue::GetAllowedIndex(unsigned long& index) const
{
    if (m_type != VALUE_TYPE_ASCII && m_type != VALUE_TYPE_UNICODE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!m_limits.has) {
        return ERR_UNSUPPORTED;
    }
    if (m_limits.allowedIndex < 0) {
        return ERR_NOT_FOUND;
    }
    index = static_cast<unsigned long>(m_limits.allowedIndex);
    return ERR_OK;
}

}  // namespace ZYRK
