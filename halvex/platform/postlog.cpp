// Post log and the standard-output printer.
#include <halvex/platform/postlog.h>

#include "halvex/platform/namedlock.h"
#include "halvex/platform/postlog_internal.h"
#include "halvex/text/unicode_internal.h"

#include <locale.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>

// Pulls the library's start-up object into programs that link it statically.
extern "C" const int halvex_startup_anchor;
[[gnu::used]] static const int* const kStartupAnchor = &halvex_startup_anchor;

namespace ZYRK {

namespace {

constexpr size_t kShortLine = 97;
constexpr size_t kLongLine = 509;
constexpr off_t kPostLogLimit = 100000;
constexpr size_t kNarrowFormatMax = 1023;

std::atomic<uint32_t> gPostDropped{0};  // lines not written, "POSTMutex" busy

std::string ReadTempFolder()
{
    for (const char* var : {"TEMP", "TMP"}) {
        const char* v = std::getenv(var);
        if (v && *v)
            return v;
    }
    // The system's temporary folder.
    const char* v = std::getenv("TMPDIR");
    if (v && *v)
        return v;
    return "/tmp";
}

const char* ExecutableName()
{
    return program_invocation_short_name ? program_invocation_short_name : "";
}

}  // namespace

namespace Platform {

TempFolderCache& TheTempFolder()
{
    static TempFolderCache* cache = new TempFolderCache;  // kept for the process
    return *cache;
}

std::string TempFolder()
{
    TempFolderCache& cache = TheTempFolder();
    std::lock_guard<std::mutex> guard(cache.lock);
    if (cache.folder.empty())
        cache.folder = ReadTempFolder();
    return cache.folder;
}

std::string PostLogPath()
{
    std::string folder = TempFolder();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + "postlog.txt";
}

CNamedLock& PostMutex()
{
    static CNamedLock* lock = new CNamedLock("POSTMutex");
    return *lock;
}

std::string NarrowFormat(const wchar_t* format)
{
    std::string out;
    if (!format)
        return out;
    const wchar_t* p = format;
    while (*p) {
        std::string piece;
        if (*p != L'%') {
            // Text between conversions, as UTF-8 like every 8-bit text.
            const wchar_t* start = p;
            while (*p && *p != L'%')
                ++p;
            Unicode::WideToUtf8(std::wstring_view(start, size_t(p - start)), piece);
            if (out.size() + piece.size() > kNarrowFormatMax) {
                // As much as fits, never half a character.
                size_t fit = kNarrowFormatMax - out.size();
                while (fit > 0 && (static_cast<unsigned char>(piece[fit]) & 0xC0) == 0x80)
                    --fit;
                out.append(piece, 0, fit);
                break;
            }
        } else {
            // One whole conversion: flags, width, precision and length are
            // copied; "s" becomes "ls" and "S" becomes "s".
            piece += '%';
            ++p;
            bool hasLength = false;
            while (*p && std::wcschr(L"-+ #0123456789.*'hlLqjzt", *p)) {
                if (std::wcschr(L"hlLqjzt", *p))
                    hasLength = true;
                piece += static_cast<char>(*p++);
            }
            if (!*p)
                break;  // a conversion cut by the end of the format is dropped
            wchar_t conv = *p++;
            if (conv == L's' && !hasLength)
                piece += "ls";
            else if (conv == L'S' && !hasLength)
                piece += 's';
            else
                piece += static_cast<char>(conv);
        }
        if (out.size() + piece.size() > kNarrowFormatMax)
            break;
        out += piece;
    }
    return out;
}

}  // namespace Platform

CPostLog::CPostLog() : longLines_(false) {}

CPostLog::CPostLog(bool longLines) : longLines_(longLines) {}

CPostLog::~CPostLog() = default;

void CPostLog::Log(const char* format, ...)
{
    if (!format)
        return;
    const size_t limit = longLines_ ? kLongLine : kShortLine;
    time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char head[64];
    std::snprintf(head, sizeof head, "POST %d%02d%02d %02d:%02d:%02d - ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::string line = head;
    char name[64];
    std::snprintf(name, sizeof name, "%16.40s: ", ExecutableName());
    line += name;
    char message[kLongLine + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n > 0)
        line += message;
    if (line.size() > limit)
        line.resize(limit);

    Platform::CNamedLock& mutex = Platform::PostMutex();
    if (!mutex.Lock()) {
        // Held elsewhere for too long: the line is dropped rather than the
        // caller (a task that starts) kept waiting; the next line that gets
        // through reports how many were lost.
        gPostDropped.fetch_add(1);
        return;
    }
    std::string report;
    if (const uint32_t dropped = gPostDropped.exchange(0)) {
        char text[96];
        std::snprintf(text, sizeof text, "%u post-log lines dropped while \"POSTMutex\" was held elsewhere",
                      dropped);
        report = std::string(head) + name + text;
        if (report.size() > limit)
            report.resize(limit);
    }
    const std::string path = Platform::PostLogPath();
    struct stat st{};
    const bool tooLarge = stat(path.c_str(), &st) == 0 && st.st_size > kPostLogLimit;
    FILE* f = std::fopen(path.c_str(), tooLarge ? "we" : "ae");
    for (const std::string* text : {&report, &line}) {
        if (text->empty())
            continue;
        ce_printmsg(L"%S\r\n", text->c_str());
        if (f) {
            std::fwrite(text->data(), 1, text->size(), f);
            std::fputc('\n', f);
        }
    }
    std::fflush(stdout);
    if (f)
        std::fclose(f);
    mutex.Unlock();
}

}  // namespace ZYRK

int ce_printmsg(const wchar_t* format, ...)
{
    const std::string narrow = ZYRK::Platform::NarrowFormat(format);
    // "%ls" converts wide arguments by the locale's character set: on this
    // thread, for this call, that is UTF-8, whatever locale the process set.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    const locale_t previous = utf8 ? uselocale(utf8) : static_cast<locale_t>(nullptr);
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::vprintf(narrow.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
    if (previous)
        uselocale(previous);
    return n;
}
