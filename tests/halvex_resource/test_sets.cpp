#include "mem_tree.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_set.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ZYRK;

namespace {

class Sets : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.AddNode(".", "net", RES_TYPE_STRUCT);
        tree.AddNode(".net", "dhcp", RES_TYPE_VALUE, CResourceValue(false));
        tree.AddNode(".net", "eth0", RES_TYPE_STRUCT2);
        tree.AddNode(".net.eth0", "DHCP", RES_TYPE_VALUE, CResourceValue(true));
        tree.AddNode(".net.eth0", "address", RES_TYPE_VALUE, CResourceValue("10.0.0.2"));
        tree.AddNode(".net", "remote", RES_TYPE_MOUNT);
        tree.AddNode(".net.remote", "Dhcp", RES_TYPE_VALUE, CResourceValue(false));
        tree.AddNode(".", "name", RES_TYPE_VALUE, CResourceValue("cam"));
        tree.AddNode(".", "count", RES_TYPE_VALUE, CResourceValue(3));
    }

    CResource* Open(const char* path)
    {
        CResource* r = nullptr;
        EXPECT_EQ(tree.OpenResource(CResourcePath(path), &r, nullptr), 0u) << path;
        return r;
    }

    std::string PathOf(CResource* r)
    {
        CResourcePath p;
        tree.GetAbsolutePath(r, p, nullptr);
        return p.AsChar();
    }

    std::vector<std::string> Drain(CResourceSet& set)
    {
        std::vector<std::string> out;
        CResource* r = nullptr;
        unsigned long result;
        while ((result = set.Iterate(&r)) == 0) {
            out.push_back(PathOf(r));
        }
        EXPECT_EQ(result, ERR_SET_ITERATION_END);
        return out;
    }

    CMemResourceTree tree;
};

}  // namespace

TEST_F(Sets, UniqueCheckOpensOnlyOnce)
{
    CResource* r = Open(".name");
    {
        CResourceSet set;
        set.SetUniqueCheck(true);
        EXPECT_EQ(set.Add(r), 0u);
        EXPECT_EQ(set.Add(r), ERR_SET_ALREADY_IN_SET);
        EXPECT_EQ(set.GetNodeCount(), 1u);
        EXPECT_EQ(r->GetOpenCount(), 2u);
        set.SetUniqueCheck(false);
        EXPECT_EQ(set.Add(r), 0u);
        EXPECT_EQ(r->GetOpenCount(), 3u);
        EXPECT_EQ(set.Remove(r), 0u);
        EXPECT_EQ(r->GetOpenCount(), 2u);
    }
    EXPECT_EQ(r->GetOpenCount(), 1u);  // the set's destruction closed its hold
    r->Close();
}

TEST_F(Sets, IterationBothWaysAndIndexes)
{
    CResource* a = Open(".name");
    CResource* b = Open(".count");
    CResource* c = Open(".net");
    CResourceSet set;
    set.Add(a);
    set.Add(b);
    set.Add(c);
    EXPECT_EQ(Drain(set), (std::vector<std::string>{".name", ".count", ".net"}));
    set.SetIterationOrder(ITERATION_BACKWARD);
    set.ResetIteration();
    EXPECT_EQ(Drain(set), (std::vector<std::string>{".net", ".count", ".name"}));

    CResource* out = nullptr;
    EXPECT_EQ(set.GetNodeByIndex(3, &out), ERR_SET_INDEX_OUT_OF_RANGE);
    ASSERT_EQ(set.GetNodeByIndex(2, &out), 0u);
    EXPECT_EQ(out, c);
    unsigned long index = 99;
    ASSERT_EQ(set.GetNodeByName(CResourcePath(".count"), &out, index), 0u);
    EXPECT_EQ(out, b);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(set.GetNodeByName(CResourcePath(".Count"), &out, index), ERR_SET_NOT_IN_SET);

    set.SetIterationOrder(ITERATION_FORWARD);
    ASSERT_EQ(set.SetIterationPoint(a), 0u);
    EXPECT_EQ(Drain(set), (std::vector<std::string>{".count", ".net"}));
    EXPECT_EQ(set.SetIterationPoint(nullptr), ERR_BAD_DATA);
    EXPECT_EQ(set.Remove(nullptr), ERR_SET_NOT_IN_SET);
    for (CResource* r : {a, b, c}) {
        r->Close();
    }
}

TEST_F(Sets, RemovingTheCursorEntryNeverLeavesItDangling)
{
    CResource* a = Open(".name");
    CResource* b = Open(".count");
    CResource* c = Open(".net");
    CResourceSet set;
    set.Add(a);
    set.Add(b);
    set.Add(c);
    CResource* r = nullptr;
    ASSERT_EQ(set.Iterate(&r), 0u);  // cursor now on b
    set.Remove(b);                   // moves against the order, to a
    ASSERT_EQ(set.Iterate(&r), 0u);
    EXPECT_EQ(r, a);
    set.ResetIteration();  // cursor on a, which has no previous entry
    set.Remove(a);
    ASSERT_EQ(set.Iterate(&r), 0u);
    EXPECT_EQ(r, c);
    set.ResetIteration();
    set.Remove(c);
    EXPECT_EQ(set.Iterate(&r), ERR_SET_ITERATION_END);
    EXPECT_EQ(set.GetNodeCount(), 0u);
    for (CResource* x : {a, b, c}) {
        x->Close();
    }
}

