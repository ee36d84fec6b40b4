#include "app/actions/cert_store.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kPemSuffix = ".pem";

std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Access checks with the effective ids, as the opens that follow use them.
bool MayAccess(const std::string& path, int mode) { return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0; }

bool IsFolder(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

// A folder the user can put files in: it exists and may be written and
// entered, or it can be created below the nearest folder that exists.
bool FolderUsable(const std::string& folder) {
    std::string existing = folder;
    while (!Exists(existing)) {
        const std::string up = Parent(existing);
        if (up == existing) return false;
        existing = up;
    }
    return IsFolder(existing) && MayAccess(existing, W_OK | X_OK);
}

bool MachineFolderUsable(const CertificatePaths& p) {
    if (!FolderUsable(p.folder)) return false;
    for (const std::string& file : {p.clientKeyPath, p.clientCertPath})
        if (Exists(file) && !MayAccess(file, R_OK)) return false;
    return true;
}

CertificatePaths PathsIn(const std::string& base, bool machineWide) {
    CertificatePaths p;
    p.folder = Join(Join(base, "ZYRK"), "SSL");
    p.clientCertPath = Join(p.folder, "cert.pem");
    p.clientKeyPath = Join(p.folder, "key.pem");
    p.machineWide = machineWide;
    return p;
}

bool PathsFit(const CertificatePaths& p) { return PathFits(p.clientCertPath) && PathFits(p.clientKeyPath); }

std::string TooLong(const std::string& folder) {
    return "Certificate folder path is too long: " + folder.substr(0, 80) + "...";
}

// mkdir -p: every component in turn; one that exists as a folder is fine.
bool MakeFolder(const std::string& path, mode_t mode, std::string& error) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        const std::string prefix = path.substr(0, next);
        pos = next + 1;
        if (prefix.empty() || prefix.back() == '/') continue;  // leading or doubled '/'
        if (mkdir(prefix.c_str(), mode) == 0) {
            // The mode exactly, whatever the umask: a per-user folder is owner-only.
            chmod(prefix.c_str(), mode);
            continue;
        }
        int err = errno;
        if (err == EEXIST && IsFolder(prefix)) continue;
        error = "Failed to create certificate folder " + prefix + ": " + std::strerror(err == EEXIST ? ENOTDIR : err);
        return false;
    }
    return true;
}

bool IEquals(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

bool PathFits(const std::string& path) {
    return !path.empty() && path.size() < PATH_MAX && path.find('\0') == std::string::npos;
}

std::string MachineDataFolder() {
    const char* env = std::getenv(kProgramDataEnv);
    if (env && *env) return env;
    return kDefaultProgramData;
}

std::string UserDataFolder() {
    // Only an absolute path counts; a relative one is ignored, as the XDG
    // base directory rules ask.
    const char* xdg = std::getenv(kDataHomeEnv);
    if (xdg && xdg[0] == '/') return xdg;
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
        home = env;
    } else {
        std::vector<char> buffer(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty()) return {};
    return Join(Join(home, ".local"), "share");
}

bool GetCertificatePaths(CertificatePaths& paths, std::string& error) {
    CertificatePaths machine = PathsIn(MachineDataFolder(), true);
    if (PathsFit(machine) && MachineFolderUsable(machine)) {
        paths = std::move(machine);
        return true;
    }
    const std::string dataHome = UserDataFolder();
    if (dataHome.empty()) {
        error = "Certificate folder " + machine.folder +
                " cannot be used and there is no per-user data folder (HOME is not set)";
        return false;
    }
    CertificatePaths user = PathsIn(dataHome, false);
    if (!PathsFit(user)) {
        error = TooLong(user.folder);
        return false;
    }
    paths = std::move(user);
    return true;
}

std::string CertificatePaths::CameraCertPath(const std::string& hostName) const {
    if (!CameraFileNameProblem(hostName).empty()) return {};
    std::string path = Join(folder, hostName + kPemSuffix);
    return PathFits(path) ? path : std::string();
}

bool CreateCertificateFolder(const CertificatePaths& paths, std::string& error) {
    if (!PathFits(paths.folder)) {
        error = "Certificate folder path is too long";
        return false;
    }
    return MakeFolder(paths.folder, paths.machineWide ? 0755 : 0700, error);
}

std::string CameraFileNameProblem(const std::string& hostName) {
    if (hostName.empty()) return "the camera has no host name";
    if (IEquals(hostName, "cert") || IEquals(hostName, "key")) return "the host name is reserved for the client files";
    if (hostName.size() + std::strlen(kPemSuffix) > NAME_MAX) return "the host name is too long for a file name";
    if (hostName[0] == '.') return "the host name starts with a dot";
    for (unsigned char c : hostName) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '_' || c == '.';
        if (!plain) return "the host name holds characters a file name must not have";
    }
    return {};
}

std::string CameraFileNameRefusal(const std::string& hostName) {
    const std::string why = CameraFileNameProblem(hostName);
    if (why.empty()) return {};
    return "Camera certificate not stored: " + why + " (\"" + PrintableText(hostName) + "\")";
}

std::string PrintableText(const std::string& text, size_t maxChars) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    size_t chars = 0;
    for (unsigned char c : text) {
        if (chars == maxChars) {
            out += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
        ++chars;
    }
    return out;
}

CPendingFile::~CPendingFile() {
    if (!temp_.empty()) unlink(temp_.c_str());
}

bool CPendingFile::Write(const std::string& path, mode_t mode, const std::function<bool(FILE*)>& write,
                         std::string& error) {
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
    path_ = path;
    if (!PathFits(path)) {
        error = "path too long";
        return false;
    }
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + base.substr(0, NAME_MAX - 8) + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a file in " + (dir.empty() ? std::string(".") : dir) + ": " + std::strerror(errno);
        return false;
    }
    temp_ = temp;
    FILE* f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    bool ok = write(f);
    ok = std::fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) error = "cannot write " + path;
    return ok;
}

bool CPendingFile::Commit(std::string& error) {
    if (temp_.empty()) {
        error = "nothing written for " + path_;
        return false;
    }
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = "cannot replace " + path_ + ": " + std::strerror(errno);
        return false;
    }
    temp_.clear();
    return true;
}

bool ReplaceFile(const std::string& path, mode_t mode, const std::function<bool(FILE*)>& write,
                 std::string& error) {
    CPendingFile file;
    return file.Write(path, mode, write, error) && file.Commit(error);
}
