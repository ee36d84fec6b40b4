// Request handlers of the resource server against the in-memory server tree:
// reply bytes and error bytes for each operation.
#include "server_fixture.h"

#include <halvex/platform/errcodes.h>
#include <halvex/platform/users.h>

#include <gtest/gtest.h>

#include <memory>

using namespace ZYRK;
using namespace srvtest;

namespace {

class Handlers : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_user_id(0);
        set_group_id(0);
        BuildTree(tree);
        // No connection leaves the process from these tests.
        tree.SetMountConnector(nullptr);
        task.SetTree(&tree);
    }
    Bytes Do(const Req& r, const USER_IDENT_T& id = LocalRoot(), uint32_t* result = nullptr)
    {
        return srvtest::Run(task, r.b, id, result);
    }
    int ReadInt(const char* path)
    {
        CResource* r = nullptr;
        EXPECT_EQ(tree.OpenResource(CResourcePath(path), &r, nullptr), ERR_OK);
        CResourceValue v;
        EXPECT_EQ(r->Get(v, nullptr), ERR_OK);
        r->Close();
        return v.GetInt();
    }
    std::string ReadText(const char* path)
    {
        CResource* r = nullptr;
        EXPECT_EQ(tree.OpenResource(CResourcePath(path), &r, nullptr), ERR_OK);
        CResourceValue v;
        EXPECT_EQ(r->Get(v, nullptr), ERR_OK);
        r->Close();
        return v.GetAscii() ? v.GetAscii() : "";
    }

    CServerResourceTree tree;
    CResourceServerTask task;
};

const Bytes kFF(uint8_t e) { return {0xFF, e}; }

TEST_F(Handlers, UnknownCodeVersionAndDebugCommand)
{
    EXPECT_EQ(Do(Req().u8(0x99)), kFF(0xA6));
    EXPECT_EQ(Do(Req().u8(0xC0)), kFF(0xA6));
    EXPECT_EQ(Do(Req().u8(0xF0)), (Bytes{0xF1, 0x0C}));
    EXPECT_EQ(Do(Req().u8(0xFA).u8(16).cstr(".net.LAN.mtu")), (Bytes{0xFB}));
    EXPECT_EQ(Do(Req().u8(0xFA).u8(16).cstr(".nope")), kFF(0xA0));
    EXPECT_EQ(Do(Req().u8(0xFA).u8(17).cstr("")), (Bytes{0xFB}));
}

TEST_F(Handlers, ReadDataOfEveryKind)
{
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".net.LAN.mtu").u8(0)), (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".net.LAN.dhcp").u8(0)), (Bytes{0x02, 0x01, 0x00}));
    Bytes text = Do(Req().u8(0x01).cstr(".net.LAN.address").u8(0));
    EXPECT_EQ(text, (Req().u8(0x02).u8(0x04).cstr("192.168.0.2").b));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".net.LAN").u8(0)),
              (Req().u8(0x02).u8(0x05).cstr("address").cstr("mtu").cstr("dhcp").b));
    // A node without children: a single 0 byte; templates are not listed.
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".empty").u8(0)), (Bytes{0x02, 0x05, 0x00}));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".list").u8(0)), (Bytes{0x02, 0x05, 0x00}));
    // The root resolves from "." and from the empty path.
    EXPECT_EQ(Do(Req().u8(0x01).cstr("").u8(0)).at(1), 0x05);
    // Transparent data needs the combined read.
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".blob").u8(1)), kFF(0xA5));
}

TEST_F(Handlers, ReadDataRefusals)
{
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".nope").u8(0)), kFF(0xA0));
    // Owner-only node of user 9: others are refused, the owner and user 0 read.
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".secret").u8(0), Remote(7)), kFF(0xAA));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".secret").u8(0), Remote(9)), (Bytes{0x02, 0x02, 0, 0, 0, 42}));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".secret").u8(0), LocalRoot()), (Bytes{0x02, 0x02, 0, 0, 0, 42}));
    // Allowed but not readable at all.
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".wo").u8(0)), kFF(0xA1));
    // A path without its 0 byte.
    EXPECT_EQ(Do(Req().u8(0x01).u8('.').u8('x')), kFF(0xA9));
}

