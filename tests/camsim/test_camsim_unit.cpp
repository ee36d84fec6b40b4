// camsim's services without a network: what each datagram makes the emulated
// cameras answer and change.
#include "tools/camsim/announce.h"
#include "tools/camsim/config.h"
#include "tools/camsim/gvcp.h"
#include "tools/camsim/ipchange.h"
#include "tools/camsim/mdns.h"

#include "halvex/bigendian.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace camsim;
using ZYRK::be_get16;
using ZYRK::be_get32;
using ZYRK::CBigEndianWriter;

namespace {

Camera MakeCamera() {
    Camera c;
    c.userName = "Cam1";
    c.hostName = "cam1";
    c.info = "KSRV-1234";
    c.modelName = "Thermal 640";
    c.serial = "SN42";
    c.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    c.address = 0xC0A80A32;  // 192.168.10.50
    c.mask = 0xFFFFFF00;
    c.gateway = 0xC0A80A01;
    c.persistentAddress = c.address;
    c.persistentMask = c.mask;
    c.persistentGateway = c.gateway;
    c.gvcp = c.mdns = c.announce = c.ipchange = true;
    return c;
}

Datagram From(uint32_t src, uint16_t port, uint32_t dst, std::vector<uint8_t> data) {
    Datagram d;
    d.src = src;
    d.srcPort = port;
    d.dst = dst;
    d.data = std::move(data);
    return d;
}

std::vector<uint8_t> Cmd(uint8_t flags, uint16_t command, std::vector<uint8_t> payload, uint16_t req = 0x1001) {
    std::vector<uint8_t> d{0x42, flags};
    CBigEndianWriter(d).U16(command).U16(static_cast<uint16_t>(payload.size())).U16(req);
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

std::vector<uint8_t> Write(uint32_t reg, uint32_t value, uint16_t req = 0x1001) {
    std::vector<uint8_t> p;
    CBigEndianWriter(p).U32(reg).U32(value);
    return Cmd(0x01, gvcp::kWriteRegCmd, p, req);
}

uint16_t AckStatus(const Outcome& o) { return o.replies.empty() ? 0xFFFF : be_get16(o.replies[0].data.data()); }

const uint32_t kPc = 0xC0A80A01;  // 192.168.10.1

}  // namespace

TEST(CamsimGvcp, DiscoveryAckCarriesTheBootstrapFieldsAtTheirOffsets) {
    Camera c = MakeCamera();
    c.info = std::string(60, 'K');  // longer than the 48-byte field
    c.dhcp = true;
    auto ack = BuildDiscoveryAck(c, 0x5FFF);
    ASSERT_EQ(ack.size(), 256u);
    EXPECT_EQ(be_get16(&ack[0]), 0);
    EXPECT_EQ(be_get16(&ack[2]), 0x0003);
    EXPECT_EQ(be_get16(&ack[4]), 248);
    EXPECT_EQ(be_get16(&ack[6]), 0x5FFF);
    EXPECT_EQ(ack[16], 0);
    EXPECT_EQ(ack[17], 0);
    EXPECT_EQ(std::vector<uint8_t>(ack.begin() + 18, ack.begin() + 24), std::vector<uint8_t>(c.mac.begin(), c.mac.end()));
    EXPECT_EQ(be_get32(&ack[28]) & 2u, 2u);
    EXPECT_EQ(be_get32(&ack[44]), c.address);
    EXPECT_EQ(be_get32(&ack[60]), c.mask);
    EXPECT_EQ(be_get32(&ack[76]), c.gateway);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ack[80])), "ZYRK");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ack[112])), "Thermal 640");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ack[176]), 48), std::string(48, 'K'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ack[224])), "SN42");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ack[240])), "Cam1");
    c.dhcp = false;
    EXPECT_EQ(be_get32(&BuildDiscoveryAck(c, 1)[28]) & 2u, 0u);
}

