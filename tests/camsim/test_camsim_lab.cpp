// camsim in the lab, driven by tiny peers in the pc host: discovery, register
// writes, FORCEIP, IP-change messages, mDNS and announcements on real sockets.
#include "lab_harness.h"
#include "probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using labtest::Lab;

namespace {

const char* kCameras = R"({
  "cameras": [
    {"name": "CamA", "hostName": "cama", "address": "192.168.10.50", "mac": "02:00:00:00:0a:01",
     "info": "KSRV-1234", "model": "Thermal A", "bsp": "J3", "announceName": "CamA", "announceIntervalMs": 300,
     "services": ["gvcp", "mdns", "announce", "ipchange"]},
    {"name": "CamB", "hostName": "camb", "address": "192.168.10.51", "mac": "02:00:00:00:0a:02",
     "info": "K460", "model": "K4", "bsp": "W6", "privilege": false, "delayMs": 100,
     "services": ["gvcp", "mdns", "ipchange"]}
  ]})";

const char* kForeign = R"({
  "cameras": [
    {"name": "CamF", "hostName": "camf", "address": "172.16.5.5", "mac": "02:00:00:00:0f:01",
     "info": "K210R", "privilege": false, "services": ["gvcp"]}
  ]})";

class CamsimLab : public ::testing::Test {
protected:
    void SetUp() override {
        LAB_REQUIRE();
        lab_ = std::make_unique<Lab>();
        ASSERT_TRUE(lab_->ok()) << lab_->error();
        ASSERT_TRUE(lab_->AddSubnet("a", "192.168.10.0/24")) << lab_->error();
        ASSERT_TRUE(lab_->AddSubnet("b", "10.20.0.0/24")) << lab_->error();
        ASSERT_EQ(lab_->AddPcAdapter("a", "192.168.10.1/24"), "eth0") << lab_->error();
        ASSERT_EQ(lab_->AddPcAdapter("b", "10.20.0.1/24"), "eth1") << lab_->error();
        ASSERT_EQ(lab_->AddHost("cams", "a", "none"), "eth0") << lab_->error();
        ASSERT_EQ(lab_->AddHost("far", "a", "none"), "eth0") << lab_->error();
        cams_ = lab_->StartCamsim("cams", "cams", kCameras);
        ASSERT_GT(cams_, 0) << lab_->error();
        far_ = lab_->StartCamsim("far", "far", kForeign);
        ASSERT_GT(far_, 0) << lab_->error();
    }

    std::vector<probe::Answer> Discover(const std::string& dev = "eth0", uint8_t flags = 0x11) {
        return probe::Decode(lab_->RunIn("pc", [&] {
            return probe::Encode(probe::Exchange(dev, "255.255.255.255", 3956, probe::DiscoveryCmd(flags), 1200));
        }));
    }

    // One GVCP command to a camera from the control port; the first answer.
    std::vector<uint8_t> Command(const std::string& to, const std::vector<uint8_t>& cmd) {
        auto answers = probe::Decode(lab_->RunIn("pc", [&] {
            return probe::Encode(probe::Exchange("eth0", to, 3956, cmd, 400, 54567));
        }));
        return answers.empty() ? std::vector<uint8_t>{} : answers[0].data;
    }

    static const probe::Answer* From(const std::vector<probe::Answer>& answers, const std::string& address) {
        for (const auto& a : answers)
            if (a.from == address) return &a;
        return nullptr;
    }

    std::unique_ptr<Lab> lab_;
    pid_t cams_ = -1, far_ = -1;
};

}  // namespace

