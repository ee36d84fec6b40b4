// CResourceValue: one typed value of a resource (bool, int32, double, 8-bit
// text, UTF-16 text or transparent bytes held in fragments), with a display
// hint, optional limits and the originator that produced it.
//
// Texts handed out by GetAsAscii, GetLimitsAsAscii, TypeAsAscii and the
// copies of GetTransparent/GetAsTransparent (copy type 1) are allocated with
// malloc: the caller releases them with free().
//
// A UTF-16 text is held as char16_t code units; its length and size count
// units. The wchar_t entry points (UTF-32 on this platform) convert at the
// edge, the 8-bit display text is UTF-8; what cannot be converted becomes
// U+FFFD. The units themselves travel unchanged.
//
// Transparent bytes: the value keeps one record of whether it owns the bytes
// of its fragments; that record alone decides what it frees and which
// fragments AddFragment accepts. The copy type is the way the next data is
// taken (and what the wire encoding looks at). A pointer into the value's own
// bytes is refused with 0x64070002 (bad pointer) where taking it would make
// the value free or lose them: a take-over or a reference of bytes it owns,
// or a range that runs beyond the fragment it starts in. Set and AddFragment
// with a take-over of 0 bytes take nothing: the caller keeps the pointer
// (the constructor takes it, as a fragment of 0 bytes).
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/resource/resource_types.h>
#include <halvex/text/text.h>

#include <cstdint>