TEST(CamsimGvcp, DiscoveryAnswersUnicastOrBroadcastAsTheFlagsAndSubnetSay) {
    Cameras cams{MakeCamera()};
    cams[0].answerDelayMs = 70;
    auto now = Clock::now();
    Outcome same = HandleGvcp(cams, From(kPc, 40000, 0xFFFFFFFF, Cmd(0x11, 2, {}, 0x5FFF)), now);
    ASSERT_EQ(same.replies.size(), 1u);
    EXPECT_EQ(same.replies[0].to, kPc);
    EXPECT_EQ(same.replies[0].toPort, 40000);
    EXPECT_EQ(same.replies[0].delayMs, 70);
    Outcome foreign = HandleGvcp(cams, From(0x0A000001, 40000, 0xFFFFFFFF, Cmd(0x11, 2, {})), now);
    ASSERT_EQ(foreign.replies.size(), 1u);
    EXPECT_EQ(foreign.replies[0].to, 0xFFFFFFFFu);
    Outcome noFlag = HandleGvcp(cams, From(0x0A000001, 40000, 0xFFFFFFFF, Cmd(0x01, 2, {})), now);
    ASSERT_EQ(noFlag.replies.size(), 1u);
    EXPECT_EQ(noFlag.replies[0].to, 0x0A000001u);
    cams[0].gvcp = false;
    EXPECT_TRUE(HandleGvcp(cams, From(kPc, 40000, 0xFFFFFFFF, Cmd(0x11, 2, {})), now).replies.empty());
}

TEST(CamsimGvcp, RegisterWritesNeedTheGrantedPrivilege) {
    Cameras cams{MakeCamera()};
    auto now = Clock::now();
    uint32_t cam = cams[0].address;
    // Without the privilege the persistent address is not writable.
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegPersistentAddress, 1)), now)),
              gvcp::kStatusAccessDenied);
    Outcome grant = HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegPrivilege, 2, 0x1234)), now);
    ASSERT_EQ(grant.replies.size(), 1u);
    const auto& ack = grant.replies[0].data;
    EXPECT_EQ(be_get16(&ack[0]), 0);
    EXPECT_EQ(be_get16(&ack[2]), gvcp::kWriteRegAck);
    EXPECT_EQ(be_get16(&ack[4]), 4);
    EXPECT_EQ(be_get16(&ack[6]), 0x1234);
    EXPECT_EQ(ack.size(), 12u);
    // Another application is refused while the privilege is held.
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(0xC0A80A02, 54567, cam, Write(gvcp::kRegPrivilege, 2)), now)),
              gvcp::kStatusAccessDenied);
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegNetworkConfig, 5)), now)), 0);
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegPersistentAddress, 0xC0A80A63)), now)), 0);
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegPersistentMask, 0xFFFF0000)), now)), 0);
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegPersistentGateway, 0xC0A80A02)), now)), 0);
    // Unknown and read-only registers are refused with the standard's statuses.
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(0x4444, 1)), now)), gvcp::kStatusInvalidAddress);
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cam, Write(0x0024, 1)), now)), gvcp::kStatusWriteProtect);
    // The reset applies the persistent configuration and ends the control session.
    Outcome reset = HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegReset, 1)), now);
    EXPECT_EQ(AckStatus(reset), 0);
    ASSERT_EQ(reset.changes.size(), 1u);
    EXPECT_EQ(reset.changes[0].address, 0xC0A80A63u);
    EXPECT_EQ(reset.changes[0].mask, 0xFFFF0000u);
    EXPECT_EQ(reset.changes[0].gateway, 0xC0A80A02u);
    EXPECT_FALSE(reset.changes[0].dhcp);
    EXPECT_EQ(cams[0].controller, 0u);
    // The privilege expires with the heartbeat time.
    HandleGvcp(cams, From(kPc, 54567, cam, Write(gvcp::kRegPrivilege, 2)), now);
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(0xC0A80A02, 54567, cam, Write(gvcp::kRegPrivilege, 2)),
                                   now + std::chrono::seconds(10))), 0);
}

