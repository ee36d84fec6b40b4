// Mount points of the server resource tree: where the tree behind one lives,
// binding a connected tree to one, how the tree connects for a mount, and
// letting go of a mounted tree before its mount point is deleted.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>

#include <string>

namespace ZYRK {

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

}  // namespace ZYRK
