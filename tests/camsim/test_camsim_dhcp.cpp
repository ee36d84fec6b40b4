// The cameras' DHCP client without a network: the messages it builds, what it
// makes of a server's replies, and the bounded wait with its fallback.
#include "tools/camsim/dhcp.h"

#include "halvex/bigendian.h"

#include <gtest/gtest.h>

using namespace camsim;
using ZYRK::be_get16;
using ZYRK::be_get32;
using ZYRK::be_put32;

namespace {

const std::array<uint8_t, 6> kMac{0x02, 0x00, 0x00, 0x00, 0x0a, 0x01};

Camera MakeCamera(const std::array<uint8_t, 6>& mac = kMac) {
    Camera c;
    c.userName = "ctl";
    c.hostName = "ctl";
    c.mac = mac;
    c.address = 0xA9FE0B01;
    c.mask = 0xFFFF0000;
    return c;
}

uint8_t TypeOf(const std::vector<uint8_t>& m) { return m.size() > 242 ? m[242] : 0; }
uint32_t Xid(const std::vector<uint8_t>& m) { return be_get32(&m[4]); }

// The value of option `code` of a client message, or empty.
std::vector<uint8_t> OptionOf(const std::vector<uint8_t>& m, uint8_t code) {
    for (size_t i = 240; i + 1 < m.size() && m[i] != 255;) {
        if (m[i] == 0) { ++i; continue; }
        size_t len = m[i + 1];
        if (m[i] == code) return {m.begin() + static_cast<long>(i) + 2, m.begin() + static_cast<long>(i + 2 + len)};
        i += 2 + len;
    }
    return {};
}

// A server's reply as dnsmasq sends it.
struct ReplyOpts {
    uint8_t type = dhcp::kOffer;
    uint32_t yiaddr = 0xC0A80A64;  // 192.168.10.100
    uint32_t server = 0xC0A80A02;
    bool mask = true, router = true;
};
std::vector<uint8_t> ServerReply(uint32_t xid, const std::array<uint8_t, 6>& mac, ReplyOpts o = {}) {
    std::vector<uint8_t> m(236, 0);
    m[0] = 2; m[1] = 1; m[2] = 6;
    be_put32(&m[4], xid);
    be_put32(&m[16], o.yiaddr);
    std::copy(mac.begin(), mac.end(), m.begin() + 28);
    ZYRK::CBigEndianWriter w(m);
    w.U32(0x63825363);
    w.U8(53).U8(1).U8(o.type);
    w.U8(54).U8(4).U32(o.server);
    w.U8(51).U8(4).U32(3600);
    if (o.mask) w.U8(1).U8(4).U32(0xFFFFFF00);
    if (o.router) w.U8(3).U8(8).U32(0xC0A80AFE).U32(0xC0A80AFD);
    w.U8(255);
    return m;
}

struct Step {
    std::vector<DhcpClients::Send> out;
    std::vector<DhcpClients::Done> done;
    std::string summary;
};

}  // namespace

TEST(CamsimDhcp, DiscoverAndRequestCarryTheCamerasMacAndAskForBroadcast) {
    auto d = dhcp::BuildDiscover(0x01020304, kMac, "ctl");
    ASSERT_GE(d.size(), 300u);
    EXPECT_EQ(d[0], 1);                    // BOOTREQUEST
    EXPECT_EQ(Xid(d), 0x01020304u);
    EXPECT_EQ(be_get16(&d[10]), 0x8000);      // broadcast flag
    EXPECT_EQ(be_get32(&d[12]), 0u);          // ciaddr
    EXPECT_TRUE(std::equal(kMac.begin(), kMac.end(), d.begin() + 28));
    EXPECT_EQ(be_get32(&d[236]), 0x63825363u);
    EXPECT_EQ(TypeOf(d), dhcp::kDiscover);
    auto id = OptionOf(d, 61);
    ASSERT_EQ(id.size(), 7u);
    EXPECT_EQ(id[0], 1);
    EXPECT_TRUE(std::equal(kMac.begin(), kMac.end(), id.begin() + 1));
    auto host = OptionOf(d, 12);
    EXPECT_EQ(std::string(host.begin(), host.end()), "ctl");

    auto r = dhcp::BuildRequest(7, kMac, "", 0xC0A80A64, 0xC0A80A02);
    EXPECT_EQ(TypeOf(r), dhcp::kRequest);
    EXPECT_EQ(be_get32(OptionOf(r, 50).data()), 0xC0A80A64u);
    EXPECT_EQ(be_get32(OptionOf(r, 54).data()), 0xC0A80A02u);
    EXPECT_TRUE(OptionOf(r, 12).empty());  // no host name, no option
}

