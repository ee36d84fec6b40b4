// The TCP connection tasks on 127.0.0.1: frames, sessions, extensions,
// authentication grants, refused lengths, and a bounded load of parallel
// sessions against one server.
#include "listener_fixture.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/client_resource.h>
#include <halvex/platform/users.h>
#include <halvex/supervisor/supervisor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace ZYRK;
using namespace srvtest;

namespace {

// No session task of the TCP listener is left in the registry.
bool NoSessionTasks()
{
    for (uint32_t i = 1; i <= CResourceTCPServerTask::mulForkCounter.load(); ++i) {
        CTaskContainer* t = CSupervisor().GetTask(("tcpserver_" + std::to_string(i)).c_str());
        if (t) {
            t->Release();
            return false;
        }
    }
    return true;
}

class Tcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        BuildTree(tree);
        port = StartListener(tree, name, &task);
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        if (!task) return;
        StopListener(name, task);
        // Session tasks end when their clients have closed; none may outlive
        // the tree.
        EXPECT_TRUE(WaitFor(NoSessionTasks));
    }
    // One request on a fresh connection; the reply payload.
    Bytes Once(const Bytes& payload, uint8_t extensions = 0, uint32_t from = 0x7F000001, Bytes* header = nullptr)
    {
        int s = Connect(port, from);
        EXPECT_GE(s, 0);
        if (s < 0) return {};
        SendBytes(s, Frame(payload, extensions));
        Bytes r = RecvFrame(s, header);
        EXPECT_TRUE(PeerClosed(s));  // one request per connection
        close(s);
        return r;
    }

    CServerResourceTree tree;
    CResourceTCPServerTask* task = nullptr;
    std::string name;
    uint16_t port = 0;
};

TEST_F(Tcp, OneRequestPerConnectionAndTheReplyFrame)
{
    Bytes header;
    EXPECT_EQ(Once(Req().u8(0xF0).b, 0, 0x7F000001, &header), (Bytes{0xF1, 0x0C}));
    EXPECT_EQ(header, (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(Once(Req().u8(0x47).lstr(".net.LAN").b), (Bytes{0x48}));
    // A frame that does not start with 0xFE is dropped without answer.
    int s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Bytes{0x00, 0, 0, 0, 0, 0, 0, 1, 0xF0});
    EXPECT_TRUE(PeerClosed(s));
    close(s);
}

TEST_F(Tcp, SessionFramesAreExact)
{
    int s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Frame(Req().u8(0xC0).u8(0).b));
    EXPECT_EQ(RecvN(s, 9), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1}));
    for (int i = 0; i < 3; ++i) {
        SendBytes(s, Frame(Req().u8(0xF0).b));
        EXPECT_EQ(RecvFrame(s), (Bytes{0xF1, 0x0C}));
    }
    // A second open inside the session keeps it on the same task.
    SendBytes(s, Frame(Req().u8(0xC0).u8(0).b));
    EXPECT_EQ(RecvN(s, 9), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1}));
    SendBytes(s, Frame(Req().u8(0x01).cstr(".net.LAN.mtu").u8(0).b));
    EXPECT_EQ(RecvFrame(s), (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
    SendBytes(s, Frame(Req().u8(0xC2).b));
    EXPECT_EQ(RecvN(s, 9), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC3}));
    EXPECT_TRUE(PeerClosed(s));
    close(s);
}

TEST_F(Tcp, EmbeddedRequestsAndExtensions)
{
    // Only an embedded request: one embedded reply, extension count 0.
    Bytes header;
    Bytes r = Once(Req().u8(0xF4).u8(4).be32(1).u8(0xF0).u8(0).b, 1, 0x7F000001, &header);
    EXPECT_EQ(header[1], 0);
    EXPECT_EQ(r, (Bytes{0xF5, 0x04, 0, 0, 0, 2, 0xF1, 0x0C}));
    // Two embedded reads, the first with an odd length and its pad byte.
    Req multi;
    multi.u8(0xF4).u8(4).be32(7).u8(0x47).lstr(".list").u8(0);
    multi.u8(0xF4).u8(4).be32(5).u8(0x47).lstr(".no").u8(0);
    r = Once(multi.b, 2);
    EXPECT_EQ(r, (Bytes{0xF5, 4, 0, 0, 0, 1, 0x48, 0, 0xF5, 4, 0, 0, 0, 2, 0xFF, 0xA0}));
    // An embedded request longer than the frame is answered, not read past.
    r = Once(Req().u8(0xF4).u8(4).be32(500).u8(0xF0).b, 1);
    EXPECT_EQ(r, (Bytes{0xFF, 0xA9}));

    // The user extension counts from 127.0.0.1 only.
    Bytes asUser7 = Req().u8(0xF2).u8(2).be16(7).u8(0x01).cstr(".secret").u8(0).b;
    EXPECT_EQ(Once(asUser7, 1), (Bytes{0xFF, 0xAA}));
    Bytes asRoot = Req().u8(0xF2).u8(2).be16(0).u8(0x01).cstr(".secret").u8(0).b;
    EXPECT_EQ(Once(asRoot, 1, 0x7F000002), (Bytes{0xFF, 0xAA}));
    // The address extension makes a local writer look remote.
    Req remote = Req().u8(0xF3).u8(4).be32(0x0A000001).u8(0x0C).cstr(".blob").u8(0);
    r = Once(remote.b, 1);
    ASSERT_EQ(r.size(), 8u + 41u + 2u + 2u);
    EXPECT_EQ(r[49], 0xFF);
    EXPECT_EQ(r[50], 0xAA);
}

