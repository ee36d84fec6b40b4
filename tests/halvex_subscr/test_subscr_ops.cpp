// Subscriptions, searches, bulk operations and mounts of the client tree
// against the library's own resource server on 127.0.0.1.
#include "subscr_fixture.h"

#include <halvex/client/resourceclientlib.h>
#include <halvex/platform/syslogext.h>

#include <sys/socket.h>

#include <memory>
#include <set>
#include <vector>

using namespace ZYRK;
using namespace subscrtest;

namespace {

void BuildTree(CServerResourceTree& t)
{
    t.AddNode(".net", RES_TYPE_STRUCT);
    t.AddNode(".net.LAN", RES_TYPE_STRUCT);
    t.AddValue(".net.LAN.address", CResourceValue("192.168.0.2"));
    t.AddValue(".net.LAN.mtu", CResourceValue(1500, 100, 9000));
    t.AddValue(".net.LAN.dhcp", CResourceValue(false));
    t.AddNode(".net.WLAN", RES_TYPE_STRUCT2);
    t.AddValue(".net.WLAN.Dhcp", CResourceValue(true));
    t.AddValue(".net.dhcpserver", CResourceValue(false));
    t.AddValue(".dhcp", CResourceValue(1));
    t.AddNode(".many", RES_TYPE_STRUCT);
    for (int i = 0; i < 50; ++i) {
        t.AddValue((".many.v" + std::to_string(i)).c_str(), CResourceValue(i * 3));
    }
}

class Subscr : public ::testing::Test {
protected:
    void SetUp() override
    {
        BuildTree(tree);
        server = std::make_unique<Server>(tree);
        ASSERT_NE(server->Port(), 0);
        ASSERT_EQ(client.Init("127.0.0.1", server->Port(), true), ERR_OK);
    }
    CServerResourceTree tree;
    std::unique_ptr<Server> server;
    CClientResourceTree client;
};

// Ends a WaitForNotify after a while should the datagram never come.
struct CancelAfter {
    explicit CancelAfter(int seconds)
    {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        watchdog = std::thread([this, seconds] {
            WaitFor([this] { return done.load(); }, seconds * 10);
            char c = 1;
            (void)!write(fds[1], &c, 1);
        });
    }
    ~CancelAfter()
    {
        done = true;
        watchdog.join();
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2] = {-1, -1};
    std::atomic<bool> done{false};
    std::thread watchdog;
};

unsigned long ServerSubscribers(CServerResourceTree& tree, const char* path)
{
    CResource* r = Open(tree, path);
    if (!r) return ~0ul;
    unsigned long n = r->GetNumSubscr();
    r->Close();
    return n;
}

std::vector<std::string> g_lines;
void Collect(int, const char* line, int length, int) { g_lines.emplace_back(line, size_t(length)); }

uint16_t FreeUdpPort()
{
    uint16_t port = 0;
    int s = UdpSocket(port);
    close(s);
    return port;
}

TEST_F(Subscr, UdpSubscriptionDeliversTheWrittenValue)
{
    CResource* mtu = Open(client, ".net.LAN.mtu");
    ASSERT_NE(mtu, nullptr);
    const uint16_t port = FreeUdpPort();
    ASSERT_EQ(mtu->AddSubscr(RES_SUBSCR_UDP, 0, port, 0x1234, 0, RES_SUBSCR_NOREPLY, 0, 0, nullptr), ERR_OK);
    // The same subscription twice is refused by the server.
    EXPECT_NE(mtu->AddSubscr(RES_SUBSCR_UDP, 0, port, 0x1234, 0, RES_SUBSCR_NOREPLY, 0, 0, nullptr), ERR_OK);
    EXPECT_EQ(ServerSubscribers(tree, ".net.LAN.mtu"), 1u);
    mtu->DumpSubscr();  // the server prints the list; the request has no answer to check

    // Bind the notification socket first, then write from another client.
    CancelAfter cancel(10);
    unsigned long id = 0;
    CResourceValue value;
    std::thread writer([this] {
        CClientResourceTree other;
        ASSERT_EQ(other.Init("127.0.0.1", server->Port(), true), ERR_OK);
        CResource* r = Open(other, ".net.LAN.mtu");
        ASSERT_NE(r, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(r->Set(CResourceValue(1400), RES_NOWAIT, 0, nullptr), ERR_OK);
        r->Close();
    });
    EXPECT_EQ(client.WaitForNotify(port, id, value, unsigned(cancel.fds[0])), 0u);
    writer.join();
    EXPECT_EQ(id, 0x1234u);
    EXPECT_EQ(value.Type(), VALUE_TYPE_INT32);
    EXPECT_EQ(value.GetInt(), 1400);
    ORIGINATOR_T origin{};
    ASSERT_EQ(value.GetOriginator(origin), ERR_OK);
    EXPECT_EQ(origin.address, 0x7F000001u);
    EXPECT_NE(origin.port, 0);

    // The debug command's list, printed on the server's side.
    CResource* local = Open(tree, ".net.LAN.mtu");
    ASSERT_NE(local, nullptr);
    g_lines.clear();
    SYSLOG_APPENDER_T before = InstallThreadAppender(Collect);
    local->DumpSubscr();
    InstallThreadAppender(before);
    local->Close();
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_NE(g_lines[0].find(".net.LAN.mtu, 1 subscriber(s)"), std::string::npos) << g_lines[0];
    EXPECT_NE(g_lines[1].find("UDP (9) destination=0x0100007F port=" + std::to_string(port) + " id=4660"),
              std::string::npos)
        << g_lines[1];

    // Removed: the next write sends nothing, the count is back to 0.
    EXPECT_EQ(mtu->RemoveSubscr(RES_SUBSCR_UDP, 0, port, 0x1234, nullptr), ERR_OK);
    EXPECT_EQ(ServerSubscribers(tree, ".net.LAN.mtu"), 0u);
    mtu->Close();
}

TEST_F(Subscr, RefusalsWithoutRequest)
{
    CResource* mtu = Open(client, ".net.LAN.mtu");
    ASSERT_NE(mtu, nullptr);
    EXPECT_EQ(mtu->RemoveSubscr(RES_SUBSCR_QUEUE_AGGR, 0, 0, 1, nullptr), ERR_BAD_DATA);
    EXPECT_EQ(mtu->AddSubscr(static_cast<RES_SUBSCR_T>(12), 0, 0, 1, 0, RES_SUBSCR_NOREPLY, 0, 0, nullptr),
              ERR_BAD_DATA);
    EXPECT_EQ(mtu->AddSubscr(RES_SUBSCR_UDP, 0, 1, 1, 0, static_cast<RES_SUBSCR_T>(3), 0, 0, nullptr), ERR_BAD_DATA);
    CResourceSet set;
    set.Add(mtu);
    CResourceValueSet ids, results;
    ids << CResourceValue(1);
    EXPECT_EQ(client.AddResourceSubscrs(set, RES_SUBSCR_UDP, 0, 1, ids, 0, results, RES_SUBSCR_NOREPLY, 0, nullptr),
              ERR_UNSUPPORTED);
    EXPECT_EQ(results.GetValueCount(), 0u);
    ASSERT_EQ(client.SetVersion(11), ERR_OK);
    EXPECT_EQ(mtu->AddSubscr(RES_SUBSCR_QUEUE_AGGR, 0, 0, 1, 0, RES_SUBSCR_NOREPLY, 0, 0, nullptr),
              ERR_UNSUPPORTED);
    ASSERT_EQ(client.SetVersion(12), ERR_OK);
    // None of them reached the server.
    EXPECT_EQ(ServerSubscribers(tree, ".net.LAN.mtu"), 0u);
    set.RemoveAll();
    mtu->Close();
}

TEST(SubscrNotify, ReadableCancelSocketEndsTheWait)
{
    CClientResourceTree client;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    char c = 1;
    ASSERT_EQ(write(fds[1], &c, 1), 1);
    unsigned long id = 0;
    CResourceValue value;
    EXPECT_EQ(client.WaitForNotify(FreeUdpPort(), id, value, unsigned(fds[0])), 0u);
    EXPECT_EQ(id, 0xFFFFFFFFul);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(Subscr, FindResourcesBelowStructuredNodesAndMountPoints)
{
    CServerResourceTree other;
    other.AddNode(".cfg", RES_TYPE_STRUCT);
    other.AddValue(".cfg.dhcp", CResourceValue(7));
    other.AddValue(".dhcp_not", CResourceValue(0));
    Server otherServer(other);
    ASSERT_NE(otherServer.Port(), 0);
    CResource* root = client.OpenRoot();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(client.MountSubtree(root, CResourcePath("cam2"), otherServer.Port(), nullptr), ERR_OK);

    CResourceSet* found = nullptr;
    ASSERT_EQ(client.FindResources(CResourcePath("DHCP"), root, MATCH_NAME, CASE_INSENSITIVE, EXACT_MATCH, &found,
                                   nullptr),
              ERR_OK);
    ASSERT_NE(found, nullptr);
    std::set<std::string> paths;
    for (unsigned long i = 0; i < found->GetNodeCount(); ++i) {
        CResource* r = nullptr;
        ASSERT_EQ(found->GetNodeByIndex(i, &r), ERR_OK);
        CResourcePath p;
        ASSERT_EQ(client.GetAbsolutePath(r, p, nullptr), ERR_OK);
        paths.insert(p.AsChar());
    }
    EXPECT_EQ(paths, (std::set<std::string>{".dhcp", ".net.LAN.dhcp", ".net.WLAN.Dhcp", ".cam2.cfg.dhcp"}));
    delete found;

    // Case-sensitive and partial: only the lower-case names containing it.
    ASSERT_EQ(client.FindResources(CResourcePath("dhcp"), root, MATCH_NAME, CASE_SENSITIVE, SUBSTRING_MATCH, &found,
                                   nullptr),
              ERR_OK);
    EXPECT_EQ(found->GetNodeCount(), 5u);  // .dhcp, LAN.dhcp, dhcpserver, cam2.cfg.dhcp, cam2.dhcp_not
    delete found;
    EXPECT_EQ(client.FindResources(CResourcePath("x"), nullptr, MATCH_NAME, CASE_SENSITIVE, EXACT_MATCH, &found,
                                   nullptr),
              ERR_BAD_DATA);
    EXPECT_EQ(client.UnmountSubtree(root, CResourcePath("cam2"), nullptr), ERR_OK);
    root->Close();
}

TEST_F(Subscr, OpenAndReadFiftyResourcesInOneRequestEach)
{
    CResourceValueSet paths;
    for (int i = 0; i < 50; ++i) {
        paths << CResourceValue((".many.v" + std::to_string(i)).c_str());
    }
    paths << CResourceValue(".many.missing");
    CResourceSet* set = nullptr;
    ASSERT_EQ(client.OpenResources(paths, &set, nullptr), ERR_OK);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->GetNodeCount(), 50u);

    CResourceValueSet values, results;
    ASSERT_EQ(client.GetResources(*set, values, results, nullptr), ERR_OK);
    ASSERT_EQ(values.GetValueCount(), 50u);
    ASSERT_EQ(results.GetValueCount(), 50u);
    for (unsigned long i = 0; i < 50; ++i) {
        CResourceValue* v = nullptr;
        ASSERT_EQ(values.GetValueByIndex(i, &v), ERR_OK);
        EXPECT_EQ(v->GetInt(), int(i) * 3) << i;
        ASSERT_EQ(results.GetValueByIndex(i, &v), ERR_OK);
        EXPECT_EQ(v->GetInt(), 0) << i;
    }
    // Held twice each: the open (closed here) and the set's own hold.
    EXPECT_EQ(client.CloseResources(*set), ERR_OK);
    EXPECT_EQ(set->GetNodeCount(), 50u);
    delete set;
}

TEST_F(Subscr, MountedServerIsReadAndWrittenThroughTheFirst)
{
    CServerResourceTree other;
    other.AddNode(".sensor", RES_TYPE_STRUCT);
    other.AddValue(".sensor.gain", CResourceValue(4));
    other.AddValue(".sensor.name", CResourceValue("core"));
    Server otherServer(other);
    ASSERT_NE(otherServer.Port(), 0);
    CResource* net = Open(client, ".net");
    ASSERT_NE(net, nullptr);
    ASSERT_EQ(client.MountSubtree(net, CResourcePath("cam2"), otherServer.Port(), nullptr), ERR_OK);

    CResource* gain = Open(client, ".net.cam2.sensor.gain");
    ASSERT_NE(gain, nullptr);
    CResourceValue v;
    ASSERT_EQ(gain->Get(v, nullptr), ERR_OK);
    EXPECT_EQ(v.GetInt(), 4);
    EXPECT_EQ(gain->Set(CResourceValue(9), RES_NOWAIT, 0, nullptr), ERR_OK);
    gain->Close();
    CResource* local = Open(other, ".sensor.gain");
    ASSERT_NE(local, nullptr);
    ASSERT_EQ(local->Get(v, nullptr), ERR_OK);
    EXPECT_EQ(v.GetInt(), 9);
    local->Close();
    CResource* name = Open(client, ".net.cam2.sensor.name");
    ASSERT_NE(name, nullptr);
    ASSERT_EQ(name->Get(v, nullptr), ERR_OK);
    EXPECT_STREQ(v.GetAscii(), "core");
    name->Close();

    EXPECT_EQ(client.UnmountSubtree(net, CResourcePath("cam2"), nullptr), ERR_OK);
    CResource* gone = nullptr;
    EXPECT_EQ(client.OpenResource(CResourcePath(".net.cam2.sensor.gain"), &gone, nullptr), ERR_RES_NOT_IN_TREE);
    net->Close();
}

}  // namespace
