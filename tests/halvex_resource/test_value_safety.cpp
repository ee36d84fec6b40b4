// Resource values that neither crash nor change silently: ownership of
// transparent bytes, numbers that do not fit, NaN, UTF-16 and long display
// texts.
#include "mem_tree.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>
#include <halvex/resource/value_codec.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

std::string Bytes(const CResourceValue& v)
{
    char* data = nullptr;
    unsigned long size = 0, rev = 0;
    if (v.GetTransparent(&data, size, rev, COPY_TYPE_COPY) != 0) {
        return "<error>";
    }
    std::string s(data ? data : "", size);
    std::free(data);
    return s;
}

char* OwnBytes(const CResourceValue& v)
{
    TRANSPARENT_FRAGMENT_T* first = nullptr;
    unsigned long size = 0, rev = 0;
    v.GetTransparent(&first, size, rev);
    return first ? first->data : nullptr;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(ValueOwnership, CopyTypeChangesNeverMakeTheValueFreeOrLeakTheWrongBytes)
{
    // An owning value told to reference: a referenced fragment is refused,
    // so the caller's stack buffer is never freed with the value.
    char stackbuf[4] = {'s', 't', 'a', 'k'};
    {
        CResourceValue owner(const_cast<char*>("abcd"), 4, COPY_TYPE_COPY);
        EXPECT_EQ(owner.ReinterpretCopyType(COPY_TYPE_REFERENCE), 0u);
        EXPECT_EQ(owner.CopyType(), COPY_TYPE_REFERENCE);
        EXPECT_EQ(owner.AddFragment(stackbuf, 4, COPY_TYPE_REFERENCE), ERR_UNSUPPORTED);
        EXPECT_EQ(owner.AddFragment(stackbuf, 4, COPY_TYPE_COPY), 0u);  // it owns its bytes
        EXPECT_EQ(Bytes(owner), "abcdstak");
    }
    // The reverse: a referencing value told to own accepts no owned
    // fragment, so nothing it copies is left behind.
    {
        CResourceValue ref(stackbuf, 4, COPY_TYPE_REFERENCE);
        EXPECT_EQ(ref.ReinterpretCopyType(COPY_TYPE_COPY), 0u);
        EXPECT_EQ(ref.AddFragment("more", 4, COPY_TYPE_COPY), ERR_UNSUPPORTED);
        EXPECT_EQ(ref.AddFragment(stackbuf, 2, COPY_TYPE_REFERENCE), 0u);
        EXPECT_EQ(ref.GetSize(), 6u);
    }
    EXPECT_EQ(std::string(stackbuf, 4), "stak");

    CResourceValue v(VALUE_TYPE_TRANSPARENT);
    EXPECT_EQ(v.SetCopyType(static_cast<COPY_TYPE_T>(7)), ERR_BAD_DATA);
    EXPECT_EQ(v.ReinterpretCopyType(static_cast<COPY_TYPE_T>(7)), ERR_BAD_DATA);
    EXPECT_EQ(v.Set("x", 1, static_cast<COPY_TYPE_T>(7), 0), ERR_BAD_DATA);
}

TEST(ValueOwnership, TheValuesOwnBytesAreNeverTakenOver)
{
    CResourceValue v(const_cast<char*>("abcdef"), 6, COPY_TYPE_COPY, VALUE_HINT_NONE, 4);
    char* own = OwnBytes(v);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(v.Set(own + 1, 2, COPY_TYPE_TAKEOVER, 0), ERR_BAD_POINTER);
    EXPECT_EQ(v.Set(own, 6, COPY_TYPE_TAKEOVER, 0), ERR_BAD_POINTER);
    EXPECT_EQ(v.Set(own, 6, COPY_TYPE_REFERENCE, 0), ERR_BAD_POINTER);
    EXPECT_EQ(v.AddFragment(own, 2, COPY_TYPE_TAKEOVER), ERR_BAD_POINTER);
    EXPECT_EQ(v.Set(own + 4, 5, COPY_TYPE_COPY, 0), ERR_BAD_POINTER);  // runs beyond the fragment
    // Every refusal leaves the value as it was.
    EXPECT_EQ(Bytes(v), "abcdef");
    EXPECT_EQ(v.GetRevision(), 4u);

    // Copies of its own bytes are fine, overlapping or not.
    EXPECT_EQ(v.Set(own + 2, 3, COPY_TYPE_COPY, 5), 0u);
    EXPECT_EQ(Bytes(v), "cde");
    own = OwnBytes(v);
    EXPECT_EQ(v.Set(own + 1, 2, COPY_TYPE_EXISTING, 6), 0u);
    EXPECT_EQ(Bytes(v), "de");
    EXPECT_EQ(v.AddFragment(OwnBytes(v), 2, COPY_TYPE_COPY), 0u);
    EXPECT_EQ(Bytes(v), "dede");

    // A referencing value may reference its (the caller's) bytes again.
    char buf[4] = {'w', 'x', 'y', 'z'};
    CResourceValue ref(buf, 4, COPY_TYPE_REFERENCE);
    EXPECT_EQ(ref.Set(buf + 1, 2, COPY_TYPE_REFERENCE, 0), 0u);
    EXPECT_EQ(Bytes(ref), "xy");
}

TEST(ValueOwnership, CopyingIntoExistingStorageKeepsItsRoom)
{
    char storage[8] = {};
    CResourceValue v(storage, sizeof storage, COPY_TYPE_REFERENCE);
    ASSERT_EQ(v.Set("ab", 2, COPY_TYPE_EXISTING, 1), 0u);
    EXPECT_EQ(v.GetSize(), 2u);
    EXPECT_EQ(v.CopyType(), COPY_TYPE_EXISTING);
    ASSERT_EQ(v.Set("12345678", 8, COPY_TYPE_EXISTING, 2), 0u);  // the whole room again
    EXPECT_EQ(std::string(storage, 8), "12345678");
    EXPECT_EQ(v.Set("123456789", 9, COPY_TYPE_EXISTING, 3), ERR_BAD_DATA);
    EXPECT_EQ(v.GetRevision(), 2u);

    // Taking another value's data in this mode copies the joined bytes of
    // all its fragments.
    CResourceValue two(const_cast<char*>("abc"), 3, COPY_TYPE_COPY, VALUE_HINT_NONE, 9);
    ASSERT_EQ(two.AddFragment("de", 2, COPY_TYPE_COPY), 0u);
    ASSERT_EQ(v.Set(two, false), 0u);
    EXPECT_EQ(std::string(storage, 5), "abcde");
    EXPECT_EQ(v.GetRevision(), 9u);

    // A referencing copy references every fragment; an owning one copies.
    CResourceValue refCopy(VALUE_TYPE_TRANSPARENT);
    refCopy.SetCopyType(COPY_TYPE_REFERENCE);
    ASSERT_EQ(refCopy.Set(two, false), 0u);
    EXPECT_EQ(Bytes(refCopy), "abcde");
    EXPECT_EQ(OwnBytes(refCopy), OwnBytes(two));
    CResourceValue owned(two);
    EXPECT_EQ(Bytes(owned), "abcde");
    EXPECT_NE(OwnBytes(owned), OwnBytes(two));
}

TEST(ValueOwnership, CopiesOfAValueWithoutDataNeverHandOutItsPointers)
{
    char* heap = static_cast<char*>(std::malloc(1));
    CResourceValue empty(heap, 0, COPY_TYPE_TAKEOVER);  // takes the pointer, holds no bytes
    EXPECT_EQ(empty.GetSize(), 0u);
    char* data = reinterpret_cast<char*>(1);
    unsigned long size = 5, rev = 0;
    ASSERT_EQ(empty.GetTransparent(&data, size, rev, COPY_TYPE_COPY), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    char mine[2];
    data = mine;
    size = sizeof mine;
    ASSERT_EQ(empty.GetTransparent(&data, size, rev, COPY_TYPE_EXISTING), 0u);
    EXPECT_EQ(data, mine);
    EXPECT_EQ(size, 0u);
    CResourceValue copy(empty);
    CResourceValue assigned;
    assigned = empty;
    EXPECT_EQ(assigned.GetSize(), 0u);
}

TEST(ValueNumbers, OverflowIsRefusedNotCut)
{
    CMemResourceTree tree;
    tree.AddNode(".", "i", RES_TYPE_VALUE, CResourceValue(5));
    tree.AddNode(".", "d", RES_TYPE_VALUE, CResourceValue(1.0, 0.0, 10.0));
    CResource* i = nullptr;
    CResource* d = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".i"), &i, nullptr), 0u);
    ASSERT_EQ(tree.OpenResource(CResourcePath(".d"), &d, nullptr), 0u);
    auto value = [&](const char* path) { return tree.FindNode(path)->value.GetInt(); };

    EXPECT_EQ(res_handle_set(i, "99999999999", RES_NOWAIT), ERR_BAD_DATA);
    EXPECT_EQ(res_handle_set(i, "0xFFFFFFFFF", RES_NOWAIT), ERR_BAD_DATA);
    EXPECT_EQ(res_handle_set(i, "2147483648", RES_NOWAIT), ERR_BAD_DATA);
    EXPECT_EQ(res_handle_set(i, "-2147483649", RES_NOWAIT), ERR_BAD_DATA);
    EXPECT_EQ(value(".i"), 5);
    EXPECT_EQ(res_handle_set(i, "-2147483648", RES_NOWAIT), 0u);
    EXPECT_EQ(value(".i"), INT32_MIN);
    EXPECT_EQ(res_handle_set(i, "0xFFFFFFFF", RES_NOWAIT), 0u);  // the 32 bits, as hint 2 shows them
    EXPECT_EQ(value(".i"), -1);
    EXPECT_EQ(res_handle_set(i, "0x", RES_NOWAIT), ERR_BAD_DATA);

    EXPECT_EQ(res_handle_set(d, "1e999", RES_NOWAIT), ERR_BAD_DATA);
    EXPECT_EQ(res_handle_set(d, "nan", RES_NOWAIT), ERR_OUT_OF_RANGE);  // the node's range refuses it
    EXPECT_EQ(res_handle_set(d, "2.5", RES_NOWAIT), 0u);
    EXPECT_DOUBLE_EQ(tree.FindNode(".d")->value.GetDouble(), 2.5);
    i->Close();
    d->Close();

    // The constructors from long and unsigned long refuse like Set does.
    EXPECT_EQ(CResourceValue(static_cast<long>(1) << 40).GetInt(), 0);
    EXPECT_EQ(CResourceValue(-3L).GetInt(), -3);
    EXPECT_EQ(CResourceValue(0xFFFFFFFFUL).GetInt(), -1);
    EXPECT_EQ(CResourceValue(static_cast<unsigned long>(1) << 32).GetInt(), 0);
    CResourceValue v(0);
    EXPECT_EQ(v.Set(static_cast<long>(1) << 40), ERR_BAD_DATA);

    // A child index beyond 32 bits is refused by the path walker.
    CResource* r = nullptr;
    EXPECT_EQ(res_path_parse(&tree, "##99999999999", &r, false), ERR_BAD_DATA);
}

