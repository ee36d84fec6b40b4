// Real peers in the lab: Aravis's fake camera and arv-tool, python3-zeroconf,
// avahi-daemon and tshark, against our simulator and teliox-cli.
#include "office_lab.h"
#include "discovery/gev_control.h"
#include "probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

using labtest::Dump;
using labtest::Lab;

namespace {

const char* kThreeCameras = R"({"cameras": [
  {"name": "ksrv", "hostName": "cam-ksrv", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01",
   "info": "KSRV-1", "model": "Thermal 640", "serial": "S1", "bsp": "J3", "modelCode": "L",
   "services": ["gvcp", "mdns"]},
  {"name": "k210", "hostName": "cam-k210", "address": "192.168.10.51", "mac": "02:00:00:00:0a:02",
   "info": "K210R", "model": "K2", "serial": "S2", "bsp": "W6", "enabled": false, "services": ["gvcp", "mdns"]},
  {"name": "k460", "hostName": "cam-k460", "address": "192.168.10.52", "mac": "02:00:00:00:0a:03",
   "info": "K460", "model": "K4", "serial": "S3", "privilege": false, "services": ["gvcp", "mdns"]}]})";

// The same cameras with GigE Vision only (mDNS rows would come first and keep their platform).
const char* kGigECameras = R"({"defaults": {"services": ["gvcp"]}, "cameras": [
  {"name": "ksrv", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01", "info": "KSRV-1",
   "model": "Thermal 640", "serial": "S1"},
  {"name": "k210", "address": "192.168.10.51", "mac": "02:00:00:00:0a:02", "info": "K210R", "model": "K2", "serial": "S2"},
  {"name": "k460", "address": "192.168.10.52", "mac": "02:00:00:00:0a:03", "info": "K460", "model": "K4",
   "serial": "S3", "privilege": false}]})";

class Interop : public labtest::OfficeLab {
protected:
    void StartCameras(const char* json = kThreeCameras) { ASSERT_TRUE(OfficeLab::StartCameras("cams", json)); }
};

}  // namespace

TEST_F(Interop, AravisFakeCameraAnswersOurDiscoveryAndIsLeftOut) {
    LAB_REQUIRE_TOOL("arv-fake-gv-camera-0.8");
    CLI_REQUIRE(*lab_, "scan");
    StartCameras(kGigECameras);
    ASSERT_EQ(lab_->AddHost("fake", "a", "192.168.10.70/24"), "eth0") << lab_->error();
    lab_->Spawn("fake", {"arv-fake-gv-camera-0.8", "-i", "192.168.10.70"}, "fake.out");
    // Wait (bounded) until it answers a discovery like ours.
    std::vector<probe::Answer> answers;
    for (int i = 0; i < 10; ++i) {
        answers = probe::Decode(lab_->RunIn("pc", [] {
            return probe::Encode(probe::Exchange("eth0", "255.255.255.255", 3956, probe::DiscoveryCmd(), 500));
        }));
        bool fake = false;
        for (const auto& a : answers) fake = fake || a.from == "192.168.10.70";
        if (fake) break;
    }
    const probe::Answer* fake = nullptr;
    for (const auto& a : answers)
        if (a.from == "192.168.10.70") fake = &a;
    ASSERT_TRUE(fake) << labtest::ReadFile(lab_->dir() + "/fake.out");
    EXPECT_GE(fake->data.size(), 256u);
    EXPECT_EQ(probe::Be16(fake->data, 2), 0x0003);

    auto scan = labtest::Scan(*lab_);
    ASSERT_EQ(scan.run.status, 0) << Dump(scan.run);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    EXPECT_FALSE(labtest::Row(scan, "192.168.10.70")) << Dump(scan.run);
    const auto* ksrv = labtest::Row(scan, "192.168.10.50");
    ASSERT_TRUE(ksrv) << Dump(scan.run);
    EXPECT_EQ((*ksrv)["platform"], "HU");
    EXPECT_TRUE(labtest::Row(scan, "192.168.10.51"));
    EXPECT_TRUE(labtest::Row(scan, "192.168.10.52"));
}

