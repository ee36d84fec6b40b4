#include <halvex/text/unicode_internal.h>

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <new>

namespace ZYRK::Unicode {

namespace {

static_assert(sizeof(wchar_t) == 4, "wchar_t text is taken as UTF-32");

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr const char* kUtf16Name = "UTF-16LE";
constexpr const char* kUtf32Name = "UTF-32LE";
#else
constexpr const char* kUtf16Name = "UTF-16BE";
constexpr const char* kUtf32Name = "UTF-32BE";
#endif
constexpr const char* kUtf8Name = "UTF-8";

bool IsSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit < 0xE000;
}

enum Direction { kUtf8ToUtf16, kUtf16ToUtf8, kWideToUtf16, kUtf16ToWide, kDirections };

// One iconv descriptor per direction and thread: a descriptor keeps state and
// must not be shared between threads.
class Descriptors {
public:
    Descriptors()
    {
        m_cd[kUtf8ToUtf16] = iconv_open(kUtf16Name, kUtf8Name);
        m_cd[kUtf16ToUtf8] = iconv_open(kUtf8Name, kUtf16Name);
        m_cd[kWideToUtf16] = iconv_open(kUtf16Name, kUtf32Name);
        m_cd[kUtf16ToWide] = iconv_open(kUtf32Name, kUtf16Name);
    }
    ~Descriptors()
    {
        for (iconv_t cd : m_cd) {
            if (cd != Invalid()) {
                iconv_close(cd);
            }
        }
    }
    Descriptors(const Descriptors&) = delete;
    Descriptors& operator=(const Descriptors&) = delete;

    iconv_t Get(Direction d) const { return m_cd[d]; }
    static iconv_t Invalid() { return reinterpret_cast<iconv_t>(-1); }

private:
    iconv_t m_cd[kDirections];
};

iconv_t Descriptor(Direction d)
{
    thread_local Descriptors descriptors;
    return descriptors.Get(d);
}

// Converts `count` input units of `unitSize` bytes into `out`, which is sized
// for the worst case first: `perUnit` output characters for every input unit
// (enough for the replacement too). An input unit that cannot be converted
// is replaced by `replacement` and skipped.
template <class Out>
bool Convert(Direction direction, const void* in, size_t count, size_t unitSize, size_t perUnit,
             std::basic_string_view<typename Out::value_type> replacement, Out& out) noexcept
{
    using CharT = typename Out::value_type;
    iconv_t cd = Descriptor(direction);
    if (cd == Descriptors::Invalid()) {
        return false;
    }
    try {
        out.assign(count * perUnit, CharT());
    } catch (const std::bad_alloc&) {
        return false;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = static_cast<char*>(const_cast<void*>(in));
    size_t srcLeft = count * unitSize;
    char* dst = reinterpret_cast<char*>(out.data());
    size_t dstLeft = out.size() * sizeof(CharT);
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) {
            break;
        }
        // EILSEQ: an invalid sequence; EINVAL: an incomplete one at the end.
        // The output is sized for the worst case, so E2BIG cannot happen.
        if ((errno != EILSEQ && errno != EINVAL) || dstLeft < replacement.size() * sizeof(CharT)) {
            return false;
        }
        std::memcpy(dst, replacement.data(), replacement.size() * sizeof(CharT));
        dst += replacement.size() * sizeof(CharT);
        dstLeft -= replacement.size() * sizeof(CharT);
        size_t skip = srcLeft < unitSize ? srcLeft : unitSize;
        src += skip;
        srcLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize((reinterpret_cast<CharT*>(dst) - out.data()));
    return true;
}

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";
constexpr char16_t kReplacementUtf16[] = {kReplacement, 0};
constexpr wchar_t kReplacementWide[] = {static_cast<wchar_t>(kReplacement), 0};

}  // namespace

bool Utf8ToUtf16(std::string_view text, std::u16string& out) noexcept
{
    // A UTF-8 byte gives at most one UTF-16 unit (four bytes give two).
    return Convert(kUtf8ToUtf16, text.data(), text.size(), 1, 1, std::u16string_view(kReplacementUtf16, 1), out);
}

bool Utf16ToUtf8(std::u16string_view text, std::string& out) noexcept
{
    // A unit gives at most three bytes (a surrogate pair gives four for two).
    return Convert(kUtf16ToUtf8, text.data(), text.size(), 2, 3, std::string_view(kReplacementUtf8, 3), out);
}

bool WideToUtf16(std::wstring_view text, std::u16string& out) noexcept
{
    return Convert(kWideToUtf16, text.data(), text.size(), 4, 2, std::u16string_view(kReplacementUtf16, 1), out);
}

bool Utf16ToWide(std::u16string_view text, std::wstring& out) noexcept
{
    return Convert(kUtf16ToWide, text.data(), text.size(), 2, 1, std::wstring_view(kReplacementWide, 1), out);
}

bool WideToUtf8(std::wstring_view text, std::string& out) noexcept
{
    std::u16string units;
    return WideToUtf16(text, units) && Utf16ToUtf8(units, out);
}

size_t Length(const char16_t* text) noexcept
{
    return text ? std::char_traits<char16_t>::length(text) : 0;
}

bool IsHighSurrogate(char16_t unit) noexcept
{
    return unit >= 0xD800 && unit < 0xDC00;
}

bool IsLowSurrogate(char16_t unit) noexcept
{
    return unit >= 0xDC00 && unit < 0xE000;
}

char16_t ToLower(char16_t unit) noexcept
{
    if (IsSurrogate(unit)) {
        return unit;
    }
    wint_t c = std::towlower(static_cast<wint_t>(unit));
    return c <= 0xFFFF && !IsSurrogate(static_cast<char16_t>(c)) ? static_cast<char16_t>(c) : unit;
}

char16_t ToUpper(char16_t unit) noexcept
{
    if (IsSurrogate(unit)) {
        return unit;
    }
    wint_t c = std::towupper(static_cast<wint_t>(unit));
    return c <= 0xFFFF && !IsSurrogate(static_cast<char16_t>(c)) ? static_cast<char16_t>(c) : unit;
}

bool IsSpace(char16_t unit) noexcept
{
    return !IsSurrogate(unit) && std::iswspace(static_cast<wint_t>(unit));
}

namespace {
template <class Map>
int CompareMapped(std::u16string_view a, std::u16string_view b, Map map)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t ca = map(a[i]), cb = map(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
}  // namespace

int Compare(std::u16string_view a, std::u16string_view b) noexcept
{
    return CompareMapped(a, b, [](char16_t c) { return c; });
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) noexcept
{
    return CompareMapped(a, b, ToLower);
}

}  // namespace ZYRK::Unicode