TEST(ValueNumbers, NaNIsOutsideEveryRangeAndNeverARangeItself)
{
    CResourceValue v(5.0, 0.0, 10.0);
    EXPECT_EQ(v.Set(kNaN), ERR_OUT_OF_RANGE);
    EXPECT_DOUBLE_EQ(v.GetDouble(), 5.0);
    EXPECT_EQ(v.SetLimits(kNaN, 1.0), ERR_BAD_DATA);
    EXPECT_EQ(v.SetLimits(0.0, kNaN), ERR_BAD_DATA);
    double mn = 0, mx = 0;
    ASSERT_EQ(v.GetLimits(mn, mx), 0u);
    EXPECT_EQ(mx, 10.0);  // the old range stays
    CResourceValue open(1.0);
    EXPECT_EQ(open.Set(kNaN), 0u);  // without limits a NaN is a double like any other

    // A limits block with a NaN bound is refused when read.
    uint8_t block[] = {RES_WIRE_DOUBLE, 0, 2, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0, 0x40, 0x24, 0, 0, 0, 0, 0, 0};
    CResourceValue read(VALUE_TYPE_DOUBLE);
    EXPECT_EQ(res_decode_limits(block, sizeof block, read), RES_CODEC_PROTOCOL_ERROR);
    EXPECT_EQ(read.LimitType(), LIMIT_TYPE_NONE);
    EXPECT_EQ(read.Set(kNaN), 0u);
}

