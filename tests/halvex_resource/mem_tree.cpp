#include "mem_tree.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_set.h>

#include <cstring>

namespace ZYRK {

namespace {

std::vector<std::string> SplitNames(const char* path)
{
    std::vector<std::string> names;
    std::string cur;
    for (const char* p = path; *p; ++p) {
        if (*p == '.') {
            if (!cur.empty()) {
                names.push_back(cur);
            }
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty()) {
        names.push_back(cur);
    }
    return names;
}

}  // namespace

// ---------------------------------------------------------------------------
// CMemResource

unsigned long CMemResource::Set(const CResource& source, RES_WAIT_T wait, unsigned long waitTime,
                                const USER_IDENT_T* ident)
{
    CResourceValue value;
    unsigned long r = source.Get(value, ident);
    if (r != ERR_OK) {
        return r;
    }
    return Set(value, wait, waitTime, ident);
}

unsigned long CMemResource::Set(const CResourceValue& value, RES_WAIT_T, unsigned long, const USER_IDENT_T*)
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (m_openCount == 0) {
        return ERR_RES_NOT_OPEN;
    }
    if (m_node->kind != RES_TYPE_VALUE) {
        return ERR_RES_WRONG_TYPE;
    }
    if (m_node->value.Type() != value.Type()) {
        return ERR_RES_WRONG_TYPE;
    }
    ++m_setCount;
    return m_node->value.Set(value, false);
}

unsigned long CMemResource::Get(CResourceValue& value, const USER_IDENT_T*) const
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (m_openCount == 0) {
        return ERR_RES_NOT_OPEN;
    }
    if (m_node->kind != RES_TYPE_VALUE) {
        return ERR_RES_WRONG_TYPE;
    }
    value = m_node->value;
    return ERR_OK;
}

unsigned long CMemResource::Create(const CResourcePath& name, CResource** out, RES_WAIT_T, unsigned long,
                                   const USER_IDENT_T*)
{
    if (!m_node || !m_tree) {
        return ERR_RES_NOT_IN_TREE;
    }
    CResourcePath path;
    m_tree->GetAbsolutePath(this, path, nullptr);
    MemNode* node = m_tree->AddNode(path.AsChar(), name.AsChar(), RES_TYPE_STRUCT);
    return m_tree->OpenNode(node, out);
}

unsigned long CMemResource::Create(CResource**, RES_WAIT_T, unsigned long, const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResource::Delete(RES_WAIT_T, unsigned long, const USER_IDENT_T*)
{
    if (!m_node || !m_tree) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (m_openCount != 1) {
        return ERR_RES_NOT_CLOSED;
    }
    MemNode* parent = m_node->parent;
    if (!parent) {
        return ERR_UNSUPPORTED;  // the root stays
    }
    MemNode* node = m_node;
    m_tree->Forget(this);
    for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
        if (it->get() == node) {
            parent->children.erase(it);
            break;
        }
    }
    return ERR_OK;
}

unsigned long CMemResource::DeleteAll(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident)
{
    return Delete(wait, waitTime, ident);
}

unsigned long CMemResource::SetAttr(unsigned long flags, RES_RECURSIVE_T, RES_OPERATOR_T, const USER_IDENT_T*)
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    m_node->attr = flags;
    return ERR_OK;
}

unsigned long CMemResource::ValueType(VALUE_TYPE_T& type) const
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    type = m_node->kind == RES_TYPE_VALUE ? m_node->value.Type() : VALUE_TYPE_INT32;
    return ERR_OK;
}

VALUE_TYPE_T CMemResource::ValueType()
{
    VALUE_TYPE_T t = static_cast<VALUE_TYPE_T>(0);
    return ValueType(t) == ERR_OK ? t : static_cast<VALUE_TYPE_T>(0);
}

unsigned long CMemResource::Open()
{
    ++m_openCount;
    return ERR_OK;
}

unsigned long CMemResource::Close()
{
    if (m_openCount == 0) {
        return ERR_ALREADY_CLOSED;
    }
    --m_openCount;
    return ERR_OK;
}

unsigned long CMemResource::OpenChild(unsigned long index, CResource** out, const USER_IDENT_T*)
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (index >= m_node->children.size()) {
        return ERR_RES_NOT_IN_TREE;
    }
    return m_tree->OpenNode(m_node->children[index].get(), out);
}

unsigned long CMemResource::OpenChild(CHILD_INDEX_T which, CResource** out, const USER_IDENT_T*)
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (m_node->children.empty()) {
        return ERR_NOT_FOUND;
    }
    MemNode* n = which == CHILD_INDEX_FIRST ? m_node->children.front().get() : m_node->children.back().get();
    return m_tree->OpenNode(n, out);
}

