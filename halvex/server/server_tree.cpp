// The server's own resource tree: building it, finding nodes by path (and
// handing a path below a mount point to the mounted tree), paths of nodes,
// the change hook and the parts of CResourceTree that it does not support.
// The nodes are in server_node*.cpp, subscribers and notifications in
// server_notify.cpp, mount points in server_mounts.cpp, dumps in
// server_dump.cpp.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>

#include "halvex/server/mount_policy_internal.h"
#include "halvex/server/server_tree_internal.h"

#include <string>
#include <vector>

namespace ZYRK {

namespace ServerTree {

std::vector<std::string> SplitNames(const char* path)
{
    std::vector<std::string> names;
    std::string cur;
    for (const char* p = path ? path : ""; *p; ++p) {
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

bool ValidName(const std::string& name)
{
    return !name.empty() && name.find('.') == std::string::npos;
}

}  // namespace ServerTree

using ServerTree::SplitNames;

CServerResourceTree::CServerResourceTree()
{
    m_root = new CServerResource(this, nullptr, "", RES_TYPE_STRUCT);
    m_root->m_attr = SRV_DEFAULT_ATTR & ~RES_ATTR_RENAME;
    m_root->m_caps = SRV_CAN_GET;
    // Mounted trees are reached through a client tree in session mode, with
    // connect and exchange deadlines.
    m_connector = Mount::ConnectClientTree;
}

CServerResourceTree::~CServerResourceTree()
{
    FreeSubtree(m_root);
    for (CServerResource* n : m_removed) {
        delete n;
    }
}

void CServerResourceTree::FreeSubtree(CServerResource* node)
{
    for (CServerResource* c : node->m_children) {
        FreeSubtree(c);
    }
    if (node->m_template) {
        FreeSubtree(node->m_template);
    }
    delete node;
}

void CServerResourceTree::Release(CServerResource* node)
{
    m_removed.erase(node);
    delete node;
}

size_t CServerResourceTree::LiveNodeCount()
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_live;
}

std::string CServerResourceTree::PathOf(const CServerResource* node) const
{
    if (!node->m_parent) {
        return ".";
    }
    std::vector<const std::string*> names;
    for (const CServerResource* n = node; n && n->m_parent; n = n->m_parent) {
        names.push_back(&n->m_name);
    }
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path += '.';
        path += **it;
    }
    return path;
}

unsigned long CServerResourceTree::AddInternal(const char* path, RES_TYPE_T kind, const CResourceValue* value,
                                               const SERVER_NODE_OPTIONS_T& options, CServerResource** created)
{
    std::vector<std::string> names = SplitNames(path);
    if (names.empty()) {
        return ERR_BAD_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> g(m_lock);
    CServerResource* parent = m_root;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        CServerResource* next = nullptr;
        for (CServerResource* c : parent->m_children) {
            if (c->m_name == names[i]) {
                next = c;
            }
        }
        if (!next && parent->m_template && parent->m_template->m_name == names[i]) {
            next = parent->m_template;
        }
        if (!next) {
            return ERR_RES_NOT_IN_TREE;
        }
        parent = next;
    }
    if (parent->m_kind != RES_TYPE_STRUCT && parent->m_kind != RES_TYPE_STRUCT2) {
        return ERR_RES_WRONG_TYPE;
    }
    const std::string& name = names.back();
    for (CServerResource* c : parent->m_children) {
        if (c->m_name == name) {
            return ERR_RES_NOT_UNIQUE;
        }
    }
    if (options.isTemplate && parent->m_template) {
        return ERR_RES_NOT_UNIQUE;
    }
    auto* n = new CServerResource(this, parent, name, kind);
    n->m_attr = options.attr | (options.isTemplate ? RES_ATTR_HIDDEN : 0);
    n->m_caps = options.caps;
    n->m_uid = options.ownerUid;
    n->m_gid = options.ownerGid;
    if (value) {
        n->m_value.SetType(value->Type());
        unsigned long r = n->m_value.Set(*value, true);
        if (r != ERR_OK) {
            delete n;
            return r;
        }
    }
    if (options.isTemplate) {
        parent->m_template = n;
    } else {
        parent->m_children.push_back(n);
    }
    if (created) {
        *created = n;
    }
    return ERR_OK;
}

unsigned long CServerResourceTree::AddNode(const char* path, RES_TYPE_T kind, const SERVER_NODE_OPTIONS_T& options)
{
    if (kind != RES_TYPE_STRUCT && kind != RES_TYPE_STRUCT2) {
        return ERR_BAD_PARAMETER;
    }
    return AddInternal(path, kind, nullptr, options, nullptr);
}

unsigned long CServerResourceTree::AddValue(const char* path, const CResourceValue& value,
                                            const SERVER_NODE_OPTIONS_T& options)
{
    return AddInternal(path, RES_TYPE_VALUE, &value, options, nullptr);
}

void CServerResourceTree::SetChangeHook(ChangeHook hook)
{
    std::lock_guard<std::recursive_mutex> g(m_hookLock);
    std::lock_guard<std::recursive_mutex> g2(m_lock);
    m_hook = std::move(hook);
}

void CServerResourceTree::RunHook(const SERVER_TREE_EVENT_T& event)
{
    std::lock_guard<std::recursive_mutex> g(m_hookLock);
    if (m_hook) {
        m_hook(event);
    }
}

unsigned long CServerResourceTree::Authenticate(const char* user, const char* password)
{
    return is_valid_user(user, password) ? ERR_OK : ERR_PERMISSION_DENIED;
}

CResource* CServerResourceTree::OpenRoot()
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    ++m_root->m_open;
    return m_root;
}