TEST_F(Handlers, WriteDataLengthsTypesAndLimits)
{
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be32(1400)), (Bytes{0x12, 0x00}));
    EXPECT_EQ(ReadInt(".net.LAN.mtu"), 1400);
    // One byte too long, one too short.
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be32(1300).u8(0)), kFF(0xA9));
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be16(1)), kFF(0xA9));
    EXPECT_EQ(ReadInt(".net.LAN.mtu"), 1400);
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x04).cstr(".net.LAN.mtu").cstr("x")), kFF(0xA8));
    // The wait form carries the timeout after the value.
    EXPECT_EQ(Do(Req().u8(0x13).u8(0x02).cstr(".net.LAN.mtu").be32(1200).be32(50)), (Bytes{0x12, 0x00}));
    EXPECT_EQ(Do(Req().u8(0x13).u8(0x02).cstr(".net.LAN.mtu").be32(1200)), kFF(0xA9));
    EXPECT_EQ(ReadInt(".net.LAN.mtu"), 1200);
    // Outside the range: the tree refuses.
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x02).cstr(".net.LAN.mtu").be32(50)), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x02).cstr(".secret").be32(1), Remote(7)), kFF(0xAA));
    // A text without its 0 byte does not decode.
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x04).cstr(".net.LAN.address").u8('a')), kFF(0xA9));
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x04).cstr(".net.LAN.address").cstr("10.1.1.1")), (Bytes{0x12, 0x00}));
    EXPECT_EQ(ReadText(".net.LAN.address"), "10.1.1.1");
    // Structured nodes cannot be written.
    EXPECT_EQ(Do(Req().u8(0x11).u8(0x05).cstr(".net.LAN").u8(0)), kFF(0xA7));
}

Req WriteEx(const char* path, uint8_t type, const Bytes& body, uint32_t origin = 0x0100007F)
{
    Req r;
    r.u8(0x14).u8(type).u8(19).u8(uint8_t(std::strlen(path) + 1)).u8(0).be32(0);
    r.be32(origin).be16(0x1234).be32(99).cstr(path).raw(body);
    return r;
}

TEST_F(Handlers, WriteDataExCarriesTheTreeResult)
{
    Req ok = WriteEx(".net.LAN.address", 0x04, Req().cstr("eth0").b);
    ASSERT_EQ(ok.b.size(), 19u + 17u + 5u);
    EXPECT_EQ(Do(ok), (Bytes{0x12, 0x00}));
    EXPECT_EQ(ReadText(".net.LAN.address"), "eth0");
    EXPECT_EQ(Do(WriteEx(".net.LAN.mtu", 0x02, Req().be32(5).b)),
              (Bytes{0xFF, 0xA5, 0x64, 0x07, 0x00, 0x03}));
    // The path field must lie inside the request.
    Req bad = WriteEx(".net.LAN.mtu", 0x02, Req().be32(1500).b);
    bad.b[3] = 200;
    EXPECT_EQ(Do(bad), kFF(0xA9));
    EXPECT_EQ(Do(Req().u8(0x14).u8(2).u8(19)), kFF(0xA9));
}

TEST_F(Handlers, TransparentWritesAndCombinedReads)
{
    // By reference: refused from another host, never followed from this one.
    Req ref = Req().u8(0x11).u8(0x08).cstr(".blob").u8(0).be32(5).be32(0).be32(0x1234);
    EXPECT_EQ(Do(ref, Remote(0)), kFF(0xAA));
    EXPECT_EQ(Do(ref, LocalRoot()), kFF(0xA5));
    // By copy.
    Req copy = Req().u8(0x11).u8(0x08).cstr(".blob").u8(1).be32(3).be32(4).be32(0).u8(9).u8(8).u8(7);
    EXPECT_EQ(Do(copy, Remote(0)), (Bytes{0x12, 0x00}));
    Req copyShort = Req().u8(0x11).u8(0x08).cstr(".blob").u8(1).be32(3).be32(4).be32(0).u8(9);
    EXPECT_EQ(Do(copyShort, Remote(0)), kFF(0xA9));

    Bytes r = Do(Req().u8(0x0C).cstr(".blob").u8(1), Remote(0));
    ASSERT_EQ(r.size(), 8u + 41u + 14u + 2u + 3u);
    EXPECT_EQ(r[0], 0x0D);
    EXPECT_EQ(be_get16(&r[2]), 41);
    EXPECT_EQ(be_get16(&r[4]), 14);
    EXPECT_EQ(be_get16(&r[6]), 2);
    const uint8_t* head = &r[8 + 41];
    EXPECT_EQ(head[0], 0x02);
    EXPECT_EQ(head[1], 0x08);
    EXPECT_EQ(be_get32(head + 2), 3u);
    EXPECT_EQ(be_get32(head + 6), 4u);
    EXPECT_EQ(be_get32(head + 10), 0u);
    EXPECT_EQ((Bytes(r.end() - 5, r.end())), (Bytes{0x46, 0x08, 9, 8, 7}));

    // Without a copy, a remote reader gets the permission error as data block.
    Bytes noCopy = Do(Req().u8(0x0C).cstr(".blob").u8(0), Remote(0));
    ASSERT_EQ(noCopy.size(), 8u + 41u + 2u + 2u);
    EXPECT_EQ((Bytes(noCopy.begin() + 49, noCopy.begin() + 51)), kFF(0xAA));
}

