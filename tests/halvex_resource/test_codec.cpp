#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_codec.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Body(const CResourceValue& v)
{
    uint8_t buf[256];
    size_t n = 0;
    EXPECT_EQ(res_encode_value_body(v, buf, sizeof buf, &n), RES_CODEC_OK);
    return Bytes(buf, buf + n);
}

Bytes LimitsOf(const CResourceValue& v)
{
    uint8_t buf[256];
    size_t n = 0;
    EXPECT_EQ(res_encode_limits(v, buf, sizeof buf, &n), RES_CODEC_OK);
    return Bytes(buf, buf + n);
}

}  // namespace

TEST(ValueCodec, FixedBodies)
{
    EXPECT_EQ(Body(CResourceValue(-2)), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(Body(CResourceValue(1.0)), (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Body(CResourceValue(true)), (Bytes{0x01}));
    EXPECT_EQ(Body(CResourceValue(false)), (Bytes{0x00}));
    EXPECT_EQ(Body(CResourceValue("")), (Bytes{0x00}));
    EXPECT_EQ(Body(CResourceValue(L"")), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Body(CResourceValue("ab")), (Bytes{'a', 'b', 0}));
    EXPECT_EQ(Body(CResourceValue(L"ab")), (Bytes{'a', 0, 'b', 0, 0, 0}));
    // A text without storage still goes out as the empty text.
    CResourceValue copyOfType(VALUE_TYPE_ASCII);
    EXPECT_EQ(Body(copyOfType), (Bytes{0x00}));
    // Types that are not values cannot be written.
    uint8_t buf[16];
    size_t n = 99;
    EXPECT_EQ(res_encode_value_body(CResourceValue(static_cast<VALUE_TYPE_T>(5)), buf, sizeof buf, &n),
              RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(res_encode_value_body(CResourceValue("long text"), buf, 4, &n), RES_CODEC_NO_ROOM);
}

TEST(ValueCodec, TransparentInTwoFragments)
{
    char head[3] = {1, 2, 3}, tail[2] = {4, 5};
    CResourceValue v(head, 3, COPY_TYPE_COPY, VALUE_HINT_NONE, 0x01020304);
    ASSERT_EQ(v.AddFragment(tail, 2, COPY_TYPE_COPY), 0u);
    EXPECT_EQ(Body(v), (Bytes{0x01, 0, 0, 0, 5, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0}));
    uint8_t data[8];
    size_t n = 0;
    ASSERT_EQ(res_encode_fragments(v, data, sizeof data, &n), RES_CODEC_OK);
    EXPECT_EQ(Bytes(data, data + n), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(res_encode_fragments(v, data, 4, &n), RES_CODEC_NO_ROOM);

    // By reference: copy flag 0 and an address, no data.
    CResourceValue ref(head, 3, COPY_TYPE_REFERENCE);
    Bytes b = Body(ref);
    ASSERT_EQ(b.size(), 13u);
    EXPECT_EQ(b[0], 0);
    EXPECT_NE(b[9] | b[10] | b[11] | b[12], 0);

    // The reply form carries the data right after its 12-byte preamble.
    uint8_t reply[32];
    ASSERT_EQ(res_encode_reply_value_body(v, reply, sizeof reply, &n), RES_CODEC_OK);
    EXPECT_EQ(Bytes(reply, reply + n), (Bytes{0, 0, 0, 5, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 1, 2, 3, 4, 5}));
    CResourceValue back(VALUE_TYPE_INT32);
    ASSERT_EQ(res_decode_value_body(RES_WIRE_TRANSPARENT, reply, n, back, 12), RES_CODEC_OK);
    EXPECT_EQ(back.Type(), VALUE_TYPE_TRANSPARENT);
    EXPECT_EQ(back.CopyType(), COPY_TYPE_COPY);
    EXPECT_EQ(back.GetRevision(), 0x01020304u);
    EXPECT_EQ(back.Compare(CResourceValue(reinterpret_cast<char*>(reply + 12), 5, COPY_TYPE_COPY,
                                          VALUE_HINT_NONE, 0x01020304)),
              0u);
}

TEST(ValueCodec, TransparentReplyRules)
{
    // Size and data disagree: the value stays without data.
    uint8_t lying[] = {0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0, 'a', 'b'};
    CResourceValue v;
    ASSERT_EQ(res_decode_value_body(RES_WIRE_TRANSPARENT, lying, sizeof lying, v, 12), RES_CODEC_OK);
    EXPECT_EQ(v.Type(), VALUE_TYPE_TRANSPARENT);
    EXPECT_EQ(v.GetSize(), 0u);
    // A reference into the peer's memory is never followed.
    uint8_t byRef[] = {0, 0, 0, 4, 0, 0, 0, 1, 0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(res_decode_value_body(RES_WIRE_TRANSPARENT, byRef, sizeof byRef, v, 12), RES_CODEC_OK);
    EXPECT_EQ(v.GetSize(), 0u);
    EXPECT_EQ(v.CopyType(), COPY_TYPE_REFERENCE);
    // A preamble cut short is a protocol error.
    EXPECT_EQ(res_decode_value_body(RES_WIRE_TRANSPARENT, byRef, 11, v, 12), RES_CODEC_PROTOCOL_ERROR);
    TRANSPARENT_PREAMBLE_T pre{};
    uint8_t req[] = {1, 0, 0, 0, 5, 0, 0, 0, 2, 0, 0, 0, 0};
    ASSERT_EQ(res_decode_transparent_request_preamble(req, sizeof req, pre), RES_CODEC_OK);
    EXPECT_EQ(pre.copyFlag, 1);
    EXPECT_EQ(pre.size, 5u);
    EXPECT_EQ(pre.revision, 2u);
    EXPECT_EQ(res_decode_transparent_request_preamble(req, 12, pre), RES_CODEC_PROTOCOL_ERROR);
}

TEST(ValueCodec, ReadingReplies)
{
    CResourceValue v(7);
    uint8_t onlyType[] = {RES_WIRE_INT32};
    ASSERT_EQ(res_decode_value(onlyType, 1, v, 12), RES_CODEC_OK);
    EXPECT_EQ(v.GetInt(), 7);  // unchanged
    uint8_t badType[] = {10, 0};
    EXPECT_EQ(res_decode_value(badType, 2, v, 12), RES_CODEC_PROTOCOL_ERROR);
    uint8_t zeroType[] = {0, 1};
    EXPECT_EQ(res_decode_value(zeroType, 2, v, 12), RES_CODEC_PROTOCOL_ERROR);

    uint8_t i32[] = {RES_WIRE_INT32, 0xFF, 0xFF, 0xFF, 0xFE};
    ASSERT_EQ(res_decode_value(i32, sizeof i32, v, 12), RES_CODEC_OK);
    EXPECT_EQ(v.GetInt(), -2);
    uint8_t dbl[] = {RES_WIRE_DOUBLE, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(res_decode_value(dbl, sizeof dbl, v, 12), RES_CODEC_OK);
    EXPECT_EQ(v.Type(), VALUE_TYPE_DOUBLE);
    EXPECT_DOUBLE_EQ(v.GetDouble(), 1.0);
    uint8_t b[] = {RES_WIRE_BOOL, 0x7F};
    ASSERT_EQ(res_decode_value(b, sizeof b, v, 12), RES_CODEC_OK);
    EXPECT_TRUE(v.GetBool());
    uint8_t txt[] = {RES_WIRE_ASCII, 'h', 'i', 0, 'x'};
    ASSERT_EQ(res_decode_value(txt, sizeof txt, v, 12), RES_CODEC_OK);
    EXPECT_STREQ(v.GetAscii(), "hi");
    uint8_t wide[] = {RES_WIRE_UNICODE, 'h', 0, 0xAC, 0x20, 0, 0};
    ASSERT_EQ(res_decode_value(wide, sizeof wide, v, 12), RES_CODEC_OK);
    EXPECT_EQ(std::wcscmp(v.GetUnicode(), L"h\u20AC"), 0);
}

TEST(ValueCodec, MountPointAndChildList)
{
    uint8_t body[32];
    size_t n = 0;
    ASSERT_EQ(res_encode_mount_point("192.168.1.10", 0x5678, RES_MOUNT_TCP, body, sizeof body, &n), RES_CODEC_OK);
    CResourceValue v;
    ASSERT_EQ(res_decode_value_body(RES_WIRE_MOUNT, body, n, v, 10), RES_CODEC_OK);
    EXPECT_EQ(v.Type(), VALUE_TYPE_ASCII);
    EXPECT_STREQ(v.GetAscii(), "192.168.1.10:5678/tcp");
    ASSERT_EQ(res_encode_mount_point("local", 0xAB, RES_MOUNT_FMP, body, sizeof body, &n), RES_CODEC_OK);
    ASSERT_EQ(res_decode_value_body(RES_WIRE_MOUNT, body, n, v, 12), RES_CODEC_OK);
    EXPECT_STREQ(v.GetAscii(), "local:AB/fmp");
    CResourceValue old(3);
    ASSERT_EQ(res_decode_value_body(RES_WIRE_MOUNT, body, n, old, 9), RES_CODEC_OK);
    EXPECT_EQ(old.Type(), VALUE_TYPE_INT32);  // below version 10: left as it was
    EXPECT_EQ(res_decode_value_body(RES_WIRE_MOUNT, body, n - 1, v, 12), RES_CODEC_PROTOCOL_ERROR);

    const char* names[] = {"a", "b"};
    ASSERT_EQ(res_encode_child_names(names, 2, body, sizeof body, &n), RES_CODEC_OK);
    EXPECT_EQ(Bytes(body, body + n), (Bytes{'a', 0, 'b', 0}));
    ASSERT_EQ(res_decode_value_body(RES_WIRE_STRUCT, body, n, v, 12), RES_CODEC_OK);
    EXPECT_STREQ(v.GetAscii(), "a\nb");
    CResourceValue none(5);
    ASSERT_EQ(res_decode_value_body(RES_WIRE_STRUCT2, body, 0, none, 12), RES_CODEC_OK);
    EXPECT_EQ(none.GetInt(), 5);  // a node without children changes nothing
}

TEST(ValueCodec, LimitsBlocks)
{
    EXPECT_EQ(LimitsOf(CResourceValue(1, -1, 10)), (Bytes{2, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 10}));
    EXPECT_EQ(LimitsOf(CResourceValue("x", 8UL)), (Bytes{4, 0, 1, 0, 0, 0, 0, 8}));
    EXPECT_EQ(LimitsOf(CResourceValue(L"x", 8UL)), (Bytes{7, 0, 1, 0, 0, 0, 0, 0, 8}));
    const char* allowed[] = {"manual", "dhcp", nullptr};
    CResourceValue list("dhcp", allowed, VALUE_HINT_NONE, true);
    Bytes block = LimitsOf(list);
    EXPECT_EQ(block, (Bytes{4, 0, 2, 'm', 'a', 'n', 'u', 'a', 'l', 0, 'd', 'h', 'c', 'p', 0}));
    EXPECT_TRUE(LimitsOf(CResourceValue(1)).empty());  // no limits: the server answers "unsupported"

    CResourceValue back("DHCP");
    ASSERT_EQ(res_decode_limits(block.data(), block.size(), back), RES_CODEC_OK);
    EXPECT_EQ(back.LimitType(), LIMIT_TYPE_ASCII_LIST);
    char** got = nullptr;
    bool cs = true;
    ASSERT_EQ(back.GetLimits(&got, cs), 0u);
    EXPECT_FALSE(cs);  // the case flag does not travel
    EXPECT_STREQ(got[0], "manual");
    EXPECT_EQ(back.Set("Manual"), 0u);

    CResourceValue range(0);
    Bytes r = LimitsOf(CResourceValue(1, -1, 10));
    ASSERT_EQ(res_decode_limits(r.data(), r.size(), range), RES_CODEC_OK);
    EXPECT_EQ(range.Set(11), ERR_OUT_OF_RANGE);
    CResourceValue d(0.0);
    Bytes dr = LimitsOf(CResourceValue(0.5, 0.25, 0.75));
    ASSERT_EQ(res_decode_limits(dr.data(), dr.size(), d), RES_CODEC_OK);
    double mn = 0, mx = 0;
    ASSERT_EQ(d.GetLimits(mn, mx), 0u);
    EXPECT_DOUBLE_EQ(mn, 0.25);
    EXPECT_DOUBLE_EQ(mx, 0.75);

    const wchar_t* wallowed[] = {L"on", L"off", nullptr};
    Bytes wb = LimitsOf(CResourceValue(L"on", wallowed, VALUE_HINT_NONE, false));
    EXPECT_EQ(wb, (Bytes{7, 0, 2, 'o', 0, 'n', 0, 0, 0, 'o', 0, 'f', 0, 'f', 0, 0, 0}));
    CResourceValue wback(L"");
    ASSERT_EQ(res_decode_limits(wb.data(), wb.size(), wback), RES_CODEC_OK);
    EXPECT_EQ(wback.Set(L"OFF"), 0u);
    EXPECT_EQ(std::wcscmp(wback.GetUnicode(), L"off"), 0);

    // The limits must belong to the value's type.
    EXPECT_EQ(res_decode_limits(block.data(), block.size(), range), RES_CODEC_PROTOCOL_ERROR);
    uint8_t boolBlock[] = {RES_WIRE_BOOL};
    CResourceValue bv(true);
    EXPECT_EQ(res_decode_limits(boolBlock, 1, bv), RES_CODEC_OK);
    EXPECT_EQ(bv.LimitType(), LIMIT_TYPE_NONE);
}

TEST(ValueCodec, AllowedListOfOnlyTheEmptyTextReadsAsMaximumLength)
{
    const char* onlyEmpty[] = {"", nullptr};
    Bytes block = LimitsOf(CResourceValue("", onlyEmpty, VALUE_HINT_NONE, false));
    EXPECT_EQ(block, (Bytes{4, 0, 1, 0}));
    // Count 1 followed by a 0 byte is the maximum-length form ...
    Bytes withLength = block;
    withLength.insert(withLength.end(), {0, 0, 0, 6});
    CResourceValue v("");
    ASSERT_EQ(res_decode_limits(withLength.data(), withLength.size(), v), RES_CODEC_OK);
    EXPECT_EQ(v.LimitType(), LIMIT_TYPE_ASCII_MAXLEN);
    unsigned long max = 0;
    ASSERT_EQ(v.GetLimits(max), 0u);
    EXPECT_EQ(max, 6u);
    // ... so the list alone lacks its length and is refused, never read past.
    CResourceValue w("");
    EXPECT_EQ(res_decode_limits(block.data(), block.size(), w), RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(w.LimitType(), LIMIT_TYPE_NONE);
}

TEST(ValueCodec, TruncatedInputIsAProtocolError)
{
    struct Case {
        Bytes bytes;
    } cases[] = {
        {{RES_WIRE_INT32, 0, 0, 0}},
        {{RES_WIRE_DOUBLE, 0x3F, 0xF0, 0, 0, 0, 0, 0}},
        {{RES_WIRE_ASCII, 'a', 'b'}},
        {{RES_WIRE_UNICODE, 'a', 0, 'b'}},
        {{RES_WIRE_STRUCT, 'a', 0, 'b'}},
        {{RES_WIRE_MOUNT, 'h', 0, 0x12}},
        {{RES_WIRE_TRANSPARENT, 0, 0, 0, 1}},
    };
    for (auto& c : cases) {
        CResourceValue v(42);
        EXPECT_EQ(res_decode_value(c.bytes.data(), c.bytes.size(), v, 12), RES_CODEC_PROTOCOL_ERROR)
            << int(c.bytes[0]);
        EXPECT_EQ(v.Type(), VALUE_TYPE_INT32) << int(c.bytes[0]);  // refused before anything changed
        EXPECT_EQ(v.GetInt(), 42);
    }
    // Limits: a count larger than the entries present, and cut ranges.
    CResourceValue t("x");
    uint8_t manyEntries[] = {RES_WIRE_ASCII, 0xFF, 0xFF, 'a', 0};
    EXPECT_EQ(res_decode_limits(manyEntries, sizeof manyEntries, t), RES_CODEC_PROTOCOL_ERROR);
    CResourceValue i(1);
    uint8_t cutRange[] = {RES_WIRE_INT32, 0, 2, 0, 0, 0, 1, 0, 0};
    EXPECT_EQ(res_decode_limits(cutRange, sizeof cutRange, i), RES_CODEC_PROTOCOL_ERROR);
    uint8_t noCount[] = {RES_WIRE_INT32, 0};
    EXPECT_EQ(res_decode_limits(noCount, sizeof noCount, i), RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(i.LimitType(), LIMIT_TYPE_NONE);
    ORIGINATOR_T o{};
    uint8_t shortOrigin[9] = {};
    EXPECT_EQ(res_decode_originator(shortOrigin, sizeof shortOrigin, o), RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(res_decode_value(nullptr, 0, i, 12), RES_CODEC_PROTOCOL_ERROR);
}

TEST(ValueCodec, RequestValuesAsTheServerReadsThem)
{
    uint8_t text[] = {'a', 'b', 0, 0x99};
    CResourceValue v;
    size_t used = 0;
    ASSERT_EQ(res_decode_request_value_body(RES_WIRE_ASCII, text, sizeof text, v, &used, nullptr), RES_CODEC_OK);
    EXPECT_STREQ(v.GetAscii(), "ab");
    EXPECT_EQ(used, 3u);
    uint8_t wide[] = {'a', 0, 0, 0, 7};
    ASSERT_EQ(res_decode_request_value_body(RES_WIRE_UNICODE, wide, sizeof wide, v, &used, nullptr), RES_CODEC_OK);
    EXPECT_EQ(used, 4u);
    uint8_t pre[] = {1, 0, 0, 0, 5, 0, 0, 0, 9, 0, 0, 0, 0};
    TRANSPARENT_PREAMBLE_T p{};
    ASSERT_EQ(res_decode_request_value_body(RES_WIRE_TRANSPARENT, pre, sizeof pre, v, &used, &p), RES_CODEC_OK);
    EXPECT_EQ(used, 13u);
    EXPECT_EQ(p.size, 5u);
    EXPECT_EQ(v.Type(), VALUE_TYPE_TRANSPARENT);
    EXPECT_EQ(res_decode_request_value_body(RES_WIRE_STRUCT, pre, sizeof pre, v, &used, &p),
              RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(res_decode_request_value_body(RES_WIRE_ASCII, text, 2, v, &used, nullptr), RES_CODEC_PROTOCOL_ERROR);
}

TEST(ValueCodec, Originator)
{
    uint8_t out[10];
    ORIGINATOR_T o{0xC0A8010A, 0x1234, 0x01020304};
    res_encode_originator(o, 0, 0, 0, out);
    EXPECT_EQ(Bytes(out, out + 10), (Bytes{0xC0, 0xA8, 0x01, 0x0A, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04}));
    ORIGINATOR_T back{};
    ASSERT_EQ(res_decode_originator(out, 10, back), RES_CODEC_OK);
    EXPECT_EQ(back.address, o.address);
    EXPECT_EQ(back.port, o.port);
    EXPECT_EQ(back.threadId, o.threadId);
    // Without an originator the local socket fields go out converted once
    // more: 127.0.0.1 as a sockaddr_in holds it travels as 01 00 00 7F.
    ORIGINATOR_T none{0, 0, 0};
    uint32_t sinAddr;
    const uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(&sinAddr, loopback, 4);
    res_encode_originator(none, sinAddr, 0x5678, 9, out);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 0, 0, 127}));
    EXPECT_EQ(out[9], 9);
}

TEST(ValueCodec, OriginatorOfAValue)
{
    // A value that carries an originator sends it as it is.
    CResourceValue relayed(5);
    relayed.SetOriginator(ORIGINATOR_T{0x0A000001, 0x0102, 0x0A0B0C0D});
    uint8_t out[10];
    res_encode_originator(relayed, 0xFFFFFFFF, 0xFFFF, out);
    EXPECT_EQ(Bytes(out, out + 10), (Bytes{0x0A, 0, 0, 1, 0x01, 0x02, 0x0A, 0x0B, 0x0C, 0x0D}));

    // A value of this process's own (address 0) sends the writer's socket
    // fields and the id of the thread that writes.
    CResourceValue own(5);
    res_encode_originator(own, 0x11223344, 0x5566, out);
    ORIGINATOR_T sent{};
    ASSERT_EQ(res_decode_originator(out, 10, sent), RES_CODEC_OK);
    EXPECT_EQ(sent.address, 0x11223344u);
    EXPECT_EQ(sent.port, 0x5566);
    ORIGINATOR_T mine{};
    CResourceValue().GetOriginator(mine);  // made on this thread
    EXPECT_EQ(sent.threadId, mine.threadId);

    // A short originator leaves the target as it was.
    ORIGINATOR_T kept{1, 2, 3};
    EXPECT_EQ(res_decode_originator(out, 9, kept), RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(kept.address, 1u);
    EXPECT_EQ(kept.threadId, 3u);
}
