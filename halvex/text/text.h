// CText: the library's string. It always keeps an 8-bit copy of its text and,
// while the text is "wide", a wide copy as well. Most operations update both
// copies; conversions between them use the C library's multibyte conversions
// of the current locale.
//
// Capacity rule: the buffers grow only when a text of n characters does not
// fit (n reaches the capacity) or the wide state changes; the new capacity is
// ((n + 1) rounded down to a multiple of 64) + 64, so a capacity of 64 holds up
// to 63 characters. The 8-bit buffer holds capacity x 4 bytes (room for the
// multibyte form of the wide text), the wide buffer capacity wide characters.
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
    explicit CText(int value);
    CText(const CText& other);
    virtual ~CText();

    CText& operator=(const CText& other);
    CText& operator=(const char* text);
    CText& operator=(const wchar_t* text);

    // Access. AsChar/GetChar never return null.
    const char* AsChar() const { return m_text; }
    const char* GetChar() const { return m_text; }
    const wchar_t* AsWChar();            // makes the text wide when needed
    const wchar_t* GetWChar() const { return m_wtext; }  // null when not wide
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

    // Conversion.
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
    // Appends the first n characters of src (n < 0: all).
    void ConcatCopy(const char* src, int n = -1);
    void ConcatCopy(const wchar_t* src, int n = -1);

private:
    static uint32_t CapacityFor(unsigned long n);
    bool Reserve(CHAR_TYPE_T type, unsigned long chars, unsigned long bytes);
    void RefreshNarrowFromWide();
    void RefreshWideFromNarrow();
    size_t NarrowBytes() const { return static_cast<size_t>(m_capacity) * 4; }

    uint32_t m_capacity;
    char* m_text;
    wchar_t* m_wtext;
};

HALVEX_API CText operator+(const CText& a, const CText& b);
HALVEX_API CText operator+(const CText& a, const char* b);
HALVEX_API CText operator+(const char* a, const CText& b);
HALVEX_API CText operator+(const CText& a, const wchar_t* b);
HALVEX_API CText operator+(const wchar_t* a, const CText& b);