TEST_F(Handlers, CombinedReadOfAValueWithLimits)
{
    Bytes r = Do(Req().u8(0x0C).cstr(".net.LAN.mtu").u8(0));
    ASSERT_EQ(r.size(), 8u + 41u + 6u + 12u);
    EXPECT_EQ((Bytes(r.begin(), r.begin() + 8)), (Bytes{0x0D, 0x00, 0x00, 41, 0x00, 6, 0x00, 12}));
    EXPECT_EQ((Bytes(r.begin() + 49, r.begin() + 55)), (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
    EXPECT_EQ((Bytes(r.begin() + 55, r.end())),
              (Bytes{0x46, 0x02, 0x00, 0x02, 0, 0, 0, 100, 0, 0, 0x23, 0x28}));
    // The old form with single-byte lengths; a value without limits gets
    // "unsupported" as limits block.
    Bytes old = Do(Req().u8(0x0A).cstr(".net.LAN.dhcp").u8(0));
    ASSERT_EQ(old.size(), 4u + 41u + 3u + 2u);
    EXPECT_EQ((Bytes(old.begin(), old.begin() + 4)), (Bytes{0x0B, 41, 3, 2}));
    EXPECT_EQ((Bytes(old.end() - 2, old.end())), (Bytes{0x46, 0x01}));
    Bytes noLimits = Do(Req().u8(0x0C).cstr(".net.LAN.address").u8(0));
    EXPECT_EQ((Bytes(noLimits.end() - 2, noLimits.end())), kFF(0xA1));
    EXPECT_EQ(Do(Req().u8(0x0C).cstr(".secret").u8(0), Remote(7)), kFF(0xAA));
    EXPECT_EQ(Do(Req().u8(0x45).lstr(".net.LAN.mtu")),
              (Bytes{0x46, 0x02, 0x00, 0x02, 0, 0, 0, 100, 0, 0, 0x23, 0x28}));
    EXPECT_EQ(Do(Req().u8(0x45).lstr(".net.LAN.address")), kFF(0xA1));
}

TEST_F(Handlers, AttributeBlock)
{
    uint32_t result = 0;
    Bytes b = Do(Req().u8(0x41).cstr(".net.LAN.mtu"), LocalRoot(), &result);
    ASSERT_EQ(b.size(), 41u);
    EXPECT_EQ(result, 42u);  // with the pad byte of an embedded reply
    EXPECT_EQ(b[0], 0x42);
    EXPECT_EQ(b[1], 0x02);
    EXPECT_EQ((Bytes(b.begin() + 2, b.begin() + 8)), (Bytes{1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(be_get32(&b[8]), 0u);  // the handler's own open is not counted
    EXPECT_EQ(b[17], 1);                 // rename allowed
    EXPECT_EQ((Bytes(b.begin() + 23, b.begin() + 31)), (Bytes{1, 1, 0, 0, 1, 0, 0, 0}));
    Bytes node = Do(Req().u8(0x41).cstr(".net.LAN"));
    EXPECT_EQ(node[1], 0x05);
    EXPECT_EQ(be_get32(&node[36]), 3u);
    Bytes secret = Do(Req().u8(0x41).cstr(".secret"));
    EXPECT_EQ(be_get16(&secret[32]), 9);
    EXPECT_EQ(be_get16(&secret[34]), 9);
    // Held elsewhere: the count shows it.
    CResource* held = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".net.LAN.mtu"), &held, nullptr), ERR_OK);
    EXPECT_EQ(be_get32(&Do(Req().u8(0x41).cstr(".net.LAN.mtu"))[8]), 1u);
    held->Close();
}

TEST_F(Handlers, VerifyAndIterate)
{
    EXPECT_EQ(Do(Req().u8(0x47).lstr(".net.LAN")), (Bytes{0x48}));
    EXPECT_EQ(Do(Req().u8(0x47).lstr(".net.WLAN")), kFF(0xA0));
    EXPECT_EQ(Do(Req().u8(0x53).u8(3).lstr(".net.LAN")), kFF(0xA7));
    EXPECT_EQ(Do(Req().u8(0x53).u8(0).lstr(".net.LAN")), (Req().u8(0x54).u8(7).cstr("address").b));
    EXPECT_EQ(Do(Req().u8(0x53).u8(1).lstr(".net.LAN")), (Req().u8(0x54).u8(4).cstr("dhcp").b));
    EXPECT_EQ(Do(Req().u8(0x53).u8(4).lstr(".net.LAN")), (Req().u8(0x54).u8(7).cstr("address").b));
    EXPECT_EQ(Do(Req().u8(0x53).u8(5).lstr(".net.LAN")), (Req().u8(0x54).u8(3).cstr("mtu").b));
    EXPECT_EQ(Do(Req().u8(0x53).u8(2).lstr(".net.LAN.mtu")), (Req().u8(0x54).u8(4).cstr("dhcp").b));
    EXPECT_EQ(Do(Req().u8(0x53).u8(2).lstr(".net.LAN.dhcp")), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x53).u8(9).lstr(".net.LAN")), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x53).u8(0).lstr(".empty")), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x53).u8(0).lstr(".nope")), kFF(0xA0));
    EXPECT_EQ(Do(Req().u8(0x53).u8(0).u8(40).u8('.')), kFF(0xA9));
}

