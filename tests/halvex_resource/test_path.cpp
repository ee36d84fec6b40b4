#include "mem_tree.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <gtest/gtest.h>

#include <string>

using namespace ZYRK;

namespace {

std::string P(CResourcePath p)
{
    return p.AsChar();
}

std::string Appended(const char* a, const char* b)
{
    CResourcePath p(a);
    p.Append(CResourcePath(b));
    return p.AsChar();
}

std::string Inserted(const char* a, const char* b)
{
    CResourcePath p(a);
    p.Insert(CResourcePath(b));
    return p.AsChar();
}

std::string Subtracted(const char* a, const char* b)
{
    CResourcePath p(a);
    EXPECT_EQ(p.Subtract(CResourcePath(b)), 0u);
    return p.AsChar();
}

std::string Stripped(const char* a, unsigned long n)
{
    CResourcePath p(a);
    EXPECT_EQ(p.StripBeginning(n), 1u);
    return p.AsChar();
}

}  // namespace

TEST(ResourcePath, TypeAndDepth)
{
    EXPECT_EQ(CResourcePath(".a").Type(), CResourcePath::ABSOLUTE);
    EXPECT_EQ(CResourcePath("a").Type(), CResourcePath::RELATIVE);
    EXPECT_EQ(CResourcePath("").Type(), CResourcePath::RELATIVE);
    EXPECT_EQ(CResourcePath(".").GetLevelsDown(), 0u);
    EXPECT_EQ(CResourcePath("").GetLevelsDown(), 0u);
    EXPECT_EQ(CResourcePath("net").GetLevelsDown(), 0u);
    EXPECT_EQ(CResourcePath(".a").GetLevelsDown(), 1u);
    EXPECT_EQ(CResourcePath("a.b").GetLevelsDown(), 1u);
    EXPECT_EQ(CResourcePath(".services.net").GetLevelsDown(), 2u);
}

TEST(ResourcePath, ConstructionFromNumbersAndValues)
{
    EXPECT_EQ(P(CResourcePath(4294967295UL)), "-1");
    EXPECT_EQ(P(CResourcePath(0x80000000UL)), "-2147483648");
    EXPECT_EQ(P(CResourcePath(12UL)), "12");
    EXPECT_EQ(P(CResourcePath(L"wide.path")), "wide.path");
    CResourcePath fromWide(L".w");
    EXPECT_EQ(fromWide.CText::Type(), CText::CHAR_8BIT);
    EXPECT_EQ(P(CResourcePath(CResourceValue(255, VALUE_HINT_HEX))), "0xff");
    CResourcePath copy(CResourcePath(".x.y"));
    EXPECT_EQ(P(copy), ".x.y");
}

TEST(ResourcePath, StripPathAndName)
{
    CResourcePath p(".a.b");
    p.StripPath();
    EXPECT_EQ(P(p), "b");
    CResourcePath root(".");
    root.StripPath();
    EXPECT_EQ(P(root), "");
    CResourcePath plain("a");
    plain.StripPath();
    EXPECT_EQ(P(plain), "a");

    CResourcePath n(".a.b");
    n.StripName();
    EXPECT_EQ(P(n), ".a");
    n.StripName();
    EXPECT_EQ(P(n), "");
    // Appending to what is left of a top-level path gives it back.
    n.Append(CResourcePath("b"));
    EXPECT_EQ(P(n), ".b");
    CResourcePath r(".");
    r.StripName();
    EXPECT_EQ(P(r), "");
}

TEST(ResourcePath, StripBeginningNeverRemovesTheLastName)
{
    EXPECT_EQ(Stripped(".a.b.c", 1), "b.c");
    EXPECT_EQ(Stripped(".a.b.c", 2), "c");
    EXPECT_EQ(Stripped(".a.b.c", 3), "c");
    EXPECT_EQ(Stripped(".a.b.c", 10), "c");
    EXPECT_EQ(Stripped("a.b", 1), "b");
    EXPECT_EQ(Stripped(".a.b", 0), "a.b");
}

TEST(ResourcePath, Subtract)
{
    EXPECT_EQ(Subtracted(".a.b.c", ".a"), ".b.c");
    EXPECT_EQ(Subtracted(".a.b.c", "b"), ".a.c");
    EXPECT_EQ(Subtracted(".a.b.c", ".a.b.c"), "");
    EXPECT_EQ(Subtracted(".a.b.c", "x"), ".a.b.c");
    EXPECT_EQ(Subtracted(".a.b.c", ""), ".a.b.c");
}

