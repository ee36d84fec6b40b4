// Internals of the syslog interface shared with halvex-syslogd and the tests.
#pragma once

#include <cstdint>
#include <string>

namespace ZYRK {
namespace Platform {

// The shared memory of the mask ("SYSTEM/Syslog Data"; HALVEX_SYSLOG_SHM
// overrides the POSIX name) and the queue ("Syslog_Q"; HALVEX_SYSLOG_QUEUE).
std::string SyslogShmName();
std::string SyslogQueueName();

// Builds a message into out (512 bytes); returns its size, 0 when the
// header and logger name do not fit.
uint32_t BuildSyslogMessage(uint8_t* out, int priority, uint32_t threadId, uint64_t seconds, uint32_t millis,
                            const char* logger, const char* text);

// A message read from the queue, checked against its length.
struct SyslogMessage {
    int priority = 0;
    uint32_t threadId = 0;
    uint64_t seconds = 0;
    uint32_t millis = 0;
    std::string logger;
    std::string text;
};
bool ParseSyslogMessage(const uint8_t* data, uint32_t length, SyslogMessage* out);

uint32_t SyslogCacheCount();
uint32_t SyslogDropCount();

}  // namespace Platform
}  // namespace ZYRK
