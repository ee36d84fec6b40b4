#include <halvex/server/server_tree.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>
#include <halvex/resource/client_resource.h>
#include <halvex/resource/value_codec.h>

#include "halvex/server/mount_policy_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ZYRK {

namespace {

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

bool IsUdpKind(RES_SUBSCR_T kind)
{
    return kind == RES_SUBSCR_UDP || kind == RES_SUBSCR_UDP_FOREVER || kind == RES_SUBSCR_UDP_5MIN ||
           kind == RES_SUBSCR_UDPV2 || kind == RES_SUBSCR_UDPV2_FOREVER;
}

bool IsExtendedKind(RES_SUBSCR_T kind)
{
    return kind == RES_SUBSCR_UDPV2 || kind == RES_SUBSCR_UDPV2_FOREVER;
}

// Writes the value as a notification body (bool as a 32-bit word, the other
// types as on the wire) into [out, out + cap); texts are cut to fit with
// their terminator.
void PutNotifyBody(const CResourceValue& v, uint8_t* out, size_t cap)
{
    switch (v.Type()) {
    case VALUE_TYPE_BOOL:
        if (cap >= 4) {
            res_put_be32(out, v.GetBool() ? 1u : 0u);
        }
        break;
    case VALUE_TYPE_INT32:
        if (cap >= 4) {
            res_put_be32(out, static_cast<uint32_t>(v.GetInt()));
        }
        break;
    case VALUE_TYPE_DOUBLE: {
        if (cap >= 8) {
            double d = v.GetDouble();
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            for (int i = 0; i < 8; ++i) {
                out[i] = uint8_t(bits >> (56 - 8 * i));
            }
        }
        break;
    }
    case VALUE_TYPE_ASCII: {
        const char* t = v.GetAscii() ? v.GetAscii() : "";
        size_t n = std::min(std::strlen(t), cap ? cap - 1 : 0);
        std::memcpy(out, t, n);
        if (cap) {
            out[n] = 0;
        }
        break;
    }
    case VALUE_TYPE_UNICODE: {
        const char16_t* u = v.GetUTF16Ptr();
        size_t i = 0;
        while (u && u[i] && (i + 2) * 2 <= cap) {
            std::memcpy(out + 2 * i, &u[i], 2);
            ++i;
        }
        if ((i + 1) * 2 <= cap) {
            out[2 * i] = 0;
            out[2 * i + 1] = 0;
        }
        break;
    }
    default:
        break;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// CServerResource

CServerResource::CServerResource(CServerResourceTree* tree, CServerResource* parent, const std::string& name,
                                 RES_TYPE_T kind)
    : m_tree(tree), m_parent(parent), m_name(name), m_kind(kind)
{
    ++m_tree->m_live;
}

CServerResource::~CServerResource()
{
    --m_tree->m_live;
    delete m_mounted;
}

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

unsigned long CServerResource::Set(const CResource& source, RES_WAIT_T wait, unsigned long waitTime,
                                   const USER_IDENT_T* ident)
{
    CResourceValue value;
    unsigned long r = source.Get(value, ident);
    if (r != ERR_OK) {
        return r;
    }
    return Set(value, wait, waitTime, ident);
}

unsigned long CServerResource::Set(const CResourceValue& value, RES_WAIT_T wait, unsigned long waitTime,
                                   const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> out;
    std::string path;
    CResourceValue stored;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        if (m_removed) {
            return ERR_RES_NOT_IN_TREE;
        }
        if (m_kind != RES_TYPE_VALUE || !(m_caps & SRV_CAN_SET)) {
            return ERR_UNSUPPORTED;
        }
        if (!Allowed(ident, RES_ATTR_OWNER_SET)) {
            return ERR_PERMISSION_DENIED;
        }
        if (value.Type() != m_value.Type()) {
            return ERR_RES_WRONG_TYPE;
        }
        unsigned long r;
        if (value.Type() == VALUE_TYPE_TRANSPARENT) {
            // The node keeps its own copy of the bytes, whatever the writer holds.
            char* data = nullptr;
            unsigned long size = 0, revision = 0;
            r = value.GetTransparent(&data, size, revision, COPY_TYPE_COPY);
            if (r != ERR_OK) {
                return r;
            }
            if (!data) {
                size = 0;
            }
            r = m_value.Set(data, size, data ? COPY_TYPE_TAKEOVER : COPY_TYPE_COPY, revision);
            if (r != ERR_OK) {
                std::free(data);
            }
        } else {
            r = m_value.Set(value, false);
        }
        if (r != ERR_OK) {
            return r;
        }
        ORIGINATOR_T origin{};
        if (value.GetOriginator(origin) == ERR_OK) {
            m_value.SetOriginator(origin);
        }
        m_tree->QueueValueNotify(this, out);
        if (m_tree->m_hook) {
            path = m_tree->PathOf(this);
            stored.SetType(m_value.Type());
            stored.Set(m_value, true);
        }
    }
    m_tree->Deliver(out);
    if (!path.empty()) {
        m_tree->RunHook({SERVER_TREE_EVENT_T::SET, path.c_str(), &stored, wait, waitTime});
    }
    return ERR_OK;
}

unsigned long CServerResource::Get(CResourceValue& value, const USER_IDENT_T* ident) const
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (m_kind != RES_TYPE_VALUE) {
        // Structured nodes and mount points are read through their kind.
        return ERR_OK;
    }
    if (!(m_caps & SRV_CAN_GET)) {
        return ERR_UNSUPPORTED;
    }
    if (!Allowed(ident, RES_ATTR_OWNER_GET)) {
        return ERR_PERMISSION_DENIED;
    }
    if (value.Type() != m_value.Type()) {
        value.SetType(m_value.Type());
    }
    if (m_value.Type() == VALUE_TYPE_TRANSPARENT) {
        // Readers always get their own copy: the node's bytes may change as
        // soon as the tree mutex is let go.
        char* data = nullptr;
        unsigned long size = 0, revision = 0;
        unsigned long r = m_value.GetTransparent(&data, size, revision, COPY_TYPE_COPY);
        if (r != ERR_OK) {
            return r;
        }
        value.SetCopyType(COPY_TYPE_COPY);
        r = value.Set(data, data ? size : 0, data ? COPY_TYPE_TAKEOVER : COPY_TYPE_COPY, revision);
        if (r != ERR_OK) {
            std::free(data);
            return r;
        }
        value.SetHint(m_value.Hint());
    } else {
        unsigned long r = value.Set(m_value, true);
        if (r != ERR_OK) {
            return r;
        }
    }
    ORIGINATOR_T origin{};
    m_value.GetOriginator(origin);
    value.SetOriginator(origin);
    return ERR_OK;
}

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
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if ((m_kind != RES_TYPE_STRUCT && m_kind != RES_TYPE_STRUCT2) || !(m_caps & SRV_CAN_CREATE)) {
        return ERR_UNSUPPORTED;
    }
    if (!Allowed(ident, RES_ATTR_OWNER_CREATE)) {
        return ERR_PERMISSION_DENIED;
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

unsigned long CServerResource::Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait,
                                      unsigned long waitTime, const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    unsigned long r;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        std::string n = name.AsChar() ? name.AsChar() : "";
        r = CreateLocked(&n, out, ident, &path);
        if (r == ERR_OK) {
            m_tree->QueueTreeNotify(SRV_EVENT_ADDED, n, dg);
        }
    }
    if (r == ERR_OK) {
        m_tree->Deliver(dg);
        m_tree->RunHook({SERVER_TREE_EVENT_T::CREATE, path.c_str(), nullptr, wait, waitTime});
    }
    return r;
}

