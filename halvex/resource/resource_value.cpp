#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/text/unicode_internal.h>

#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace ZYRK {

namespace {

const char kEmptyAscii[] = "";
const wchar_t kEmptyWide[] = L"";

// A fragment as this value allocates it: the exported record followed by the
// room of its storage, so that copying into the storage already present
// never shrinks it for good.
struct Fragment : TRANSPARENT_FRAGMENT_T {
    uint32_t capacity;
};

Fragment* NewFragment(char* data, uint32_t length)
{
    Fragment* f = new (std::nothrow) Fragment;
    if (f) {
        f->data = data;
        f->length = length;
        f->next = nullptr;
        f->capacity = length;
    }
    return f;
}

Fragment* AsFragment(TRANSPARENT_FRAGMENT_T* f)
{
    return static_cast<Fragment*>(f);
}

// The fragment whose storage holds p, or null.
const Fragment* FragmentHolding(const TRANSPARENT_FRAGMENT_T* first, const char* p)
{
    for (const TRANSPARENT_FRAGMENT_T* f = first; f && p; f = f->next) {
        const Fragment* frag = static_cast<const Fragment*>(f);
        if (frag->capacity && p >= frag->data && p < frag->data + frag->capacity) {
            return frag;
        }
    }
    return nullptr;
}

bool ValidCopyType(COPY_TYPE_T ct)
{
    return ct <= COPY_TYPE_EXISTING;
}

// A malloc'd copy of a 0-terminated UTF-16 text.
char16_t* DupUnits(const char16_t* units, size_t count)
{
    char16_t* p = static_cast<char16_t*>(std::malloc((count + 1) * sizeof(char16_t)));
    if (p) {
        std::memcpy(p, units, count * sizeof(char16_t));
        p[count] = 0;
    }
    return p;
}

// A malloc'd wchar_t form of UTF-16 units.
wchar_t* WideOf(const char16_t* units, size_t count)
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

template <class T>
void FreeList(T** list)
{
    if (list) {
        for (T** p = list; *p; ++p) {
            std::free(*p);
        }
        std::free(list);
    }
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

uint32_t FixedSize(VALUE_TYPE_T type)
{
    switch (type) {
    case VALUE_TYPE_BOOL:
        return 1;
    case VALUE_TYPE_INT32:
        return 4;
    case VALUE_TYPE_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

COPY_TYPE_T Stored(COPY_TYPE_T ct)
{
    return ct == COPY_TYPE_TAKEOVER ? COPY_TYPE_COPY : ct;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

void CResourceValue::Init(VALUE_TYPE_T type, VALUE_HINT_T hint)
{
    m_type = type;
    m_hint = hint;
    m_size = FixedSize(type);
    m_revision = 0;
    m_copyType = COPY_TYPE_COPY;
    std::memset(&m_data, 0, sizeof m_data);
    m_wide = nullptr;
    m_ownsBytes = false;
    std::memset(&m_limits, 0, sizeof m_limits);
    m_limits.allowedIndex = -1;
    InitOrigin();
    if (type == VALUE_TYPE_ASCII) {
        m_data.a = static_cast<char*>(std::calloc(1, 1));
        m_size = m_data.a ? 1 : 0;
    } else if (type == VALUE_TYPE_UNICODE) {
        m_data.u = static_cast<char16_t*>(std::calloc(1, sizeof(char16_t)));
        m_wide = static_cast<wchar_t*>(std::calloc(1, sizeof(wchar_t)));
        if (!m_data.u || !m_wide) {
            std::free(m_data.u);
            std::free(m_wide);
            m_data.u = nullptr;
            m_wide = nullptr;
        }
        m_size = m_data.u ? 2 : 0;
    }
}

void CResourceValue::InitOrigin()
{
    m_origin.address = 0;
    m_origin.port = 0;
    m_origin.threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
}

CResourceValue::CResourceValue() { Init(VALUE_TYPE_INT32, VALUE_HINT_NONE); }

CResourceValue::CResourceValue(VALUE_TYPE_T type) { Init(type, VALUE_HINT_NONE); }

CResourceValue::CResourceValue(bool value, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_BOOL, hint);
    m_data.b = value ? 1 : 0;
}

CResourceValue::CResourceValue(int value, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_INT32, hint);
    m_data.i = value;
}

CResourceValue::CResourceValue(unsigned long value, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_INT32, hint);
    // Stored with the same 32 bits; a number beyond 32 bits leaves 0.
    if (value <= UINT32_MAX) {
        m_data.i = static_cast<int32_t>(static_cast<uint32_t>(value));
    }
}

CResourceValue::CResourceValue(long value, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_INT32, hint);
    // As Set (long): a number beyond int32 is not cut down; it leaves 0.
    if (value >= INT32_MIN && value <= INT32_MAX) {
        m_data.i = static_cast<int32_t>(value);
    }
}

CResourceValue::CResourceValue(int value, int min, int max, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_INT32, hint);
    m_data.i = value;
    SetLimits(min, max);
}

