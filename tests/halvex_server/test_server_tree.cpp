// The server tree on its own: rights by user and group, subscriber
// notifications by UDP datagram on loopback, and parallel use of one tree.
#include "server_fixture.h"

#include <halvex/platform/errcodes.h>
#include <halvex/platform/users.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace ZYRK;
using namespace srvtest;

namespace {

// A UDP socket on 127.0.0.1 with an ephemeral port.
struct UdpSink {
    UdpSink()
    {
        s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~UdpSink() { close(s); }
    // One datagram, empty when none arrives within 5 s.
    Bytes Next()
    {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return {};
        Bytes b(2048);
        ssize_t n = recv(s, b.data(), b.size(), 0);
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    }
    bool Quiet()
    {
        pollfd p{s, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    int s;
    uint16_t port;
};

// The built tree served by a request task, a UDP sink for its
// notifications, and this machine's root as the requests' identity.
struct NotifyBench {
    struct AsRoot {
        AsRoot() { set_user_id(0); }
    } asRoot;  // first: the tree is built as root
    CServerResourceTree tree;
    CResourceServerTask task;
    UdpSink sink;
    const USER_IDENT_T id = LocalRoot();
    NotifyBench()
    {
        BuildTree(tree);
        task.SetTree(&tree);
    }
};

TEST(ServerTree, RightsFollowOwnerGroupAndOthers)
{
    CServerResourceTree tree;
    SERVER_NODE_OPTIONS_T o;
    o.attr = RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET | RES_ATTR_GROUP_GET | RES_ATTR_OTHERS_SET;
    o.ownerUid = 9;
    o.ownerGid = 4;
    ASSERT_EQ(tree.AddValue(".v", CResourceValue(1), o), ERR_OK);
    CResource* r = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".v"), &r, nullptr), ERR_OK);
    USER_IDENT_T owner{9, 0}, member{1, 0}, other{7, 0}, root{0, 0}, nobody{RES_NO_USER, 0};
    if (!user_in_group(1, 4)) add_user_to_group(1, 4);
    ASSERT_TRUE(user_in_group(1, 4));
    ASSERT_FALSE(user_in_group(7, 4));
    EXPECT_TRUE(r->IsGetAllowed(&owner));
    EXPECT_TRUE(r->IsSetAllowed(&owner));
    EXPECT_TRUE(r->IsGetAllowed(&member));
    EXPECT_FALSE(r->IsSetAllowed(&member));
    EXPECT_FALSE(r->IsGetAllowed(&other));
    EXPECT_TRUE(r->IsSetAllowed(&other));
    EXPECT_TRUE(r->IsGetAllowed(&root));
    EXPECT_FALSE(r->IsGetAllowed(&nobody));
    CResourceValue v;
    EXPECT_EQ(r->Get(v, &other), ERR_PERMISSION_DENIED);
    EXPECT_EQ(r->Set(CResourceValue(5), RES_NOWAIT, 0, &member), ERR_PERMISSION_DENIED);
    EXPECT_EQ(r->Set(CResourceValue(5), RES_NOWAIT, 0, &other), ERR_OK);
    EXPECT_EQ(r->Set(CResourceValue("x"), RES_NOWAIT, 0, &other), ERR_RES_WRONG_TYPE);
    EXPECT_EQ(r->Get(v, &owner), ERR_OK);
    EXPECT_EQ(v.GetInt(), 5);
    EXPECT_EQ(r->Close(), ERR_OK);
    EXPECT_EQ(r->Close(), ERR_ALREADY_CLOSED);
    // Opening below a node needs its read right.
    SERVER_NODE_OPTIONS_T closed;
    closed.attr = RES_ATTR_OWNER_GET;
    closed.ownerUid = 9;
    ASSERT_EQ(tree.AddNode(".priv", RES_TYPE_STRUCT, closed), ERR_OK);
    ASSERT_EQ(tree.AddValue(".priv.x", CResourceValue(true)), ERR_OK);
    EXPECT_EQ(tree.OpenResource(CResourcePath(".priv.x"), &r, &other), ERR_PERMISSION_DENIED);
    EXPECT_EQ(tree.OpenResource(CResourcePath(".priv.x"), &r, &owner), ERR_OK);
    r->Close();
    EXPECT_EQ(tree.AddValue(".priv.x", CResourceValue(true)), ERR_RES_NOT_UNIQUE);
    EXPECT_EQ(tree.AddValue(".nope.x", CResourceValue(true)), ERR_RES_NOT_IN_TREE);
}

TEST(ServerTree, UdpSubscribersGetShortAndExtendedDatagrams)
{
    NotifyBench bench;
    CResourceServerTask& task = bench.task;
    UdpSink& sink = bench.sink;
    const USER_IDENT_T& id = bench.id;
    // Plain UDP kind (short form) and the extended kind (flavour 0, kind 3).
    EXPECT_EQ(srvtest::Run(task, Req().u8(0xA0).be32(77).be16(sink.port).u8(0).u8(0).lstr(".net.LAN.mtu").be32(0).b, id),
              (Bytes{0xA1, 0x00}));
    EXPECT_EQ(srvtest::Run(task, Req().u8(0xA0).be32(77).be16(sink.port).u8(0).u8(0).lstr(".net.LAN.mtu").be32(0).b, id),
              (Bytes{0xFF, 0xA5, 0xAB, 0x01, 0x00, 0x06}));
    EXPECT_EQ(srvtest::Run(task, Req().u8(0xA0).be32(78).be16(sink.port).u8(0).u8(3).lstr(".net.LAN.address").b, id),
              (Bytes{0xA1, 0x00}));
    EXPECT_EQ(srvtest::Run(task, Req().u8(0x41).cstr(".net.LAN.mtu").b, id).at(15), 1);

    EXPECT_EQ(srvtest::Run(task, Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be32(1600).b, id), (Bytes{0x12, 0x00}));
    Bytes d = sink.Next();
    ASSERT_EQ(d.size(), SRV_NOTIFY_SHORT_SIZE);
    EXPECT_EQ(be_get32(&d[0]), SRV_MSG_VALUE);
    EXPECT_EQ(be_get32(&d[4]), 2u);
    EXPECT_EQ(be_get32(&d[8]), 77u);
    EXPECT_EQ(be_get32(&d[12]), 1600u);

    EXPECT_EQ(srvtest::Run(task, Req().u8(0x11).u8(0x04).cstr(".net.LAN.address").cstr("eth1").b, id), (Bytes{0x12, 0x00}));
    d = sink.Next();
    ASSERT_EQ(d.size(), SRV_NOTIFY_EXTENDED_SIZE);
    EXPECT_EQ(be_get32(&d[4]), 4098u);
    EXPECT_EQ(be_get32(&d[8]), 1020u);
    EXPECT_EQ(be_get32(&d[12]), 4u);
    EXPECT_EQ(be_get32(&d[20]), 78u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&d[24]), "eth1");

