// Internals of the debug log shared with the library's start-up and its tests.
#pragma once

#include <cstdint>
#include <string>

namespace ZYRK {
namespace SysLogExt {

// Sets up the process-wide state (time offset, thread table, decorate flag);
// idempotent, also run lazily by the first line.
void InitDebugLog();

// Milliseconds since an arbitrary start, never going back (the tick count).
uint64_t TickCount();

// Tests: decorate again and forget every thread's place.
void ResetDebugLogForTests();

// Builds a line exactly as PrintF would for the given depth and decoration,
// without touching the state; used by tests of the cut rules.
std::string FormatMessageForTests(int depth, const char* message);

}  // namespace SysLogExt
}  // namespace ZYRK