unsigned long CServerResource::Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                                      const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    unsigned long r;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        r = CreateLocked(nullptr, out, ident, &path);
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

unsigned long CServerResource::Delete(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    CServerResourceTree* tree = m_tree;  // this object may be gone below
    {
        std::lock_guard<std::recursive_mutex> g(tree->m_lock);
        if (m_removed) {
            return ERR_RES_NOT_IN_TREE;
        }
        if (!m_parent || !(m_caps & SRV_CAN_DELETE)) {
            return ERR_UNSUPPORTED;
        }
        if (!Allowed(ident, RES_ATTR_OWNER_DELETE)) {
            return ERR_PERMISSION_DENIED;
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

bool CServerResource::IsSetSupported()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return (m_caps & SRV_CAN_SET) != 0;
}

bool CServerResource::IsSetAllowed(const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return Allowed(ident, RES_ATTR_OWNER_SET);
}

bool CServerResource::IsAddChildAllowed(const USER_IDENT_T* ident)
{
    unsigned short user = ident ? ident->uid : get_user_id();
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return user == 0 || Allowed(ident, RES_ATTR_OWNER_SET);
}

bool CServerResource::IsGetSupported()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return (m_caps & SRV_CAN_GET) != 0;
}

bool CServerResource::IsGetAllowed(const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return Allowed(ident, RES_ATTR_OWNER_GET);
}

bool CServerResource::IsOpenChildAllowed(const USER_IDENT_T* ident)
{
    unsigned short user = ident ? ident->uid : get_user_id();
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return user == 0 || Allowed(ident, RES_ATTR_OWNER_GET);
}

bool CServerResource::IsCreateSupported()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return (m_caps & SRV_CAN_CREATE) != 0;
}

