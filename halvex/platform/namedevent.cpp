#include "halvex/platform/namedevent.h"

#include "halvex/platform/namedlock.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZYRK {
namespace Platform {

namespace {

std::string LockPath(const std::string& name)
{
    return LockFolder() + "/halvex-" + SanitizeObjectName(name) + ".lock";
}

std::string SemName(const std::string& name)
{
    return "/halvex-" + SanitizeObjectName(name);
}

struct flock WholeFile(short type)
{
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    fl.l_pid = 0;
    return fl;
}

bool SameFile(int fd, const std::string& path)
{
    struct stat a{}, b{};
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

CNamedEvent::CNamedEvent(std::string name, int lockFd, sem_t* sem)
    : name_(std::move(name)), lockFd_(lockFd), sem_(sem)
{
}

CNamedEvent::~CNamedEvent()
{
    // Unlink while still holding the lock: nobody else can be the creator in
    // between, and a later creator makes fresh objects.
    sem_unlink(SemName(name_).c_str());
    unlink(LockPath(name_).c_str());
    sem_close(sem_);
    close(lockFd_);
}

CNamedEvent* CNamedEvent::Create(const std::string& name, bool* alreadyExists)
{
    if (alreadyExists)
        *alreadyExists = false;
    const std::string path = LockPath(name);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = OpenLockFile(name);
        if (fd < 0)
            return nullptr;
        struct flock fl = WholeFile(F_WRLCK);
        if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
            int err = errno;
            close(fd);
            if ((err == EAGAIN || err == EACCES) && alreadyExists)
                *alreadyExists = true;
            return nullptr;
        }
        // The file may have been unlinked by its previous creator between our
        // open and our lock: then we locked a file nobody else can see.
        if (!SameFile(fd, path)) {
            close(fd);
            continue;
        }
        mode_t old = umask(0);
        sem_t* sem = sem_open(SemName(name).c_str(), O_CREAT, 0666, 0);
        umask(old);
        if (sem == SEM_FAILED) {
            close(fd);
            return nullptr;
        }
        // A semaphore left by a creator that died starts unsignalled again.
        while (sem_trywait(sem) == 0) {
        }
        return new CNamedEvent(name, fd, sem);
    }
    return nullptr;
}

bool CNamedEvent::Exists(const std::string& name)
{
    int fd = open(LockPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct flock fl = WholeFile(F_WRLCK);
    bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    close(fd);
    return held;
}

bool CNamedEvent::SignalByName(const std::string& name)
{
    if (!Exists(name))
        return false;
    sem_t* sem = sem_open(SemName(name).c_str(), 0);
    if (sem == SEM_FAILED)
        return false;
    int value = 0;
    // Auto-reset: at most one pending signal.
    if (sem_getvalue(sem, &value) == 0 && value == 0)
        sem_post(sem);
    sem_close(sem);
    return true;
}

void CNamedEvent::TryConsumeByName(const std::string& name)
{
    sem_t* sem = sem_open(SemName(name).c_str(), 0);
    if (sem == SEM_FAILED)
        return;
    sem_trywait(sem);
    sem_close(sem);
}

int CNamedEvent::Wait(uint32_t timeoutMs)
{
    int rc;
    if (timeoutMs == 0xFFFFFFFFu) {
        do {
            rc = sem_wait(sem_);
        } while (rc != 0 && errno == EINTR);
        return rc == 0 ? 0 : -1;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    do {
        rc = sem_clockwait(sem_, CLOCK_MONOTONIC, &deadline);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return 0;
    return errno == ETIMEDOUT ? 1 : -1;
}

void CNamedEvent::Set()
{
    int value = 0;
    if (sem_getvalue(sem_, &value) == 0 && value == 0)
        sem_post(sem_);
}

void CNamedEvent::Reset()
{
    while (sem_trywait(sem_) == 0) {
    }
}

}  // namespace Platform
}  // namespace ZYRK
