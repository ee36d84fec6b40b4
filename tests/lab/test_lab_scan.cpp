// teliox-cli scan against simulated cameras in the lab: GigE Vision rows on two
// adapters, and the three discovery sources together.
#include "cli_driver.h"

#include <gtest/gtest.h>

using labtest::Lab;

namespace {

class LabScan : public ::testing::Test {
protected:
    void SetUp() override {
        LAB_REQUIRE();
        lab_ = std::make_unique<Lab>();
        ASSERT_TRUE(lab_->ok()) << lab_->error();
        CLI_REQUIRE(*lab_, "scan");
        ASSERT_TRUE(lab_->AddSubnet("a", "192.168.10.0/24")) << lab_->error();
        ASSERT_TRUE(lab_->AddSubnet("b", "10.20.0.0/24")) << lab_->error();
        ASSERT_EQ(lab_->AddPcAdapter("a", "192.168.10.1/24"), "eth0") << lab_->error();
        ASSERT_EQ(lab_->AddPcAdapter("b", "10.20.0.1/24"), "eth1") << lab_->error();
        ifA_ = labtest::InterfaceName(*lab_, "eth0", "192.168.10.1");
        ifB_ = labtest::InterfaceName(*lab_, "eth1", "10.20.0.1");
    }

    void Camsim(const std::string& host, const std::string& subnet, const std::string& json,
                const std::string& mac = "") {
        ASSERT_EQ(lab_->AddHost(host, subnet, "none", mac), "eth0") << lab_->error();
        ASSERT_GT(lab_->StartCamsim(host, host, json), 0) << lab_->error();
    }

    static std::string Dump(const labtest::ScanResult& s) {
        return "exit " + std::to_string(s.run.status) + "\nstdout:\n" + s.run.out + "\nstderr:\n" + s.run.err;
    }

    std::unique_ptr<Lab> lab_;
    std::string ifA_, ifB_;
};

}  // namespace

// GigE Vision: host names count every answer of the scan in arrival order
// (answers of foreign devices too, though they get no row), adapter by adapter.
TEST_F(LabScan, GigEVisionRowsOnTwoAdapters) {
    Camsim("gva", "a", R"({"cameras": [
      {"name": "ksrv", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01", "info": "KSRV-1234",
       "model": "Thermal 640", "services": ["gvcp"]},
      {"name": "acme", "address": "192.168.10.52", "mac": "02:00:00:00:0a:03", "info": "ACME vision",
       "model": "Other", "delayMs": 150, "services": ["gvcp"]},
      {"name": "k210", "address": "192.168.10.51", "mac": "02:00:00:00:0a:02", "info": "K210R",
       "model": "K2", "delayMs": 300, "dhcp": false, "services": ["gvcp"]}]})");
    Camsim("gvb", "b", R"({"cameras": [
      {"name": "k460", "address": "172.16.0.5", "mask": "255.255.255.0", "mac": "02:00:00:00:0b:01",
       "info": "K460", "model": "K4", "services": ["gvcp"]},
      {"name": "k210b", "address": "10.20.0.51", "mac": "02:00:00:00:0b:02", "info": "k210r",
       "delayMs": 150, "services": ["gvcp"]},
      {"name": "k210c", "address": "10.20.0.52", "mac": "02:00:00:00:0b:03", "info": "K210R-2",
       "delayMs": 300, "services": ["gvcp"]}]})");

    auto scan = labtest::Scan(*lab_);
    ASSERT_EQ(scan.run.status, 0) << Dump(scan);
    ASSERT_TRUE(scan.parsed) << Dump(scan);
    ASSERT_EQ(scan.rows.size(), 4u) << Dump(scan);

    const auto* ksrv = labtest::Row(scan, "192.168.10.50");
    const auto* k210 = labtest::Row(scan, "192.168.10.51");
    const auto* k460 = labtest::Row(scan, "172.16.0.5");
    const auto* k210c = labtest::Row(scan, "10.20.0.52");
    ASSERT_TRUE(ksrv && k210 && k460 && k210c) << Dump(scan);
    EXPECT_FALSE(labtest::Row(scan, "192.168.10.52")) << "a foreign device is listed";
    EXPECT_FALSE(labtest::Row(scan, "10.20.0.51")) << "lower-case k210r is listed";

    EXPECT_EQ((*ksrv)["name"], "Thermal 640");
    EXPECT_EQ((*ksrv)["hostName"], "GigE0");
    EXPECT_EQ((*ksrv)["platform"], "HU");
    EXPECT_EQ((*ksrv)["macAddress"], "02:00:00:00:0A:01");
    EXPECT_EQ((*ksrv)["interfaceName"], ifA_);
    EXPECT_EQ((*ksrv)["reachable"], true);
    EXPECT_EQ((*k210)["name"], "ZYRK K2X0");
    EXPECT_EQ((*k210)["hostName"], "GigE2");
    EXPECT_EQ((*k210)["platform"], "HV");
    EXPECT_EQ((*k460)["name"], "ZYRK K4X0");
    EXPECT_EQ((*k460)["hostName"], "GigE3");
    EXPECT_EQ((*k460)["interfaceName"], ifB_);
    EXPECT_EQ((*k460)["reachable"], false);  // 172.16.0.5 lies outside 10.20.0.0/24
    EXPECT_EQ((*k210c)["hostName"], "GigE5");
    EXPECT_EQ((*k210c)["reachable"], true);
    for (const auto& row : scan.rows) {
        EXPECT_EQ(row["disabled"], false);
        EXPECT_EQ(row["ipChangePending"], false);
    }
    // Rows come in the order of the answers.
    EXPECT_EQ(scan.rows[0]["ipAddress"], "192.168.10.50");
    EXPECT_EQ(scan.rows[3]["ipAddress"], "10.20.0.52");
}

