#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/resource.h>

#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <string>

namespace ZYRK {

namespace {

const char kEmptyAscii[] = "";
const wchar_t kEmptyWide[] = L"";

size_t UnitLen(const unsigned short* u)
{
    size_t n = 0;
    while (u[n]) {
        ++n;
    }
    return n;
}

// UTF-16 code units of a wide (UTF-32) text; count units, terminated.
unsigned short* WideToUnits(const wchar_t* w, size_t maxUnits, size_t* outCount)
{
    size_t units = 0;
    for (const wchar_t* p = w; *p; ++p) {
        units += (static_cast<uint32_t>(*p) > 0xFFFF) ? 2 : 1;
    }
    unsigned short* out = static_cast<unsigned short*>(std::malloc((units + 1) * sizeof(unsigned short)));
    if (!out) {
        return nullptr;
    }
    size_t n = 0;
    for (const wchar_t* p = w; *p; ++p) {
        uint32_t c = static_cast<uint32_t>(*p);
        if (c > 0x10FFFF) {
            c = 0xFFFD;
        }
        if (c > 0xFFFF) {
            if (n + 2 > maxUnits) {
                break;
            }
            c -= 0x10000;
            out[n++] = static_cast<unsigned short>(0xD800 + (c >> 10));
            out[n++] = static_cast<unsigned short>(0xDC00 + (c & 0x3FF));
        } else {
            if (n + 1 > maxUnits) {
                break;
            }
            out[n++] = static_cast<unsigned short>(c);
        }
    }
    out[n] = 0;
    *outCount = n;
    return out;
}

// Wide (UTF-32) form of count UTF-16 code units, terminated.
wchar_t* UnitsToWide(const unsigned short* u, size_t count)
{
    wchar_t* out = static_cast<wchar_t*>(std::malloc((count + 1) * sizeof(wchar_t)));
    if (!out) {
        return nullptr;
    }
    size_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = u[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        }
        out[n++] = static_cast<wchar_t>(c);
    }
    out[n] = 0;
    return out;
}

// UTF-8 form of a wide text.
std::string WideToUtf8(const wchar_t* w)
{
    std::string s;
    for (; *w; ++w) {
        uint32_t c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += '?';
        }
    }
    return s;
}

char* Dup(const std::string& s)
{
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) {
        std::memcpy(p, s.c_str(), s.size() + 1);
    }
    return p;
}

std::string Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* fmt, ...)
{
    char buf[128];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) {
        return std::string();
    }
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

int WideCaseCompare(const wchar_t* a, const wchar_t* b)
{
    for (;; ++a, ++b) {
        wint_t ca = std::towlower(static_cast<wint_t>(*a)), cb = std::towlower(static_cast<wint_t>(*b));
        if (ca != cb || !ca) {
            return ca < cb ? -1 : (ca > cb ? 1 : 0);
        }
    }
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
        m_data.u = static_cast<unsigned short*>(std::calloc(1, sizeof(unsigned short)));
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
    m_data.i = static_cast<int32_t>(static_cast<uint32_t>(value));
}