unsigned long CMemResource::OpenChild(const CResourcePath& name, CResource** out, const USER_IDENT_T* ident)
{
    if (!m_node || !m_tree) {
        return ERR_RES_NOT_IN_TREE;
    }
    return m_tree->OpenResource(this, name, out, ident);
}

unsigned long CMemResource::Iterate(CResource** next, const USER_IDENT_T*) const
{
    if (next) {
        *next = nullptr;
    }
    if (!m_node || !m_node->parent) {
        return ERR_NOT_FOUND;
    }
    auto& siblings = m_node->parent->children;
    for (size_t i = 0; i + 1 < siblings.size(); ++i) {
        if (siblings[i].get() == m_node) {
            return m_tree->OpenNode(siblings[i + 1].get(), next);
        }
    }
    return ERR_NOT_FOUND;
}

unsigned long CMemResource::OpenParent(CResource** out, const USER_IDENT_T*) const
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    return m_tree->OpenNode(m_node->parent ? m_node->parent : m_node, out);
}

unsigned long CMemResource::SetName(const CResourcePath& name, RES_WAIT_T, unsigned long, const USER_IDENT_T*)
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    m_node->name = name.AsChar();
    return ERR_OK;
}

unsigned long CMemResource::GetName(CResourcePath& name) const
{
    if (!m_node) {
        return ERR_RES_NOT_IN_TREE;
    }
    name = CResourcePath(m_node->name.c_str());
    return ERR_OK;
}

