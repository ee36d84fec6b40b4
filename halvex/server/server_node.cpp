// One node of the server resource tree as a CResource: its value (read and
// written with the tree mutex held, notifications and the change hook run
// after it is let go), its kind and owner, its open count and batch lock.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace ZYRK {

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
        if (unsigned long refused = Refusal(m_kind == RES_TYPE_VALUE && (m_caps & SRV_CAN_SET), ident,
                                            RES_ATTR_OWNER_SET)) {
            return refused;
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

}  // namespace ZYRK
