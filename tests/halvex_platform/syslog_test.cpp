#include "child_process.h"
#include "fmq_support.h"

#include <halvex/platform/fmq.h>
#include <halvex/platform/syslogintf.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/platform/syslog_internal.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/mman.h>

using namespace ZYRK;
using fmqtest::UniqueQueueName;

namespace {

std::string gShmName;
std::string gQueueName;
uint16_t gPort = 0;

class SyslogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        gPort = fmqtest::StartServer("slogtest_listen");
        ASSERT_NE(gPort, 0);
        setenv("HALVEX_FMQ_PORT", std::to_string(gPort).c_str(), 1);
        gShmName = "/halvex-test-slog-" + std::to_string(getpid());
        setenv("HALVEX_SYSLOG_SHM", gShmName.c_str(), 1);
        gQueueName = UniqueQueueName('L');
        setenv("HALVEX_SYSLOG_QUEUE", gQueueName.c_str(), 1);
    }
    void TearDown() override { shm_unlink(gShmName.c_str()); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SyslogEnvironment);

class Syslog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SyslogInitialize(), 0u);
        CSyslogIntf::SetPriorityMask(SLOG_DEFAULT_MASK);
        Platform::ResetSyslogForTests();
    }
    void TearDown() override
    {
        CSyslogIntf::SetPriorityMask(SLOG_DEFAULT_MASK);
        Platform::ResetSyslogForTests();
        SyslogDeinitialize();
    }
};

