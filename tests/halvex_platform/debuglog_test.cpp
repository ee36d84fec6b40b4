#include <halvex/platform/syslogext.h>

#include "halvex/platform/debuglog_internal.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace ZYRK::SysLogExt;

namespace {

struct Captured {
    int level;
    std::string line;
    int length;
    int reserved;
};

thread_local std::vector<Captured> tLines;

void Capture(int level, const char* line, int length, int reserved)
{
    tLines.push_back({level, std::string(line), length, reserved});
}

// The message part of a decorated line: after "L HH:MM:SS.mmm TTTTTTTT ".
std::string Body(const std::string& line)
{
    size_t start = line.rfind("\r\n", 1) == 0 ? 2 : 0;
    return line.substr(start + 24);
}

class DebugLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetDebugLogForTests();
        tLines.clear();
        InstallThreadAppender(Capture);
    }
    void TearDown() override { InstallThreadAppender(nullptr); }
};

TEST_F(DebugLog, LevelAboveSixWritesNothing)
{
    EXPECT_EQ(PrintF(7, "never"), 0);
    EXPECT_TRUE(tLines.empty());
    EXPECT_GT(PrintF(6, "shown"), 0);
    ASSERT_EQ(tLines.size(), 1u);
}

TEST_F(DebugLog, DecoratedLineLayout)
{
    int n = PrintF(2, "value %d\n", 42);
    ASSERT_EQ(tLines.size(), 1u);
    const Captured& c = tLines[0];
    EXPECT_EQ(c.level, 2);
    EXPECT_EQ(c.reserved, 0);
    EXPECT_EQ(c.length, n);
    EXPECT_EQ(static_cast<int>(c.line.size()), n);
    // First line of this thread after a reset: begins with CR LF.
    ASSERT_EQ(c.line.substr(0, 2), "\r\n");
    std::string rest = c.line.substr(2);
    ASSERT_EQ(rest.size(), 24u + 8u);
    EXPECT_EQ(rest.substr(0, 2), "E ");
    // HH:MM:SS.mmm
    for (int i : {2, 3, 5, 6, 8, 9, 11, 12, 13})
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(rest[i]))) << rest;
    EXPECT_EQ(rest[4], ':');
    EXPECT_EQ(rest[7], ':');
    EXPECT_EQ(rest[10], '.');
    EXPECT_EQ(rest[14], ' ');
    for (int i = 15; i < 23; ++i)
        EXPECT_TRUE(isxdigit(static_cast<unsigned char>(rest[i])) && !islower(static_cast<unsigned char>(rest[i])));
    EXPECT_EQ(rest[23], ' ');
    EXPECT_EQ(rest.substr(24), "value 42");  // the trailing line feed is removed
}

TEST_F(DebugLog, LevelLetters)
{
    const char letters[] = {'?', '#', 'E', '!', 'i', '.', ' '};
    for (int level = 0; level <= 6; ++level)
        PrintF(level, "x");
    ASSERT_EQ(tLines.size(), 7u);
    for (int level = 0; level <= 6; ++level) {
        const std::string& line = tLines[level].line;
        size_t start = level == 0 ? 2 : 0;
        EXPECT_EQ(line[start], letters[level]) << level;
        EXPECT_EQ(tLines[level].level, level);
    }
}

TEST_F(DebugLog, CrLfOnlyWhenAnotherThreadLoggedBefore)
{
    PrintF(4, "one");
    PrintF(4, "two");
    std::thread([] { PrintF(4, "other thread"); }).join();
    PrintF(4, "three");
    PrintF(4, "four");
    ASSERT_EQ(tLines.size(), 4u);
    EXPECT_EQ(tLines[0].line.substr(0, 2), "\r\n");
    EXPECT_NE(tLines[1].line.substr(0, 2), "\r\n");
    EXPECT_EQ(tLines[2].line.substr(0, 2), "\r\n");
    EXPECT_NE(tLines[3].line.substr(0, 2), "\r\n");
}