TEST_F(Handlers, RenamePassesWaitAndTimeout)
{
    std::vector<std::pair<std::string, unsigned long>> seen;
    tree.SetChangeHook([&seen](const SERVER_TREE_EVENT_T& e) {
        if (e.kind == SERVER_TREE_EVENT_T::RENAME) {
            seen.emplace_back(e.path, e.wait == RES_WAIT ? e.waitTime : 0xFFFFFFFFUL);
        }
    });
    EXPECT_EQ(Do(Req().u8(0x93).u8(0x02).lstr(".net.LAN.mtu").cstr("MTU").be32(0x1234)), (Bytes{0x92, 0x00}));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, ".net.LAN.MTU");
    EXPECT_EQ(seen[0].second, 0x1234u);
    EXPECT_EQ(Do(Req().u8(0x47).lstr(".net.LAN.MTU")), (Bytes{0x48}));
    EXPECT_EQ(Do(Req().u8(0x91).u8(0x04).lstr(".net.LAN.MTU").cstr("mtu")), kFF(0xA8));
    EXPECT_EQ(Do(Req().u8(0x91).u8(0x02).lstr(".net.LAN.MTU").cstr("address")), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x91).u8(0x02).lstr(".net.LAN.MTU").cstr("a.b")), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x91).u8(0x02).lstr(".net.LAN.MTU").cstr("mtu")), (Bytes{0x92, 0x00}));
    EXPECT_EQ(seen.back().second, 0xFFFFFFFFUL);  // the plain form does not wait
}

