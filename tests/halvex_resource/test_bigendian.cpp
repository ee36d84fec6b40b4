#include <halvex/bigendian.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace ZYRK;

namespace {

using Bytes = std::vector<uint8_t>;

}  // namespace

TEST(BigEndian, FieldsAreMostSignificantByteFirst)
{
    Bytes out;
    CBigEndianWriter w(out);
    w.U8(0xAB).U16(0x1234).U32(0xDEADBEEF).U64(0x0102030405060708ULL).Double(1.0).U16LE(0x1234).U32LE(0xA1B2C3D4);
    ASSERT_TRUE(w.Ok());
    EXPECT_EQ(out, (Bytes{0xAB, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8,
                          0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(w.Size(), out.size());

    CBigEndianReader r(out.data(), out.size());
    EXPECT_EQ(r.U8(), 0xAB);
    EXPECT_EQ(r.U16(), 0x1234);
    EXPECT_EQ(r.U32(), 0xDEADBEEFu);
    EXPECT_EQ(r.U64(), 0x0102030405060708ULL);
    EXPECT_EQ(r.Double(), 1.0);
    uint16_t le16 = 0;
    uint32_t le32 = 0;
    EXPECT_TRUE(r.U16LE(le16) && r.U32LE(le32));
    EXPECT_EQ(le16, 0x1234);
    EXPECT_EQ(le32, 0xA1B2C3D4u);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);

    // The pointer forms agree with the reader and writer.
    uint8_t p[8];
    be_put_double(p, -2.5);
    EXPECT_EQ(be_get_double(p), -2.5);
    be_put32(p, 0xFFFFFFFE);
    EXPECT_EQ(static_cast<int32_t>(be_get32(p)), -2);
    // A NaN keeps its bits.
    be_put_double(p, std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(std::isnan(be_get_double(p)));
}

TEST(BigEndian, ReaderNeverReadsPastTheEnd)
{
    const uint8_t three[] = {1, 2, 3};
    CBigEndianReader r(three, sizeof three);
    uint32_t v = 0x55;
    EXPECT_FALSE(r.U32(v));  // not enough bytes: nothing read
    EXPECT_EQ(v, 0x55u);
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.Position(), 0u);
    // Once short, every later read fails too, even one that would fit.
    uint8_t b = 0x77;
    EXPECT_FALSE(r.U8(b));
    EXPECT_EQ(b, 0x77);
    EXPECT_EQ(r.U16(), 0);

    CBigEndianReader s(three, sizeof three);
    EXPECT_EQ(s.U16(), 0x0102);
    EXPECT_EQ(s.Take(2), nullptr);
    EXPECT_FALSE(s.Ok());

    // Skip, Seek, Take and Bytes check their counts the same way.
    CBigEndianReader t(three, sizeof three);
    EXPECT_TRUE(t.Skip(3));
    EXPECT_NE(t.Take(0), nullptr);  // an empty take at the end is no error
    EXPECT_TRUE(t.Seek(1));
    uint8_t two[2] = {};
    EXPECT_TRUE(t.Bytes(two, 2));
    EXPECT_EQ(two[1], 3);
    EXPECT_FALSE(t.Seek(4));
    EXPECT_FALSE(t.Ok());

    // A null span is an empty one, and an enormous count does not wrap.
    CBigEndianReader none(nullptr, 100);
    EXPECT_EQ(none.Remaining(), 0u);
    EXPECT_FALSE(none.Skip(1));
    CBigEndianReader huge(three, sizeof three);
    EXPECT_FALSE(huge.Skip(static_cast<size_t>(-1)));
    EXPECT_EQ(huge.Position(), 0u);
}

TEST(BigEndian, FixedWriterNeverWritesPastItsRoom)
{
    uint8_t buf[6] = {9, 9, 9, 9, 9, 9};
    CBigEndianWriter w(buf, 5);
    w.U32(0x01020304);
    EXPECT_TRUE(w.Ok());
    w.U16(0xAAAA);  // one byte of room left: refused whole
    EXPECT_FALSE(w.Ok());
    w.U8(0xBB);  // and everything after it
    EXPECT_EQ(w.Size(), 4u);
    EXPECT_EQ(buf[4], 9);
    EXPECT_EQ(buf[5], 9);

    // A field written earlier can be filled in later, but only inside what
    // was written.
    uint8_t frame[8] = {};
    CBigEndianWriter f(frame, sizeof frame);
    f.U16(0).U8(7);
    EXPECT_TRUE(f.U16At(0, static_cast<uint16_t>(f.Size())));
    EXPECT_EQ(frame[1], 3);
    EXPECT_FALSE(f.U32At(0, 1));
    EXPECT_FALSE(f.U16At(2, 1));

    // Appending to a vector keeps what was there and patches its own part.
    Bytes out{0xEE};
    CBigEndianWriter v(out);
    v.U16(0).Bytes("ab", 2).Zeros(1);
    EXPECT_TRUE(v.U16At(0, static_cast<uint16_t>(v.Size())));
    EXPECT_EQ(out, (Bytes{0xEE, 0, 5, 'a', 'b', 0}));
}
