// The client resource tree against a scripted server on 127.0.0.1: sessions
// and per-request connections, the list of open resources, version-dependent
// requests, batches of a locked node, bulk operations and refusals that must
// not send anything.
#include <halvex/resource/client_resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_server.h"

using namespace ZYRK;
using testsrv::Bytes;
using testsrv::FakeServer;

namespace {

size_t Count(const std::vector<uint8_t>& codes, uint8_t code) {
    return size_t(std::count(codes.begin(), codes.end(), code));
}

}  // namespace

TEST(ClientTree, SessionInitAndTheProgramsIpChange) {
    FakeServer server(testsrv::CameraHandler(12));
    {
        CClientResourceTree tree;
        ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
        EXPECT_EQ(tree.GetVersion(), 12);
        CResource* method = nullptr;
        ASSERT_EQ(tree.OpenResource(CResourcePath(".services.net.interface.LAN90001.DHCP"), &method, nullptr), 0u);
        CResourceValue on(true);
        EXPECT_EQ(method->Set(on, RES_NOWAIT, 0, nullptr), 0u);
        EXPECT_EQ(method->Close(), 0u);
        CResource* commit = nullptr;
        ASSERT_EQ(tree.OpenResource(CResourcePath(".services.net.interface.LAN90001.commit"), &commit, nullptr), 0u);
        EXPECT_EQ(commit->Set(on, RES_NOWAIT, 50, nullptr), 0u);
        EXPECT_EQ(commit->Close(), 0u);
    }
    std::vector<testsrv::Request> reqs = server.WaitRequests(7);
    ASSERT_EQ(reqs.size(), 7u);
    // Session and version exchange still with the short header.
    EXPECT_EQ(reqs[0].payload, (Bytes{0xC0, 0}));
    EXPECT_EQ(reqs[0].extensions, 0);
    EXPECT_EQ(reqs[1].payload, (Bytes{0xF0}));
    EXPECT_EQ(reqs[2].payload[0], 0x47);
    EXPECT_EQ(reqs[2].extensions, 2);
    EXPECT_EQ(reqs[3].payload[0], 0x14);
    EXPECT_EQ(reqs[4].payload[0], 0x47);
    ASSERT_EQ(reqs[5].payload[0], 0x14);
    EXPECT_EQ(Bytes(reqs[5].payload.begin() + 5, reqs[5].payload.begin() + 9), (Bytes{0, 0, 0, 50}));
    EXPECT_EQ(reqs[6].payload, (Bytes{0xC2}));
    for (const auto& r : reqs) EXPECT_EQ(r.connection, 1);
}

TEST(ClientTree, OpenListCountsAndLazyPurge) {
    FakeServer server(testsrv::CameraHandler(12));
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResource* a = nullptr;
    CResource* b = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a"), &a, nullptr), 0u);
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a"), &b, nullptr), 0u);
    EXPECT_EQ(a, b);
    auto* ca = dynamic_cast<CClientResource*>(a);
    ASSERT_NE(ca, nullptr);
    EXPECT_EQ(ca->GetClientOpenCount(), 2u);
    EXPECT_EQ(Count(server.Codes(), 0x47), 1u);

    // Delete needs exactly one open.
    EXPECT_EQ(a->Delete(RES_NOWAIT, 0, nullptr), 0xAB010002u);
    EXPECT_EQ(a->Close(), 0u);
    EXPECT_EQ(a->Close(), 0u);
    // One close too many: refused, the count stays 0.
    EXPECT_EQ(a->Close(), 0x64010002u);
    EXPECT_EQ(ca->GetClientOpenCount(), 0u);
    // A closed resource is refused for requests but still found by path.
    CResourceValue v;
    EXPECT_EQ(a->Get(v, nullptr), 0xAB010001u);
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a"), &b, nullptr), 0u);
    EXPECT_EQ(b, a);
    EXPECT_EQ(Count(server.Codes(), 0x47), 1u);
    EXPECT_EQ(b->Close(), 0u);

    // Opening another path purges the closed one.
    CResource* c = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".c"), &c, nullptr), 0u);
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a"), &b, nullptr), 0u);
    EXPECT_EQ(Count(server.Codes(), 0x47), 3u);

    CResourcePath rel;
    CResource* abc = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a.b.c"), &abc, nullptr), 0u);
    EXPECT_EQ(tree.GetRelativePath(abc, b, rel, nullptr), 0u);
    EXPECT_STREQ(rel.AsChar(), ".b.c");
    EXPECT_EQ(tree.GetLevelsDown(abc), 3u);
    EXPECT_EQ(tree.GetRelativePath(abc, nullptr, rel, nullptr), 0x64070000u);
    abc->Close();
    b->Close();
    c->Close();
}