TEST_F(Syslog, DefaultMaskPrintsErrorsInTheShortForm)
{
    EXPECT_EQ(CSyslogIntf::getPriorityMask(), 1520u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(SyslogError("app", "disk %d full", 2), 0u);
    EXPECT_EQ(SyslogInfo("app", "hello"), SLOG_ERR_DISABLED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: disk 2 full\r\n");
    // Without the short form: logger, time, priority, text.
    CSyslogIntf::SetPriorityEnable(SLOG_NO_SYSLOG_LEAN, false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(SyslogCritical("app", "x"), 0u);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("app: ", 0), 0u) << out;
    EXPECT_NE(out.find(": Critical: x\r\n"), std::string::npos) << out;
    EXPECT_EQ(SyslogError("app", "%s", ""), SLOG_ERR_FORMAT);
}

TEST_F(Syslog, PriorityNineCannotBeSwitched)
{
    SetPriorityEnable(9, 0);
    EXPECT_EQ(PriorityEnabled(9), 1);
    EXPECT_EQ(CSyslogIntf::getPriorityMask(), 1520u);
    CSyslogIntf::SetPriorityMask(0);
    EXPECT_TRUE(CSyslogIntf::getPriorityEnable(SLOG_NO_PRIO));
    EXPECT_FALSE(CSyslogIntf::getPriorityEnable(SLOG_EMERGENCY));
    SetPriorityEnable(SLOG_DEBUG, 1);
    EXPECT_EQ(CSyslogIntf::getPriorityMask(), 1u);
    EXPECT_STREQ(CSyslogIntf::getPriorityText(SLOG_NO_SYSLOG_LEAN), "No syslog lean");
    EXPECT_STREQ(CSyslogIntf::getPriorityText(SLOG_EMERGENCY), "Emergency");
}

TEST_F(Syslog, MaskIsSharedThroughTheNamedMemory)
{
    CSyslogIntf::SetPriorityMask(0x123);
    // A second mapping (as another process would make) sees the same word.
    SyslogDeinitialize();
    ASSERT_EQ(SyslogInitialize(), 0u);
    EXPECT_EQ(CSyslogIntf::getPriorityMask(), 0x123u);
}

TEST(SyslogMessage, LayoutAndCuts)
{
    uint8_t msg[SLOG_MSG_MAX];
    uint32_t n = Platform::BuildSyslogMessage(msg, SLOG_ERROR, 77, 1700000000ull, 123, "lg", "text");
    EXPECT_EQ(n, 40u + 3u + 5u);
    uint32_t h[10];
    std::memcpy(h, msg, sizeof h);
    EXPECT_EQ(h[0], 6u);
    EXPECT_EQ(h[1], 4u);
    EXPECT_EQ(h[2], 77u);
    EXPECT_EQ(h[3], 123u);
    uint64_t secs;
    std::memcpy(&secs, msg + 16, 8);
    EXPECT_EQ(secs, 1700000000ull);
    EXPECT_EQ(h[6], 40u);
    EXPECT_EQ(h[7], 3u);
    EXPECT_EQ(h[8], 43u);
    EXPECT_EQ(h[9], 5u);
    EXPECT_STREQ(reinterpret_cast<char*>(msg + 43), "text");

    std::string longText(1000, 't');
    n = Platform::BuildSyslogMessage(msg, SLOG_ERROR, 1, 0, 0, "lg", longText.c_str());
    EXPECT_EQ(n, 512u);
    EXPECT_EQ(msg[511], 0);
    Platform::SyslogMessage parsed;
    ASSERT_TRUE(Platform::ParseSyslogMessage(msg, n, &parsed));
    EXPECT_EQ(parsed.text, std::string(512 - 43 - 1, 't'));

    std::string logger480(480, 'n');
    EXPECT_EQ(Platform::BuildSyslogMessage(msg, SLOG_ERROR, 1, 0, 0, logger480.c_str(), "x"), 0u);
    std::string logger471(471, 'n');  // 40 + 472 = 512: not even an empty text fits
    EXPECT_EQ(Platform::BuildSyslogMessage(msg, SLOG_ERROR, 1, 0, 0, logger471.c_str(), "x"), 0u);
    std::string logger470(470, 'n');
    EXPECT_EQ(Platform::BuildSyslogMessage(msg, SLOG_ERROR, 1, 0, 0, logger470.c_str(), "x"), 512u);
    ASSERT_TRUE(Platform::ParseSyslogMessage(msg, 512, &parsed));
    EXPECT_EQ(parsed.text, "");
}

TEST(SyslogMessage, ParserRefusesFieldsOutsideTheMessage)
{
    uint8_t msg[SLOG_MSG_MAX];
    uint32_t n = Platform::BuildSyslogMessage(msg, SLOG_ERROR, 1, 0, 0, "lg", "text");
    Platform::SyslogMessage parsed;
    EXPECT_FALSE(Platform::ParseSyslogMessage(msg, n - 3, &parsed));
    uint32_t bad = 0xFFFFFFF0u;
    std::memcpy(msg + 32, &bad, 4);  // text offset far outside
    EXPECT_FALSE(Platform::ParseSyslogMessage(msg, n, &parsed));
    EXPECT_FALSE(Platform::ParseSyslogMessage(msg, 39, &parsed));
}

TEST_F(Syslog, CacheHoldsAHundredTwentyEightAndCountsTheDrop)
{
    // Bits 8 and 10 cleared: messages go to the queue, which does not exist yet.
    CSyslogIntf::SetPriorityMask(0xFF);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(SyslogError("app", "cached %d", i), FMQ_ERR_NO_QUEUE) << i;
    EXPECT_EQ(Platform::SyslogCacheCount(), 128u);
    EXPECT_EQ(SyslogError("app", "dropped"), SLOG_ERR_DROPPED);
    EXPECT_EQ(Platform::SyslogDropCount(), 1u);

    CQueue q;
    ASSERT_EQ(q.Init(gQueueName.c_str(), 200, SLOG_MSG_MAX, 0, 0), 0u);
    EXPECT_EQ(SyslogError("app", "after"), 0u);
    EXPECT_EQ(Platform::SyslogCacheCount(), 0u);
    EXPECT_EQ(Platform::SyslogDropCount(), 0u);
    uint8_t buf[SLOG_MSG_MAX];
    Platform::SyslogMessage m;
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u) << i;
        ASSERT_TRUE(Platform::ParseSyslogMessage(buf, sizeof buf, &m));
        EXPECT_EQ(m.text, "cached " + std::to_string(i));
        EXPECT_EQ(m.logger, "app");
        EXPECT_EQ(m.priority, SLOG_ERROR);
    }
    ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
    ASSERT_TRUE(Platform::ParseSyslogMessage(buf, sizeof buf, &m));
    EXPECT_EQ(m.text, "after");
    ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
    ASSERT_TRUE(Platform::ParseSyslogMessage(buf, sizeof buf, &m));
    EXPECT_EQ(m.logger, "slif");
    EXPECT_EQ(m.priority, SLOG_WARNING);
    EXPECT_EQ(m.text, "CSyslogIntf drop count: 1");
    EXPECT_EQ(q.Receive(buf, 0, 0, sizeof buf), FMQ_ERR_EMPTY);
    q.Delete();
}

TEST_F(Syslog, FullQueueKeepsMessagesInTheCache)
{
    CSyslogIntf::SetPriorityMask(0xFF);
    std::string name = UniqueQueueName('M');
    setenv("HALVEX_SYSLOG_QUEUE", name.c_str(), 1);
    CQueue q;
    ASSERT_EQ(q.Init(name.c_str(), 2, SLOG_MSG_MAX, 0, 0), 0u);
    EXPECT_EQ(SyslogError("app", "a"), 0u);
    EXPECT_EQ(SyslogError("app", "b"), 0u);
    EXPECT_EQ(SyslogError("app", "c"), SLOG_ERR_DROPPED);  // queue full, cache empty
    // Messages waiting behind a failed send are kept in order.
    uint8_t buf[SLOG_MSG_MAX];
    ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
    EXPECT_EQ(SyslogError("app", "d"), 0u);
    ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
    ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
    Platform::SyslogMessage m;
    ASSERT_TRUE(Platform::ParseSyslogMessage(buf, sizeof buf, &m));
    EXPECT_EQ(m.text, "d");
    q.Delete();
    setenv("HALVEX_SYSLOG_QUEUE", gQueueName.c_str(), 1);
}

