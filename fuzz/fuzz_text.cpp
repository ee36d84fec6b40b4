// CText driven through its conversions, editing and Format: whatever the
// bytes, units or wchar_t values, the copies stay terminated inside their
// buffers, lengths count UTF-16 units, and a text in step keeps its 8-bit
// copy the UTF-8 form of its UTF-16 copy.
#include "fuzz/fuzz_input.h"

#include <halvex/text/text.h>
#include <halvex/text/unicode_internal.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

using namespace ZYRK;

namespace {

std::u16string Units(const std::string& bytes)
{
    std::u16string u;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
        if (!c) {
            break;
        }
        u += c;
    }
    return u;
}

std::wstring Wide(const std::string& bytes)
{
    std::wstring w;
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        uint32_t c;
        std::memcpy(&c, bytes.data() + i, 4);
        if (!c) {
            break;
        }
        w += static_cast<wchar_t>(c);
    }
    return w;
}

bool WellFormed(std::u16string_view u)
{
    for (size_t i = 0; i < u.size(); ++i) {
        if (Unicode::IsHighSurrogate(u[i])) {
            if (i + 1 >= u.size() || !Unicode::IsLowSurrogate(u[i + 1])) {
                return false;
            }
            ++i;
        } else if (Unicode::IsLowSurrogate(u[i])) {
            return false;
        }
    }
    return true;
}

// inStep: the last operation leaves the 8-bit copy made from the UTF-16 one.
void CheckText(const CText& t, bool inStep)
{
    const char* narrow = t.AsChar();
    FUZZ_CHECK(narrow != nullptr);
    size_t len8 = std::strlen(narrow);
    FUZZ_CHECK(len8 < static_cast<size_t>(t.GetCapacity()) * 4);
    FUZZ_CHECK(t.GetLength(CText::CHAR_8BIT) == static_cast<int>(len8));
    const char16_t* units = t.GetUtf16();
    FUZZ_CHECK((units != nullptr) == (t.Type() == CText::CHAR_WIDE));
    if (!units) {
        FUZZ_CHECK(t.GetLength() == static_cast<int>(len8));
        FUZZ_CHECK(t.GetWChar() == nullptr);
        return;
    }
    size_t n = Unicode::Length(units);
    FUZZ_CHECK(n < t.GetCapacity());
    FUZZ_CHECK(t.GetLength() == static_cast<int>(n) && t.GetSizeInBytes() == static_cast<int>(2 * n));
    std::wstring wide;
    FUZZ_CHECK(Unicode::Utf16ToWide(std::u16string_view(units, n), wide));
    FUZZ_CHECK(wide == t.GetWChar());
    if (inStep) {
        std::string utf8;
        FUZZ_CHECK(Unicode::Utf16ToUtf8(std::u16string_view(units, n), utf8));
        FUZZ_CHECK(utf8 == narrow);
        if (WellFormed(std::u16string_view(units, n))) {
            // Well-formed UTF-16 survives the trip through the 8-bit copy.
            CText back(narrow);
            FUZZ_CHECK(std::u16string(back.AsUtf16()) == std::u16string(units, n));
        }
    }
}