    EXPECT_EQ(srvtest::Run(task, Req().u8(0xA2).be32(77).be16(sink.port).u8(0).u8(0).lstr(".net.LAN.mtu").b, id),
              (Bytes{0xA3, 0x00}));
    EXPECT_EQ(srvtest::Run(task, Req().u8(0xA2).be32(77).be16(sink.port).u8(0).u8(0).lstr(".net.LAN.mtu").b, id),
              (Bytes{0xFF, 0xA5}));
    EXPECT_EQ(srvtest::Run(task, Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be32(1700).b, id), (Bytes{0x12, 0x00}));
    EXPECT_TRUE(sink.Quiet());
    // An unknown kind byte is refused before anything is registered.
    EXPECT_EQ(srvtest::Run(task, Req().u8(0xA0).be32(1).u8(0).u8(0).u8(0).u8(9).be32(0).be32(0).lstr(".net").b, id),
              (Bytes{0xFF, 0xA7}));
}

TEST(ServerTree, TreeSubscribersHearAboutNewAndRemovedNodes)
{
    NotifyBench bench;
    CResourceServerTask& task = bench.task;
    UdpSink& sink = bench.sink;
    const USER_IDENT_T& id = bench.id;
    Req add = Req().u8(0xA4).u8(0).be16(sink.port).be16(0).u8(0).be32(SRV_EVENT_ADDED | SRV_EVENT_REMOVED);
    add.be32(0).be32(0).u8(0);
    EXPECT_EQ(srvtest::Run(task, add.b, id), (Bytes{0xA5, 0x00}));
    EXPECT_EQ(srvtest::Run(task, add.b, id), (Bytes{0xFF, 0xA5}));
    EXPECT_EQ(srvtest::Run(task, Req().u8(0x24).cstr(".list").cstr("cam7").b, id).at(0), 0x22);
    Bytes d = sink.Next();
    ASSERT_EQ(d.size(), SRV_NOTIFY_SHORT_SIZE);
    EXPECT_EQ(be_get32(&d[0]), SRV_MSG_TREE);
    EXPECT_EQ(be_get32(&d[4]), 4u);
    EXPECT_EQ(be_get32(&d[8]), SRV_EVENT_ADDED);
    EXPECT_STREQ(reinterpret_cast<const char*>(&d[12]), "cam7");
    EXPECT_EQ(srvtest::Run(task, Req().u8(0x31).cstr(".list.cam7").b, id), (Bytes{0x32, 0x00}));
    d = sink.Next();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(be_get32(&d[8]), SRV_EVENT_REMOVED);
    Req remove = Req().u8(0xA6).u8(0).be16(sink.port).be16(0).u8(0).be32(SRV_EVENT_ADDED).u8(0).u8(0).u8(0).u8(0);
    remove.u8(0);
    EXPECT_EQ(srvtest::Run(task, remove.b, id), (Bytes{0xA7, 0x00}));
    EXPECT_EQ(srvtest::Run(task, remove.b, id), (Bytes{0xFF, 0xA5}));
}