TEST_F(Tcp, IdentityByClientAddress)
{
    // 127.0.0.1 runs as user 0 without authentication.
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".secret").u8(0).b), (Bytes{0x02, 0x02, 0, 0, 0, 42}));
    // Any other address runs as user 2 until it authenticates.
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".secret").u8(0).b, 0, 0x7F000002), (Bytes{0xFF, 0xAA}));
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".net.LAN.mtu").u8(0).b, 0, 0x7F000002),
              (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
}

TEST_F(Tcp, AuthenticationGrants)
{
    unsigned short uid = 0, gid = 0;
    ASSERT_TRUE(get_user_id_from_name("shell", &uid, &gid));
    ASSERT_TRUE(is_valid_user("shell", ""));
    auto auth = [](const char* user, const char* password) {
        return Req().u8(0xD0).lstr(user).lstr(password).b;
    };
    EXPECT_EQ(Once(auth("shell", "wrong"), 0, 0x7F000002), (Bytes{0xFF, 0xAB}));
    EXPECT_EQ(Once(auth("nobody", ""), 0, 0x7F000002), (Bytes{0xFF, 0xAB}));
    EXPECT_EQ(Once(auth("abcdefghijklmnopqrst", ""), 0, 0x7F000002), (Bytes{0xFF, 0xA9}));
    EXPECT_EQ(Once(auth("shell", "abcdefghijklmnopqrst"), 0, 0x7F000002), (Bytes{0xFF, 0xA9}));
    EXPECT_EQ(Once(Req().u8(0xD0).u8(10).u8('a').b, 0, 0x7F000002), (Bytes{0xFF, 0xA9}));
    // The permanent grant of 127.0.0.1 holds one of the ten places: nine
    // more hosts get grants, the eleventh host is refused.
    for (uint32_t host = 2; host <= 10; ++host) {
        EXPECT_EQ(Once(auth("shell", ""), 0, 0x7F000000 + host), (Bytes{0xD1, 0x00})) << host;
    }
    EXPECT_EQ(Once(auth("shell", ""), 0, 0x7F00000B), (Bytes{0xFF, 0xAB}));
    // Renewing a grant is not a new place; 127.0.0.1 keeps its own.
    EXPECT_EQ(Once(auth("shell", ""), 0, 0x7F000005), (Bytes{0xD1, 0x00}));
    EXPECT_EQ(Once(auth("shell", ""), 0, 0x7F000001), (Bytes{0xFF, 0xAB}));
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".secret").u8(0).b), (Bytes{0x02, 0x02, 0, 0, 0, 42}));
    // A granted host runs as the authenticated user, a host without a grant
    // as user 2.
    SERVER_NODE_OPTIONS_T o;
    o.attr = RES_ATTR_OWNER_GET;
    o.ownerUid = uid;
    o.ownerGid = 99;
    ASSERT_EQ(tree.AddValue(".shellonly", CResourceValue(3), o), ERR_OK);
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".shellonly").u8(0).b, 0, 0x7F000003), (Bytes{0x02, 0x02, 0, 0, 0, 3}));
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".shellonly").u8(0).b, 0, 0x7F00000B), (Bytes{0xFF, 0xAA}));
}

