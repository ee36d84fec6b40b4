// teliox-cli set-ip through the simulated cameras' resource trees: a fixed
// address and then DHCP (with a DHCP host in the lab) on an mDNS camera over
// plain TCP, and the same over TLS for a camera whose plain service is off,
// once the program's certificate is trusted by it.
#include "office_lab.h"

#include <gtest/gtest.h>

#include <regex>

using labtest::Dump;

namespace {

class LabResourceTree : public labtest::OfficeLab {
protected:
    LabResourceTree() : OfficeLab({.commands = {"set-ip", "cert"}, .tools = {"dnsmasq"}}) {}
    void SetUp() override {
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(lab_->AddDhcp("dhcp", "a", "192.168.10.2/24", "192.168.10.100", "192.168.10.149"), "eth0")
            << lab_->error();
        UseProgramData();
        ASSERT_TRUE(StartCameras("m", R"({"stateDir": ")" + lab_->dir() + R"(/state",
          "defaults": {"services": ["mdns", "ipchange"]}, "cameras": [
          {"name": "Lobby", "hostName": "lobby", "address": "192.168.10.60", "mac": "02:00:00:00:0c:01"},
          {"name": "Gate", "hostName": "gate", "address": "192.168.10.61", "bsp": "W6", "mac": "02:00:00:00:0c:02"},
          {"name": "Vault", "hostName": "vault", "address": "192.168.10.62", "enabled": false,
           "mac": "02:00:00:00:0c:03"}]})"));
        for (const char* line : {"resource Lobby on 192.168.10.60:22136", "resource Gate on 192.168.10.61:22136",
                                 "tls Vault on 192.168.10.62:9100"})
            ASSERT_TRUE(labtest::WaitForText(Log(), line, 5000)) << line << "\n" << labtest::ReadFile(Log());
    }

    std::string Log() const { return lab_->CamsimLog("m"); }
    std::string LogText() const { return labtest::ReadFile(Log()); }
    // The first DHCP lease address of a camera in the log, or "".
    std::string Leased(const std::string& camera) const {
        std::smatch m;
        std::string text = LogText();
        std::regex re("dhcp " + camera + " lease ([0-9.]+) ");
        return std::regex_search(text, m, re) ? std::string(m[1]) : "";
    }
};

}  // namespace

TEST_F(LabResourceTree, FixedAddressThenDhcpOverPlainTcp) {
    auto r = Cli({"set-ip", "192.168.10.60", "--static", "192.168.10.65/24", "--gateway", "192.168.10.1"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    EXPECT_NE(r.out.find("The camera uses a fixed address, mask 255.255.255.0"), std::string::npos) << Dump(r);
    ASSERT_TRUE(labtest::WaitForText(Log(), "change Lobby 192.168.10.60 -> 192.168.10.65 mask 255.255.255.0 gateway "
                                            "192.168.10.1 static", 5000)) << Dump(r) << LogText();
    EXPECT_NE(LogText().find("commit Lobby/192.168.10.60 resource tree LAN90001 192.168.10.65/255.255.255.0"),
              std::string::npos) << LogText();
    // No broadcast was needed, and the other cameras stay where they are.
    EXPECT_EQ(LogText().find("rx ipchange"), std::string::npos) << LogText();
    EXPECT_EQ(LogText().find("change Gate"), std::string::npos);
    ASSERT_TRUE(labtest::WaitForText(Log(), "resource Lobby on 192.168.10.65:22136", 5000)) << LogText();

    auto scan = labtest::Scan(*lab_);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    ASSERT_TRUE(labtest::Row(scan, "192.168.10.65")) << Dump(scan.run);
    EXPECT_FALSE(labtest::Row(scan, "192.168.10.60")) << Dump(scan.run);

    // Now DHCP, from the new address: the camera takes a lease.
    auto d = Cli({"set-ip", "192.168.10.65", "--dhcp"});
    EXPECT_EQ(d.status, 0) << Dump(d);
    ASSERT_TRUE(labtest::WaitForText(Log(), "dhcp Lobby lease ", 10000)) << Dump(d) << LogText();
    std::string leased = Leased("Lobby");
    ASSERT_EQ(leased.rfind("192.168.10.1", 0), 0u) << LogText();
    ASSERT_TRUE(labtest::WaitForText(Log(), "resource Lobby on " + leased + ":22136", 5000)) << LogText();
    // The tree now reports DHCP to the next reader.
    auto again = Cli({"set-ip", leased, "--dhcp"});
    EXPECT_NE(again.out.find("The camera uses DHCP"), std::string::npos) << Dump(again);
}

TEST_F(LabResourceTree, AW6CameraIsChangedUnderFec1) {
    auto r = Cli({"set-ip", "192.168.10.61", "--static", "192.168.10.66/24", "--gateway", "192.168.10.1"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    ASSERT_TRUE(labtest::WaitForText(Log(), "change Gate 192.168.10.61 -> 192.168.10.66", 5000)) << Dump(r) << LogText();
    EXPECT_NE(LogText().find("commit Gate/192.168.10.61 resource tree FEC1 192.168.10.66/255.255.255.0"),
              std::string::npos) << LogText();
}

TEST_F(LabResourceTree, ChangeOverTlsOnceTheCertificateIsTrusted) {
    auto gen = Cli({"cert", "generate", "--yes"});
    ASSERT_EQ(gen.status, 0) << Dump(gen);
    auto fetch = Cli({"cert", "fetch", "192.168.10.62", "--host-name", "vault"});
    ASSERT_EQ(fetch.status, 0) << Dump(fetch);
    auto upload = Cli({"cert", "upload", "192.168.10.62"});
    ASSERT_EQ(upload.status, 0) << Dump(upload);
    ASSERT_TRUE(labtest::WaitForText(Log(), "upload Vault trusted ", 5000)) << LogText();

    auto r = Cli({"set-ip", "192.168.10.62", "--static", "192.168.10.67/24", "--gateway", "192.168.10.1"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    ASSERT_TRUE(labtest::WaitForText(Log(), "change Vault 192.168.10.62 -> 192.168.10.67", 5000)) << Dump(r) << LogText();
    std::string log = LogText();
    EXPECT_NE(log.find("commit Vault/192.168.10.62 resource tree LAN90001"), std::string::npos) << log;
    EXPECT_EQ(log.find("rx ipchange"), std::string::npos) << "the change went over TLS, not by broadcast\n" << log;
    ASSERT_TRUE(labtest::WaitForText(Log(), "tls Vault on 192.168.10.67:9100", 5000)) << LogText();
    // The plain port is not served for this camera.
    EXPECT_EQ(log.find("resource Vault on 192.168.10."), std::string::npos) << log;
}

TEST_F(LabResourceTree, AnUntrustedProgramCannotChangeATlsCamera) {
    auto gen = Cli({"cert", "generate", "--yes"});
    ASSERT_EQ(gen.status, 0) << Dump(gen);
    auto fetch = Cli({"cert", "fetch", "192.168.10.62", "--host-name", "vault"});
    ASSERT_EQ(fetch.status, 0) << Dump(fetch);
    // No upload: the camera refuses the handshake, the program falls back to the broadcast.
    auto r = Cli({"set-ip", "192.168.10.62", "--static", "192.168.10.68/24", "--gateway", "192.168.10.1"});
    ASSERT_TRUE(labtest::WaitForText(Log(), "rx ipchange", 5000)) << Dump(r) << LogText();
    EXPECT_EQ(LogText().find("commit Vault"), std::string::npos) << LogText();
}