TEST(CamsimGvcp, RefusedPrivilegeAndDhcpResetGiveLinkLocal) {
    Cameras cams{MakeCamera()};
    cams[0].grantPrivilege = false;
    auto now = Clock::now();
    EXPECT_EQ(AckStatus(HandleGvcp(cams, From(kPc, 54567, cams[0].address, Write(gvcp::kRegPrivilege, 2)), now)),
              gvcp::kStatusAccessDenied);
    cams[0].grantPrivilege = true;
    HandleGvcp(cams, From(kPc, 54567, cams[0].address, Write(gvcp::kRegPrivilege, 2)), now);
    HandleGvcp(cams, From(kPc, 54567, cams[0].address, Write(gvcp::kRegNetworkConfig, 6)), now);
    Outcome reset = HandleGvcp(cams, From(kPc, 54567, cams[0].address, Write(gvcp::kRegReset, 1)), now);
    ASSERT_EQ(reset.changes.size(), 1u);
    EXPECT_EQ(reset.changes[0].address >> 16, 0xA9FEu);  // 169.254.x.y
    EXPECT_EQ(reset.changes[0].mask, 0xFFFF0000u);
    EXPECT_TRUE(reset.changes[0].dhcp);
}

TEST(CamsimGvcp, ForceIpMovesOnlyTheCameraWithThatMac) {
    Cameras cams{MakeCamera(), MakeCamera()};
    cams[1].mac[5] = 0x66;
    cams[1].address += 1;
    std::vector<uint8_t> p(56, 0);
    std::copy(cams[1].mac.begin(), cams[1].mac.end(), p.begin() + 2);
    ZYRK::be_put32(&p[20], 0x0A000005);
    ZYRK::be_put32(&p[36], 0xFF000000);
    ZYRK::be_put32(&p[52], 0x0A000001);
    Outcome o = HandleGvcp(cams, From(0x0A0000FE, 50000, 0xFFFFFFFF, Cmd(0x00, gvcp::kForceIpCmd, p)), Clock::now());
    ASSERT_EQ(o.changes.size(), 1u);
    EXPECT_EQ(o.changes[0].camera, 1u);
    EXPECT_EQ(o.changes[0].address, 0x0A000005u);
    EXPECT_EQ(o.changes[0].mask, 0xFF000000u);
    EXPECT_EQ(o.changes[0].gateway, 0x0A000001u);
    EXPECT_TRUE(o.replies.empty());  // no acknowledge asked for
    // A FORCEIP whose payload is shorter than its 56 bytes does nothing.
    p.resize(40);
    EXPECT_TRUE(HandleGvcp(cams, From(0x0A0000FE, 50000, 0xFFFFFFFF, Cmd(0x00, gvcp::kForceIpCmd, p)), Clock::now())
                    .changes.empty());
}

TEST(CamsimGvcp, ReadRegisterAndMemoryServeTheDescriptionFile) {
    Cameras cams{MakeCamera()};
    std::vector<uint8_t> p;
    CBigEndianWriter(p).U32(0x0024).U32(0x000C);
    Outcome o = HandleGvcp(cams, From(kPc, 40000, cams[0].address, Cmd(0x01, gvcp::kReadRegCmd, p)), Clock::now());
    ASSERT_EQ(o.replies.size(), 1u);
    ASSERT_EQ(o.replies[0].data.size(), 16u);
    EXPECT_EQ(be_get32(&o.replies[0].data[8]), cams[0].address);
    EXPECT_EQ(be_get32(&o.replies[0].data[12]), 0x22334455u);

    auto url = ReadMemory(cams[0], 0x0200, 64);
    ASSERT_TRUE(url);
    std::string text(url->begin(), url->end());
    text.resize(text.find('\0'));
    const std::string& xml = DeviceDescription();
    char expected[64];
    std::snprintf(expected, sizeof expected, "Local:camsim.xml;%x;%zx", gvcp::kXmlAddress, xml.size());
    EXPECT_EQ(text, expected);
    std::string read;
    for (uint32_t off = 0; off < xml.size(); off += 512) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(512, (xml.size() - off + 3) & ~size_t{3}));
        auto chunk = ReadMemory(cams[0], gvcp::kXmlAddress + off, n);
        ASSERT_TRUE(chunk) << off;
        read.append(chunk->begin(), chunk->end());
    }
    EXPECT_EQ(read.substr(0, xml.size()), xml);
    EXPECT_FALSE(ReadMemory(cams[0], gvcp::kXmlAddress + 0x100000, 4));
    EXPECT_FALSE(ReadMemory(cams[0], 0xFFFFFFF0, 64));
    EXPECT_FALSE(ReadMemory(cams[0], 0, 1000));
}

