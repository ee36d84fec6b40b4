#include <halvex/supervisor/supervisor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>
#include <thread>

using namespace ZYRK;

namespace {

TEST(ProtRsc, ReentryRules)
{
    CProtRsc lock;
    ASSERT_TRUE(lock.LockWrite());
    ASSERT_TRUE(lock.LockWrite());  // writer again
    lock.LockRead();                // writer may read
    lock.UnlockRead();
    lock.UnlockWrite();
    lock.UnlockWrite();

    lock.LockRead();
    lock.LockRead();                // reader again
    EXPECT_FALSE(lock.LockWrite()); // a reader cannot become the writer
    lock.UnlockRead();
    lock.UnlockRead();
    ASSERT_TRUE(lock.LockWrite());
    lock.UnlockWrite();
}

TEST(ProtRsc, WriterExcludesReadersAndWriters)
{
    CProtRsc lock;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> writersInside{0};
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if ((i + t) % 3 == 0) {
                    ASSERT_TRUE(lock.LockWrite());
                    if (++writersInside != 1 || inside.load() != 0)
                        bad = true;
                    --writersInside;
                    lock.UnlockWrite();
                } else {
                    lock.LockRead();
                    int now = ++inside;
                    if (writersInside.load() != 0)
                        bad = true;
                    int seen = maxInside.load();
                    while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
                    }
                    --inside;
                    lock.UnlockRead();
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(bad.load());
}

}  // namespace