unsigned long CMemResource::AddSubscr(RES_SUBSCR_T, unsigned long, unsigned short, unsigned long, unsigned long,
                                      RES_SUBSCR_T, unsigned long, unsigned long, const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResource::AddInfoSubscr(RES_SUBSCR_T, unsigned long, unsigned short, unsigned long, unsigned long,
                                          const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResource::RemoveSubscr(RES_SUBSCR_T, unsigned long, unsigned short, unsigned long,
                                         const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

CResourceTree* CMemResource::GetTree() const
{
    return m_tree;
}

// ---------------------------------------------------------------------------
// CMemResourceTree

CMemResourceTree::CMemResourceTree()
{
    m_root.kind = RES_TYPE_STRUCT;
}

CMemResourceTree::~CMemResourceTree()
{
    for (auto& kv : m_proxies) {
        delete kv.second;
    }
    for (CMemResource* p : m_detached) {
        delete p;
    }
}

MemNode* CMemResourceTree::Resolve(MemNode* from, const char* path) const
{
    MemNode* node = from;
    for (const std::string& name : SplitNames(path)) {
        MemNode* found = nullptr;
        for (auto& c : node->children) {
            if (c->name == name) {
                found = c.get();
                break;
            }
        }
        if (!found) {
            return nullptr;
        }
        node = found;
    }
    return node;
}

MemNode* CMemResourceTree::FindNode(const char* path) const
{
    return Resolve(const_cast<MemNode*>(&m_root), path);
}

MemNode* CMemResourceTree::AddNode(const char* parentPath, const char* name, RES_TYPE_T kind,
                                   const CResourceValue& value)
{
    MemNode* parent = FindNode(parentPath);
    if (!parent) {
        return nullptr;
    }
    auto node = std::make_unique<MemNode>();
    node->name = name;
    node->kind = kind;
    node->value = value;
    node->parent = parent;
    parent->children.push_back(std::move(node));
    return parent->children.back().get();
}

CMemResource* CMemResourceTree::ProxyOf(const MemNode* node) const
{
    auto it = m_proxies.find(node);
    return it == m_proxies.end() ? nullptr : it->second;
}

unsigned long CMemResourceTree::OpenNode(MemNode* node, CResource** out)
{
    if (!node || !out) {
        return ERR_BAD_DATA;
    }
    ++m_openRequests;
    CMemResource*& proxy = m_proxies[node];
    if (!proxy) {
        proxy = new CMemResource(this, node);
    }
    proxy->Open();
    *out = proxy;
    return ERR_OK;
}

void CMemResourceTree::Forget(CMemResource* proxy)
{
    // Proxies of the node's descendants lose their nodes too; the tree keeps
    // them alive (detached) so nobody is left with a dangling pointer.
    std::vector<const MemNode*> stack{proxy->Node()};
    while (!stack.empty()) {
        const MemNode* n = stack.back();
        stack.pop_back();
        for (auto& c : n->children) {
            stack.push_back(c.get());
            if (CMemResource* p = ProxyOf(c.get())) {
                p->Detach();
                m_detached.push_back(p);
                m_proxies.erase(c.get());
            }
        }
    }
    m_proxies.erase(proxy->Node());
    proxy->Detach();
}

CResource* CMemResourceTree::OpenRoot()
{
    CResource* r = nullptr;
    return OpenResource(CResourcePath("."), &r, nullptr) == ERR_OK ? r : nullptr;
}

unsigned long CMemResourceTree::OpenResource(CResource* parent, unsigned long index, CResource** out,
                                             const USER_IDENT_T* ident)
{
    return parent ? parent->OpenChild(index, out, ident) : ERR_BAD_DATA;
}

unsigned long CMemResourceTree::OpenResource(CResource* parent, CHILD_INDEX_T which, CResource** out,
                                             const USER_IDENT_T* ident)
{
    return parent ? parent->OpenChild(which, out, ident) : ERR_BAD_DATA;
}

unsigned long CMemResourceTree::OpenResource(CResource* parent, const CResourcePath& relativePath, CResource** out,
                                             const USER_IDENT_T*)
{
    CMemResource* p = dynamic_cast<CMemResource*>(parent);
    if (!p || !p->Node() || relativePath.Type() != CResourcePath::RELATIVE) {
        return ERR_BAD_DATA;
    }
    MemNode* node = Resolve(p->Node(), relativePath.AsChar());
    return node ? OpenNode(node, out) : ERR_RES_NOT_IN_TREE;
}

unsigned long CMemResourceTree::OpenResource(const CResourcePath& path, CResource** out, const USER_IDENT_T*)
{
    MemNode* node = FindNode(path.AsChar());
    return node ? OpenNode(node, out) : ERR_RES_NOT_IN_TREE;
}

unsigned long CMemResourceTree::OpenResources(const CResourceValueSet& paths, CResourceSet** out,
                                              const USER_IDENT_T* ident)
{
    if (!out) {
        return ERR_BAD_DATA;
    }
    CResourceSet* set = new CResourceSet();
    for (unsigned long i = 0; i < paths.GetValueCount(); ++i) {
        CResourceValue* v = nullptr;
        CResource* r = nullptr;
        if (paths.GetValueByIndex(i, &v) == ERR_OK && v &&
            OpenResource(CResourcePath(v->GetAscii()), &r, ident) == ERR_OK) {
            set->Add(r);
        }
    }
    *out = set;
    return ERR_OK;
}

unsigned long CMemResourceTree::GetResources(const CResourceSet&, CResourceValueSet&, CResourceValueSet&,
                                             const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::AddResourceSubscrs(const CResourceSet&, RES_SUBSCR_T, unsigned long, unsigned short,
                                                   const CResourceValueSet&, unsigned long, CResourceValueSet&,
                                                   RES_SUBSCR_T, unsigned long, const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::RemoveResourceSubscrs(const CResourceSet&, RES_SUBSCR_T, unsigned long,
                                                      unsigned short, const CResourceValueSet&, CResourceValueSet&,
                                                      const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::GetAbsolutePath(const CResource* resource, CResourcePath& path, const USER_IDENT_T*)
{
    const CMemResource* r = dynamic_cast<const CMemResource*>(resource);
    if (!r || !r->Node()) {
        return ERR_BAD_DATA;
    }
    std::string text;
    for (const MemNode* n = r->Node(); n->parent; n = n->parent) {
        text = "." + n->name + text;
    }
    path = CResourcePath(text.empty() ? "." : text.c_str());
    return ERR_OK;
}

unsigned long CMemResourceTree::GetRelativePath(const CResource* resource, const CResource* base,
                                                CResourcePath& path, const USER_IDENT_T* ident)
{
    CResourcePath basePath;
    unsigned long r = GetAbsolutePath(resource, path, ident);
    if (r == ERR_OK) {
        r = GetAbsolutePath(base, basePath, ident);
    }
    if (r == ERR_OK) {
        path.Subtract(basePath);
    }
    return r;
}

unsigned long CMemResourceTree::GetLevelsDown(CResource* resource)
{
    CResourcePath path;
    if (GetAbsolutePath(resource, path, nullptr) != ERR_OK) {
        return ERR_BAD_DATA;
    }
    return path.GetLevelsDown();
}

unsigned long CMemResourceTree::Dump(CResource*, const char*, CResourceSet*, PATH_TYPE_T, const char*, const char*,
                                     PERSISTENCE_T, DEFAULT_T, const USER_IDENT_T*, GID_FILTER_T, unsigned long)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::Reload(CResource*, const wchar_t*, HASH_TYPE_T, const char*, INFO_TYPE_T,
                                       const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::Reload(CResource*, const char*, HASH_TYPE_T, const char*, INFO_TYPE_T,
                                       const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::Reload(CResource*, const wchar_t*, unsigned long, HASH_TYPE_T, const char*,
                                       INFO_TYPE_T, const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::Reload(CResource*, const char*, unsigned long, HASH_TYPE_T, const char*, INFO_TYPE_T,
                                       const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::AddSubscr(unsigned long, RES_SUBSCR_T, unsigned long, unsigned short, unsigned long,
                                          unsigned long, const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CMemResourceTree::RemoveSubscr(unsigned long, RES_SUBSCR_T, unsigned long, unsigned short,
                                             const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

}  // namespace ZYRK
