// The syslog interface: the shared priority mask, console printing, the
// message cache and the sending to "Syslog_Q".
#include <halvex/platform/syslogintf.h>

#include <halvex/platform/fmq.h>
#include <halvex/platform/postlog.h>

#include "halvex/platform/syslog_internal.h"
#include "halvex/platform/syslog_state_internal.h"
#include "halvex/text/unicode_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <semaphore.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Pulls the library's start-up object into programs that link it statically.
extern "C" const int halvex_startup_anchor;
[[gnu::used]] static const int* const kStartupAnchor = &halvex_startup_anchor;

namespace ZYRK {

using Platform::CacheSlot;
using Platform::kCacheSlots;
using Platform::SyslogProcessState;
using Platform::SyslogState;

SyslogState& Platform::SyslogProcessState()
{
    static SyslogState* state = new SyslogState;  // used until the process ends
    return *state;
}

namespace {

uint32_t* MaskWord()
{
    return SyslogProcessState().mask;
}

uint32_t LoadMask(uint32_t* word)
{
    return std::atomic_ref<uint32_t>(*word).load(std::memory_order_relaxed);
}

void StoreMask(uint32_t* word, uint32_t value)
{
    std::atomic_ref<uint32_t>(*word).store(value, std::memory_order_relaxed);
}

// Maps the named shared memory under "SyslogSemaphore"; *existed tells
// whether another process had made it.
uint32_t* AllocateSharedMemory(const std::string& name, size_t size, bool* existed, RESULT_T* error)
{
    mode_t old = umask(0);
    sem_t* sem = sem_open("/halvex-SyslogSemaphore", O_CREAT, 0666, 1);
    umask(old);
    bool held = false;
    if (sem != SEM_FAILED) {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 258L * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        int rc;
        do {
            rc = sem_clockwait(sem, CLOCK_MONOTONIC, &deadline);
        } while (rc != 0 && errno == EINTR);
        held = rc == 0;  // after the time-out the work goes on either way
    }
    *existed = false;
    old = umask(0);
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    umask(old);
    if (fd >= 0) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            close(fd);
            fd = -1;
        }
    } else if (errno == EEXIST) {
        *existed = true;
        fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        struct stat st{};
        if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(size))) {
            close(fd);
            fd = -1;
        }
    }
    void* p = MAP_FAILED;
    if (fd >= 0) {
        p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
    }
    if (p == MAP_FAILED)
        *error = ERR_CANT_GET_HANDLE;
    if (sem != SEM_FAILED) {
        if (held)
            sem_post(sem);
        sem_close(sem);
    }
    return p == MAP_FAILED ? nullptr : static_cast<uint32_t*>(p);
}

// Cache operations; the caller holds cacheLock.
bool CachePut(SyslogState& s, const uint8_t* message, uint32_t length)
{
    if (s.count >= kCacheSlots)
        return false;
    CacheSlot& slot = s.cache[(s.first + s.count) % kCacheSlots];
    slot.length = length > SLOG_MSG_MAX - 1 ? SLOG_MSG_MAX : length;
    std::memcpy(slot.data, message, std::min<uint32_t>(length, SLOG_MSG_MAX));
    ++s.count;
    return true;
}

void CacheDropFirst(SyslogState& s)
{
    s.first = (s.first + 1) % kCacheSlots;
    --s.count;
}

uint32_t CurrentThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

// Formats into 512 bytes (at most 511 characters); false for an empty or
// failed formatting.
bool FormatText(char (&text)[SLOG_MSG_MAX], const char* format, va_list args)
{
    if (!format)
        return false;
    int n = std::vsnprintf(text, sizeof text, format, args);
    return n > 0;
}

void PrintMessage(const Platform::SyslogMessage& m, bool lean)
{
    const char* prio = CSyslogIntf::getPriorityText(m.priority);
    if (lean)
        ce_printmsg(L"%S: %S\r\n", prio, m.text.c_str());
    else
        ce_printmsg(L"%S: %u:%.3u: %S: %S\r\n", m.logger.c_str(), static_cast<unsigned>(m.seconds),
                    static_cast<unsigned>(m.millis), prio, m.text.c_str());
}

}  // namespace