TEST(ClientTree, IndexOpensAndVersionRules) {
    FakeServer server(testsrv::CameraHandler(12));
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResource* root = tree.OpenRoot();
    ASSERT_NE(root, nullptr);
    const size_t before = server.Requests().size();
    CResource* child = nullptr;
    EXPECT_EQ(tree.OpenResource(root, 252ul, &child, nullptr), 0x64060000u);
    EXPECT_EQ(child, nullptr);
    EXPECT_EQ(server.Requests().size(), before);
    EXPECT_EQ(tree.SetVersion(13), 0x64060000u);

    // An older version switches to the older requests.
    EXPECT_EQ(tree.SetVersion(1), 0u);
    CResource* x = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".x"), &x, nullptr), 0u);
    CResourceValue v(5);
    EXPECT_EQ(x->Set(v, RES_NOWAIT, 0, nullptr), 0u);
    CResourceValue got;
    EXPECT_EQ(x->Get(got, nullptr), 0u);
    EXPECT_EQ(got.GetInt(), 3);
    // The limits read fails once and is not asked again.
    EXPECT_EQ(x->Get(got, nullptr), 0u);
    std::vector<uint8_t> codes = server.Codes();
    std::vector<uint8_t> tail(codes.begin() + long(before), codes.end());
    EXPECT_EQ(tail, (std::vector<uint8_t>{0x41, 0x11, 0x01, 0x45, 0x01}));
    x->Close();
    root->Close();
}

TEST(ClientTree, OlderServerRefusesIndexOpensWithoutRequest) {
    FakeServer server(testsrv::CameraHandler(7));
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResource* root = tree.OpenRoot();
    ASSERT_NE(root, nullptr);
    const size_t before = server.Requests().size();
    CResource* child = nullptr;
    EXPECT_EQ(root->OpenChild(0ul, &child, nullptr), 0x64060000u);
    EXPECT_EQ(server.Requests().size(), before);
    // Subscription kinds the server's version or the operation cannot take.
    EXPECT_EQ(root->AddSubscr(RES_SUBSCR_T(6), 0, 0, 1, 0, RES_SUBSCR_T(0), 0, 0, nullptr), 0x64060000u);
    EXPECT_EQ(root->RemoveSubscr(RES_SUBSCR_T(6), 0, 0, 1, nullptr), 0x64070000u);
    EXPECT_EQ(root->AddSubscr(RES_SUBSCR_T(0), 0, 0, 1, 0, RES_SUBSCR_T(3), 0, 0, nullptr), 0x64070000u);
    CResourceSet set;
    CResourceValueSet ids, results;
    EXPECT_EQ(tree.AddResourceSubscrs(set, RES_SUBSCR_T(9), 0, 0, ids, 0, results, RES_SUBSCR_T(0), 0, nullptr),
              0x64060000u);
    EXPECT_EQ(tree.AddSubscr(1, RES_SUBSCR_T(11), 0, 0, 0, 0, nullptr), 0x64070000u);
    EXPECT_EQ(server.Requests().size(), before);
    root->Close();
}