TEST(CamsimGvcp, MalformedDatagramsNeverCrashAndGetNoAnswer) {
    Cameras cams{MakeCamera()};
    auto now = Clock::now();
    EXPECT_TRUE(HandleGvcp(cams, From(kPc, 1, cams[0].address, {}), now).replies.empty());
    EXPECT_TRUE(HandleGvcp(cams, From(kPc, 1, cams[0].address, {0x42, 1, 0, 2}), now).replies.empty());
    // A length larger than the datagram.
    auto d = Write(gvcp::kRegPrivilege, 2);
    d[5] = 64;
    EXPECT_TRUE(HandleGvcp(cams, From(kPc, 1, cams[0].address, d), now).replies.empty());
    // WRITEREG with a length that is no multiple of 8.
    EXPECT_TRUE(HandleGvcp(cams, From(kPc, 1, cams[0].address, Cmd(1, gvcp::kWriteRegCmd, {0, 0, 0, 0})), now)
                    .replies.empty());
    std::mt19937 rng(7);
    for (int i = 0; i < 5000; ++i) {
        std::vector<uint8_t> junk(rng() % 80);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        if (!junk.empty() && rng() % 2) junk[0] = 0x42;
        HandleGvcp(cams, From(kPc, 1, rng() % 2 ? cams[0].address : 0xFFFFFFFF, junk), now);
        HandleMdns(cams, From(kPc, 5353, kMdnsGroup, junk));
        HandleIpChange(cams, From(kPc, 810, 0xFFFFFFFF, junk));
    }
    // The camera still answers and still has its address afterwards.
    EXPECT_EQ(HandleGvcp(cams, From(kPc, 40000, 0xFFFFFFFF, Cmd(0x11, 2, {})), now).replies.size(), 1u);
}

// --- mDNS ---

namespace {

struct Rr {
    std::string owner;
    uint16_t type, klass;
    uint32_t ttl;
    size_t ownerOffset, rdataOffset;
    std::vector<uint8_t> rdata;
};

// An independent reading of a DNS message: header counts, then every record.
bool ReadAll(const std::vector<uint8_t>& m, std::vector<std::string>& questions, std::vector<Rr>& rrs) {
    if (m.size() < 12) return false;
    size_t off = 12;
    uint16_t qd = be_get16(&m[4]), total = be_get16(&m[6]) + be_get16(&m[8]) + be_get16(&m[10]);
    for (int i = 0; i < qd; ++i) {
        std::string name;
        if (!dns::ReadName(m, off, name)) return false;
        questions.push_back(name);
        off += 4;
    }
    for (int i = 0; i < total; ++i) {
        Rr r;
        r.ownerOffset = off;
        if (!dns::ReadName(m, off, r.owner) || off + 10 > m.size()) return false;
        r.type = be_get16(&m[off]);
        r.klass = be_get16(&m[off + 2]);
        r.ttl = be_get32(&m[off + 4]);
        uint16_t len = be_get16(&m[off + 8]);
        off += 10;
        if (off + len > m.size()) return false;
        r.rdataOffset = off;
        r.rdata.assign(m.begin() + off, m.begin() + off + len);
        off += len;
        rrs.push_back(r);
    }
    return off == m.size();
}

const Rr* Find(const std::vector<Rr>& rrs, uint16_t type) {
    for (const auto& r : rrs)
        if (r.type == type) return &r;
    return nullptr;
}

}  // namespace

