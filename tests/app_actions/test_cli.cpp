// teliox-cli cert, run as the technician runs it.
#include "test_support.h"

#include "app/actions/cert_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class CliCert : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TELIOX_CLI_PATH
        GTEST_SKIP() << "teliox-cli is not part of this build";
#else
        data_ = std::make_unique<ScopedProgramData>(
            std::string("cli-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(data_->SslDir());
#endif
    }
    int Run(const std::string& args, std::string& output) {
#ifdef TELIOX_CLI_PATH
        return RunCommand(ShellQuote(TELIOX_CLI_PATH) + " cert " + args + " </dev/null", output);
#else
        return -1;
#endif
    }
    std::unique_ptr<ScopedProgramData> data_;
};

}  // namespace

TEST_F(CliCert, UploadPrintsEachStatusText) {
    WriteFile(data_->SslDir() + "/cert.pem", "PEM TEXT\n");
    HttpTestServer camera(200, "<html><body>Installed. Subject: CN=x</body></html>");
    std::string out;
    EXPECT_EQ(Run("upload 127.0.0.1 --port " + std::to_string(camera.port()), out), 0) << out;
    EXPECT_NE(out.find("Upload certificate to 127.0.0.1\nInstalled. \n"), std::string::npos) << out;
    ASSERT_EQ(camera.Requests().size(), 1u);
    EXPECT_EQ(camera.Requests()[0].body, "PEM TEXT\n");
}

TEST_F(CliCert, UploadFailuresExitNonZeroWithAReason) {
    std::string out;
    EXPECT_EQ(Run("upload 127.0.0.1 --port " + std::to_string(UnusedPort()), out), 1);
    EXPECT_NE(out.find("Failed to open client certificate"), std::string::npos) << out;
    EXPECT_NE(out.find("teliox-cli cert generate"), std::string::npos) << out;

    WriteFile(data_->SslDir() + "/cert.pem", "PEM TEXT\n");
    HttpTestServer refusing(500, "<html><body>Broken</body></html>");
    EXPECT_EQ(Run("upload 127.0.0.1 --port " + std::to_string(refusing.port()), out), 1);
    EXPECT_NE(out.find("HTTP 500"), std::string::npos) << out;
}

TEST_F(CliCert, FetchStoresTheCameraFileUnderTheGivenHostName) {
    ClientCertificate identity = MakeCameraCertificate("cli-cam");
    TlsTestServer camera(TlsTestServer::kPresent, identity);
    std::string out;
    EXPECT_EQ(Run("fetch 127.0.0.1 --host-name cli-cam --port " + std::to_string(camera.port()), out), 0) << out;
    EXPECT_NE(out.find("Get camera certificate..."), std::string::npos);
    EXPECT_NE(ReadFile(data_->SslDir() + "/cli-cam.pem").find(ToPem(identity.cert.get())), std::string::npos);

    EXPECT_EQ(Run("fetch 127.0.0.1 --port " + std::to_string(UnusedPort()), out), 1);
    EXPECT_NE(out.find("refused"), std::string::npos) << out;
}

