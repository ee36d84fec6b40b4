#include <halvex/supervisor/container.h>
#include <halvex/supervisor/supervisor.h>

#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>

#include "halvex/platform/postlog_internal.h"
#include "tests/halvex_platform/platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ZYRK;
using namespace std::chrono_literals;

namespace {

std::string UniqueName(const char* base)
{
    static std::atomic<int> counter{0};
    return std::string(base) + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

// Waits (bounded) until cond holds; the tests assert outcomes, not timings.
template <typename F>
bool Eventually(F cond)
{
    for (int i = 0; i < 1000; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return cond();
}

struct Shared {
    std::atomic<bool> running{false};
    std::atomic<bool> finished{false};
    std::atomic<int> stopResult{-1};
    std::atomic<bool> destroyed{false};
    std::atomic<uint32_t> arg0{0}, arg3{0};
    std::atomic<unsigned> user{999}, group{999};
};

// A body that answers the handshake: waits for its stop event and asks
// StopReceived what to do.
class HandshakeTask : public CTaskContainer {
public:
    explicit HandshakeTask(Shared& s) : s_(s) {}
    ~HandshakeTask() override { s_.destroyed = true; }
    void taskbody(uint32_t* arg) override
    {
        s_.arg0 = arg[0];
        s_.arg3 = arg[3];
        s_.user = get_user_id();
        s_.group = get_group_id();
        s_.running = true;
        for (;;) {
            if (GetStopEvent()->Wait(CEvent::INFINITE_WAIT) != CEvent::WAIT_SIGNALLED)
                continue;
            RESULT_T r = StopReceived();
            s_.stopResult = static_cast<int>(r);
            if (r == ERR_TASK_MUST_END)
                break;
        }
        s_.finished = true;
    }

private:
    Shared& s_;
};

// A body that never looks at the handshake until told to end.
class DeafTask : public CTaskContainer {
public:
    DeafTask(Shared& s, std::atomic<bool>& quit) : s_(s), quit_(quit) {}
    ~DeafTask() override { s_.destroyed = true; }
    void taskbody(uint32_t*) override
    {
        s_.running = true;
        while (!quit_)
            std::this_thread::sleep_for(2ms);
        // Parks here while the registry holds it suspended.
        CheckSuspended();
        s_.finished = true;
    }
    void Park() { CheckSuspended(); }

private:
    Shared& s_;
    std::atomic<bool>& quit_;
};

// Collects the debug-log lines of the calling thread.
thread_local std::vector<std::string> tLog;
void Collect(int, const char* line, int, int)
{
    tLog.emplace_back(line);
}

bool Logged(const std::string& needle)
{
    for (const auto& line : tLog)
        if (line.find(needle) != std::string::npos)
            return true;
    return false;
}

// A debug-log line of the task's operation op with text after its "[%p](): ".
bool LoggedBy(const std::string& op, const std::string& text)
{
    for (const auto& line : tLog) {
        const size_t at = line.find("ZYRK::CTaskContainer::" + op + "[");
        if (at != std::string::npos && line.find("](): " + text, at) != std::string::npos)
            return true;
    }
    return false;
}

class Tasks : public ::testing::Test {
protected:
    void SetUp() override
    {
        tLog.clear();
        InstallThreadAppender(Collect);
        dir_ = std::filesystem::temp_directory_path() / UniqueName("halvex-task");
        std::filesystem::create_directories(dir_);
        setenv("TEMP", dir_.c_str(), 1);
        Platform::ResetTempFolderForTests();
    }
    void TearDown() override
    {
        InstallThreadAppender(nullptr);
        unsetenv("TEMP");
        Platform::ResetTempFolderForTests();
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
};

TEST(States, Texts)
{
    EXPECT_STREQ(CLibContainer::STATE_T_to_string(CLibContainer::UNDEFINED), "UNDEFINED");
    EXPECT_STREQ(CLibContainer::STATE_T_to_string(CLibContainer::STOP_FAILED_SUSPENDED), "STOP_FAILED_SUSPENDED");
    EXPECT_STREQ(CLibContainer::STATE_T_to_string(CLibContainer::UNLOAD_FAILED), "UNLOAD_FAILED");
    EXPECT_STREQ(CLibContainer::STATE_T_to_string(static_cast<CLibContainer::STATE_T>(11)), "Invalid value");
    EXPECT_STREQ(CLibContainer::STATE_T_to_string(static_cast<CLibContainer::STATE_T>(-1)), "Invalid value");
}

TEST(Container, NameAndBaseOperations)
{
    CLibContainer c;
    char* name = reinterpret_cast<char*>(1);
    EXPECT_EQ(c.GetName(&name), 0x64070000u);
    EXPECT_EQ(name, nullptr);
    ASSERT_EQ(c.SetName("alpha"), 0u);
    ASSERT_EQ(c.GetName(&name), 0u);
    EXPECT_STREQ(name, "alpha");
    free(name);
    EXPECT_EQ(c.GetState(), CLibContainer::CREATED);
    EXPECT_EQ(c.Init(), 0x64060000u);
    EXPECT_EQ(c.Start(), 0x64060000u);
    EXPECT_EQ(c.Stop(), 0x64060000u);
    EXPECT_EQ(c.Unload(), 0x64060000u);
}

TEST_F(Tasks, InitTwiceAndAfterStart)
{
    Shared s;
    auto* task = new HandshakeTask(s);
    std::string name = UniqueName("init");
    ASSERT_EQ(task->Init(name.c_str(), 3, 0, 0), 0u);
    EXPECT_EQ(task->GetStateRequest(), CLibContainer::INITED);
    EXPECT_EQ(task->Init(name.c_str(), 3, 0, 0), 0u);
    EXPECT_TRUE(Logged("OK <= multiple request for task '" + name + "'"));
    EXPECT_EQ(task->GetPrio(), 3u);
    EXPECT_EQ(task->GetQueueID(), 0xFFFFFFFFu);
    EXPECT_EQ(task->GetPort(), 0);
    EXPECT_NE(task->GetStartEvent(), nullptr);
    EXPECT_NE(task->GetShutdownEvent(), nullptr);

    CSupervisor sup;
    ASSERT_EQ(sup.AddTask(task, CLibContainer::INITED), 0u);
    EXPECT_EQ(task->GetStableState(), CLibContainer::INITED);
    const uint32_t arg[4] = {7, 0, 0, 0xDEADBEEF};
    set_user_id(2);
    set_group_id(4);
    ASSERT_EQ(sup.Start(name.c_str(), arg), 0u);
    set_user_id(0);
    set_group_id(0);
    ASSERT_TRUE(Eventually([&] { return s.running.load(); }));
    EXPECT_EQ(s.arg0.load(), 7u);
    EXPECT_EQ(s.arg3.load(), 0xDEADBEEFu);
    EXPECT_EQ(s.user.load(), 2u);   // the starter's identity
    EXPECT_EQ(s.group.load(), 4u);
    EXPECT_EQ(task->GetState(), CLibContainer::STARTED);
    EXPECT_NE(task->GetTid(), 0u);

    tLog.clear();
    EXPECT_EQ(task->Init(name.c_str(), 0, 0, 0), 0x64090000u);
    EXPECT_TRUE(Logged("ZYRK::CTaskContainer::Init["));
    EXPECT_TRUE(Logged("ERR_WRONG_STATE, name=" + name + ", meStateRequest=4"));
    EXPECT_EQ(task->Start(nullptr), 0u);  // repeated start: multiple request

    // Running: Shutdown is refused; stop first, then shut down.
    EXPECT_EQ(task->Shutdown(), 0x64090000u);
    ASSERT_EQ(sup.Stop(name.c_str()), 0u);
    EXPECT_EQ(task->GetState(), CLibContainer::STOPPED);
    EXPECT_EQ(task->GetStableState(), CLibContainer::STOPPED);
    EXPECT_EQ(s.stopResult.load(), -1);  // still waiting inside StopReceived
    EXPECT_EQ(task->Stop(), 0u);         // multiple request

    ASSERT_EQ(task->Resume(), 0u);
    ASSERT_TRUE(Eventually([&] { return s.stopResult.load() == 0; }));
    EXPECT_EQ(task->GetState(), CLibContainer::STARTED);

    ASSERT_EQ(sup.Stop(name.c_str()), 0u);
    ASSERT_EQ(task->Shutdown(), 0u);
    ASSERT_TRUE(Eventually([&] { return s.destroyed.load(); }));
    EXPECT_EQ(s.stopResult.load(), static_cast<int>(ERR_TASK_MUST_END));
    EXPECT_TRUE(s.finished.load());
    CTaskContainer* gone = sup.GetTask(name.c_str());
    EXPECT_EQ(gone, nullptr);
}

TEST_F(Tasks, RegistryStartOfStoppedTaskSignalsTheBody)
{
    Shared s;
    auto* task = new HandshakeTask(s);
    std::string name = UniqueName("restart");
    ASSERT_EQ(task->Init(name.c_str(), 0, 0, 0), 0u);
    CSupervisor sup;
    ASSERT_EQ(sup.AddTask(task, CLibContainer::INITED), 0u);
    ASSERT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    ASSERT_TRUE(Eventually([&] { return s.running.load(); }));
    ASSERT_EQ(sup.Stop(name.c_str()), 0u);
    EXPECT_EQ(sup.Stop(name.c_str()), 0x64090000u);  // not STARTED any more
    // The registry's Start goes through the start event, not Resume.
    ASSERT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    ASSERT_TRUE(Eventually([&] { return s.stopResult.load() == 0; }));
    EXPECT_EQ(task->GetStateRequest(), CLibContainer::STOPPED);
    EXPECT_EQ(task->GetStableState(), CLibContainer::UNDEFINED);
    // Bring both states together again, then end it by the handshake.
    ASSERT_EQ(task->Resume(), 0u);
    EXPECT_EQ(task->GetStableState(), CLibContainer::STARTED);
    ASSERT_EQ(sup.Stop(name.c_str()), 0u);
    ASSERT_EQ(task->Shutdown(), 0u);
    ASSERT_TRUE(Eventually([&] { return s.destroyed.load(); }));
}

TEST_F(Tasks, DuplicateNamesAndUnknownNames)
{
    Shared s1, s2;
    auto* first = new HandshakeTask(s1);
    auto* second = new HandshakeTask(s2);
    std::string name = UniqueName("dup");
    ASSERT_EQ(first->Init(name.c_str(), 0, 0, 0), 0u);
    ASSERT_EQ(second->Init(name.c_str(), 0, 0, 0), 0u);
    CSupervisor sup;
    ASSERT_EQ(sup.AddTask(first, CLibContainer::INITED), 0u);
    EXPECT_EQ(sup.AddTask(second, CLibContainer::INITED), 0x640B0000u);
    EXPECT_EQ(second->GetState(), CLibContainer::CREATED);  // left unchanged
    CTaskContainer* found = sup.GetTask(name.c_str());
    EXPECT_EQ(found, first);
    if (found)
        found->Release();
    EXPECT_EQ(sup.AddTask(nullptr, CLibContainer::INITED), 0x64070000u);
    EXPECT_EQ(sup.Start(UniqueName("nobody").c_str(), nullptr), 0x64070000u);
    EXPECT_EQ(sup.Stop(UniqueName("nobody").c_str()), 0x64070000u);
    EXPECT_EQ(sup.RemoveTask(second), 0x640D0000u);
    EXPECT_EQ(sup.GetTask(nullptr), nullptr);
    // The names are case-sensitive.
    std::string upper = name;
    upper[0] = 'D';
    EXPECT_EQ(sup.GetTask(upper.c_str()), nullptr);
    ASSERT_EQ(sup.DeleteTask(first), 0u);
    EXPECT_TRUE(s1.destroyed.load());
    delete second;
}

TEST_F(Tasks, TaskWithoutHandshakeIsStoppedAtOnce)
{
    Shared s;
    std::atomic<bool> quit{false};
    auto* task = new DeafTask(s, quit);
    std::string name = UniqueName("nohs");
    ASSERT_EQ(task->Init(name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE), 0u);
    EXPECT_EQ(task->GetFlags(), TASK_FLAG_NO_HANDSHAKE);
    CSupervisor sup;
    ASSERT_EQ(sup.AddTask(task, CLibContainer::INITED), 0u);
    ASSERT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    ASSERT_TRUE(Eventually([&] { return s.running.load(); }));
    tLog.clear();
    EXPECT_EQ(sup.Stop(name.c_str()), 0u);
    EXPECT_EQ(task->GetState(), CLibContainer::STOPPED);
    EXPECT_FALSE(task->IsSuspended());
    EXPECT_FALSE(Logged("CTaskContainer::Stop"));  // nothing waited, nothing logged
    quit = true;
    ASSERT_TRUE(Eventually([&] { return s.destroyed.load(); }));
}

TEST_F(Tasks, BodyThatNeverAcknowledgesIsParked)
{
    Shared s;
    std::atomic<bool> quit{false};
    auto* task = new DeafTask(s, quit);
    std::string name = UniqueName("deaf");
    ASSERT_EQ(task->Init(name.c_str(), 0, 0, 0), 0u);
    task->SetTimeout(50);
    CSupervisor sup;
    ASSERT_EQ(sup.AddTask(task, CLibContainer::INITED), 0u);
    ASSERT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    ASSERT_TRUE(Eventually([&] { return s.running.load(); }));
    tLog.clear();
    EXPECT_EQ(sup.Stop(name.c_str()), 0x64080000u);
    // No thread is suspended from outside: until the body reaches a check,
    // the registry says that the stop failed and the body still runs.
    EXPECT_EQ(task->GetState(), CLibContainer::STOP_FAILED);
    EXPECT_TRUE(task->IsSuspended());
    EXPECT_TRUE(Logged("ZYRK::CTaskContainer::Stop["));
    EXPECT_TRUE(Logged("0x64080000, name=" + name));
    EXPECT_TRUE(Logged("task '" + name + "' did not acknowledge the stop, its body is still running"));
    // The body reaches its next check and parks there; then it is suspended.
    quit = true;
    ASSERT_TRUE(Eventually([&] { return task->GetState() == CLibContainer::STOP_FAILED_SUSPENDED; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(s.finished.load());
    // The registry's Start resumes it; the task ends right away, so it is
    // held while its state is looked at.
    CTaskContainer* held = sup.GetTask(name.c_str());
    ASSERT_EQ(held, task);
    EXPECT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    EXPECT_EQ(task->GetState(), CLibContainer::STARTED);
    held->Release();
    ASSERT_TRUE(Eventually([&] { return s.destroyed.load(); }));
    EXPECT_TRUE(s.finished.load());
}

// A body that never reaches a stop check cannot be suspended: the registry
// keeps saying that it runs, and a later Start simply lets it go on.
TEST_F(Tasks, BodyThatIgnoresItsStopIsReportedAsRunning)
{
    Shared s;
    std::atomic<bool> quit{false};
    std::atomic<int> beats{0};
    class Busy : public CTaskContainer {
    public:
        Busy(Shared& sh, std::atomic<bool>& q, std::atomic<int>& b) : s_(sh), quit_(q), beats_(b) {}
        ~Busy() override { s_.destroyed = true; }
        void taskbody(uint32_t*) override
        {
            s_.running = true;
            while (!quit_) {
                ++beats_;
                std::this_thread::sleep_for(2ms);
            }
            s_.finished = true;
        }

    private:
        Shared& s_;
        std::atomic<bool>& quit_;
        std::atomic<int>& beats_;
    };
    auto* task = new Busy(s, quit, beats);
    std::string name = UniqueName("busy");
    ASSERT_EQ(task->Init(name.c_str(), 0, 0, 0), 0u);
    task->SetTimeout(50);
    CSupervisor sup;
    ASSERT_EQ(sup.AddTask(task, CLibContainer::INITED), 0u);
    ASSERT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    ASSERT_TRUE(Eventually([&] { return s.running.load(); }));
    CTaskContainer* held = sup.GetTask(name.c_str());
    ASSERT_EQ(held, task);
    EXPECT_EQ(sup.Stop(name.c_str()), 0x64080000u);
    EXPECT_EQ(task->GetState(), CLibContainer::STOP_FAILED);
    EXPECT_TRUE(Logged("its body is still running"));
    const int before = beats.load();
    ASSERT_TRUE(Eventually([&] { return beats.load() > before + 3; }));  // it does run
    EXPECT_EQ(task->GetState(), CLibContainer::STOP_FAILED);
    EXPECT_EQ(sup.Start(name.c_str(), nullptr), 0u);
    EXPECT_EQ(task->GetState(), CLibContainer::STARTED);
    EXPECT_FALSE(task->IsSuspended());
    held->Release();
    quit = true;
    ASSERT_TRUE(Eventually([&] { return s.destroyed.load(); }));
    EXPECT_TRUE(s.finished.load());
}

TEST_F(Tasks, ShutdownBeforeStartAndStateErrors)
{
    Shared s;
    HandshakeTask task(s);
    EXPECT_EQ(task.Stop(), 0x64090000u);
    EXPECT_EQ(task.Resume(), 0x64090000u);
    EXPECT_EQ(task.Start(nullptr), 0x64090000u);
    ASSERT_EQ(task.Init("local", 0, 4096, 0), 0u);
    EXPECT_EQ(task.Resume(), 0x64090000u);
    ASSERT_EQ(task.Shutdown(), 0u);
    EXPECT_EQ(task.GetStateRequest(), CLibContainer::UNLOADED);
    EXPECT_EQ(task.Shutdown(), 0u);  // multiple request
    EXPECT_EQ(task.Start(nullptr), 0x64090000u);
    EXPECT_EQ(task.Delete(), 0u);
    EXPECT_EQ(task.GetStartEvent(), nullptr);
}

TEST_F(Tasks, RequestLinesNameTheirOwnOperation)
{
    Shared s;
    HandshakeTask task(s);
    const std::string created = "meStateRequest=" + std::to_string(unsigned(CLibContainer::CREATED));
    EXPECT_EQ(task.Stop(), 0x64090000u);
    EXPECT_TRUE(LoggedBy("Stop", "ERR_WRONG_STATE, name=, " + created));
    EXPECT_EQ(task.Resume(), 0x64090000u);
    EXPECT_TRUE(LoggedBy("Resume", "ERR_WRONG_STATE, name=, " + created));
    ASSERT_EQ(task.Init("ops", 0, 4096, 0), 0u);
    EXPECT_EQ(task.Init("ops", 0, 4096, 0), 0u);
    EXPECT_TRUE(LoggedBy("Init", "OK <= multiple request for task 'ops'"));
    ASSERT_EQ(task.Shutdown(), 0u);
    EXPECT_EQ(task.Shutdown(), 0u);
    EXPECT_TRUE(LoggedBy("Shutdown", "OK <= multiple request for task 'ops'"));
    EXPECT_EQ(task.Start(nullptr), 0x64090000u);
    EXPECT_TRUE(LoggedBy("Start", "ERR_WRONG_STATE, name=ops, meStateRequest=" +
                                      std::to_string(unsigned(CLibContainer::UNLOADED))));
    EXPECT_FALSE(LoggedBy("Resume", "OK <= multiple request"));
    EXPECT_EQ(task.Delete(), 0u);
}

// Post-log line of a starting task, unless it is a TCP resource server session.
class QuickTask : public CTaskContainer {
public:
    explicit QuickTask(std::atomic<bool>& done) : done_(done) {}
    ~QuickTask() override { done_ = true; }
    void taskbody(uint32_t*) override {}

private:
    std::atomic<bool>& done_;
};

TEST(TaskPostLog, SessionsOfTheTcpServerWriteNoLine)
{
    std::string dir = (std::filesystem::temp_directory_path() / UniqueName("halvex-tpl")).string();
    std::filesystem::create_directories(dir);
    setenv("TEMP", dir.c_str(), 1);
    Platform::ResetTempFolderForTests();
    CSupervisor sup;
    testing::internal::CaptureStdout();
    for (const char* base : {"tcpserver_", "fmqserv_"}) {
        std::string name = base + std::to_string(getpid());
        std::atomic<bool> done{false};
        auto* task = new QuickTask(done);
        ASSERT_EQ(task->Init(name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE), 0u);
        ASSERT_EQ(sup.AddTask(task, CLibContainer::INITED), 0u);
        ASSERT_EQ(sup.Start(name.c_str(), nullptr), 0u);
        ASSERT_TRUE(Eventually([&] { return done.load(); }));
    }
    testing::internal::GetCapturedStdout();
    unsetenv("TEMP");
    Platform::ResetTempFolderForTests();
    std::ifstream in(dir + "/postlog.txt");
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    std::filesystem::remove_all(dir);
    EXPECT_EQ(text.find("tcpserver_"), std::string::npos) << text;
    EXPECT_NE(text.find("fmqserv_" + std::to_string(getpid()) + " tid 0x"), std::string::npos) << text;
    EXPECT_NE(text.find("qid 4294967295"), std::string::npos) << text;
}

}  // namespace
