#include "mem_tree.h"

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/resource_value.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

std::vector<std::pair<int, std::string>> g_logLines;

void CollectLine(int level, const char* line, int length, int)
{
    g_logLines.emplace_back(level, std::string(line, static_cast<size_t>(length)));
}

// Collects the debug-log lines of the calling thread while it lives.
struct LogCapture {
    LogCapture() : previous(InstallThreadAppender(CollectLine)) { g_logLines.clear(); }
    ~LogCapture() { InstallThreadAppender(previous); }
    bool Contains(int level, const std::string& text) const
    {
        for (auto& [l, line] : g_logLines) {
            if (l == level && line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    SYSLOG_APPENDER_T previous;
};

std::string Ascii(const CResourceValue& v, bool hint = true)
{
    return v.GetAsAscii(hint).AsChar();
}

std::string Limits(const CResourceValue& v, bool hint = true)
{
    char* text = nullptr;
    unsigned long r = v.GetLimitsAsAscii(&text, hint);
    std::string s = r == 0 && text ? text : "<" + std::to_string(r) + ">";
    std::free(text);
    return s;
}

}  // namespace

TEST(ResourceValue, TypeConstructorSizes)
{
    struct {
        VALUE_TYPE_T type;
        unsigned long size;
    } cases[] = {{VALUE_TYPE_BOOL, 1}, {VALUE_TYPE_INT32, 4}, {VALUE_TYPE_DOUBLE, 8}, {VALUE_TYPE_ASCII, 1},
                 {VALUE_TYPE_UNICODE, 2}, {VALUE_TYPE_TRANSPARENT, 0}};
    for (auto& c : cases) {
        CResourceValue v(c.type);
        EXPECT_EQ(v.Type(), c.type);
        EXPECT_EQ(v.GetSize(), c.size) << c.type;
    }
    CResourceValue b(VALUE_TYPE_BOOL);
    EXPECT_FALSE(b.GetBool());
    EXPECT_EQ(b.Set(true), 0u);
    EXPECT_TRUE(b.GetBool());
    CResourceValue def;
    EXPECT_EQ(def.Type(), VALUE_TYPE_INT32);
    EXPECT_EQ(def.GetInt(), 0);
}

TEST(ResourceValue, WrongTypeAndRangeRefusalsAreLogged)
{
    LogCapture log;
    CResourceValue b(VALUE_TYPE_BOOL);
    EXPECT_EQ(b.Set(5), ERR_BAD_DATA);
    EXPECT_TRUE(log.Contains(2, "ZYRK::CResourceValue::Set[") && log.Contains(2, "](5): ERR_BAD_DATA <= type=1"));

    CResourceValue r(3, 0, 10);
    EXPECT_EQ(r.Set(10), 0u);
    EXPECT_EQ(r.Set(11), ERR_OUT_OF_RANGE);
    EXPECT_EQ(r.GetInt(), 10);
    EXPECT_TRUE(log.Contains(2, "](11): ERR_OUT_OF_RANGE <= limits={0, 10}"));
    EXPECT_EQ(r.Set(-1), ERR_OUT_OF_RANGE);
    EXPECT_EQ(r.Set(0x80000000UL), ERR_BAD_DATA);
    EXPECT_EQ(r.Set(7UL), 0u);
    EXPECT_EQ(r.GetInt(), 7);
    // Assignment resets the type, which removes the range.
    r = 11;
    EXPECT_EQ(r.GetInt(), 11);
    EXPECT_EQ(r.LimitType(), LIMIT_TYPE_NONE);

    CResourceValue d(1.0, 0.0, 2.0);
    EXPECT_EQ(d.Set(2.5), ERR_OUT_OF_RANGE);
    EXPECT_DOUBLE_EQ(d.GetDouble(), 1.0);
    EXPECT_TRUE(log.Contains(2, "](2.5): ERR_OUT_OF_RANGE <= limits={0, 2}"));
    CResourceValue i(1);
    EXPECT_EQ(i.Set(1.5), ERR_BAD_DATA);
    EXPECT_TRUE(log.Contains(2, "](1.5): ERR_BAD_DATA <= type=2"));
    // Bool and text setters refuse without a line.
    g_logLines.clear();
    EXPECT_EQ(i.Set(true), ERR_BAD_DATA);
    EXPECT_EQ(i.Set("text"), ERR_BAD_DATA);
    EXPECT_TRUE(g_logLines.empty());
}

TEST(ResourceValue, AllowedListWithCaseInsensitiveMatching)
{
    const char* allowed[] = {"manual", "dhcp", nullptr};
    CResourceValue v("manual", allowed, VALUE_HINT_NONE, false);
    unsigned long index = 99;
    ASSERT_EQ(v.GetAllowedIndex(index), 0u);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(v.LimitType(), LIMIT_TYPE_ASCII_LIST);
    EXPECT_EQ(v.Set("DHCP"), 0u);
    EXPECT_STREQ(v.GetAscii(), "dhcp");  // the entry's own text
    ASSERT_EQ(v.GetAllowedIndex(index), 0u);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(v.Set("static"), ERR_OUT_OF_RANGE);
    EXPECT_STREQ(v.GetAscii(), "dhcp");
    EXPECT_EQ(Limits(v), "[\"manual\" \"dhcp\"]");

    CResourceValue strict("x", allowed, VALUE_HINT_NONE, true);
    ASSERT_EQ(strict.GetAllowedIndex(index), ERR_NOT_FOUND);
    EXPECT_EQ(strict.Set("DHCP"), ERR_OUT_OF_RANGE);
    char** list = nullptr;
    bool cs = false;
    ASSERT_EQ(strict.GetLimits(&list, cs), 0u);
    EXPECT_TRUE(cs);
    EXPECT_STREQ(list[1], "dhcp");
    EXPECT_EQ(list[2], nullptr);
    EXPECT_EQ(strict.GetLimits(static_cast<char***>(nullptr), cs), ERR_BAD_DATA);

    const wchar_t* wallowed[] = {L"on", L"off", nullptr};
    CResourceValue w(L"on", wallowed, VALUE_HINT_NONE, false);
    EXPECT_EQ(w.Set(L"OFF"), 0u);
    EXPECT_EQ(std::wcscmp(w.GetUnicode(), L"off"), 0);
    EXPECT_EQ(w.Set(L"maybe"), ERR_OUT_OF_RANGE);
}

TEST(ResourceValue, MaximumLengthCutsTheText)
{
    CResourceValue v("abcdef", 3UL);  // copied whole, the maximum set afterwards
    EXPECT_STREQ(v.GetAscii(), "abcdef");
    EXPECT_EQ(v.Set("abcdef"), 0u);
    EXPECT_STREQ(v.GetAscii(), "abc");
    EXPECT_EQ(v.GetSize(), 4u);
    EXPECT_EQ(v.LimitType(), LIMIT_TYPE_ASCII_MAXLEN);
    EXPECT_EQ(Limits(v), "[3]");
    unsigned long max = 0;
    ASSERT_EQ(v.GetLimits(max), 0u);
    EXPECT_EQ(max, 3u);
    CResourceValue w(L"wide", 2UL);
    EXPECT_EQ(w.Set(L"wxyz"), 0u);
    EXPECT_EQ(std::wcscmp(w.GetUnicode(), L"wx"), 0);
    EXPECT_EQ(w.GetSize(), 6u);
    EXPECT_EQ(w.LimitType(), LIMIT_TYPE_UNICODE_MAXLEN);
}

TEST(ResourceValue, NonTextReadsAreSafe)
{
    CResourceValue i(5);
    ASSERT_NE(i.GetAscii(), nullptr);
    EXPECT_STREQ(i.GetAscii(), "");
    EXPECT_EQ(i.GetLength(), 0u);
    EXPECT_EQ(std::wcscmp(i.GetUnicode(), L""), 0);
    unsigned short buf[4];
    EXPECT_EQ(i.GetUTF16(buf, 4), ERR_ILLEGAL_MODE);
    char* data = nullptr;
    unsigned long size = 0, rev = 0;
    EXPECT_EQ(i.GetTransparent(&data, size, rev, COPY_TYPE_COPY), ERR_ILLEGAL_MODE);
    int mn = 0, mx = 0;
    EXPECT_EQ(i.GetLimits(mn, mx), ERR_UNSUPPORTED);
    unsigned long index = 0;
    EXPECT_EQ(i.GetAllowedIndex(index), ERR_RES_WRONG_TYPE);
}

TEST(ResourceValue, DisplayTextsWithHints)
{
    EXPECT_EQ(Ascii(CResourceValue(255, VALUE_HINT_HEX)), "0xff");
    EXPECT_EQ(Ascii(CResourceValue(255, VALUE_HINT_HEX), false), "255");
    EXPECT_EQ(Ascii(CResourceValue(5, VALUE_HINT_BINARY)), "0b00000000 00000000 00000000 00000101");
    EXPECT_EQ(Ascii(CResourceValue(-1, VALUE_HINT_BINARY)), "0b11111111 11111111 11111111 11111111");
    EXPECT_EQ(Ascii(CResourceValue(300.15, VALUE_HINT_TEMPERATURE)), "27.000C");
    EXPECT_EQ(Ascii(CResourceValue(300.15)), "300.15");
    EXPECT_EQ(Ascii(CResourceValue(true, VALUE_HINT_ONOFF)), "on");
    EXPECT_EQ(Ascii(CResourceValue(false, VALUE_HINT_ONOFF)), "off");
    EXPECT_EQ(Ascii(CResourceValue(false, VALUE_HINT_ONOFF), false), "false");
    EXPECT_EQ(Ascii(CResourceValue(0, VALUE_HINT_TIME)), "0");

    // Hint 4 shows local date and time: the layout, whatever the time zone.
    std::string when = Ascii(CResourceValue(86400 * 365, VALUE_HINT_TIME));
    ASSERT_EQ(when.size(), 19u) << when;
    EXPECT_EQ(when[4], '-');
    EXPECT_EQ(when[10], ' ');
    EXPECT_EQ(when[13], ':');
    EXPECT_EQ(when.substr(0, 3), "197");

    char bytes[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Ascii(CResourceValue(bytes, 6, COPY_TYPE_COPY)), "<0x1 0x2 0x3 0x4...>");
    EXPECT_EQ(Ascii(CResourceValue(bytes, 2, COPY_TYPE_COPY)), "<0x1 0x2>");
    EXPECT_EQ(Ascii(CResourceValue(VALUE_TYPE_TRANSPARENT)), "<>");
    EXPECT_EQ(Ascii(CResourceValue(L"wide")), "wide");

    CResourceValue hex(1, 0, 255, VALUE_HINT_HEX);
    EXPECT_EQ(Limits(hex), "[0x0, 0xff]");
    EXPECT_EQ(Limits(hex, false), "[0, 255]");
    EXPECT_EQ(Limits(CResourceValue(1.0, 0.5, 2.0)), "[0.5, 2]");
    EXPECT_EQ(Limits(CResourceValue(1)), "<" + std::to_string(ERR_UNSUPPORTED) + ">");
}

TEST(ResourceValue, TypeNames)
{
    char* name = nullptr;
    CResourceValue d(1.0);
    ASSERT_EQ(d.TypeAsAscii(TYPE_CONVERSION_SHORT, &name), 0u);
    EXPECT_STREQ(name, "d");
    std::free(name);
    ASSERT_EQ(d.TypeAsAscii(TYPE_CONVERSION_LONG, &name), 0u);
    EXPECT_STREQ(name, "double");
    std::free(name);
    CResourceValue odd(static_cast<VALUE_TYPE_T>(5));
    ASSERT_EQ(odd.TypeAsAscii(TYPE_CONVERSION_LONG, &name), 0u);
    EXPECT_STREQ(name, "?");
    std::free(name);
}

TEST(ResourceValue, TransparentFragmentsByCopyType)
{
    char first[3] = {'a', 'b', 'c'};
    char second[2] = {'d', 'e'};
    CResourceValue v(first, 3, COPY_TYPE_COPY, VALUE_HINT_NONE, 7);
    ASSERT_EQ(v.AddFragment(second, 2, COPY_TYPE_COPY), 0u);
    EXPECT_EQ(v.GetSize(), 5u);
    first[0] = 'X';  // the value owns its copy

    char* data = reinterpret_cast<char*>(1);
    unsigned long size = 99, rev = 0;
    ASSERT_EQ(v.GetTransparent(&data, size, rev, COPY_TYPE_REFERENCE), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(rev, 7u);

    ASSERT_EQ(v.GetTransparent(&data, size, rev, COPY_TYPE_COPY), 0u);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::string(data, size), "abcde");
    std::free(data);

    char buf[8] = {};
    data = buf;
    size = 4;
    EXPECT_EQ(v.GetTransparent(&data, size, rev, COPY_TYPE_EXISTING), ERR_BAD_DATA);
    size = sizeof buf;
    ASSERT_EQ(v.GetTransparent(&data, size, rev, COPY_TYPE_EXISTING), 0u);
    EXPECT_EQ(std::string(buf, 5), "abcde");

    // A referencing value takes only referenced fragments, an owning one only owned.
    EXPECT_EQ(v.AddFragment(second, 2, COPY_TYPE_REFERENCE), ERR_UNSUPPORTED);
    CResourceValue ref(first, 3, COPY_TYPE_REFERENCE);
    EXPECT_EQ(ref.AddFragment(second, 2, COPY_TYPE_COPY), ERR_UNSUPPORTED);
    ASSERT_EQ(ref.AddFragment(second, 2, COPY_TYPE_REFERENCE), 0u);
    EXPECT_EQ(ref.GetSize(), 5u);

    // Take-over is stored as copy and the bytes are freed with the value.
    char* heap = static_cast<char*>(std::malloc(4));
    std::memcpy(heap, "wxyz", 4);
    CResourceValue taken(heap, 4, COPY_TYPE_TAKEOVER);
    EXPECT_EQ(taken.CopyType(), COPY_TYPE_COPY);
    ASSERT_EQ(taken.GetTransparent(&data, size, rev, COPY_TYPE_REFERENCE), 0u);
    EXPECT_EQ(data, heap);

    // Copying into the storage already present keeps the fragments.
    CResourceValue existing(first, 3, COPY_TYPE_COPY);
    TRANSPARENT_FRAGMENT_T* before = nullptr;
    existing.GetTransparent(&before, size, rev);
    EXPECT_EQ(existing.Set("xyz", 3, COPY_TYPE_EXISTING, 2), 0u);
    TRANSPARENT_FRAGMENT_T* after = nullptr;
    existing.GetTransparent(&after, size, rev);
    EXPECT_EQ(before, after);
    EXPECT_EQ(std::string(after->data, 3), "xyz");
    EXPECT_EQ(existing.Set("toolong", 7, COPY_TYPE_EXISTING, 2), ERR_BAD_DATA);
    EXPECT_EQ(existing.Set(nullptr, 4, COPY_TYPE_COPY, 0), ERR_BAD_DATA);
}

TEST(ResourceValue, CopiesOfTransparentValues)
{
    char bytes[4] = {1, 2, 3, 4};
    CResourceValue owner(bytes, 4, COPY_TYPE_COPY, VALUE_HINT_NONE, 3);
    CResourceValue copy(owner);
    EXPECT_EQ(copy.CopyType(), COPY_TYPE_COPY);
    EXPECT_EQ(copy.GetRevision(), 3u);
    EXPECT_EQ(copy.Compare(owner), 0u);
    char *a = nullptr, *b = nullptr;
    unsigned long sa = 0, sb = 0, r = 0;
    owner.GetTransparent(&a, sa, r, COPY_TYPE_REFERENCE);
    copy.GetTransparent(&b, sb, r, COPY_TYPE_REFERENCE);
    EXPECT_NE(a, b);  // its own bytes

    CResourceValue ref(bytes, 4, COPY_TYPE_REFERENCE);
    CResourceValue refCopy(ref);
    refCopy.GetTransparent(&b, sb, r, COPY_TYPE_REFERENCE);
    EXPECT_EQ(b, bytes);  // references the same single fragment

    CResourceValue assigned;
    assigned = owner;
    EXPECT_EQ(assigned.Type(), VALUE_TYPE_TRANSPARENT);
    EXPECT_EQ(assigned.Compare(owner), 0u);
}

TEST(ResourceValue, CompareAcrossTypes)
{
    EXPECT_EQ(CResourceValue(1).Compare(CResourceValue(1.0)), ERR_RES_WRONG_TYPE);
    EXPECT_EQ(CResourceValue("a").Compare(CResourceValue("b")), 0xFFFFFFFFUL);
    EXPECT_EQ(CResourceValue("b").Compare(CResourceValue("a")), 1u);
    EXPECT_EQ(CResourceValue("a").Compare(CResourceValue("a")), 0u);
    EXPECT_EQ(CResourceValue(2).Compare(CResourceValue(3)), 1u);
    EXPECT_EQ(CResourceValue(true).Compare(CResourceValue(true)), 0u);
    EXPECT_EQ(CResourceValue(L"a").Compare(CResourceValue(L"b")), 0xFFFFFFFFUL);
    char x[2] = {1, 2}, y[2] = {1, 3};
    EXPECT_EQ(CResourceValue(x, 2, COPY_TYPE_COPY).Compare(CResourceValue(y, 2, COPY_TYPE_COPY)), 0xFFFFFFFFUL);
    EXPECT_EQ(CResourceValue(x, 2, COPY_TYPE_COPY, VALUE_HINT_NONE, 1)
                  .Compare(CResourceValue(x, 2, COPY_TYPE_COPY, VALUE_HINT_NONE, 2)),
              1u);
}

TEST(ResourceValue, CopyCarriesHintLimitsAndOriginator)
{
    CResourceValue v(4, 0, 9, VALUE_HINT_HEX);
    ORIGINATOR_T o{0x7F000001, 1234, 42};
    v.SetOriginator(o);
    CResourceValue c(v);
    EXPECT_EQ(c.Hint(), VALUE_HINT_HEX);
    EXPECT_EQ(c.Set(10), ERR_OUT_OF_RANGE);
    ORIGINATOR_T got{};
    c.GetOriginator(got);
    EXPECT_EQ(got.address, o.address);
    EXPECT_EQ(got.port, o.port);
    EXPECT_EQ(got.threadId, o.threadId);

    CResourceValue a;
    a = v;  // the originator is not copied by assignment
    a.GetOriginator(got);
    EXPECT_EQ(got.address, 0u);
    EXPECT_EQ(a.Set(10), ERR_OUT_OF_RANGE);

    CResourceValue t("x");
    EXPECT_EQ(t.Set(CResourceValue(5), true), ERR_BAD_DATA);  // type must already match
    EXPECT_EQ(t.SetLimits(CResourceValue(5)), ERR_RES_WRONG_TYPE);
    EXPECT_EQ(t.SetLimits(1, 2), ERR_RES_WRONG_TYPE);
}

TEST(ResourceValue, SetTypeKeepsHintAndOriginator)
{
    CResourceValue v("text", 2UL, VALUE_HINT_HEX);
    ORIGINATOR_T o{1, 2, 3};
    v.SetOriginator(o);
    v.SetType(VALUE_TYPE_INT32);
    EXPECT_EQ(v.Hint(), VALUE_HINT_HEX);
    EXPECT_EQ(v.LimitType(), LIMIT_TYPE_NONE);
    EXPECT_EQ(v.GetSize(), 4u);
    ORIGINATOR_T got{};
    v.GetOriginator(got);
    EXPECT_EQ(got.threadId, 3u);
}

TEST(ResourceValue, HandleSetParsesByTheResourceType)
{
    CMemResourceTree tree;
    tree.AddNode(".", "b", RES_TYPE_VALUE, CResourceValue(false));
    tree.AddNode(".", "i", RES_TYPE_VALUE, CResourceValue(0));
    tree.AddNode(".", "d", RES_TYPE_VALUE, CResourceValue(0.0));
    tree.AddNode(".", "a", RES_TYPE_VALUE, CResourceValue(""));
    tree.AddNode(".", "u", RES_TYPE_VALUE, CResourceValue(L""));
    tree.AddNode(".", "t", RES_TYPE_VALUE, CResourceValue(VALUE_TYPE_TRANSPARENT));
    auto open = [&](const char* path) {
        CResource* r = nullptr;
        EXPECT_EQ(tree.OpenResource(CResourcePath(path), &r, nullptr), 0u);
        return r;
    };
    CResource* b = open(".b");
    EXPECT_EQ(res_handle_set(b, "ON", RES_NOWAIT), 0u);
    EXPECT_TRUE(tree.FindNode(".b")->value.GetBool());
    EXPECT_EQ(res_handle_set(b, "nope", RES_NOWAIT), 0u);
    EXPECT_FALSE(tree.FindNode(".b")->value.GetBool());
    CResource* i = open(".i");
    EXPECT_EQ(res_handle_set(i, "0x1f", RES_NOWAIT), 0u);
    EXPECT_EQ(tree.FindNode(".i")->value.GetInt(), 31);
    EXPECT_EQ(res_handle_set(i, "-12", RES_NOWAIT), 0u);
    EXPECT_EQ(tree.FindNode(".i")->value.GetInt(), -12);
    EXPECT_EQ(res_handle_set(i, "twelve", RES_NOWAIT), ERR_BAD_DATA);
    CResource* d = open(".d");
    EXPECT_EQ(res_handle_set(d, "2.5", RES_NOWAIT), 0u);
    EXPECT_DOUBLE_EQ(tree.FindNode(".d")->value.GetDouble(), 2.5);
    EXPECT_EQ(res_handle_set(d, "x", RES_NOWAIT), ERR_BAD_DATA);
    CResource* a = open(".a");
    EXPECT_EQ(res_handle_set(a, "hello", RES_NOWAIT), 0u);
    EXPECT_STREQ(tree.FindNode(".a")->value.GetAscii(), "hello");
    CResource* u = open(".u");
    EXPECT_EQ(res_handle_set(u, "wide", RES_NOWAIT), 0u);
    EXPECT_EQ(std::wcscmp(tree.FindNode(".u")->value.GetUnicode(), L"wide"), 0);
    CResource* t = open(".t");
    EXPECT_EQ(res_handle_set(t, " 0x1 0xff  0x10", RES_NOWAIT), 0u);
    char* data = nullptr;
    unsigned long size = 0, rev = 0;
    tree.FindNode(".t")->value.GetTransparent(&data, size, rev, COPY_TYPE_COPY);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(static_cast<unsigned char>(data[1]), 0xFF);
    std::free(data);
    EXPECT_EQ(res_handle_set(t, "0x1 zz", RES_NOWAIT), ERR_BAD_DATA);
    EXPECT_EQ(res_handle_set(t, "0x100", RES_NOWAIT), ERR_BAD_DATA);
    for (CResource* r : {b, i, d, a, u, t}) {
        r->Close();
    }
    EXPECT_EQ(res_handle_set(nullptr, "1", RES_NOWAIT), ERR_BAD_DATA);
}
