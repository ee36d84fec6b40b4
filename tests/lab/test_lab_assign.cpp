// teliox-cli assign against simulated cameras: five GigE Vision cameras
// (one refusing control, one in another subnet) and two mDNS cameras with
// resource trees get distinct free addresses in one go, passing over a host
// that already holds the first candidate; a rescan finds each at its new
// address. Cameras that share an address are marked in the JSON and CSV
// output and are reached by their MAC. Refused plans change nothing.
#include "office_lab.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using labtest::Dump;
using labtest::Lab;

namespace {

labtest::CommandResult Assign(Lab& lab, const std::vector<std::string>& args, int timeoutSeconds = 120) {
    std::vector<std::string> assign{"assign"};
    assign.insert(assign.end(), args.begin(), args.end());
    return labtest::Cli(lab, assign, timeoutSeconds);
}

// "change NAME OLD -> NEW ..." lines of camsim logs: NAME -> NEW.
std::map<std::string, std::string> Moves(const std::string& log) {
    std::map<std::string, std::string> moves;
    static const std::regex line(R"(change (\S+) (\S+) -> (\S+))");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
        moves[(*it)[1]] = (*it)[3];
    return moves;
}

// A lab with the pc on 192.168.10.0/24.
class AssignLab : public labtest::OfficeLab {
protected:
    AssignLab() : OfficeLab({.commands = {"assign"}}) {}
};

class LabAssign : public AssignLab {
protected:
    void SetUp() override {
        AssignLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // A device that is no camera, on the first address the plan would give.
        ASSERT_EQ(lab_->AddHost("other", "a", "192.168.10.20/24", "02:00:00:00:0c:99"), "eth0") << lab_->error();
        ASSERT_TRUE(StartCameras("gv", R"({"defaults": {"services": ["gvcp"]}, "cameras": [
          {"name": "g1", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01", "info": "KSRV-1"},
          {"name": "g2", "address": "192.168.10.51", "mac": "02:00:00:00:0a:02", "info": "KSRV-1"},
          {"name": "g3", "address": "192.168.10.52", "mac": "02:00:00:00:0a:03", "info": "K210R"},
          {"name": "g4", "address": "192.168.10.53", "mac": "02:00:00:00:0a:04", "info": "K460", "privilege": false},
          {"name": "g5", "address": "172.16.5.5", "mac": "02:00:00:00:0a:05", "info": "K460", "privilege": false}]})",
                                 "02:00:00:00:0a:00"));
        ASSERT_TRUE(StartCameras("md", R"({"defaults": {"services": ["mdns", "ipchange"]}, "cameras": [
          {"name": "Lobby", "hostName": "lobby", "address": "192.168.10.60", "bsp": "J3"},
          {"name": "Gate", "hostName": "gate", "address": "192.168.10.61", "bsp": "W6"}]})",
                                 "02:00:00:00:0b:00"));
    }

    std::string Logs() {
        return labtest::ReadFile(lab_->CamsimLog("gv")) + labtest::ReadFile(lab_->CamsimLog("md"));
    }
};

using LabAssignShared = AssignLab;
using LabAssignBroadcast = AssignLab;

}  // namespace