TEST_F(CamsimLab, DiscoveryIsAnsweredByEveryCameraOnTheWire) {
    auto answers = Discover();
    ASSERT_EQ(answers.size(), 3u);
    const auto* a = From(answers, "192.168.10.50");
    const auto* b = From(answers, "192.168.10.51");
    const auto* f = From(answers, "172.16.5.5");
    ASSERT_TRUE(a && b && f);
    EXPECT_EQ(a->data.size(), 256u);
    EXPECT_EQ(probe::Be16(a->data, 2), 0x0003);
    EXPECT_EQ(probe::Be16(a->data, 6), 0x5FFF);
    EXPECT_EQ(a->fromPort, 3956);
    EXPECT_EQ(probe::Be32(a->data, 44), probe::Ip("192.168.10.50"));
    EXPECT_EQ(probe::Text(a->data, 176, 48), "KSRV-1234");
    EXPECT_EQ(probe::Text(b->data, 176, 48), "K460");
    EXPECT_EQ(probe::Text(f->data, 176, 48), "K210R");
    EXPECT_EQ(std::vector<uint8_t>(f->data.begin() + 16, f->data.begin() + 24),
              (std::vector<uint8_t>{0, 0, 0x02, 0, 0, 0, 0x0f, 0x01}));
    // The delayed camera answers after the prompt one.
    EXPECT_LT(std::find_if(answers.begin(), answers.end(), [](auto& x) { return x.from == "192.168.10.50"; }) -
                  answers.begin(),
              std::find_if(answers.begin(), answers.end(), [](auto& x) { return x.from == "192.168.10.51"; }) -
                  answers.begin());
    // Nobody answers on the other wire.
    EXPECT_TRUE(Discover("eth1").empty());
    EXPECT_TRUE(labtest::WaitForText(lab_->CamsimLog("cams"), "DISCOVERY_CMD", 1000));
}

TEST_F(CamsimLab, RegisterWritesAndResetMoveTheCameraForReal) {
    auto ack = Command("192.168.10.50", probe::WriteRegCmd(0x0A00, 2, 0x1001));
    ASSERT_GE(ack.size(), 12u);
    EXPECT_EQ(probe::Be16(ack, 0), 0);
    EXPECT_EQ(probe::Be16(ack, 2), 0x0083);
    EXPECT_EQ(probe::Be16(ack, 6), 0x1001);
    EXPECT_EQ(probe::Be16(Command("192.168.10.50", probe::WriteRegCmd(0x0014, 5, 0x1002)), 0), 0);
    EXPECT_EQ(probe::Be16(Command("192.168.10.50", probe::WriteRegCmd(0x064C, probe::Ip("192.168.10.77"), 0x1003)), 0), 0);
    EXPECT_EQ(probe::Be16(Command("192.168.10.50", probe::WriteRegCmd(0x065C, probe::Ip("255.255.255.0"), 0x1004)), 0), 0);
    EXPECT_EQ(probe::Be16(Command("192.168.10.50", probe::WriteRegCmd(0x066C, probe::Ip("192.168.10.1"), 0x1005)), 0), 0);
    EXPECT_EQ(probe::Be16(Command("192.168.10.50", probe::WriteRegCmd(0x4000, 1, 0x1006)), 0), 0x8003);
    auto reset = Command("192.168.10.50", probe::WriteRegCmd(0xD340, 1, 0x1007));
    ASSERT_GE(reset.size(), 8u);
    EXPECT_EQ(probe::Be16(reset, 0), 0);

    auto answers = Discover();
    EXPECT_TRUE(From(answers, "192.168.10.77"));
    EXPECT_FALSE(From(answers, "192.168.10.50"));
    auto value = Command("192.168.10.77", probe::ReadRegCmd(0x0024, 0x1008));
    EXPECT_EQ(probe::Be32(value, 8), probe::Ip("192.168.10.77"));
    auto addr = lab_->Exec("cams", {"ip", "-4", "-o", "addr", "show", "dev", "eth0"});
    EXPECT_NE(addr.out.find("192.168.10.77/24"), std::string::npos) << addr.out;
    EXPECT_EQ(addr.out.find("192.168.10.50/"), std::string::npos) << addr.out;
    // DHCP without a server in the lab: the camera falls back to a link-local address.
    Command("192.168.10.77", probe::WriteRegCmd(0x0A00, 2, 0x1009));
    Command("192.168.10.77", probe::WriteRegCmd(0x0014, 6, 0x100A));
    Command("192.168.10.77", probe::WriteRegCmd(0xD340, 1, 0x100B));
    answers = Discover();
    ASSERT_EQ(answers.size(), 3u);
    bool linkLocal = false;
    for (const auto& a : answers)
        if (a.from.rfind("169.254.", 0) == 0) linkLocal = (probe::Be32(a.data, 28) & 2) != 0;
    EXPECT_TRUE(linkLocal);
}

