// GigE Vision control: command bytes, acknowledge checks, register writes
// against a fake camera on loopback, the forced address and the change route.
#include "discovery/gev_control.h"
#include "discovery/gev_modify.h"
#include "loopback_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Ack(uint16_t status, uint16_t answer, uint16_t length, size_t payload) {
    Bytes b = {uint8_t(status >> 8), uint8_t(status), uint8_t(answer >> 8), uint8_t(answer),
               uint8_t(length >> 8), uint8_t(length), 0x10, 0x01};
    b.resize(8 + payload, 0);
    return b;
}

// A control aimed at a fake camera on 127.0.0.1, from a free local port.
CGEVControl ControlFor(const FakeCamera& camera) {
    CGEVControl c;
    c.localPort = FreeLoopbackPort();
    c.cameraPort = camera.Port();
    return c;
}

uint32_t Reg(const Bytes& cmd) { return uint32_t(cmd[8]) << 24 | cmd[9] << 16 | cmd[10] << 8 | cmd[11]; }
uint32_t Val(const Bytes& cmd) { return uint32_t(cmd[12]) << 24 | cmd[13] << 16 | cmd[14] << 8 | cmd[15]; }

}  // namespace

TEST(GEVCommands, WriteRegBytes) {
    EXPECT_EQ(BuildWriteRegCmd(0x1001, 0x0A00, 2),
              (Bytes{0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x10, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_EQ(BuildWriteRegCmd(0xFFFF, 0x064C, 0xC0A80114),
              (Bytes{0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0xFF, 0xFF, 0x00, 0x00, 0x06, 0x4C, 0xC0, 0xA8, 0x01, 0x14}));
}

TEST(GEVCommands, ForceIPBytes) {
    const uint8_t mac[8] = {0x00, 0x00, 0x00, 0x11, 0x1C, 0xAB, 0xCD, 0xEF};
    Bytes b = BuildForceIPCmd(0x1001, mac, 0xC0A80132, 0xFFFFFF00, 0xC0A80101);
    ASSERT_EQ(b.size(), 64u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16),
              (Bytes{0x42, 0x00, 0x00, 0x04, 0x00, 0x38, 0x10, 0x01, 0x00, 0x00, 0x00, 0x11, 0x1C, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(Bytes(b.begin() + 28, b.begin() + 32), (Bytes{0xC0, 0xA8, 0x01, 0x32}));
    EXPECT_EQ(Bytes(b.begin() + 44, b.begin() + 48), (Bytes{0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_EQ(Bytes(b.begin() + 60, b.begin() + 64), (Bytes{0xC0, 0xA8, 0x01, 0x01}));
    for (size_t i : {16, 27, 32, 43, 48, 59}) EXPECT_EQ(b[i], 0) << i;
}

TEST(GEVCommands, WriteRegAckChecks) {
    EXPECT_TRUE(ParseWriteRegAck(Ack(0, 0x0083, 4, 4).data(), 12));
    EXPECT_TRUE(ParseWriteRegAck(Ack(0, 0x0083, 0, 0).data(), 8));
    EXPECT_FALSE(ParseWriteRegAck(Ack(0x8006, 0x0083, 4, 4).data(), 12));  // access denied
    EXPECT_FALSE(ParseWriteRegAck(Ack(0, 0x0081, 4, 4).data(), 12));       // READREG_ACK
    EXPECT_FALSE(ParseWriteRegAck(Ack(0, 0x0083, 4, 2).data(), 10));       // payload cut short
    EXPECT_FALSE(ParseWriteRegAck(Ack(0, 0x0083, 0xFFFF, 4).data(), 12));
    EXPECT_FALSE(ParseWriteRegAck(Ack(0, 0x0083, 0, 0).data(), 7));
    EXPECT_FALSE(ParseWriteRegAck(nullptr, 0));
}

TEST(GEVControlLoopback, WritesAreAcknowledgedAndReqIdsCount) {
    FakeCamera camera([](const Bytes& cmd) { return std::vector<Bytes>{Ack(0, 0x0083, 4, 4)}; (void)cmd; });
    CGEVControl c = ControlFor(camera);
    EXPECT_EQ(c.RequestId(), 0x1000);
    EXPECT_TRUE(c.SetControlChannelPrivilege(2, "127.0.0.1"));
    EXPECT_TRUE(c.ResetCamera("127.0.0.1"));
    auto got = camera.Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], BuildWriteRegCmd(4097, 0x0A00, 2));
    EXPECT_EQ(got[1], BuildWriteRegCmd(4098, 0xD340, 1));
    EXPECT_EQ(c.RequestId(), 4098);
}

TEST(GEVControlLoopback, RefusalsAndSilenceFail) {
    std::vector<Bytes> replies = {Ack(0x8006, 0x0083, 4, 4), Ack(0, 0x0081, 4, 4), Ack(0, 0x0083, 8, 4)};
    size_t next = 0;
    FakeCamera camera([&](const Bytes&) {
        return next < replies.size() ? std::vector<Bytes>{replies[next++]} : std::vector<Bytes>{};
    });
    CGEVControl c = ControlFor(camera);
    EXPECT_FALSE(c.SetControlChannelPrivilege(2, "127.0.0.1"));
    EXPECT_FALSE(c.SetAddressConfiguration(5, "127.0.0.1"));
    EXPECT_FALSE(c.SetPersistentIPAddress(0x0A000001, "127.0.0.1"));
    EXPECT_FALSE(c.SetPersistentSubnetMask(0xFF000000, "127.0.0.1"));  // no answer within the second
    EXPECT_EQ(camera.Received().size(), 4u);                           // one datagram each, no retry
    EXPECT_EQ(c.RequestId(), 4100);
}

TEST(GEVControlLoopback, TakenLocalPortFailsCleanly) {
    FakeCamera camera([](const Bytes&) { return std::vector<Bytes>{Ack(0, 0x0083, 4, 4)}; });
    CUdpSocket holder;
    ASSERT_TRUE(holder.Open());
    ASSERT_TRUE(holder.Bind(0u, 0));
    CGEVControl c;
    c.cameraPort = camera.Port();
    c.localPort = holder.LocalPort();
    EXPECT_FALSE(c.SetControlChannelPrivilege(2, "127.0.0.1"));
    EXPECT_FALSE(c.SetPersistentGateway(0, "127.0.0.1"));
    EXPECT_TRUE(camera.Received().empty());
    EXPECT_FALSE(c.WriteRegister(0x0A00, 2, "no address"));
}

TEST(GEVControlLoopback, ForceIPNeedsTheMacField) {
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter()});
    FakeCamera camera([](const Bytes&) { return std::vector<Bytes>{}; });
    CGEVControl c = ControlFor(camera);
    c.forceIPDestination = "127.0.0.1";
    EXPECT_FALSE(c.ForceIP({}, 0x0A000002, 0xFF000000, 0, "127.0.0.1"));
    EXPECT_FALSE(c.ForceIP(Bytes(6, 0xAA), 0x0A000002, 0xFF000000, 0, "127.0.0.1"));
    EXPECT_EQ(c.RequestId(), 0x1000);

    const Bytes mac = {0, 0, 1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(c.ForceIP(mac, 0x0A000002, 0xFF000000, 0x0A000001, "127.0.0.1"));
    for (int i = 0; i < 100 && camera.Received().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto got = camera.Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], BuildForceIPCmd(4097, mac.data(), 0x0A000002, 0xFF000000, 0x0A000001));
    // An adapter address that is not this machine's: the bind fails, nothing is sent.
    EXPECT_FALSE(c.ForceIP(mac, 0x0A000002, 0xFF000000, 0, "192.0.2.1"));
}

namespace {

class GEVRoute : public ::testing::Test {
protected:
    void AddCamera(bool reachable) {
        DeviceInfo i;
        i.name = "ZYRK K2X0";
        i.hostName = "GigE0";
        i.ipAddress = reachable ? "127.0.0.1" : "10.0.0.7";
        i.adapterIndex = 1;
        i.interfaceName = GetInterfaceName(1);
        i.macBytes = {0, 0, 1, 2, 3, 4, 5, 6};
        i.macAddress = "01:02:03:04:05:06";
        i.txt["bsp"] = "HV";
        i.subnetMask = 0xFF000000;
        i.gateway = 0x7F000001;
        i.dhcp = true;
        list.AddOrUpdateDevice(i);
        sink.Take();
    }
    GEVStatusCallback Recorder() {
        return [this](const std::string& t, bool now) { statuses.push_back((now ? "show:" : "set:") + t); };
    }
    ScopedAdapterTable table{AdapterTable{MakeAdapter(1, "127.0.0.1", "255.255.255.0", "127.0.0.254", "lo")}};
    RecordingSink sink;
    CDeviceList list{&sink};
    std::vector<std::string> statuses;
};

}  // namespace

TEST_F(GEVRoute, DialogPresets) {
    AddCamera(true);
    auto p = PrepareGEVDialog(list.Snapshot()[0]);
    EXPECT_EQ(p.cameraName, "ZYRK K2X0");
    EXPECT_EQ(p.address, 0x7F000001u);
    EXPECT_EQ(p.netmask, 0xFF000000u);
    EXPECT_EQ(p.gatewayAddress, 0x7F000001u);
    EXPECT_TRUE(p.obtainAutomatically);
    EXPECT_TRUE(p.automaticAllowed);
    EXPECT_TRUE(p.settingsKnown);

    AddCamera(false);
    p = PrepareGEVDialog(list.Snapshot()[1]);
    EXPECT_EQ(p.address, 0x7F000001u);  // the adapter's network is offered
    EXPECT_EQ(p.netmask, 0xFFFFFF00u);
    EXPECT_EQ(p.gatewayAddress, 0x7F0000FEu);
    EXPECT_FALSE(p.obtainAutomatically);
    EXPECT_FALSE(p.automaticAllowed);
}

TEST_F(GEVRoute, GrantedPrivilegeWritesTheRegistersInOrder) {
    AddCamera(true);
    list.WithDevice(0, [](CDevice& d) { d.ipChangePending = true; });
    FakeCamera camera([](const Bytes&) { return std::vector<Bytes>{Ack(0, 0x0083, 4, 4)}; });
    CGEVControl c = ControlFor(camera);
    GEVSettings s{false, 0x7F000009, 0xFFFFFF00, 0x7F000001};
    auto r = ModifyViaGigEVision(list, 0, s, Recorder(), &c);
    EXPECT_TRUE(r.cameraFound);
    EXPECT_TRUE(r.privilegeGranted);
    EXPECT_TRUE(r.writesAcknowledged);
    EXPECT_FALSE(r.rescan);
    auto got = camera.Received();
    ASSERT_EQ(got.size(), 6u);
    const std::pair<uint32_t, uint32_t> expected[] = {{0x0A00, 2},          {0x0014, 5},          {0x064C, 0x7F000009},
                                                      {0x065C, 0xFFFFFF00}, {0x066C, 0x7F000001}, {0xD340, 1}};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(Reg(got[i]), expected[i].first) << i;
        EXPECT_EQ(Val(got[i]), expected[i].second) << i;
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"show:Connecting to camera...", "show:Reset camera", "set:"}));
    EXPECT_FALSE(list.Snapshot()[0].ipChangePending);
    EXPECT_EQ(list.Snapshot()[0].ipAddress, "127.0.0.1");
}

TEST_F(GEVRoute, DhcpWritesNoAddressRegisters) {
    AddCamera(true);
    FakeCamera camera([](const Bytes& cmd) {
        // The camera refuses the reset: the route still ends normally, reporting it.
        bool reset = cmd.size() == 16 && cmd[10] == 0xD3;
        return std::vector<Bytes>{Ack(reset ? 0x8006 : 0, 0x0083, 4, 4)};
    });
    CGEVControl c = ControlFor(camera);
    auto r = ModifyViaGigEVision(list, 0, GEVSettings{true, 0, 0, 0}, Recorder(), &c);
    EXPECT_TRUE(r.privilegeGranted);
    EXPECT_FALSE(r.writesAcknowledged);
    auto got = camera.Received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(Reg(got[1]), 0x0014u);
    EXPECT_EQ(Val(got[1]), 6u);
    EXPECT_EQ(Reg(got[2]), 0xD340u);
    EXPECT_EQ(statuses.back(), "show:IP change failed: the camera did not acknowledge the reset");
}

TEST_F(GEVRoute, ARefusedWriteEndsTheChangeWithAFailureAndNoReset) {
    AddCamera(true);
    list.WithDevice(0, [](CDevice& d) { d.ipChangePending = true; });
    // The camera grants control, then refuses the subnet mask.
    FakeCamera camera([](const Bytes& cmd) {
        const bool mask = cmd.size() == 16 && cmd[10] == 0x06 && cmd[11] == 0x5C;
        return std::vector<Bytes>{Ack(mask ? 0x8006 : 0, 0x0083, 4, 4)};
    });
    CGEVControl c = ControlFor(camera);
    auto r = ModifyViaGigEVision(list, 0, GEVSettings{false, 0x7F000009, 0xFFFFFF00, 0x7F000001}, Recorder(), &c);
    EXPECT_TRUE(r.privilegeGranted);
    EXPECT_FALSE(r.writesAcknowledged);
    EXPECT_FALSE(r.rescan);
    EXPECT_EQ(r.failure, "IP change failed: the camera did not acknowledge the subnet mask");
    // Privilege, mode, address, mask: the gateway and the reset never went out.
    auto got = camera.Received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(Reg(got[3]), 0x065Cu);
    EXPECT_EQ(statuses, (std::vector<std::string>{"show:Connecting to camera...",
                                                  "show:IP change failed: the camera did not acknowledge the subnet mask"}));
    EXPECT_FALSE(list.Snapshot()[0].ipChangePending);
    EXPECT_EQ(list.Snapshot()[0].ipAddress, "127.0.0.1");
}

TEST_F(GEVRoute, RefusedPrivilegeForcesTheAddress) {
    AddCamera(true);
    FakeCamera camera([](const Bytes& cmd) {
        return cmd.size() == 16 ? std::vector<Bytes>{Ack(0x8006, 0x0083, 4, 4)} : std::vector<Bytes>{};
    });
    CGEVControl c = ControlFor(camera);
    c.forceIPDestination = "127.0.0.1";
    auto r = ModifyViaGigEVision(list, 0, GEVSettings{false, 0x7F000032, 0xFFFFFF00, 0x7F000001}, Recorder(), &c);
    EXPECT_FALSE(r.privilegeGranted);
    EXPECT_TRUE(r.forceIPSent);
    EXPECT_TRUE(r.rescan);
    EXPECT_EQ(statuses, (std::vector<std::string>{"show:Connecting to camera...", "show:Force IP on camera...", "set:"}));
    auto rec = list.Snapshot()[0];
    EXPECT_TRUE(rec.ipChangePending);
    EXPECT_EQ(rec.ipAddress, "127.0.0.50");
    EXPECT_EQ(sink.Take(), (std::vector<std::string>{"text 0 1 "}));
    for (int i = 0; i < 100 && camera.Received().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto got = camera.Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], BuildForceIPCmd(4098, rec.macBytes.data(), 0x7F000032, 0xFFFFFF00, 0x7F000001));

    // The next answer from the new address shows the pending image.
    DeviceInfo again;
    again.name = "ZYRK K2X0";
    again.hostName = "GigE0";
    again.ipAddress = "127.0.0.50";
    again.adapterIndex = 1;
    list.AddOrUpdateDevice(again);
    EXPECT_THAT(sink.Take(), ::testing::Contains("image 0 0 4"));
}

TEST_F(GEVRoute, MissingRowDoesNothing) {
    auto r = ModifyViaGigEVision(list, 3, GEVSettings{}, Recorder(), nullptr);
    EXPECT_FALSE(r.cameraFound);
    EXPECT_TRUE(statuses.empty());
}