CResourceValue::CResourceValue(double value, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_DOUBLE, hint);
    m_data.d = value;
}

CResourceValue::CResourceValue(double value, double min, double max, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_DOUBLE, hint);
    m_data.d = value;
    SetLimits(min, max);
}

CResourceValue::CResourceValue(const char* text, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_ASCII, hint);
    Set(text ? text : "");
}

CResourceValue::CResourceValue(const char* text, unsigned long maxLength, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_ASCII, hint);
    Set(text ? text : "");
    SetLimits(maxLength);
}

CResourceValue::CResourceValue(const char* text, const char** allowed, VALUE_HINT_T hint, bool caseSensitive)
{
    Init(VALUE_TYPE_ASCII, hint);
    Set(text ? text : "");
    SetLimits(allowed, caseSensitive);
}

CResourceValue::CResourceValue(const wchar_t* text, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_UNICODE, hint);
    Set(text ? text : L"");
}

CResourceValue::CResourceValue(const wchar_t* text, unsigned long maxLength, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_UNICODE, hint);
    Set(text ? text : L"");
    SetLimits(maxLength);
}

CResourceValue::CResourceValue(const wchar_t* text, const wchar_t** allowed, VALUE_HINT_T hint, bool caseSensitive)
{
    Init(VALUE_TYPE_UNICODE, hint);
    Set(text ? text : L"");
    SetLimits(allowed, caseSensitive);
}

CResourceValue::CResourceValue(const unsigned short* utf16, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_UNICODE, hint);
    if (utf16) {
        Set(utf16);
    }
}

CResourceValue::CResourceValue(const char16_t* utf16, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_UNICODE, hint);
    if (utf16) {
        Set(utf16);
    }
}

CResourceValue::CResourceValue(char* data, unsigned long length, COPY_TYPE_T copyType, VALUE_HINT_T hint,
                               unsigned long revision)
{
    Init(VALUE_TYPE_TRANSPARENT, hint);
    m_copyType = ValidCopyType(copyType) ? Stored(copyType) : COPY_TYPE_REFERENCE;
    m_revision = static_cast<uint32_t>(revision);
    if (!data || !ValidCopyType(copyType) || (copyType == COPY_TYPE_COPY && length == 0) || length > UINT32_MAX) {
        return;
    }
    Fragment* f = NewFragment(data, static_cast<uint32_t>(length));
    if (!f) {
        return;
    }
    if (copyType == COPY_TYPE_COPY) {
        f->data = static_cast<char*>(std::malloc(length));
        if (!f->data) {
            delete f;
            return;
        }
        std::memcpy(f->data, data, length);
    }
    m_ownsBytes = copyType == COPY_TYPE_COPY || copyType == COPY_TYPE_TAKEOVER;
    m_data.frag = f;
    m_size = static_cast<uint32_t>(length);
}