TEST_F(Handlers, CreateAndDeleteInstances)
{
    const size_t before = tree.LiveNodeCount();
    EXPECT_EQ(Do(Req().u8(0x24).cstr(".list").cstr("cam1")), (Req().u8(0x22).u8(0).cstr(".list.cam1").b));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".list.cam1.x").u8(0)), (Bytes{0x02, 0x02, 0, 0, 0, 7}));
    EXPECT_EQ(Do(Req().u8(0x25).cstr(".list").cstr("cam1").be32(10)), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x21).cstr(".list")), (Req().u8(0x22).u8(0).cstr(".list.0").b));
    EXPECT_EQ(tree.LiveNodeCount(), before + 4);
    // Shorter than its template path: the reply is abandoned.
    uint32_t result = 0;
    EXPECT_TRUE(Do(Req().u8(0x24).u8('.').u8('l'), LocalRoot(), &result).empty());
    EXPECT_EQ(result, ERR_BAD_DATA);

    // A node held by someone else is not deleted.
    CResource* held = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".list.cam1.x"), &held, nullptr), ERR_OK);
    EXPECT_EQ(Do(Req().u8(0x31).cstr(".list.cam1")), kFF(0xA5));
    held->Close();
    EXPECT_EQ(Do(Req().u8(0x33).cstr(".list.cam1").be32(20)), (Bytes{0x32, 0x00}));
    EXPECT_EQ(Do(Req().u8(0x47).lstr(".list.cam1")), kFF(0xA0));
    EXPECT_EQ(Do(Req().u8(0x31).cstr(".list.0")), (Bytes{0x32, 0x00}));
    EXPECT_EQ(tree.LiveNodeCount(), before);
    EXPECT_EQ(Do(Req().u8(0x31).cstr(".")), kFF(0xA4));
    EXPECT_EQ(Do(Req().u8(0x31).cstr(".secret"), Remote(7)), kFF(0xAA));
}

TEST_F(Handlers, DeletedNodeStaysValidForItsHolder)
{
    CResource* held = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".net.LAN.dhcp"), &held, nullptr), ERR_OK);
    ASSERT_EQ(held->Delete(RES_NOWAIT, 0, nullptr), ERR_OK);
    CResourceValue v;
    EXPECT_EQ(held->Get(v, nullptr), ERR_RES_NOT_IN_TREE);
    EXPECT_EQ(held->Set(CResourceValue(true), RES_NOWAIT, 0, nullptr), ERR_RES_NOT_IN_TREE);
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".net.LAN").u8(0)), (Req().u8(0x02).u8(0x05).cstr("address").cstr("mtu").b));
    held->Close();
}

Req MultiItems(const char* parent, const std::vector<std::tuple<uint8_t, const char*, Bytes>>& items)
{
    Req r;
    r.u8(0x15).u8(0x05).u8(4).u8(uint8_t(std::strlen(parent) + 1)).cstr(parent);
    size_t first = r.b.size() + 2;
    r.u8(uint8_t(first)).u8(uint8_t(std::strlen(std::get<1>(items[0])) + 1));
    for (size_t i = 0; i < items.size(); ++i) {
        const auto& [type, name, body] = items[i];
        r.u8(type).cstr(name);
        size_t nextAt = r.b.size();
        r.be32(0).u8(0).u8(0).be32(0).be32(0x0100007F).be16(1).be32(2).raw(body);
        if (i + 1 < items.size()) {
            be_put32(&r.b[nextAt], uint32_t(r.b.size()));
            r.b[nextAt + 4] = uint8_t(std::strlen(std::get<1>(items[i + 1])) + 1);
        }
    }
    return r;
}

