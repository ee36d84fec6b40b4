// Creating, deleting and renaming nodes of the server resource tree through
// the CResource interface: new instances from a parent's template (or as
// plain structured nodes), deletion of a node nobody else holds, and new
// names unique among the siblings.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>

#include "halvex/server/server_tree_internal.h"

#include <algorithm>
#include <string>
#include <vector>

namespace ZYRK {

using ServerTree::ValidName;

CServerResource* CServerResource::CloneInto(CServerResource* parent, const std::string& name) const
{
    auto* n = new CServerResource(m_tree, parent, name, m_kind);
    n->m_attr = m_attr & ~RES_ATTR_HIDDEN;
    n->m_caps = m_caps;
    n->m_uid = m_uid;
    n->m_gid = m_gid;
    if (m_kind == RES_TYPE_VALUE) {
        n->m_value.SetType(m_value.Type());
        n->m_value.Set(m_value, true);
    }
    for (const CServerResource* c : m_children) {
        n->m_children.push_back(c->CloneInto(n, c->m_name));
    }
    if (m_template) {
        n->m_template = m_template->CloneInto(n, m_template->m_name);
    }
    return n;
}

unsigned long CServerResource::CreateLocked(const std::string* name, CResource** out, const USER_IDENT_T* ident,
                                            std::string* createdPath)
{
    if (!out) {
        return ERR_BAD_POINTER;
    }
    *out = nullptr;
    const bool structured = m_kind == RES_TYPE_STRUCT || m_kind == RES_TYPE_STRUCT2;
    if (unsigned long refused = Refusal(structured && (m_caps & SRV_CAN_CREATE), ident, RES_ATTR_OWNER_CREATE)) {
        return refused;
    }
    auto taken = [this](const std::string& n) {
        for (CServerResource* c : m_children) {
            if (c->m_name == n) {
                return true;
            }
        }
        return false;
    };
    std::string newName;
    if (name) {
        if (!ValidName(*name)) {
            return ERR_BAD_PARAMETER;
        }
        if (taken(*name)) {
            return ERR_RES_NOT_UNIQUE;
        }
        newName = *name;
    } else {
        do {
            newName = std::to_string(m_nextInstance++);
        } while (taken(newName));
    }
    CServerResource* n;
    if (m_template) {
        n = m_template->CloneInto(this, newName);
    } else {
        n = new CServerResource(m_tree, this, newName, RES_TYPE_STRUCT);
        n->m_uid = m_uid;
        n->m_gid = m_gid;
        n->m_attr = m_attr & ~RES_ATTR_HIDDEN;
    }
    m_children.push_back(n);
    n->m_open = 1;
    *out = n;
    *createdPath = m_tree->PathOf(n);
    return ERR_OK;
}

unsigned long CServerResource::CreateAndNotify(const std::string* name, CResource** out, RES_WAIT_T wait,
                                               unsigned long waitTime, const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    unsigned long r;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        r = CreateLocked(name, out, ident, &path);
        if (r == ERR_OK) {
            m_tree->QueueTreeNotify(SRV_EVENT_ADDED, static_cast<CServerResource*>(*out)->m_name, dg);
        }
    }
    if (r == ERR_OK) {
        m_tree->Deliver(dg);
        m_tree->RunHook({SERVER_TREE_EVENT_T::CREATE, path.c_str(), nullptr, wait, waitTime});
    }
    return r;
}

unsigned long CServerResource::Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait,
                                      unsigned long waitTime, const USER_IDENT_T* ident)
{
    const std::string n = name.AsChar() ? name.AsChar() : "";
    return CreateAndNotify(&n, out, wait, waitTime, ident);
}

unsigned long CServerResource::Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                                      const USER_IDENT_T* ident)
{
    return CreateAndNotify(nullptr, out, wait, waitTime, ident);
}

unsigned long CServerResource::Delete(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    CServerResourceTree* tree = m_tree;  // this object may be gone below
    {
        std::lock_guard<std::recursive_mutex> g(tree->m_lock);
        if (unsigned long refused = Refusal(m_parent && (m_caps & SRV_CAN_DELETE), ident, RES_ATTR_OWNER_DELETE)) {
            return refused;
        }
        // Nobody but the caller may hold the node or anything below it.
        if (m_open > 1) {
            return ERR_RES_NOT_CLOSED;
        }
        std::vector<const CServerResource*> stack(m_children.begin(), m_children.end());
        while (!stack.empty()) {
            const CServerResource* c = stack.back();
            stack.pop_back();
            if (c->m_open) {
                return ERR_RES_NOT_CLOSED;
            }
            stack.insert(stack.end(), c->m_children.begin(), c->m_children.end());
        }
        path = m_tree->PathOf(this);
        auto& sib = m_parent->m_children;
        sib.erase(std::remove(sib.begin(), sib.end(), this), sib.end());
        for (CServerResource* c : m_children) {
            m_tree->FreeSubtree(c);
        }
        m_children.clear();
        if (m_template) {
            m_tree->FreeSubtree(m_template);
            m_template = nullptr;
        }
        m_subscr.clear();
        m_removed = true;
        m_tree->QueueTreeNotify(SRV_EVENT_REMOVED, m_name, dg);
        if (m_open == 0) {
            delete this;
        } else {
            m_tree->m_removed.insert(this);
        }
    }
    tree->Deliver(dg);
    tree->RunHook({SERVER_TREE_EVENT_T::DELETE, path.c_str(), nullptr, wait, waitTime});
    return ERR_OK;
}

unsigned long CServerResource::DeleteAll(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident)
{
    return Delete(wait, waitTime, ident);
}

unsigned long CServerResource::SetName(const CResourcePath& newName, RES_WAIT_T wait, unsigned long waitTime,
                                       const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        if (unsigned long refused = Refusal(m_parent && (m_attr & RES_ATTR_RENAME), ident, RES_ATTR_OWNER_SET)) {
            return refused;
        }
        std::string name = newName.AsChar() ? newName.AsChar() : "";
        if (!ValidName(name)) {
            return ERR_BAD_PARAMETER;
        }
        for (CServerResource* c : m_parent->m_children) {
            if (c != this && c->m_name == name) {
                return ERR_RES_NOT_UNIQUE;
            }
        }
        m_name = name;
        path = m_tree->PathOf(this);
        m_tree->QueueTreeNotify(SRV_EVENT_RENAMED, m_name, dg);
    }
    m_tree->Deliver(dg);
    m_tree->RunHook({SERVER_TREE_EVENT_T::RENAME, path.c_str(), nullptr, wait, waitTime});
    return ERR_OK;
}

}  // namespace ZYRK
