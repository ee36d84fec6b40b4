// Multi operations, the multiple write, the set dump and notification
// waiting, through a client tree connected to a scripted server on 127.0.0.1.
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/resource/client_resource.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "fake_server.h"

using namespace ZYRK;
using testsrv::Bytes;
using testsrv::FakeServer;

namespace {

// A tree in session mode plus a direct engine connection for the engine's
// own multi operations; resources come from the tree.
struct Bench {
    explicit Bench(FakeServer::Handler h) : server(std::move(h)) {
        EXPECT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
        EXPECT_EQ(lib.Open(), 0);
    }
    ~Bench() { lib.Close(); }
    CResource* Open(const char* path) {
        CResource* r = nullptr;
        EXPECT_EQ(tree.OpenResource(CResourcePath(path), &r, nullptr), 0u);
        return r;
    }
    FakeServer server;
    CClientResourceTree tree;
    CResourceClientLibSocket lib{"127.0.0.1", server.Port()};
    unsigned char send[RES_BUFFER_SIZE] = {};
    unsigned char recv[RES_BUFFER_SIZE] = {};
    ResCommType comm{RES_COMM_TCP, 0, 12};
};

Bytes Reply(std::initializer_list<Bytes> subReplies) {
    Bytes out;
    for (const Bytes& s : subReplies) {
        CBigEndianWriter(out).U8(0xF5).U8(4).U32(uint32_t(s.size())).Bytes(s.data(), s.size());
        if (s.size() & 1) out.push_back(0);
    }
    return out;
}

int IntAt(const CResourceValueSet& set, unsigned long i) {
    CResourceValue* v = nullptr;
    if (set.GetValueByIndex(i, &v) != 0 || !v) return -1;
    return v->GetInt();
}

}  // namespace

TEST(ClientMulti, FailedItemOfAMultipleWrite) {
    Bench b([](const Bytes& p) -> Bytes {
        if (p[0] == 0xF0) return {0xF1, 12};
        if (p[0] == 0x47) return {0x48};
        if (p[0] == 0x15) return {0xFF, 165, 0, 0, 0, 0, 0, 165, 0x64, 0x07, 0x00, 0x03};
        return {0xFF, 166};
    });
    CResource* parent = b.Open(".p");
    CResource* c1 = b.Open(".p.a");
    CResource* c2 = b.Open(".p.b");
    CResourceSet children;
    children.Add(c1);
    children.Add(c2);
    CResourceValueSet values, waits, times;
    values.AddVal(CResourceValue(1));
    values.AddVal(CResourceValue(2));
    waits.AddVal(CResourceValue(0));
    waits.AddVal(CResourceValue(0));
    times.AddVal(CResourceValue(0));
    times.AddVal(CResourceValue(0));
    int r = b.lib.ResWriteDataMulti(b.comm, b.send, b.recv, nullptr, parent, children, values, waits, times);
    EXPECT_EQ(r, 165);
    EXPECT_EQ(CClientResourceTree::ConvertErrcode(r), 0xAB01000Au);
    // Without children nothing is sent.
    CResourceSet none;
    EXPECT_EQ(b.lib.ResWriteDataMulti(b.comm, b.send, b.recv, nullptr, parent, none, values, waits, times),
              int(0x64070000));
    std::vector<uint8_t> codes = b.server.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x15), 1);
    children.RemoveAll();
    c1->Close();
    c2->Close();
    parent->Close();
}

TEST(ClientMulti, DumpSetOfAnEmptySetStillSendsTheFixedPart) {
    Bench b([](const Bytes& p) -> Bytes {
        if (p[0] == 0xF0) return {0xF1, 12};
        if (p[0] == 0x63) return {0x64, 0};
        return {0xFF, 166};
    });
    CResourceSet empty;
    EXPECT_EQ(b.lib.ResDumpSet(b.comm, b.send, b.recv, nullptr, ".s", empty, "f.reg", 0, nullptr, "i", 1, 0, 0,
                               0x01020304),
              0);
    b.lib.Close();
    std::vector<testsrv::Request> reqs = b.server.WaitRequests(3);
    ASSERT_EQ(reqs.size(), 3u);
    const Bytes& p = reqs[2].payload;
    Bytes expect = testsrv::Cat({Bytes{0x63, 0, 0, 10, 0, 13, 0, 19, 0, 0}, testsrv::Str(".s"), testsrv::Str("f.reg"),
                                 testsrv::Str(""), testsrv::Str("i"), Bytes{0, 1, 0, 0, 4, 3, 2, 1}});
    be_put16(expect.data() + 8, uint16_t(expect.size()));
    EXPECT_EQ(p, expect);
}