bool CServerResource::IsCreateAllowed(const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return Allowed(ident, RES_ATTR_OWNER_CREATE);
}

bool CServerResource::IsDeleteSupported()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return (m_caps & SRV_CAN_DELETE) != 0;
}

bool CServerResource::IsDeleteAllowed(const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return Allowed(ident, RES_ATTR_OWNER_DELETE);
}

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

RES_TYPE_T CServerResource::Type()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return m_kind;
}

unsigned long CServerResource::ValueType(VALUE_TYPE_T& type) const
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_kind != RES_TYPE_VALUE) {
        type = VALUE_TYPE_INT32;
        return ERR_RES_WRONG_TYPE;
    }
    type = m_value.Type();
    return ERR_OK;
}

VALUE_TYPE_T CServerResource::ValueType()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return m_kind == RES_TYPE_VALUE ? m_value.Type() : static_cast<VALUE_TYPE_T>(0);
}

unsigned short CServerResource::OwnerUID()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return m_uid;
}

unsigned short CServerResource::OwnerGID()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return m_gid;
}

unsigned long CServerResource::Open()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    ++m_open;
    return ERR_OK;
}

unsigned long CServerResource::Close()
{
    CServerResourceTree* tree = m_tree;
    std::lock_guard<std::recursive_mutex> g(tree->m_lock);
    if (m_open == 0) {
        return ERR_ALREADY_CLOSED;
    }
    --m_open;
    if (m_open == 0 && m_removed) {
        tree->Release(this);
    }
    return ERR_OK;
}

unsigned long CServerResource::GetOpenCount()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return m_open;
}

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

unsigned long CServerResource::OpenChild(unsigned long index, CResource** out, const USER_IDENT_T* ident)
{
    if (!out) {
        return ERR_BAD_POINTER;
    }
    *out = nullptr;
    CResourceTree* mounted = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        if (!m_removed && m_kind == RES_TYPE_MOUNT && m_mounted) {
            mounted = m_mounted;
            ++m_open;
        }
    }
    if (mounted) {
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
    CResourceTree* mounted = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        if (!m_removed && m_kind == RES_TYPE_MOUNT && m_mounted) {
            mounted = m_mounted;
            ++m_open;
        }
    }
    if (mounted) {
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

unsigned long CServerResource::SetName(const CResourcePath& newName, RES_WAIT_T wait, unsigned long waitTime,
                                       const USER_IDENT_T* ident)
{
    std::vector<CServerResourceTree::Datagram> dg;
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        if (m_removed) {
            return ERR_RES_NOT_IN_TREE;
        }
        if (!m_parent || !(m_attr & RES_ATTR_RENAME)) {
            return ERR_UNSUPPORTED;
        }
        if (!Allowed(ident, RES_ATTR_OWNER_SET)) {
            return ERR_PERMISSION_DENIED;
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

unsigned long CServerResource::GetName(CResourcePath& name) const
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    name = CResourcePath(m_parent ? m_name.c_str() : ".");
    return ERR_OK;
}

unsigned long CServerResource::GetChildCount()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return static_cast<unsigned long>(m_children.size());
}

unsigned long CServerResource::AddSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                         unsigned long identifier, unsigned long param5, RES_SUBSCR_T replyKind,
                                         unsigned long replyDestination, unsigned long param8,
                                         const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    if (!(m_attr & RES_ATTR_SUBSCR)) {
        return ERR_UNSUPPORTED;
    }
    if (!Allowed(ident, RES_ATTR_OWNER_GET)) {
        return ERR_PERMISSION_DENIED;
    }
    for (const Subscriber& s : m_subscr) {
        if (s.kind == kind && s.destination == destination && s.port == port && s.identifier == identifier) {
            return ERR_RES_DUP_SUBSCRIBERS;
        }
    }
    m_subscr.push_back({kind, static_cast<uint32_t>(destination), port, static_cast<uint32_t>(identifier),
                        static_cast<uint32_t>(param5), replyKind, static_cast<uint32_t>(replyDestination),
                        static_cast<uint32_t>(param8), false});
    return ERR_OK;
}

