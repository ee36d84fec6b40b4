// The path walker res_path_parse over a small in-memory tree: whatever the
// text, every node it opened on the way is closed again and the node it hands
// out is open exactly once.
#include "fuzz/fuzz_input.h"
#include "tests/halvex_resource/mem_tree.h"

#include <halvex/resource/resource_path.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

void Build(CMemResourceTree& tree)
{
    tree.AddNode(".", "services", RES_TYPE_STRUCT);
    tree.AddNode(".services", "net", RES_TYPE_STRUCT);
    tree.AddNode(".services.net", "interface", RES_TYPE_STRUCT2);
    tree.AddNode(".services.net.interface", "LAN90001", RES_TYPE_STRUCT);
    for (const char* leaf : {"DHCP", "address", "netmask", "gateway", "commit", "method"}) {
        tree.AddNode(".services.net.interface.LAN90001", leaf, RES_TYPE_VALUE, CResourceValue(1));
    }
    tree.AddNode(".", "gateway", RES_TYPE_VALUE, CResourceValue("x"));
    tree.AddNode(".", "##7", RES_TYPE_VALUE, CResourceValue(2));
    tree.AddNode(".", "GATEWAY2", RES_TYPE_VALUE, CResourceValue(3));
    tree.AddNode(".", std::string(99, 'n').c_str(), RES_TYPE_VALUE, CResourceValue(4));
    tree.AddNode(".", "\xC3\xA4\xFF", RES_TYPE_VALUE, CResourceValue(5));
}

void CollectNodes(MemNode* node, std::vector<MemNode*>& out)
{
    out.push_back(node);
    for (auto& c : node->children) {
        CollectNodes(c.get(), out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The walker reports fuzzy matches on standard output.
    if (!std::freopen("/dev/null", "w", stdout)) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 4096) {
        return 0;
    }
    bool fuzzy = data[0] & 1;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    CMemResourceTree tree;
    Build(tree);
    CResource* out = nullptr;
    unsigned long r = res_path_parse(&tree, text.c_str(), &out, fuzzy);
    FUZZ_CHECK(r != 0 || out);
    std::vector<MemNode*> nodes;
    CollectNodes(tree.Root(), nodes);
    for (MemNode* n : nodes) {
        CMemResource* proxy = tree.ProxyOf(n);
        unsigned long expected = (r == 0 && proxy == out) ? 1 : 0;
        FUZZ_CHECK(!proxy || proxy->GetOpenCount() == expected);
    }
    if (r == 0) {
        CResourcePath path;
        FUZZ_CHECK(tree.GetAbsolutePath(out, path, nullptr) == 0 && path.AsChar()[0] == '.');
        out->Close();
    }
    return 0;
}