TEST(CamsimMdns, AnswersTheProgramsQueryWithCompressedSrvTxtAndA) {
    Camera c = MakeCamera();
    c.bsp = "W6";
    c.modelCode = "L";
    c.enabled = false;
    // The program's own 40-byte query: ANY for the service type, from an ephemeral port.
    std::vector<uint8_t> q{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 11};
    for (char ch : std::string("_zyrk-ircam")) q.push_back(ch);
    q.push_back(4);
    for (char ch : std::string("_tcp")) q.push_back(ch);
    q.push_back(5);
    for (char ch : std::string("local")) q.push_back(ch);
    q.insert(q.end(), {0, 0, 0xFF, 0, 1});
    ASSERT_EQ(q.size(), 40u);
    Outcome o = HandleMdns({c}, From(kPc, 40000, kMdnsGroup, q));
    ASSERT_EQ(o.replies.size(), 1u);
    EXPECT_EQ(o.replies[0].to, kPc);
    EXPECT_EQ(o.replies[0].toPort, 40000);
    const auto& m = o.replies[0].data;
    EXPECT_EQ(be_get16(&m[2]), 0x8400);
    std::vector<std::string> qs;
    std::vector<Rr> rrs;
    ASSERT_TRUE(ReadAll(m, qs, rrs));
    ASSERT_EQ(qs.size(), 1u);  // a legacy query gets its question back
    EXPECT_EQ(qs[0], "_zyrk-ircam._tcp.local");
    const Rr* srv = Find(rrs, dns::kTypeSrv);
    const Rr* txt = Find(rrs, dns::kTypeTxt);
    const Rr* a = Find(rrs, dns::kTypeA);
    ASSERT_TRUE(srv && txt && a && Find(rrs, dns::kTypePtr));
    EXPECT_EQ(srv->owner, "Cam1._zyrk-ircam._tcp.local");
    EXPECT_EQ(srv->ttl, 10u);
    // Owners of SRV and A are compression pointers: to the instance label and to the SRV target.
    EXPECT_EQ(m[srv->ownerOffset] & 0xC0, 0xC0);
    size_t target = ((m[srv->ownerOffset] & 0x3F) << 8) | m[srv->ownerOffset + 1];
    EXPECT_EQ(std::string(m.begin() + target + 1, m.begin() + target + 1 + m[target]), "Cam1");
    EXPECT_EQ(be_get16(&srv->rdata[4]), 22136);
    size_t hostAt = srv->rdataOffset + 6;
    EXPECT_EQ(m[hostAt], 4);
    EXPECT_EQ(std::string(m.begin() + hostAt + 1, m.begin() + hostAt + 5), "cam1");
    EXPECT_EQ(m[a->ownerOffset] & 0xC0, 0xC0);
    EXPECT_EQ((((m[a->ownerOffset] & 0x3F) << 8) | m[a->ownerOffset + 1]), static_cast<int>(hostAt));
    EXPECT_EQ(a->owner, "cam1.local");
    EXPECT_EQ(be_get32(a->rdata.data()), c.address);
    std::string t(txt->rdata.begin(), txt->rdata.end());
    EXPECT_NE(t.find("\x06" "bsp=W6"), std::string::npos);
    EXPECT_NE(t.find("\x07" "model=L"), std::string::npos);
    EXPECT_NE(t.find("\x0d" "enabled=false"), std::string::npos);
}

