// teliox-cli scan against simulated cameras in the lab: GigE Vision rows on two
// adapters, and the three discovery sources together.
#include "office_lab.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

using labtest::Dump;

namespace {

// The pc on two wires: 192.168.10.0/24 (eth0) and 10.20.0.0/24 (eth1).
class LabScan : public labtest::OfficeLab {
protected:
    LabScan() : OfficeLab({.commands = {"scan"}}) {}
    void SetUp() override {
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(lab_->AddSubnet("b", "10.20.0.0/24")) << lab_->error();
        ASSERT_EQ(lab_->AddPcAdapter("b", "10.20.0.1/24"), "eth1") << lab_->error();
        ifA_ = labtest::InterfaceName(*lab_, "eth0", "192.168.10.1");
        ifB_ = labtest::InterfaceName(*lab_, "eth1", "10.20.0.1");
    }

    void Camsim(const std::string& host, const std::string& subnet, const std::string& json,
                const std::string& mac = "") {
        ASSERT_TRUE(StartCameras(host, json, mac, subnet));
    }

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

// --seconds shorter than a scan cycle still lists the first full cycle: the
// GigE Vision rows of both adapters are there.
TEST_F(LabScan, SecondsShorterThanACycleStillGiveTheFirstCycle) {
    Camsim("gva", "a", R"({"cameras": [{"name": "ksrv", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01",
      "info": "KSRV-1234", "model": "Thermal 640", "services": ["gvcp"]}]})");
    Camsim("gvb", "b", R"({"cameras": [{"name": "k460", "address": "10.20.0.51", "mac": "02:00:00:00:0b:01",
      "info": "K460", "model": "K4", "services": ["gvcp"]}]})");
    auto scan = labtest::Scan(*lab_, 60, {"--seconds", "1"});
    ASSERT_EQ(scan.run.status, 0) << Dump(scan);
    ASSERT_TRUE(scan.parsed) << Dump(scan);
    EXPECT_EQ(scan.rows.size(), 2u) << Dump(scan);
    EXPECT_TRUE(labtest::Row(scan, "192.168.10.50", ifA_)) << Dump(scan);
    EXPECT_TRUE(labtest::Row(scan, "10.20.0.51", ifB_)) << Dump(scan);
}

// Twenty mDNS cameras in a foreign subnet whose host does not answer ARP, beside
// one in the adapter's subnet: every one is listed in the one cycle of the
// command-line scan (the MAC look-ups that never resolve do not hold it up),
// the near camera with its MAC address, the far ones without. The scan's time
// is printed, not asserted.
TEST_F(LabScan, OffSubnetCamerasThatDoNotAnswerArpAreListedInOneCycle) {
    std::string far = R"({"cameras": [)";
    for (int i = 0; i < 20; ++i)
        far += std::string(i ? "," : "") + R"({"name": "Far)" + std::to_string(i) + R"(", "hostName": "far)" +
               std::to_string(i) + R"(", "address": "172.30.0.)" + std::to_string(10 + i) +
               R"(", "mask": "255.255.255.0", "bsp": "J3", "services": ["mdns"]})";
    far += "]}";
    ASSERT_EQ(lab_->AddHost("far", "a", "none", "02:00:00:00:0f:01"), "eth0") << lab_->error();
    ASSERT_EQ(lab_->Exec("far", {"ip", "link", "set", "eth0", "arp", "off"}).status, 0);
    ASSERT_GT(lab_->StartCamsim("far", "far", far), 0) << lab_->error();
    Camsim("near", "a", R"({"cameras": [{"name": "Near", "hostName": "near", "address": "192.168.10.61",
      "bsp": "J3", "services": ["mdns"]}]})", "02:00:00:00:0c:61");

    const auto start = std::chrono::steady_clock::now();
    auto scan = labtest::Scan(*lab_);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("teliox-cli scan with 20 off-subnet cameras that do not answer ARP: %lld ms\n",
                static_cast<long long>(ms.count()));
    ASSERT_EQ(scan.run.status, 0) << Dump(scan);
    ASSERT_TRUE(scan.parsed) << Dump(scan);
    EXPECT_EQ(scan.rows.size(), 21u) << Dump(scan);
    for (int i = 0; i < 20; ++i) {
        const auto* row = labtest::Row(scan, "172.30.0." + std::to_string(10 + i), ifA_);
        ASSERT_TRUE(row) << i << "\n" << Dump(scan);
        EXPECT_EQ((*row)["reachable"], false);
        EXPECT_EQ((*row)["macAddress"], "");
    }
    const auto* near = labtest::Row(scan, "192.168.10.61", ifA_);
    ASSERT_TRUE(near) << Dump(scan);
    EXPECT_EQ((*near)["macAddress"], "02:00:00:00:0C:61");
}