TEST_F(DebugLog, IndentationFollowsAngleBrackets)
{
    PrintF(4, ">enter");
    PrintF(4, "inside");
    PrintF(4, "<leave");
    PrintF(4, "after");
    ASSERT_EQ(tLines.size(), 4u);
    EXPECT_EQ(Body(tLines[0].line), ">enter");
    EXPECT_EQ(Body(tLines[1].line), "\tinside");
    EXPECT_EQ(Body(tLines[2].line), "<leave");
    EXPECT_EQ(Body(tLines[3].line), "after");
    // "<" at depth 0 stays at 0.
    PrintF(4, "<again");
    EXPECT_EQ(Body(tLines[4].line), "<again");
}

TEST_F(DebugLog, IndentationStopsAtEight)
{
    for (int i = 0; i < 9; ++i)
        PrintF(4, ">deeper");
    PrintF(4, "deepest");
    EXPECT_EQ(Body(tLines.back().line), std::string(8, '\t') + "deepest");
    EXPECT_EQ(Body(tLines[8].line), std::string(8, '\t') + ">deeper");
}

TEST_F(DebugLog, IndentationIsPerThread)
{
    PrintF(4, ">enter");
    std::string other;
    std::thread([&] {
        InstallThreadAppender(Capture);
        PrintF(4, "plain");
        other = tLines.back().line;
        InstallThreadAppender(nullptr);
    }).join();
    EXPECT_EQ(Body(other), "plain");
    PrintF(4, "mine");
    EXPECT_EQ(Body(tLines.back().line), "\tmine");
}

TEST_F(DebugLog, ResultFChoosesTheLevel)
{
    EXPECT_EQ(ResultF(0, 4, "ok"), 0);
    EXPECT_TRUE(tLines.empty());
    EXPECT_GT(ResultF(0, 5, "ok"), 0);
    EXPECT_EQ(tLines.back().level, 5);
    EXPECT_GT(ResultF(0x64090000, 4, "state"), 0);
    EXPECT_EQ(tLines.back().level, 2);
    EXPECT_GT(ResultF(0xB0001234, 4, "info"), 0);
    EXPECT_EQ(tLines.back().level, 4);
    EXPECT_EQ(ResultF(0xB0001234, 3, "info"), 0);
    EXPECT_EQ(ResultF(0x64090000, 1, "state"), 0);
    EXPECT_EQ(tLines.size(), 3u);
}

std::string DumpBody(const void* data, int length)
{
    tLines.clear();
    Dump("buf", data, length);
    return tLines.empty() ? std::string() : Body(tLines.back().line);
}

TEST_F(DebugLog, DumpShowsAtMostSixtyThreeBytes)
{
    unsigned char bytes[64];
    for (int i = 0; i < 64; ++i)
        bytes[i] = static_cast<unsigned char>(i * 4 + 3);
    std::string all;
    for (int i = 0; i < 63; ++i) {
        char pair[4];
        snprintf(pair, sizeof pair, "%02X", bytes[i]);
        all += (i ? " " : "") + std::string(pair);
    }
    EXPECT_EQ(DumpBody(bytes, 63), "buf = {" + all + "}");
    EXPECT_EQ(tLines.back().level, 6);
    EXPECT_EQ(DumpBody(bytes, 64), "buf = {" + all.substr(0, 62 * 3 - 1) + "...}");
    EXPECT_EQ(DumpBody(bytes, 0), "buf = {}");
    EXPECT_EQ(DumpBody(nullptr, 5), "buf = NULL");
    const unsigned char three[] = {0x0A, 0xFF, 0x10};
    EXPECT_EQ(DumpBody(three, 3), "buf = {0A FF 10}");
}

TEST_F(DebugLog, LongMessageIsCutTo410)
{
    std::string longText(500, 'x');
    int n = PrintF(2, "%s", longText.c_str());
    EXPECT_EQ(n, 410);
    ASSERT_EQ(tLines.back().line.size(), 410u);
    EXPECT_EQ(tLines.back().line.substr(407), "...");
    // Also from a line that does not begin with CR LF, and with indentation.
    PrintF(2, ">x");
    n = PrintF(2, "%s", longText.c_str());
    EXPECT_EQ(n, 410);
    EXPECT_EQ(tLines.back().line.substr(407), "...");
    EXPECT_EQ(Body(tLines.back().line).substr(0, 2), "\tx");
}