CResourceValue::CResourceValue(const CResourceValue& other)
{
    Init(other.m_type, other.m_hint);
    // Texts and transparent data start empty and are filled by Set below.
    if (m_type == VALUE_TYPE_ASCII || m_type == VALUE_TYPE_UNICODE) {
        ClearData();
    }
    m_copyType = other.m_copyType == COPY_TYPE_EXISTING ? COPY_TYPE_REFERENCE : other.m_copyType;
    Set(other, true);
    m_copyType = other.m_copyType;
    m_origin = other.m_origin;
}

CResourceValue::~CResourceValue()
{
    RemoveLimits();
    ClearData();
}

void CResourceValue::FreeFragments(TRANSPARENT_FRAGMENT_T* first, bool ownsBytes)
{
    while (first) {
        TRANSPARENT_FRAGMENT_T* next = first->next;
        if (ownsBytes) {
            std::free(first->data);
        }
        delete AsFragment(first);
        first = next;
    }
}

void CResourceValue::ClearData()
{
    switch (m_type) {
    case VALUE_TYPE_ASCII:
        std::free(m_data.a);
        break;
    case VALUE_TYPE_UNICODE:
        std::free(m_data.u);
        std::free(m_wide);
        m_wide = nullptr;
        break;
    case VALUE_TYPE_TRANSPARENT:
        FreeFragments(m_data.frag, m_ownsBytes);
        m_ownsBytes = false;
        break;
    default:
        break;
    }
    std::memset(&m_data, 0, sizeof m_data);
    m_size = 0;
}

// ---------------------------------------------------------------------------
// Reading

unsigned long CResourceValue::SetHint(VALUE_HINT_T hint)
{
    m_hint = hint;
    return ERR_OK;
}

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

unsigned long CResourceValue::GetTransparent(char** data, unsigned long& size, unsigned long& revision,
                                             COPY_TYPE_T copyType) const
{
    if (m_type != VALUE_TYPE_TRANSPARENT) {
        return ERR_ILLEGAL_MODE;
    }
    revision = m_revision;
    if (!data) {
        return ERR_BAD_DATA;
    }
    auto gather = [this](char* out) {
        size_t off = 0;
        for (const TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
            std::memcpy(out + off, f->data, f->length);
            off += f->length;
        }
    };
    bool hasData = m_data.frag && m_size;
    if (copyType == COPY_TYPE_COPY) {
        // The caller frees what it gets: never one of this value's pointers.
        if (!hasData) {
            *data = nullptr;
            size = 0;
            return ERR_OK;
        }
        size_t alloc = (static_cast<size_t>(m_size) + 3) & ~static_cast<size_t>(3);
        char* buf = static_cast<char*>(std::malloc(alloc));
        if (!buf) {
            return ERR_NO_MEMORY;
        }
        gather(buf);
        *data = buf;
        size = m_size;
        return ERR_OK;
    }
    if (copyType == COPY_TYPE_EXISTING) {
        // The caller's buffer stays the caller's.
        if (!hasData) {
            size = 0;
            return ERR_OK;
        }
        if (!*data || size < m_size) {
            return ERR_BAD_DATA;
        }
        gather(*data);
        size = m_size;
        return ERR_OK;
    }
    if (m_data.frag && !m_data.frag->next) {
        *data = m_data.frag->data;
        size = m_data.frag->length;
    } else {
        *data = nullptr;
        size = 0;
    }
    return ERR_OK;
}

unsigned long CResourceValue::GetTransparent(TRANSPARENT_FRAGMENT_T** first, unsigned long& size,
                                             unsigned long& revision) const
{
    if (m_type != VALUE_TYPE_TRANSPARENT) {
        return ERR_ILLEGAL_MODE;
    }
    if (first) {
        *first = m_data.frag;
    }
    size = m_size;
    revision = m_revision;
    return ERR_OK;
}

