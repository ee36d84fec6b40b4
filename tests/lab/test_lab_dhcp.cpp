// DHCP in the lab: a dnsmasq host on the cameras' subnet. teliox-cli set-ip
// --dhcp on a GigE Vision camera moves it to a leased address, and the next
// scan lists it there; the lab script refuses bad DHCP arguments.
#include "office_lab.h"

#include <gtest/gtest.h>

#include <regex>

using labtest::Dump;

namespace {

// The address of the camera's first DHCP lease in the camsim log, or "".
std::string LeasedAddress(const std::string& log, const std::string& camera) {
    std::smatch m;
    std::regex re("change " + camera + " [0-9.]+ -> ([0-9.]+) mask [0-9.]+ gateway [0-9.]+ dhcp");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), re); it != std::sregex_iterator(); ++it) {
        std::string a = (*it)[1];
        if (a.rfind("169.254.", 0) != 0) return a;
    }
    return "";
}

bool InRange(const std::string& address, int first, int last) {
    if (address.rfind("192.168.10.", 0) != 0) return false;
    int last8 = std::stoi(address.substr(11));
    return last8 >= first && last8 <= last;
}

// Each test wires the lab itself.
class LabDhcp : public labtest::OfficeLab {
protected:
    LabDhcp() : OfficeLab({.tools = {"dnsmasq"}, .cidr = ""}) {}
};

}  // namespace

TEST_F(LabDhcp, SetIpDhcpOnAGigEVisionCameraTakesALeaseAndTheScanFindsItThere) {
    labtest::Lab& lab = *lab_;
    CLI_REQUIRE(lab, "set-ip");
    CLI_REQUIRE(lab, "scan");
    ASSERT_TRUE(AddOffice());
    ASSERT_EQ(lab.AddDhcp("dhcp", "a", "192.168.10.2/24", "192.168.10.100", "192.168.10.149", "192.168.10.254"),
              "eth0") << lab.error();
    ASSERT_TRUE(StartCameras("gv", R"({"cameras": [
      {"name": "ctl", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01", "info": "KSRV-1",
       "model": "Thermal 640", "services": ["gvcp"]},
      {"name": "other", "address": "192.168.10.51", "mac": "02:00:00:00:0a:02", "info": "KSRV-2",
       "model": "Thermal 320", "services": ["gvcp"]}]})"));

    auto r = labtest::SetIp(lab, {"192.168.10.50", "--dhcp"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    std::string log = lab.CamsimLog("gv");
    ASSERT_TRUE(labtest::WaitForText(log, "dhcp ctl lease ", 15000))
        << Dump(r) << labtest::ReadFile(log) << labtest::ReadFile(lab.DhcpLog("dhcp"));
    ASSERT_TRUE(labtest::WaitForText(log, "gateway 192.168.10.254 dhcp", 5000)) << labtest::ReadFile(log);
    std::string leased = LeasedAddress(labtest::ReadFile(log), "ctl");
    ASSERT_TRUE(InRange(leased, 100, 149)) << leased << "\n" << labtest::ReadFile(log);
    // The server leased it to the camera's own MAC.
    // (dnsmasq writes its log lines a moment later.)
    EXPECT_TRUE(labtest::WaitForText(lab.DhcpLog("dhcp"), "DHCPACK(eth0) " + leased + " 02:00:00:00:0a:01", 5000))
        << labtest::ReadFile(lab.DhcpLog("dhcp"));
    std::string dhcpLog = labtest::ReadFile(lab.DhcpLog("dhcp"));
    auto addr = lab.Exec("gv", {"ip", "-4", "-o", "addr", "show", "dev", "eth0"});
    EXPECT_NE(addr.out.find(leased + "/24"), std::string::npos) << addr.out;
    EXPECT_EQ(addr.out.find("192.168.10.50/"), std::string::npos) << addr.out;

    auto scan = labtest::Scan(lab);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    const auto* row = labtest::Row(scan, leased);
    ASSERT_TRUE(row) << Dump(scan.run);
    EXPECT_EQ((*row)["name"], "Thermal 640");
    EXPECT_EQ((*row)["reachable"], true);
    EXPECT_EQ((*row)["macAddress"], "02:00:00:00:0A:01");
    EXPECT_FALSE(labtest::Row(scan, "192.168.10.50"));
    // The other camera kept its fixed address and asked for nothing.
    EXPECT_TRUE(labtest::Row(scan, "192.168.10.51"));
    EXPECT_EQ(dhcpLog.find("02:00:00:00:0a:02"), std::string::npos);
}

TEST_F(LabDhcp, TheScriptRefusesBadArgumentsAndTwoServersOnOneHost) {
    labtest::Lab& lab = *lab_;
    ASSERT_TRUE(lab.AddSubnet("a", "192.168.10.0/24")) << lab.error();
    EXPECT_EQ(lab.AddDhcp("d1", "a", "192.168.10.2", "192.168.10.100", "192.168.10.110"), "");
    EXPECT_EQ(lab.AddDhcp("d1", "a", "192.168.10.2/24", "192.168.10.100", "not-an-address"), "");
    EXPECT_EQ(lab.AddDhcp("d1", "a", "192.168.10.2/24", "192.168.10.100", "192.168.10.110", "a;b"), "");
    EXPECT_EQ(lab.AddDhcp("d1", "a", "192.168.10.2/24", "192.168.10.100", "192.168.10.110"), "eth0") << lab.error();
    EXPECT_EQ(lab.AddDhcp("d1", "a", "192.168.10.3/24", "192.168.10.120", "192.168.10.130"), "");
    // The server listens on its lab interface only: port 67 is bound to eth0.
    auto ss = lab.Exec("d1", {"ss", "-uanpe", "sport", "=", ":67"});
    EXPECT_NE(ss.out.find("dnsmasq"), std::string::npos) << ss.out << ss.err;
}
