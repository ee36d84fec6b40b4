// UTF-16 in CText and the one conversion module behind every text path.
#include <halvex/text/numbers_internal.h>
#include <halvex/text/text.h>
#include <halvex/text/unicode_internal.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <string>

using namespace ZYRK;

namespace {

const char kFace8[] = "\xF0\x9F\x98\x80";  // U+1F600 in UTF-8
const char kFffd8[] = "\xEF\xBF\xBD";      // U+FFFD in UTF-8

std::u16string U16(const char* utf8)
{
    std::u16string out;
    EXPECT_TRUE(Unicode::Utf8ToUtf16(utf8, out));
    return out;
}

std::string U8(std::u16string_view units)
{
    std::string out;
    EXPECT_TRUE(Unicode::Utf16ToUtf8(units, out));
    return out;
}

}  // namespace

TEST(Unicode, InvalidInputBecomesOneReplacementPerOffendingByteOrUnit)
{
    EXPECT_EQ(U16("a\xFF" "b"), u"a\uFFFDb");
    // A sequence cut short by an ASCII character: both of its bytes.
    EXPECT_EQ(U16("\xE2\x82" "A"), u"\uFFFD\uFFFDA");
    EXPECT_EQ(U16("\xE2\x82"), u"\uFFFD\uFFFD");   // cut short at the end
    EXPECT_EQ(U16("\xC0\xAF"), u"\uFFFD\uFFFD");   // overlong form
    EXPECT_EQ(U16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // an encoded surrogate
    EXPECT_EQ(U16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // beyond U+10FFFF

    EXPECT_EQ(U8(u"a\xD800" "b"), std::string("a") + kFffd8 + "b");  // lone high surrogate
    EXPECT_EQ(U8(u"a\xDC00"), std::string("a") + kFffd8);            // lone low surrogate
    EXPECT_EQ(U8(u"\xD800"), kFffd8);                                 // high at the end

    std::u16string units;
    ASSERT_TRUE(Unicode::WideToUtf16(std::wstring{L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)},
                                     units));
    EXPECT_EQ(units, u"a\uFFFD\uFFFD");
    std::wstring wide;
    ASSERT_TRUE(Unicode::Utf16ToWide(u"x\xDBFF", wide));
    EXPECT_EQ(wide, L"x\uFFFD");
}

TEST(Unicode, ValidTextRoundTripsUnchanged)
{
    std::string text = std::string("A\xC3\xA9\xE2\x82\xAC") + kFace8 + "\xEF\xBB\xBF" + "z";  // A é € 😀 BOM z
    std::u16string units = U16(text.c_str());
    EXPECT_EQ(units, u"A\u00E9\u20AC\U0001F600\uFEFFz");  // a leading or inner BOM is a character
    EXPECT_EQ(U8(units), text);
    std::wstring wide;
    ASSERT_TRUE(Unicode::Utf16ToWide(units, wide));
    EXPECT_EQ(wide, L"A\u00E9\u20AC\U0001F600\uFEFFz");
    std::u16string back;
    ASSERT_TRUE(Unicode::WideToUtf16(wide, back));
    EXPECT_EQ(back, units);
    EXPECT_EQ(U16(""), u"");
    // NULs inside a counted text are characters like any other.
    EXPECT_EQ(U16(std::string("a\0b", 3).c_str()), u"a");
    std::u16string withNul;
    ASSERT_TRUE(Unicode::Utf8ToUtf16(std::string_view("a\0b", 3), withNul));
    EXPECT_EQ(withNul, std::u16string(u"a\0b", 3));
}

TEST(CTextUtf16, LengthsAndSizesCountCodeUnits)
{
    CText face(L"\U0001F600");
    EXPECT_EQ(face.Type(), CText::CHAR_WIDE);
    EXPECT_EQ(face.GetLength(), 2);
    EXPECT_EQ(face.GetSizeInBytes(), 4);
    EXPECT_EQ(face.GetLength(CText::CHAR_8BIT), 4);
    EXPECT_STREQ(face.AsChar(), kFace8);
    EXPECT_EQ(std::u16string(face.GetUtf16()), u"\U0001F600");
    EXPECT_EQ(std::wcscmp(face.GetWChar(), L"\U0001F600"), 0);

    // From 8-bit text: the UTF-16 copy made on demand counts units too.
    CText narrow((std::string("x") + kFace8).c_str());
    EXPECT_EQ(narrow.GetLength(), 5);  // 8-bit: bytes
    narrow.AsWChar();
    EXPECT_EQ(narrow.GetLength(), 3);  // wide: x + a surrogate pair
    EXPECT_EQ(narrow.GetSizeInBytes(), 6);
    EXPECT_EQ(narrow.GetAtW(1), static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(CText(u"\U0001F600\U0001F600", 3).GetLength(), 3);  // the first n units

    // Pieces of a wide text are taken in units.
    CText mixed(u"a\U0001F600b");
    EXPECT_EQ(std::u16string(mixed.Mid(1, 2).GetUtf16()), u"\U0001F600");
    EXPECT_EQ(std::u16string(mixed.Right(1).GetUtf16()), u"b");
}

TEST(CTextUtf16, RoundTripsBetweenTheCopies)
{
    const char16_t* samples[] = {u"", u"plain", u"\u00E4\u00F6\u00FC", u"\U0001F600 \U00010348 \u20AC",
                                 u"\uFEFFlead"};
    for (const char16_t* sample : samples) {
        CText t(sample);
        CText again(t.AsChar());  // 8-bit copy back to UTF-16
        EXPECT_EQ(std::u16string(again.AsUtf16()), std::u16string(sample));
        CText viaWide(t.AsWChar());
        EXPECT_EQ(std::u16string(viaWide.GetUtf16()), std::u16string(sample));
        EXPECT_EQ(t.Compare(t.AsWChar()), 0);
    }
    // Capacity follows units: 63 units fit 64, the 64th moves it to 128.
    CText grow(u"");
    for (int i = 0; i < 31; ++i) {
        grow += u"\U0001F600";
    }
    grow += L'x';
    EXPECT_EQ(grow.GetLength(), 63);
    EXPECT_EQ(grow.GetCapacity(), 64u);
    grow += L'y';
    EXPECT_EQ(grow.GetCapacity(), 128u);
    EXPECT_EQ(std::strlen(grow.AsChar()), 31u * 4 + 2);
}

TEST(CTextUtf16, LoneSurrogateAndBadBytesShowAsReplacementEverywhere)
{
    CText lone(u"a\xD800" "b");
    EXPECT_EQ(lone.GetLength(), 3);  // the unit is kept
    EXPECT_EQ(std::string(lone.AsChar()), std::string("a") + kFffd8 + "b");
    EXPECT_EQ(std::wcscmp(lone.GetWChar(), L"a\uFFFDb"), 0);

    CText bad("a\xFF" "b");
    EXPECT_EQ(std::wcscmp(bad.AsWChar(), L"a\uFFFDb"), 0);
    EXPECT_EQ(std::u16string(bad.GetUtf16()), u"a\uFFFDb");

    CText wide(std::wstring{L'q', static_cast<wchar_t>(0xDFFF)}.c_str());
    EXPECT_EQ(std::u16string(wide.GetUtf16()), u"q\uFFFD");
}

TEST(CTextUtf16, EditingKeepsBothCopiesInStep)
{
    CText t(u"ab\U0001F600");
    t.MakeReverse();
    EXPECT_EQ(std::u16string(t.GetUtf16()), u"\U0001F600ba");  // the pair keeps its order
    EXPECT_EQ(std::string(t.AsChar()), std::string(kFace8) + "ba");

    CText r(u"x-y");
    EXPECT_EQ(r.Replace(L'-', static_cast<wchar_t>(0x1F600)), 1);
    EXPECT_EQ(std::u16string(r.GetUtf16()), u"x\U0001F600y");
    r.Sync(CText::CHAR_WIDE);
    EXPECT_EQ(std::string(r.AsChar()), std::string("x") + kFace8 + "y");

    CText s("abc");
    s.SetAtW(1, static_cast<wchar_t>(0x00E9));  // only the UTF-16 copy can hold it
    EXPECT_EQ(s.Type(), CText::CHAR_WIDE);
    EXPECT_STREQ(s.AsChar(), "a\xC3\xA9" "c");
    s.SetAtW(0, static_cast<wchar_t>(0x1F600));  // needs two units: refused
    EXPECT_EQ(s.GetAtW(0), L'a');

    // Halves of a pair appended one after the other make one character.
    CText halves(u"\xD83D");
    EXPECT_EQ(std::string(halves.AsChar()), kFffd8);
    halves += u"\xDE00";
    EXPECT_EQ(std::string(halves.AsChar()), kFace8);
    EXPECT_EQ(halves.GetLength(), 2);

    // Bytes that are no UTF-8 show as U+FFFD in both copies of a wide text.
    CText invalid("\xE2");
    invalid.AsWChar();
    EXPECT_EQ(std::string(invalid.AsChar()), kFffd8);
    invalid += "\x82\xAC";
    EXPECT_EQ(std::u16string(invalid.GetUtf16()), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(std::string(invalid.AsChar()), std::string(kFffd8) + kFffd8 + kFffd8);

    CText c(L"x");
    c += (std::string("\xC3\xA9") + kFace8).c_str();  // 8-bit text appended to a wide text
    EXPECT_EQ(std::u16string(c.GetUtf16()), u"x\u00E9\U0001F600");
    EXPECT_EQ(c.Find(static_cast<wchar_t>(0x1F600)), 3);
    EXPECT_EQ(c.ReverseFind(static_cast<wchar_t>(0xE9)), 1);

    CText spaces(u" \t pad\U0001F600\t");
    spaces.TrimLeft();
    spaces.TrimRight();
    EXPECT_EQ(std::string(spaces.AsChar()), std::string("pad") + kFace8);
    // Bytes of multibyte characters are never taken for blanks or letters.
    CText nbsp("\xC2\xA0x\xC3\xA0");
    nbsp.TrimLeft();
    nbsp.MakeUpper();
    EXPECT_STREQ(nbsp.AsChar(), "\xC2\xA0X\xC3\xA0");
}

TEST(CTextUtf16, WideFormIsStableWhileTheTextIsUnchanged)
{
    CText t(L"same");
    const wchar_t* first = t.GetWChar();
    EXPECT_EQ(t.GetWChar(), first);
    EXPECT_EQ(t.AsWChar(), first);
    t += L"!";
    EXPECT_EQ(std::wcscmp(t.GetWChar(), L"same!"), 0);
    CText copy(t);
    EXPECT_EQ(std::wcscmp(copy.GetWChar(), L"same!"), 0);
}

TEST(Numbers, RefuseWhatTheTypeCannotHold)
{
    int32_t i = 7;
    EXPECT_EQ(Numbers::ReadInt32(" -2147483648x", i), Numbers::ReadResult::kOk);
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_EQ(Numbers::ReadInt32("2147483648", i), Numbers::ReadResult::kOutOfRange);
    EXPECT_EQ(i, INT32_MAX);
    EXPECT_EQ(Numbers::ReadInt32("99999999999999999999999", i), Numbers::ReadResult::kOutOfRange);
    EXPECT_EQ(Numbers::ReadInt32("-", i), Numbers::ReadResult::kNoNumber);
    uint32_t u = 0;
    EXPECT_EQ(Numbers::ReadHex32("ffffffff", u), Numbers::ReadResult::kOk);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(Numbers::ReadHex32("FFFFFFFFF", u), Numbers::ReadResult::kOutOfRange);
    EXPECT_EQ(Numbers::ReadHex32("-1", u), Numbers::ReadResult::kNoNumber);
    EXPECT_EQ(Numbers::ReadUInt32("4294967296", u), Numbers::ReadResult::kOutOfRange);
    EXPECT_EQ(Numbers::ReadUInt32("+1", u), Numbers::ReadResult::kNoNumber);
    double d = 0;
    EXPECT_EQ(Numbers::ReadDouble("1e999", d), Numbers::ReadResult::kOutOfRange);
    EXPECT_EQ(Numbers::ReadDouble("1e-320", d), Numbers::ReadResult::kOk);  // subnormal: the nearest double
    EXPECT_EQ(Numbers::ReadDouble("2.5", d), Numbers::ReadResult::kOk);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(Numbers::ReadDouble("x", d), Numbers::ReadResult::kNoNumber);

    EXPECT_EQ(CText("99999999999").ToInt(), INT_MAX);
    EXPECT_EQ(CText(" -99999999999").ToInt(), INT_MIN);
    EXPECT_EQ(CText("-12abc").ToInt(), -12);
    EXPECT_TRUE(std::isinf(CText("1e999").ToFloat()));

    std::string big = Numbers::Format("%.3fC", 1e300);
    EXPECT_EQ(big.size(), 306u);
    EXPECT_EQ(big.back(), 'C');
}
