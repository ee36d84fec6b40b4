// teliox-cli set-ip against simulated GigE Vision cameras: register writes for
// a fixed address and for DHCP, and the FORCEIP route for a camera that
// refuses control and sits in another subnet.
#include "office_lab.h"

#include <gtest/gtest.h>

using labtest::Dump;

namespace {

class LabSetIp : public labtest::OfficeLab {
protected:
    LabSetIp() : OfficeLab({.commands = {"set-ip", "scan"}}) {}
    void SetUp() override {
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(StartCameras("gv", R"({"cameras": [
          {"name": "ctl", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01", "info": "KSRV-1",
           "model": "Thermal 640", "services": ["gvcp"]},
          {"name": "far", "address": "172.16.5.5", "mac": "02:00:00:00:0a:05", "info": "K460",
           "privilege": false, "services": ["gvcp"]}]})"));
    }

    std::string Log() { return labtest::ReadFile(lab_->CamsimLog("gv")); }
};

class LabSetIpBroadcast : public labtest::OfficeLab {
protected:
    LabSetIpBroadcast() : OfficeLab({.commands = {"set-ip"}}) {}
};

// Position of the first log line holding all the texts, or npos.
size_t Find(const std::string& log, const std::string& a, const std::string& b, size_t from = 0) {
    for (size_t pos = log.find(a, from); pos != std::string::npos; pos = log.find(a, pos + 1)) {
        size_t end = log.find('\n', pos);
        if (log.substr(pos, end - pos).find(b) != std::string::npos) return pos;
    }
    return std::string::npos;
}

}  // namespace