unsigned long CServerResource::AddInfoSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                             unsigned long identifier, unsigned long param5,
                                             const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    unsigned long r = AddSubscr(kind, destination, port, identifier, param5, RES_SUBSCR_NOREPLY, 0, 0, ident);
    if (r == ERR_OK) {
        m_subscr.back().info = true;
    }
    return r;
}

unsigned long CServerResource::RemoveSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                            unsigned long identifier, const USER_IDENT_T*)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_removed) {
        return ERR_RES_NOT_IN_TREE;
    }
    for (auto it = m_subscr.begin(); it != m_subscr.end(); ++it) {
        if (it->kind == kind && it->destination == destination && it->port == port &&
            it->identifier == identifier) {
            m_subscr.erase(it);
            return ERR_OK;
        }
    }
    return ERR_NOT_FOUND;
}

unsigned long CServerResource::GetNumSubscr()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    return static_cast<unsigned long>(m_subscr.size());
}

unsigned long CServerResource::GetNumSubscrReply()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    unsigned long n = 0;
    for (const Subscriber& s : m_subscr) {
        if (s.replyKind != RES_SUBSCR_NOREPLY) {
            ++n;
        }
    }
    return n;
}

// The name a subscription kind is printed with.
static const char* SubscrKindName(RES_SUBSCR_T kind)
{
    switch (static_cast<uint32_t>(kind)) {
    case 0: return "QUEUE";
    case 5: return "QUEUE (low prio)";
    case 6: return "QUEUE_AGGR";
    case 7: return "QUEUE_AGGR (low prio)";
    case 8: return "EVENT";
    case 9: return "UDP";
    case 10: return "NOREPLY";
    case 11: return "UDPv2";
    case 256: return "QUEUE_FOREVER";
    case 261: return "QUEUE_FOREVER (low prio)";
    case 262: return "QUEUE_AGGR_FOREVER";
    case 263: return "QUEUE_AGGR_FOREVER (low prio)";
    case 264: return "EVENT_FOREVER";
    case 265: return "UDP_FOREVER";
    case 266: return "UDP_5MIN";
    case 267: return "UDPv2_FOREVER";
    default: return "?";
    }
}

void CServerResource::DumpSubscr()
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    std::string path = m_tree->PathOf(this);
    SysLogExt::PrintF(3, "ZYRK::CServerResource::DumpSubscr[%p](): %s, %zu subscriber(s)", static_cast<void*>(this),
                      path.c_str(), m_subscr.size());
    for (const Subscriber& s : m_subscr) {
        SysLogExt::PrintF(3, "  %s (%u) destination=0x%08X port=%u id=%u param5=%u reply=%s info=%d",
                          SubscrKindName(s.kind), static_cast<unsigned>(s.kind), s.destination, s.port, s.identifier,
                          s.param5, SubscrKindName(s.replyKind), s.info ? 1 : 0);
    }
}

CResourceTree* CServerResource::GetTree() const { return m_tree; }

unsigned long CServerResource::Lock()
{
    // The batch lock is taken outside the tree mutex: waiting for it must not
    // stop the other sessions.
    m_batch.lock();
    Open();
    return ERR_OK;
}

