#include "platform_test_support.h"

#include "halvex/platform/debuglog_state_internal.h"
#include "halvex/platform/postlog_internal.h"
#include "halvex/platform/syslog_state_internal.h"

#include <mutex>

namespace ZYRK {

void SysLogExt::ResetDebugLogForTests()
{
    DebugLogState& s = DebugLogProcessState();
    std::lock_guard<std::mutex> guard(s.tableLock);
    for (auto& place : s.places)
        place = ThreadPlace{};
    s.decorate = true;
}

void Platform::ResetSyslogForTests()
{
    SyslogState& s = SyslogProcessState();
    std::lock_guard<std::recursive_mutex> guard(s.cacheLock);
    s.first = 0;
    s.count = 0;
    s.dropCount = 0;
    delete s.queue;  // the next message connects anew
    s.queue = nullptr;
    s.attached = false;
}

void Platform::ResetTempFolderForTests()
{
    TempFolderCache& cache = TheTempFolder();
    std::lock_guard<std::mutex> guard(cache.lock);
    cache.folder.clear();
}

}  // namespace ZYRK