TEST(CamsimMdns, MulticastAndQuQuestionsOfBrowsers) {
    Camera c = MakeCamera();
    auto ptrQuery = dns::Writer(0, 0);
    ptrQuery.Question("_zyrk-ircam._tcp.local", dns::kTypePtr);
    auto qm = ptrQuery.Finish();
    Outcome o = HandleMdns({c}, From(kPc, kMdnsPort, kMdnsGroup, qm));
    ASSERT_EQ(o.replies.size(), 1u);
    EXPECT_EQ(o.replies[0].to, kMdnsGroup);
    EXPECT_EQ(o.replies[0].toPort, kMdnsPort);
    std::vector<std::string> qs;
    std::vector<Rr> rrs;
    ASSERT_TRUE(ReadAll(o.replies[0].data, qs, rrs));
    EXPECT_TRUE(qs.empty());
    EXPECT_EQ(be_get16(&o.replies[0].data[0]), 0);
    EXPECT_EQ(be_get16(&o.replies[0].data[6]), 1);  // PTR answers, the rest is additional
    ASSERT_TRUE(Find(rrs, dns::kTypeSrv));
    EXPECT_EQ(Find(rrs, dns::kTypeSrv)->klass, 0x8001);
    EXPECT_EQ(Find(rrs, dns::kTypePtr)->klass, 1);

    // A QU question for the host's A record: unicast to the asker, A record only.
    dns::Writer hostQuery(0, 0);
    hostQuery.Question("CAM1.local", dns::kTypeA);
    auto qu = hostQuery.Finish();
    qu[qu.size() - 2] |= 0x80;
    o = HandleMdns({c}, From(kPc, kMdnsPort, kMdnsGroup, qu));
    ASSERT_EQ(o.replies.size(), 1u);
    EXPECT_EQ(o.replies[0].to, kPc);
    EXPECT_EQ(o.replies[0].toPort, kMdnsPort);
    qs.clear();
    rrs.clear();
    ASSERT_TRUE(ReadAll(o.replies[0].data, qs, rrs));
    ASSERT_EQ(rrs.size(), 1u);
    EXPECT_EQ(rrs[0].type, dns::kTypeA);

    // Questions for other services, responses and disabled responders get no answer.
    dns::Writer other(0, 0);
    other.Question("_http._tcp.local", dns::kTypePtr);
    EXPECT_TRUE(HandleMdns({c}, From(kPc, kMdnsPort, kMdnsGroup, other.Finish())).replies.empty());
    auto response = qm;
    response[2] = 0x84;
    EXPECT_TRUE(HandleMdns({c}, From(kPc, kMdnsPort, kMdnsGroup, response)).replies.empty());
    c.mdns = false;
    EXPECT_TRUE(HandleMdns({c}, From(kPc, kMdnsPort, kMdnsGroup, qm)).replies.empty());
}

TEST(CamsimMdns, NameReadingSurvivesLoopsAndBadPointers) {
    std::vector<uint8_t> m(12, 0);
    m.insert(m.end(), {0xC0, 12});  // points at itself
    size_t off = 12;
    std::string name;
    EXPECT_FALSE(dns::ReadName(m, off, name));
    std::vector<uint8_t> far(12, 0);
    far.insert(far.end(), {0xC1, 0x00});
    off = 12;
    EXPECT_FALSE(dns::ReadName(far, off, name));
    std::vector<uint8_t> cut(12, 0);
    cut.insert(cut.end(), {5, 'a', 'b'});
    off = 12;
    EXPECT_FALSE(dns::ReadName(cut, off, name));
    std::vector<uint8_t> ok(12, 0);
    ok.insert(ok.end(), {3, 'c', 'a', 'm', 0, 1, 'x', 0xC0, 12});
    off = 17;
    ASSERT_TRUE(dns::ReadName(ok, off, name));
    EXPECT_EQ(name, "x.cam");
    EXPECT_EQ(off, ok.size());
}

// --- IP-change message ---

namespace {

std::vector<uint8_t> IpChange(const std::string& host, const std::string& iface, uint32_t dhcp, uint32_t addr,
                              uint32_t mask, uint32_t gw) {
    std::vector<uint8_t> d;
    CBigEndianWriter(d).U16(0x0100).U16(72).U32(0xABCD0123).U32(mask).U32(addr).U32(gw).U32(dhcp);
    d.resize(72, 0);
    std::copy(host.begin(), host.end(), d.begin() + 32);
    std::copy(iface.begin(), iface.end(), d.begin() + 52);
    return d;
}

}  // namespace

