// The library's debug log: one decorated line per call, serialised across all
// processes by the named mutex "POSTMutex", sent to the debug output (standard
// error when HALVEX_DEBUG_OUTPUT=1) and to the calling thread's appender.
#include <halvex/platform/syslogext.h>

#include "halvex/platform/debuglog_internal.h"
#include "halvex/platform/debuglog_state_internal.h"
#include "halvex/platform/namedlock.h"
#include "halvex/platform/postlog_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

// Pulls the library's start-up object into programs that link it statically.
extern "C" const int halvex_startup_anchor;
[[gnu::used]] static const int* const kStartupAnchor = &halvex_startup_anchor;

namespace ZYRK {
namespace SysLogExt {

DebugLogState& DebugLogProcessState()
{
    // Leaked on purpose: threads may still log while the process exits.
    static DebugLogState* state = [] {
        auto* s = new DebugLogState;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        time_t secs = now.tv_sec;
        tm local{};
        localtime_r(&secs, &local);
        int64_t todMs = (int64_t(local.tm_hour) * 3600 + local.tm_min * 60 + local.tm_sec) * 1000 +
                        now.tv_nsec / 1000000;
        s->timeOffset = todMs - static_cast<int64_t>(TickCount());
        const char* env = std::getenv("HALVEX_DEBUG_OUTPUT");
        s->toStderr = env && std::strcmp(env, "1") == 0;
        return s;
    }();
    return *state;
}

namespace {

constexpr int kMaxLevel = 6;
constexpr int kLineSize = 410;     // the longest line, CR LF included
constexpr int kMessageRoom = 384;  // message characters before the depth is taken off

const char kLevelLetters[kMaxLevel + 1] = {'?', '#', 'E', '!', 'i', '.', ' '};

// A thread that ends gives its place back, so that a later thread that gets
// the same id from the kernel does not inherit its depth or appender.
struct ThreadPlaceOwner {
    uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    ~ThreadPlaceOwner();
};

uint32_t CurrentThreadId()
{
    static thread_local ThreadPlaceOwner owner;
    return owner.id;
}

// Finds the calling thread's place (taking a free place or the least recently
// used one) and moves it to index target, or nearer the front when it is
// already there; returns it. Logging moves a thread to the front, so the
// first place always belongs to the thread that logged last. Caller holds
// tableLock.
ThreadPlace& MovePlace(DebugLogState& s, uint32_t id, int target, bool* wasFront)
{
    int found = -1;
    for (int i = 0; i < kThreadPlaces; ++i) {
        if (s.places[i].id == id) {
            found = i;
            break;
        }
    }
    if (wasFront)
        *wasFront = (found == 0);
    if (found < 0) {
        for (int i = 0; i < kThreadPlaces; ++i) {
            if (s.places[i].id == 0) {
                found = i;
                break;
            }
        }
        if (found < 0)
            found = kThreadPlaces - 1;
        // A new owner starts without indentation and without the previous
        // owner's appender.
        s.places[found] = ThreadPlace{id, 0, nullptr};
    }
    if (found < target && s.places[target].id == 0) {
        // A new place in an empty table: keep the first place free.
        std::swap(s.places[found], s.places[target]);
        found = target;
    }
    if (found <= target)
        return s.places[found];
    ThreadPlace place = s.places[found];
    for (int i = found; i > target; --i)
        s.places[i] = s.places[i - 1];
    s.places[target] = place;
    return s.places[target];
}

ThreadPlaceOwner::~ThreadPlaceOwner()
{
    DebugLogState& s = DebugLogProcessState();
    std::lock_guard<std::mutex> guard(s.tableLock);
    for (auto& place : s.places) {
        if (place.id == id)
            place = ThreadPlace{};
    }
}

void AppendTimeOfDay(std::string& line, int64_t ms)
{
    if (ms < 0)
        ms = 0;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>((ms / 3600000) % 24),
                  static_cast<int>((ms / 60000) % 60), static_cast<int>((ms / 1000) % 60),
                  static_cast<int>(ms % 1000));
    line += buf;
}

void SendToDebugOutput(const DebugLogState& s, const std::string& line)
{
    if (!s.toStderr)
        return;
    std::string out = line;
    out += "\r\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

int WriteLine(int level, const char* format, va_list args)
{
    if (level < 0 || level > kMaxLevel)
        return 0;
    DebugLogState& s = DebugLogProcessState();
    const uint64_t tick = TickCount();
    const uint32_t tid = CurrentThreadId();
    Platform::CNamedLock& postMutex = Platform::PostMutex();
    if (!postMutex.Lock()) {
        // Held elsewhere for too long: the line is dropped, not waited for,
        // and the drop is reported by the next line that gets through.
        s.dropped.fetch_add(1);
        return 0;
    }

    std::string line;
    line.reserve(kLineSize + 2);
    SYSLOG_APPENDER_T appender = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.tableLock);
        bool wasFront = false;
        ThreadPlace& place = MovePlace(s, tid, 0, &wasFront);
        appender = place.appender;
        int depth = 0;
        if (s.decorate) {
            if (!wasFront)
                line += "\r\n";
            line += kLevelLetters[level];
            line += ' ';
            AppendTimeOfDay(line, static_cast<int64_t>(tick) + s.timeOffset);
            char idText[16];
            std::snprintf(idText, sizeof idText, " %08X ", tid);
            line += idText;
            if (format && format[0] == '<' && place.depth > 0)
                --place.depth;
            depth = place.depth;
            line.append(static_cast<size_t>(depth), '\t');
        }
        AppendMessage(line, depth, format, args);
        if (s.decorate && format && format[0] == '>' && place.depth < kMaxDepth)
            ++place.depth;
    }
    SendToDebugOutput(s, line);
    postMutex.Unlock();

