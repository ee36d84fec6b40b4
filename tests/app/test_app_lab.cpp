// The window program's list fed by its real discovery threads, inside the
// network lab: simulated cameras of every source, the images the list shows
// for them, the status line, and a refresh.
#include "office_lab.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

namespace {

struct Row {
    std::string ip, mac, interfaceName;
    int image0 = -1, image4 = -1;
};

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    return fields;
}

// The window program's probe in the pc host; each test wires the lab itself.
class AppLab : public labtest::OfficeLab {
protected:
    AppLab() : OfficeLab({.cidr = ""}) {}
    void SetUp() override {
        probe = labtest::BuiltProgram("tests/app/teliox_view_probe");
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (access(probe.c_str(), X_OK) != 0) GTEST_SKIP() << "lab test skipped: teliox_view_probe is not built";
    }
    std::string probe;
};

TEST_F(AppLab, ListShowsCamerasOfEverySourceAndRefillsAfterRefresh) {
    labtest::Lab& lab = *lab_;
    ASSERT_TRUE(AddOffice("192.168.60.0/24", "192.168.60.1/24"));
    ASSERT_TRUE(StartCameras("cams", R"({"cameras": [
      {"name": "Lobby", "hostName": "lobby", "address": "192.168.60.21", "mac": "02:00:00:00:60:21",
       "bsp": "J3", "services": ["mdns"]},
      {"name": "Vault", "hostName": "vault", "address": "192.168.60.22", "mac": "02:00:00:00:60:22",
       "bsp": "W8", "enabled": false, "services": ["mdns"]},
      {"address": "10.9.9.9", "mask": "255.255.255.0", "mac": "02:00:00:00:09:09", "services": ["gvcp"]},
      {"name": "Gate", "hostName": "One", "address": "192.168.60.24", "mac": "02:00:00:00:60:24",
       "announceIntervalMs": 500, "services": ["announce"]}]})"));

    const auto run = lab.Exec("pc", {probe, "4", "40", "1"}, 90);
    ASSERT_EQ(run.status, 0) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;

    std::map<std::string, Row> rows;
    std::string pane;
    int emptied = -1;
    std::stringstream out(run.out);
    for (std::string line; std::getline(out, line);) {
        const auto f = Split(line);
        if (f.size() == 7 && f[0] == "ROW") rows[f[1]] = {f[2], f[3], f[4], std::stoi(f[5]), std::stoi(f[6])};
        if (f.size() >= 1 && f[0] == "PANE") pane = f.size() > 1 ? f[1] : "";
        if (f.size() == 2 && f[0] == "EMPTIED") emptied = std::stoi(f[1]);
    }
    EXPECT_EQ(emptied, 0) << run.out;  // the refresh empties the list at once
    ASSERT_TRUE(rows.count("Lobby")) << run.out;
    ASSERT_TRUE(rows.count("Vault")) << run.out;
    ASSERT_TRUE(rows.count("Gate One")) << run.out;
    EXPECT_EQ(rows["Lobby"].ip, "192.168.60.21");
    // mDNS finds take the MAC address from the neighbour table: the simulator host's interface.
    EXPECT_TRUE(std::regex_match(rows["Lobby"].mac, std::regex("([0-9A-F]{2}:){5}[0-9A-F]{2}"))) << rows["Lobby"].mac;
    EXPECT_EQ(rows["Lobby"].image0, 0);
    EXPECT_EQ(rows["Lobby"].image4, -1);
    EXPECT_EQ(rows["Vault"].image4, 2);  // plain resource service off: padlock
    EXPECT_EQ(rows["Gate One"].image0, 0);
    bool foreign = false;
    for (const auto& [name, row] : rows)
        if (row.ip == "10.9.9.9") {
            foreign = true;
            EXPECT_EQ(row.image0, 1) << name;  // outside the adapter's subnet
            EXPECT_EQ(row.mac, "02:00:00:00:09:09");
        }
    EXPECT_TRUE(foreign) << run.out;
    for (const auto& [name, row] : rows) EXPECT_NE(row.interfaceName.find("(192.168.60.1)"), std::string::npos) << name;
    EXPECT_EQ(pane, "Scan completed");
}

// Two cameras that share an address: two rows, each marked with the other's
// MAC address, and the status bar counts them after the scan.
TEST_F(AppLab, CamerasSharingAnAddressAreMarked) {
    labtest::Lab& lab = *lab_;
    ASSERT_TRUE(AddOffice("192.168.61.0/24", "192.168.61.1/24"));
    ASSERT_TRUE(StartCameras("d1", R"({"cameras": [{"name": "twinA", "address": "192.168.61.70",
      "mac": "02:00:00:00:0d:01", "info": "KSRV-1", "services": ["gvcp"]},
      {"name": "single", "address": "192.168.61.71", "mac": "02:00:00:00:0d:03", "info": "KSRV-1",
       "services": ["gvcp"]}]})"));
    ASSERT_TRUE(StartCameras("d2", R"({"cameras": [{"name": "twinB", "address": "192.168.61.70",
      "mac": "02:00:00:00:0d:02", "info": "KSRV-1", "services": ["gvcp"]}]})"));

    const auto run = lab.Exec("pc", {probe, "3", "40"}, 90);
    ASSERT_EQ(run.status, 0) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
    std::map<std::string, std::string> tips;  // MAC -> tooltip of the address cell
    std::string pane;
    std::stringstream out(run.out);
    for (std::string line; std::getline(out, line);) {
        const auto f = Split(line);
        if (f.size() == 5 && f[0] == "SHARED") {
            EXPECT_EQ(f[2], "192.168.61.70") << line;
            tips[f[3]] = f[4];
        }
        if (!f.empty() && f[0] == "PANE") pane = f.size() > 1 ? f[1] : "";
    }
    ASSERT_EQ(tips.size(), 2u) << run.out;
    EXPECT_NE(tips["02:00:00:00:0D:01"].find("also used by 02:00:00:00:0D:02"), std::string::npos) << run.out;
    EXPECT_NE(tips["02:00:00:00:0D:02"].find("also used by 02:00:00:00:0D:01"), std::string::npos) << run.out;
    EXPECT_EQ(pane, "Scan completed, 2 duplicate IPs");
}

}  // namespace