TEST_F(Sets, CopyConstructorOpensOnceMore)
{
    CResource* a = Open(".name");
    CResource* b = Open(".count");
    CResourceSet set;
    set.Add(a);
    set.Add(b);
    {
        CResourceSet copy(&set);
        EXPECT_EQ(copy.GetNodeCount(), 2u);
        EXPECT_EQ(a->GetOpenCount(), 3u);
        EXPECT_EQ(b->GetOpenCount(), 3u);
        EXPECT_EQ(Drain(copy), (std::vector<std::string>{".name", ".count"}));
        CResource* r = nullptr;
        EXPECT_EQ(set.Iterate(&r), ERR_SET_ITERATION_END);  // the source's cursor went to its end
    }
    EXPECT_EQ(a->GetOpenCount(), 2u);
    CResourceSet empty;
    CResourceSet emptyCopy(&empty);
    EXPECT_EQ(emptyCopy.GetNodeCount(), 0u);
    a->Close();
    b->Close();
}

TEST_F(Sets, SubtreeAndPathListConstructors)
{
    CResource* root = tree.OpenRoot();
    {
        CResourceSet all(root);
        std::vector<std::string> paths;
        for (unsigned long i = 0; i < all.GetNodeCount(); ++i) {
            CResource* r = nullptr;
            all.GetNodeByIndex(i, &r);
            paths.push_back(PathOf(r));
        }
        // Depth first below kinds 5 and 6; a mount point is listed, not entered.
        EXPECT_EQ(paths, (std::vector<std::string>{".net", ".net.dhcp", ".net.eth0", ".net.eth0.DHCP",
                                                   ".net.eth0.address", ".net.remote", ".name", ".count"}));
        CResource* dhcp = tree.ProxyOf(tree.FindNode(".net.dhcp"));
        EXPECT_EQ(dhcp->GetOpenCount(), 1u);  // the set's hold only
    }
    root->Close();
    char p1[] = ".name", p2[] = ".missing", p3[] = ".count";
    char* paths[] = {p1, p2, p3, nullptr};
    CResourceSet listed(&tree, paths);
    EXPECT_EQ(listed.GetNodeCount(), 2u);
    EXPECT_EQ(tree.ProxyOf(tree.FindNode(".name"))->GetOpenCount(), 1u);
}

TEST_F(Sets, ValueSetsMoveValuesFromTheEnd)
{
    CResource* name = Open(".name");
    CResource* count = Open(".count");
    CResourceValueSet values;
    values << CResourceValue(5) << CResourceValue("renamed");
    EXPECT_EQ(values.GetValueCount(), 2u);
    EXPECT_EQ(values.MoveLast(name), 0u);
    EXPECT_STREQ(tree.FindNode(".name")->value.GetAscii(), "renamed");
    EXPECT_EQ(values.GetValueCount(), 1u);
    EXPECT_EQ(values.MoveLast(name), ERR_VALSET_TYPE_MISMATCH);
    EXPECT_EQ(values.GetValueCount(), 1u);
    EXPECT_EQ(values.MoveLast(count), 0u);
    EXPECT_EQ(tree.FindNode(".count")->value.GetInt(), 5);
    EXPECT_EQ(values.MoveLast(count), ERR_VALSET_EMPTY);

    CResourceValueSet stack;
    stack << CResourceValue(1) << CResourceValue(2);
    CResourceValue out(0);
    stack >> out;
    EXPECT_EQ(out.GetInt(), 2);
    stack >> out;
    EXPECT_EQ(out.GetInt(), 1);
    EXPECT_EQ(stack.GetValueCount(), 0u);
    stack >> out;  // empty: nothing happens
    EXPECT_EQ(out.GetInt(), 1);

    CResourceValueSet indexed;
    indexed.AddVal(CResourceValue(1));
    indexed.AddPtr(nullptr);
    EXPECT_EQ(indexed.Set(CResourceValue(9), 0), 0u);
    EXPECT_EQ(indexed.Set(CResourceValue(9), 2), ERR_VALSET_INDEX_OUT_OF_RANGE);
    CResourceValue* v = nullptr;
    ASSERT_EQ(indexed.GetValueByIndex(0, &v), 0u);
    EXPECT_EQ(v->GetInt(), 9);
    EXPECT_EQ(indexed.GetValueByIndex(2, &v), ERR_SET_INDEX_OUT_OF_RANGE);
    name->Close();
    count->Close();
}