// Aravis's fake camera is a GigE Vision device of another maker: our register
// write asks it for the control channel privilege and must see its
// acknowledge, which proves our WRITEREG_CMD is standard GVCP.
TEST_F(Interop, AravisFakeCameraAcknowledgesOurPrivilegeWrite) {
    LAB_REQUIRE_TOOL("arv-fake-gv-camera-0.8");
    ASSERT_EQ(lab_->AddHost("fake", "a", "192.168.10.70/24"), "eth0") << lab_->error();
    lab_->Spawn("fake", {"arv-fake-gv-camera-0.8", "-i", "192.168.10.70"}, "fake.out");
    std::string result;
    for (int i = 0; i < 10 && result != "ack"; ++i) {  // bounded: the fake camera takes a moment to start
        result = lab_->RunIn("pc", [] {
            CGEVControl control;
            // Control access, the value the address change writes.
            return std::string(control.SetControlChannelPrivilege(2, "192.168.10.70") ? "ack" : "none");
        });
        if (result != "ack") std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(result, "ack") << labtest::ReadFile(lab_->dir() + "/fake.out");
}

TEST_F(Interop, ArvToolListsTheSimulatorsCameras) {
    LAB_REQUIRE_TOOL("arv-tool-0.8");
    StartCameras(kGigECameras);
    auto r = lab_->Exec("pc", {"arv-tool-0.8"}, 30);
    ASSERT_EQ(r.status, 0) << Dump(r);
    EXPECT_NE(r.out.find("ZYRK-Thermal 640-S1 (192.168.10.50)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ZYRK-K2-S2 (192.168.10.51)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ZYRK-K4-S3 (192.168.10.52)"), std::string::npos) << r.out;
    // It can open one and read its description file.
    auto f = lab_->Exec("pc", {"arv-tool-0.8", "-a", "192.168.10.50", "features"}, 30);
    EXPECT_EQ(f.status, 0) << Dump(f);
    EXPECT_NE(f.out.find("DeviceModelName"), std::string::npos) << Dump(f);
}

TEST_F(Interop, ZeroconfBrowserFindsAndResolvesTheSimulatorsCameras) {
    LAB_REQUIRE_TOOL("/usr/bin/python3");
    if (system("/usr/bin/python3 -c 'import zeroconf' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "lab test skipped: python3-zeroconf is not installed";
    StartCameras();
    const std::string script = std::string(TELIOX_SOURCE_DIR) + "/lab/zeroconf_browse.py";
    auto r = lab_->Exec("pc", {"/usr/bin/python3", script, "192.168.10.1", "3", "8", "--resolve"}, 40);
    ASSERT_EQ(r.status, 0) << Dump(r);
    nlohmann::json found = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(found.is_array()) << Dump(r);
    ASSERT_EQ(found.size(), 3u) << Dump(r);
    std::map<std::string, nlohmann::json> byName;
    for (const auto& s : found) byName[s.value("name", "")] = s;
    const auto& k = byName["ksrv._zyrk-ircam._tcp.local."];
    ASSERT_TRUE(k.contains("server")) << Dump(r);
    EXPECT_EQ(k["server"], "cam-ksrv.local.");
    EXPECT_EQ(k["port"], 22136);
    EXPECT_EQ(k["addresses"], nlohmann::json::array({"192.168.10.50"}));
    EXPECT_EQ(k["txt"]["bsp"], "J3");
    EXPECT_EQ(k["txt"]["model"], "L");
    EXPECT_EQ(k["txt"]["enabled"], "true");
    const auto& d = byName["k210._zyrk-ircam._tcp.local."];
    ASSERT_TRUE(d.contains("server")) << Dump(r);
    EXPECT_EQ(d["server"], "cam-k210.local.");
    EXPECT_EQ(d["addresses"], nlohmann::json::array({"192.168.10.51"}));
    EXPECT_EQ(d["txt"]["bsp"], "W6");
    EXPECT_EQ(d["txt"]["enabled"], "false");
    EXPECT_TRUE(byName["k460._zyrk-ircam._tcp.local."].contains("server"));
}

namespace {

// Starts avahi-daemon in lab host "avahi" (192.168.10.80) publishing one
// camera service "AvCam" with the given TXT strings; returns the daemon's
// output file, empty when it did not come up.
std::string StartAvahiCamera(Lab& lab, const std::vector<std::string>& txt) {
    if (lab.AddHost("avahi", "a", "192.168.10.80/24", "02:00:00:00:0d:01") != "eth0") return "";
    std::string d = lab.dir();
    if (system(("mkdir -p " + d + "/avahi/services " + d + "/avahi/run").c_str()) != 0) return "";
    labtest::WriteFile(d + "/avahi/avahi-daemon.conf",
                       "[server]\nhost-name=avcam\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\n"
                       "allow-interfaces=eth0\nenable-dbus=no\nratelimit-interval-usec=0\n"
                       "[wide-area]\nenable-wide-area=no\n"
                       "[publish]\npublish-addresses=yes\npublish-hinfo=no\npublish-workstation=no\n"
                       "publish-aaaa-on-ipv4=no\n[reflector]\nenable-reflector=no\n[rlimits]\n");
    std::string records;
    for (const std::string& t : txt) records += "    <txt-record>" + t + "</txt-record>\n";
    labtest::WriteFile(d + "/avahi/services/camera.service",
                       "<?xml version=\"1.0\" standalone='no'?>\n"
                       "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
                       "<service-group>\n  <name>AvCam</name>\n  <service>\n"
                       "    <type>_zyrk-ircam._tcp</type>\n    <port>22136</port>\n" +
                           records + "  </service>\n</service-group>\n");
    // A mount namespace of its own gives the daemon our service folder and its
    // own runtime folder (pid file) without touching the machine's.
    std::string script = "mount --bind " + d + "/avahi/services /etc/avahi/services && "
                         "mkdir -p /run/avahi-daemon && mount --bind " + d + "/avahi/run /run/avahi-daemon && "
                         "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title -f " + d +
                         "/avahi/avahi-daemon.conf";
    lab.Spawn("avahi", {"unshare", "--mount", "--propagation", "private", "sh", "-c", script}, "avahi.out");
    const std::string out = d + "/avahi.out";
    return labtest::WaitForText(out, "successfully established", 15000) ? out : "";
}

}  // namespace

TEST_F(Interop, AvahiPublishedCameraIsFoundByOurScan) {
    LAB_REQUIRE_TOOL("avahi-daemon");
    LAB_REQUIRE_TOOL("unshare");
    CLI_REQUIRE(*lab_, "scan");
    const std::string log = StartAvahiCamera(*lab_, {"bsp=J3", "model=x"});
    ASSERT_FALSE(log.empty()) << labtest::ReadFile(lab_->dir() + "/avahi.out");

    auto scan = labtest::Scan(*lab_);
    ASSERT_EQ(scan.run.status, 0) << Dump(scan.run);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    const auto* row = labtest::Row(scan, "192.168.10.80");
    ASSERT_TRUE(row) << Dump(scan.run) << labtest::ReadFile(log);
    EXPECT_EQ((*row)["name"], "AvCam");
    EXPECT_EQ((*row)["hostName"], "avcam");
    EXPECT_EQ((*row)["platform"], "J3");
    EXPECT_EQ((*row)["model"], "x");
    EXPECT_EQ((*row)["macAddress"], "02:00:00:00:0D:01");
    EXPECT_EQ((*row)["reachable"], true);
}

// A camera whose TXT record holds over 400 bytes: avahi's answers are then
// longer than 512 bytes, and the camera is listed all the same.
TEST_F(Interop, AvahiCameraWithALargeTxtRecordIsListed) {
    LAB_REQUIRE_TOOL("avahi-daemon");
    LAB_REQUIRE_TOOL("unshare");
    LAB_REQUIRE_TOOL("tshark");
    CLI_REQUIRE(*lab_, "scan");
    const std::string note(200, 'n'), more(200, 'm');
    const std::string log = StartAvahiCamera(*lab_, {"bsp=J3", "model=x", "note=" + note, "more=" + more});
    ASSERT_FALSE(log.empty()) << labtest::ReadFile(lab_->dir() + "/avahi.out");
    // The answers on the wire, to show that they are over 512 bytes.
    const std::string pcap = lab_->dir() + "/mdns.pcap";
    pid_t cap = lab_->Spawn("pc", {"tshark", "-n", "-i", "eth0", "-f", "udp port 5353", "-w", pcap}, "tshark.out");
    ASSERT_TRUE(labtest::WaitForText(lab_->dir() + "/tshark.out", "Capturing on", 15000))
        << labtest::ReadFile(lab_->dir() + "/tshark.out");
    // Avahi cuts its answers to a query from another port than 5353 (legacy
    // unicast) to 512 bytes and leaves the SRV and A records out: the camera
    // is found by the answer to the multicast query. Avahi does not multicast
    // a record again within a second, so the scan starts once its start-up
    // announcements are over, as a technician's scan would.
    std::this_thread::sleep_for(std::chrono::seconds(4));

    auto scan = labtest::Scan(*lab_);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lab_->Stop(cap);
    ASSERT_EQ(scan.run.status, 0) << Dump(scan.run);
    ASSERT_TRUE(scan.parsed) << Dump(scan.run);
    const auto* row = labtest::Row(scan, "192.168.10.80");
    ASSERT_TRUE(row) << Dump(scan.run) << labtest::ReadFile(log);
    EXPECT_EQ((*row)["name"], "AvCam");
    EXPECT_EQ((*row)["platform"], "J3");
    EXPECT_EQ((*row)["model"], "x");

    auto lengths = lab_->Exec("pc", {"tshark", "-n", "-r", pcap, "-Y", "ip.src==192.168.10.80 && dns.flags.response==1",
                                     "-T", "fields", "-e", "udp.length"}, 60);
    size_t longest = 0;
    std::istringstream in(lengths.out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) longest = std::max<size_t>(longest, std::stoul(line) - 8);
    EXPECT_GT(longest, 512u) << "avahi's answers were not longer than 512 bytes:\n" << lengths.out << lengths.err;
}

TEST_F(Interop, TsharkDecodesOurGigEVisionCommands) {
    LAB_REQUIRE_TOOL("tshark");
    CLI_REQUIRE(*lab_, "set-ip");
    StartCameras(kGigECameras);
    std::string pcap = lab_->dir() + "/gvcp.pcap";
    std::string bridge = lab_->Bridge("a");
    ASSERT_FALSE(bridge.empty());
    pid_t cap = lab_->Spawn("br", {"tshark", "-n", "-i", bridge, "-f", "udp port 3956", "-w", pcap}, "tshark.out");
    ASSERT_TRUE(labtest::WaitForText(lab_->dir() + "/tshark.out", "Capturing on", 15000))
        << labtest::ReadFile(lab_->dir() + "/tshark.out");
    // A register change (DISCOVERY_CMD, WRITEREG_CMD) and a forced address (FORCEIP_CMD).
    auto a = labtest::SetIp(*lab_, {"192.168.10.50", "--static", "192.168.10.77/24"});
    auto b = labtest::SetIp(*lab_, {"192.168.10.52", "--static", "192.168.10.78/24"});
    ASSERT_TRUE(labtest::WaitForText(lab_->CamsimLog("cams"), "FORCEIP_CMD", 3000)) << Dump(a) << Dump(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    lab_->Stop(cap);
    auto decoded = lab_->Exec("pc", {"tshark", "-n", "-r", pcap, "-d", "udp.port==3956,gvcp", "-V"}, 60);
    ASSERT_EQ(decoded.status, 0) << Dump(decoded);
    EXPECT_NE(decoded.out.find("DISCOVERY_CMD"), std::string::npos) << decoded.out.substr(0, 3000);
    EXPECT_NE(decoded.out.find("WRITEREG_CMD"), std::string::npos) << decoded.out.substr(0, 3000);
    EXPECT_NE(decoded.out.find("FORCEIP_CMD"), std::string::npos) << decoded.out.substr(0, 3000);
    EXPECT_NE(decoded.out.find("DISCOVERY_ACK"), std::string::npos);
    EXPECT_EQ(decoded.out.find("Malformed"), std::string::npos) << decoded.out.substr(0, 3000);
}