namespace ZYRK {

class CResource;

// Who produced a value: IPv4 address, port and thread id.
struct ORIGINATOR_T {
    uint32_t address;
    uint16_t port;
    uint32_t threadId;
};

// One piece of transparent data; the chain ends with a null next.
struct TRANSPARENT_FRAGMENT_T {
    char* data;
    uint32_t length;
    TRANSPARENT_FRAGMENT_T* next;
};

class HALVEX_API CResourceValue {
public:
    CResourceValue();
    explicit CResourceValue(VALUE_TYPE_T type);
    CResourceValue(bool value, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(int value, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(unsigned long value, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(long value, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(int value, int min, int max, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(double value, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(double value, double min, double max, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(const char* text, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(const char* text, unsigned long maxLength, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(const char* text, const char** allowed, VALUE_HINT_T hint, bool caseSensitive);
    CResourceValue(const wchar_t* text, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(const wchar_t* text, unsigned long maxLength, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(const wchar_t* text, const wchar_t** allowed, VALUE_HINT_T hint, bool caseSensitive);
    CResourceValue(const unsigned short* utf16, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(const char16_t* utf16, VALUE_HINT_T hint = VALUE_HINT_NONE);
    CResourceValue(char* data, unsigned long length, COPY_TYPE_T copyType, VALUE_HINT_T hint = VALUE_HINT_NONE,
                   unsigned long revision = 0);
    CResourceValue(const CResourceValue& other);
    virtual ~CResourceValue();

    // Reading.
    VALUE_TYPE_T Type() const { return m_type; }
    VALUE_HINT_T Hint() const { return m_hint; }
    unsigned long SetHint(VALUE_HINT_T hint);
    unsigned long GetSize() const { return m_size; }
    unsigned long GetRevision() const { return m_revision; }
    COPY_TYPE_T CopyType() const { return m_copyType; }
    bool GetBool() const { return m_data.b != 0; }
    int GetInt() const { return m_data.i; }
    double GetDouble() const;
    const char* GetAscii() const;
    const wchar_t* GetUnicode() const;
    unsigned long GetUTF16(unsigned short* buffer, unsigned long capacity) const;
    // Code units of the UTF-16 text (held with the terminating unit); null
    // when not type 7.
    const char16_t* GetUTF16Ptr() const;
    unsigned long GetLength() const;
    unsigned long GetTransparent(char** data, unsigned long& size, unsigned long& revision,
                                 COPY_TYPE_T copyType) const;
    unsigned long GetTransparent(TRANSPARENT_FRAGMENT_T** first, unsigned long& size,
                                 unsigned long& revision) const;
    unsigned long GetAsTransparent(char** data, unsigned long& size, COPY_TYPE_T copyType) const;
    unsigned long GetAsAscii(char** text, bool useHint) const;
    CText GetAsAscii(bool useHint) const;
    unsigned long TypeAsAscii(TYPE_CONVERSION_T conversion, char** text) const;
    LIMIT_TYPE_T LimitType() const;
    unsigned long GetOriginator(ORIGINATOR_T& origin) const;
    unsigned long SetOriginator(const ORIGINATOR_T& origin);
    void InitOrigin();
    unsigned long Compare(const CResourceValue& other) const;

    // Writing.
    unsigned long Set(bool value);
    unsigned long Set(int value);
    unsigned long Set(long value);
    unsigned long Set(unsigned long value);
    unsigned long Set(double value);
    unsigned long Set(const char* text);
    unsigned long Set(const wchar_t* text);
    unsigned long Set(const unsigned short* utf16);
    unsigned long Set(const char16_t* utf16);
    unsigned long Set(const char* data, unsigned long length, COPY_TYPE_T copyType, unsigned long revision = 0);
    unsigned long AddFragment(const char* data, unsigned long length, COPY_TYPE_T copyType);
    unsigned long Set(const CResourceValue& other, bool withHintAndLimits);
    unsigned long SetType(VALUE_TYPE_T type);
    unsigned long SetCopyType(COPY_TYPE_T copyType);
    unsigned long ReinterpretCopyType(COPY_TYPE_T copyType);

    CResourceValue& operator=(bool value);
    CResourceValue& operator=(int value);
    CResourceValue& operator=(unsigned long value);
    CResourceValue& operator=(double value);
    CResourceValue& operator=(const char* text);
    CResourceValue& operator=(const wchar_t* text);
    CResourceValue& operator=(const CResourceValue& other);

    // Limits.
    unsigned long SetLimits(int min, int max);
    unsigned long SetLimits(double min, double max);
    unsigned long SetLimits(const char** allowed, bool caseSensitive);
    unsigned long SetLimits(const wchar_t** allowed, bool caseSensitive);
    unsigned long SetLimits(const char16_t** allowed, bool caseSensitive);
    unsigned long SetLimits(unsigned long maxLength);
    unsigned long SetLimits(const CResourceValue& other);
    unsigned long RemoveLimits();
    unsigned long GetLimits(int& min, int& max) const;
    unsigned long GetLimits(double& min, double& max) const;
    unsigned long GetLimits(char*** allowed, bool& caseSensitive) const;
    unsigned long GetLimits(wchar_t*** allowed, bool& caseSensitive) const;
    unsigned long GetLimits(char16_t*** allowed, bool& caseSensitive) const;
    unsigned long GetLimits(unsigned long& maxLength) const;
    unsigned long GetAllowedIndex(unsigned long& index) const;
    unsigned long GetLimitsAsAscii(char** text, bool useHint) const;

private:
    void Init(VALUE_TYPE_T type, VALUE_HINT_T hint);
    void ClearData();
    static void FreeFragments(TRANSPARENT_FRAGMENT_T* first, bool ownsBytes);
    unsigned long CheckOwnPointer(const char* data, unsigned long length, COPY_TYPE_T copyType) const;
    unsigned long CopyIntoStorage(const char* data, unsigned long length);
    unsigned long ReferenceFragments(const CResourceValue& other);
    unsigned long StoreUnits(const char16_t* units, size_t count);
    unsigned long SetUnits(const char16_t* units);
    unsigned long AdoptList(char** alist, char16_t** ulist, wchar_t** wlist, int32_t index, bool caseSensitive);

    VALUE_TYPE_T m_type;
    VALUE_HINT_T m_hint;
    uint32_t m_size;
    uint32_t m_revision;
    COPY_TYPE_T m_copyType;
    union {
        unsigned char b;
        int32_t i;
        double d;
        char* a;
        char16_t* u;
        TRANSPARENT_FRAGMENT_T* frag;
    } m_data;
    // The wchar_t form of a UTF-16 text (what GetUnicode hands out).
    wchar_t* m_wide;
    // The one record of ownership: true when the bytes of the transparent
    // fragments belong to this value and are freed with it.
    bool m_ownsBytes;
    struct {
        bool has;
        int32_t imin, imax;
        double dmin, dmax;
        uint32_t maxLength;
        char** alist;
        char16_t** ulist;
        // The wchar_t form of ulist, for the wchar_t GetLimits.
        wchar_t** wlist;
        int32_t allowedIndex;
        bool caseSensitive;
    } m_limits;
    ORIGINATOR_T m_origin;
};

}  // namespace ZYRK

// Parses text by the resource's value type and writes it to the resource.
HALVEX_C_API unsigned long res_handle_set(ZYRK::CResource* resource, const char* text, ZYRK::RES_WAIT_T wait);