// An adapter that comes up on the pc while the list is watched is scanned and
// listened on from the next cycle: its GigE Vision camera and its mDNS camera
// (whose multicast answers reach only the listener) are listed on it.
TEST_F(LabScan, AnAdapterAddedBetweenCyclesIsScannedAndListenedOn) {
    ASSERT_TRUE(lab_->AddSubnet("c", "10.30.0.0/24")) << lab_->error();
    Camsim("late", "c", R"({"cameras": [
      {"name": "lategv", "address": "10.30.0.50", "mac": "02:00:00:00:0e:50", "info": "K210R", "services": ["gvcp"]},
      {"name": "Latem", "hostName": "latem", "address": "10.30.0.60", "bsp": "J3", "services": ["mdns"]}]})",
           "02:00:00:00:0e:01");
    if (HasFatalFailure()) return;
    pid_t cli = lab_->Spawn("pc", {labtest::CliPath(), "scan", "--json", "--watch", "2", "--seconds", "9"}, "watch.out");
    ASSERT_GT(cli, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the first cycle and a refresh are over
    ASSERT_EQ(lab_->AddPcAdapter("c", "10.30.0.1/24"), "eth2") << lab_->error();
    const std::string ifC = labtest::InterfaceName(*lab_, "eth2", "10.30.0.1");
    for (int i = 0; i < 150 && lab_->Alive(cli); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(lab_->Alive(cli)) << "teliox-cli scan --watch 2 --seconds 9 did not end";
    const std::string out = labtest::ReadFile(lab_->dir() + "/watch.out");
    bool gigE = false, mdns = false;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != '{') continue;
        auto row = nlohmann::json::parse(line, nullptr, false);
        if (row.is_discarded()) continue;
        gigE = gigE || (row["ipAddress"] == "10.30.0.50" && row["interfaceName"] == ifC);
        mdns = mdns || (row["ipAddress"] == "10.30.0.60" && row["interfaceName"] == ifC);
    }
    EXPECT_TRUE(gigE) << out;
    EXPECT_TRUE(mdns) << out;
}

namespace {

// The pc's count of UDP datagrams dropped for a full receive buffer, or -1.
long UdpReceiveBufferDrops(labtest::Lab& lab) {
    std::istringstream snmp(lab.Exec("pc", {"cat", "/proc/net/snmp"}).out);
    std::string names, values;
    for (std::string line; std::getline(snmp, line);) {
        if (line.rfind("Udp: ", 0) != 0) continue;
        (names.empty() ? names : values) = line;
    }
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
        if (name == "RcvbufErrors") return std::stol(value);
    return -1;
}

}  // namespace

// Four hundred mDNS cameras answer each query at once: 200 in the adapter's
// subnet, 200 in a foreign one that can answer only by multicast. The burst
// of answers must fit the sockets' receive buffers: nothing is dropped, and
// every camera is listed by the one cycle of the command-line scan.
TEST_F(LabScan, ABurstOfFourHundredMdnsAnswersIsReadWhole) {
    auto cameras = [](const std::string& prefix, const std::string& network, int first) {
        std::string json = R"({"cameras": [)";
        for (int i = 0; i < 200; ++i)
            json += std::string(i ? "," : "") + R"({"name": ")" + prefix + std::to_string(i) + R"(", "hostName": ")" +
                    prefix + "-" + std::to_string(i) + R"(", "address": ")" + network + std::to_string(first + i) +
                    R"(", "mask": "255.255.255.0", "bsp": "J3", "services": ["mdns"]})";
        return json + "]}";
    };
    Camsim("near", "a", cameras("near", "192.168.10.", 10), "02:00:00:00:0c:01");
    ASSERT_EQ(lab_->AddHost("far", "a", "none", "02:00:00:00:0f:01"), "eth0") << lab_->error();
    ASSERT_EQ(lab_->Exec("far", {"ip", "link", "set", "eth0", "arp", "off"}).status, 0);
    ASSERT_GT(lab_->StartCamsim("far", "far", cameras("far", "172.30.0.", 10)), 0) << lab_->error();

    const long dropsBefore = UdpReceiveBufferDrops(*lab_);
    ASSERT_GE(dropsBefore, 0);
    auto scan = labtest::Scan(*lab_);
    EXPECT_EQ(UdpReceiveBufferDrops(*lab_), dropsBefore) << "answers were dropped for a full receive buffer";
    ASSERT_EQ(scan.run.status, 0) << Dump(scan);
    ASSERT_TRUE(scan.parsed) << Dump(scan);
    EXPECT_EQ(scan.rows.size(), 400u) << scan.run.err;
    int missing = 0;
    for (int i = 0; i < 200; ++i) {
        if (!labtest::Row(scan, "192.168.10." + std::to_string(10 + i), ifA_)) ++missing;
        if (!labtest::Row(scan, "172.30.0." + std::to_string(10 + i), ifA_)) ++missing;
    }
    EXPECT_EQ(missing, 0);
}