TEST_F(Sets, ResourceSetGetAndSetPairValuesWithResources)
{
    CResource* name = Open(".name");
    CResource* count = Open(".count");
    CResourceSet set;
    set.Add(name);
    set.Add(count);
    CResourceValueSet* values = nullptr;
    ASSERT_EQ(set.Get(&values), 0u);
    ASSERT_EQ(values->GetValueCount(), 2u);
    CResourceValue* v = nullptr;
    values->GetValueByIndex(0, &v);
    EXPECT_STREQ(v->GetAscii(), "cam");
    values->Set(CResourceValue("cam2"), 0);
    values->Set(CResourceValue(8), 1);
    EXPECT_EQ(set.Set(values), 0u);
    EXPECT_EQ(values->GetValueCount(), 0u);
    EXPECT_STREQ(tree.FindNode(".name")->value.GetAscii(), "cam2");
    EXPECT_EQ(tree.FindNode(".count")->value.GetInt(), 8);

    // A value that does not fit its resource stops the pairing.
    values->AddVal(CResourceValue(1));
    values->AddVal(CResourceValue(2));
    EXPECT_EQ(set.Set(values), ERR_VALSET_TYPE_MISMATCH);  // the last resource (count) takes 2, then name refuses
    EXPECT_EQ(tree.FindNode(".count")->value.GetInt(), 2);
    delete values;

    // A read that fails leaves an int32 0.
    CResource* net = Open(".net");
    CResourceValueSet fromNode;
    fromNode << static_cast<const CResource*>(net);
    fromNode.GetValueByIndex(0, &v);
    EXPECT_EQ(v->Type(), VALUE_TYPE_INT32);
    EXPECT_EQ(v->GetInt(), 0);
    net->Close();
    name->Close();
    count->Close();
}

TEST_F(Sets, FindResourcesDescendsIntoStructuredNodesAndMounts)
{
    CResource* root = tree.OpenRoot();
    CResourceSet* found = nullptr;
    ASSERT_EQ(tree.FindResources(CResourcePath("DHCP"), root, MATCH_NAME, CASE_INSENSITIVE, EXACT_MATCH, &found,
                                 nullptr),
              0u);
    std::vector<std::string> paths;
    for (unsigned long i = 0; i < found->GetNodeCount(); ++i) {
        CResource* r = nullptr;
        found->GetNodeByIndex(i, &r);
        paths.push_back(PathOf(r));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{".net.dhcp", ".net.eth0.DHCP", ".net.remote.Dhcp"}));
    delete found;

    ASSERT_EQ(tree.FindResources(CResourcePath("eth0"), root, MATCH_PATH, CASE_SENSITIVE, SUBSTRING_MATCH, &found,
                                 nullptr),
              0u);
    EXPECT_EQ(found->GetNodeCount(), 3u);  // .net.eth0 and its two children
    tree.CloseResources(*found);
    EXPECT_EQ(found->GetNodeCount(), 3u);
    delete found;

    EXPECT_EQ(tree.FindResources(CResourcePath("x"), nullptr, MATCH_NAME, CASE_SENSITIVE, EXACT_MATCH, &found,
                                 nullptr),
              ERR_BAD_DATA);
    CMemResourceTree other;
    CResource* foreign = other.OpenRoot();
    EXPECT_EQ(tree.FindResources(CResourcePath("x"), foreign, MATCH_NAME, CASE_SENSITIVE, EXACT_MATCH, &found,
                                 nullptr),
              ERR_RES_NOT_IN_TREE);
    foreign->Close();
    root->Close();
    for (const char* p : {".net", ".net.dhcp", ".net.eth0", ".net.eth0.DHCP", ".net.remote.Dhcp"}) {
        EXPECT_EQ(tree.ProxyOf(tree.FindNode(p))->GetOpenCount(), 0u) << p;
    }
}

TEST_F(Sets, DeleteInstancesAndCreateFromMaster)
{
    CResource* eth0 = Open(".net.eth0");
    EXPECT_EQ(tree.DeleteInstances(eth0, nullptr), 0u);
    EXPECT_TRUE(tree.FindNode(".net.eth0")->children.empty());
    EXPECT_EQ(tree.DeleteInstances(nullptr, nullptr), ERR_BAD_DATA);

    // A master with a value and an instance kind: values are copied, instances created.
    tree.AddNode(".", "master", RES_TYPE_STRUCT);
    tree.AddNode(".master", "name", RES_TYPE_VALUE, CResourceValue("from-master"));
    tree.AddNode(".master", "inst", RES_TYPE_STRUCT2);
    tree.AddNode(".", "target", RES_TYPE_STRUCT);
    tree.AddNode(".target", "name", RES_TYPE_VALUE, CResourceValue("old"));
    CResource* master = Open(".master");
    CResource* target = Open(".target");
    EXPECT_EQ(tree.CreateFromMaster(target, master, nullptr), 0u);
    EXPECT_STREQ(tree.FindNode(".target.name")->value.GetAscii(), "from-master");
    EXPECT_NE(tree.FindNode(".target.inst"), nullptr);
    EXPECT_EQ(tree.CreateFromMaster(nullptr, master, nullptr), ERR_BAD_DATA);
    master->Close();
    target->Close();
    eth0->Close();
}
