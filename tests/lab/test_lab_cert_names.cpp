// A camera whose host name is "key" in front of a real TLS peer (openssl
// s_server in a lab host): teliox-cli cert fetch refuses the name, and the
// client's cert.pem and key.pem stay as they were, still readable by openssl.
#include "office_lab.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

using labtest::Dump;

namespace {

class LabCertNames : public labtest::OfficeLab {
protected:
    LabCertNames() : OfficeLab({.commands = {"cert"}, .tools = {"openssl"}}) {}
    void SetUp() override {
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(lab_->AddHost("cam", "a", "192.168.10.70/24"), "eth0") << lab_->error();
        ssl_ = UseProgramData() + "/ZYRK/SSL";

        // The camera's own certificate, named "key" as the camera names itself.
        const std::string camCert = lab_->dir() + "/camera-cert.pem";
        const std::string camKey = lab_->dir() + "/camera-key.pem";
        auto req = lab_->Exec("pc", {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=key", "-days", "1",
                                     "-keyout", camKey, "-out", camCert}, 30);
        ASSERT_EQ(req.status, 0) << Dump(req);
        server_ = lab_->Spawn("cam", {"openssl", "s_server", "-accept", "9100", "-cert", camCert, "-key", camKey,
                                      "-www"}, "s_server.log");
        ASSERT_GT(server_, 0);
    }

    std::string ssl_;
    pid_t server_ = -1;
};

}  // namespace

TEST_F(LabCertNames, FetchUnderTheHostNameKeyLeavesTheClientFilesIntact) {
    auto gen = Cli({"cert", "generate", "--yes"});
    ASSERT_EQ(gen.status, 0) << Dump(gen);
    const std::string cert = labtest::ReadFile(ssl_ + "/cert.pem");
    const std::string key = labtest::ReadFile(ssl_ + "/key.pem");
    ASSERT_FALSE(cert.empty() || key.empty());

    // The server is up once a fetch under an ordinary name works (bounded).
    labtest::CommandResult ok;
    for (int i = 0; i < 20; ++i) {
        ok = Cli({"cert", "fetch", "192.168.10.70", "--host-name", "ircam-70"}, 30);
        if (ok.status == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_EQ(ok.status, 0) << Dump(ok) << labtest::ReadFile(lab_->dir() + "/s_server.log");
    EXPECT_NE(labtest::ReadFile(ssl_ + "/ircam-70.pem").find("Subject: CN=key"), std::string::npos);

    for (const char* name : {"key", "KEY", "cert", "../SSL/key"}) {
        auto fetch = Cli({"cert", "fetch", "192.168.10.70", "--host-name", name}, 30);
        EXPECT_EQ(fetch.status, 1) << name << "\n" << Dump(fetch);
        EXPECT_NE(fetch.err.find("Camera certificate not stored"), std::string::npos) << Dump(fetch);
    }
    EXPECT_EQ(labtest::ReadFile(ssl_ + "/cert.pem"), cert);
    EXPECT_EQ(labtest::ReadFile(ssl_ + "/key.pem"), key);
    struct stat st{};
    ASSERT_EQ(stat((ssl_ + "/key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // openssl still reads them, and they still belong together.
    auto rsa = lab_->Exec("pc", {"openssl", "rsa", "-in", ssl_ + "/key.pem", "-check", "-noout"}, 30);
    EXPECT_EQ(rsa.status, 0) << Dump(rsa);
    EXPECT_NE(rsa.out.find("RSA key ok"), std::string::npos) << Dump(rsa);
    auto keyPub = lab_->Exec("pc", {"openssl", "pkey", "-in", ssl_ + "/key.pem", "-pubout"}, 30);
    auto certPub = lab_->Exec("pc", {"openssl", "x509", "-in", ssl_ + "/cert.pem", "-noout", "-pubkey"}, 30);
    EXPECT_EQ(keyPub.status, 0) << Dump(keyPub);
    EXPECT_EQ(keyPub.out, certPub.out);
}
