#include "halvex/platform/namedlock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZYRK {
namespace Platform {

std::string SanitizeObjectName(const std::string& name)
{
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_';
        out += plain ? static_cast<char>(c) : '_';
    }
    if (out.empty() || out[0] == '.')
        out.insert(out.begin(), '_');
    return out;
}

static bool IsUsableFolder(const char* path)
{
    struct stat st{};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, W_OK | X_OK) == 0;
}

std::string LockFolder()
{
    const char* env = std::getenv("HALVEX_LOCK_DIR");
    if (env && *env)
        return env;
    for (const char* folder : {"/dev/shm", "/run/lock", "/tmp"}) {
        if (IsUsableFolder(folder))
            return folder;
    }
    return "/tmp";
}

int OpenLockFile(const std::string& name, bool ownerOnly)
{
    const std::string path = LockFolder() + "/halvex-" + SanitizeObjectName(name) + ".lock";
    const mode_t mode = ownerOnly ? 0600 : 0666;
    // Open an existing file without O_CREAT first: in sticky shared folders
    // the kernel may refuse O_CREAT on a file that another user created.
    // O_NONBLOCK: a FIFO planted under the name must not block the open.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            struct stat st{};
            if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (ownerOnly && st.st_uid != geteuid())) {
                close(fd);
                errno = EACCES;
                return -1;
            }
            if (ownerOnly && (st.st_mode & 077))
                fchmod(fd, mode);  // left open to others by an older version
            return fd;
        }
        if (errno != ENOENT)
            return -1;
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) {
            fchmod(fd, mode);  // the umask must not lock other users out
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

CNamedLock::CNamedLock(std::string name) : name_(std::move(name)) {}

CNamedLock::~CNamedLock()
{
    if (fd_ >= 0)
        close(fd_);
}

bool CNamedLock::EnsureOpen()
{
    pid_t pid = getpid();
    if (fd_ >= 0 && fdPid_ == pid)
        return true;
    if (fd_ >= 0) {
        // Inherited through fork: the descriptor shares the parent's lock, so
        // the child needs its own open file description.
        close(fd_);
        fd_ = -1;
    }
    fd_ = OpenLockFile(name_, true);
    fdPid_ = pid;
    return fd_ >= 0;
}

namespace {

// Tries take() until it succeeds (true) or the deadline passes (false), with
// pauses that grow from 0.2 to 5 ms. Polling, rather than a blocking or
// timed wait, keeps the bound whatever the holder does.
template <typename F>
bool TryUntil(std::chrono::steady_clock::time_point deadline, F take)
{
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        const int r = take();
        if (r != 0)
            return r > 0;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}

}  // namespace

bool CNamedLock::Lock(uint32_t waitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    if (!TryUntil(deadline, [this] { return local_.try_lock() ? 1 : 0; }))
        return false;
    if (depth_ > 0) {
        ++depth_;
        return true;
    }
    if (EnsureOpen()) {
        const bool taken = TryUntil(deadline, [this] {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0)
                return 1;
            return errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        });
        if (!taken) {
            local_.unlock();
            return false;
        }
    }
    depth_ = 1;
    return true;
}

void CNamedLock::Unlock()
{
    if (depth_ <= 0)
        return;
    if (--depth_ == 0 && fd_ >= 0)
        flock(fd_, LOCK_UN);
    local_.unlock();
}

}  // namespace Platform
}  // namespace ZYRK
