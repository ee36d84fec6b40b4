// The simulated cameras' TCP services in the lab: the web pages of an mDNS
// camera, and the certificate exchange of teliox-cli with a camera whose
// plain resource service is off (TLS on 9100, upload over HTTP).
#include "office_lab.h"
#include "probe.h"

#include <gtest/gtest.h>

using labtest::Dump;

namespace {

// The PEM block of a file (a camera file starts with the certificate's text dump).
std::string PemBlock(const std::string& text) {
    size_t b = text.find("-----BEGIN CERTIFICATE-----");
    size_t e = text.find("-----END CERTIFICATE-----");
    if (b == std::string::npos || e == std::string::npos) return "";
    return text.substr(b, e - b);
}

class LabServices : public labtest::OfficeLab {
protected:
    LabServices() : OfficeLab({.commands = {"cert"}, .tools = {"curl"}}) {}
    void SetUp() override {
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        state_ = lab_->dir() + "/state";
        UseProgramData();
        ASSERT_TRUE(StartCameras("m", R"({"stateDir": ")" + state_ + R"(",
          "defaults": {"services": ["mdns", "ipchange"]}, "cameras": [
          {"name": "Open", "hostName": "opencam", "address": "192.168.10.61", "model": "Thermal 640"},
          {"name": "Locked", "hostName": "tlscam", "address": "192.168.10.60", "enabled": false},
          {"name": "Web", "hostName": "webcam", "address": "192.168.10.63", "resourceService": false}]})"));
        ASSERT_TRUE(labtest::WaitForText(Log(), "tls Locked on 192.168.10.60:9100", 5000)) << Log();
        ASSERT_TRUE(labtest::WaitForText(Log(), "http Open on 192.168.10.61:80", 5000)) << Log();
    }

    std::string Log() const { return lab_->CamsimLog("m"); }
    labtest::CommandResult Curl(const std::string& url) {
        return lab_->Exec("pc", {"curl", "-s", "-m", "10", "-o", "-", "-w", "\n%{http_code}", url}, 20);
    }

    std::string state_;
};

}  // namespace

TEST_F(LabServices, WebPagesOfMdnsCamerasAndTheTlsFrontOnlyForTheDisabledOne) {
    auto page = Curl("http://192.168.10.61/");
    EXPECT_NE(page.out.find("\n200"), std::string::npos) << Dump(page);
    EXPECT_NE(page.out.find("Open"), std::string::npos) << page.out;
    auto wizard = Curl("http://192.168.10.61/setupwizard");
    EXPECT_NE(wizard.out.find("\n200"), std::string::npos) << Dump(wizard);
    // The disabled camera has its web server too; its plain resource port is not served.
    EXPECT_NE(Curl("http://192.168.10.60/").out.find("\n200"), std::string::npos);
    EXPECT_EQ(labtest::ReadFile(Log()).find("tls Open"), std::string::npos) << labtest::ReadFile(Log());
}

TEST_F(LabServices, CertificateFetchAndUploadWithATlsCamera) {
    auto gen = Cli({"cert", "generate", "--yes"});
    ASSERT_EQ(gen.status, 0) << Dump(gen);
    auto fetch = Cli({"cert", "fetch", "192.168.10.60", "--host-name", "tlscam"});
    ASSERT_EQ(fetch.status, 0) << Dump(fetch);
    // The stored certificate is the one the camera keeps for itself.
    std::string stored = labtest::ReadFile(programData_ + "/ZYRK/SSL/tlscam.pem");
    std::string own = labtest::ReadFile(state_ + "/tlscam/cert.pem");
    ASSERT_FALSE(PemBlock(own).empty()) << "camera certificate missing in " << state_;
    EXPECT_EQ(PemBlock(stored), PemBlock(own)) << stored;

    auto upload = Cli({"cert", "upload", "192.168.10.60"});
    EXPECT_EQ(upload.status, 0) << Dump(upload);
    ASSERT_TRUE(labtest::WaitForText(Log(), "upload Locked trusted ", 5000)) << Dump(upload) << labtest::ReadFile(Log());
    EXPECT_NE(labtest::ReadFile(Log()).find("/O=ZYRK/"), std::string::npos) << labtest::ReadFile(Log());

    // A second fetch under another name gets the same certificate again.
    auto fetchAgain = Cli({"cert", "fetch", "192.168.10.60", "--host-name", "tlscam2"});
    EXPECT_EQ(fetchAgain.status, 0) << Dump(fetchAgain);
    EXPECT_EQ(PemBlock(labtest::ReadFile(programData_ + "/ZYRK/SSL/tlscam2.pem")), PemBlock(own));
}

TEST_F(LabServices, TheServicesFollowTheCameraToItsNewAddress) {
    lab_->RunIn("pc", [&] {
        probe::Exchange("eth0", "255.255.255.255", 810,
                        probe::IpChangeMsg("opencam", "LAN90001", false, probe::Ip("192.168.10.71"),
                                           probe::Ip("255.255.255.0"), probe::Ip("192.168.10.1")), 20);
        probe::Exchange("eth0", "255.255.255.255", 810, probe::IpChangeMsg("tlscam", "LAN90001", true, 0, 0, 0), 20);
        // The same address again: the web server stays.
        probe::Exchange("eth0", "255.255.255.255", 810,
                        probe::IpChangeMsg("webcam", "LAN90001", false, probe::Ip("192.168.10.63"),
                                           probe::Ip("255.255.255.0"), probe::Ip("192.168.10.1")), 20);
        return std::string("sent");
    });
    ASSERT_TRUE(labtest::WaitForText(Log(), "http Open on 192.168.10.71:80", 5000)) << labtest::ReadFile(Log());
    ASSERT_TRUE(labtest::WaitForText(Log(), "tls Locked on 169.254.", 5000)) << labtest::ReadFile(Log());
    auto page = Curl("http://192.168.10.71/");
    EXPECT_NE(page.out.find("\n200"), std::string::npos) << Dump(page);
    EXPECT_NE(page.out.find("192.168.10.71"), std::string::npos) << page.out;
    EXPECT_EQ(Curl("http://192.168.10.61/").out.find("\n200"), std::string::npos);
    ASSERT_TRUE(labtest::WaitForText(Log(), "change Web 192.168.10.63 -> 192.168.10.63", 5000)) << labtest::ReadFile(Log());
    EXPECT_NE(Curl("http://192.168.10.63/").out.find("\n200"), std::string::npos) << labtest::ReadFile(Log());
    EXPECT_EQ(labtest::CountOccurrences(labtest::ReadFile(Log()), "http Web on"), 1u) << labtest::ReadFile(Log());
    EXPECT_EQ(labtest::ReadFile(Log()).find("-error"), std::string::npos) << labtest::ReadFile(Log());
}
