// Internals of the post log shared with the debug log and the tests.
#pragma once

#include <string>

namespace ZYRK {
namespace Platform {

class CNamedLock;

// The machine-wide "POSTMutex", shared by the debug log and the post log.
CNamedLock& PostMutex();

// The temporary folder: "TEMP", else "TMP", else the system's; read once.
std::string TempFolder();
std::string PostLogPath();
void ResetTempFolderForTests();

// The narrowing of ce_printmsg: "%s" -> "%ls", "%S" -> "%s", at most 1023
// characters, never ending inside a conversion.
std::string NarrowFormat(const wchar_t* format);

}  // namespace Platform
}  // namespace ZYRK