TEST_F(Syslog, ConsoleModePrintsTheCacheFirst)
{
    CSyslogIntf::SetPriorityMask(0xFF);
    ASSERT_EQ(SyslogError("app", "early"), FMQ_ERR_NO_QUEUE);
    CSyslogIntf::SetPriorityMask(SLOG_DEFAULT_MASK);
    testing::internal::CaptureStdout();
    EXPECT_EQ(SyslogAlert("app", "now"), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: early\r\nAlert: now\r\n");
    EXPECT_EQ(Platform::SyslogCacheCount(), 0u);
}

TEST_F(Syslog, XmlAndWideForms)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(XMLLog("app", SLOG_ERROR, "cam", "", "id=\"%d\"", 3), 0u);
    EXPECT_EQ(XMLLog("app", SLOG_ERROR, "cam", "hot", "t=\"%s\"", "x"), 0u);
    EXPECT_EQ(SyslogW(L"app", SLOG_ERROR, L"wide text"), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: <cam id=\"3\" />\r\nError: <cam t=\"x\" >hot</cam>\r\nError: wide text\r\n");
    // Wide text is UTF-8 in the log whatever the locale; what is no
    // character becomes U+FFFD.
    testing::internal::CaptureStdout();
    const wchar_t odd[] = {L'T', 0x00FC, L'r', static_cast<wchar_t>(0xD800), L'!', 0};
    EXPECT_EQ(SyslogW(L"app", SLOG_ERROR, odd), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: T\xC3\xBCr\xEF\xBF\xBD!\r\n");
    EXPECT_EQ(XMLLog(nullptr, SLOG_ERROR, "cam", "", nullptr), SLOG_ERR_ARGUMENT);
    EXPECT_EQ(XMLLog("app", SLOG_ERROR, nullptr, "", nullptr), SLOG_ERR_ARGUMENT);
    CSyslogIntf intf;
    testing::internal::CaptureStdout();
    EXPECT_EQ(intf.Emergency("app", "%d", 1), 0u);
    EXPECT_EQ(intf.Debug("app", "%d", 2), SLOG_ERR_DISABLED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Emergency: 1\r\n");
}

// Log calls share the process's one connection to the queue server (no
// session per call, no CQueue of this process alive meanwhile), and a broken
// connection is made anew by the next call.
TEST_F(Syslog, OneQueueConnectionPerProcessMadeAnewWhenItBreaks)
{
    CSyslogIntf::SetPriorityMask(0xFF);
    std::string name = UniqueQueueName('O');
    Child daemon = Spawn({SYSLOGD_PATH, "--print", "--no-server", "--port", std::to_string(gPort), "--queue", name});
    ASSERT_EQ(ReadLine(daemon), "ready");
    setenv("HALVEX_SYSLOG_QUEUE", name.c_str(), 1);
    const uint32_t before = CFMQServerTask::SessionsStarted();
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(SyslogError("camd", "message %d", i), 0u) << i;
        ASSERT_EQ(ReadLine(daemon), "Error camd: message " + std::to_string(i));
    }
    ASSERT_EQ(CFMQServerTask::SessionsStarted(), before + 1);
    // The server ends that session (as a restarted server would).
    const std::string session = "fmqserv_" + std::to_string(before);
    CTaskContainer* task = CSupervisor().GetTask(session.c_str());
    ASSERT_NE(task, nullptr);
    task->Shutdown();
    task->Release();
    for (int i = 0; i < 200; ++i) {
        CTaskContainer* t = CSupervisor().GetTask(session.c_str());
        if (!t) break;
        t->Release();
        usleep(10000);
    }
    EXPECT_EQ(SyslogError("camd", "after the break"), 0u);
    EXPECT_EQ(ReadLine(daemon), "Error camd: after the break");
    EXPECT_EQ(CFMQServerTask::SessionsStarted(), before + 2);
    Finish(daemon, true);
    setenv("HALVEX_SYSLOG_QUEUE", gQueueName.c_str(), 1);
}

TEST_F(Syslog, DaemonHandsMessagesOn)
{
    CSyslogIntf::SetPriorityMask(0xFF);
    std::string name = UniqueQueueName('D');
    Child daemon = Spawn({SYSLOGD_PATH, "--print", "--no-server", "--port", std::to_string(gPort), "--queue", name});
    ASSERT_EQ(ReadLine(daemon), "ready");
    setenv("HALVEX_SYSLOG_QUEUE", name.c_str(), 1);
    EXPECT_EQ(SyslogError("camd", "sensor %d lost", 3), 0u);
    EXPECT_EQ(SyslogWarning("camd", "cooling"), 0u);
    EXPECT_EQ(ReadLine(daemon), "Error camd: sensor 3 lost");
    EXPECT_EQ(ReadLine(daemon), "Warning camd: cooling");
    // A second daemon on the same queue is refused.
    Child second = Spawn({SYSLOGD_PATH, "--print", "--no-server", "--port", std::to_string(gPort), "--queue", name});
    int status = 0;
    for (int i = 0; i < 200 && waitpid(second.pid, &status, WNOHANG) == 0; ++i)
        usleep(50000);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    second.pid = -1;
    Finish(daemon, true);
    setenv("HALVEX_SYSLOG_QUEUE", gQueueName.c_str(), 1);
}

}  // namespace
