// The library's debug log (ZYRK::SysLogExt): one decorated line per call with
// a level 0..6, the time of day, the calling thread and its indentation, sent
// to the debug output and to the calling thread's appender.
#pragma once

#include <halvex/halvex_export.h>

#include <cstdarg>

namespace ZYRK {
namespace SysLogExt {

HALVEX_API int PrintF(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_API int VPrintF(int level, const char* format, va_list args);
HALVEX_API int ResultF(unsigned long result, int verbosity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
HALVEX_API int Dump(const char* name, const void* data, int length);
HALVEX_API void SupressDbgOutput();
HALVEX_API bool isDbgOutputSupressed();

}  // namespace SysLogExt
}  // namespace ZYRK

// Appender: (level, line without line end, length, always 0).
typedef void (*SYSLOG_APPENDER_T)(int level, const char* line, int length, int reserved);
HALVEX_C_API SYSLOG_APPENDER_T InstallThreadAppender(SYSLOG_APPENDER_T appender);