TEST_F(Tcp, AnnouncedLengthsBeyondTheLimitCloseTheConnection)
{
    // A frame claiming 4 GiB: nothing is allocated, nothing answered.
    int s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Bytes{0xFE, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(PeerClosed(s));
    close(s);
    // Inside a session the session ends too.
    s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Frame(Req().u8(0xC0).u8(0).b));
    EXPECT_EQ(RecvN(s, 9).size(), 9u);
    SendBytes(s, Bytes{0xFE, 0, 0, 0, 0x00, 0x20, 0x00, 0x00});
    EXPECT_TRUE(PeerClosed(s));
    close(s);
    // A large request below the limit takes the heap buffer and works.
    std::string text(3000, 'x');
    EXPECT_EQ(Once(Req().u8(0x11).u8(0x04).cstr(".net.LAN.address").cstr(text.c_str()).b), (Bytes{0x12, 0x00}));
    Bytes r = Once(Req().u8(0x01).cstr(".net.LAN.address").u8(0).b);
    ASSERT_EQ(r.size(), 2u + 3001u);
    EXPECT_EQ(r[2], 'x');
}

TEST_F(Tcp, AbandonedReplyEndsTheSession)
{
    int s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Frame(Req().u8(0xC0).u8(0).b));
    EXPECT_EQ(RecvN(s, 9).size(), 9u);
    // A create request shorter than its template path has no answer: the
    // connection closes instead of leaving the client waiting.
    SendBytes(s, Frame(Req().u8(0x24).u8('.').u8('l').b));
    EXPECT_TRUE(PeerClosed(s));
    close(s);
}

TEST_F(Tcp, ClientTreeAgainstTheServer)
{
    CClientResourceTree client;
    ASSERT_EQ(client.Init("127.0.0.1", port, true), ERR_OK);
    EXPECT_EQ(client.GetVersion(), 12);
    CResource* mtu = nullptr;
    ASSERT_EQ(client.OpenResource(CResourcePath(".net.LAN.mtu"), &mtu, nullptr), ERR_OK);
    CResourceValue v;
    ASSERT_EQ(mtu->Get(v, nullptr), ERR_OK);
    EXPECT_EQ(v.GetInt(), 1500);
    int lo = 0, hi = 0;
    EXPECT_EQ(v.GetLimits(lo, hi), ERR_OK);
    EXPECT_EQ(lo, 100);
    EXPECT_EQ(hi, 9000);
    EXPECT_EQ(mtu->Set(CResourceValue(1400), RES_NOWAIT, 0, nullptr), ERR_OK);
    EXPECT_EQ(mtu->Set(CResourceValue(50), RES_NOWAIT, 0, nullptr), ERR_OUT_OF_RANGE);
    ASSERT_EQ(mtu->Get(v, nullptr), ERR_OK);
    EXPECT_EQ(v.GetInt(), 1400);
    EXPECT_EQ(mtu->GetAttr() & RES_ATTR_OWNER_SET, RES_ATTR_OWNER_SET);
    mtu->Close();
    CResource* missing = nullptr;
    EXPECT_EQ(client.OpenResource(CResourcePath(".net.WLAN"), &missing, nullptr), ERR_RES_NOT_IN_TREE);

    // A structured node reads as its child names.
    CResource* lan = nullptr;
    ASSERT_EQ(client.OpenResource(CResourcePath(".net.LAN"), &lan, nullptr), ERR_OK);
    CResourceValue names;
    ASSERT_EQ(lan->Get(names, nullptr), ERR_OK);
    EXPECT_STREQ(names.GetAscii(), "address\nmtu\ndhcp");
    // A batch of the node's children in one multiple write.
    CResource* addr = nullptr;
    CResource* dhcp = nullptr;
    ASSERT_EQ(client.OpenResource(CResourcePath(".net.LAN.address"), &addr, nullptr), ERR_OK);
    ASSERT_EQ(client.OpenResource(CResourcePath(".net.LAN.dhcp"), &dhcp, nullptr), ERR_OK);
    ASSERT_EQ(lan->Lock(), ERR_OK);
    EXPECT_EQ(addr->Set(CResourceValue("10.0.0.7"), RES_NOWAIT, 0, nullptr), ERR_OK);
    EXPECT_EQ(dhcp->Set(CResourceValue(true), RES_NOWAIT, 0, nullptr), ERR_OK);
    EXPECT_EQ(lan->Unlock(), 0u);
    CResourceValue text;
    ASSERT_EQ(addr->Get(text, nullptr), ERR_OK);
    EXPECT_STREQ(text.GetAscii(), "10.0.0.7");
    ASSERT_EQ(dhcp->Get(v, nullptr), ERR_OK);
    EXPECT_TRUE(v.GetBool());
    addr->Close();
    dhcp->Close();
    lan->Close();

    // Instances from the template, and their deletion.
    CResource* list = nullptr;
    ASSERT_EQ(client.OpenResource(CResourcePath(".list"), &list, nullptr), ERR_OK);
    CResource* inst = nullptr;
    ASSERT_EQ(list->Create(CResourcePath("c1"), &inst, RES_NOWAIT, 0, nullptr), ERR_OK);
    CResourcePath path;
    ASSERT_EQ(client.GetAbsolutePath(inst, path, nullptr), ERR_OK);
    EXPECT_STREQ(path.AsChar(), ".list.c1");
    EXPECT_EQ(inst->Delete(RES_NOWAIT, 0, nullptr), ERR_OK);
    delete inst;  // out of the client tree's list: the caller's to destroy
    list->Close();

    // Transparent data is copied on request.
    CResource* blob = nullptr;
    ASSERT_EQ(client.OpenResource(CResourcePath(".blob"), &blob, nullptr), ERR_OK);
    CResourceValue bytes(VALUE_TYPE_TRANSPARENT);
    bytes.SetCopyType(COPY_TYPE_COPY);
    ASSERT_EQ(blob->Get(bytes, nullptr), ERR_OK);
    EXPECT_EQ(bytes.GetSize(), 5u);
    blob->Close();
}

