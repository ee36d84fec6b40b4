#include "test_support.h"

#include "app/actions/cert_store.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace {

class SavedEnv {
public:
    explicit SavedEnv(const char* name = kProgramDataEnv) : name_(name) {
        const char* v = std::getenv(name_);
        if (v) value_ = v;
        had_ = v != nullptr;
    }
    ~SavedEnv() {
        if (had_) setenv(name_, value_.c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::string value_;
    bool had_ = false;
};

mode_t Mode(const std::string& path) {
    struct stat st{};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

bool IsDir(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(CertStore, ProgramDataFolderComesFromTheEnvironmentElseVarLib) {
    SavedEnv saved;
    setenv(kProgramDataEnv, "/srv/teliox", 1);
    EXPECT_EQ(MachineDataFolder(), "/srv/teliox");
    setenv(kProgramDataEnv, "", 1);
    EXPECT_EQ(MachineDataFolder(), "/var/lib");
    unsetenv(kProgramDataEnv);
    EXPECT_EQ(MachineDataFolder(), "/var/lib");

    // A machine-wide folder the user can write: the files are there.
    ScopedProgramData data("store-machine");
    CertificatePaths paths;
    std::string error;
    ASSERT_TRUE(GetCertificatePaths(paths, error)) << error;
    EXPECT_TRUE(paths.machineWide);
    EXPECT_EQ(paths.folder, data.SslDir());
    EXPECT_EQ(paths.clientCertPath, data.SslDir() + "/cert.pem");
    EXPECT_EQ(paths.clientKeyPath, data.SslDir() + "/key.pem");
    EXPECT_FALSE(IsDir(data.dir() + "/ZYRK"));  // deciding creates nothing

    setenv(kProgramDataEnv, (data.dir() + "/").c_str(), 1);  // a trailing slash is not doubled
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_EQ(paths.clientKeyPath, data.SslDir() + "/key.pem");
}

TEST(CertStore, PerUserFolderFollowsXdgDataHomeElseHome) {
    ScopedProgramData data("store-xdg");
    SavedEnv savedHome("HOME");
    setenv(kDataHomeEnv, "/srv/users/t1/data", 1);
    EXPECT_EQ(UserDataFolder(), "/srv/users/t1/data");
    setenv("HOME", "/home/t1", 1);
    for (const char* ignored : {"", "relative/data"}) {  // only an absolute path counts
        setenv(kDataHomeEnv, ignored, 1);
        EXPECT_EQ(UserDataFolder(), "/home/t1/.local/share") << ignored;
    }
    unsetenv(kDataHomeEnv);
    EXPECT_EQ(UserDataFolder(), "/home/t1/.local/share");
}

TEST(CertStore, FolderIsCreatedWithItsParentsAndMayExistButNotAsAFile) {
    ScopedProgramData data("store-create");
    const std::string base = data.dir() + "/deep/er";
    setenv(kProgramDataEnv, base.c_str(), 1);
    CertificatePaths paths;
    std::string error;
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    ASSERT_TRUE(CreateCertificateFolder(paths, error)) << error;
    EXPECT_TRUE(IsDir(base + "/ZYRK/SSL"));
    EXPECT_TRUE(CreateCertificateFolder(paths, error)) << error;  // again: no error

    // A file where the machine-wide folder belongs: that folder cannot be
    // used, so the per-user one is, made owner-only.
    WriteFile(data.dir() + "/ZYRK", "a file where a folder belongs");
    setenv(kProgramDataEnv, data.dir().c_str(), 1);
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_FALSE(paths.machineWide);
    EXPECT_EQ(paths.folder, data.UserSslDir());
    ASSERT_TRUE(CreateCertificateFolder(paths, error)) << error;
    EXPECT_EQ(Mode(data.DataHome() + "/ZYRK"), 0700u);
    EXPECT_EQ(Mode(data.UserSslDir()), 0700u);

    // When that cannot be made either, the error names the part in the way.
    WriteFile(data.DataHome() + "/ZYRK/SSL-file", "");
    setenv(kDataHomeEnv, (data.DataHome() + "/ZYRK/SSL-file").c_str(), 1);
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_FALSE(CreateCertificateFolder(paths, error));
    EXPECT_NE(error.find(data.DataHome() + "/ZYRK/SSL-file"), std::string::npos) << error;
}

TEST(CertStore, OverlongPathsAreRefusedNotCut) {
    ScopedProgramData data("store-long");
    const std::string longBase = "/tmp/" + std::string(PATH_MAX, 'x');
    setenv(kProgramDataEnv, longBase.c_str(), 1);
    CertificatePaths paths;
    std::string error;
    // A machine-wide folder too long to use: the per-user one, never a cut path.
    ASSERT_TRUE(GetCertificatePaths(paths, error)) << error;
    EXPECT_FALSE(paths.machineWide);
    EXPECT_EQ(paths.folder, data.UserSslDir());
    setenv(kDataHomeEnv, longBase.c_str(), 1);
    EXPECT_FALSE(GetCertificatePaths(paths, error));
    EXPECT_NE(error.find("too long"), std::string::npos);
    setenv(kDataHomeEnv, data.DataHome().c_str(), 1);

    // Just short enough for cert.pem: fine; a long host name still is not.
    const std::string base = "/tmp/" + std::string(PATH_MAX - 30, 'y');
    setenv(kProgramDataEnv, base.c_str(), 1);
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_TRUE(paths.CameraCertPath("cam").size() < PATH_MAX);
    EXPECT_EQ(paths.CameraCertPath(std::string(40, 'h')), "");
}

TEST(CertStore, CameraFileNameStaysInsideTheFolder) {
    CertificatePaths paths;
    paths.folder = "/data/ZYRK/SSL";
    EXPECT_EQ(paths.CameraCertPath("ircam-0042"), "/data/ZYRK/SSL/ircam-0042.pem");
    EXPECT_EQ(paths.CameraCertPath("cam.local"), "/data/ZYRK/SSL/cam.local.pem");
    EXPECT_EQ(paths.CameraCertPath("Cam_7"), "/data/ZYRK/SSL/Cam_7.pem");
    EXPECT_EQ(paths.CameraCertPath("keys"), "/data/ZYRK/SSL/keys.pem");  // only the whole name is reserved
    const std::string longest(NAME_MAX - 4, 'h');  // with ".pem" exactly a file name
    EXPECT_EQ(paths.CameraCertPath(longest), "/data/ZYRK/SSL/" + longest + ".pem");
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "../../etc/passwd", "a/b", std::string("a\0b", 3)})
        EXPECT_EQ(paths.CameraCertPath(bad), "") << bad;
}

TEST(CertStore, HostNamesThatCouldHarmTheFolderAreRefusedWithAReason) {
    const std::vector<std::string> refused{
        "",          "cert",          "key",        "KEY",         "Cert",       "kEy",
        ".hidden",   ".",             "..",         "a/b",         "a\\b",     "/etc/x",
        "cam\nsecond", "cam\x1b[31m", "cam\x7f",   "tab\tname",  "with space", "<h1>BIG</h1>",
        "na\xc3\xafve", "\xff\xfe",   std::string(NAME_MAX - 3, 'h'), std::string("nul\0x", 5)};
    CertificatePaths paths;
    paths.folder = "/data/ZYRK/SSL";
    for (const std::string& name : refused) {
        EXPECT_FALSE(CameraFileNameProblem(name).empty()) << PrintableText(name);
        EXPECT_EQ(paths.CameraCertPath(name), "") << PrintableText(name);
        const std::string status = CameraFileNameRefusal(name);
        EXPECT_EQ(status.rfind("Camera certificate not stored: ", 0), 0u) << status;
        // The status shows the name, but never a control byte from the network.
        for (unsigned char c : status) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << status;
    }
    EXPECT_NE(CameraFileNameRefusal("key").find("reserved"), std::string::npos);
    EXPECT_NE(CameraFileNameRefusal("cam\x1b[31m").find("cam\\x1B[31m"), std::string::npos);
    EXPECT_EQ(CameraFileNameRefusal("ircam-0042"), "");
    EXPECT_EQ(PrintableText(std::string(100, 'a'), 10), "aaaaaaaaaa...");
}

TEST(CertStore, ReplacedFilesAreWholeOrNotAtAll) {
    ScopedProgramData data("store-replace");
    const std::string path = data.dir() + "/file.pem";
    WriteFile(path, "old");
    std::string error;
    // A writer that fails half-way: the old file stays, no new file is left.
    EXPECT_FALSE(ReplaceFile(path, 0600, [](FILE* f) { return std::fputs("half", f) >= 0 && false; }, error));
    EXPECT_EQ(ReadFile(path), "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(data.dir())) ++entries;
    EXPECT_EQ(entries, 1u);

    ASSERT_TRUE(ReplaceFile(path, 0600, [](FILE* f) { return std::fputs("new", f) >= 0; }, error)) << error;
    EXPECT_EQ(ReadFile(path), "new");
    EXPECT_EQ(Mode(path), 0600u);

    // A pending file that is never committed leaves the old one alone.
    {
        CPendingFile pending;
        ASSERT_TRUE(pending.Write(path, 0644, [](FILE* f) { return std::fputs("dropped", f) >= 0; }, error));
    }
    EXPECT_EQ(ReadFile(path), "new");
    entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(data.dir())) ++entries;
    EXPECT_EQ(entries, 1u);
}