unsigned long CResourceValue::GetAsTransparent(char** data, unsigned long& size, COPY_TYPE_T copyType) const
{
    if (m_type == VALUE_TYPE_TRANSPARENT) {
        unsigned long revision = 0;
        return GetTransparent(data, size, revision, copyType);
    }
    if (!data) {
        return ERR_BAD_DATA;
    }
    const char* src = nullptr;
    switch (m_type) {
    case VALUE_TYPE_BOOL:
        src = reinterpret_cast<const char*>(&m_data.b);
        break;
    case VALUE_TYPE_INT32:
        src = reinterpret_cast<const char*>(&m_data.i);
        break;
    case VALUE_TYPE_DOUBLE:
        src = reinterpret_cast<const char*>(&m_data.d);
        break;
    case VALUE_TYPE_ASCII:
        src = m_data.a;
        break;
    case VALUE_TYPE_UNICODE:
        src = reinterpret_cast<const char*>(m_data.u);
        break;
    default:
        break;
    }
    switch (copyType) {
    case COPY_TYPE_REFERENCE:
        *data = const_cast<char*>(src);
        size = src ? m_size : 0;
        return ERR_OK;
    case COPY_TYPE_COPY: {
        if (!src || m_size == 0) {
            *data = nullptr;
            size = 0;
            return ERR_OK;
        }
        char* buf = static_cast<char*>(std::malloc(m_size));
        if (!buf) {
            return ERR_NO_MEMORY;
        }
        std::memcpy(buf, src, m_size);
        *data = buf;
        size = m_size;
        return ERR_OK;
    }
    case COPY_TYPE_EXISTING:
        if (!*data || size < m_size) {
            return ERR_BAD_DATA;
        }
        if (src) {
            std::memcpy(*data, src, m_size);
        }
        size = src ? m_size : 0;
        return ERR_OK;
    default:
        return ERR_OK;
    }
}

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

unsigned long CResourceValue::GetOriginator(ORIGINATOR_T& origin) const
{
    origin = m_origin;
    return ERR_OK;
}

unsigned long CResourceValue::SetOriginator(const ORIGINATOR_T& origin)
{
    m_origin = origin;
    return ERR_OK;
}

