// Internals of the debug log shared with the library's start-up and its tests.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace ZYRK {
namespace SysLogExt {

// Sets up the process-wide state (time offset, thread table, decorate flag);
// idempotent, also run lazily by the first line.
void InitDebugLog();

// Milliseconds since an arbitrary start, never going back (the tick count).
uint64_t TickCount();

// Appends the formatted message to line, which already holds the prefix
// and the indentation of a thread at depth: cut to a line of 410 characters
// ending in "..." when it does not fit, else without one trailing line feed
// and one carriage return before it.
void AppendMessage(std::string& line, int depth, const char* format, va_list args);

}  // namespace SysLogExt
}  // namespace ZYRK
