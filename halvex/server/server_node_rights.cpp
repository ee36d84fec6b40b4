// Who may do what with a node of the server resource tree: the owner, group
// and others bits of its attribute word checked against the caller's user
// and groups, what the node supports at all, and the changing of the
// attribute word.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/users.h>

#include <vector>

namespace ZYRK {

bool CServerResource::Allowed(const USER_IDENT_T* ident, uint32_t ownerBit) const
{
    unsigned short user = ident ? ident->uid : get_user_id();
    if (user == RES_NO_USER) {
        return (m_attr & (ownerBit << 8)) != 0;
    }
    if (user == 0 || user == m_uid) {
        return (m_attr & ownerBit) != 0;
    }
    if (user_in_group(user, m_gid)) {
        return (m_attr & (ownerBit << 4)) != 0;
    }
    return (m_attr & (ownerBit << 8)) != 0;
}

bool CServerResource::Supports(uint32_t cap)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return (m_caps & cap) != 0;
}

bool CServerResource::AllowedNow(const USER_IDENT_T* ident, uint32_t ownerBit, bool rootAlways)
{
    const unsigned short user = ident ? ident->uid : get_user_id();
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return (rootAlways && user == 0) || Allowed(ident, ownerBit);
}

unsigned long CServerResource::Refusal(bool supported, const USER_IDENT_T* ident, uint32_t ownerBit) const
{
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (!supported) {
        return ERR_UNSUPPORTED;
    }
    if (!Allowed(ident, ownerBit)) {
        return ERR_PERMISSION_DENIED;
    }
    return ERR_OK;
}

bool CServerResource::IsSetSupported() { return Supports(SRV_CAN_SET); }

bool CServerResource::IsSetAllowed(const USER_IDENT_T* ident) { return AllowedNow(ident, RES_ATTR_OWNER_SET); }

bool CServerResource::IsAddChildAllowed(const USER_IDENT_T* ident)
{
    return AllowedNow(ident, RES_ATTR_OWNER_SET, true);
}

bool CServerResource::IsGetSupported() { return Supports(SRV_CAN_GET); }

bool CServerResource::IsGetAllowed(const USER_IDENT_T* ident) { return AllowedNow(ident, RES_ATTR_OWNER_GET); }

bool CServerResource::IsOpenChildAllowed(const USER_IDENT_T* ident)
{
    return AllowedNow(ident, RES_ATTR_OWNER_GET, true);
}

bool CServerResource::IsCreateSupported() { return Supports(SRV_CAN_CREATE); }

bool CServerResource::IsCreateAllowed(const USER_IDENT_T* ident) { return AllowedNow(ident, RES_ATTR_OWNER_CREATE); }

bool CServerResource::IsDeleteSupported() { return Supports(SRV_CAN_DELETE); }

bool CServerResource::IsDeleteAllowed(const USER_IDENT_T* ident) { return AllowedNow(ident, RES_ATTR_OWNER_DELETE); }

bool CServerResource::IsSubscrSupported() { return (GetAttr() & RES_ATTR_SUBSCR) != 0; }
bool CServerResource::IsNotifyParent() { return (GetAttr() & RES_ATTR_NOTIFY_PARENT) != 0; }
bool CServerResource::IsPersistent() { return (GetAttr() & RES_ATTR_PERSISTENT) != 0; }
bool CServerResource::IsSync() { return (GetAttr() & RES_ATTR_SYNC) != 0; }
bool CServerResource::IsRename() { return (GetAttr() & RES_ATTR_RENAME) != 0; }
bool CServerResource::IsDefaultHinted() { return (GetAttr() & RES_ATTR_DEFAULT_HINTED) != 0; }

bool CServerResource::IsResourceOpenCount(unsigned long count) { return GetOpenCount() == count; }

unsigned long CServerResource::GetAttr()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return m_attr;
}

unsigned long CServerResource::SetAttr(unsigned long flags, RES_RECURSIVE_T recursive, RES_OPERATOR_T op,
                                       const USER_IDENT_T* ident)
{
    // Only the bits a client can transmit change; rights of group and others
    // and the hidden flag stay as the tree was built.
    constexpr uint32_t kMask = RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET | RES_ATTR_OWNER_CREATE |
                               RES_ATTR_OWNER_DELETE | RES_ATTR_PERSISTENT | RES_ATTR_SYNC | RES_ATTR_SUBSCR |
                               RES_ATTR_RENAME | RES_ATTR_NOTIFY_PARENT | RES_ATTR_DEFAULT_HINTED;
    unsigned short user = ident ? ident->uid : get_user_id();
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (user != 0 && user != m_uid) {
        return ERR_PERMISSION_DENIED;
    }
    uint32_t f = static_cast<uint32_t>(flags) & kMask;
    std::vector<CServerResource*> nodes{this};
    while (!nodes.empty()) {
        CServerResource* n = nodes.back();
        nodes.pop_back();
        switch (op) {
        case RES_OPERATOR_OR:
            n->m_attr |= f;
            break;
        case RES_OPERATOR_AND:
            n->m_attr &= f | ~kMask;
            break;
        default:
            n->m_attr = (n->m_attr & ~kMask) | f;
            break;
        }
        if (recursive != RES_NOT_RECURSIVE) {
            nodes.insert(nodes.end(), n->m_children.begin(), n->m_children.end());
        }
    }
    return ERR_OK;
}

}  // namespace ZYRK
