#include <halvex/text/text.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(CText, CapacityGrowsOnlyWhenTheTextReachesIt)
{
    CText t;
    EXPECT_EQ(t.GetCapacity(), 64u);
    for (int i = 0; i < 63; ++i) {
        t += 'x';
    }
    EXPECT_EQ(t.GetLength(), 63);
    EXPECT_EQ(t.GetCapacity(), 64u);
    t += 'y';
    EXPECT_EQ(t.GetLength(), 64);
    EXPECT_EQ(t.GetCapacity(), 128u);
    EXPECT_EQ(t.GetAt(63), 'y');
    EXPECT_EQ(std::string(t.AsChar()), std::string(63, 'x') + "y");

    // (n + 1) rounded down to a multiple of 64, plus 64.
    CText big(std::string(200, 'a').c_str());
    EXPECT_EQ(big.GetCapacity(), 256u);
}

TEST(CText, ConstructionForms)
{
    EXPECT_STREQ(CText(static_cast<const char*>(nullptr)).AsChar(), "");
    EXPECT_STREQ(CText("hello", 3).AsChar(), "hel");
    EXPECT_STREQ(CText('z', 4).AsChar(), "zzzz");
    EXPECT_STREQ(CText(-7).AsChar(), "-7");
    CText wide(L"abc");
    EXPECT_EQ(wide.Type(), CText::CHAR_WIDE);
    EXPECT_STREQ(wide.AsChar(), "abc");
    EXPECT_EQ(std::wcscmp(wide.GetWChar(), L"abc"), 0);
    EXPECT_EQ(wide.GetSizeInBytes(), 6);
    CText fromNullWide(static_cast<const wchar_t*>(nullptr));
    EXPECT_TRUE(fromNullWide.IsEmpty());
    CText copy(wide);
    EXPECT_EQ(copy.Type(), CText::CHAR_WIDE);
    EXPECT_STREQ(copy.AsChar(), "abc");
}

TEST(CText, AssigningEightBitTextDropsTheWideCopy)
{
    CText t(L"wide");
    ASSERT_EQ(t.Type(), CText::CHAR_WIDE);
    t = "narrow";
    EXPECT_EQ(t.Type(), CText::CHAR_8BIT);
    EXPECT_EQ(t.GetWChar(), nullptr);
    EXPECT_EQ(t.GetLength(CText::CHAR_WIDE), 0);
    EXPECT_STREQ(t.AsChar(), "narrow");
    // AsWChar makes it wide again from the 8-bit text.
    EXPECT_EQ(std::wcscmp(t.AsWChar(), L"narrow"), 0);
    EXPECT_EQ(t.Type(), CText::CHAR_WIDE);
}

TEST(CText, ConcatenationBecomesWideWhenWideTextTakesPart)
{
    CText t("ab");
    t += "cd";
    EXPECT_EQ(t.Type(), CText::CHAR_8BIT);
    t += L"ef";
    EXPECT_EQ(t.Type(), CText::CHAR_WIDE);
    EXPECT_STREQ(t.AsChar(), "abcdef");
    EXPECT_EQ(std::wcscmp(t.GetWChar(), L"abcdef"), 0);
    t += "g";
    EXPECT_STREQ(t.AsChar(), "abcdefg");
    EXPECT_EQ(std::wcscmp(t.GetWChar(), L"abcdefg"), 0);

    EXPECT_STREQ((CText("x") + "y").AsChar(), "xy");
    EXPECT_STREQ(("x" + CText("y")).AsChar(), "xy");
    EXPECT_EQ((CText("x") + L"y").Type(), CText::CHAR_WIDE);
    CText self("ab");
    self += self;
    EXPECT_STREQ(self.AsChar(), "abab");
}

TEST(CText, FindAndPieces)
{
    CText t("a.b.c");
    EXPECT_EQ(t.Find('.'), 1);
    EXPECT_EQ(t.Find('.', 2), 3);
    EXPECT_EQ(t.Find('.', 5), -1);  // start at the length
    EXPECT_EQ(t.Find(""), -1);
    EXPECT_EQ(t.Find("b.c"), 2);
    EXPECT_EQ(t.Find(L"c"), 4);
    EXPECT_EQ(t.ReverseFind('.'), 3);
    EXPECT_EQ(CText("Hello").FindNoCase("LL"), 2);
    EXPECT_EQ(t.FindOneOf("cb"), 2);

    CText abc("abc");
    EXPECT_TRUE(abc.Mid(10).IsEmpty());
    EXPECT_STREQ(abc.Mid(1).AsChar(), "bc");
    EXPECT_STREQ(abc.Mid(1, 10).AsChar(), "bc");
    EXPECT_STREQ(abc.Left(10).AsChar(), "abc");
    EXPECT_STREQ(abc.Left(2).AsChar(), "ab");
    EXPECT_STREQ(abc.Right(2).AsChar(), "bc");
    EXPECT_STREQ(CText("123abc").SpanIncluding("0123456789").AsChar(), "123");
    EXPECT_STREQ(CText("abc,def").SpanExcluding(",").AsChar(), "abc");
}

