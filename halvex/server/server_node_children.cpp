// Moving through the server resource tree from a node: its children by
// index, first or last and name, its next sibling and its parent. Below a
// mount point the mounted tree answers.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>

#include <algorithm>

namespace ZYRK {

// The children of a mount point are those of the mounted tree's root. The
// mount point stays open during the call so that it cannot be deleted under
// it, and the tree mutex is not held across the mounted tree.
template <typename OPEN_T>
static unsigned long OpenMountedChild(CResourceTree* mounted, CResource* mountPoint, OPEN_T open)
{
    unsigned long r = ERR_RES_NOT_IN_TREE;
    if (CResource* root = mounted->OpenRoot()) {
        r = open(root);
        root->Close();
    }
    mountPoint->Close();
    return r;
}

CResourceTree* CServerResource::HoldMounted()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed || m_kind != RES_TYPE_MOUNT || !m_mounted) {
        return nullptr;
    }
    ++m_open;
    return m_mounted;
}

unsigned long CServerResource::OpenChild(unsigned long index, CResource** out, const USER_IDENT_T* ident)
{
    if (!out) {
        return ERR_BAD_POINTER;
    }
    *out = nullptr;
    if (CResourceTree* mounted = HoldMounted()) {
        return OpenMountedChild(mounted, this, [&](CResource* root) {
            return mounted->OpenResource(root, index, out, ident);
        });
    }
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (!IsOpenChildAllowed(ident)) {
        return ERR_PERMISSION_DENIED;
    }
    if (index >= m_children.size()) {
        return ERR_RES_NOT_IN_TREE;
    }
    CServerResource* c = m_children[index];
    ++c->m_open;
    *out = c;
    return ERR_OK;
}

unsigned long CServerResource::OpenChild(CHILD_INDEX_T which, CResource** out, const USER_IDENT_T* ident)
{
    if (CResourceTree* mounted = HoldMounted()) {
        if (out) {
            *out = nullptr;
        }
        return OpenMountedChild(mounted, this, [&](CResource* root) {
            return mounted->OpenResource(root, which, out, ident);
        });
    }
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_children.empty()) {
        if (out) {
            *out = nullptr;
        }
        return m_removed ? ERR_RES_NOT_IN_TREE : ERR_NOT_FOUND;
    }
    return OpenChild(which == CHILD_INDEX_FIRST ? 0UL : static_cast<unsigned long>(m_children.size() - 1), out,
                     ident);
}

unsigned long CServerResource::OpenChild(const CResourcePath& name, CResource** out, const USER_IDENT_T* ident)
{
    // The tree resolves the path itself (and lets go of its mutex before it
    // asks a mounted tree).
    return m_tree->OpenResource(this, name, out, ident);
}

unsigned long CServerResource::Iterate(CResource** nextSibling, const USER_IDENT_T* ident) const
{
    if (!nextSibling) {
        return ERR_BAD_POINTER;
    }
    *nextSibling = nullptr;
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed || !m_parent) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (!m_parent->IsOpenChildAllowed(ident)) {
        return ERR_PERMISSION_DENIED;
    }
    const auto& sib = m_parent->m_children;
    auto it = std::find(sib.begin(), sib.end(), this);
    if (it == sib.end() || ++it == sib.end()) {
        return ERR_NOT_FOUND;
    }
    ++(*it)->m_open;
    *nextSibling = *it;
    return ERR_OK;
}

unsigned long CServerResource::OpenParent(CResource** out, const USER_IDENT_T*) const
{
    if (!out) {
        return ERR_BAD_POINTER;
    }
    *out = nullptr;
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (!m_parent) {
        return ERR_NOT_FOUND;
    }
    ++m_parent->m_open;
    *out = m_parent;
    return ERR_OK;
}

}  // namespace ZYRK
