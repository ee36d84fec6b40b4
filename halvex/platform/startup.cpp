// The library's process start-up and shut-down, and its random numbers.
#include "halvex/platform/debuglog_internal.h"
#include "halvex/platform/platform_internal.h"

#include <halvex/platform/users.h>

#include <ctime>
#include <mutex>

namespace ZYRK {
namespace Platform {

namespace {

// MT19937 with the reference seeding by array.
class CMersenneTwister {
public:
    void Seed(uint32_t s)
    {
        mt_[0] = s;
        for (index_ = 1; index_ < kN; ++index_)
            mt_[index_] = 1812433253u * (mt_[index_ - 1] ^ (mt_[index_ - 1] >> 30)) + static_cast<uint32_t>(index_);
    }

    void SeedByArray(const uint32_t* key, int length)
    {
        Seed(19650218u);
        int i = 1, j = 0;
        for (int k = (kN > length ? kN : length); k; --k) {
            mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525u)) + key[j] + static_cast<uint32_t>(j);
            ++i;
            ++j;
            if (i >= kN) {
                mt_[0] = mt_[kN - 1];
                i = 1;
            }
            if (j >= length)
                j = 0;
        }
        for (int k = kN - 1; k; --k) {
            mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941u)) - static_cast<uint32_t>(i);
            ++i;
            if (i >= kN) {
                mt_[0] = mt_[kN - 1];
                i = 1;
            }
        }
        mt_[0] = 0x80000000u;
        index_ = kN;
    }

    uint32_t Next()
    {
        if (index_ >= kN) {
            if (index_ == kN + 1)
                Seed(5489u);
            for (int k = 0; k < kN; ++k) {
                uint32_t y = (mt_[k] & 0x80000000u) | (mt_[(k + 1) % kN] & 0x7fffffffu);
                mt_[k] = mt_[(k + kM) % kN] ^ (y >> 1) ^ ((y & 1u) ? 0x9908b0dfu : 0u);
            }
            index_ = 0;
        }
        uint32_t y = mt_[index_++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }

private:
    static constexpr int kN = 624;
    static constexpr int kM = 397;
    uint32_t mt_[kN] = {};
    int index_ = kN + 1;
};

std::mutex gRandomLock;
CMersenneTwister gRandom;
bool gStarted = false;

}  // namespace

void SeedRandom(const uint32_t* key, int length)
{
    std::lock_guard<std::mutex> guard(gRandomLock);
    gRandom.SeedByArray(key, length);
}

uint32_t Random32()
{
    std::lock_guard<std::mutex> guard(gRandomLock);
    return gRandom.Next();
}

void LibraryStartup()
{
    if (gStarted)
        return;
    gStarted = true;
    // The sockets layer needs no start-up here.
    const uint32_t key[2] = {static_cast<uint32_t>(std::time(nullptr)),
                             static_cast<uint32_t>(SysLogExt::TickCount())};
    SeedRandom(key, 2);
    LoadUserTable();
    SysLogExt::InitDebugLog();
    // The loading thread's identity: user 0, group 0.
    set_user_id(0);
    set_group_id(0);
}

void LibraryShutdown()
{
    if (!gStarted)
        return;
    gStarted = false;
    set_user_id(0);
    set_group_id(0);
    FreeUserTable();
}

}  // namespace Platform
}  // namespace ZYRK

// Referenced from the other platform objects so that a program linking the
// static library also gets this object and with it the start-up below.
extern "C" __attribute__((visibility("hidden"))) const int halvex_startup_anchor = 1;

__attribute__((constructor)) static void halvex_library_load()
{
    ZYRK::Platform::LibraryStartup();
}

__attribute__((destructor)) static void halvex_library_unload()
{
    ZYRK::Platform::LibraryShutdown();
}