namespace Platform {

std::string SyslogShmName()
{
    const char* env = std::getenv("HALVEX_SYSLOG_SHM");
    return env && *env == '/' ? env : "/SYSTEM_Syslog_Data";
}

std::string SyslogQueueName()
{
    const char* env = std::getenv("HALVEX_SYSLOG_QUEUE");
    return env && *env ? env : "Syslog_Q";
}

uint32_t BuildSyslogMessage(uint8_t* out, int priority, uint32_t threadId, uint64_t seconds, uint32_t millis,
                            const char* logger, const char* text)
{
    if (!logger)
        logger = "";
    if (!text)
        text = "";
    const size_t loggerLength = std::strlen(logger) + 1;
    // At least the text's 0 byte must fit after the logger name.
    if (SLOG_HEADER_SIZE + loggerLength >= SLOG_MSG_MAX)
        return 0;
    size_t textLength = std::strlen(text) + 1;
    const size_t room = SLOG_MSG_MAX - SLOG_HEADER_SIZE - loggerLength;
    if (textLength > room)
        textLength = room;  // cut: the message becomes 512 bytes
    const uint32_t header[10] = {SLOG_MSG_TYPE,
                                 static_cast<uint32_t>(priority),
                                 threadId,
                                 millis,
                                 static_cast<uint32_t>(seconds & 0xFFFFFFFFu),
                                 static_cast<uint32_t>(seconds >> 32),
                                 SLOG_HEADER_SIZE,
                                 static_cast<uint32_t>(loggerLength),
                                 static_cast<uint32_t>(SLOG_HEADER_SIZE + loggerLength),
                                 static_cast<uint32_t>(textLength)};
    std::memcpy(out, header, sizeof header);
    // Seconds are one 8-byte field in host order.
    std::memcpy(out + 16, &seconds, 8);
    std::memcpy(out + SLOG_HEADER_SIZE, logger, loggerLength);
    uint8_t* t = out + SLOG_HEADER_SIZE + loggerLength;
    if (textLength > 0) {
        std::memcpy(t, text, textLength - 1);
        t[textLength - 1] = 0;
    }
    return static_cast<uint32_t>(SLOG_HEADER_SIZE + loggerLength + textLength);
}

bool ParseSyslogMessage(const uint8_t* data, uint32_t length, SyslogMessage* out)
{
    if (!data || !out || length < SLOG_HEADER_SIZE || length > SLOG_MSG_MAX)
        return false;
    uint32_t h[10];
    std::memcpy(h, data, sizeof h);
    if (h[0] != SLOG_MSG_TYPE)
        return false;
    auto field = [&](uint32_t offset, uint32_t size, std::string* text) {
        if (size == 0 || offset < SLOG_HEADER_SIZE || offset > length || size > length - offset)
            return false;
        const char* p = reinterpret_cast<const char*>(data + offset);
        text->assign(p, strnlen(p, size));
        return true;
    };
    if (!field(h[6], h[7], &out->logger) || !field(h[8], h[9], &out->text))
        return false;
    out->priority = static_cast<int>(h[1]);
    out->threadId = h[2];
    out->millis = h[3];
    std::memcpy(&out->seconds, data + 16, 8);
    return true;
}

uint32_t SyslogCacheCount()
{
    SyslogState& s = SyslogProcessState();
    std::lock_guard<std::recursive_mutex> guard(s.cacheLock);
    return static_cast<uint32_t>(s.count);
}

uint32_t SyslogDropCount()
{
    return SyslogProcessState().dropCount.load();
}

}  // namespace Platform

// ---- mask ----

RESULT_T CSyslogIntf::Initialize()
{
    SyslogState& s = SyslogProcessState();
    std::lock_guard<std::mutex> guard(s.initLock);
    if (s.initCount++ > 0)
        return 0;
    bool existed = false;
    RESULT_T error = 0;
    uint32_t* mask = AllocateSharedMemory(Platform::SyslogShmName(), sizeof(uint32_t), &existed, &error);
    if (!mask)
        return error;
    if (!existed)
        StoreMask(mask, SLOG_DEFAULT_MASK);
    s.mask = mask;
    return 0;
}