unsigned long CResourceValue::Compare(const CResourceValue& other) const
{
    if (m_type != other.m_type) {
        return ERR_RES_WRONG_TYPE;
    }
    switch (m_type) {
    case VALUE_TYPE_BOOL:
        return m_data.b == other.m_data.b ? 0 : 1;
    case VALUE_TYPE_INT32:
        return m_data.i == other.m_data.i ? 0 : 1;
    case VALUE_TYPE_DOUBLE:
        return m_data.d == other.m_data.d ? 0 : 1;
    case VALUE_TYPE_ASCII: {
        if (!m_data.a || !other.m_data.a) {
            return ERR_BAD_DATA;
        }
        int c = std::strcmp(m_data.a, other.m_data.a);
        return c == 0 ? 0 : (c < 0 ? 0xFFFFFFFFUL : 1);
    }
    case VALUE_TYPE_UNICODE: {
        if (!m_data.u || !other.m_data.u) {
            return ERR_BAD_DATA;
        }
        int c = Unicode::Compare(m_data.u, other.m_data.u);
        return c == 0 ? 0 : (c < 0 ? 0xFFFFFFFFUL : 1);
    }
    case VALUE_TYPE_TRANSPARENT: {
        char *pa = nullptr, *pb = nullptr;
        unsigned long sa = 0, sb = 0, ra = 0, rb = 0;
        if (GetTransparent(&pa, sa, ra, COPY_TYPE_REFERENCE) || other.GetTransparent(&pb, sb, rb, COPY_TYPE_REFERENCE)) {
            return 1;
        }
        if (m_size != other.m_size || ra != rb) {
            return 1;
        }
        if (m_size == 0) {
            return 0;
        }
        if (!pa || !pb || sa != m_size || sb != other.m_size) {
            return 1;
        }
        int c = std::memcmp(pa, pb, sa);
        return c == 0 ? 0 : (c < 0 ? 0xFFFFFFFFUL : 1);
    }
    default:
        return 1;
    }
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
        int32_t found = -1;
        for (int32_t k = 0; m_limits.alist[k]; ++k) {
            bool eq = m_limits.caseSensitive ? std::strcmp(m_limits.alist[k], text) == 0
                                             : strcasecmp(m_limits.alist[k], text) == 0;
            if (eq) {
                found = k;
                break;
            }
        }
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
        int32_t found = -1;
        for (int32_t k = 0; m_limits.ulist[k]; ++k) {
            bool eq = m_limits.caseSensitive ? Unicode::Compare(m_limits.ulist[k], text) == 0
                                             : Unicode::CompareNoCase(m_limits.ulist[k], text) == 0;
            if (eq) {
                found = k;
                break;
            }
        }
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

// Refuses a pointer into this value's own storage where taking it would
// make the value free or lose bytes it still holds, and a range that runs
// beyond the fragment it starts in.
unsigned long CResourceValue::CheckOwnPointer(const char* data, unsigned long length, COPY_TYPE_T copyType) const
{
    const Fragment* own = FragmentHolding(m_data.frag, data);
    if (!own) {
        return ERR_OK;
    }
    if (length > static_cast<unsigned long>(own->data + own->capacity - data)) {
        return ERR_BAD_POINTER;
    }
    if (m_ownsBytes && (copyType == COPY_TYPE_REFERENCE || copyType == COPY_TYPE_TAKEOVER)) {
        return ERR_BAD_POINTER;
    }
    return ERR_OK;
}

// Copies length bytes into the fragments present, in order, each up to the
// room of its storage.
unsigned long CResourceValue::CopyIntoStorage(const char* data, unsigned long length)
{
    unsigned long room = 0;
    for (TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
        room += AsFragment(f)->capacity;
    }
    if (room < length) {
        return ERR_BAD_DATA;
    }
    // The source may be these very fragments: copy it aside first.
    std::vector<char> aside;
    if (FragmentHolding(m_data.frag, data)) {
        try {
            aside.assign(data, data + length);
        } catch (const std::bad_alloc&) {
            return ERR_NO_MEMORY;
        }
        data = aside.data();
    }
    unsigned long off = 0;
    for (TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
        unsigned long n = std::min<unsigned long>(AsFragment(f)->capacity, length - off);
        std::memmove(f->data, data + off, n);
        f->length = static_cast<uint32_t>(n);
        off += n;
    }
    m_size = static_cast<uint32_t>(length);
    return ERR_OK;
}

unsigned long CResourceValue::Set(const char* data, unsigned long length, COPY_TYPE_T copyType,
                                  unsigned long revision)
{
    if (m_type != VALUE_TYPE_TRANSPARENT || !ValidCopyType(copyType) || length > UINT32_MAX || (length && !data)) {
        return ERR_BAD_DATA;
    }
    unsigned long r = length ? CheckOwnPointer(data, length, copyType) : ERR_OK;
    if (r != ERR_OK) {
        return r;
    }
    if (length == 0) {
        FreeFragments(m_data.frag, m_ownsBytes);
        m_data.frag = nullptr;
        m_size = 0;
        m_ownsBytes = false;
    } else if (copyType == COPY_TYPE_EXISTING) {
        // The storage and its ownership stay as they are.
        r = CopyIntoStorage(data, length);
        if (r != ERR_OK) {
            return r;
        }
    } else {
        Fragment* f = NewFragment(const_cast<char*>(data), static_cast<uint32_t>(length));
        if (!f) {
            return ERR_NO_MEMORY;
        }
        if (copyType == COPY_TYPE_COPY) {
            f->data = static_cast<char*>(std::malloc(length));
            if (!f->data) {
                delete f;
                return ERR_NO_MEMORY;
            }
            std::memcpy(f->data, data, length);
        }
        FreeFragments(m_data.frag, m_ownsBytes);
        m_data.frag = f;
        m_size = static_cast<uint32_t>(length);
        m_ownsBytes = copyType == COPY_TYPE_COPY || copyType == COPY_TYPE_TAKEOVER;
    }
    m_copyType = Stored(copyType);
    m_revision = static_cast<uint32_t>(revision);
    return ERR_OK;
}

unsigned long CResourceValue::AddFragment(const char* data, unsigned long length, COPY_TYPE_T copyType)
{
    if (m_type != VALUE_TYPE_TRANSPARENT) {
        return ERR_BAD_DATA;
    }
    if (!m_data.frag) {
        return Set(data, length, copyType, 0);
    }
    if (length == 0) {
        return ERR_OK;
    }
    if (!data || static_cast<uint64_t>(m_size) + length > UINT32_MAX) {
        return ERR_BAD_DATA;
    }
    // Owned fragments join owned bytes, referenced ones referenced bytes.
    bool owning = (copyType == COPY_TYPE_COPY || copyType == COPY_TYPE_TAKEOVER) && m_ownsBytes;
    bool referencing = copyType == COPY_TYPE_REFERENCE && !m_ownsBytes;
    if (!owning && !referencing) {
        return ERR_UNSUPPORTED;
    }
    unsigned long r = CheckOwnPointer(data, length, copyType);
    if (r != ERR_OK) {
        return r;
    }
    Fragment* f = NewFragment(const_cast<char*>(data), static_cast<uint32_t>(length));
    if (!f) {
        return ERR_NO_MEMORY;
    }
    if (copyType == COPY_TYPE_COPY) {
        f->data = static_cast<char*>(std::malloc(length));
        if (!f->data) {
            delete f;
            return ERR_NO_MEMORY;
        }
        std::memcpy(f->data, data, length);
    }
    TRANSPARENT_FRAGMENT_T* last = m_data.frag;
    while (last->next) {
        last = last->next;
    }
    last->next = f;
    m_size += static_cast<uint32_t>(length);
    return ERR_OK;
}

// Makes this value reference every fragment of the other one.
unsigned long CResourceValue::ReferenceFragments(const CResourceValue& other)
{
    if (!other.m_data.frag || other.m_size == 0) {
        return Set(nullptr, 0, COPY_TYPE_REFERENCE, other.m_revision);
    }
    Fragment* first = nullptr;
    Fragment** tail = &first;
    for (const TRANSPARENT_FRAGMENT_T* f = other.m_data.frag; f; f = f->next) {
        unsigned long r = CheckOwnPointer(f->data, f->length, COPY_TYPE_REFERENCE);
        Fragment* copy = r == ERR_OK ? NewFragment(f->data, f->length) : nullptr;
        if (!copy) {
            FreeFragments(first, false);
            return r != ERR_OK ? r : ERR_NO_MEMORY;
        }
        *tail = copy;
        tail = reinterpret_cast<Fragment**>(&copy->next);
    }
    FreeFragments(m_data.frag, m_ownsBytes);
    m_data.frag = first;
    m_size = other.m_size;
    m_ownsBytes = false;
    m_copyType = COPY_TYPE_REFERENCE;
    m_revision = other.m_revision;
    return ERR_OK;
}

unsigned long CResourceValue::Set(const CResourceValue& other, bool withHintAndLimits)
{
    if (&other == this) {
        return ERR_OK;
    }
    unsigned long r;
    switch (other.m_type) {
    case VALUE_TYPE_BOOL:
        r = Set(other.m_data.b != 0);
        break;
    case VALUE_TYPE_INT32:
        r = Set(static_cast<int>(other.m_data.i));
        break;
    case VALUE_TYPE_DOUBLE:
        r = Set(other.m_data.d);
        break;
    case VALUE_TYPE_ASCII:
        r = other.m_data.a ? Set(static_cast<const char*>(other.m_data.a)) : ERR_BAD_DATA;
        break;
    case VALUE_TYPE_UNICODE:
        r = other.m_data.u ? SetUnits(other.m_data.u) : ERR_BAD_DATA;
        break;
    case VALUE_TYPE_TRANSPARENT: {
        if (m_type != VALUE_TYPE_TRANSPARENT) {
            r = ERR_BAD_DATA;
            break;
        }
        if (m_copyType == COPY_TYPE_REFERENCE) {
            // A referencing value references the other's bytes, however many
            // fragments hold them.
            r = ReferenceFragments(other);
            break;
        }
        // An owning value gets its own copy; copy type 3 copies the joined
        // bytes into the storage already present.
        char* data = nullptr;
        unsigned long size = 0, revision = 0;
        r = other.GetTransparent(&data, size, revision, COPY_TYPE_COPY);
        if (r != ERR_OK) {
            break;
        }
        if (m_copyType == COPY_TYPE_EXISTING) {
            r = Set(data, size, COPY_TYPE_EXISTING, revision);
            std::free(data);
        } else {
            r = Set(data, size, COPY_TYPE_TAKEOVER, revision);
            if (r != ERR_OK || size == 0) {
                std::free(data);
            }
        }
        break;
    }
    default:
        r = ERR_BAD_DATA;
        break;
    }
    if (r == ERR_OK && withHintAndLimits) {
        SetHint(other.m_hint);
        SetLimits(other);
    }
    return r;
}

unsigned long CResourceValue::SetType(VALUE_TYPE_T type)
{
    RemoveLimits();
    ClearData();
    VALUE_HINT_T hint = m_hint;
    COPY_TYPE_T copyType = m_copyType;
    ORIGINATOR_T origin = m_origin;
    uint32_t revision = 0;
    Init(type, hint);
    m_copyType = copyType;
    m_origin = origin;
    m_revision = revision;
    return ERR_OK;
}

unsigned long CResourceValue::SetCopyType(COPY_TYPE_T copyType)
{
    if (!ValidCopyType(copyType)) {
        return ERR_BAD_DATA;
    }
    SetType(m_type);
    m_copyType = Stored(copyType);
    return ERR_OK;
}

unsigned long CResourceValue::ReinterpretCopyType(COPY_TYPE_T copyType)
{
    // The way the next data is taken; what the value owns stays recorded
    // apart, so this never makes it free or keep the wrong bytes.
    if (!ValidCopyType(copyType)) {
        return ERR_BAD_DATA;
    }
    m_copyType = Stored(copyType);
    return ERR_OK;
}

CResourceValue& CResourceValue::operator=(bool value)
{
    SetType(VALUE_TYPE_BOOL);
    Set(value);
    return *this;
}

CResourceValue& CResourceValue::operator=(int value)
{
    SetType(VALUE_TYPE_INT32);
    Set(value);
    return *this;
}

CResourceValue& CResourceValue::operator=(unsigned long value)
{
    SetType(VALUE_TYPE_INT32);
    Set(value);
    return *this;
}

CResourceValue& CResourceValue::operator=(double value)
{
    SetType(VALUE_TYPE_DOUBLE);
    Set(value);
    return *this;
}

CResourceValue& CResourceValue::operator=(const char* text)
{
    // The text may belong to this value: copy it before the type is reset.
    std::string copy = text ? text : "";
    SetType(VALUE_TYPE_ASCII);
    if (text) {
        Set(copy.c_str());
    }
    return *this;
}

CResourceValue& CResourceValue::operator=(const wchar_t* text)
{
    // The text may be this value's own (GetUnicode): copy it before the type
    // is reset.
    std::wstring copy = text ? text : L"";
    SetType(VALUE_TYPE_UNICODE);
    if (text) {
        Set(copy.c_str());
    }
    return *this;
}

CResourceValue& CResourceValue::operator=(const CResourceValue& other)
{
    if (&other != this) {
        SetType(other.m_type);
        Set(other, true);
    }
    return *this;
}

// ---------------------------------------------------------------------------
// Limits

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

unsigned long CResourceValue::SetLimits(const char** allowed, bool caseSensitive)
{
    if (m_type != VALUE_TYPE_ASCII) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!allowed) {
        return ERR_BAD_DATA;
    }
    size_t n = 0;
    while (allowed[n]) {
        ++n;
    }
    char** list = static_cast<char**>(std::calloc(n + 1, sizeof(char*)));
    if (!list) {
        return ERR_NO_MEMORY;
    }
    int32_t index = -1;
    for (size_t k = 0; k < n; ++k) {
        list[k] = strdup(allowed[k]);
        if (!list[k]) {
            FreeList(list);
            return ERR_NO_MEMORY;
        }
        if (std::strcmp(list[k], GetAscii()) == 0) {
            index = static_cast<int32_t>(k);
        }
    }
    RemoveLimits();
    m_limits.has = true;
    m_limits.alist = list;
    m_limits.maxLength = 0;
    m_limits.allowedIndex = index;
    m_limits.caseSensitive = caseSensitive;
    return ERR_OK;
}