TEST_F(LabSetIp, StaticAddressByRegisterWrites) {
    auto r = labtest::SetIp(*lab_, {"192.168.10.50", "--static", "192.168.10.77/24", "--gateway", "192.168.10.254"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    ASSERT_TRUE(labtest::WaitForText(lab_->CamsimLog("gv"), "change ctl 192.168.10.50 -> 192.168.10.77", 3000))
        << Dump(r) << Log();
    // The writes in their order: privilege, addressing procedure 5, address, mask, gateway, reset.
    std::string log = Log();
    size_t p = Find(log, "reg=0x0a00", "value=0x0002");
    size_t c = Find(log, "reg=0x0014", "value=0x0005", p);
    size_t ip = Find(log, "reg=0x064c", "value=0xc0a80a4d", c);
    size_t m = Find(log, "reg=0x065c", "value=0xffffff00", ip);
    size_t g = Find(log, "reg=0x066c", "value=0xc0a80afe", m);
    size_t reset = Find(log, "reg=0xd340", "value=0x0001", g);
    EXPECT_NE(reset, std::string::npos) << log;
    EXPECT_EQ(log.find("FORCEIP_CMD"), std::string::npos);

    auto scan = labtest::Scan(*lab_);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    const auto* row = labtest::Row(scan, "192.168.10.77");
    ASSERT_TRUE(row) << Dump(scan.run);
    EXPECT_EQ((*row)["name"], "Thermal 640");
    EXPECT_EQ((*row)["reachable"], true);
    EXPECT_FALSE(labtest::Row(scan, "192.168.10.50"));
}

TEST_F(LabSetIp, DhcpByMacGivesTheLinkLocalAddress) {
    auto r = labtest::SetIp(*lab_, {"02:00:00:00:0A:01", "--dhcp"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    // No DHCP server in this lab: the camera takes 169.254.(1 + 0x0a).1.
    ASSERT_TRUE(labtest::WaitForText(lab_->CamsimLog("gv"), "change ctl 192.168.10.50 -> 169.254.11.1", 3000))
        << Dump(r) << Log();
    std::string log = Log();
    EXPECT_NE(Find(log, "reg=0x0014", "value=0x0006"), std::string::npos) << log;
    EXPECT_EQ(Find(log, "reg=0x064c", "WRITEREG"), std::string::npos) << "a DHCP change writes no address";

    auto scan = labtest::Scan(*lab_);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    const auto* row = labtest::Row(scan, "169.254.11.1");
    ASSERT_TRUE(row) << Dump(scan.run);
    EXPECT_EQ((*row)["reachable"], false);
    EXPECT_EQ((*row)["macAddress"], "02:00:00:00:0A:01");
}

TEST_F(LabSetIp, RefusedControlInAnotherSubnetTakesTheForceIpRoute) {
    auto r = labtest::SetIp(*lab_, {"172.16.5.5", "--static", "192.168.10.88/24", "--gateway", "192.168.10.1"});
    ASSERT_TRUE(labtest::WaitForText(lab_->CamsimLog("gv"), "change far 172.16.5.5 -> 192.168.10.88", 3000))
        << Dump(r) << Log();
    std::string log = Log();
    EXPECT_NE(Find(log, "FORCEIP_CMD", "mac=02:00:00:00:0A:05 ip=192.168.10.88 mask=255.255.255.0 gw=192.168.10.1"),
              std::string::npos) << log;
    EXPECT_EQ(Find(log, "reg=0x064c", "WRITEREG"), std::string::npos);
    // The other camera stays where it is.
    EXPECT_EQ(log.find("change ctl"), std::string::npos);

    auto scan = labtest::Scan(*lab_);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    const auto* row = labtest::Row(scan, "192.168.10.88");
    ASSERT_TRUE(row) << Dump(scan.run);
    EXPECT_EQ((*row)["name"], "ZYRK K4X0");
    EXPECT_EQ((*row)["reachable"], true);
    EXPECT_FALSE(labtest::Row(scan, "172.16.5.5"));
}

// Cameras found by mDNS are changed through their resource tree; with no
// resource server answering, the change goes out as the IP-change broadcast,
// which names the host and the interface (FEC1 for W6, else LAN90001).
TEST_F(LabSetIpBroadcast, UnreachableResourceTreeFallsBackToTheIpChangeMessage) {
    ASSERT_TRUE(StartCameras("m", R"({"defaults": {"services": ["mdns", "ipchange"], "resourceService": false}, "cameras": [
      {"name": "Lobby", "hostName": "lobby", "address": "192.168.10.60", "bsp": "J3"},
      {"name": "Gate", "hostName": "gate", "address": "192.168.10.61", "bsp": "W6"}]})"));
    labtest::Lab& lab = *lab_;

    auto r = labtest::SetIp(lab, {"192.168.10.60", "--static", "192.168.10.65/24", "--gateway", "192.168.10.1"});
    if ((r.out + r.err).find("does not offer") != std::string::npos)
        GTEST_SKIP() << "lab test skipped: teliox-cli set-ip has no resource-tree route yet: " << r.err;
    auto g = labtest::SetIp(lab, {"192.168.10.61", "--dhcp"});
    std::string log = lab.CamsimLog("m");
    EXPECT_TRUE(labtest::WaitForText(log, "change Lobby 192.168.10.60 -> 192.168.10.65 mask 255.255.255.0 gateway 192.168.10.1", 5000))
        << r.out << r.err << labtest::ReadFile(log);
    EXPECT_TRUE(labtest::WaitForText(log, "IPCHANGE host=gate interface=FEC1 dhcp=1", 5000))
        << g.out << g.err << labtest::ReadFile(log);
    EXPECT_TRUE(labtest::WaitForText(log, "change Gate 192.168.10.61 -> 169.254.", 5000)) << labtest::ReadFile(log);

    auto scan = labtest::Scan(lab);
    ASSERT_TRUE(scan.parsed) << scan.run.out << scan.run.err;
    const auto* row = labtest::Row(scan, "192.168.10.65");
    ASSERT_TRUE(row) << scan.run.out;
    EXPECT_EQ((*row)["name"], "Lobby");
}