void CSyslogIntf::Deinitialize()
{
    SyslogState& s = SyslogProcessState();
    std::lock_guard<std::mutex> guard(s.initLock);
    if (s.initCount <= 0 || --s.initCount > 0)
        return;
    // The mapping stays: another thread may still read the mask through the
    // pointer it fetched. It is one page, kept for the process.
    s.mask = nullptr;
}

bool CSyslogIntf::getPriorityEnable(int priority)
{
    if (priority == SLOG_NO_PRIO)
        return true;
    uint32_t* mask = MaskWord();
    if (!mask)
        return true;
    if (priority < 0 || priority > 31)
        return false;
    return (LoadMask(mask) >> priority) & 1u;
}

void CSyslogIntf::SetPriorityEnable(int priority, bool enable)
{
    uint32_t* mask = MaskWord();
    if (!mask || priority == SLOG_NO_PRIO || priority < 0 || priority > 31)
        return;
    uint32_t bit = 1u << priority;
    uint32_t value = LoadMask(mask);
    StoreMask(mask, enable ? value | bit : value & ~bit);
}

void CSyslogIntf::SetPriorityMask(uint32_t value)
{
    if (uint32_t* mask = MaskWord())
        StoreMask(mask, value);
}

uint32_t CSyslogIntf::getPriorityMask()
{
    uint32_t* mask = MaskWord();
    return mask ? LoadMask(mask) : 0;
}

const char* CSyslogIntf::getPriorityText(int priority)
{
    static const char* const texts[] = {"Debug",    "Info",  "Notice",    "Warning",  "Error",          "Critical",
                                        "Alert",    "Emergency", "No Syslog", "No prio", "No syslog lean"};
    if (priority < 0 || priority > SLOG_NO_SYSLOG_LEAN)
        return "";
    return texts[priority];
}

// ---- object ----

// mpQueue stays empty: the objects share the process's queue (SyslogState).
CSyslogIntf::CSyslogIntf() : mpQueue(nullptr), mulThreadId(CurrentThreadId())
{
    Initialize();
}

CSyslogIntf::~CSyslogIntf()
{
    Deinitialize();
    delete mpQueue;
}

// The caller holds the cache lock.
bool CSyslogIntf::AttachQueue()
{
    SyslogState& s = SyslogProcessState();
    if (!s.queue)
        s.queue = new (std::nothrow) CQueue;
    if (s.queue && !s.attached)
        s.attached = s.queue->Attach(Platform::SyslogQueueName().c_str()) == 0;
    mbAttached = s.attached;
    return s.attached;
}

RESULT_T CSyslogIntf::VLog(const char* logger, int priority, const char* format, va_list args)
{
    if (!getPriorityEnable(priority))
        return SLOG_ERR_DISABLED;
    char text[SLOG_MSG_MAX];
    if (!FormatText(text, format, args))
        return SLOG_ERR_FORMAT;
    return DoLog(logger, priority, text);
}

RESULT_T CSyslogIntf::Log(const char* logger, int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    RESULT_T r = VLog(logger, priority, format, args);
    va_end(args);
    return r;
}

#define HALVEX_SYSLOG_MEMBER(Name, Priority)                           \
    RESULT_T CSyslogIntf::Name(const char* logger, const char* format, ...) \
    {                                                                   \
        va_list args;                                                   \
        va_start(args, format);                                         \
        RESULT_T r = VLog(logger, Priority, format, args);              \
        va_end(args);                                                   \
        return r;                                                       \
    }

HALVEX_SYSLOG_MEMBER(Emergency, SLOG_EMERGENCY)
HALVEX_SYSLOG_MEMBER(Alert, SLOG_ALERT)
HALVEX_SYSLOG_MEMBER(Critical, SLOG_CRITICAL)
HALVEX_SYSLOG_MEMBER(Error, SLOG_ERROR)
HALVEX_SYSLOG_MEMBER(Warning, SLOG_WARNING)
HALVEX_SYSLOG_MEMBER(Notice, SLOG_NOTICE)
HALVEX_SYSLOG_MEMBER(Info, SLOG_INFO)
HALVEX_SYSLOG_MEMBER(Debug, SLOG_DEBUG)
#undef HALVEX_SYSLOG_MEMBER