TEST_F(LabAssign, AllSevenCamerasGetDistinctFreeAddresses) {
    auto dry = Assign(*lab_, {"--from", "192.168.10.20/24", "--gateway", "192.168.10.1", "--dry-run", "--all"});
    ASSERT_EQ(dry.status, 0) << Dump(dry);
    EXPECT_NE(dry.out.find("Plan: 7 cameras, "), std::string::npos) << Dump(dry);
    EXPECT_NE(dry.out.find("192.168.10.20  skipped: in use by 02:00:00:00:0C:99"), std::string::npos) << Dump(dry);
    EXPECT_NE(dry.out.find("Dry run: nothing changed"), std::string::npos);
    EXPECT_TRUE(Moves(Logs()).empty()) << "a dry run changes nothing\n" << Logs();

    auto r = Assign(*lab_, {"--from", "192.168.10.20/24", "--gateway", "192.168.10.1", "--all"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    for (const char* name : {"g1", "g2", "g3", "g4", "g5", "Lobby", "Gate"})
        EXPECT_TRUE(labtest::WaitForText(lab_->CamsimLog(name[0] == 'g' ? "gv" : "md"), std::string("change ") + name,
                                         5000))
            << name << "\n" << Dump(r) << Logs();
    const auto moves = Moves(Logs());
    ASSERT_EQ(moves.size(), 7u) << Logs();
    std::set<std::string> given;
    for (const auto& [name, address] : moves) {
        EXPECT_TRUE(given.insert(address).second) << address << " given twice";
        EXPECT_TRUE(std::regex_match(address, std::regex(R"(192\.168\.10\.2[1-7])"))) << name << " " << address;
    }
    // The two that refuse control were reached by the forced address.
    EXPECT_NE(Logs().find("FORCEIP_CMD cmd=0x0004 flags=0x00 req=0x1002 len=56 mac=02:00:00:00:0A:04"), std::string::npos);
    EXPECT_NE(r.out.find("5 done, 2 sent as broadcast, 0 failed"), std::string::npos) << Dump(r);
    // The command's own rescan, and an independent one, find each camera where it was sent.
    EXPECT_EQ(labtest::CountOccurrences(r.out, " found at 192.168.10.2"), 7u) << Dump(r);

    auto scan = labtest::Scan(*lab_);
    ASSERT_TRUE(scan.parsed) << scan.run.out << scan.run.err;
    EXPECT_EQ(scan.rows.size(), 7u) << scan.run.out;
    const std::map<std::string, std::string> macOf = {{"g1", "02:00:00:00:0A:01"}, {"g2", "02:00:00:00:0A:02"},
                                                      {"g3", "02:00:00:00:0A:03"}, {"g4", "02:00:00:00:0A:04"},
                                                      {"g5", "02:00:00:00:0A:05"}};
    for (const auto& [name, address] : moves) {
        const auto* row = labtest::Row(scan, address);
        ASSERT_TRUE(row) << name << " not found at " << address << "\n" << scan.run.out;
        if (macOf.count(name)) EXPECT_EQ((*row)["macAddress"], macOf.at(name)) << address;
        else EXPECT_EQ((*row)["name"], name) << address;
        EXPECT_EQ((*row)["duplicateAddress"], false);
    }
}

TEST_F(LabAssign, RefusalsChangeNothing) {
    auto missing = Assign(*lab_, {"--from", "192.168.10.20/24", "192.168.10.50", "192.168.10.99"});
    EXPECT_EQ(missing.status, 3) << Dump(missing);
    EXPECT_NE(missing.err.find("no camera 192.168.10.99 found"), std::string::npos) << Dump(missing);

    // Six host addresses from .249: .249 to .254 less none in use, for seven cameras.
    auto few = Assign(*lab_, {"--from", "192.168.10.250/24", "--all"});
    EXPECT_EQ(few.status, 1) << Dump(few);
    EXPECT_NE(few.err.find("Not enough addresses"), std::string::npos) << Dump(few);

    auto bad = Assign(*lab_, {"--from", "192.168.10.20", "--all"});
    EXPECT_EQ(bad.status, 2) << Dump(bad);
    auto both = Assign(*lab_, {"--dhcp", "--from", "192.168.10.20/24", "--all"});
    EXPECT_EQ(both.status, 2) << Dump(both);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(Moves(Logs()).empty()) << Logs();
    EXPECT_EQ(Logs().find("WRITEREG"), std::string::npos);
}

// Two cameras on one address with different MAC addresses: a row each in
// the JSON and CSV output, marked; assign reaches each by its MAC.
TEST_F(LabAssignShared, DuplicatePairIsMarkedAndSeparated) {
    Lab& lab = *lab_;
    ASSERT_TRUE(StartCameras("d1", R"({"cameras": [{"name": "twinA", "address": "192.168.10.70",
      "mac": "02:00:00:00:0d:01", "info": "KSRV-1", "services": ["gvcp"]}]})"));
    ASSERT_TRUE(StartCameras("d2", R"({"cameras": [{"name": "twinB", "address": "192.168.10.70",
      "mac": "02:00:00:00:0d:02", "info": "KSRV-1", "services": ["gvcp"]}]})"));
    ASSERT_TRUE(StartCameras("d3", R"({"cameras": [{"name": "single", "address": "192.168.10.71",
      "mac": "02:00:00:00:0d:03", "info": "KSRV-1", "services": ["gvcp"]}]})"));

    auto scan = labtest::Scan(lab);
    ASSERT_TRUE(scan.parsed) << scan.run.out << scan.run.err;
    ASSERT_EQ(scan.rows.size(), 3u) << scan.run.out;
    std::set<std::string> twins;
    for (const auto& row : scan.rows) {
        const bool twin = row["ipAddress"] == "192.168.10.70";
        EXPECT_EQ(row["duplicateAddress"], twin) << row.dump();
        if (twin) twins.insert(row["macAddress"].get<std::string>());
    }
    EXPECT_EQ(twins, (std::set<std::string>{"02:00:00:00:0D:01", "02:00:00:00:0D:02"}));

    auto csv = lab.Exec("pc", {labtest::CliPath(), "scan", "--csv"}, 60);
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("name,ipAddress,macAddress,interfaceName,hostName,platform,model,reachable,disabled,"
                            "ipChangePending,duplicateAddress\r\n",
                            0),
              0u)
        << csv.out;
    EXPECT_EQ(labtest::CountOccurrences(csv.out, ",192.168.10.70,"), 2u) << csv.out;
    EXPECT_EQ(labtest::CountOccurrences(csv.out, ",true\r\n"), 2u) << csv.out;

    // The shared address names both cameras; each gets its own new address by its MAC.
    auto r = Assign(lab, {"--from", "192.168.10.100/24", "192.168.10.70"});
    EXPECT_EQ(r.status, 0) << Dump(r);
    const std::string logs = labtest::ReadFile(lab.CamsimLog("d1")) + labtest::ReadFile(lab.CamsimLog("d2"));
    EXPECT_EQ(logs.find("WRITEREG"), std::string::npos) << "a register write could reach either camera\n" << logs;
    const auto moves = Moves(logs);
    ASSERT_EQ(moves.size(), 2u) << Dump(r) << logs;
    EXPECT_NE(moves.at("twinA"), moves.at("twinB"));
    EXPECT_EQ(labtest::ReadFile(lab.CamsimLog("d3")).find("change single"), std::string::npos);
}

// A camera that cannot be reached gets the IP-change broadcast, which nobody
// answers; when the rescan does not find it at its new address the command
// does not call that a success.
TEST_F(LabAssignBroadcast, UnconfirmedBroadcastIsNoSuccess) {
    Lab& lab = *lab_;
    // No resource server and no IP-change listener: nothing will move it.
    ASSERT_TRUE(StartCameras("m", R"({"cameras": [{"name": "Deaf", "hostName": "deaf",
      "address": "192.168.10.60", "bsp": "J3", "services": ["mdns"], "resourceService": false}]})"));
    auto r = Assign(lab, {"--from", "192.168.10.30/24", "192.168.10.60"});
    EXPECT_EQ(r.status, 1) << Dump(r);
    EXPECT_NE(r.out.find("Broadcast sent"), std::string::npos) << Dump(r);
    EXPECT_NE(r.out.find("not found at 192.168.10.30 yet: the broadcast change is not confirmed"), std::string::npos)
        << Dump(r);
    EXPECT_NE(r.err.find("1 sent as broadcast not confirmed"), std::string::npos) << Dump(r);
}