TEST(CamsimIpChange, AppliesOnlyMessagesForItsHostAndInterface) {
    Cameras cams{MakeCamera(), MakeCamera()};
    cams[1].hostName = "GigE3";
    cams[1].bsp = "w6";
    Outcome o = HandleIpChange(cams, From(kPc, 810, 0xFFFFFFFF, IpChange("GigE3", "FEC1", 1, 0xC0A80114, 0xFFFFFF00, 0xC0A80101)));
    ASSERT_EQ(o.changes.size(), 1u);
    EXPECT_EQ(o.changes[0].camera, 1u);
    EXPECT_TRUE(o.changes[0].dhcp);
    EXPECT_EQ(o.changes[0].address >> 16, 0xA9FEu);
    // The W6 camera listens for FEC1, the others for LAN90001.
    EXPECT_TRUE(HandleIpChange(cams, From(kPc, 810, 0, IpChange("GigE3", "LAN90001", 0, 0xC0A80114, 0xFFFFFF00, 0))).changes.empty());
    o = HandleIpChange(cams, From(kPc, 810, 0, IpChange("cam1", "LAN90001", 0, 0xC0A80114, 0xFFFFFF00, 0xC0A80101)));
    ASSERT_EQ(o.changes.size(), 1u);
    EXPECT_EQ(o.changes[0].camera, 0u);
    EXPECT_EQ(o.changes[0].address, 0xC0A80114u);
    EXPECT_EQ(o.changes[0].mask, 0xFFFFFF00u);
    EXPECT_EQ(o.changes[0].gateway, 0xC0A80101u);
    EXPECT_FALSE(o.changes[0].dhcp);
    EXPECT_TRUE(HandleIpChange(cams, From(kPc, 810, 0, IpChange("Cam1", "LAN90001", 0, 0xC0A80114, 0xFFFFFF00, 0))).changes.empty());
    // Unusable settings (what an unparsable text becomes on the sender's side) are refused.
    EXPECT_TRUE(HandleIpChange(cams, From(kPc, 810, 0, IpChange("cam1", "LAN90001", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF))).changes.empty());
    EXPECT_TRUE(HandleIpChange(cams, From(kPc, 810, 0, IpChange("cam1", "LAN90001", 0, 0xC0A80114, 0xFF00FF00, 0))).changes.empty());
}

TEST(CamsimIpChange, RejectsWrongSizeVersionAndMagic) {
    IpChangeMessage m;
    auto good = IpChange("cam1", "LAN90001", 0, 1, 0xFFFFFF00, 0);
    EXPECT_TRUE(ParseIpChange(good, m));
    auto shortMsg = good;
    shortMsg.pop_back();
    EXPECT_FALSE(ParseIpChange(shortMsg, m));
    auto longMsg = good;
    longMsg.push_back(0);
    EXPECT_FALSE(ParseIpChange(longMsg, m));
    auto badMagic = good;
    badMagic[7] = 0x24;
    EXPECT_FALSE(ParseIpChange(badMagic, m));
    auto badVersion = good;
    badVersion[0] = 2;
    EXPECT_FALSE(ParseIpChange(badVersion, m));
    // A host name field without its NUL is read to the field's end, not beyond.
    auto full = good;
    std::fill(full.begin() + 32, full.begin() + 52, 'h');
    ASSERT_TRUE(ParseIpChange(full, m));
    EXPECT_EQ(m.hostName, std::string(20, 'h'));
    EXPECT_EQ(m.interfaceName, "LAN90001");
}

// --- configuration and announcements ---