TEST_F(Handlers, WriteDataMultiRecordsPerItem)
{
    Req ok = MultiItems(".net.LAN", {{0x02, "mtu", Req().be32(1400).b},
                                     {0x04, "address", Req().cstr("10.0.0.9").b},
                                     {0x02, "dhcp", Req().be32(1).b},
                                     {0x02, "nope", Req().be32(1).b}});
    Bytes r = Do(ok);
    EXPECT_EQ(r, (Bytes{0x12, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA8, 0, 0, 0, 0, 0xA0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadInt(".net.LAN.mtu"), 1400);
    EXPECT_EQ(ReadText(".net.LAN.address"), "10.0.0.9");

    Req fail = MultiItems(".net.LAN", {{0x02, "mtu", Req().be32(5).b}, {0x01, "dhcp", Bytes{1}}});
    EXPECT_EQ(Do(fail), (Bytes{0xFF, 0xA5, 0xA5, 0x64, 0x07, 0x00, 0x03, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadInt(".net.LAN.mtu"), 1400);

    // A chain that points back at itself ends instead of looping.
    Req loop = MultiItems(".net.LAN", {{0x02, "mtu", Req().be32(1600).b}, {0x02, "mtu", Req().be32(1700).b}});
    size_t firstItem = loop.b[13];
    be_put32(&loop.b[firstItem + 1 + 4], uint32_t(firstItem));
    Bytes lr = Do(loop);
    EXPECT_EQ(lr[0], 0xFF);
    EXPECT_EQ(Do(Req().u8(0x15).u8(0x05).u8(4).u8(13).cstr(".net.LAN.mtu").u8(0).u8(0)), kFF(0xA8));
    EXPECT_EQ(Do(Req().u8(0x15).u8(0x05).u8(4).u8(60).cstr(".net")), kFF(0xA9));
}

TEST_F(Handlers, CheckPrefixMountPath)
{
    CResourcePath p(".sub.x");
    CResourceServerTask::CheckPrefixMountPath(".cam.sub", p);
    EXPECT_STREQ(p.AsChar(), ".cam.sub.x");
    CResourcePath same(".cam.x.y");
    CResourceServerTask::CheckPrefixMountPath(".cam.x", same);
    EXPECT_STREQ(same.AsChar(), ".cam.x.y");
    CResourcePath rel(".y");
    CResourceServerTask::CheckPrefixMountPath("cam", rel);
    EXPECT_STREQ(rel.AsChar(), ".cam.y");
    // A longer first name that only starts alike still gets the prefix.
    CResourcePath alike(".camera.z");
    CResourceServerTask::CheckPrefixMountPath(".cam.z", alike);
    EXPECT_STREQ(alike.AsChar(), ".cam.camera.z");
}

TEST_F(Handlers, SetAttributesChangesTransmittedBitsOnly)
{
    // Owner get only, not recursive; group and others rights stay.
    Req r = Req().u8(0x43).lstr(".net.LAN.mtu").u8(1).u8(0).u8(0).u8(0).u8(0).u8(1).u8(0).u8(0);
    r.u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0);
    EXPECT_EQ(Do(r), (Bytes{0x44, 0x00}));
    CResource* res = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".net.LAN.mtu"), &res, nullptr), ERR_OK);
    EXPECT_EQ(res->GetAttr(), RES_ATTR_OWNER_GET | RES_ATTR_PERSISTENT | RES_ATTR_GROUP_GET | RES_ATTR_GROUP_SET |
                                  RES_ATTR_OTHERS_GET);
    res->Close();
    EXPECT_EQ(Do(Req().u8(0x43).lstr(".net.LAN.mtu").u8(1)), kFF(0xA9));
}

TEST_F(Handlers, PersistenceIsRefusedCleanly)
{
    EXPECT_EQ(Do(Req().u8(0x61).lstr(".net").cstr("dump.reg")), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x61).lstr(".nope").cstr("dump.reg")), kFF(0xA0));
    EXPECT_EQ(Do(Req().u8(0x71).lstr(".net").cstr("dump.reg").u8(1).u8(0).cstr("")), kFF(0xA5));
    Req set;
    set.u8(0x63).u8(0).be16(10).be16(15).be16(17).be16(0);
    set.cstr(".net").cstr("f").cstr("").cstr("").u8(0).u8(0).u8(0).u8(0).be32(0).cstr(".net.LAN").cstr(".nope");
    be_put16(&set.b[8], 27);
    EXPECT_EQ(Do(set), (Bytes{0x64, 0x00}));
    set.b[9] = 0xF0;
    EXPECT_EQ(Do(set), kFF(0xA9));
}

