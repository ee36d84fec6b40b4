#include "halvex/platform/namedlock.h"

#include <cerrno>
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

int OpenLockFile(const std::string& name)
{
    std::string path = LockFolder() + "/halvex-" + SanitizeObjectName(name) + ".lock";
    // Open an existing file without O_CREAT first: in sticky shared folders
    // the kernel may refuse O_CREAT on a file that another user created.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0)
            return fd;
        if (errno != ENOENT)
            return -1;
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666);  // the umask must not lock other users out
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
    fd_ = OpenLockFile(name_);
    fdPid_ = pid;
    return fd_ >= 0;
}

bool CNamedLock::Lock()
{
    local_.lock();
    if (depth_ > 0) {
        ++depth_;
        return true;
    }
    if (!EnsureOpen()) {
        local_.unlock();
        return false;
    }
    int rc;
    do {
        rc = flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        local_.unlock();
        return false;
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