TEST(CamsimConfig, CamerasDefaultsAndSwarm) {
    Config cfg;
    std::string err;
    ASSERT_TRUE(ParseConfig(R"({
      "interface": "eth1",
      "defaults": {"services": ["gvcp"], "info": "K460"},
      "cameras": [{"name": "A", "hostName": "a", "address": "192.168.1.5", "mac": "02:00:00:00:00:0a",
                   "bsp": "W6", "dhcp": false, "enabled": false, "privilege": false, "delayMs": 20}],
      "swarm": {"count": 2000, "first": "10.1.0.10", "mask": "255.255.0.0", "spreadMs": 400,
                "camera": {"services": ["gvcp", "mdns"], "info": "KSRV"}}
    })", cfg, err)) << err;
    EXPECT_EQ(cfg.interfaceName, "eth1");
    ASSERT_EQ(cfg.cameras.size(), 2001u);
    const Camera& a = cfg.cameras[0];
    EXPECT_EQ(a.info, "K460");
    EXPECT_TRUE(a.gvcp);
    EXPECT_FALSE(a.mdns);
    EXPECT_FALSE(a.enabled);
    EXPECT_FALSE(a.grantPrivilege);
    EXPECT_EQ(a.answerDelayMs, 20);
    EXPECT_EQ(a.persistentAddress, a.address);
    EXPECT_EQ(a.ipConfig, 5u);
    EXPECT_EQ(a.IpChangeInterface(), "FEC1");
    std::set<uint32_t> addresses;
    std::set<std::string> macs, hosts;
    for (size_t i = 1; i < cfg.cameras.size(); ++i) {
        const Camera& c = cfg.cameras[i];
        addresses.insert(c.address);
        macs.insert(FormatMac(c.mac));
        hosts.insert(c.hostName);
        EXPECT_TRUE(c.mdns);
        EXPECT_EQ(c.info, "KSRV");
    }
    EXPECT_EQ(addresses.size(), 2000u);
    EXPECT_EQ(macs.size(), 2000u);
    EXPECT_EQ(hosts.size(), 2000u);
    EXPECT_EQ(*addresses.begin(), 0x0A01000Au);
    EXPECT_EQ(*addresses.rbegin(), 0x0A01000Au + 1999);
    EXPECT_EQ(cfg.cameras[1].answerDelayMs, 0);
    EXPECT_EQ(cfg.cameras.back().answerDelayMs, 400);
}

TEST(CamsimConfig, BadConfigurationsAreReported) {
    for (const char* text : {"[]", "{\"cameras\": [{\"address\": \"300.1.1.1\"}]}",
                             "{\"cameras\": [{\"address\": \"1.2.3.4\", \"services\": [\"ftp\"]}]}",
                             "{\"cameras\": [{\"address\": \"1.2.3.4\", \"mac\": \"zz\"}]}",
                             "{\"cameras\": [{\"name\": \"no address\"}]}", "{\"swarm\": {\"count\": -1}}",
                             "{\"cameras\": [{\"address\": \"1.2.3.4\", \"delayMs\": -5}]}", "{not json"}) {
        Config cfg;
        std::string err;
        EXPECT_FALSE(ParseConfig(text, cfg, err)) << text;
        EXPECT_FALSE(err.empty()) << text;
    }
    Config dhcp;
    std::string err;
    EXPECT_TRUE(ParseConfig(R"({"cameras": [{"name": "d", "dhcp": true}]})", dhcp, err)) << err;
}

TEST(CamsimAnnounce, TextAndInterval) {
    Cameras cams{MakeCamera(), MakeCamera()};
    cams[0].announceName = "Cam";
    cams[0].hostName = "One";
    cams[0].announceIntervalMs = 1000;
    cams[1].announce = false;
    EXPECT_EQ(AnnouncementText(cams[0]), "$TOVRA,Cam,One,192.168.10.50");
    auto now = Clock::now();
    cams[0].nextAnnouncement = now;
    auto due = DueAnnouncements(cams, now);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].to, 0xFFFFFFFFu);
    EXPECT_EQ(due[0].toPort, 1005);
    EXPECT_TRUE(DueAnnouncements(cams, now + std::chrono::milliseconds(500)).empty());
    EXPECT_EQ(DueAnnouncements(cams, now + std::chrono::milliseconds(1000)).size(), 1u);
}