unsigned long CResourceValue::SetLimits(const char16_t** allowed, bool caseSensitive)
{
    if (m_type != VALUE_TYPE_UNICODE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!allowed) {
        return ERR_BAD_DATA;
    }
    size_t n = 0;
    while (allowed[n]) {
        ++n;
    }
    // The list itself, and its wchar_t form for the wchar_t GetLimits.
    char16_t** list = static_cast<char16_t**>(std::calloc(n + 1, sizeof(char16_t*)));
    wchar_t** wlist = static_cast<wchar_t**>(std::calloc(n + 1, sizeof(wchar_t*)));
    if (!list || !wlist) {
        std::free(list);
        std::free(wlist);
        return ERR_NO_MEMORY;
    }
    const char16_t* current = m_data.u ? m_data.u : u"";
    int32_t index = -1;
    for (size_t k = 0; k < n; ++k) {
        size_t len = Unicode::Length(allowed[k]);
        list[k] = DupUnits(allowed[k], len);
        wlist[k] = list[k] ? WideOf(list[k], len) : nullptr;
        if (!list[k] || !wlist[k]) {
            FreeList(list);
            FreeList(wlist);
            return ERR_NO_MEMORY;
        }
        if (Unicode::Compare(list[k], current) == 0) {
            index = static_cast<int32_t>(k);
        }
    }
    RemoveLimits();
    m_limits.has = true;
    m_limits.ulist = list;
    m_limits.wlist = wlist;
    m_limits.maxLength = 0;
    m_limits.allowedIndex = index;
    m_limits.caseSensitive = caseSensitive;
    return ERR_OK;
}