TEST_F(Tcp, ClientTreeWithoutSession)
{
    CClientResourceTree client;
    ASSERT_EQ(client.Init("127.0.0.1", port, false), ERR_OK);
    CResource* dhcp = nullptr;
    ASSERT_EQ(client.OpenResource(CResourcePath(".net.LAN.dhcp"), &dhcp, nullptr), ERR_OK);
    EXPECT_EQ(dhcp->Set(CResourceValue(true), RES_NOWAIT, 50, nullptr), ERR_OK);
    CResourceValue v;
    ASSERT_EQ(dhcp->Get(v, nullptr), ERR_OK);
    EXPECT_TRUE(v.GetBool());
    dhcp->Close();
}

TEST_F(Tcp, MountAnotherServerAndReadThroughIt)
{
    CServerResourceTree other;
    BuildTree(other);
    other.AddValue(".only_there", CResourceValue(77));
    std::string otherName;
    CResourceTCPServerTask* otherTask = nullptr;
    const uint16_t otherPort = StartListener(other, otherName, &otherTask);
    ASSERT_NE(otherPort, 0);
    EXPECT_EQ(Once(Req().u8(0xE0).lstr(".").lstr("cam2").lstr("127.0.0.1").be16(otherPort).u8(0).b),
              (Bytes{0xE1, 0x00}));
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".cam2.only_there").u8(0).b), (Bytes{0x02, 0x02, 0, 0, 0, 77}));
    EXPECT_EQ(Once(Req().u8(0x11).u8(0x02).cstr(".cam2.net.LAN.mtu").be32(1234).b), (Bytes{0x12, 0x00}));
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".net.LAN.mtu").u8(0).b), (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
    CResource* r = nullptr;
    ASSERT_EQ(other.OpenResource(CResourcePath(".net.LAN.mtu"), &r, nullptr), ERR_OK);
    CResourceValue v;
    r->Get(v, nullptr);
    EXPECT_EQ(v.GetInt(), 1234);
    r->Close();
    EXPECT_EQ(Once(Req().u8(0x24).cstr(".cam2.list").cstr("m").b), (Req().u8(0x22).u8(0).cstr(".cam2.list.m").b));
    EXPECT_EQ(Once(Req().u8(0x31).cstr(".cam2.list.m").b), (Bytes{0x32, 0x00}));
    EXPECT_EQ(Once(Req().u8(0x47).lstr(".cam2.list.m").b), (Bytes{0xFF, 0xA0}));
    EXPECT_EQ(Once(Req().u8(0xE2).lstr(".cam2").u8(0).b), (Bytes{0xE3, 0x00}));
    // Nothing listens on port 1 of 127.0.0.1: the failure is kept beside.
    EXPECT_EQ(Once(Req().u8(0xE0).lstr(".").lstr("cam3").lstr("127.0.0.1").be16(1).u8(0).b), (Bytes{0xFF, 0xA5}));
    EXPECT_EQ(Once(Req().u8(0x47).lstr(".cam3Fail").b), (Bytes{0x48}));
    EXPECT_TRUE(WaitFor(NoSessionTasks));
    StopListener(otherName, otherTask);
}