void Format(CText& t, FuzzInput& in)
{
    std::string s = in.Bytes(200);
    int i = static_cast<int>(in.U32());
    double d = in.Double();
    switch (in.Byte() % 6) {
    case 0:
        t.Format("%s", s.c_str());
        break;
    case 1:
        t.Format("%d|%x|%s|%u", i, static_cast<unsigned>(i), s.c_str(), static_cast<unsigned>(i));
        break;
    case 2:
        t.Format("%.*s", i % 300, s.c_str());
        break;
    case 3:
        t.Format("%-*s|%5d", i % 500, s.c_str(), i);
        break;
    case 4:
        t.Format("%g %e %.3f", d, d, d);
        break;
    default:
        t.Format("%c%c%s", static_cast<char>(i), static_cast<char>(i >> 8), s.c_str());
        break;
    }
    FUZZ_CHECK(t.Type() == CText::CHAR_8BIT);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 8192) {
        return 0;
    }
    FuzzInput in(data, size);
    CText t, other(u"\U0001F600x");
    // stale: the 8-bit copy of t need not be the UTF-8 form of its UTF-16
    // copy, after a Replace that changes one copy only.
    bool stale = false;
    for (int step = 0; step < 64 && in.More(); ++step) {
        bool wasWide = t.Type() == CText::CHAR_WIDE;
        uint8_t op = in.Byte();
        switch (op % 24) {
        case 0: t = in.Bytes(300).c_str(); break;
        case 1: t = Units(in.Bytes(300)).c_str(); break;
        case 2: t = Wide(in.Bytes(300)).c_str(); break;
        case 3: other = CText(Units(in.Bytes(100)).c_str(), in.Byte() % 40); break;
        case 4: t.AsWChar(); break;
        case 5: t.Sync(static_cast<CText::CHAR_TYPE_T>(in.Byte() & 1)); break;
        case 6: t.SetType(static_cast<CText::CHAR_TYPE_T>(in.Byte() & 1)); break;
        case 7: t += other; break;
        case 8: t += in.Bytes(100).c_str(); break;
        case 9: t += Wide(in.Bytes(100)).c_str(); break;
        case 10: t += static_cast<wchar_t>(in.U32()); break;
        case 11: t = t.Mid(static_cast<int>(in.Byte()) - 8, static_cast<int>(in.Byte()) - 8); break;
        case 12: t = (in.Byte() & 1) ? t.Left(in.Byte()) : t.Right(in.Byte()); break;
        case 13: {
            std::wstring w = Wide(in.Bytes(16));
            t.Find(w.c_str(), in.Byte());
            t.FindNoCase(w.c_str(), in.Byte());
            t.ReverseFind(static_cast<wchar_t>(in.U32()));
            t.Find(static_cast<wchar_t>(in.U32()), in.Byte());
            break;
        }
        case 14:
            // The wchar_t form changes the UTF-16 copy only.
            if (t.Replace(static_cast<wchar_t>(in.U32()), static_cast<wchar_t>(in.U32())) > 0) {
                stale = true;
            }
            break;
        case 15: {
            // The 8-bit form changes the 8-bit copy only.
            std::string a = in.Bytes(8), b = in.Bytes(8);
            if (t.Replace(a.c_str(), b.c_str()) > 0 && t.Type() == CText::CHAR_WIDE) {
                stale = true;
            }
            break;
        }
        case 16:
            switch (in.Byte() % 3) {
            case 0: t.MakeUpper(); break;
            case 1: t.MakeLower(); break;
            default: t.MakeReverse(); break;
            }
            break;
        case 17:
            t.TrimLeft();
            t.TrimRight();
            break;
        case 18:
            if (in.Byte() & 1) {
                t.TrimLeft(in.Byte());
            } else {
                t.TrimRight(in.Byte());
            }
            break;
        case 19: Format(t, in); break;
        case 20: {
            int at = in.Byte();
            uint32_t c = in.U32();
            if (c & 1) {
                t.SetAtW(at, static_cast<wchar_t>(c >> 1));
            } else {
                t.SetAt(at, static_cast<char>(c >> 1));
            }
            t.GetAt(at);
            t.GetAtW(at);
            break;
        }
        case 21:
            t.ToInt();
            t.ToFloat();
            break;
        case 22: {
            std::wstring w = Wide(in.Bytes(40));
            t.Compare(w.c_str());
            t.CompareNoCase(w.c_str());
            t.Compare(other);
            t.CompareNoCase(other);
            break;
        }
        default: {
            CText copy(t);
            t = copy;
            if (t.GetLength() < 4096) {  // doubling without end is no test
                t += t;
            }
            break;
        }
        }
        // Operations that make both copies afresh, or the 8-bit copy from
        // the UTF-16 one, bring the text back in step.
        bool wide = t.Type() == CText::CHAR_WIDE;
        switch (op % 24) {
        case 0: case 1: case 2: case 5: case 11: case 16: case 17: case 18: case 19:
            stale = false;
            break;
        case 6:
            stale = stale && wasWide;  // only a text that stays wide keeps its copies
            break;
        default:
            break;
        }
        if (!wide) {
            stale = false;
        }
        CheckText(t, !stale);
        CheckText(other, true);
    }
    return 0;
}