TEST(CText, ReplaceCountsNonOverlappingOccurrences)
{
    CText t("abcab");
    EXPECT_EQ(t.Replace("ab", "xyz"), 2);
    EXPECT_STREQ(t.AsChar(), "xyzcxyz");
    EXPECT_EQ(t.Replace("", "q"), 0);
    CText shrink("aaaa");
    EXPECT_EQ(shrink.Replace("aa", "b"), 2);
    EXPECT_STREQ(shrink.AsChar(), "bb");
    CText grow(std::string(60, 'a').c_str());
    EXPECT_EQ(grow.Replace("a", "bb"), 60);
    EXPECT_EQ(grow.GetLength(), 120);
    EXPECT_EQ(std::string(grow.AsChar()), std::string(120, 'b'));
    CText chars("a-b-c");
    EXPECT_EQ(chars.Replace('-', '+'), 2);
    EXPECT_STREQ(chars.AsChar(), "a+b+c");
    CText w("a-b");
    EXPECT_EQ(w.Replace(L'-', L'_'), 1);
    EXPECT_EQ(w.Type(), CText::CHAR_WIDE);
    EXPECT_EQ(std::wcscmp(w.GetWChar(), L"a_b"), 0);
}

TEST(CText, Conversions)
{
    EXPECT_DOUBLE_EQ(CText("3,5").ToFloat(), 3.5);
    EXPECT_DOUBLE_EQ(CText("2.25").ToFloat(), 2.25);
    EXPECT_EQ(CText("42abc").ToInt(), 42);
    CText f(L"wide");
    f.Format("%s-%d", "n", 5);
    EXPECT_STREQ(f.AsChar(), "n-5");
    EXPECT_EQ(f.Type(), CText::CHAR_8BIT);
    CText longText;
    longText.Format("%0250d", 1);
    EXPECT_EQ(longText.GetLength(), 250);
}

TEST(CText, CompareAndCase)
{
    EXPECT_EQ(CText("a").Compare(CText("b")), -1);
    EXPECT_EQ(CText("b").Compare("a"), 1);
    EXPECT_EQ(CText("a").Compare("a"), 0);
    // Bytes compare as unsigned values.
    EXPECT_EQ(CText("\xe4").Compare("a"), 1);
    EXPECT_EQ(CText("a").Compare(L"a"), -1);  // no wide copy
    EXPECT_EQ(CText(L"a").Compare(L"a"), 0);
    EXPECT_EQ(CText("ABC").CompareNoCase("abc"), 0);
    EXPECT_EQ(CText(L"ABC").CompareNoCase(L"abd"), -1);
    CText t(L"MiXed");
    t.MakeLower();
    EXPECT_STREQ(t.AsChar(), "mixed");
    EXPECT_EQ(std::wcscmp(t.GetWChar(), L"mixed"), 0);
    t.MakeReverse();
    EXPECT_STREQ(t.AsChar(), "dexim");
}

TEST(CText, TrimAndEdit)
{
    CText t("  pad  ");
    t.TrimLeft();
    EXPECT_STREQ(t.AsChar(), "pad  ");
    t.TrimRight();
    EXPECT_STREQ(t.AsChar(), "pad");
    CText n("abcdef");
    EXPECT_TRUE(n.TrimLeft(2));
    EXPECT_STREQ(n.AsChar(), "cdef");
    EXPECT_TRUE(n.TrimRight(10));
    EXPECT_TRUE(n.IsEmpty());
    CText s(L"abc");
    s.SetAt(1, 'X');
    EXPECT_STREQ(s.AsChar(), "aXc");
    EXPECT_EQ(s.GetAtW(1), L'X');
    EXPECT_EQ(s.GetAt(10), 0);
    s.SetAt(10, 'Y');  // beyond the end: nothing changes
    EXPECT_STREQ(s.AsChar(), "aXc");
    s.Empty();
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CText, TypeChangesKeepTheText)
{
    CText t("keep");
    t.SetType(CText::CHAR_WIDE);
    EXPECT_EQ(t.Type(), CText::CHAR_WIDE);
    EXPECT_EQ(std::wcscmp(t.GetWChar(), L"keep"), 0);
    t.SetType(CText::CHAR_8BIT);
    EXPECT_EQ(t.GetWChar(), nullptr);
    EXPECT_STREQ(t.AsChar(), "keep");
    CText w(L"w");
    w.Replace(L'w', L'v');  // the wide copy only
    w.Sync(CText::CHAR_WIDE);
    EXPECT_STREQ(w.AsChar(), "v");
}