// mDNS, announcements and GigE Vision on two adapters.
TEST_F(LabScan, AllThreeSourcesOnTwoAdapters) {
    Camsim("m1", "a", R"({"cameras": [{"name": "Lobby", "hostName": "lobby-cam", "address": "192.168.10.60",
      "bsp": "J3", "modelCode": "x", "services": ["mdns"]}]})", "02:00:00:00:0c:01");
    Camsim("m2", "b", R"({"cameras": [{"name": "Yard", "hostName": "yard", "address": "10.20.0.60",
      "bsp": "W8", "enabled": false, "services": ["mdns"]}]})", "02:00:00:00:0c:02");
    Camsim("m3", "b", R"({"cameras": [
      {"name": "Gate", "hostName": "gate", "address": "10.20.0.61", "bsp": "w6", "services": ["mdns"]},
      {"name": "Hidden", "hostName": "hidden", "address": "10.20.0.62", "bsp": "M", "modelCode": "D", "services": ["mdns"]},
      {"name": "Lamp", "hostName": "lamp", "address": "10.20.0.63", "bsp": "ZZ", "services": ["mdns"]}]})");
    Camsim("ann", "b", R"({"cameras": [{"name": "Dock", "announceName": "Cam", "hostName": "dock1",
      "address": "10.20.0.70", "announceIntervalMs": 400, "services": ["announce"]}]})", "02:00:00:00:0c:03");
    Camsim("gv", "a", R"({"cameras": [{"name": "gv", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01",
      "info": "KSRV", "model": "Thermal 320", "services": ["gvcp"]}]})");

    auto scan = labtest::Scan(*lab_);
    ASSERT_EQ(scan.run.status, 0) << Dump(scan);
    ASSERT_TRUE(scan.parsed) << Dump(scan);

    const auto* lobby = labtest::Row(scan, "192.168.10.60");
    ASSERT_TRUE(lobby) << Dump(scan);
    EXPECT_EQ((*lobby)["name"], "Lobby");
    EXPECT_EQ((*lobby)["hostName"], "lobby-cam");
    EXPECT_EQ((*lobby)["platform"], "J3");
    EXPECT_EQ((*lobby)["model"], "x");
    EXPECT_EQ((*lobby)["macAddress"], "02:00:00:00:0C:01");
    EXPECT_EQ((*lobby)["interfaceName"], ifA_);
    EXPECT_EQ((*lobby)["reachable"], true);
    EXPECT_EQ((*lobby)["disabled"], false);

    const auto* yard = labtest::Row(scan, "10.20.0.60");
    ASSERT_TRUE(yard) << Dump(scan);
    EXPECT_EQ((*yard)["name"], "Yard");
    EXPECT_EQ((*yard)["hostName"], "yard");
    EXPECT_EQ((*yard)["platform"], "W8");
    EXPECT_EQ((*yard)["disabled"], true);
    EXPECT_EQ((*yard)["interfaceName"], ifB_);
    EXPECT_EQ((*yard)["macAddress"], "02:00:00:00:0C:02");

    const auto* gate = labtest::Row(scan, "10.20.0.61");
    ASSERT_TRUE(gate) << Dump(scan);
    EXPECT_EQ((*gate)["name"], "Gate");
    EXPECT_FALSE(labtest::Row(scan, "10.20.0.62")) << "platform M with model D is listed";
    EXPECT_FALSE(labtest::Row(scan, "10.20.0.63")) << "an unknown platform is listed";

    // Announced cameras are attributed to the first adapter, whatever wire they are on.
    const auto* dock = labtest::Row(scan, "10.20.0.70");
    ASSERT_TRUE(dock) << Dump(scan);
    EXPECT_EQ((*dock)["name"], "Cam dock1");
    EXPECT_EQ((*dock)["hostName"], "dock1");
    EXPECT_EQ((*dock)["platform"], "QD");
    EXPECT_EQ((*dock)["interfaceName"], ifA_);
    EXPECT_EQ((*dock)["reachable"], true);
    EXPECT_EQ((*dock)["macAddress"], "02:00:00:00:0C:03");

    const auto* gv = labtest::Row(scan, "192.168.10.50");
    ASSERT_TRUE(gv) << Dump(scan);
    EXPECT_EQ((*gv)["hostName"], "GigE0");
    EXPECT_EQ((*gv)["platform"], "HU");

    // One row per camera and adapter: nobody is listed twice.
    EXPECT_EQ(scan.rows.size(), 5u) << Dump(scan);
}