TEST(ClientMulti, SubscriberMultiResultsByPosition) {
    Bench b([](const Bytes& p) -> Bytes {
        if (p[0] == 0xF0) return {0xF1, 12};
        if (p[0] == 0x47) return {0x48};
        // Two items were sent: the first succeeds, the second carries a code.
        if (p[0] == 0xF4) return Reply({Bytes{0xA1, 0}, Bytes{0xFF, 165, 0xAB, 0x01, 0x00, 0x06}});
        return {0xFF, 166};
    });
    CResource* r1 = b.Open(".r1");
    CResource* r2 = b.Open(".r2");
    CResource* r3 = b.Open(".r3");
    CResourceSet set;
    set.Add(r1);
    set.Add(r2);
    set.Add(r3);
    // The third resource has no identifier: not sent, marked at its place.
    CResourceValueSet ids, results;
    ids.AddVal(CResourceValue(11));
    ids.AddVal(CResourceValue(12));
    EXPECT_EQ(b.lib.ResAddSubscriberMulti(b.comm, b.send, b.recv, nullptr, set, 0, ids, 1, 0x1234, 5, 0, 0, results),
              0);
    ASSERT_EQ(results.GetValueCount(), 3u);
    EXPECT_EQ(IntAt(results, 0), 0);
    EXPECT_EQ(uint32_t(IntAt(results, 1)), 0xAB010006u);
    EXPECT_EQ(uint32_t(IntAt(results, 2)), 0x64070002u);
    set.RemoveAll();
    r1->Close();
    r2->Close();
    r3->Close();
}

TEST(ClientMulti, ManyItemsGrowTheSendBuffer) {
    size_t items = 0;
    Bytes lastPath;
    Bench b([&](const Bytes& p) -> Bytes {
        if (p[0] == 0xF0) return {0xF1, 12};
        if (p[0] != 0xF4) return {0xFF, 166};
        Bytes out;
        testsrv::Bytes copy = p;
        CResEmbeddedWalker walk(copy.data(), copy.size(), RES_EXT_REQUEST);
        const uint8_t* item = nullptr;
        uint32_t len = 0;
        while (walk.Next(&item, &len)) {
            ++items;
            lastPath.assign(item + 2, item + len);
            out.insert(out.end(), {0xF5, 4, 0, 0, 0, 1, 0x48, 0});
        }
        return out;
    });
    CResourceValueSet paths, results;
    for (int i = 0; i < 150; ++i) {
        std::string p = ".services.net.interface.item" + std::to_string(i);
        paths.AddVal(CResourceValue(p.c_str()));
    }
    EXPECT_EQ(b.lib.ResVerifyMulti(b.comm, b.send, b.recv, nullptr, paths, results), 0);
    EXPECT_EQ(items, 150u);
    EXPECT_EQ(std::string(lastPath.begin(), lastPath.end()), ".services.net.interface.item149");
    ASSERT_EQ(results.GetValueCount(), 150u);
    EXPECT_EQ(IntAt(results, 149), 0);
}

TEST(ClientMulti, WaitForNotifyReceivesAndCancels) {
    CClientResourceTree tree;
    const uint16_t port = testsrv::FreeLoopbackPort(SOCK_DGRAM);

    // A cancel socket that is readable ends the wait at once.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    unsigned long id = 0;
    CResourceValue v;
    EXPECT_EQ(tree.WaitForNotify(port, id, v, unsigned(pair[0])), 0u);
    EXPECT_EQ(id, 0xFFFFFFFFul);

    // A datagram sent to the loopback address on that port.
    int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    uint8_t dgram[512] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 7};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(sender, dgram, sizeof dgram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(sizeof dgram));
    EXPECT_EQ(tree.WaitForNotify(port, id, v, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(v.GetInt(), 7);
    ORIGINATOR_T o{};
    v.GetOriginator(o);
    EXPECT_EQ(o.address, 0x7F000001u);
    ::close(sender);
    ::close(pair[0]);
    ::close(pair[1]);
}