unsigned long CResourceValue::SetLimits(const wchar_t** allowed, bool caseSensitive)
{
    if (m_type != VALUE_TYPE_UNICODE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!allowed) {
        return ERR_BAD_DATA;
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
        for (const std::u16string& e : entries) {
            list.push_back(e.c_str());
        }
        list.push_back(nullptr);
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
        if (other.m_limits.maxLength) {
            return SetLimits(static_cast<unsigned long>(other.m_limits.maxLength));
        }
        if (other.m_limits.alist) {
            return SetLimits(const_cast<const char**>(other.m_limits.alist), other.m_limits.caseSensitive);
        }
        return ERR_OK;
    case VALUE_TYPE_UNICODE:
        if (other.m_limits.maxLength) {
            return SetLimits(static_cast<unsigned long>(other.m_limits.maxLength));
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
    if (m_type != VALUE_TYPE_INT32) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!m_limits.has) {
        return ERR_UNSUPPORTED;
    }
    min = m_limits.imin;
    max = m_limits.imax;
    return ERR_OK;
}

unsigned long CResourceValue::GetLimits(double& min, double& max) const
{
    if (m_type != VALUE_TYPE_DOUBLE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!m_limits.has) {
        return ERR_UNSUPPORTED;
    }
    min = m_limits.dmin;
    max = m_limits.dmax;
    return ERR_OK;
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