TEST(ResourcePath, GetPathChunk)
{
    CResourcePath p(".a.bc.d");
    CResourcePath out;
    int offset = -1;
    ASSERT_EQ(p.GetPathChunk(0, out, offset), 0u);
    EXPECT_EQ(P(out), "a");
    EXPECT_EQ(offset, 1);
    ASSERT_EQ(p.GetPathChunk(1, out, offset), 0u);
    EXPECT_EQ(P(out), "bc");
    EXPECT_EQ(offset, 3);
    ASSERT_EQ(p.GetPathChunk(2, out, offset), 0u);
    EXPECT_EQ(P(out), "d");
    EXPECT_EQ(offset, 6);
    EXPECT_EQ(p.GetPathChunk(3, out, offset), ERR_NOT_FOUND);
    EXPECT_EQ(CResourcePath("").GetPathChunk(0, out, offset), ERR_BAD_DATA);
    ASSERT_EQ(CResourcePath("x.y").GetPathChunk(1, out, offset), 0u);
    EXPECT_EQ(P(out), "y");
    EXPECT_EQ(offset, 2);
}

TEST(ResourcePath, CompareStartComparesCharactersOfTheShorterText)
{
    EXPECT_EQ(CResourcePath(".a").CompareStart(CResourcePath(".ab")), 0);
    EXPECT_EQ(CResourcePath(".ab").CompareStart(CResourcePath(".a")), 0);
    EXPECT_LT(CResourcePath(".a").CompareStart(CResourcePath(".b")), 0);
    EXPECT_GT(CResourcePath(".c.x").CompareStart(CResourcePath(".b")), 0);
}

TEST(ResourcePath, AppendRules)
{
    EXPECT_EQ(Appended(".a", "b"), ".a.b");
    EXPECT_EQ(Appended(".a", ".b"), ".a.b");
    EXPECT_EQ(Appended(".", ".b"), ".b");
    EXPECT_EQ(Appended(".", "b"), ".b");
    EXPECT_EQ(Appended("", "b"), ".b");
    EXPECT_EQ(Appended("a", "b"), "a.b");
    EXPECT_EQ(Appended(".a", ""), ".a");
    EXPECT_EQ(Appended(".", "."), ".");
    CResourcePath self(".s");
    self.Append(self);
    EXPECT_EQ(P(self), ".s.s");
}

TEST(ResourcePath, InsertAndAbsoluteness)
{
    EXPECT_EQ(Inserted(".b", "a"), ".a.b");
    EXPECT_EQ(Inserted("b", ".a"), ".a.b");
    EXPECT_EQ(Inserted("b", "a"), ".a.b");
    CResourcePath p("a.b");
    p.MakeAbsolute();
    EXPECT_EQ(P(p), ".a.b");
    p.MakeAbsolute();
    EXPECT_EQ(P(p), ".a.b");
    p.MakeRelative();
    EXPECT_EQ(P(p), "a.b");
    CResourcePath e("");
    e.MakeAbsolute();
    EXPECT_EQ(P(e), ".");
    e.MakeRelative();
    EXPECT_EQ(P(e), "");
}

TEST(ResourcePath, NameSimilarity)
{
    EXPECT_EQ(res_name_similarity("address", "address"), 100);
    EXPECT_EQ(res_name_similarity("netmask", "netmsk"), 85);
    EXPECT_LT(res_name_similarity("gateway", "address"), 75);
    // A character far away from its position does not count.
    EXPECT_EQ(res_name_similarity("abcdefghi", "ihgfedcba"), 11);
    EXPECT_EQ(res_name_similarity("", "abc"), 0);
}

class PathWalker : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.AddNode(".", "a", RES_TYPE_STRUCT);
        tree.AddNode(".", "b", RES_TYPE_STRUCT);
        tree.AddNode(".", "gateway", RES_TYPE_VALUE, CResourceValue("10.0.0.1"));
        tree.AddNode(".a", "x", RES_TYPE_VALUE, CResourceValue(1));
        tree.AddNode(".b", "y", RES_TYPE_VALUE, CResourceValue(2));
    }

    std::string PathOf(CResource* r)
    {
        CResourcePath p;
        tree.GetAbsolutePath(r, p, nullptr);
        return p.AsChar();
    }

    // Every open the walker made, other than the one it hands out, is closed.
    void ExpectOnlyOpen(CResource* handedOut)
    {
        for (const char* path : {".", ".a", ".b", ".gateway", ".a.x", ".b.y"}) {
            CMemResource* proxy = tree.ProxyOf(tree.FindNode(path));
            if (!proxy) {
                continue;
            }
            EXPECT_EQ(proxy->GetOpenCount(), proxy == handedOut ? 1u : 0u) << path;
        }
    }

    CMemResourceTree tree;
};