TEST_F(CamsimLab, RefusedPrivilegeAndForceIpAcrossSubnets) {
    EXPECT_EQ(probe::Be16(Command("192.168.10.51", probe::WriteRegCmd(0x0A00, 2, 0x2001)), 0), 0x8006);
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0x0f, 0x01};
    lab_->RunIn("pc", [&] {
        probe::Exchange("eth0", "255.255.255.255", 3956,
                        probe::ForceIpCmd(mac, probe::Ip("192.168.10.88"), probe::Ip("255.255.255.0"),
                                          probe::Ip("192.168.10.1"), 0x2002), 50);
        return std::string("sent");
    });
    ASSERT_TRUE(labtest::WaitForText(lab_->CamsimLog("far"), "change CamF 172.16.5.5 -> 192.168.10.88", 3000))
        << labtest::ReadFile(lab_->CamsimLog("far"));
    auto answers = Discover();
    const auto* f = From(answers, "192.168.10.88");
    ASSERT_TRUE(f);
    EXPECT_EQ(probe::Be32(f->data, 60), probe::Ip("255.255.255.0"));
    EXPECT_EQ(probe::Be32(f->data, 76), probe::Ip("192.168.10.1"));
    // The other cameras did not move.
    EXPECT_TRUE(From(answers, "192.168.10.50"));
    EXPECT_TRUE(From(answers, "192.168.10.51"));
}

TEST_F(CamsimLab, IpChangeMessagesAddressedByHostAndInterface) {
    lab_->RunIn("pc", [&] {
        auto send = [](const std::vector<uint8_t>& m) { probe::Exchange("eth0", "255.255.255.255", 810, m, 20); };
        send(probe::IpChangeMsg("nobody", "LAN90001", false, probe::Ip("192.168.10.90"), probe::Ip("255.255.255.0"), 0));
        send(probe::IpChangeMsg("camb", "LAN90001", false, probe::Ip("192.168.10.91"), probe::Ip("255.255.255.0"), 0));
        send(probe::IpChangeMsg("cama", "LAN90001", false, probe::Ip("192.168.10.99"), probe::Ip("255.255.255.0"),
                                probe::Ip("192.168.10.1")));
        send(probe::IpChangeMsg("camb", "FEC1", true, 0, 0, 0));
        return std::string("sent");
    });
    ASSERT_TRUE(labtest::WaitForText(lab_->CamsimLog("cams"), "change CamB", 3000));
    std::string log = labtest::ReadFile(lab_->CamsimLog("cams"));
    EXPECT_NE(log.find("change CamA 192.168.10.50 -> 192.168.10.99"), std::string::npos) << log;
    EXPECT_NE(log.find("change CamB 192.168.10.51 -> 169.254."), std::string::npos) << log;
    EXPECT_EQ(log.find("-> 192.168.10.90"), std::string::npos);
    EXPECT_EQ(log.find("-> 192.168.10.91"), std::string::npos);
    EXPECT_EQ(labtest::CountOccurrences(log, "rx ipchange"), 4u);
    EXPECT_TRUE(From(Discover(), "192.168.10.99"));
}

TEST_F(CamsimLab, MdnsAnswersAndAnnouncements) {
    auto answers = probe::Decode(lab_->RunIn("pc", [&] {
        return probe::Encode(probe::Exchange("eth0", "224.0.0.251", 5353,
                                             probe::MdnsQuery("_zyrk-ircam._tcp.local", 255, 0x4242), 1000));
    }));
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& a : answers) {
        EXPECT_EQ(a.fromPort, 5353);
        EXPECT_EQ(probe::Be16(a.data, 0), 0x4242);
        EXPECT_EQ(probe::Be16(a.data, 2), 0x8400);
        std::string text(a.data.begin(), a.data.end());
        EXPECT_NE(text.find(a.from == "192.168.10.50" ? "CamA" : "CamB"), std::string::npos);
    }
    auto heard = probe::Decode(lab_->RunIn("pc", [&] { return probe::Encode(probe::Listen("eth0", 1005, 1500)); }));
    ASSERT_FALSE(heard.empty());
    for (const auto& h : heard) {
        EXPECT_EQ(h.from, "192.168.10.50");
        EXPECT_EQ(std::string(h.data.begin(), h.data.end()), "$TOVRA,CamA,cama,192.168.10.50");
    }
}