CResourceValue::CResourceValue(long value, VALUE_HINT_T hint)
{
    Init(VALUE_TYPE_INT32, hint);
    m_data.i = static_cast<int32_t>(value);
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

CResourceValue::CResourceValue(char* data, unsigned long length, COPY_TYPE_T copyType, VALUE_HINT_T hint,
                               unsigned long revision)
{
    Init(VALUE_TYPE_TRANSPARENT, hint);
    m_copyType = Stored(copyType);
    m_revision = static_cast<uint32_t>(revision);
    if (!data || (copyType == COPY_TYPE_COPY && length == 0) || length > UINT32_MAX) {
        return;
    }
    TRANSPARENT_FRAGMENT_T* f = new (std::nothrow) TRANSPARENT_FRAGMENT_T{data, static_cast<uint32_t>(length), nullptr};
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

void CResourceValue::FreeFragments(TRANSPARENT_FRAGMENT_T* first, bool ownsBytes, const char* keep)
{
    while (first) {
        TRANSPARENT_FRAGMENT_T* next = first->next;
        // Bytes that are still referenced by the new data survive.
        bool inUse = keep && keep >= first->data && keep < first->data + first->length;
        if (ownsBytes && !inUse) {
            std::free(first->data);
        }
        delete first;
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
        FreeFragments(m_data.frag, m_ownsBytes, nullptr);
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

const unsigned short* CResourceValue::GetUTF16Ptr() const
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
    std::memcpy(buffer, m_data.u, m_size);
    return ERR_OK;
}

unsigned long CResourceValue::GetLength() const
{
    if (m_type == VALUE_TYPE_ASCII) {
        return m_data.a ? std::strlen(m_data.a) : 0;
    }
    if (m_type == VALUE_TYPE_UNICODE) {
        return m_data.u ? UnitLen(m_data.u) : 0;
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
    bool hasData = m_data.frag && m_size;
    if (hasData && copyType == COPY_TYPE_COPY) {
        size_t alloc = (static_cast<size_t>(m_size) + 3) & ~static_cast<size_t>(3);
        char* buf = static_cast<char*>(std::malloc(alloc));
        if (!buf) {
            return ERR_NO_MEMORY;
        }
        size_t off = 0;
        for (const TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
            std::memcpy(buf + off, f->data, f->length);
            off += f->length;
        }
        *data = buf;
        size = m_size;
        return ERR_OK;
    }
    if (hasData && copyType == COPY_TYPE_EXISTING) {
        if (!*data || size < m_size) {
            return ERR_BAD_DATA;
        }
        size_t off = 0;
        for (const TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
            std::memcpy(*data + off, f->data, f->length);
            off += f->length;
        }
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

unsigned long CResourceValue::GetAsAscii(char** text, bool useHint) const
{
    if (!text) {
        return ERR_BAD_DATA;
    }
    *text = nullptr;
    std::string s;
    switch (m_type) {
    case VALUE_TYPE_BOOL:
        if (useHint && m_hint == VALUE_HINT_ONOFF) {
            s = m_data.b ? "on" : "off";
        } else {
            s = m_data.b ? "true" : "false";
        }
        break;
    case VALUE_TYPE_INT32:
        if (useHint && m_hint == VALUE_HINT_HEX) {
            s = Printf("0x%x", static_cast<unsigned>(m_data.i));
        } else if (useHint && m_hint == VALUE_HINT_BINARY) {
            s = "0b";
            uint32_t v = static_cast<uint32_t>(m_data.i);
            for (int bit = 31; bit >= 0; --bit) {
                s += (v >> bit) & 1 ? '1' : '0';
                if (bit % 8 == 0 && bit != 0) {
                    s += ' ';
                }
            }
        } else if (useHint && m_hint == VALUE_HINT_TIME && m_data.i > 0) {
            time_t t = m_data.i;
            struct tm tmv {};
            if (localtime_r(&t, &tmv)) {
                s = Printf("%04ld-%02ld-%02ld %02ld:%02ld:%02ld", static_cast<long>(tmv.tm_year + 1900),
                           static_cast<long>(tmv.tm_mon + 1), static_cast<long>(tmv.tm_mday),
                           static_cast<long>(tmv.tm_hour), static_cast<long>(tmv.tm_min),
                           static_cast<long>(tmv.tm_sec));
            } else {
                s = Printf("%d", m_data.i);
            }
        } else {
            s = Printf("%d", m_data.i);
        }
        break;
    case VALUE_TYPE_DOUBLE:
        if (useHint && m_hint == VALUE_HINT_TEMPERATURE) {
            s = Printf("%.3lfC", m_data.d - 273.15);
        } else {
            s = Printf("%.8g", m_data.d);
        }
        break;
    case VALUE_TYPE_ASCII:
        s = GetAscii();
        break;
    case VALUE_TYPE_UNICODE:
        s = WideToUtf8(GetUnicode());
        break;
    case VALUE_TYPE_TRANSPARENT: {
        s = "<";
        unsigned shown = 0;
        if (m_data.frag) {
            for (; shown < 4 && shown < m_data.frag->length; ++shown) {
                if (shown) {
                    s += ' ';
                }
                s += Printf("0x%x", static_cast<unsigned char>(m_data.frag->data[shown]));
            }
        }
        s += m_size > shown ? "...>" : ">";
        break;
    }
    default:
        return ERR_OK;
    }
    *text = Dup(s);
    return *text ? ERR_OK : ERR_NO_MEMORY;
}

CText CResourceValue::GetAsAscii(bool useHint) const
{
    char* text = nullptr;
    CText result;
    if (GetAsAscii(&text, useHint) == ERR_OK && text) {
        result = text;
    }
    std::free(text);
    return result;
}

unsigned long CResourceValue::TypeAsAscii(TYPE_CONVERSION_T conversion, char** text) const
{
    if (!text) {
        return ERR_BAD_DATA;
    }
    const char* longName = "?";
    const char* shortName = "?";
    switch (m_type) {
    case VALUE_TYPE_BOOL: longName = "bool"; shortName = "b"; break;
    case VALUE_TYPE_INT32: longName = "int32"; shortName = "i"; break;
    case VALUE_TYPE_DOUBLE: longName = "double"; shortName = "d"; break;
    case VALUE_TYPE_ASCII: longName = "ascii"; shortName = "a"; break;
    case VALUE_TYPE_UNICODE: longName = "unicode"; shortName = "u"; break;
    case VALUE_TYPE_TRANSPARENT: longName = "transp"; shortName = "t"; break;
    default: break;
    }
    *text = Dup(conversion == TYPE_CONVERSION_SHORT ? shortName : longName);
    return *text ? ERR_OK : ERR_NO_MEMORY;
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
        const unsigned short* a = m_data.u;
        const unsigned short* b = other.m_data.u;
        while (*a && *a == *b) {
            ++a;
            ++b;
        }
        return *a == *b ? 0 : (*a < *b ? 0xFFFFFFFFUL : 1);
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
    if (m_limits.has && (value > m_limits.dmax || value < m_limits.dmin)) {
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

unsigned long CResourceValue::StoreUnits(const unsigned short* units, size_t count)
{
    if (count >= UINT32_MAX / 2) {
        return ERR_BAD_DATA;
    }
    wchar_t* wide = UnitsToWide(units, count);
    if (!wide) {
        return ERR_NO_MEMORY;
    }
    if (m_data.u && (count + 1) * 2 <= m_size) {
        std::memmove(m_data.u, units, count * 2);
        m_data.u[count] = 0;
    } else {
        unsigned short* buf = static_cast<unsigned short*>(std::malloc((count + 1) * 2));
        if (!buf) {
            std::free(wide);
            return ERR_NO_MEMORY;
        }
        std::memcpy(buf, units, count * 2);
        buf[count] = 0;
        std::free(m_data.u);
        m_data.u = buf;
    }
    std::free(m_wide);
    m_wide = wide;
    m_size = static_cast<uint32_t>((count + 1) * 2);
    return ERR_OK;
}

unsigned long CResourceValue::SetUnits(const unsigned short* units)
{
    if (m_type != VALUE_TYPE_UNICODE || !units) {
        return ERR_BAD_DATA;
    }
    size_t count = UnitLen(units);
    if (m_limits.has && m_limits.maxLength) {
        if (count > m_limits.maxLength) {
            count = m_limits.maxLength;
            // Never leave half of a surrogate pair at the end.
            if (count && units[count - 1] >= 0xD800 && units[count - 1] < 0xDC00) {
                --count;
            }
        }
        return StoreUnits(units, count);
    }
    if (m_limits.has && m_limits.wlist) {
        wchar_t* wide = UnitsToWide(units, count);
        if (!wide) {
            return ERR_NO_MEMORY;
        }
        int32_t found = -1;
        for (int32_t k = 0; m_limits.wlist[k]; ++k) {
            bool eq = m_limits.caseSensitive ? std::wcscmp(m_limits.wlist[k], wide) == 0
                                             : WideCaseCompare(m_limits.wlist[k], wide) == 0;
            if (eq) {
                found = k;
                break;
            }
        }
        std::free(wide);
        if (found < 0) {
            return ERR_OUT_OF_RANGE;
        }
        size_t n = 0;
        unsigned short* entry = WideToUnits(m_limits.wlist[found], SIZE_MAX, &n);
        if (!entry) {
            return ERR_NO_MEMORY;
        }
        unsigned long r = StoreUnits(entry, n);
        std::free(entry);
        if (r == ERR_OK) {
            m_limits.allowedIndex = found;
        }
        return r;
    }
    return StoreUnits(units, count);
}

unsigned long CResourceValue::Set(const unsigned short* utf16)
{
    return SetUnits(utf16);
}

unsigned long CResourceValue::Set(const wchar_t* text)
{
    if (m_type != VALUE_TYPE_UNICODE || !text) {
        return ERR_BAD_DATA;
    }
    size_t n = 0;
    unsigned short* units = WideToUnits(text, SIZE_MAX, &n);
    if (!units) {
        return ERR_NO_MEMORY;
    }
    unsigned long r = SetUnits(units);
    std::free(units);
    return r;
}

unsigned long CResourceValue::Set(const char* data, unsigned long length, COPY_TYPE_T copyType,
                                  unsigned long revision)
{
    if (m_type != VALUE_TYPE_TRANSPARENT || length > UINT32_MAX || (length && !data)) {
        return ERR_BAD_DATA;
    }
    TRANSPARENT_FRAGMENT_T* old = m_data.frag;
    bool oldOwns = m_ownsBytes;
    if (length == 0) {
        FreeFragments(old, oldOwns, nullptr);
        m_data.frag = nullptr;
        m_size = 0;
        m_ownsBytes = false;
    } else if (copyType == COPY_TYPE_EXISTING) {
        unsigned long room = 0;
        for (TRANSPARENT_FRAGMENT_T* f = old; f; f = f->next) {
            room += f->length;
        }
        if (room < length) {
            return ERR_BAD_DATA;
        }
        unsigned long off = 0;
        for (TRANSPARENT_FRAGMENT_T* f = old; f; f = f->next) {
            unsigned long n = std::min<unsigned long>(f->length, length - off);
            std::memmove(f->data, data + off, n);
            f->length = static_cast<uint32_t>(n);
            off += n;
        }
        m_size = static_cast<uint32_t>(length);
        // m_ownsBytes stays: the storage is the one already present.
    } else {
        TRANSPARENT_FRAGMENT_T* f = new (std::nothrow) TRANSPARENT_FRAGMENT_T{nullptr, static_cast<uint32_t>(length), nullptr};
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
        } else {
            f->data = const_cast<char*>(data);
        }
        FreeFragments(old, oldOwns, copyType == COPY_TYPE_COPY ? nullptr : data);
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
    bool owning = (copyType == COPY_TYPE_COPY || copyType == COPY_TYPE_TAKEOVER) && m_copyType == COPY_TYPE_COPY;
    bool referencing = copyType == COPY_TYPE_REFERENCE && m_copyType == COPY_TYPE_REFERENCE;
    if (!owning && !referencing) {
        return ERR_UNSUPPORTED;
    }
    TRANSPARENT_FRAGMENT_T* f = new (std::nothrow) TRANSPARENT_FRAGMENT_T{const_cast<char*>(data), static_cast<uint32_t>(length), nullptr};
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
        COPY_TYPE_T fetch = m_copyType == COPY_TYPE_EXISTING ? COPY_TYPE_REFERENCE : m_copyType;
        char* data = nullptr;
        unsigned long size = 0, revision = 0;
        r = other.GetTransparent(&data, size, revision, fetch);
        if (r != ERR_OK) {
            break;
        }
        COPY_TYPE_T store = m_copyType == COPY_TYPE_COPY ? COPY_TYPE_TAKEOVER : m_copyType;
        r = Set(data, size, store, revision);
        if (r != ERR_OK && fetch == COPY_TYPE_COPY) {
            std::free(data);
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
    SetType(m_type);
    m_copyType = Stored(copyType);
    return ERR_OK;
}

unsigned long CResourceValue::ReinterpretCopyType(COPY_TYPE_T copyType)
{
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
            for (size_t j = 0; j < k; ++j) {
                std::free(list[j]);
            }
            std::free(list);
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

unsigned long CResourceValue::SetLimits(const wchar_t** allowed, bool caseSensitive)
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
    wchar_t** list = static_cast<wchar_t**>(std::calloc(n + 1, sizeof(wchar_t*)));
    if (!list) {
        return ERR_NO_MEMORY;
    }
    int32_t index = -1;
    for (size_t k = 0; k < n; ++k) {
        list[k] = wcsdup(allowed[k]);
        if (!list[k]) {
            for (size_t j = 0; j < k; ++j) {
                std::free(list[j]);
            }
            std::free(list);
            return ERR_NO_MEMORY;
        }
        if (std::wcscmp(list[k], GetUnicode()) == 0) {
            index = static_cast<int32_t>(k);
        }
    }
    RemoveLimits();
    m_limits.has = true;
    m_limits.wlist = list;
    m_limits.maxLength = 0;
    m_limits.allowedIndex = index;
    m_limits.caseSensitive = caseSensitive;
    return ERR_OK;
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
        if (other.m_limits.wlist) {
            return SetLimits(const_cast<const wchar_t**>(other.m_limits.wlist), other.m_limits.caseSensitive);
        }
        return ERR_OK;
    default:
        return ERR_OK;
    }
}

unsigned long CResourceValue::RemoveLimits()
{
    if (m_limits.alist) {
        for (char** p = m_limits.alist; *p; ++p) {
            std::free(*p);
        }
        std::free(m_limits.alist);
    }
    if (m_limits.wlist) {
        for (wchar_t** p = m_limits.wlist; *p; ++p) {
            std::free(*p);
        }
        std::free(m_limits.wlist);
    }
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
    if (m_type != VALUE_TYPE_ASCII) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!m_limits.has || !m_limits.alist) {
        return ERR_UNSUPPORTED;
    }
    if (!allowed) {
        return ERR_BAD_DATA;
    }
    *allowed = m_limits.alist;
    caseSensitive = m_limits.caseSensitive;
    return ERR_OK;
}

unsigned long CResourceValue::GetLimits(wchar_t*** allowed, bool& caseSensitive) const
{
    if (m_type != VALUE_TYPE_UNICODE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (!m_limits.has || !m_limits.wlist) {
        return ERR_UNSUPPORTED;
    }
    if (!allowed) {
        return ERR_BAD_DATA;
    }
    *allowed = m_limits.wlist;
    caseSensitive = m_limits.caseSensitive;
    return ERR_OK;
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

unsigned long CResourceValue::GetLimitsAsAscii(char** text, bool useHint) const
{
    if (!text) {
        return ERR_BAD_DATA;
    }
    *text = nullptr;
    if (!m_limits.has) {
        return ERR_UNSUPPORTED;
    }
    std::string s;
    switch (m_type) {
    case VALUE_TYPE_INT32:
        if (useHint && m_hint == VALUE_HINT_HEX) {
            s = Printf("[0x%x, 0x%x]", static_cast<unsigned>(m_limits.imin), static_cast<unsigned>(m_limits.imax));
        } else {
            s = Printf("[%d, %d]", m_limits.imin, m_limits.imax);
        }
        break;
    case VALUE_TYPE_DOUBLE:
        s = Printf("[%.2g, %.2g]", m_limits.dmin, m_limits.dmax);
        break;
    case VALUE_TYPE_ASCII:
    case VALUE_TYPE_UNICODE:
        if (m_limits.maxLength) {
            s = Printf("[%u]", m_limits.maxLength);
        } else if (m_limits.alist || m_limits.wlist) {
            s = "[";
            size_t k = 0;
            if (m_limits.alist) {
                for (; m_limits.alist[k]; ++k) {
                    s += k ? " \"" : "\"";
                    s += m_limits.alist[k];
                    s += '"';
                }
            } else {
                for (; m_limits.wlist[k]; ++k) {
                    s += k ? " \"" : "\"";
                    s += WideToUtf8(m_limits.wlist[k]);
                    s += '"';
                }
            }
            s += "]";
        } else {
            return ERR_OK;
        }
        break;
    default:
        return ERR_OK;
    }
    *text = Dup(s);
    return *text ? ERR_OK : ERR_NO_MEMORY;
}

}  // namespace ZYRK

// ---------------------------------------------------------------------------
// Text input

using namespace ZYRK;

unsigned long res_handle_set(CResource* resource, const char* text, RES_WAIT_T wait)
{
    if (!resource || !text) {
        return ERR_BAD_DATA;
    }
    VALUE_TYPE_T type = VALUE_TYPE_INT32;
    unsigned long r = resource->ValueType(type);
    if (r != ERR_OK) {
        return r;
    }
    CResourceValue value(type);
    switch (type) {
    case VALUE_TYPE_BOOL:
        r = value.Set(strcasecmp(text, "true") == 0 || strcasecmp(text, "yes") == 0 || strcasecmp(text, "on") == 0);
        break;
    case VALUE_TYPE_INT32: {
        int v = 0;
        if (std::strncmp(text, "0x", 2) == 0) {
            unsigned u = 0;
            if (std::sscanf(text, "0x%x", &u) != 1) {
                return ERR_BAD_DATA;
            }
            v = static_cast<int>(u);
        } else if (std::sscanf(text, "%d", &v) != 1) {
            return ERR_BAD_DATA;
        }
        r = value.Set(v);
        break;
    }
    case VALUE_TYPE_DOUBLE: {
        double d = 0;
        if (std::sscanf(text, "%lf", &d) != 1) {
            return ERR_BAD_DATA;
        }
        r = value.Set(d);
        break;
    }
    case VALUE_TYPE_ASCII:
        r = value.Set(text);
        break;
    case VALUE_TYPE_UNICODE: {
        CText wide(text);
        r = value.Set(wide.AsWChar());
        break;
    }
    case VALUE_TYPE_TRANSPARENT: {
        std::string bytes;
        const char* p = text;
        for (;;) {
            while (*p == ' ' || *p == '\t') {
                ++p;
            }
            if (!*p) {
                break;
            }
            if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X') || !std::isxdigit(static_cast<unsigned char>(p[2]))) {
                return ERR_BAD_DATA;
            }
            char* end = nullptr;
            unsigned long b = std::strtoul(p + 2, &end, 16);
            if (b > 0xFF || (*end && *end != ' ' && *end != '\t')) {
                return ERR_BAD_DATA;
            }
            bytes += static_cast<char>(b);
            p = end;
        }
        r = value.Set(bytes.data(), bytes.size(), COPY_TYPE_COPY, 0);
        break;
    }
    default:
        return ERR_BAD_DATA;
    }
    if (r != ERR_OK) {
        return r;
    }
    value.SetHint(VALUE_HINT_NONE);
    return resource->Set(value, wait, 0, nullptr);
}