TEST_F(PathWalker, RootAndNames)
{
    CResource* r = nullptr;
    ASSERT_EQ(res_path_parse(&tree, ".", &r, false), 0u);
    EXPECT_EQ(PathOf(r), ".");
    EXPECT_EQ(r, tree.ProxyOf(tree.Root()));
    r->Close();

    ASSERT_EQ(res_path_parse(&tree, ".a.x", &r, false), 0u);
    EXPECT_EQ(PathOf(r), ".a.x");
    ExpectOnlyOpen(r);
    r->Close();

    ASSERT_EQ(res_path_parse(&tree, "a.x", &r, false), 0u);  // relative texts start at the root too
    EXPECT_EQ(PathOf(r), ".a.x");
    r->Close();
    EXPECT_EQ(res_path_parse(&tree, "", &r, false), ERR_BAD_DATA);
}

TEST_F(PathWalker, ParentAndChildIndex)
{
    CResource* r = nullptr;
    ASSERT_EQ(res_path_parse(&tree, ".a..b", &r, false), 0u);
    EXPECT_EQ(PathOf(r), ".b");
    ExpectOnlyOpen(r);
    r->Close();

    ASSERT_EQ(res_path_parse(&tree, "##2", &r, false), 0u);
    EXPECT_EQ(PathOf(r), ".gateway");
    r->Close();
    ASSERT_EQ(res_path_parse(&tree, ".##1.##0", &r, false), 0u);
    EXPECT_EQ(PathOf(r), ".b.y");
    r->Close();
}

TEST_F(PathWalker, FailuresCloseWhatWasOpened)
{
    CResource* r = nullptr;
    EXPECT_EQ(res_path_parse(&tree, ".a.nothere", &r, false), ERR_RES_NOT_IN_TREE);
    ExpectOnlyOpen(nullptr);
    std::string longName(100, 'n');
    EXPECT_EQ(res_path_parse(&tree, ("." + longName).c_str(), &r, false), ERR_BAD_DATA);
    ExpectOnlyOpen(nullptr);
    EXPECT_EQ(res_path_parse(&tree, ".gatewya", &r, false), ERR_RES_NOT_IN_TREE);
}

TEST_F(PathWalker, FuzzyFallbackOpensTheClosestChildAndSaysSo)
{
    CResource* r = nullptr;
    testing::internal::CaptureStdout();
    unsigned long result = res_path_parse(&tree, ".gatewya", &r, true);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(PathOf(r), ".gateway");
    EXPECT_EQ(out, "fuzzy: .gateway\n");
    ExpectOnlyOpen(r);
    r->Close();

    // Equal ignoring case scores 95 and is taken as well.
    testing::internal::CaptureStdout();
    ASSERT_EQ(res_path_parse(&tree, ".GATEWAY", &r, true), 0u);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(PathOf(r), ".gateway");
    r->Close();

    // Nothing similar enough: the open's own failure is reported.
    EXPECT_EQ(res_path_parse(&tree, ".zzzzzz", &r, true), ERR_RES_NOT_IN_TREE);
    ExpectOnlyOpen(nullptr);
}

TEST_F(PathWalker, BestChildNeedsMoreThan74)
{
    CResource* root = tree.OpenRoot();
    ASSERT_NE(root, nullptr);
    CResource* out = nullptr;
    CText close("gatewy");
    ASSERT_EQ(res_open_best_child(root, &close, &out), 0u);
    EXPECT_EQ(PathOf(out), ".gateway");
    out->Close();
    CText far("q");
    EXPECT_EQ(res_open_best_child(root, &far, &out), ERR_BAD_DATA);
    CResource* leaf = nullptr;
    ASSERT_EQ(tree.OpenResource(CResourcePath(".a.x"), &leaf, nullptr), 0u);
    EXPECT_EQ(res_open_best_child(leaf, &close, &out), ERR_BAD_DATA);  // no children
    leaf->Close();
    root->Close();
    ExpectOnlyOpen(nullptr);
}
