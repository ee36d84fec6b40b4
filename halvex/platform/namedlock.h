// Machine-wide named objects of the library on Linux, internal to halvex.
//
// A named lock is a file in a shared folder ("/dev/shm", else "/run/lock",
// else "/tmp") held with flock(2): the kernel drops the lock when its holder
// dies, so a crashed process never blocks the others. Inside one process a
// recursive mutex serialises the threads, because flock does not tell threads
// of one process apart.
//
// Taking a named lock waits a bounded time: another process (or another
// user) that holds the file cannot stop the callers, who then go without.
// The lock file is the owner's alone (mode 0600): a file that belongs to
// another user, or that cannot be opened, leaves the lock to this process.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace ZYRK {
namespace Platform {

// Turns a name of the system ("SYSTEM/Syslog Data") into one file-name part.
std::string SanitizeObjectName(const std::string& name);

// The folder that holds the library's lock files; HALVEX_LOCK_DIR overrides it.
std::string LockFolder();

// Opens (creating when needed) the lock file of a named object; -1 when that
// fails. Shared files are readable and writable by everybody; ownerOnly ones
// are created with mode 0600 and refused (-1, EACCES) when they belong to
// another user. Only regular files are opened. The descriptor is
// close-on-exec.
int OpenLockFile(const std::string& name, bool ownerOnly = false);

// How long Lock waits by default.
constexpr uint32_t NAMED_LOCK_WAIT_MS = 100;

class CNamedLock {
public:
    explicit CNamedLock(std::string name);
    ~CNamedLock();
    CNamedLock(const CNamedLock&) = delete;
    CNamedLock& operator=(const CNamedLock&) = delete;

    // Recursive within a thread. Waits at most waitMs for the process's and
    // the machine-wide part; false when they could not be taken in that
    // time, and the caller then holds nothing. Without a usable lock file
    // only the process's part is taken.
    bool Lock(uint32_t waitMs = NAMED_LOCK_WAIT_MS);
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