TEST(TcpIdle, ASilentClientDoesNotHoldTheListener)
{
    CServerResourceTree tree;
    BuildTree(tree);
    std::string name;
    CResourceTCPServerTask* task = nullptr;
    const uint16_t port = StartListener(tree, name, &task, 200);
    ASSERT_NE(port, 0);
    int silent = Connect(port);
    ASSERT_GE(silent, 0);
    int s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Frame(Req().u8(0xF0).b));
    EXPECT_EQ(RecvFrame(s), (Bytes{0xF1, 0x0C}));
    EXPECT_TRUE(PeerClosed(silent));
    close(s);
    close(silent);
    // A session may stay quiet for longer than that.
    s = Connect(port);
    ASSERT_GE(s, 0);
    SendBytes(s, Frame(Req().u8(0xC0).u8(0).b));
    EXPECT_EQ(RecvN(s, 9).size(), 9u);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    SendBytes(s, Frame(Req().u8(0xF0).b));
    EXPECT_EQ(RecvFrame(s), (Bytes{0xF1, 0x0C}));
    SendBytes(s, Frame(Req().u8(0xC2).b));
    RecvN(s, 9);
    close(s);
    StopListener(name, task);
    EXPECT_TRUE(WaitFor(NoSessionTasks));
}

// 200 sessions open at once, 1000 mixed requests each (a quarter of that under
// the sanitizers, which are many times slower); every session counts its own
// node up and reads shared ones. No error, no lost write.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kLoadSessions = 50;
constexpr int kLoadRequests = 250;
#else
constexpr int kLoadSessions = 200;
constexpr int kLoadRequests = 1000;
#endif

TEST_F(Tcp, BoundedLoadOfParallelSessions)
{
    constexpr int kSessions = kLoadSessions;
    constexpr int kRequests = kLoadRequests;
    for (int i = 0; i < kSessions; ++i) {
        ASSERT_EQ(tree.AddValue((".n" + std::to_string(i)).c_str(), CResourceValue(0)), ERR_OK);
    }
    std::atomic<int> errors{0};
    // The sessions are opened one after the other (the listener's backlog is
    // 10 connections), then all of them work at the same time.
    std::vector<int> sockets;
    for (int c = 0; c < kSessions; ++c) {
        int s = Connect(port);
        ASSERT_GE(s, 0) << "session " << c;
        SendBytes(s, Frame(Req().u8(0xC0).u8(0).b));
        ASSERT_EQ(RecvN(s, 9).size(), 9u) << "session " << c;
        sockets.push_back(s);
    }
    std::vector<std::thread> clients;
    for (int c = 0; c < kSessions; ++c) {
        clients.emplace_back([c, s = sockets[c], &errors] {
            const std::string node = ".n" + std::to_string(c);
            uint32_t expected = 0;
            for (int i = 0; i < kRequests; ++i) {
                if (i % 2 == 0) {
                    SendBytes(s, Frame(Req().u8(0x11).u8(2).cstr(node.c_str()).be32(++expected).b));
                    if (RecvFrame(s) != Bytes{0x12, 0x00}) ++errors;
                } else if (i % 4 == 1) {
                    SendBytes(s, Frame(Req().u8(0x01).cstr(node.c_str()).u8(0).b));
                    Bytes r = RecvFrame(s);
                    if (r.size() != 6 || be_get32(&r[2]) != expected) ++errors;
                } else {
                    SendBytes(s, Frame(Req().u8(0x0C).cstr(".net.LAN.mtu").u8(0).b));
                    if (RecvFrame(s).size() != 67) ++errors;
                }
            }
            SendBytes(s, Frame(Req().u8(0xC2).b));
            RecvN(s, 9);
            close(s);
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(errors.load(), 0);
    for (int i = 0; i < kSessions; ++i) {
        CResource* r = nullptr;
        ASSERT_EQ(tree.OpenResource(CResourcePath((".n" + std::to_string(i)).c_str()), &r, nullptr), ERR_OK);
        CResourceValue v;
        r->Get(v, nullptr);
        EXPECT_EQ(v.GetInt(), kRequests / 2);
        r->Close();
    }
    // Every session task ends once its client has gone.
    EXPECT_TRUE(WaitFor(NoSessionTasks));
}

// A request with more embedded requests than its header counts was sent
// with a count that wrapped (257 items counted as 1): it is refused as a
// whole and none of its items runs, not even the counted one.
TEST_F(Tcp, EmbeddedRequestsBeyondTheHeaderCountAreRefusedUnrun)
{
    const Bytes write = Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be32(1400).b;
    Req wrapped;
    wrapped.u8(0xF4).u8(4).be32(uint32_t(write.size())).raw(write);
    if (write.size() & 1) wrapped.u8(0);
    wrapped.u8(0xF4).u8(4).be32(5).u8(0x47).lstr(".no").u8(0);
    EXPECT_EQ(Once(wrapped.b, 1), (Bytes{0xFF, 0xA9}));
    EXPECT_EQ(Once(Req().u8(0x01).cstr(".net.LAN.mtu").u8(0).b), (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
}

}  // namespace