TEST_F(DebugLog, MessageThatFitsIsNotCut)
{
    // 384 characters minus the depth fit exactly.
    std::string text(384, 'y');
    PrintF(2, "%s", text.c_str());
    EXPECT_EQ(Body(tLines.back().line), text);
    EXPECT_EQ(tLines.back().line.size(), 410u);
    text.push_back('y');
    PrintF(2, "%s", text.c_str());
    EXPECT_EQ(tLines.back().line.substr(407), "...");
}

TEST_F(DebugLog, OnlyOneLineEndIsRemoved)
{
    PrintF(2, "a\r\n");
    EXPECT_EQ(Body(tLines.back().line), "a");
    PrintF(2, "b\n\n");
    EXPECT_EQ(Body(tLines.back().line), "b\n");
}

TEST_F(DebugLog, SuppressedLinesCarryTheMessageAlone)
{
    EXPECT_FALSE(isDbgOutputSupressed());
    SupressDbgOutput();
    EXPECT_TRUE(isDbgOutputSupressed());
    PrintF(2, ">msg %d", 1);
    PrintF(2, "next");
    std::thread([] { PrintF(2, "elsewhere"); }).join();
    PrintF(2, "again");
    ASSERT_EQ(tLines.size(), 3u);
    EXPECT_EQ(tLines[0].line, ">msg 1");
    EXPECT_EQ(tLines[1].line, "next");
    EXPECT_EQ(tLines[2].line, "again");
    EXPECT_EQ(tLines[2].length, 5);
    std::string longText(600, 'z');
    PrintF(2, "%s", longText.c_str());
    EXPECT_EQ(tLines.back().line.size(), 410u);
    EXPECT_EQ(tLines.back().line.substr(407), "...");
}

TEST_F(DebugLog, InstallReturnsThePreviousAppender)
{
    EXPECT_EQ(InstallThreadAppender(nullptr), &Capture);
    PrintF(2, "not captured");
    EXPECT_TRUE(tLines.empty());
    EXPECT_EQ(InstallThreadAppender(Capture), nullptr);
    PrintF(2, "captured");
    EXPECT_EQ(tLines.size(), 1u);
}

TEST_F(DebugLog, NinthThreadDoesNotInheritAnAppender)
{
    // Eight threads with their own appenders fill the table; a ninth takes
    // the least recently used place and must not call another's appender.
    std::vector<std::thread> threads;
    static std::atomic<int> foreignCalls{0};
    auto foreign = [](int, const char*, int, int) { ++foreignCalls; };
    for (int i = 0; i < 8; ++i) {
        std::thread t([&] {
            InstallThreadAppender(foreign);
            PrintF(4, "fill");
        });
        t.join();
    }
    int before = foreignCalls.load();
    EXPECT_EQ(before, 8);
    std::thread([] { PrintF(4, "ninth"); }).join();
    EXPECT_EQ(foreignCalls.load(), before);
}

}  // namespace

#include "halvex/platform/namedlock.h"
#include "halvex/platform/postlog_internal.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(PostMutex, HolderThatDiesReleasesIt)
{
    // Make sure this process has opened the lock before it forks.
    ASSERT_TRUE(ZYRK::Platform::PostMutex().Lock());
    ZYRK::Platform::PostMutex().Unlock();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child takes the machine-wide lock and dies holding it.
        if (!ZYRK::Platform::PostMutex().Lock())
            _exit(1);
        raise(SIGKILL);
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    // Not blocked by the dead holder.
    EXPECT_GT(PrintF(2, "after the holder died"), 0);
    ASSERT_TRUE(ZYRK::Platform::PostMutex().Lock());
    ZYRK::Platform::PostMutex().Unlock();
}

TEST(PostMutex, ReentrantWithinAThreadExclusiveAcrossThreads)
{
    auto& lock = ZYRK::Platform::PostMutex();
    ASSERT_TRUE(lock.Lock());
    ASSERT_TRUE(lock.Lock());
    std::atomic<bool> taken{false};
    std::thread other([&] {
        lock.Lock();
        taken = true;
        lock.Unlock();
    });
    lock.Unlock();
    EXPECT_FALSE(taken.load());  // still held once by this thread
    lock.Unlock();
    other.join();
    EXPECT_TRUE(taken.load());
}

}  // namespace
