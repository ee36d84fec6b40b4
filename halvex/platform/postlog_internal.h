// Internals of the post log shared with the debug log and the tests.
#pragma once

#include <mutex>
#include <string>

namespace ZYRK {
namespace Platform {

class CNamedLock;

// The machine-wide "POSTMutex", shared by the debug log and the post log.
CNamedLock& PostMutex();

// The temporary folder: "TEMP", else "TMP", else the system's; read once
// and kept in the cache (empty until then).
struct TempFolderCache {
    std::mutex lock;
    std::string folder;
};
TempFolderCache& TheTempFolder();
std::string TempFolder();
std::string PostLogPath();

// The narrowing of ce_printmsg: "%s" -> "%ls", "%S" -> "%s", at most 1023
// characters, never ending inside a conversion.
std::string NarrowFormat(const wchar_t* format);

}  // namespace Platform
}  // namespace ZYRK