RESULT_T CSyslogIntf::DoLog(const char* logger, int priority, const char* text)
{
    SyslogState& s = SyslogProcessState();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t seconds = static_cast<uint64_t>(now.tv_sec);
    const uint32_t millis = static_cast<uint32_t>(now.tv_nsec / 1000000);
    const uint32_t mask = getPriorityMask();
    const bool console = MaskWord() && (mask & ((1u << SLOG_NO_SYSLOG) | (1u << SLOG_NO_SYSLOG_LEAN)));
    if (console) {
        const bool lean = mask & (1u << SLOG_NO_SYSLOG_LEAN);
        std::lock_guard<std::recursive_mutex> guard(s.cacheLock);
        while (s.count > 0) {
            const CacheSlot& slot = s.cache[s.first];
            Platform::SyslogMessage m;
            if (Platform::ParseSyslogMessage(slot.data, std::min<uint32_t>(slot.length, SLOG_MSG_MAX), &m))
                PrintMessage(m, lean);
            CacheDropFirst(s);
        }
        if (getPriorityEnable(priority)) {
            Platform::SyslogMessage own;
            own.priority = priority;
            own.logger = logger ? logger : "";
            own.text = text ? text : "";
            own.seconds = seconds;
            own.millis = millis;
            PrintMessage(own, lean);
        }
        return 0;
    }
    uint8_t message[SLOG_MSG_MAX];
    uint32_t length = Platform::BuildSyslogMessage(message, priority, mulThreadId, seconds, millis, logger, text);
    if (length == 0)
        return SLOG_ERR_FORMAT;  // the logger name leaves no room for a message
    return SendToSyslog(message, length, true);
}

RESULT_T CSyslogIntf::SendToSyslog(const uint8_t* input, uint32_t length, bool drop)
{
    SyslogState& s = SyslogProcessState();
    uint8_t message[SLOG_MSG_MAX];
    if (length > SLOG_MSG_MAX)
        length = SLOG_MSG_MAX;
    std::memcpy(message, input, length);
    if (length == SLOG_MSG_MAX)
        message[SLOG_MSG_MAX - 1] = 0;

    RESULT_T result;
    bool sent = false;
    std::unique_lock<std::recursive_mutex> guard(s.cacheLock);
    if (AttachQueue()) {
        result = 0;
        while (s.count > 0) {
            const CacheSlot& slot = s.cache[s.first];
            result = s.queue->Send(slot.data, std::min<uint32_t>(slot.length, SLOG_MSG_MAX));
            if (result != 0)
                break;
            CacheDropFirst(s);
        }
        if (s.count == 0) {
            result = s.queue->Send(message, length);
            if (result != 0 && result != FMQ_ERR_FULL) {
                // The connection broke or the queue is not the one attached
                // (the server or the daemon started again): attach anew,
                // which connects again, and send once more.
                s.attached = false;
                if (AttachQueue())
                    result = s.queue->Send(message, length);
            }
            sent = result == 0;
        } else if (CachePut(s, message, length)) {
            // The queue does not take messages now: keep this one behind
            // the others instead of losing it.
            return result;
        }
        if (result != 0)
            s.attached = s.attached && result != FMQ_ERR_NO_QUEUE && result != FMQ_ERR_WRONG_KEY;
    } else {
        result = FMQ_ERR_NO_QUEUE;
        if (CachePut(s, message, length))
            return result;
    }
    guard.unlock();
    if (sent) {
        uint32_t dropped = s.dropCount.exchange(0);
        if (dropped != 0) {
            RESULT_T w = Warning("slif", "CSyslogIntf drop count: %d", static_cast<int>(dropped));
            if (w != 0 && w != SLOG_ERR_DISABLED)
                s.dropCount += dropped;
        }
        return 0;
    }
    if (drop) {
        ++s.dropCount;
        return SLOG_ERR_DROPPED;
    }
    return result;
}

}  // namespace ZYRK