TEST(CamsimDhcp, ParseReadsTheRepliesFieldsAndRefusesBrokenOnes) {
    dhcp::Message m;
    ASSERT_TRUE(dhcp::Parse(ServerReply(9, kMac), m));
    EXPECT_EQ(m.type, dhcp::kOffer);
    EXPECT_EQ(m.xid, 9u);
    EXPECT_EQ(m.mac, kMac);
    EXPECT_EQ(m.yiaddr, 0xC0A80A64u);
    EXPECT_EQ(m.serverId, 0xC0A80A02u);
    EXPECT_EQ(m.mask, 0xFFFFFF00u);
    EXPECT_EQ(m.router, 0xC0A80AFEu);      // the first router
    EXPECT_EQ(m.leaseSeconds, 3600u);

    auto good = ServerReply(9, kMac);
    auto request = dhcp::BuildDiscover(9, kMac, "x");
    EXPECT_FALSE(dhcp::Parse(request, m)) << "a client's own message is no reply";
    auto truncated = good;
    truncated.resize(truncated.size() - 6);  // the router option runs past the end
    EXPECT_FALSE(dhcp::Parse(truncated, m));
    auto noCookie = good;
    noCookie[236] = 0;
    EXPECT_FALSE(dhcp::Parse(noCookie, m));
    EXPECT_FALSE(dhcp::Parse(std::vector<uint8_t>(good.begin(), good.begin() + 239), m));
    auto noType = ServerReply(9, kMac);
    noType[242] = 0;                      // message type 0
    EXPECT_FALSE(dhcp::Parse(noType, m));
}

TEST(CamsimDhcp, OfferAndAckGiveTheLeaseOfTheRightCamera) {
    Cameras cams{MakeCamera(), MakeCamera({0x02, 0, 0, 0, 0x0a, 0x02})};
    cams[1].userName = "two";
    DhcpClients clients;
    auto t0 = Clock::time_point{} + std::chrono::hours(1);
    Step a, b;
    clients.Begin(cams[0], 0, AddressChange{0, cams[0].address, cams[0].mask, 0, true}, 3000, t0, a.out);
    clients.Begin(cams[1], 1, AddressChange{1, cams[1].address, cams[1].mask, 0, true}, 3000, t0, b.out);
    ASSERT_EQ(a.out.size(), 1u);
    ASSERT_EQ(b.out.size(), 1u);
    uint32_t xa = Xid(a.out[0].data), xb = Xid(b.out[0].data);
    EXPECT_NE(xa, xb);

    // An offer with the second camera's xid but the first camera's MAC belongs to nobody.
    Step r;
    clients.Receive(ServerReply(xb, kMac), cams, t0, r.out, r.done, r.summary);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.summary.find("ignored"), std::string::npos);

    clients.Receive(ServerReply(xa, kMac), cams, t0, r.out, r.done, r.summary);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_EQ(r.out[0].camera, 0u);
    EXPECT_EQ(TypeOf(r.out[0].data), dhcp::kRequest);
    EXPECT_EQ(be_get32(OptionOf(r.out[0].data, 50).data()), 0xC0A80A64u);
    // A second offer (another server) while requesting changes nothing.
    Step r2;
    clients.Receive(ServerReply(xa, kMac, {dhcp::kAck, 0xC0A80A70, 0xC0A80A03}), cams, t0, r2.out, r2.done, r2.summary);
    EXPECT_TRUE(r2.done.empty()) << r2.summary;

    ReplyOpts ack;
    ack.type = dhcp::kAck;
    clients.Receive(ServerReply(xa, kMac, ack), cams, t0, r.out, r.done, r.summary);
    ASSERT_EQ(r.done.size(), 1u);
    EXPECT_TRUE(r.done[0].obtained);
    EXPECT_EQ(r.done[0].change.camera, 0u);
    EXPECT_EQ(r.done[0].change.address, 0xC0A80A64u);
    EXPECT_EQ(r.done[0].change.mask, 0xFFFFFF00u);
    EXPECT_EQ(r.done[0].change.gateway, 0xC0A80AFEu);
    EXPECT_TRUE(r.done[0].change.dhcp);
    EXPECT_FALSE(clients.Active(0));
    EXPECT_TRUE(clients.Active(1));
}

