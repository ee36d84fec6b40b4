#include "app/actions/cert_store.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

bool PathFits(const std::string& path) {
    return !path.empty() && path.size() < PATH_MAX && path.find('\0') == std::string::npos;
}

std::string MachineDataFolder() {
    const char* env = std::getenv(kProgramDataEnv);
    if (env && *env) return env;
    return kDefaultProgramData;
}

static std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

bool GetCertificatePaths(CertificatePaths& paths, std::string& error) {
    CertificatePaths p;
    p.folder = Join(Join(MachineDataFolder(), "ZYRK"), "SSL");
    p.clientCertPath = Join(p.folder, "cert.pem");
    p.clientKeyPath = Join(p.folder, "key.pem");
    if (!PathFits(p.clientCertPath) || !PathFits(p.clientKeyPath)) {
        error = "Certificate folder path is too long: " + p.folder.substr(0, 80) + "...";
        return false;
    }
    paths = std::move(p);
    return true;
}

std::string CertificatePaths::CameraCertPath(const std::string& hostName) const {
    if (hostName.empty() || hostName == "." || hostName == ".." ||
        hostName.find('/') != std::string::npos || hostName.find('\0') != std::string::npos)
        return {};
    std::string path = Join(folder, hostName + ".pem");
    return PathFits(path) ? path : std::string();
}

// mkdir -p: every component in turn; one that exists as a folder is fine.
static bool MakeFolder(const std::string& path, std::string& error) {
    std::string prefix;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        prefix = path.substr(0, next);
        pos = next + 1;
        if (prefix.empty() || prefix.back() == '/') continue;  // leading or doubled '/'
        if (mkdir(prefix.c_str(), 0755) == 0) continue;
        int err = errno;
        struct stat st{};
        if (err == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        error = "Failed to create certificate folder " + prefix + ": " +
                std::strerror(err == EEXIST ? ENOTDIR : err);
        return false;
    }
    return true;
}

bool CreateCertificateFolder(const CertificatePaths& paths, std::string& error) {
    if (!PathFits(paths.folder)) {
        error = "Certificate folder path is too long";
        return false;
    }
    return MakeFolder(paths.folder, error);
}