unsigned long CServerResource::Unlock()
{
    // Closing may free a node that was deleted meanwhile: let go of the batch
    // lock first.
    m_batch.unlock();
    Close();
    return ERR_OK;
}

unsigned long CServerResource::GetMountInfo(std::string& address, uint16_t& port, uint8_t& flags)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (m_kind != RES_TYPE_MOUNT) {
        return ERR_RES_WRONG_TYPE;
    }
    address = m_mountAddress;
    port = m_mountPort;
    flags = m_mountFlags;
    return ERR_OK;
}

unsigned long CServerResource::PrepareUnmount()
{
    CResourceTree* t;
    {
        std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
        if (m_kind != RES_TYPE_MOUNT) {
            return ERR_RES_WRONG_TYPE;
        }
        t = m_mounted;
        m_mounted = nullptr;
    }
    delete t;
    return ERR_OK;
}

// ---------------------------------------------------------------------------
// CServerResourceTree

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

unsigned long CServerResourceTree::AddMountPoint(const char* path, const char* address, uint16_t port,
                                                 uint8_t flags, CResourceTree* tree)
{
    SERVER_NODE_OPTIONS_T opt;
    opt.caps = SRV_CAN_GET | SRV_CAN_DELETE;
    CServerResource* n = nullptr;
    std::lock_guard<std::recursive_mutex> g(m_lock);
    unsigned long r = AddInternal(path, RES_TYPE_MOUNT, nullptr, opt, &n);
    if (r != ERR_OK) {
        delete tree;
        return r;
    }
    n->m_mountAddress = address ? address : "";
    n->m_mountPort = port;
    n->m_mountFlags = flags;
    n->m_mounted = tree;
    return ERR_OK;
}

unsigned long CServerResourceTree::BindMount(CResource* mountPoint, const char* address, uint16_t port,
                                             CResourceTree* tree)
{
    auto* n = dynamic_cast<CServerResource*>(mountPoint);
    CResourceTree* old = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (!n || n->m_tree != this || n->m_kind != RES_TYPE_MOUNT || n->m_removed) {
            delete tree;
            return ERR_RES_WRONG_TYPE;
        }
        old = n->m_mounted;
        n->m_mounted = tree;
        n->m_mountAddress = address ? address : "";
        n->m_mountPort = port;
    }
    delete old;
    return ERR_OK;
}

void CServerResourceTree::SetMountConnector(MountConnector connector)
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_connector = std::move(connector);
}

unsigned long CServerResourceTree::ConnectMount(const char* address, uint16_t port, const char* name,
                                                CResourceTree** out)
{
    MountConnector c;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        c = m_connector;
    }
    *out = nullptr;
    if (!c) {
        return ERR_UNSUPPORTED;
    }
    return c(address, port, name, out);
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

void CServerResourceTree::QueueValueNotify(CServerResource* node, std::vector<Datagram>& out)
{
    for (const CServerResource::Subscriber& s : node->m_subscr) {
        if (!IsUdpKind(s.kind) || s.port == 0) {
            continue;
        }
        Datagram d{s.destination, s.port, {}};
        uint32_t vt = static_cast<uint32_t>(node->m_value.Type());
        if (IsExtendedKind(s.kind)) {
            d.bytes.assign(SRV_NOTIFY_EXTENDED_SIZE, 0);
            res_put_be32(&d.bytes[0], SRV_MSG_VALUE);
            res_put_be32(&d.bytes[4], 4098);
            res_put_be32(&d.bytes[8], static_cast<uint32_t>(SRV_NOTIFY_EXTENDED_SIZE));
            res_put_be32(&d.bytes[12], vt);
            res_put_be32(&d.bytes[20], s.identifier);
            PutNotifyBody(node->m_value, &d.bytes[24], SRV_NOTIFY_EXTENDED_SIZE - 24);
        } else {
            d.bytes.assign(SRV_NOTIFY_SHORT_SIZE, 0);
            res_put_be32(&d.bytes[0], SRV_MSG_VALUE);
            res_put_be32(&d.bytes[4], vt);
            res_put_be32(&d.bytes[8], s.identifier);
            PutNotifyBody(node->m_value, &d.bytes[12], SRV_NOTIFY_SHORT_SIZE - 12);
        }
        out.push_back(std::move(d));
    }
}

