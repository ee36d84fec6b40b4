// Resets of the library's process-wide logging state between test cases.
// They live in the tests only and reach the state through the library's
// internal headers, so that the library itself carries no test entry points.
#pragma once

namespace ZYRK {
namespace SysLogExt {

// Decorate again and forget every thread's place in the debug log.
void ResetDebugLogForTests();

}  // namespace SysLogExt

namespace Platform {

// Empty the syslog cache and drop count and forget the queue, so that the
// next message attaches anew.
void ResetSyslogForTests();

// Read the temporary folder again ("TEMP", "TMP") at its next use.
void ResetTempFolderForTests();

}  // namespace Platform
}  // namespace ZYRK
