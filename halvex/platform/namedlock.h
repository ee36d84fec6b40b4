// Machine-wide named objects of the library on Linux, internal to halvex.
//
// A named lock is a file in a shared folder ("/dev/shm", else "/run/lock",
// else "/tmp") held with flock(2): the kernel drops the lock when its holder
// dies, so a crashed process never blocks the others. Inside one process a
// recursive mutex serialises the threads, because flock does not tell threads
// of one process apart.
#pragma once

#include <mutex>
#include <string>
#include <sys/types.h>

namespace ZYRK {
namespace Platform {

// Turns a name of the system ("SYSTEM/Syslog Data") into one file-name part.
std::string SanitizeObjectName(const std::string& name);

// The folder that holds the library's lock files; HALVEX_LOCK_DIR overrides it.
std::string LockFolder();

// Opens (creating when needed, readable and writable by everybody) the lock
// file of a named object; -1 when that fails. The descriptor is close-on-exec.
int OpenLockFile(const std::string& name);

class CNamedLock {
public:
    explicit CNamedLock(std::string name);
    ~CNamedLock();
    CNamedLock(const CNamedLock&) = delete;
    CNamedLock& operator=(const CNamedLock&) = delete;

    // Recursive within a thread. Returns false when the machine-wide part
    // could not be taken; the caller then holds nothing.
    bool Lock();
    void Unlock();

private:
    bool EnsureOpen();

    std::string name_;
    std::recursive_mutex local_;
    int fd_ = -1;
    pid_t fdPid_ = 0;  // the process that opened fd_ (a forked child reopens)
    int depth_ = 0;
};

}  // namespace Platform
}  // namespace ZYRK
