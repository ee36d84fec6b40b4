// The certificate folder and the files in it.
//
// One rule decides the folder; generation, the camera's certificate, the
// upload and the TLS route all ask GetCertificatePaths, in the window and in
// teliox-cli alike:
//
//  1. The machine-wide folder <program data>/ZYRK/SSL, where <program data>
//     is $TELIOX_PROGRAMDATA when set and not empty, else /var/lib, when
//       - the folder exists and the user may write in it, or it does not
//         exist yet and the nearest folder above it that exists is one the
//         user may write in (so it can be created), and
//       - "key.pem" and "cert.pem", where they exist there, are readable by
//         the user.
//     An install may create /var/lib/ZYRK/SSL for a group of technicians
//     (setgid, group-writable): files created there take the folder's group.
//  2. Otherwise the per-user folder <data home>/ZYRK/SSL, where <data home>
//     is $XDG_DATA_HOME when it holds an absolute path, else
//     ~/.local/share; folders made for it are owner-only (0700).
//
// The folder holds:
//   "cert.pem"          the client certificate (PEM, mode 0644)
//   "key.pem"           the client's private key (PEM, unencrypted, mode 0600)
//   "<hostName>.pem"    a camera's certificate: its text dump, then its PEM block
// A camera's host name comes from the network: it names a file only when it
// is a plain file-name part (see CameraFileNameProblem); it can never name
// "cert.pem", "key.pem" or anything outside the folder.
//
// Paths are plain byte strings. A path that does not fit in PATH_MAX is
// refused, never cut short. Files are replaced whole: a new file is written
// beside the old one and renamed over it only once it is complete.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>

inline constexpr const char* kProgramDataEnv = "TELIOX_PROGRAMDATA";
inline constexpr const char* kDefaultProgramData = "/var/lib";
inline constexpr const char* kDataHomeEnv = "XDG_DATA_HOME";

struct CertificatePaths {
    std::string folder;           // <program data or data home>/ZYRK/SSL
    std::string clientCertPath;   // folder + "/cert.pem"
    std::string clientKeyPath;    // folder + "/key.pem"
    bool machineWide = false;     // the machine-wide folder, else the per-user one

    // folder + "/" + hostName + ".pem"; empty when CameraFileNameProblem
    // refuses the host name or the path would be too long.
    std::string CameraCertPath(const std::string& hostName) const;
};

// $TELIOX_PROGRAMDATA or /var/lib.
std::string MachineDataFolder();

// $XDG_DATA_HOME when absolute, else $HOME/.local/share (the home folder
// from the user database when HOME is not set); empty when there is none.
std::string UserDataFolder();

// Decides the folder by the rule above and builds the paths, without
// creating anything. False (and a message in error) when no folder can be
// named or a path would be longer than PATH_MAX.
bool GetCertificatePaths(CertificatePaths& paths, std::string& error);

// Creates the decided folder with every missing parent (0755 for the
// machine-wide folder, 0700 for the per-user one). An existing folder is no
// error. False with a message in error otherwise.
bool CreateCertificateFolder(const CertificatePaths& paths, std::string& error);

// True when a path of this length (without the terminating NUL) can be used.
bool PathFits(const std::string& path);

// Why a camera's host name cannot name its certificate file, or empty when
// it can. Refused: an empty name, "cert" and "key" in any letter case, names
// longer than a file name can hold with ".pem", a leading dot, and any byte
// other than ASCII letters, digits, '-', '_' and '.'.
std::string CameraFileNameProblem(const std::string& hostName);

// The status text for a refused host name: the reason and the name, with
// every byte outside printable ASCII shown as \xNN.
std::string CameraFileNameRefusal(const std::string& hostName);

// A text from the network made fit for a status line or a terminal: bytes
// outside printable ASCII as \xNN, cut after maxChars characters with "...".
std::string PrintableText(const std::string& text, size_t maxChars = 64);

// A file written whole beside its final name (a name starting with a dot,
// which no camera's file can have) and put in its place by Commit; until
// then, and when Commit is never called, the old file stays as it was.
class CPendingFile {
public:
    CPendingFile() = default;
    ~CPendingFile();  // removes the new file unless it was committed
    CPendingFile(const CPendingFile&) = delete;
    CPendingFile& operator=(const CPendingFile&) = delete;

    // Creates the new file with `mode`, lets `write` fill it and flushes it
    // to disk. False with a message in error when anything fails.
    bool Write(const std::string& path, mode_t mode, const std::function<bool(FILE*)>& write,
               std::string& error);
    // Renames the new file over `path`.
    bool Commit(std::string& error);

private:
    std::string path_;
    std::string temp_;
};

// Write and Commit in one go.
bool ReplaceFile(const std::string& path, mode_t mode, const std::function<bool(FILE*)>& write,
                 std::string& error);
