#include <halvex/platform/utf8.h>

#include <gtest/gtest.h>

#include <string>

using namespace ZYRK;

namespace {

TEST(Utf8, EachLengthOfSequenceAndItsBorders)
{
    const wchar_t text[] = {L'A', 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF, 0};
    EXPECT_EQ(wide_to_utf8(text, 100), std::string("A\x7F"
                                                   "\xC2\x80"
                                                   "\xDF\xBF"
                                                   "\xE0\xA0\x80"
                                                   "\xEF\xBF\xBF"
                                                   "\xF0\x90\x80\x80"
                                                   "\xF4\x8F\xBF\xBF"));
}

TEST(Utf8, BeyondUnicodeAndLimits)
{
    // wchar_t holds 32 bits here: a value past 0x10FFFF is no character.
    const wchar_t bad[] = {static_cast<wchar_t>(0x110000), L'x', 0};
    EXPECT_EQ(wide_to_utf8(bad, 100), "?x");
    // The count ends the text before its 0 does, the 0 before the count.
    EXPECT_EQ(wide_to_utf8(L"abc", 2), "ab");
    EXPECT_EQ(wide_to_utf8(L"ab\0cd", 5), "ab");
    EXPECT_EQ(wide_to_utf8(nullptr, 3), "");
}

}  // namespace
