// "POSTMutex" held by another process: the debug log and the post log drop
// their lines after a bounded wait instead of blocking, count them and say so
// once the lock is free again. The lock files live in a folder of this test
// (set before anything logs) and belong to their owner alone.
#include <halvex/platform/postlog.h>
#include <halvex/platform/syslogext.h>

#include "halvex/platform/namedlock.h"
#include "halvex/platform/postlog_internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ZYRK;
using Clock = std::chrono::steady_clock;

namespace {

// Named before the first line (listing the tests creates nothing): the lock
// folder and the temporary folder of the test.
const std::string gFolder = [] {
    std::string dir = "/tmp/halvex-postmutex-" + std::to_string(getpid());
    setenv("HALVEX_LOCK_DIR", dir.c_str(), 1);
    setenv("TEMP", dir.c_str(), 1);
    return dir;
}();

class FolderCleanup : public ::testing::Environment {
public:
    void SetUp() override { std::filesystem::create_directories(gFolder); }
    void TearDown() override { std::filesystem::remove_all(gFolder); }
};
const auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new FolderCleanup);

thread_local std::vector<std::string> tLines;
void Collect(int, const char* line, int, int) { tLines.emplace_back(line); }

bool Collected(const std::string& needle)
{
    for (const auto& l : tLines)
        if (l.find(needle) != std::string::npos) return true;
    return false;
}

std::string PostLogText()
{
    std::ifstream in(gFolder + "/postlog.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A child process that holds the named lock file until it is killed.
struct Holder {
    pid_t pid = -1;
    explicit Holder(const std::string& path)
    {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid = fork();
        if (pid == 0) {
            int fd = open(path.c_str(), O_RDWR);
            if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
            if (write(ready[1], "x", 1) != 1) _exit(1);
            for (int i = 0; i < 100; ++i) usleep(100000);  // at most 10 s
            _exit(0);
        }
        close(ready[1]);
        char c;
        if (read(ready[0], &c, 1) != 1) pid = -1;
        close(ready[0]);
    }
    ~Holder()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

TEST(PostMutexHeldElsewhere, LinesAreDroppedCountedAndReported)
{
    InstallThreadAppender(Collect);
    ASSERT_GT(SysLogExt::PrintF(2, "the lock file is made"), 0);
    const std::string path = gFolder + "/halvex-POSTMutex.lock";
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the owner's alone

    {
        Holder holder(path);
        ASSERT_GT(holder.pid, 0);
        auto t = Clock::now();
        EXPECT_EQ(SysLogExt::PrintF(2, "while held"), 0);
        EXPECT_LT(MsSince(t), 2000.0);  // bounded (about 100 ms), not until the holder lets go
        t = Clock::now();
        CPostLog().Log("post while held");
        EXPECT_LT(MsSince(t), 2000.0);
        EXPECT_EQ(PostLogText().find("post while held"), std::string::npos);
    }
    tLines.clear();
    EXPECT_GT(SysLogExt::PrintF(2, "after the holder"), 0);
    EXPECT_TRUE(Collected("after the holder"));
    EXPECT_TRUE(Collected("SysLogExt: 1 lines dropped while \"POSTMutex\" was held elsewhere"));
    CPostLog(true).Log("post after the holder");
    const std::string text = PostLogText();
    const size_t report = text.find("1 post-log lines dropped while \"POSTMutex\" was held elsewhere");
    EXPECT_NE(report, std::string::npos);
    EXPECT_LT(report, text.find("post after the holder"));
    InstallThreadAppender(nullptr);
}

// A lock file that belongs to another user is not used at all: its holder
// cannot stop this process, which then serialises only its own threads.
TEST(PostMutexHeldElsewhere, LockFileOfAnotherUserIsIgnored)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    const std::string path = gFolder + "/halvex-ForeignObject.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    close(fd);
    Holder holder(path);
    ASSERT_GT(holder.pid, 0);
    Platform::CNamedLock lock("ForeignObject");
    const auto t = Clock::now();
    ASSERT_TRUE(lock.Lock(5000));
    EXPECT_LT(MsSince(t), 1000.0);
    lock.Unlock();
}

}  // namespace
