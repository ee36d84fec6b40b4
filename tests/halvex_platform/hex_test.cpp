#include <halvex/platform/hex.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

TEST(Hex, EveryByteValueSurvivesTheRoundTrip)
{
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    const std::string text = hex_encode(all.data(), all.size());
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(504), "fcfdfeff");
    std::vector<uint8_t> back;
    ASSERT_TRUE(hex_decode(text, back));
    EXPECT_EQ(back, all);
    // Upper-case digits are read as well.
    ASSERT_TRUE(hex_decode("0AfF", back));
    EXPECT_EQ(back, (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(hex_encode(nullptr, 0), "");
}

TEST(Hex, MalformedTextIsRefused)
{
    std::vector<uint8_t> out;
    EXPECT_FALSE(hex_decode("abc", out));   // odd length
    EXPECT_FALSE(hex_decode("0g", out));    // not a digit
    EXPECT_FALSE(hex_decode("0 ", out));
    EXPECT_FALSE(hex_decode("\xff" "0", out));  // bytes beyond ASCII
    EXPECT_EQ(hex_digit('/'), -1);
    EXPECT_EQ(hex_digit(':'), -1);
    EXPECT_EQ(hex_digit('@'), -1);
    EXPECT_EQ(hex_digit('G'), -1);
    EXPECT_EQ(hex_digit('`'), -1);
    EXPECT_EQ(hex_digit('g'), -1);
    EXPECT_TRUE(hex_decode("", out));
    EXPECT_TRUE(out.empty());
}

TEST(Hex, ResultCodesHaveEightUpperCaseDigits)
{
    EXPECT_EQ(hex_code(0), "0x00000000");
    EXPECT_EQ(hex_code(0x640c0000), "0x640C0000");
    EXPECT_EQ(hex_code(0xFFFFFFFF), "0xFFFFFFFF");
}

}  // namespace
