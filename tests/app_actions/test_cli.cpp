// teliox-cli cert, run as the technician runs it.
#include "test_support.h"

#include "app/actions/cert_store.h"

#include <gtest/gtest.h>

#include <filesystem>

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