TEST_F(CamsimLab, GarbageOnEveryPortIsLoggedAndIgnored) {
    lab_->RunIn("pc", [&] {
        for (uint16_t port : {3956, 5353, 810})
            for (size_t n : {0, 1, 7, 8, 71, 72, 73, 600, 1400}) {
                std::vector<uint8_t> junk(n, 0x42);
                probe::Exchange("eth0", "255.255.255.255", port, junk, 5);
                probe::Exchange("eth0", "192.168.10.50", port, junk, 5);
            }
        return std::string("sent");
    });
    EXPECT_TRUE(lab_->Alive(cams_));
    EXPECT_EQ(Discover().size(), 3u);
    std::string log = labtest::ReadFile(lab_->CamsimLog("cams"));
    EXPECT_GE(labtest::CountOccurrences(log, "ignored"), 20u);
    EXPECT_EQ(log.find(" change Cam"), std::string::npos);
}

// With a DHCP server on the wire, a camera switched to DHCP by the IP-change
// message gets a lease for its own MAC; so does each camera of a swarm, and a
// camera that starts with DHCP and no address.
TEST(CamsimLabDhcp, EveryCameraGetsALeaseOfItsOwnByMac) {
    LAB_REQUIRE();
    LAB_REQUIRE_TOOL("dnsmasq");
    Lab lab;
    ASSERT_TRUE(lab.ok()) << lab.error();
    ASSERT_TRUE(lab.AddSubnet("a", "192.168.10.0/24")) << lab.error();
    ASSERT_EQ(lab.AddPcAdapter("a", "192.168.10.1/24"), "eth0") << lab.error();
    ASSERT_EQ(lab.AddDhcp("dhcp", "a", "192.168.10.2/24", "192.168.10.100", "192.168.10.119"), "eth0") << lab.error();
    ASSERT_EQ(lab.AddHost("cams", "a", "none"), "eth0") << lab.error();
    ASSERT_GT(lab.StartCamsim("cams", "cams", R"({
      "cameras": [{"name": "Boot", "hostName": "boot", "dhcp": true, "mac": "02:00:00:00:0b:01", "services": ["gvcp"]}],
      "swarm": {"count": 4, "first": "192.168.10.60", "mask": "255.255.255.0",
                "camera": {"name": "Swarm", "hostName": "swarm", "services": ["ipchange"]}}})"), 0) << lab.error();
    std::string log = lab.CamsimLog("cams");
    ASSERT_TRUE(labtest::WaitForText(log, "dhcp Boot lease 192.168.10.", 10000)) << labtest::ReadFile(log);

    lab.RunIn("pc", [&] {
        for (int i = 0; i < 4; ++i)
            probe::Exchange("eth0", "255.255.255.255", 810,
                            probe::IpChangeMsg("swarm" + std::to_string(i), "LAN90001", true, 0, 0, 0), 20);
        return std::string("sent");
    });
    // Per camera: its lease in our log, the address on the interface, the server's acknowledgement for its MAC.
    std::set<std::string> leased;
    const std::vector<std::pair<std::string, std::string>> cameras = {
        {"Boot", "02:00:00:00:0b:01"}, {"Swarm0", "02:5a:00:00:00:00"}, {"Swarm1", "02:5a:00:00:00:01"},
        {"Swarm2", "02:5a:00:00:00:02"}, {"Swarm3", "02:5a:00:00:00:03"}};
    for (const auto& [name, mac] : cameras) {
        std::string tag = "dhcp " + name + " lease ";
        ASSERT_TRUE(labtest::WaitForText(log, tag, 10000)) << name << "\n" << labtest::ReadFile(log);
        std::string text = labtest::ReadFile(log);
        size_t at = text.find(tag) + tag.size();
        std::string address = text.substr(at, text.find(' ', at) - at);
        leased.insert(address);
        int last = std::stoi(address.substr(address.rfind('.') + 1));
        EXPECT_TRUE(address.rfind("192.168.10.", 0) == 0 && last >= 100 && last <= 119) << address;
        // The lease is logged before the address moves; the change line follows it.
        EXPECT_TRUE(labtest::WaitForText(log, "-> " + address + " mask 255.255.255.0", 5000)) << labtest::ReadFile(log);
        // dnsmasq writes its log lines a moment later.
        EXPECT_TRUE(labtest::WaitForText(lab.DhcpLog("dhcp"), "DHCPACK(eth0) " + address + " " + mac, 5000))
            << labtest::ReadFile(lab.DhcpLog("dhcp"));
    }
    EXPECT_EQ(leased.size(), 5u) << labtest::ReadFile(log);
    auto addr = lab.Exec("cams", {"ip", "-4", "-o", "addr", "show", "dev", "eth0"});
    for (const auto& a : leased) EXPECT_NE(addr.out.find(a + "/24"), std::string::npos) << addr.out;
}