TEST_F(Handlers, MountPointsWithAndWithoutAConnection)
{
    EXPECT_EQ(Do(Req().u8(0xE0).lstr(".").lstr("cam2").lstr("127.0.0.1").be16(0x5678).u8(0)), kFF(0xA5));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".cam2Fail").u8(0)), (Bytes{0x02, 0x02, 0x64, 0x06, 0x00, 0x00}));
    EXPECT_EQ(Do(Req().u8(0xE0).lstr(".net.LAN.mtu").lstr("m").lstr("127.0.0.1").be16(1).u8(0)), kFF(0xA8));

    tree.SetMountConnector([](const char*, uint16_t, const char*, CResourceTree** out) {
        auto* other = new CServerResourceTree;
        BuildTree(*other);
        *out = other;
        return 0UL;
    });
    EXPECT_EQ(Do(Req().u8(0xE0).lstr(".").lstr("cam2").lstr("127.0.0.1").be16(0x5678).u8(0)), (Bytes{0xE1, 0x00}));
    EXPECT_EQ(Do(Req().u8(0xE0).lstr(".").lstr("net").lstr("127.0.0.1").be16(0x5678).u8(0)), kFF(0xAD));
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".cam2").u8(0)),
              (Req().u8(0x02).u8(0x09).cstr("127.0.0.1").be16(0x5678).u8(0x01).b));
    // Below the mount point the mounted tree answers.
    EXPECT_EQ(Do(Req().u8(0x01).cstr(".cam2.net.LAN.mtu").u8(0)), (Bytes{0x02, 0x02, 0x00, 0x00, 0x05, 0xDC}));
    EXPECT_EQ(Do(Req().u8(0x24).cstr(".cam2.list").cstr("i")), (Req().u8(0x22).u8(0).cstr(".cam2.list.i").b));
    // Mounting again over the existing mount point rebinds it.
    EXPECT_EQ(Do(Req().u8(0xE0).lstr(".").lstr("cam2").lstr("127.0.0.1").be16(0x5678).u8(0)), (Bytes{0xE1, 0x00}));
    EXPECT_EQ(Do(Req().u8(0xE2).lstr(".net").u8(0)), kFF(0xA8));
    EXPECT_EQ(Do(Req().u8(0xE2).lstr(".cam2").u8(0)), (Bytes{0xE3, 0x00}));
    EXPECT_EQ(Do(Req().u8(0x47).lstr(".cam2")), kFF(0xA0));
}

TEST_F(Handlers, TruncatedRequestsNeverReadPastTheirEnd)
{
    const std::vector<Bytes> requests = {
        Req().u8(0x01).cstr(".net.LAN.mtu").u8(0).b,
        Req().u8(0x0C).cstr(".blob").u8(1).b,
        Req().u8(0x11).u8(0x04).cstr(".net.LAN.address").cstr("1.2.3.4").b,
        WriteEx(".net.LAN.mtu", 0x02, Req().be32(1500).b).b,
        MultiItems(".net.LAN", {{0x02, "mtu", Req().be32(1400).b}, {0x01, "dhcp", Bytes{1}}}).b,
        Req().u8(0x24).cstr(".list").cstr("t").be32(1).b,
        Req().u8(0x93).u8(0x02).lstr(".net.LAN.mtu").cstr("m").be32(1).b,
        Req().u8(0x43).lstr(".net").u8(1).u8(1).u8(1).u8(1).u8(0).u8(0).u8(0).u8(0).u8(1).u8(1).b,
        Req().u8(0xA0).be32(1).be16(9).u8(0).u8(0).lstr(".net.LAN.mtu").be32(0).b,
        Req().u8(0xA0).be32(1).u8(0).u8(1).u8(0).u8(1).be32(5).be32(6).lstr(".net").be32(0).be32(0).be32(0).b,
        Req().u8(0xA4).u8(0).be16(9).be16(0).u8(0).be32(2).be32(0).be32(0).u8(0).b,
        Req().u8(0xE0).lstr(".").lstr("m").lstr("127.0.0.1").be16(1).u8(0).b,
        Req().u8(0x61).lstr(".net").cstr("f").cstr("CRC32").cstr("i").u8(0).u8(0).u8(0).u8(0).be32(0).b,
    };
    for (const Bytes& full : requests) {
        for (size_t len = 1; len < full.size(); ++len) {
            // A copy of exactly len bytes, so that a read past it is caught.
            std::unique_ptr<uint8_t[]> cut(new uint8_t[len]);
            std::memcpy(cut.get(), full.data(), len);
            task.Reply().Flush();
            uint32_t r = task.ProcessData(cut.get(), uint32_t(len), Remote(0));
            Bytes reply = task.Reply().Bytes();
            EXPECT_TRUE(r >= RES_HANDLER_ERROR_BASE || !reply.empty()) << "code " << int(full[0]) << " len " << len;
        }
    }
    task.Reply().Flush();
}

}  // namespace