TEST(ClientTree, LockedNodeBatchesWritesUntilUnlock) {
    Bytes multi;
    FakeServer server([&](const Bytes& p) -> Bytes {
        if (p[0] == 0x41) {  // the node is structured (kind 5)
            Bytes attr(41, 0);
            attr[0] = 0x42;
            attr[1] = 5;
            return attr;
        }
        if (p[0] == 0x15) {
            multi = p;
            // The second item's type did not match: only its record says so.
            return {0x12, 0, 0, 0, 0, 0, 0, 168, 0, 0, 0, 0};
        }
        return testsrv::CameraHandler(12)(p);
    });
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResource* node = nullptr;
    CResource* a = nullptr;
    CResource* b = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".n"), &node, nullptr), 0u);
    ASSERT_EQ(node->OpenChild(CResourcePath("a"), &a, nullptr), 0u);
    ASSERT_EQ(node->OpenChild(CResourcePath("b"), &b, nullptr), 0u);
    EXPECT_EQ(node->Lock(), 0u);
    const size_t before = server.Requests().size();
    EXPECT_EQ(a->Set(CResourceValue(1), RES_NOWAIT, 0, nullptr), 0u);
    EXPECT_EQ(b->Set(CResourceValue("x"), RES_WAIT, 9, nullptr), 0u);
    EXPECT_EQ(server.Requests().size(), before);
    EXPECT_EQ(node->Unlock(), 0u);
    ASSERT_FALSE(multi.empty());
    // 15, kind 5, 4, len(".n")+1, ".n", first item at 9, len("a")+1.
    EXPECT_EQ(Bytes(multi.begin(), multi.begin() + 9), (Bytes{0x15, 5, 4, 3, '.', 'n', 0, 9, 2}));
    EXPECT_EQ(multi[9], 2);  // int32
    EXPECT_EQ(multi[10], 'a');
    const uint32_t next = be_get32(multi.data() + 12);
    ASSERT_LT(next, multi.size());
    EXPECT_EQ(multi[next], 4);  // ascii
    EXPECT_EQ(multi[next + 1], 'b');
    // Sent once: a second unlock sends nothing.
    EXPECT_EQ(node->Lock(), 0u);
    EXPECT_EQ(node->Unlock(), 0u);
    EXPECT_EQ(Count(server.Codes(), 0x15), 1u);
    a->Close();
    b->Close();
    node->Close();
    auto* cn = dynamic_cast<CClientResource*>(node);
    EXPECT_EQ(cn->GetClientOpenCount(), 0u);
}

TEST(ClientTree, PerRequestModeConnectsForEachRequest) {
    FakeServer server(testsrv::CameraHandler(12));
    {
        CClientResourceTree tree;
        ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), false), 0u);
        CResource* r = nullptr;
        ASSERT_EQ(tree.OpenResource(CResourcePath(".a"), &r, nullptr), 0u);
        CResourceValue v(2);
        EXPECT_EQ(r->Set(v, RES_NOWAIT, 0, nullptr), 0u);
        r->Close();
        // A second Init keeps the first address.
        EXPECT_EQ(tree.Init("127.0.0.2", 1, false), 0u);
    }
    std::vector<testsrv::Request> reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0].payload, (Bytes{0xF0}));
    EXPECT_EQ(reqs[1].payload[0], 0x47);
    EXPECT_EQ(reqs[2].payload[0], 0x14);
    EXPECT_EQ(reqs[3].payload, (Bytes{0xF0}));
    EXPECT_EQ(server.Connections(), 4);
    for (const auto& r : reqs) EXPECT_NE(r.payload[0], 0xC0);
}

