// The library's post log (one dated line per call on the standard output and
// in "postlog.txt" in the temporary folder) and its standard-output printer.
#pragma once

#include <halvex/halvex_export.h>

#include <cwchar>

namespace ZYRK {

class HALVEX_API CPostLog {
public:
    CPostLog();
    explicit CPostLog(bool longLines);
    ~CPostLog();
    CPostLog(const CPostLog&) = delete;
    CPostLog& operator=(const CPostLog&) = delete;

    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    bool longLines_;
};

}  // namespace ZYRK

// Prints a wide printf format to the standard output: "%s" takes a wide text,
// "%S" an 8-bit one. Returns the C library's result.
HALVEX_C_API int ce_printmsg(const wchar_t* format, ...);
