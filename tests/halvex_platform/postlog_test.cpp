#include <halvex/platform/postlog.h>

#include "halvex/platform/postlog_internal.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace ZYRK;

namespace {

class PostLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("halvex-postlog-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        setenv("TEMP", dir_.c_str(), 1);
        Platform::ResetTempFolderForTests();
        file_ = dir_ / "postlog.txt";
    }
    void TearDown() override
    {
        unsetenv("TEMP");
        Platform::ResetTempFolderForTests();
        fs::remove_all(dir_);
    }
    std::string Read() const
    {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir_;
    fs::path file_;
};

TEST_F(PostLog, LineLayoutAndFile)
{
    EXPECT_EQ(Platform::PostLogPath(), file_.string());
    testing::internal::CaptureStdout();
    CPostLog().Log("task %s started", "alpha");
    std::string out = testing::internal::GetCapturedStdout();
    std::string text = Read();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text[text.size() - 2], '\r');
    std::string line = text.substr(0, text.size() - 1);
    EXPECT_EQ(out, line + "\r\n");
    // "POST YYYYMMDD HH:MM:SS - <16 chars>: message"
    ASSERT_GT(line.size(), 45u);
    EXPECT_EQ(line.substr(0, 5), "POST ");
    EXPECT_EQ(line[13], ' ');
    EXPECT_EQ(line.substr(22, 3), " - ");
    std::string exe = program_invocation_short_name;
    std::string field = exe.size() >= 16 ? exe : std::string(16 - exe.size(), ' ') + exe;
    EXPECT_EQ(line.substr(25, field.size() + 2), field + ": ");
    EXPECT_NE(line.find(": task alpha started"), std::string::npos);
}

TEST_F(PostLog, ShortAndLongLinesAreCut)
{
    std::string longText(1000, 'q');
    testing::internal::CaptureStdout();
    CPostLog().Log("%s", longText.c_str());
    CPostLog(true).Log("%s", longText.c_str());
    CPostLog().Log(nullptr);
    testing::internal::GetCapturedStdout();
    std::istringstream in(Read());
    std::string a, b, c;
    std::getline(in, a);
    std::getline(in, b);
    EXPECT_FALSE(std::getline(in, c));
    EXPECT_EQ(a.size(), 97u);
    EXPECT_EQ(b.size(), 509u);
}

TEST_F(PostLog, FileAboveLimitIsEmptiedFirst)
{
    testing::internal::CaptureStdout();
    {
        std::ofstream(file_, std::ios::binary) << std::string(100000, 'a');
    }
    CPostLog().Log("kept");
    std::string text = Read();
    EXPECT_GT(text.size(), 100000u);
    EXPECT_EQ(text.substr(0, 100000), std::string(100000, 'a'));
    // Now above the limit: emptied before the next line.
    CPostLog().Log("fresh");
    text = Read();
    testing::internal::GetCapturedStdout();
    EXPECT_LT(text.size(), 200u);
    EXPECT_NE(text.find("fresh"), std::string::npos);
    EXPECT_EQ(text.find("kept"), std::string::npos);
}

TEST_F(PostLog, UnwritableFolderIsSkipped)
{
    setenv("TEMP", (dir_ / "missing" / "deeper").c_str(), 1);
    Platform::ResetTempFolderForTests();
    testing::internal::CaptureStdout();
    CPostLog().Log("still printed");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("still printed"), std::string::npos);
}

TEST_F(PostLog, TmpIsUsedWithoutTemp)
{
    unsetenv("TEMP");
    setenv("TMP", dir_.c_str(), 1);
    Platform::ResetTempFolderForTests();
    EXPECT_EQ(Platform::TempFolder(), dir_.string());
    unsetenv("TMP");
}

TEST(PrintMsg, NarrowingSwapsTheTextConversions)
{
    EXPECT_EQ(Platform::NarrowFormat(L"%s and %S, %d%%s %-8s %ls"), "%ls and %s, %d%%s %-8ls %ls");
    EXPECT_EQ(Platform::NarrowFormat(L"tail %"), "tail ");
    EXPECT_EQ(Platform::NarrowFormat(nullptr), "");
    std::wstring big(2000, L'x');
    EXPECT_EQ(Platform::NarrowFormat(big.c_str()).size(), 1023u);
    std::wstring edge(1022, L'x');
    edge += L"%s";
    // A conversion that would not fit whole is left out.
    EXPECT_EQ(Platform::NarrowFormat(edge.c_str()), std::string(1022, 'x'));
}

TEST(PrintMsg, PrintsWideAndNarrowTexts)
{
    testing::internal::CaptureStdout();
    int n = ce_printmsg(L"%s=%S %d\n", L"wide", "narrow", 7);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "wide=narrow 7\n");
    EXPECT_EQ(n, static_cast<int>(out.size()));
}

// Wide texts and the format's own characters come out as UTF-8 although the
// process runs in the "C" locale (as a test does); the length cap never cuts
// a character in half.
TEST(PrintMsg, NonAsciiIsUtf8WhateverTheLocale)
{
    testing::internal::CaptureStdout();
    int n = ce_printmsg(L"Kamera \u00BB%s\u00AB %S\n", L"Gr\u00FC\u00DFe \u6E29\u5EA6", "na\xC3\xAFve");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Kamera \xC2\xBBGr\xC3\xBC\xC3\x9F" "e \xE6\xB8\xA9\xE5\xBA\xA6\xC2\xAB na\xC3\xAFve\n");
    EXPECT_EQ(n, static_cast<int>(out.size()));

    std::wstring edge(1022, L'x');
    edge += L"\u00FC";
    EXPECT_EQ(Platform::NarrowFormat(edge.c_str()), std::string(1022, 'x'));
}

}  // namespace