unsigned long CServerResourceTree::OpenResource(CResource* parent, unsigned long index, CResource** out,
                                                const USER_IDENT_T* ident)
{
    if (!parent) {
        return ERR_BAD_PARAMETER;
    }
    return parent->OpenChild(index, out, ident);
}

unsigned long CServerResourceTree::OpenResource(CResource* parent, CHILD_INDEX_T which, CResource** out,
                                                const USER_IDENT_T* ident)
{
    if (!parent) {
        return ERR_BAD_PARAMETER;
    }
    return parent->OpenChild(which, out, ident);
}

unsigned long CServerResourceTree::OpenResource(CResource* parent, const CResourcePath& relativePath,
                                                CResource** out, const USER_IDENT_T* ident)
{
    auto* p = dynamic_cast<CServerResource*>(parent);
    if (!out) {
        return ERR_BAD_POINTER;
    }
    *out = nullptr;
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (!p || p->m_tree != this) {
            return ERR_BAD_PARAMETER;
        }
        if (p->m_removed) {
            return ERR_RES_NOT_IN_TREE;
        }
        path = PathOf(p);
    }
    if (path == ".") {
        path.clear();
    }
    path += '.';
    path += relativePath.AsChar() ? relativePath.AsChar() : "";
    return OpenResource(CResourcePath(path.c_str()), out, ident);
}

unsigned long CServerResourceTree::OpenResource(const CResourcePath& path, CResource** out,
                                                const USER_IDENT_T* ident)
{
    if (!out) {
        return ERR_BAD_POINTER;
    }
    *out = nullptr;
    std::vector<std::string> names = SplitNames(path.AsChar());
    CServerResource* mount = nullptr;
    std::string rest;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        CServerResource* n = m_root;
        for (size_t i = 0; i < names.size(); ++i) {
            if (n->m_kind == RES_TYPE_MOUNT && n->m_mounted) {
                for (size_t j = i; j < names.size(); ++j) {
                    rest += '.';
                    rest += names[j];
                }
                mount = n;
                break;
            }
            if (!n->IsOpenChildAllowed(ident)) {
                return ERR_PERMISSION_DENIED;
            }
            CServerResource* next = nullptr;
            for (CServerResource* c : n->m_children) {
                if (c->m_name == names[i]) {
                    next = c;
                    break;
                }
            }
            if (!next) {
                return ERR_RES_NOT_IN_TREE;
            }
            n = next;
        }
        ++n->m_open;
        if (!mount) {
            *out = n;
            return ERR_OK;
        }
    }
    // Below a mount point the mounted tree answers; the mount point stays
    // open meanwhile so that it cannot be deleted under the call.
    unsigned long r = mount->m_mounted->OpenResource(CResourcePath(rest.c_str()), out, ident);
    mount->Close();
    return r;
}

unsigned long CServerResourceTree::OpenResources(const CResourceValueSet&, CResourceSet** out, const USER_IDENT_T*)
{
    if (out) {
        *out = nullptr;
    }
    return ERR_UNSUPPORTED;
}

unsigned long CServerResourceTree::GetResources(const CResourceSet&, CResourceValueSet&, CResourceValueSet&,
                                                const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CServerResourceTree::AddResourceSubscrs(const CResourceSet&, RES_SUBSCR_T, unsigned long,
                                                      unsigned short, const CResourceValueSet&, unsigned long,
                                                      CResourceValueSet&, RES_SUBSCR_T, unsigned long,
                                                      const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CServerResourceTree::RemoveResourceSubscrs(const CResourceSet&, RES_SUBSCR_T, unsigned long,
                                                         unsigned short, const CResourceValueSet&,
                                                         CResourceValueSet&, const USER_IDENT_T*)
{
    return ERR_UNSUPPORTED;
}

unsigned long CServerResourceTree::GetAbsolutePath(const CResource* resource, CResourcePath& path,
                                                   const USER_IDENT_T*)
{
    auto* n = dynamic_cast<const CServerResource*>(resource);
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (!n || n->m_tree != this) {
        return ERR_BAD_DATA;
    }
    if (n->m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    path = CResourcePath(PathOf(n).c_str());
    return ERR_OK;
}

unsigned long CServerResourceTree::GetRelativePath(const CResource* resource, const CResource* base,
                                                   CResourcePath& path, const USER_IDENT_T* ident)
{
    CResourcePath a, b;
    unsigned long r = GetAbsolutePath(resource, a, ident);
    if (r == ERR_OK) {
        r = GetAbsolutePath(base, b, ident);
    }
    if (r != ERR_OK) {
        return r;
    }
    a.Subtract(b);
    path = a;
    return ERR_OK;
}

unsigned long CServerResourceTree::GetLevelsDown(CResource* resource)
{
    auto* n = dynamic_cast<CServerResource*>(resource);
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (!n || n->m_tree != this) {
        return ERR_BAD_DATA;
    }
    unsigned long depth = 0;
    for (const CServerResource* p = n; p->m_parent; p = p->m_parent) {
        ++depth;
    }
    return depth;
}


void CServerResourceTree::DumpAggregates()
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    SysLogExt::PrintF(3, "ZYRK::CServerResourceTree::DumpAggregates[%p](): %zu node(s), %zu tree subscriber(s)",
                      static_cast<void*>(this), m_live, m_treeSubscr.size());
}

}  // namespace ZYRK