// Parallel writers, readers, creators and deleters on one tree: no lost
// write, nothing freed under a holder (run under ThreadSanitizer too).
TEST(ServerTree, ParallelSessionsShareOneTree)
{
    CServerResourceTree tree;
    BuildTree(tree);
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(tree.AddValue((".c" + std::to_string(t)).c_str(), CResourceValue(0)), ERR_OK);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&tree, &failures, t] {
            set_user_id(0);
            CResourceServerTask task;
            task.SetTree(&tree);
            const USER_IDENT_T id = LocalRoot();
            const std::string counter = ".c" + std::to_string(t);
            const std::string inst = "i" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                Bytes r = srvtest::Run(task, Req().u8(0x01).cstr(counter.c_str()).u8(0).b, id);
                if (r.size() != 6) {
                    ++failures;
                    continue;
                }
                uint32_t v = be_get32(&r[2]);
                if (srvtest::Run(task, Req().u8(0x11).u8(2).cstr(counter.c_str()).be32(v + 1).b, id) != Bytes{0x12, 0}) {
                    ++failures;
                }
                srvtest::Run(task, Req().u8(0x01).cstr(".net.LAN").u8(0).b, id);
                if (i % 10 == 0) {
                    srvtest::Run(task, Req().u8(0x24).cstr(".list").cstr(inst.c_str()).b, id);
                    srvtest::Run(task, Req().u8(0x01).cstr(".list").u8(0).b, id);
                    srvtest::Run(task, Req().u8(0x31).cstr((".list." + inst).c_str()).b, id);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        CResource* r = nullptr;
        ASSERT_EQ(tree.OpenResource(CResourcePath((".c" + std::to_string(t)).c_str()), &r, nullptr), ERR_OK);
        CResourceValue v;
        r->Get(v, nullptr);
        EXPECT_EQ(v.GetInt(), kRounds);
        r->Close();
    }
}

}  // namespace
