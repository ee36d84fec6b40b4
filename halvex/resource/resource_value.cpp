// CResourceValue: construction and destruction, changes of type and copy
// type, assignment, the display hint and the originator. Typed access, the
// transparent fragments, limits, copying and comparing live in the value_*
// files beside this one.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_storage_internal.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ZYRK {

using namespace ValueStorage;

namespace {

// Assignment of a number: the value takes its type (dropping data and
// limits), then the number.
template <class T>
CResourceValue& Assign(CResourceValue& v, VALUE_TYPE_T type, T number)
{
    v.SetType(type);
    v.Set(number);
    return v;
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
    m_origin.threadId = CallingThreadId();
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
    Fragment* f = NewFragment(data, static_cast<uint32_t>(length), copyType == COPY_TYPE_COPY);
    if (!f) {
        return;
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
// Hint and originator

unsigned long CResourceValue::SetHint(VALUE_HINT_T hint)
{
    m_hint = hint;
    return ERR_OK;
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

// ---------------------------------------------------------------------------
// Type, copy type and assignment

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
    return Assign(*this, VALUE_TYPE_BOOL, value);
}

CResourceValue& CResourceValue::operator=(int value)
{
    return Assign(*this, VALUE_TYPE_INT32, value);
}

CResourceValue& CResourceValue::operator=(unsigned long value)
{
    return Assign(*this, VALUE_TYPE_INT32, value);
}

CResourceValue& CResourceValue::operator=(double value)
{
    return Assign(*this, VALUE_TYPE_DOUBLE, value);
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

}  // namespace ZYRK
