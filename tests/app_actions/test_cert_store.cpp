#include "test_support.h"

#include "app/actions/cert_store.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

namespace {

class SavedEnv {
public:
    SavedEnv() {
        const char* v = std::getenv(kProgramDataEnv);
        if (v) value_ = v;
        had_ = v != nullptr;
    }
    ~SavedEnv() {
        if (had_) setenv(kProgramDataEnv, value_.c_str(), 1);
        else unsetenv(kProgramDataEnv);
    }

private:
    std::string value_;
    bool had_ = false;
};

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

    CertificatePaths paths;
    std::string error;
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_EQ(paths.folder, "/var/lib/ZYRK/SSL");
    EXPECT_EQ(paths.clientCertPath, "/var/lib/ZYRK/SSL/cert.pem");
    EXPECT_EQ(paths.clientKeyPath, "/var/lib/ZYRK/SSL/key.pem");

    setenv(kProgramDataEnv, "/srv/teliox/", 1);  // a trailing slash is not doubled
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_EQ(paths.clientKeyPath, "/srv/teliox/ZYRK/SSL/key.pem");
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

    WriteFile(data.dir() + "/ZYRK", "a file where a folder belongs");
    setenv(kProgramDataEnv, data.dir().c_str(), 1);
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    EXPECT_FALSE(CreateCertificateFolder(paths, error));
    EXPECT_NE(error.find(data.dir() + "/ZYRK"), std::string::npos) << error;
}

TEST(CertStore, OverlongPathsAreRefusedNotCut) {
    SavedEnv saved;
    const std::string longBase = "/tmp/" + std::string(PATH_MAX, 'x');
    setenv(kProgramDataEnv, longBase.c_str(), 1);
    CertificatePaths paths;
    std::string error;
    EXPECT_FALSE(GetCertificatePaths(paths, error));
    EXPECT_NE(error.find("too long"), std::string::npos);

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
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "../../etc/passwd", "a/b", std::string("a\0b", 3)})
        EXPECT_EQ(paths.CameraCertPath(bad), "") << bad;
}
