// The process-wide state of the syslog interface, internal to halvex: the
// mask in the shared memory, the message cache, the drop count and the one
// queue object that every CSyslogIntf of the process sends through. Set up at
// first use and kept until the process ends.
#pragma once

#include <halvex/platform/fmq.h>
#include <halvex/platform/syslogintf.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ZYRK {
namespace Platform {

constexpr int kCacheSlots = 128;

struct CacheSlot {
    uint32_t length = 0;
    uint8_t data[SLOG_MSG_MAX];
};

struct SyslogState {
    std::mutex initLock;
    int initCount = 0;
    uint32_t* mask = nullptr;  // in the shared memory; null while not available
    std::recursive_mutex cacheLock;
    CacheSlot cache[kCacheSlots];
    int first = 0;
    int count = 0;
    std::atomic<uint32_t> dropCount{0};
    // The process's one queue object for "Syslog_Q" (under cacheLock): every
    // CSyslogIntf sends through it, so the process keeps one connection to
    // the queue server instead of one per log call.
    CQueue* queue = nullptr;
    bool attached = false;
};

SyslogState& SyslogProcessState();

}  // namespace Platform
}  // namespace ZYRK