TEST_F(CliCert, GenerateNeverOverwritesSilently) {
    WriteFile(data_->SslDir() + "/cert.pem", "existing");
    std::string out;
    EXPECT_EQ(Run("generate", out), 1);
    EXPECT_NE(out.find("Client certificates already exists. Overwrite?"), std::string::npos) << out;
    EXPECT_NE(out.find("--yes"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(data_->SslDir() + "/cert.pem"), "existing");
}

TEST_F(CliCert, BadArgumentsAreUsageErrors) {
    std::string out;
    EXPECT_EQ(Run("fetch camera.local", out), 2);
    EXPECT_NE(out.find("IPv4 address"), std::string::npos) << out;
    EXPECT_EQ(Run("upload", out), 2);
    EXPECT_EQ(Run("upload 127.0.0.1 --port 70000", out), 2);
    EXPECT_EQ(Run("revoke", out), 2);
    EXPECT_EQ(Run("generate --host-name x", out), 2);
}

// ---- The certificate folder rule, for technicians who are not root ---------
//
// Run as other users (setpriv), in a scratch tree that the test owns: the
// machine-wide folder and each technician's data home are folders in it.

namespace {

constexpr uid_t kTechnician = 65534;
constexpr uid_t kSecondTechnician = 65533;
constexpr gid_t kTechnicians = 4242;  // the install's group of technicians

struct FileInfo {
    bool exists = false;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
};

FileInfo Inspect(const std::string& path) {
    struct stat st{};
    FileInfo info;
    if (stat(path.c_str(), &st) != 0) return info;
    return {true, st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

class CertFolderRule : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TELIOX_CLI_PATH
        GTEST_SKIP() << "teliox-cli is not part of this build";
#else
        if (geteuid() != 0) GTEST_SKIP() << "runs technicians as other users: needs root";
        if (!HaveTool("setpriv")) GTEST_SKIP() << "setpriv is not installed";
        std::string pattern = std::filesystem::temp_directory_path().string() + "/teliox-folder-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        chmod(root_.c_str(), 0755);  // the technicians may pass
        for (uid_t uid : {kTechnician, kSecondTechnician}) {
            const std::string home = Home(uid);
            std::filesystem::create_directories(home);
            ASSERT_EQ(chown(home.c_str(), uid, uid), 0);
        }
#endif
    }
    void TearDown() override {
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }

    std::string Home(uid_t uid) const { return root_ + "/home-" + std::to_string(uid); }
    std::string UserSsl(uid_t uid) const { return Home(uid) + "/ZYRK/SSL"; }

    // A folder of the scratch tree, made by root with an owner and mode.
    std::string Folder(const std::string& relative, uid_t uid, gid_t gid, mode_t mode) {
        const std::string path = root_ + "/" + relative;
        std::filesystem::create_directories(path);
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    // teliox-cli cert ARGS as the technician `uid` (with the group of
    // technicians when `inGroup`), with the machine-wide base `programData`.
    int RunAs(uid_t uid, bool inGroup, const std::string& programData, const std::string& args, std::string& out) {
#ifdef TELIOX_CLI_PATH
        const std::string groups = inGroup ? "--groups=" + std::to_string(kTechnicians) : "--clear-groups";
        const std::string command = "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                                    " " + groups + " env TELIOX_PROGRAMDATA=" + ShellQuote(programData) +
                                    " XDG_DATA_HOME=" + ShellQuote(Home(uid)) + " HOME=" + ShellQuote(Home(uid)) +
                                    " " + ShellQuote(TELIOX_CLI_PATH) + " cert " + args + " </dev/null";
        return RunCommand(command, out);
#else
        return -1;
#endif
    }

    std::string FolderOf(uid_t uid, bool inGroup, const std::string& programData) {
        std::string out;
        EXPECT_EQ(RunAs(uid, inGroup, programData, "folder", out), 0) << out;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    std::string root_;
};

}  // namespace

TEST_F(CertFolderRule, MachineWideFolderWhenTheTechnicianMayWriteOrCreateIt) {
    const std::string writable = Folder("m1", 0, 0, 0755);
    Folder("m1/ZYRK/SSL", kTechnician, kTechnician, 0755);
    EXPECT_EQ(FolderOf(kTechnician, false, writable), writable + "/ZYRK/SSL (machine-wide)");

    // Not there yet, but its parent is the technician's: it can be made.
    const std::string creatable = Folder("m2", kTechnician, kTechnician, 0755);
    EXPECT_EQ(FolderOf(kTechnician, false, creatable), creatable + "/ZYRK/SSL (machine-wide)");
    EXPECT_FALSE(Inspect(creatable + "/ZYRK").exists);  // asking creates nothing
}

TEST_F(CertFolderRule, PerUserFolderWhenTheMachineWideOneIsNotTheTechniciansToUse) {
    // Root's folder, read-only for others.
    const std::string readOnly = Folder("m3", 0, 0, 0755);
    Folder("m3/ZYRK/SSL", 0, 0, 0755);
    EXPECT_EQ(FolderOf(kTechnician, false, readOnly), UserSsl(kTechnician) + " (per-user)");
    // Missing, and no right to make it.
    const std::string closed = Folder("m4", 0, 0, 0755);
    EXPECT_EQ(FolderOf(kTechnician, false, closed), UserSsl(kTechnician) + " (per-user)");
    // Writable by all, but its key is root's alone: the TLS route could not read it.
    const std::string foreignKey = Folder("m5", 0, 0, 0755);
    const std::string ssl = Folder("m5/ZYRK/SSL", 0, 0, 0777);
    WriteFile(ssl + "/key.pem", "root's key");
    chmod((ssl + "/key.pem").c_str(), 0600);
    EXPECT_EQ(FolderOf(kTechnician, false, foreignKey), UserSsl(kTechnician) + " (per-user)");

    // The per-user folder is made owner-only when first written.
    ClientCertificate identity = MakeCameraCertificate("usercam");
    TlsTestServer camera(TlsTestServer::kPresent, identity);
    std::string out;
    ASSERT_EQ(RunAs(kTechnician, false, foreignKey, "fetch 127.0.0.1 --host-name usercam --port " +
                                                        std::to_string(camera.port()), out), 0) << out;
    const FileInfo folder = Inspect(UserSsl(kTechnician));
    EXPECT_TRUE(folder.exists);
    EXPECT_EQ(folder.uid, kTechnician);
    EXPECT_EQ(folder.mode, 0700u);
    EXPECT_EQ(Inspect(Home(kTechnician) + "/ZYRK").mode, 0700u);
    EXPECT_TRUE(Inspect(UserSsl(kTechnician) + "/usercam.pem").exists);
    EXPECT_EQ(ReadFile(ssl + "/key.pem"), "root's key");
}

TEST_F(CertFolderRule, GroupFolderOfTheInstallServesTheFirstTechnicianAndSendsTheSecondToTheirOwn) {
    // What the package makes: /var/lib/ZYRK/SSL, root:teliox, 2770.
    const std::string programData = Folder("lib", 0, 0, 0755);
    Folder("lib/ZYRK", 0, 0, 0755);
    const std::string ssl = Folder("lib/ZYRK/SSL", 0, kTechnicians, 02770);
    EXPECT_EQ(FolderOf(kTechnician, false, programData), UserSsl(kTechnician) + " (per-user)");  // not in the group
    EXPECT_EQ(FolderOf(kTechnician, true, programData), ssl + " (machine-wide)");

    std::string out;
    ASSERT_EQ(RunAs(kTechnician, true, programData, "generate --yes", out), 0) << out;
    const FileInfo key = Inspect(ssl + "/key.pem");
    const FileInfo cert = Inspect(ssl + "/cert.pem");
    ASSERT_TRUE(key.exists && cert.exists) << out;
    EXPECT_EQ(key.uid, kTechnician);
    EXPECT_EQ(key.gid, kTechnicians);  // the folder's group
    EXPECT_EQ(key.mode, 0600u);
    EXPECT_EQ(cert.gid, kTechnicians);
    EXPECT_EQ(cert.mode, 0644u);
    EXPECT_EQ(FolderOf(kTechnician, true, programData), ssl + " (machine-wide)");  // the first keeps using it

    // The second technician cannot read the first one's key: their own folder.
    EXPECT_EQ(FolderOf(kSecondTechnician, true, programData), UserSsl(kSecondTechnician) + " (per-user)");
}

// teliox-cli assign and scan refuse bad usage before any scan: exit 2 with a reason.
TEST(CliAssign, BadArgumentsAreUsageErrorsBeforeAnyScan) {
#ifndef TELIOX_CLI_PATH
    GTEST_SKIP() << "teliox-cli is not part of this build";
#else
    auto run = [](const std::string& args, std::string& out) {
        return RunCommand(ShellQuote(TELIOX_CLI_PATH) + " " + args + " </dev/null", out);
    };
    std::string out;
    const std::pair<const char*, const char*> cases[] = {
        {"assign --all", "either --from ADDRESS/MASK or --dhcp"},
        {"assign --dhcp --from 192.168.1.20/24 --all", "either --from ADDRESS/MASK or --dhcp"},
        {"assign --from 192.168.1.20/24", "name the cameras or give --all"},
        {"assign --from 192.168.1.20/24 --all 192.168.1.50", "name the cameras or give --all"},
        {"assign --from 192.168.1.20 --all", "--from wants ADDRESS/MASK"},
        {"assign --from 192.168.1.20/33 --all", "--from wants ADDRESS/MASK"},
        {"assign --from 192.168.1.20/24 --gateway nowhere --all", "'nowhere' is not an IPv4 address"},
        {"assign --dhcp --gateway 192.168.1.1 --all", "--gateway goes with --from only"},
        {"assign --dhcp --parallel 0 --all", "--parallel wants a number from 1 to 16"},
        {"assign --dhcp camera.local", "neither an IPv4 nor a MAC address"},
        {"assign --dhcp --all --bogus", "unknown option '--bogus'"},
        {"scan --json --csv", "--json and --csv exclude each other"},
    };
    for (const auto& [args, reason] : cases) {
        EXPECT_EQ(run(args, out), 2) << args << "\n" << out;
        EXPECT_NE(out.find(reason), std::string::npos) << args << "\n" << out;
        EXPECT_EQ(out.find("Scanning"), std::string::npos) << args;
    }
    EXPECT_EQ(run("assign --help", out), 0);
    EXPECT_NE(out.find("--dry-run"), std::string::npos) << out;
    EXPECT_EQ(run("--help", out), 0);
    EXPECT_NE(out.find("assign --from ADDRESS/MASK"), std::string::npos) << out;
    EXPECT_NE(out.find("scan [--json | --csv]"), std::string::npos) << out;
#endif
}