    if (appender)
        appender(level, line.c_str(), static_cast<int>(line.size()), 0);
    if (const uint32_t dropped = s.dropped.exchange(0))
        PrintF(2, "SysLogExt: %u lines dropped while \"POSTMutex\" was held elsewhere", dropped);
    return static_cast<int>(line.size());
}

}  // namespace

uint64_t TickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void InitDebugLog()
{
    (void)DebugLogProcessState();
}

// Appends the formatted message to line, which already holds the prefix and
// the indentation; applies the cut and the removal of one line end.
void AppendMessage(std::string& line, int depth, const char* format, va_list args)
{
    const int room = kMessageRoom - depth;
    char buf[kLineSize + 1];
    buf[0] = '\0';
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf, sizeof buf, format ? format : "", copy);
    va_end(copy);
    if (n < 0 || n > room) {
        // Too long or unformattable: the line becomes exactly kLineSize
        // characters ending in "...".
        size_t keep = line.size() < kLineSize - 3 ? kLineSize - 3 - line.size() : 0;
        if (n > 0)
            line.append(buf, std::min(keep, std::strlen(buf)));
        if (line.size() > kLineSize - 3)
            line.resize(kLineSize - 3);
        line.append(kLineSize - 3 - line.size(), ' ');
        line += "...";
        return;
    }
    std::string message(buf, static_cast<size_t>(n));
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    if (!message.empty() && message.back() == '\r')
        message.pop_back();
    line += message;
}

int VPrintF(int level, const char* format, va_list args)
{
    return WriteLine(level, format, args);
}

int PrintF(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = WriteLine(level, format, args);
    va_end(args);
    return n;
}

int ResultF(unsigned long result, int verbosity, const char* format, ...)
{
    const uint32_t code = static_cast<uint32_t>(result);
    const uint32_t top = code >> 24;
    const int level = top == 0 ? 5 : top == 0xB0 ? 4 : 2;
    if (verbosity < level)
        return 0;
    va_list args;
    va_start(args, format);
    int n = WriteLine(level, format, args);
    va_end(args);
    return n;
}

int Dump(const char* name, const void* data, int length)
{
    std::string bytes;
    if (!data) {
        bytes = "NULL";
    } else {
        const auto* p = static_cast<const unsigned char*>(data);
        const int shown = length <= 0 ? 0 : length <= 63 ? length : 62;
        bytes = "{";
        char pair[4];
        for (int i = 0; i < shown; ++i) {
            std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", p[i]);
            bytes += pair;
        }
        if (length > 63)
            bytes += "...";
        bytes += "}";
    }
    return PrintF(6, "%s = %s", name ? name : "(null)", bytes.c_str());
}

void SupressDbgOutput()
{
    DebugLogState& s = DebugLogProcessState();
    std::lock_guard<std::mutex> guard(s.tableLock);
    s.decorate = false;
}

bool isDbgOutputSupressed()
{
    DebugLogState& s = DebugLogProcessState();
    std::lock_guard<std::mutex> guard(s.tableLock);
    return !s.decorate;
}

}  // namespace SysLogExt
}  // namespace ZYRK

SYSLOG_APPENDER_T InstallThreadAppender(SYSLOG_APPENDER_T appender)
{
    using namespace ZYRK::SysLogExt;
    DebugLogState& s = DebugLogProcessState();
    std::lock_guard<std::mutex> guard(s.tableLock);
    // Installing is not logging: the thread does not take the first place.
    ThreadPlace& place = MovePlace(s, CurrentThreadId(), 1, nullptr);
    SYSLOG_APPENDER_T previous = place.appender;
    place.appender = appender;
    return previous;
}