TEST(ClientTree, UnreachableServerAndUnknownPaths) {
    uint16_t port;
    {
        testsrv::ScriptServer gone(nullptr);
        port = gone.Port();
    }
    CClientResourceTree tree;
    EXPECT_EQ(tree.Init("127.0.0.1", port, true), 0x64040002u);
    CResource* r = nullptr;
    EXPECT_EQ(tree.OpenResource(CResourcePath(".a"), &r, nullptr), 0x64040002u);
    EXPECT_EQ(r, nullptr);

    FakeServer server([](const Bytes& p) -> Bytes {
        if (p[0] == 0xF0) return {0xF1, 12};
        return {0xFF, 160};
    });
    CClientResourceTree tree2;
    ASSERT_EQ(tree2.Init("127.0.0.1", server.Port(), true), 0u);
    EXPECT_EQ(tree2.OpenResource(CResourcePath(".nope"), &r, nullptr), 0xAB010004u);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(tree2.Authenticate("user", "secret"), 0xAB010004u);
}

TEST(ClientTree, OpenResourcesAndGetResourcesInOneRequestEach) {
    FakeServer server([](const Bytes& p) -> Bytes {
        if (p[0] == 0xF0) return {0xF1, 12};
        if (p[0] == 0x47) return {0x48};
        if (p[0] == 0xF4) {
            Bytes out;
            if (p[6] == 0x47) {
                // first path found, a stray byte, second path not found
                out = {0xF5, 4, 0, 0, 0, 1, 0x48, 0, 0x33, 0xF5, 4, 0, 0, 0, 2, 0xFF, 0xA0};
            } else {
                Bytes attr(41, 0);
                attr[0] = 0x42;
                attr[1] = 2;
                attr[19] = 1;  // hexadecimal hint
                Bytes item = testsrv::Cat({Bytes{0x0D, 0, 0, 41, 0, 6, 0, 0}, attr, Bytes{0x02, 0x02, 0, 0, 0, 0x2A}});
                out = {0xF5, 4, 0, 0, 0, uint8_t(item.size())};
                out.insert(out.end(), item.begin(), item.end());
                if (item.size() & 1) out.push_back(0);
            }
            return out;
        }
        return {0xFF, 166};
    });
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResourceValueSet paths;
    paths.AddVal(CResourceValue(".p1"));
    paths.AddVal(CResourceValue(".p2"));
    CResourceSet* set = nullptr;
    ASSERT_EQ(tree.OpenResources(paths, &set, nullptr), 0u);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->GetNodeCount(), 1u);
    CResource* p1 = nullptr;
    ASSERT_EQ(set->GetNodeByIndex(0, &p1), 0u);
    auto* c1 = dynamic_cast<CClientResource*>(p1);
    ASSERT_NE(c1, nullptr);
    EXPECT_EQ(c1->GetClientOpenCount(), 2u);  // the open and the set's hold

    CResourceValueSet values, results;
    EXPECT_EQ(tree.GetResources(*set, values, results, nullptr), 0u);
    ASSERT_EQ(values.GetValueCount(), 1u);
    CResourceValue* v = nullptr;
    ASSERT_EQ(values.GetValueByIndex(0, &v), 0u);
    EXPECT_EQ(v->GetInt(), 42);
    EXPECT_EQ(v->Hint(), VALUE_HINT_HEX);
    CResourceValue* res = nullptr;
    ASSERT_EQ(results.GetValueByIndex(0, &res), 0u);
    EXPECT_EQ(res->GetInt(), 0);
    EXPECT_EQ(p1->ValueType(), VALUE_TYPE_INT32);  // cached, no request

    // Two requests for the bulk work: one verify-multi, one read-multi.
    std::vector<testsrv::Request> reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[2].extensions, 2 + 2);
    EXPECT_EQ(reqs[3].extensions, 2 + 1);
    tree.CloseResources(*set);
    delete set;
}