// ---- C functions ----

using ZYRK::CSyslogIntf;

uint32_t SyslogInitialize(void)
{
    return CSyslogIntf::Initialize();
}

void SyslogDeinitialize(void)
{
    CSyslogIntf::Deinitialize();
}

int PriorityEnabled(int priority)
{
    return CSyslogIntf::getPriorityEnable(priority) ? 1 : 0;
}

void SetPriorityEnable(int priority, int enable)
{
    CSyslogIntf::SetPriorityEnable(priority, enable != 0);
}

uint32_t SyslogLog(const char* logger, int priority, const char* format, ...)
{
    CSyslogIntf intf;
    va_list args;
    va_start(args, format);
    uint32_t r = intf.VLog(logger, priority, format, args);
    va_end(args);
    return r;
}

#define HALVEX_SYSLOG_FUNCTION(Name, Priority)                  \
    uint32_t Name(const char* logger, const char* format, ...)  \
    {                                                           \
        CSyslogIntf intf;                                       \
        va_list args;                                           \
        va_start(args, format);                                 \
        uint32_t r = intf.VLog(logger, Priority, format, args); \
        va_end(args);                                           \
        return r;                                               \
    }

HALVEX_SYSLOG_FUNCTION(SyslogEmergency, ZYRK::SLOG_EMERGENCY)
HALVEX_SYSLOG_FUNCTION(SyslogAlert, ZYRK::SLOG_ALERT)
HALVEX_SYSLOG_FUNCTION(SyslogCritical, ZYRK::SLOG_CRITICAL)
HALVEX_SYSLOG_FUNCTION(SyslogError, ZYRK::SLOG_ERROR)
HALVEX_SYSLOG_FUNCTION(SyslogWarning, ZYRK::SLOG_WARNING)
HALVEX_SYSLOG_FUNCTION(SyslogNotice, ZYRK::SLOG_NOTICE)
HALVEX_SYSLOG_FUNCTION(SyslogInfo, ZYRK::SLOG_INFO)
HALVEX_SYSLOG_FUNCTION(SyslogDebug, ZYRK::SLOG_DEBUG)
#undef HALVEX_SYSLOG_FUNCTION

// Wide text as the library's 8-bit text (UTF-8), whatever the process's
// locale: a wchar_t that is no character becomes U+FFFD.
static std::string Narrow(const wchar_t* text)
{
    std::string out;
    if (text)
        ZYRK::Unicode::WideToUtf8(text, out);
    return out;
}

uint32_t SyslogW(const wchar_t* logger, int priority, const wchar_t* text)
{
    const std::string narrowLogger = Narrow(logger);
    const std::string narrowText = Narrow(text);
    return SyslogLog(narrowLogger.c_str(), priority, "%s", narrowText.c_str());
}

uint32_t XMLLog(const char* logger, int priority, const char* tag, const char* text, const char* attributeFormat,
                ...)
{
    if (!tag || !logger)
        return ZYRK::SLOG_ERR_ARGUMENT;
    char attributes[ZYRK::SLOG_MSG_MAX] = {};
    if (attributeFormat) {
        va_list args;
        va_start(args, attributeFormat);
        std::vsnprintf(attributes, sizeof attributes, attributeFormat, args);
        va_end(args);
    }
    std::string line = std::string("<") + tag + " " + attributes + " ";
    if (!text || !*text)
        line += "/>";
    else
        line += std::string(">") + text + "</" + tag + ">";
    if (line.size() > ZYRK::SLOG_MSG_MAX - 1)
        line.resize(ZYRK::SLOG_MSG_MAX - 1);
    return SyslogLog(logger, priority, "%s", line.c_str());
}

void SyslogKernelMessage(const char* format, ...)
{
    char text[ZYRK::SLOG_MSG_MAX];
    va_list args;
    va_start(args, format);
    if (format)
        std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
}
