// Request bytes and reply decoding of the engine's operations, against a
// scripted server on 127.0.0.1.
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/resource/resource_value.h>
#include <halvex/resource/subscr_kind_internal.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "script_server.h"

using namespace ZYRK;
using testsrv::Bytes;
using testsrv::Frame;
using testsrv::ScriptServer;

namespace {

// One connection to a server that answers each request with the next reply
// of its script and records the requests.
class OpsFixture {
public:
    explicit OpsFixture(std::vector<Bytes> replies)
        : m_server([this, replies](int fd) {
              for (const Bytes& r : replies) {
                  Bytes req = testsrv::ReadFrame(fd);
                  if (req.empty()) return;
                  requests.push_back(req);
                  if (!r.empty()) testsrv::WriteAll(fd, r);
              }
          }),
          lib("127.0.0.1", m_server.Port()) {
        EXPECT_EQ(lib.Open(), 0);
    }
    ~OpsFixture() { lib.Close(); }
    void Done() {
        lib.Close();
        m_server.Join();
    }

    std::vector<Bytes> requests;

private:
    ScriptServer m_server;

public:
    CResourceClientLibSocket lib;
    unsigned char send[RES_BUFFER_SIZE] = {};
    unsigned char recv[RES_BUFFER_SIZE] = {};
    ResCommType comm{RES_COMM_TCP, 0, 0};
};

}  // namespace

TEST(ClientOps, WriteDataBoolWithAndWithoutWait) {
    OpsFixture f({Frame({0x12, 0}), Frame({0x12, 0})});
    CResourceValue v(true);
    EXPECT_EQ(f.lib.ResWriteData(f.comm, f.send, f.recv, nullptr, ".a.b", v, 0, 0), 0);
    EXPECT_EQ(f.lib.ResWriteData(f.comm, f.send, f.recv, nullptr, ".a.b", v, 1, 50), 0);
    f.Done();
    ASSERT_EQ(f.requests.size(), 2u);
    EXPECT_EQ(f.requests[0], (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 8, 0x11, 0x01, 0x2E, 0x61, 0x2E, 0x62, 0x00, 0x01}));
    EXPECT_EQ(testsrv::Payload(f.requests[1]),
              (Bytes{0x13, 0x01, 0x2E, 0x61, 0x2E, 0x62, 0x00, 0x01, 0x00, 0x00, 0x00, 0x32}));
}

TEST(ClientOps, WriteDataExAsciiWithLocalOriginator) {
    OpsFixture f({Frame({0x12, 0}), Frame({0xFF, 165, 0x64, 0x07, 0x00, 0x03}), Frame({0xFF, 168})});
    CResourceValue v("eth0");
    EXPECT_EQ(f.lib.ResWriteDataEx(f.comm, f.send, f.recv, nullptr, ".x", v, 1, 0x01020304), 0);
    // The server's own 32-bit result replaces the error byte when it sends one.
    EXPECT_EQ(f.lib.ResWriteDataEx(f.comm, f.send, f.recv, nullptr, ".x", v, 0, 0), int(0x64070003));
    EXPECT_EQ(f.lib.ResWriteDataEx(f.comm, f.send, f.recv, nullptr, ".x", v, 0, 0), 168);
    f.Done();
    ASSERT_GE(f.requests.size(), 1u);
    Bytes p = testsrv::Payload(f.requests[0]);
    ASSERT_EQ(p.size(), 27u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 9), (Bytes{0x14, 0x04, 0x13, 0x03, 0x01, 1, 2, 3, 4}));
    // Local end 127.0.0.1 converted once more: its bytes appear reversed.
    EXPECT_EQ(Bytes(p.begin() + 9, p.begin() + 13), (Bytes{0x01, 0x00, 0x00, 0x7F}));
    EXPECT_EQ(Bytes(p.begin() + 19, p.end()), (Bytes{0x2E, 0x78, 0x00, 0x65, 0x74, 0x68, 0x30, 0x00}));
}

