// What a commit in a camera's resource tree asks of the camera, and which TCP
// services a camera of the configuration runs.
#include "tools/camsim/camera_services.h"
#include "tools/camsim/config.h"
#include "tools/camsim/resource_service.h"

#include <gtest/gtest.h>

using namespace camsim;

namespace {

Camera Mdns(const std::string& bsp = "J3") {
    Camera c;
    c.userName = "Lobby";
    c.bsp = bsp;
    c.mdns = true;
    c.mac = {0x02, 0, 0, 0, 0x0c, 0x01};
    c.address = 0xC0A80A3C;
    return c;
}

InterfaceSettings Settings(const std::string& name, bool dhcp, const std::string& address = "192.168.10.65",
                           const std::string& mask = "255.255.255.0", const std::string& gateway = "192.168.10.1") {
    return InterfaceSettings{name, dhcp, address, mask, gateway};
}

}  // namespace

TEST(CamsimCommit, FixedAddressAndDhcpOnTheCamerasOwnInterface) {
    AddressChange ch;
    std::string why;
    ASSERT_TRUE(CameraServices::CommitChange(Mdns(), 3, Settings("LAN90001", false), ch, why)) << why;
    EXPECT_EQ(ch.camera, 3u);
    EXPECT_EQ(ch.address, 0xC0A80A41u);
    EXPECT_EQ(ch.mask, 0xFFFFFF00u);
    EXPECT_EQ(ch.gateway, 0xC0A80A01u);
    EXPECT_FALSE(ch.dhcp);

    // DHCP: the link-local address first, the simulator then asks a server.
    ASSERT_TRUE(CameraServices::CommitChange(Mdns("w6"), 0, Settings("FEC1", true, "", "", ""), ch, why)) << why;
    EXPECT_TRUE(ch.dhcp);
    EXPECT_EQ(ch.address >> 16, 0xA9FEu);

    // A commit on the interface the camera does not have changes nothing.
    EXPECT_FALSE(CameraServices::CommitChange(Mdns("W6"), 0, Settings("LAN90001", false), ch, why));
    EXPECT_NE(why.find("FEC1"), std::string::npos) << why;
    EXPECT_FALSE(CameraServices::CommitChange(Mdns(), 0, Settings("FEC1", true), ch, why));
}

TEST(CamsimCommit, UnusableSettingsAreRefused) {
    AddressChange ch;
    std::string why;
    for (auto s : {Settings("LAN90001", false, "", "255.255.255.0"),
                   Settings("LAN90001", false, "192.168.10.300"),
                   Settings("LAN90001", false, "0.0.0.0"),
                   Settings("LAN90001", false, "255.255.255.255"),
                   Settings("LAN90001", false, "127.0.0.5"),
                   Settings("LAN90001", false, "224.0.0.251"),
                   Settings("LAN90001", false, "192.168.10.65", "255.0.255.0"),
                   Settings("LAN90001", false, "192.168.10.65", "0.0.0.0"),
                   Settings("LAN90001", false, "192.168.10.65", "255.255.255.0", "gateway")}) {
        EXPECT_FALSE(CameraServices::CommitChange(Mdns(), 0, s, ch, why))
            << s.address << "/" << s.netmask << " gw " << s.gateway;
        EXPECT_FALSE(why.empty());
    }
    // No gateway at all is allowed.
    ASSERT_TRUE(CameraServices::CommitChange(Mdns(), 0, Settings("LAN90001", false, "10.1.2.3", "255.0.0.0", ""),
                                             ch, why)) << why;
    EXPECT_EQ(ch.gateway, 0u);
}

TEST(CamsimServicesConfig, DefaultsFollowTheCamerasKind) {
    Config config;
    std::string error;
    ASSERT_TRUE(ParseConfig(R"({"stateDir": "/tmp/x", "cameras": [
      {"name": "open", "address": "10.0.0.1", "services": ["mdns"]},
      {"name": "locked", "address": "10.0.0.2", "services": ["mdns"], "enabled": false},
      {"name": "gev", "address": "10.0.0.3", "services": ["gvcp"]},
      {"name": "asked", "address": "10.0.0.4", "services": ["gvcp"], "httpService": true, "httpPort": 8080},
      {"name": "quiet", "address": "10.0.0.5", "services": ["mdns"], "enabled": false, "tlsService": false}],
      "swarm": {"count": 2, "first": "10.1.0.1", "camera": {"services": ["mdns"]}}})", config, error)) << error;
    ASSERT_EQ(config.cameras.size(), 7u);
    EXPECT_EQ(config.stateDir, "/tmp/x");
    const Camera &open = config.cameras[0], &locked = config.cameras[1], &gev = config.cameras[2],
                 &asked = config.cameras[3], &quiet = config.cameras[4], &swarm = config.cameras[5];
    EXPECT_TRUE(open.WantsResource() && open.WantsHttp());
    EXPECT_FALSE(open.WantsTls());
    EXPECT_TRUE(locked.WantsResource() && locked.WantsHttp() && locked.WantsTls());
    EXPECT_FALSE(gev.WantsResource() || gev.WantsHttp() || gev.WantsTls());
    EXPECT_TRUE(asked.WantsHttp());
    EXPECT_EQ(asked.httpPort, 8080);
    EXPECT_FALSE(asked.WantsResource());
    EXPECT_FALSE(quiet.WantsTls());
    EXPECT_FALSE(swarm.WantsResource() || swarm.WantsHttp() || swarm.WantsTls());

    Config bad;
    EXPECT_FALSE(ParseConfig(R"({"cameras": [{"address": "10.0.0.1", "httpService": "yes"}]})", bad, error));
    // A port beyond 16 bits is refused, not cut to 16 bits.
    EXPECT_FALSE(ParseConfig(R"({"cameras": [{"address": "10.0.0.1", "tlsPort": 70000}]})", bad, error));
    EXPECT_FALSE(ParseConfig(R"({"cameras": [{"address": "10.0.0.1", "port": 87672}]})", bad, error));
    EXPECT_FALSE(ParseConfig(R"({"cameras": [{"address": "10.0.0.1", "dhcpWaitMs": -1}]})", bad, error));
}
