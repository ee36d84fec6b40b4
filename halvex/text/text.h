// CText: the library's string. It always keeps an 8-bit copy of its text and,
// while the text is "wide", a UTF-16 copy as well. Most operations update both
// copies. The 8-bit copy is UTF-8; the UTF-16 copy holds char16_t code units,
// and lengths and sizes of a wide text count those units (a character outside
// the Basic Multilingual Plane takes two). Conversions between the copies go
// through the library's one conversion module: what cannot be converted
// becomes U+FFFD.
//
// The entry points that take or give wchar_t (UTF-32 on this platform)
// convert at the edge: GetWChar and AsWChar hand out a wchar_t form of the
// UTF-16 copy that stays valid until the text changes and one of them is
// called again, or the text is destroyed.
//
// Capacity rule: the buffers grow only when a text of n characters does not
// fit (n reaches the capacity) or the wide state changes; the new capacity is
// ((n + 1) rounded down to a multiple of 64) + 64, so a capacity of 64 holds up
// to 63 characters. The 8-bit buffer holds capacity x 4 bytes (room for the
// UTF-8 form of the UTF-16 text), the UTF-16 buffer capacity units.
#pragma once

#include <halvex/halvex_export.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>

class HALVEX_API CText {
public:
    enum CHAR_TYPE_T : uint32_t { CHAR_8BIT = 0, CHAR_WIDE = 1 };

    CText();
    CText(const char* text);
    CText(const char* text, int n);
    CText(char c, int n);
    CText(const wchar_t* text);
    CText(const wchar_t* text, int n);
    CText(wchar_t c, int n);
    CText(const char16_t* text);         // UTF-16 code units (null: empty; wide)
    CText(const char16_t* text, int n);  // the first n units
    explicit CText(int value);
    CText(const CText& other);
    virtual ~CText();

    CText& operator=(const CText& other);
    CText& operator=(const char* text);
    CText& operator=(const wchar_t* text);
    CText& operator=(const char16_t* text);

    // Access. AsChar/GetChar never return null.
    const char* AsChar() const { return m_text; }
    const char* GetChar() const { return m_text; }
    const wchar_t* AsWChar();            // makes the text wide when needed
    const wchar_t* GetWChar() const;     // null when not wide
    const char16_t* AsUtf16();           // makes the text wide when needed
    const char16_t* GetUtf16() const { return m_wtext; }  // null when not wide
    // GetAtW and SetAtW index the UTF-16 form of the text (code units).
    char GetAt(int index) const;
    wchar_t GetAtW(int index) const;
    char operator[](int index) const { return GetAt(index); }
    void SetAt(int index, char c);
    void SetAtW(int index, wchar_t c);

    // Size.
    int GetLength() const;
    int GetLength(CHAR_TYPE_T type) const;
    int GetSizeInBytes() const;
    bool IsEmpty() const { return GetLength() == 0; }
    void Empty();
    uint32_t GetCapacity() const { return m_capacity; }

    // Type.
    CHAR_TYPE_T Type() const { return m_wtext ? CHAR_WIDE : CHAR_8BIT; }
    void SetType(CHAR_TYPE_T type);
    void Sync(CHAR_TYPE_T type);

    // Comparison: -1, 0 or 1.
    int Compare(const CText& other) const;
    int Compare(const char* text) const;
    int Compare(const wchar_t* text) const;
    int CompareNoCase(const CText& other) const;
    int CompareNoCase(const char* text) const;
    int CompareNoCase(const wchar_t* text) const;

    // Search in the 8-bit text; -1 when not found.
    int Find(char c, int start = 0) const;
    int Find(wchar_t c, int start = 0) const;
    int Find(const char* pattern, int start = 0) const;
    int Find(const wchar_t* pattern, int start = 0) const;
    int FindNoCase(const char* pattern, int start = 0) const;
    int FindNoCase(const wchar_t* pattern, int start = 0) const;
    int FindOneOf(const char* set) const;
    int ReverseFind(char c) const;
    int ReverseFind(wchar_t c) const;

    // Pieces (of the wide copy for a wide text, else of the 8-bit text).
    CText Mid(int start) const;
    CText Mid(int start, int count) const;
    CText Left(int n) const;
    CText Right(int n) const;
    CText SpanIncluding(const char* set) const;
    CText SpanExcluding(const char* set) const;

    // Editing.
    CText& operator+=(const CText& other);
    CText& operator+=(const char* text);
    CText& operator+=(const wchar_t* text);
    CText& operator+=(const char16_t* text);
    CText& operator+=(char c);
    CText& operator+=(wchar_t c);
    int Replace(char from, char to);
    int Replace(wchar_t from, wchar_t to);
    int Replace(const char* pattern, const char* replacement);
    void MakeUpper();
    void MakeLower();
    void MakeReverse();
    void TrimLeft();
    void TrimRight();
    bool TrimLeft(int n);
    bool TrimRight(int n);

    // Conversion. ToInt gives INT_MAX or INT_MIN for a number beyond them.
    int ToInt() const;
    double ToFloat() const;
    int Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int FormatV(const char* format, va_list args);

protected:
    // Prepares the buffers for an overwrite with n characters (content lost
    // when they are reallocated).
    void AllocString(CHAR_TYPE_T type, unsigned long n);
    // Grows the buffers for n characters and/or changes the wide state,
    // keeping the content.
    void ReAllocString(CHAR_TYPE_T type, unsigned long n);
    // Replaces the text with the first n characters of src (n < 0: all).
    void TextCopy(const char* src, int n = -1);
    void TextCopy(const wchar_t* src, int n = -1);
    void TextCopy(const char16_t* src, int n = -1);
    // Appends the first n characters of src (n < 0: all).
    void ConcatCopy(const char* src, int n = -1);
    void ConcatCopy(const wchar_t* src, int n = -1);
    void ConcatCopy(const char16_t* src, int n = -1);

private:
    static uint32_t CapacityFor(unsigned long n);
    bool Rebuild(uint32_t capacity, const char* narrow, size_t narrowLength, const char16_t* wide,
                 size_t wideLength);
    bool Reserve(CHAR_TYPE_T type, unsigned long chars, unsigned long bytes);
    void StoreWide(const char16_t* units, size_t count);
    void AppendNarrow(const char* src, size_t len);
    void AppendWide(const char16_t* units, size_t count);
    void RefreshNarrowFromWide();
    void ChangeCase(bool upper);
    size_t NarrowBytes() const { return static_cast<size_t>(m_capacity) * 4; }
    size_t WideLength() const;

    uint32_t m_capacity;
    char* m_text;
    char16_t* m_wtext;
    // The wchar_t form of m_wtext handed out by GetWChar and AsWChar.
    mutable wchar_t* m_wedge;
};

HALVEX_API CText operator+(const CText& a, const CText& b);
HALVEX_API CText operator+(const CText& a, const char* b);
HALVEX_API CText operator+(const char* a, const CText& b);
HALVEX_API CText operator+(const CText& a, const wchar_t* b);
HALVEX_API CText operator+(const wchar_t* a, const CText& b);
