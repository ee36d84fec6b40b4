// The certificate folder and the files in it.
//
// The machine-wide application-data folder is $TELIOX_PROGRAMDATA when that
// environment variable is set and not empty, else /var/lib. The certificate
// folder is <that>/ZYRK/SSL and holds:
//   "cert.pem"          the client certificate (PEM)
//   "key.pem"           the client's private key (PEM, unencrypted, mode 0600)
//   "<hostName>.pem"    a camera's certificate: its text dump, then its PEM block
// Paths are plain byte strings. A path that does not fit in PATH_MAX is
// refused, never cut short.
#pragma once

#include <string>

inline constexpr const char* kProgramDataEnv = "TELIOX_PROGRAMDATA";
inline constexpr const char* kDefaultProgramData = "/var/lib";

struct CertificatePaths {
    std::string folder;           // <program data>/ZYRK/SSL
    std::string clientCertPath;   // folder + "/cert.pem"
    std::string clientKeyPath;    // folder + "/key.pem"

    // folder + "/" + hostName + ".pem"; empty when the host name cannot name a
    // file in the folder (empty, holds '/' or a NUL byte, is "." or "..") or
    // the path would be too long.
    std::string CameraCertPath(const std::string& hostName) const;
};

// $TELIOX_PROGRAMDATA or /var/lib.
std::string MachineDataFolder();

// Builds the paths below MachineDataFolder() without touching the disk.
// False (and a message in error) when a path would be longer than PATH_MAX.
bool GetCertificatePaths(CertificatePaths& paths, std::string& error);

// Creates <program data>/ZYRK/SSL with every missing parent. An existing
// folder is no error. False with a message in error otherwise.
bool CreateCertificateFolder(const CertificatePaths& paths, std::string& error);

// True when a path of this length (without the terminating NUL) can be used.
bool PathFits(const std::string& path);