TEST(ClientOps, WriteDataExUsesTheValuesOwnOriginator) {
    OpsFixture f({Frame({0x12, 0})});
    CResourceValue v(7);
    ORIGINATOR_T o{0xC0A80001, 0x1234, 0x55667788};
    v.SetOriginator(o);
    EXPECT_EQ(f.lib.ResWriteDataEx(f.comm, f.send, f.recv, nullptr, ".n", v, 0, 0), 0);
    f.Done();
    Bytes p = testsrv::Payload(f.requests.at(0));
    EXPECT_EQ(Bytes(p.begin() + 9, p.begin() + 19), (Bytes{0xC0, 0xA8, 0, 1, 0x12, 0x34, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(Bytes(p.begin() + 22, p.end()), (Bytes{0, 0, 0, 7}));
}

TEST(ClientOps, WriteTransparentSendsFragmentsAfterPreamble) {
    OpsFixture f({Frame({0x12, 0})});
    CResourceValue v(VALUE_TYPE_TRANSPARENT);
    v.SetCopyType(COPY_TYPE_COPY);
    ASSERT_EQ(v.AddFragment("abc", 3, COPY_TYPE_COPY), 0u);
    ASSERT_EQ(v.AddFragment("de", 2, COPY_TYPE_COPY), 0u);
    EXPECT_EQ(f.lib.ResWriteData(f.comm, f.send, f.recv, nullptr, ".t", v, 1, 9), 0);
    f.Done();
    EXPECT_EQ(testsrv::Payload(f.requests.at(0)),
              (Bytes{0x13, 0x08, '.', 't', 0, 1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 0, 0,
                     0, 9}));
}

TEST(ClientOps, LargeWriteIsBuiltOnTheHeap) {
    std::string text(5000, 'q');
    Bytes got;
    OpsFixture f({Frame({0x12, 0})});
    CResourceValue v(text.c_str());
    EXPECT_EQ(f.lib.ResWriteData(f.comm, f.send, f.recv, nullptr, ".big", v, 0, 0), 0);
    f.Done();
    Bytes p = testsrv::Payload(f.requests.at(0));
    ASSERT_EQ(p.size(), 2u + 5u + 5001u);
    EXPECT_EQ(p.back(), 0);
    EXPECT_EQ(p[7], 'q');
    CResourceValue bad(VALUE_TYPE_INT32);
    bad.SetType(VALUE_TYPE_T(5));
    EXPECT_EQ(f.lib.ResWriteData(f.comm, f.send, f.recv, nullptr, ".n", bad, 0, 0), -103);
}

TEST(ClientOps, ReadDataDecodesNodesTextsAndLongReplies) {
    Bytes longReply{0x02, 0x04};
    longReply.insert(longReply.end(), 2997, 'z');
    longReply.push_back(0);
    OpsFixture f({Frame({0x02, 0x05, 0x61, 0x00, 0x62, 0x00}), Frame(longReply), Frame({0x02, 0x0C, 1}),
                  Frame({0x02, 0x02, 0xFF, 0xFF, 0xFF, 0xFE})});
    CResourceValue v;
    EXPECT_EQ(f.lib.ResReadData(f.comm, f.send, f.recv, nullptr, ".", v), 0);
    EXPECT_EQ(v.Type(), VALUE_TYPE_ASCII);
    EXPECT_STREQ(v.GetAscii(), "a\nb");
    EXPECT_EQ(f.lib.ResReadData(f.comm, f.send, f.recv, nullptr, ".long", v), 0);
    EXPECT_EQ(v.GetLength(), 2997u);
    EXPECT_EQ(f.lib.ResReadData(f.comm, f.send, f.recv, nullptr, ".bad", v), -103);
    EXPECT_EQ(f.lib.ResReadData(f.comm, f.send, f.recv, nullptr, ".i", v), 0);
    EXPECT_EQ(v.Type(), VALUE_TYPE_INT32);
    EXPECT_EQ(v.GetInt(), -2);
    f.Done();
    EXPECT_EQ(testsrv::Payload(f.requests.at(0)), (Bytes{0x01, '.', 0, uint8_t(CResourceValue().CopyType())}));
}

TEST(ClientOps, ReadAttrDataLimitsBothForms) {
    // 0x0D form: 41-byte attributes, an int32 data block, a range.
    Bytes attr(41, 0);
    attr[0] = 0x42;
    attr[1] = 2;
    attr[2] = 1;     // owner get
    attr[19] = 1;    // hexadecimal hint
    Bytes data{0x02, 0x02, 0, 0, 0, 5};
    Bytes limits{0x46, 0x02, 0, 2, 0, 0, 0, 0, 0, 0, 0, 10};
    Bytes wide = testsrv::Cat({Bytes{0x0D, 0, 0, 41, 0, 6, 0, 12}, attr, data, limits});
    // 0x0B form with a long text after the limits block.
    Bytes tattr(41, 0);
    tattr[0] = 0x42;
    tattr[1] = 4;
    Bytes narrow = testsrv::Cat({Bytes{0x0B, 41, 3, 0}, tattr, Bytes{0x02, 0x04, 0}, testsrv::Str("long text")});
    OpsFixture f({Frame(wide), Frame(narrow)});
    ResAttr a{};
    CResourceValue v;
    f.comm.version = 12;
    EXPECT_EQ(f.lib.ResReadAttrDataLimits(f.comm, f.send, f.recv, nullptr, ".v", a, v), 0);
    EXPECT_EQ(a.type, 2);
    EXPECT_EQ(a.ownerGet, 1);
    EXPECT_EQ(a.hintHex, 1);
    EXPECT_EQ(v.GetInt(), 5);
    int lo = -1, hi = -1;
    EXPECT_EQ(v.GetLimits(lo, hi), 0u);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 10);
    f.comm.version = 2;
    CResourceValue t;
    EXPECT_EQ(f.lib.ResReadAttrDataLimits(f.comm, f.send, f.recv, nullptr, ".t", a, t), 0);
    EXPECT_STREQ(t.GetAscii(), "long text");
    f.Done();
    // Version 12: 0x0C with the 18-byte header; version 2: 0x0A.
    EXPECT_EQ(f.requests.at(0)[18], 0x0C);
    EXPECT_EQ(f.requests.at(1)[8], 0x0A);
}

TEST(ClientOps, ReadAttrDataLimitsRefusesBlocksPastTheReply) {
    OpsFixture f({Frame({0x0D, 0, 0, 41, 0, 6, 0, 12, 0x42})});
    ResAttr a{};
    CResourceValue v;
    f.comm.version = 12;
    EXPECT_EQ(f.lib.ResReadAttrDataLimits(f.comm, f.send, f.recv, nullptr, ".v", a, v), -103);
}

TEST(ClientOps, IterateCreateVerifyAndSmallRequests) {
    OpsFixture f({Frame({0x54, 3, 'a', 'b', 'c', 0}), Frame({0xFF, 167}), Frame({0x22, 0, '.', 'n', '1', 0}),
                  Frame({0x48}), Frame({0xA5, 0}), Frame({0x44, 0})});
    char* name = nullptr;
    EXPECT_EQ(f.lib.ResIterate(f.comm, f.send, f.recv, nullptr, ".p", 4, &name), 0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "abc");
    std::free(name);
    EXPECT_EQ(f.lib.ResIterate(f.comm, f.send, f.recv, nullptr, ".p", 3, &name), 167);
    EXPECT_EQ(name, nullptr);
    char* created = nullptr;
    EXPECT_EQ(f.lib.ResCreateInstance(f.comm, f.send, f.recv, nullptr, ".n", 1, 0x10, &created), 0);
    ASSERT_NE(created, nullptr);
    EXPECT_STREQ(created, ".n1");
    std::free(created);
    EXPECT_EQ(f.lib.ResVerify(f.comm, f.send, f.recv, nullptr, ".services"), 0);
    EXPECT_EQ(f.lib.ResAddTreeSubscriber(f.comm, f.send, f.recv, nullptr, 0x11223344, 0, 1, 0, 0x5566, 7), 0);
    ResAttr attr{};
    attr.ownerGet = 1;
    attr.persistent = 1;
    attr.rename = 1;
    EXPECT_EQ(f.lib.ResSetAttributes(f.comm, f.send, f.recv, nullptr, ".s", attr, 1, 2), 0);
    f.Done();
    EXPECT_EQ(testsrv::Payload(f.requests.at(0)), (Bytes{0x53, 4, 2, '.', 'p'}));
    EXPECT_EQ(testsrv::Payload(f.requests.at(2)), (Bytes{0x23, '.', 'n', 0, 0, 0, 0, 0x10}));
    EXPECT_EQ(testsrv::Payload(f.requests.at(3)), testsrv::Cat({Bytes{0x47, 9}, testsrv::Str(".services", false)}));
    EXPECT_EQ(testsrv::Payload(f.requests.at(4)),
              (Bytes{0xA4, 0, 0x55, 0x66, 0, 0, 1, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 7, 0, 0, 0, 0, 0}));
    EXPECT_EQ(testsrv::Payload(f.requests.at(5)),
              (Bytes{0x43, 2, '.', 's', 1, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 2}));
}

TEST(ClientOps, LongPathsAreRefusedWhereOnlyALengthByteCarriesThem) {
    OpsFixture f({});
    std::string path = "." + std::string(300, 'p');
    EXPECT_EQ(f.lib.ResVerify(f.comm, f.send, f.recv, nullptr, path.c_str()), int(ERR_BAD_PARAMETER));
    CResourceValue v(1);
    EXPECT_EQ(f.lib.ResWriteDataEx(f.comm, f.send, f.recv, nullptr, path.c_str(), v, 0, 0), int(ERR_BAD_PARAMETER));
    f.Done();
    EXPECT_TRUE(f.requests.empty());
}

TEST(ClientOps, AddSubscriberLayoutAndInternalCode) {
    OpsFixture f({Frame({0xFF, 165, 0xAB, 0x01, 0x00, 0x06}), Frame({0xA1, 0})});
    EXPECT_EQ(f.lib.ResAddSubscriber(f.comm, f.send, f.recv, nullptr, ".r", 1, 0x01020304, 2, 0x0A0B0C0D, 5, 8,
                                     0x11, 9),
              int(0xAB010006));
    EXPECT_EQ(f.lib.ResAddUDPSubscriber(f.comm, f.send, f.recv, nullptr, ".r", 1, 0x10, 7, 0x2233, 8), 0);
    f.Done();
    EXPECT_EQ(testsrv::Payload(f.requests.at(0)),
              (Bytes{0xA0, 1, 2, 3, 4, 0, 2, 1, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0x11, 2, '.', 'r', 0, 0, 0, 5,
                     0, 0, 0, 9, 0, 0, 0, 0}));
    EXPECT_EQ(testsrv::Payload(f.requests.at(1)),
              (Bytes{0xA0, 0, 0, 0, 7, 0x22, 0x33, 1, 0x10, 2, '.', 'r', 0, 0, 0, 8}));
}

TEST(ClientNotify, ShortAndExtendedDatagrams) {
    CResourceValue v;
    unsigned long id = 0;
    Bytes shortForm(512, 0);
    Bytes head{0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 42, 0, 0, 0, 7};
    std::copy(head.begin(), head.end(), shortForm.begin());
    EXPECT_EQ(res_decode_notify(shortForm.data(), shortForm.size(), 0x7F000001, 4000, &id, v), 0u);
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(v.Type(), VALUE_TYPE_INT32);
    EXPECT_EQ(v.GetInt(), 7);
    ORIGINATOR_T o{};
    v.GetOriginator(o);
    EXPECT_EQ(o.address, 0x7F000001u);
    EXPECT_EQ(o.port, 4000);

    Bytes ext(1020, 0);
    Bytes ehead{0, 0, 0, 1, 0, 0, 0x10, 0x02, 0, 0, 0x03, 0xFC, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 9};
    std::copy(ehead.begin(), ehead.end(), ext.begin());
    std::memcpy(ext.data() + 24, "name", 5);
    EXPECT_EQ(res_decode_notify(ext.data(), ext.size(), 1, 2, &id, v), 0u);
    EXPECT_EQ(id, 9u);
    EXPECT_STREQ(v.GetAscii(), "name");

    // A text that runs to the end of the datagram ends there.
    Bytes open{0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 1, 'x', 'y'};
    EXPECT_EQ(res_decode_notify(open.data(), open.size(), 1, 2, &id, v), 0u);
    EXPECT_STREQ(v.GetAscii(), "xy");
    // Unknown value types leave the value alone; short datagrams are refused.
    Bytes other{0, 0, 0, 4, 0, 0, 0, 8, 0, 0, 0, 1, 1, 2, 3, 4};
    EXPECT_EQ(res_decode_notify(other.data(), other.size(), 1, 2, &id, v), 0u);
    EXPECT_STREQ(v.GetAscii(), "xy");
    EXPECT_EQ(res_decode_notify(other.data(), 8, 1, 2, &id, v), 0x64070000u);
}

TEST(ClientOps, MaintenanceAndSubscriptionRequestLayouts) {
    OpsFixture f({Frame({0x62, 0}), Frame({0x72, 0}), Frame({0xE1, 0}), Frame({0xE3, 0}), Frame({0xA3, 0}),
                  Frame({0xA3, 0}), Frame({0x92, 0}), Frame({0x22, 0, '.', 'n', 0}), Frame({0xA7, 0})});
    EXPECT_EQ(f.lib.ResDump(f.comm, f.send, f.recv, nullptr, ".d", "f", 1, nullptr, nullptr, 2, 3, 4, 0x0A0B0C0D), 0);
    EXPECT_EQ(f.lib.ResReload(f.comm, f.send, f.recv, nullptr, ".d", "f", 5, "i", 6), 0);
    EXPECT_EQ(f.lib.ResMountSubtree(f.comm, f.send, f.recv, nullptr, ".m", "sub", 0x1234), 0);
    EXPECT_EQ(f.lib.ResUnmountSubtree(f.comm, f.send, f.recv, nullptr, ".m.sub"), 0);
    EXPECT_EQ(f.lib.ResRemoveSubscriber(f.comm, f.send, f.recv, nullptr, ".r", 1, 0x01020304, 2, 0x0A0B0C0D), 0);
    EXPECT_EQ(f.lib.ResRemoveUDPSubscriber(f.comm, f.send, f.recv, nullptr, ".r", 2, 7, 0x2233), 0);
    EXPECT_EQ(f.lib.ResRenameResource(f.comm, f.send, f.recv, nullptr, ".o", "nn", 5, 1, 3), 0);
    char* created = nullptr;
    EXPECT_EQ(f.lib.ResCreateNamedInstance(f.comm, f.send, f.recv, nullptr, ".t", "n", 0, 0, &created), 0);
    std::free(created);
    EXPECT_EQ(f.lib.ResRemoveTreeSubscriber(f.comm, f.send, f.recv, nullptr, 0x11223344, 2, 1, 0x0A0B0C0D, 0), 0);
    f.Done();
    ASSERT_EQ(f.requests.size(), 9u);
    auto P = [&](size_t i) { return testsrv::Payload(f.requests[i]); };
    EXPECT_EQ(P(0), (Bytes{0x61, 2, '.', 'd', 'f', 0, 0, 0, 1, 2, 3, 4, 0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(P(1), (Bytes{0x71, 2, '.', 'd', 'f', 0, 5, 6, 'i', 0}));
    EXPECT_EQ(P(2), (Bytes{0xE0, 2, '.', 'm', 3, 's', 'u', 'b', 9, '1', '2', '7', '.', '0', '.', '0', '.', '1', 0x12,
                           0x34, 0}));
    EXPECT_EQ(P(3), (Bytes{0xE2, 6, '.', 'm', '.', 's', 'u', 'b', 0}));
    EXPECT_EQ(P(4), (Bytes{0xA2, 1, 2, 3, 4, 0, 0, 1, 2, 0x0A, 0x0B, 0x0C, 0x0D, 2, '.', 'r', 0, 0, 0, 0}));
    EXPECT_EQ(P(5), (Bytes{0xA2, 0, 0, 0, 7, 0x22, 0x33, 2, 0, 2, '.', 'r'}));
    EXPECT_EQ(P(6), (Bytes{0x93, 5, 2, '.', 'o', 'n', 'n', 0, 0, 0, 0, 3}));
    EXPECT_EQ(P(7), (Bytes{0x24, '.', 't', 0, 'n', 0}));
    EXPECT_EQ(P(8), (Bytes{0xA6, 2, 0x0A, 0x0B, 0x0C, 0x0D, 1, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 0}));
}

// The kind and flavour bytes of every subscription kind and what each use of
// it allows: the resource, the tree and the bulk operations share this table.
TEST(ClientSubscrKinds, WireBytesAndRulesOfEveryKind) {
    struct Row {
        uint32_t kind;
        bool udp;
        uint8_t kindV10, kindV12, flavour;
        bool needsV12, removable, treeUse;
        int bulk;
    };
    const Row rows[] = {
        {0, false, 1, 1, 0, false, true, true, 1},     {5, false, 1, 4, 0, false, true, false, 0},
        {6, false, 5, 5, 0, true, false, false, 0},    {7, false, 6, 6, 0, true, false, false, 0},
        {8, false, 2, 2, 0, false, true, true, 1},     {9, true, 0, 0, 0, false, true, true, 2},
        {11, true, 3, 3, 0, false, true, false, 0},    {256, false, 1, 1, 1, false, true, true, 1},
        {261, false, 1, 4, 1, false, true, false, 0},  {262, false, 5, 5, 1, true, false, false, 0},
        {263, false, 6, 6, 1, true, false, false, 0},  {264, false, 2, 2, 1, false, true, true, 1},
        {265, true, 0, 0, 1, false, true, true, 2},    {266, true, 0, 0, 2, false, true, true, 2},
        {267, true, 3, 3, 1, false, true, false, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.kind);
        const ResSubscrKind v10 = res_subscr_kind(RES_SUBSCR_T(r.kind), 10);
        const ResSubscrKind v12 = res_subscr_kind(RES_SUBSCR_T(r.kind), 12);
        EXPECT_TRUE(v12.known);
        EXPECT_EQ(v12.udp, r.udp);
        EXPECT_EQ(v10.kind, r.kindV10);
        EXPECT_EQ(v12.kind, r.kindV12);
        EXPECT_EQ(v12.flavour, r.flavour);
        EXPECT_EQ(v12.treeUse, r.treeUse);
        EXPECT_EQ(v12.bulk, r.bulk);
        EXPECT_EQ(res_subscr_refusal(v10, 10, false), r.needsV12 ? ERR_UNSUPPORTED : 0ul);
        EXPECT_EQ(res_subscr_refusal(v12, 12, false), 0ul);
        EXPECT_EQ(res_subscr_refusal(v12, 12, true), r.removable ? 0ul : ERR_BAD_DATA);
    }
    for (uint32_t unknown : {1u, 4u, 10u, 12u, 257u, 260u, 268u, 512u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(unknown);
        const ResSubscrKind k = res_subscr_kind(RES_SUBSCR_T(unknown), 12);
        EXPECT_FALSE(k.known);
        EXPECT_EQ(res_subscr_refusal(k, 12, false), ERR_BAD_DATA);
        EXPECT_EQ(res_subscr_refusal(k, 12, true), ERR_BAD_DATA);
    }
    EXPECT_TRUE(res_subscr_reply_kind_ok(RES_SUBSCR_QUEUE));
    EXPECT_TRUE(res_subscr_reply_kind_ok(RES_SUBSCR_EVENT));
    EXPECT_TRUE(res_subscr_reply_kind_ok(RES_SUBSCR_NOREPLY));
    EXPECT_FALSE(res_subscr_reply_kind_ok(RES_SUBSCR_UDP));
}