// A mount point's value comes from the server: a port that is not hex or
// does not fit 16 bits is refused, never truncated into another port.
TEST(ClientTree, NodeServerRefusesAMountValueWithABadPort) {
    for (const auto& [text, ok] : std::vector<std::pair<std::string, bool>>{
             {"10.0.0.5:1F90", true}, {"10.0.0.5:1f90/tcp", true}, {"10.0.0.5:123456", false}, {"10.0.0.5:FFFFFFFFFFFF", false},
             {"10.0.0.5:", false}, {"10.0.0.5:-1", false}, {"10.0.0.5:12 ", false}, {"10.0.0.5", false}}) {
        FakeServer server([&](const Bytes& p) -> Bytes {
            const std::string path(p.begin() + 1, std::find(p.begin() + 1, p.end(), uint8_t(0)));
            Bytes attr(41, 0);
            attr[0] = 0x42;
            attr[1] = path == ".m" ? 9 : 5;
            switch (p[0]) {
                case 0xF0: return {0xF1, 12};
                case 0x47: return {0x48};
                case 0x41: return attr;
                case 0x0C: {
                    Bytes data = testsrv::Cat({Bytes{0x02, 0x04}, testsrv::Str(text.c_str())});
                    return testsrv::Cat({Bytes{0x0D, 0, 0, 41, 0, uint8_t(data.size()), 0, 0}, attr, data});
                }
                default: return {0xFF, 166};
            }
        });
        CClientResourceTree tree;
        ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
        CResource* leaf = nullptr;
        ASSERT_EQ(tree.OpenResource(CResourcePath(".m.x"), &leaf, nullptr), 0u);
        CText address;
        unsigned short port = 0;
        CResourcePath mount;
        const unsigned long r =
            tree.GetNodeServerAddrPort(dynamic_cast<CClientResource*>(leaf), address, port, mount, nullptr);
        if (ok) {
            EXPECT_EQ(r, 0u) << text;
            EXPECT_EQ(port, 0x1F90) << text;
        } else {
            EXPECT_EQ(r, ERR_BAD_DATA) << text;
        }
        leaf->Close();
    }
}

TEST(ClientTree, NodeServerOfAResourceBelowAMountPoint) {
    auto attrOf = [](uint8_t type) {
        Bytes attr(41, 0);
        attr[0] = 0x42;
        attr[1] = type;
        return attr;
    };
    FakeServer server([&](const Bytes& p) -> Bytes {
        const std::string path(p.begin() + 1, std::find(p.begin() + 1, p.end(), uint8_t(0)));
        switch (p[0]) {
            case 0xF0: return {0xF1, 12};
            case 0x47: return {0x48};
            case 0x41: return attrOf(path == ".m" ? 9 : 5);
            case 0x0C: {
                // The mount point's value: address, port and the TCP flag.
                Bytes data = testsrv::Cat({Bytes{0x02, 0x09}, testsrv::Str("10.0.0.5"), Bytes{0x56, 0x78, 0x01}});
                return testsrv::Cat({Bytes{0x0D, 0, 0, 41, 0, uint8_t(data.size()), 0, 0}, attrOf(9), data});
            }
            default: return {0xFF, 166};
        }
    });
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResource* leaf = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".m.x.y"), &leaf, nullptr), 0u);
    CText address;
    unsigned short port = 0;
    CResourcePath mount;
    ASSERT_EQ(tree.GetNodeServerAddrPort(dynamic_cast<CClientResource*>(leaf), address, port, mount, nullptr), 0u);
    EXPECT_STREQ(address.AsChar(), "10.0.0.5");
    EXPECT_EQ(port, 0x5678);
    EXPECT_STREQ(mount.AsChar(), ".m");

    // Without a mount point on the way: the tree's own server.
    CResource* plain = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a.b"), &plain, nullptr), 0u);
    ASSERT_EQ(tree.GetNodeServerAddrPort(dynamic_cast<CClientResource*>(plain), address, port, mount, nullptr), 0u);
    EXPECT_STREQ(address.AsChar(), "127.0.0.1");
    EXPECT_EQ(port, server.Port());
    EXPECT_STREQ(mount.AsChar(), ".");
    leaf->Close();
    plain->Close();
}