TEST(ValueUtf16, UnitsAreCountedAndTravelUnchanged)
{
    CResourceValue face(L"\U0001F600");
    EXPECT_EQ(face.GetLength(), 2u);
    EXPECT_EQ(face.GetSize(), 6u);
    EXPECT_EQ(std::wcscmp(face.GetUnicode(), L"\U0001F600"), 0);
    EXPECT_EQ(std::string(face.GetAsAscii(false).AsChar()), "\xF0\x9F\x98\x80");
    unsigned short units[3] = {};
    ASSERT_EQ(face.GetUTF16(units, 3), 0u);
    EXPECT_EQ(units[0], 0xD83D);
    EXPECT_EQ(units[1], 0xDE00);

    // A lone surrogate is kept as it is held and sent; only what is shown
    // or handed out as wchar_t replaces it.
    CResourceValue lone(u"a\xD800");
    EXPECT_EQ(lone.GetLength(), 2u);
    EXPECT_EQ(std::wcscmp(lone.GetUnicode(), L"a\uFFFD"), 0);
    EXPECT_EQ(std::string(lone.GetAsAscii(false).AsChar()), "a\xEF\xBF\xBD");
    uint8_t out[16];
    size_t n = 0;
    ASSERT_EQ(res_encode_value_body(lone, out, sizeof out, &n), RES_CODEC_OK);
    ASSERT_EQ(n, 6u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + n), (std::vector<uint8_t>{'a', 0, 0x00, 0xD8, 0, 0}));
    CResourceValue back(VALUE_TYPE_UNICODE);
    ASSERT_EQ(res_decode_value_body(RES_WIRE_UNICODE, out, n, back, 10), RES_CODEC_OK);
    EXPECT_EQ(back.Compare(lone), 0u);

    // The maximum length counts units and never splits a pair.
    CResourceValue limited(L"", 3UL);
    ASSERT_EQ(limited.Set(u"ab\U0001F600"), 0u);
    EXPECT_EQ(std::u16string(limited.GetUTF16Ptr()), u"ab");

    // An allowed list holding a lone surrogate survives a limits block.
    const char16_t* allowed[] = {u"on", u"\xDC01x", nullptr};
    CResourceValue list(u"on", VALUE_HINT_NONE);
    ASSERT_EQ(list.SetLimits(allowed, true), 0u);
    uint8_t block[64];
    ASSERT_EQ(res_encode_limits(list, block, sizeof block, &n), RES_CODEC_OK);
    CResourceValue listBack(VALUE_TYPE_UNICODE);
    ASSERT_EQ(res_decode_limits(block, n, listBack), RES_CODEC_OK);
    char16_t** got = nullptr;
    bool cs = true;
    ASSERT_EQ(listBack.GetLimits(&got, cs), 0u);
    EXPECT_EQ(std::u16string(got[1]), u"\xDC01x");
    wchar_t** wide = nullptr;
    ASSERT_EQ(listBack.GetLimits(&wide, cs), 0u);
    EXPECT_EQ(std::wcscmp(wide[1], L"\uFFFDx"), 0);
    EXPECT_EQ(listBack.Set(u"ON"), 0u);  // read lists match ignoring case
    EXPECT_EQ(std::u16string(listBack.GetUTF16Ptr()), u"on");

    // res_handle_set reads the 8-bit text with the same conversion.
    CMemResourceTree tree;
    tree.AddNode(".", "u", RES_TYPE_VALUE, CResourceValue(L""));
    CResource* u = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".u"), &u, nullptr), 0u);
    EXPECT_EQ(res_handle_set(u, "x\xF0\x9F\x98\x80\xFF", RES_NOWAIT), 0u);
    EXPECT_EQ(std::u16string(tree.FindNode(".u")->value.GetUTF16Ptr()), u"x\U0001F600\uFFFD");
    u->Close();
}

TEST(ValueDisplay, LongTextsAreShownWhole)
{
    std::string hot = CResourceValue(1e300, VALUE_HINT_TEMPERATURE).GetAsAscii(true).AsChar();
    EXPECT_EQ(hot.size(), 306u);
    EXPECT_EQ(hot.back(), 'C');
    EXPECT_EQ(hot.substr(0, 5), "10000");
    std::string wide(1000, 'w');
    std::wstring wwide(1000, L'w');
    EXPECT_EQ(std::string(CResourceValue(wwide.c_str()).GetAsAscii(false).AsChar()), wide);
    CResourceValue range(1.0, -1e200, 1e200);
    char* limits = nullptr;
    ASSERT_EQ(range.GetLimitsAsAscii(&limits, false), 0u);
    EXPECT_STREQ(limits, "[-1e+200, 1e+200]");
    std::free(limits);
}