void CServerResourceTree::QueueTreeNotify(uint32_t cause, const std::string& name, std::vector<Datagram>& out)
{
    for (const TreeSubscriber& s : m_treeSubscr) {
        if (!(s.mask & cause) || !IsUdpKind(s.kind) || s.port == 0) {
            continue;
        }
        Datagram d{s.destination, s.port, std::vector<uint8_t>(SRV_NOTIFY_SHORT_SIZE, 0)};
        res_put_be32(&d.bytes[0], SRV_MSG_TREE);
        res_put_be32(&d.bytes[4], VALUE_TYPE_ASCII);
        res_put_be32(&d.bytes[8], cause);
        size_t n = std::min<size_t>(name.size(), 499);
        std::memcpy(&d.bytes[12], name.data(), n);
        out.push_back(std::move(d));
    }
}

void CServerResourceTree::NotifyTree(uint32_t cause, const char* path)
{
    std::vector<Datagram> dg;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        std::vector<std::string> names = SplitNames(path);
        QueueTreeNotify(cause, names.empty() ? std::string() : names.back(), dg);
    }
    Deliver(dg);
}

void CServerResourceTree::SetDeliveryEnabled(bool enabled)
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_deliver = enabled;
}

void CServerResourceTree::Deliver(std::vector<Datagram>& datagrams)
{
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (!m_deliver) {
            datagrams.clear();
        }
    }
    // A notification is meant for one subscriber: 0, broadcast (also a last
    // byte of 255, the directed broadcast of the common /24 networks),
    // multicast and class E destinations are never sent to.
    datagrams.erase(std::remove_if(datagrams.begin(), datagrams.end(),
                                   [](const Datagram& d) {
                                       uint32_t a = ntohl(d.address);
                                       return a == 0 || a >= 0xE0000000u || (a & 0xFF) == 0xFF;
                                   }),
                    datagrams.end());
    if (datagrams.empty()) {
        return;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        SysLogExt::PrintF(2, "ZYRK::CServerResourceTree::Deliver(): no socket, %zu notification(s) dropped",
                          datagrams.size());
        return;
    }
    for (const Datagram& d : datagrams) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = d.address;
        to.sin_port = htons(d.port);
        if (sendto(s, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) < 0) {
            SysLogExt::PrintF(3, "ZYRK::CServerResourceTree::Deliver(): sendto port %u failed, errno=%d", d.port,
                              errno);
        }
    }
    close(s);
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

unsigned long CServerResourceTree::AddSubscr(unsigned long eventMask, RES_SUBSCR_T kind, unsigned long destination,
                                             unsigned short port, unsigned long param, unsigned long,
                                             const USER_IDENT_T*)
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    for (const TreeSubscriber& s : m_treeSubscr) {
        if (s.kind == kind && s.destination == destination && s.port == port) {
            return ERR_RES_DUP_SUBSCRIBERS;
        }
    }
    m_treeSubscr.push_back({static_cast<uint32_t>(eventMask), kind, static_cast<uint32_t>(destination), port,
                            static_cast<uint32_t>(param)});
    return ERR_OK;
}

unsigned long CServerResourceTree::RemoveSubscr(unsigned long, RES_SUBSCR_T kind, unsigned long destination,
                                                unsigned short port, const USER_IDENT_T*)
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    for (auto it = m_treeSubscr.begin(); it != m_treeSubscr.end(); ++it) {
        if (it->kind == kind && it->destination == destination && it->port == port) {
            m_treeSubscr.erase(it);
            return ERR_OK;
        }
    }
    return ERR_NOT_FOUND;
}

void CServerResourceTree::DumpAggregates()
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    SysLogExt::PrintF(3, "ZYRK::CServerResourceTree::DumpAggregates[%p](): %zu node(s), %zu tree subscriber(s)",
                      static_cast<void*>(this), m_live, m_treeSubscr.size());
}

}  // namespace ZYRK
