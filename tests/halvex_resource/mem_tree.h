// A small in-memory resource tree: nodes held in memory, proxies handed out
// by path with open counts, as a client or server tree would. Used by the
// tests of the path walker, the sets and the tree's generic walks.
#pragma once

#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ZYRK {

class CMemResourceTree;

struct MemNode {
    std::string name;
    RES_TYPE_T kind = RES_TYPE_VALUE;
    CResourceValue value;
    unsigned long attr = 0x0FFF;  // everyone may get, set, create and delete
    MemNode* parent = nullptr;
    std::vector<std::unique_ptr<MemNode>> children;
};

class CMemResource : public CResource {
public:
    CMemResource(CMemResourceTree* tree, MemNode* node) : m_tree(tree), m_node(node) {}

    unsigned long Set(const CResource& source, RES_WAIT_T wait, unsigned long waitTime,
                      const USER_IDENT_T* ident) override;
    unsigned long Set(const CResourceValue& value, RES_WAIT_T wait, unsigned long waitTime,
                      const USER_IDENT_T* ident) override;
    unsigned long Get(CResourceValue& value, const USER_IDENT_T* ident) const override;
    unsigned long Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                         const USER_IDENT_T* ident) override;
    unsigned long Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) override;
    unsigned long Delete(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) override;
    unsigned long DeleteAll(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) override;
    bool IsSetSupported() override { return Bit(RES_ATTR_OWNER_SET); }
    bool IsSetAllowed(const USER_IDENT_T*) override { return Bit(RES_ATTR_OWNER_SET); }
    bool IsAddChildAllowed(const USER_IDENT_T*) override { return Bit(RES_ATTR_OWNER_SET); }
    bool IsGetSupported() override { return Bit(RES_ATTR_OWNER_GET); }
    bool IsGetAllowed(const USER_IDENT_T*) override { return Bit(RES_ATTR_OWNER_GET); }
    bool IsOpenChildAllowed(const USER_IDENT_T*) override { return Bit(RES_ATTR_OWNER_GET); }
    bool IsCreateSupported() override { return Bit(RES_ATTR_OWNER_CREATE); }
    bool IsCreateAllowed(const USER_IDENT_T*) override { return Bit(RES_ATTR_OWNER_CREATE); }
    bool IsDeleteSupported() override { return Bit(RES_ATTR_OWNER_DELETE); }
    bool IsDeleteAllowed(const USER_IDENT_T*) override { return Bit(RES_ATTR_OWNER_DELETE); }
    bool IsSubscrSupported() override { return Bit(RES_ATTR_SUBSCR); }
    bool IsNotifyParent() override { return Bit(RES_ATTR_NOTIFY_PARENT); }
    bool IsPersistent() override { return Bit(RES_ATTR_PERSISTENT); }
    bool IsSync() override { return Bit(RES_ATTR_SYNC); }
    bool IsRename() override { return Bit(RES_ATTR_RENAME); }
    bool IsDefaultHinted() override { return Bit(RES_ATTR_DEFAULT_HINTED); }
    bool IsResourceOpenCount(unsigned long count) override { return m_openCount == count; }
    unsigned long GetAttr() override { return m_node ? m_node->attr : 0xFFFFFFFFUL; }
    unsigned long SetAttr(unsigned long flags, RES_RECURSIVE_T, RES_OPERATOR_T, const USER_IDENT_T*) override;
    RES_TYPE_T Type() override { return m_node ? m_node->kind : RES_TYPE_VALUE; }
    unsigned long ValueType(VALUE_TYPE_T& type) const override;
    VALUE_TYPE_T ValueType() override;
    unsigned short OwnerUID() override { return 0; }
    unsigned short OwnerGID() override { return 0; }
    unsigned long Open() override;
    unsigned long Close() override;
    unsigned long GetOpenCount() override { return m_openCount; }
    unsigned long OpenChild(unsigned long index, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long OpenChild(CHILD_INDEX_T which, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long OpenChild(const CResourcePath& name, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long Iterate(CResource** next, const USER_IDENT_T* ident) const override;
    unsigned long OpenParent(CResource** out, const USER_IDENT_T* ident) const override;
    unsigned long SetName(const CResourcePath& name, RES_WAIT_T, unsigned long, const USER_IDENT_T*) override;
    unsigned long GetName(CResourcePath& name) const override;
    unsigned long GetChildCount() override { return m_node ? m_node->children.size() : 0; }
    unsigned long AddSubscr(RES_SUBSCR_T, unsigned long, unsigned short, unsigned long, unsigned long, RES_SUBSCR_T,
                            unsigned long, unsigned long, const USER_IDENT_T*) override;
    unsigned long AddInfoSubscr(RES_SUBSCR_T, unsigned long, unsigned short, unsigned long, unsigned long,
                                const USER_IDENT_T*) override;
    unsigned long RemoveSubscr(RES_SUBSCR_T, unsigned long, unsigned short, unsigned long,
                               const USER_IDENT_T*) override;
    unsigned long GetNumSubscr() override { return 0; }
    unsigned long GetNumSubscrReply() override { return 0; }
    void DumpSubscr() override {}
    CResourceTree* GetTree() const override;
    unsigned long Lock() override { return 0; }
    unsigned long Unlock() override { return 0; }

    MemNode* Node() const { return m_node; }
    void Detach() { m_node = nullptr; m_tree = nullptr; }
    unsigned long SetCount() const { return m_setCount; }

private:
    bool Bit(unsigned long bit) { return (GetAttr() & bit) != 0; }

    CMemResourceTree* m_tree;
    MemNode* m_node;
    unsigned long m_openCount = 0;
    unsigned long m_setCount = 0;
};

class CMemResourceTree : public CResourceTree {
public:
    CMemResourceTree();
    ~CMemResourceTree() override;

    // Building the tree: adds a node below the node at parentPath.
    MemNode* AddNode(const char* parentPath, const char* name, RES_TYPE_T kind,
                     const CResourceValue& value = CResourceValue());
    MemNode* FindNode(const char* path) const;
    // The proxy of a node when one was handed out (null otherwise).
    CMemResource* ProxyOf(const MemNode* node) const;
    // Hands out the node's proxy, opened once more.
    unsigned long OpenNode(MemNode* node, CResource** out);
    void Forget(CMemResource* proxy);

    unsigned long Authenticate(const char*, const char*) override { return 0; }
    CResource* OpenRoot() override;
    unsigned long OpenResource(CResource* parent, unsigned long index, CResource** out,
                               const USER_IDENT_T* ident) override;
    unsigned long OpenResource(CResource* parent, CHILD_INDEX_T which, CResource** out,
                               const USER_IDENT_T* ident) override;
    unsigned long OpenResource(CResource* parent, const CResourcePath& relativePath, CResource** out,
                               const USER_IDENT_T* ident) override;
    unsigned long OpenResource(const CResourcePath& path, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long OpenResources(const CResourceValueSet& paths, CResourceSet** out,
                                const USER_IDENT_T* ident) override;
    unsigned long GetResources(const CResourceSet&, CResourceValueSet&, CResourceValueSet&,
                               const USER_IDENT_T*) override;
    unsigned long AddResourceSubscrs(const CResourceSet&, RES_SUBSCR_T, unsigned long, unsigned short,
                                     const CResourceValueSet&, unsigned long, CResourceValueSet&, RES_SUBSCR_T,
                                     unsigned long, const USER_IDENT_T*) override;
    unsigned long RemoveResourceSubscrs(const CResourceSet&, RES_SUBSCR_T, unsigned long, unsigned short,
                                        const CResourceValueSet&, CResourceValueSet&, const USER_IDENT_T*) override;
    unsigned long GetAbsolutePath(const CResource* resource, CResourcePath& path, const USER_IDENT_T*) override;
    unsigned long GetRelativePath(const CResource* resource, const CResource* base, CResourcePath& path,
                                  const USER_IDENT_T* ident) override;
    unsigned long GetLevelsDown(CResource* resource) override;
    using CResourceTree::Dump;
    unsigned long Dump(CResource*, const char*, CResourceSet*, PATH_TYPE_T, const char*, const char*, PERSISTENCE_T,
                       DEFAULT_T, const USER_IDENT_T*, GID_FILTER_T, unsigned long) override;
    unsigned long Reload(CResource*, const wchar_t*, HASH_TYPE_T, const char*, INFO_TYPE_T,
                         const USER_IDENT_T*) override;
    unsigned long Reload(CResource*, const char*, HASH_TYPE_T, const char*, INFO_TYPE_T, const USER_IDENT_T*) override;
    unsigned long Reload(CResource*, const wchar_t*, unsigned long, HASH_TYPE_T, const char*, INFO_TYPE_T,
                         const USER_IDENT_T*) override;
    unsigned long Reload(CResource*, const char*, unsigned long, HASH_TYPE_T, const char*, INFO_TYPE_T,
                         const USER_IDENT_T*) override;
    unsigned long AddSubscr(unsigned long, RES_SUBSCR_T, unsigned long, unsigned short, unsigned long,
                            unsigned long, const USER_IDENT_T*) override;
    unsigned long RemoveSubscr(unsigned long, RES_SUBSCR_T, unsigned long, unsigned short,
                               const USER_IDENT_T*) override;
    void DumpAggregates() override {}

    MemNode* Root() { return &m_root; }
    unsigned long OpenRequests() const { return m_openRequests; }

private:
    MemNode* Resolve(MemNode* from, const char* path) const;

    MemNode m_root;
    std::map<const MemNode*, CMemResource*> m_proxies;
    std::vector<CMemResource*> m_detached;
    unsigned long m_openRequests = 0;
};

}  // namespace ZYRK