TEST(CamsimDhcp, NakStartsOverAndSilenceEndsWithTheFallback) {
    Cameras cams{MakeCamera()};
    DhcpClients clients;
    auto t0 = Clock::time_point{} + std::chrono::hours(1);
    Step r;
    AddressChange fallback{0, 0xA9FE0B01, 0xFFFF0000, 0, true};
    clients.Begin(cams[0], 0, fallback, 3000, t0, r.out);
    uint32_t xid = Xid(r.out[0].data);
    clients.Receive(ServerReply(xid, kMac), cams, t0, r.out, r.done, r.summary);
    ASSERT_EQ(TypeOf(r.out.back().data), dhcp::kRequest);
    ReplyOpts nak;
    nak.type = dhcp::kNak;
    nak.mask = nak.router = false;
    clients.Receive(ServerReply(xid, kMac, nak), cams, t0, r.out, r.done, r.summary);
    ASSERT_EQ(TypeOf(r.out.back().data), dhcp::kDiscover);
    EXPECT_TRUE(r.done.empty());

    // Without answers: resent once a second, then the wait ends.
    Clock::time_point when;
    ASSERT_TRUE(clients.Next(when));
    EXPECT_LE(when, t0 + std::chrono::milliseconds(1000));
    size_t sent = r.out.size();
    clients.Tick(cams, t0 + std::chrono::milliseconds(1100), r.out, r.done);
    EXPECT_EQ(r.out.size(), sent + 1);
    EXPECT_TRUE(r.done.empty());
    clients.Tick(cams, t0 + std::chrono::milliseconds(3000), r.out, r.done);
    ASSERT_EQ(r.done.size(), 1u);
    EXPECT_FALSE(r.done[0].obtained);
    EXPECT_EQ(r.done[0].change.address, fallback.address);
    EXPECT_FALSE(clients.Next(when));
    // A late ACK finds no exchange.
    Step late;
    ReplyOpts ack;
    ack.type = dhcp::kAck;
    clients.Receive(ServerReply(xid, kMac, ack), cams, t0, late.out, late.done, late.summary);
    EXPECT_TRUE(late.done.empty());
}

TEST(CamsimDhcp, UnusableOffersAndMasksAreNotTaken) {
    Cameras cams{MakeCamera()};
    DhcpClients clients;
    auto t0 = Clock::time_point{} + std::chrono::hours(1);
    Step r;
    clients.Begin(cams[0], 0, AddressChange{0, 1, 0xFFFF0000, 0, true}, 3000, t0, r.out);
    uint32_t xid = Xid(r.out[0].data);
    for (uint32_t bad : {0u, 0xFFFFFFFFu, 0xE00000FBu, 0x7F000001u}) {
        ReplyOpts o;
        o.yiaddr = bad;
        clients.Receive(ServerReply(xid, kMac, o), cams, t0, r.out, r.done, r.summary);
        EXPECT_EQ(r.out.size(), 1u) << "offer of " << FormatAddress(bad) << " was taken";
    }
    // An ACK without a mask option: the mask of the offer; without either, /24.
    ReplyOpts o;
    o.mask = false;
    clients.Receive(ServerReply(xid, kMac, o), cams, t0, r.out, r.done, r.summary);
    ASSERT_EQ(r.out.size(), 2u);
    ReplyOpts ack;
    ack.type = dhcp::kAck;
    ack.mask = false;
    clients.Receive(ServerReply(xid, kMac, ack), cams, t0, r.out, r.done, r.summary);
    ASSERT_EQ(r.done.size(), 1u);
    EXPECT_EQ(r.done[0].change.mask, 0xFFFFFF00u);
}
