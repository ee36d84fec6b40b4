// The state of the library's debug log, internal to halvex: one per process,
// set up at first use and kept until the process ends (threads may still log
// while it exits).
#pragma once

#include <halvex/platform/syslogext.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ZYRK {
namespace SysLogExt {

constexpr int kMaxDepth = 8;
constexpr int kThreadPlaces = 8;

struct ThreadPlace {
    uint32_t id = 0;  // 0 = free
    int depth = 0;
    SYSLOG_APPENDER_T appender = nullptr;
};

struct DebugLogState {
    std::mutex tableLock;  // the thread table, also touched outside POSTMutex
    ThreadPlace places[kThreadPlaces];
    int64_t timeOffset = 0;
    bool decorate = true;
    bool toStderr = false;
    std::atomic<uint32_t> dropped{0};  // lines not written, "POSTMutex" busy
};

DebugLogState& DebugLogProcessState();

}  // namespace SysLogExt
}  // namespace ZYRK
