// The requests of the resource server that change the tree's shape: creating
// an instance from a template, deleting, renaming, setting attributes, and
// mounting and unmounting another server's tree.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/value_codec.h>
#include <halvex/server/server_tree.h>

#include "halvex/server/mount_policy_internal.h"
#include "halvex/server/request_internal.h"

#include <cstring>
#include <string>

namespace ZYRK {

using namespace Server;

uint32_t CResourceServerTask::CreateInstance(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, name;
    uint32_t next = 0;
    if (!CStr(p, n, 1, path, &next)) {
        return ERR_BAD_DATA;
    }
    const bool named = p[0] == 0x24 || p[0] == 0x25;
    if (named && !CStr(p, n, next, name, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened tmpl;
    if (uint32_t e = OpenPath(path.c_str(), &tmpl.r, &id, false)) {
        return e;
    }
    if (!tmpl->IsCreateAllowed(nullptr)) {
        return ErrorResponse(tmpl->IsCreateSupported() ? RES_SERR_PERMISSION : RES_SERR_NO_CREATE);
    }
    const uint32_t timeout = next + 4 <= n ? be_get32(p + next) : 0;
    Opened created;
    unsigned long r = named ? tmpl->Create(CResourcePath(name.c_str()), &created.r, RES_WAIT, timeout, &id)
                            : tmpl->Create(&created.r, RES_WAIT, timeout, &id);
    if (r != ERR_OK || !created.r) {
        created.r = nullptr;
        return ErrorResponse(RES_SERR_FAILED);
    }
    CResourcePath newPath;
    CResourceTree* owner = created->GetTree() ? created->GetTree() : m_tree;
    if (owner->GetAbsolutePath(created.r, newPath, &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    CheckPrefixMountPath(path.c_str(), newPath);
    size_t len = static_cast<size_t>(newPath.GetLength());
    uint8_t* q = m_reply.AllocSpace(len + 3);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0x22;
    std::memcpy(q + 2, newPath.AsChar(), len);
    return static_cast<uint32_t>(len + 3);
}

uint32_t CResourceServerTask::DeleteInstance(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    uint32_t next = 0;
    if (!CStr(p, n, 1, path, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const bool wait = p[0] == 0x33;
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, false)) {
        return e;
    }
    if (!res->IsDeleteAllowed(&id)) {
        return ErrorResponse(res->IsDeleteSupported() ? RES_SERR_PERMISSION : RES_SERR_NO_DELETE);
    }
    const uint32_t timeout = wait && next + 4 <= n ? be_get32(p + next) : 0;
    unsigned long r = res->Delete(wait ? RES_WAIT : RES_NOWAIT, timeout, &id);
    if (r != ERR_OK) {
        SysLogExt::PrintF(4, "ZYRK::CResourceServerTask::DeleteInstance[%p](): Failed to delete node %s, err=0x%x",
                          static_cast<void*>(this), path.c_str(), static_cast<unsigned>(r));
        if (r != ERR_RES_NOT_CLOSED && r != ERR_RES_OPERATION_FAILED) {
            SysLogExt::PrintF(1,
                              "ZYRK::CResourceServerTask::DeleteInstance[%p](): Failed to delete node, dangling "
                              "pointer? 0x%p, err=0x%x",
                              static_cast<void*>(this), static_cast<void*>(res.r), static_cast<unsigned>(r));
        }
        return ErrorResponse(r == ERR_RES_NOT_IN_TREE ? RES_SERR_PATH_NOT_FOUND
                                                      : (r == ERR_UNSUPPORTED ? RES_SERR_NO_DELETE : RES_SERR_FAILED));
    }
    // The resource object goes: a node of the server tree with its last
    // close, a proxy of a mounted tree (which its tree let go of) at once.
    if (!dynamic_cast<CServerResource*>(res.r)) {
        delete res.r;
        res.r = nullptr;
    }
    return ShortReply(0x32);
}

uint32_t CResourceServerTask::RenameResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, name;
    uint32_t next = 0;
    if (n < 2 || !LStr(p, n, 2, path, &next) || !CStr(p, n, next, name, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const bool wait = p[0] == 0x93;
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    if (p[1] != FlattenType(res.r)) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    const uint32_t timeout = wait && next + 4 <= n ? be_get32(p + next) : 0;
    if (res->SetName(CResourcePath(name.c_str()), wait ? RES_WAIT : RES_NOWAIT, timeout, &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x92);
}

uint32_t CResourceServerTask::SetAttributes(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    uint32_t f = 0;
    if (!LStr(p, n, 1, path, &f) || f + 8 > n) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    static const int firstBits[7] = {0, 1, 2, 3, 14, 12, 13};
    uint32_t word = 0;
    for (int i = 0; i < 7; ++i) {
        if (p[f + i]) {
            word |= 1u << firstBits[i];
        }
    }
    const RES_RECURSIVE_T recursive = p[f + 7] ? RES_RECURSIVE : RES_NOT_RECURSIVE;
    RES_OPERATOR_T op = RES_OPERATOR_SET;
    if (f + 9 < n) {
        if (p[f + 8]) {
            word |= RES_ATTR_RENAME;
        }
        if (p[f + 9]) {
            word |= RES_ATTR_NOTIFY_PARENT;
        }
        // Bytes f+10..f+12 are value hints, which the server ignores.
        if (f + 13 < n && p[f + 13]) {
            word |= RES_ATTR_DEFAULT_HINTED;
        }
        if (f + 14 < n) {
            op = static_cast<RES_OPERATOR_T>(p[f + 14]);
        }
    }
    res->SetAttr(word, recursive, op, &id);
    return ShortReply(0x44);
}

// --- Mounting ---------------------------------------------------------------

uint32_t CResourceServerTask::MountSubtree(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, name, address;
    uint32_t next = 0;
    if (!LStr(p, n, 1, path, &next) || !LStr(p, n, next, name, &next) || !LStr(p, n, next, address, &next) ||
        next + 2 > n || name.empty() || name.find('.') != std::string::npos) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint16_t port = be_get16(p + next);
    Opened node;
    if (uint32_t e = OpenPath(path.c_str(), &node.r, &id, true)) {
        return e;
    }
    if (node->Type() != RES_TYPE_STRUCT) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    // The server would connect wherever the request says: only for callers
    // that are local or authenticated and may change the node.
    if (!Mount::MayMount(node.r, id, m_authenticated)) {
        return ErrorResponse(RES_SERR_PERMISSION);
    }
    auto* tree = dynamic_cast<CServerResourceTree*>(node->GetTree());
    CResourcePath nodePath;
    if (!tree || tree->GetAbsolutePath(node.r, nodePath, &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    std::string base = nodePath.AsChar();
    if (base == ".") {
        base.clear();
    }
    const std::string childPath = base + "." + name;
    Opened existing;
    if (node->OpenChild(CResourcePath(name.c_str()), &existing.r, &id) == ERR_OK && existing.r) {
        if (existing->Type() != RES_TYPE_MOUNT) {
            return ErrorResponse(RES_SERR_NOT_UNIQUE);
        }
        CResourceTree* mounted = nullptr;
        if (tree->ConnectMount(address.c_str(), port, name.c_str(), &mounted) != ERR_OK || !mounted ||
            tree->BindMount(existing.r, address.c_str(), port, mounted) != ERR_OK) {
            return ErrorResponse(RES_SERR_NOT_UNIQUE);
        }
        tree->NotifyTree(SRV_EVENT_REMOVED, childPath.c_str());
        tree->NotifyTree(SRV_EVENT_ADDED, childPath.c_str());
    } else {
        existing.r = nullptr;
        CResourceTree* mounted = nullptr;
        unsigned long r = tree->ConnectMount(address.c_str(), port, name.c_str(), &mounted);
        if (r != ERR_OK || !mounted) {
            delete mounted;
            // The failure stays visible in the tree beside the node, in a
            // bounded number of nodes.
            const std::string failPath = childPath + "Fail";
            CResourceValue code(static_cast<int>(r ? r : ERR_UNSUPPORTED));
            if (!Mount::MayRecordFailure(node.r, name + "Fail", id)) {
                SysLogExt::PrintF(2, "ZYRK::CResourceServerTask::MountSubtree[%p](): %s not kept, %u failure nodes "
                                  "exist",
                                  static_cast<void*>(this), failPath.c_str(), Mount::FAIL_NODES_MAX);
            } else if (tree->AddValue(failPath.c_str(), code) != ERR_OK) {
                CResource* f = nullptr;
                if (tree->OpenResource(CResourcePath(failPath.c_str()), &f, nullptr) == ERR_OK && f) {
                    f->Set(code, RES_NOWAIT, 0, nullptr);
                    f->Close();
                }
            }
            return ErrorResponse(RES_SERR_FAILED);
        }
        r = tree->AddMountPoint(childPath.c_str(), address.c_str(), port, RES_MOUNT_TCP, mounted);
        if (r != ERR_OK) {
            return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
        }
        tree->NotifyTree(SRV_EVENT_ADDED, childPath.c_str());
    }
    return ShortReply(0xE1);
}

uint32_t CResourceServerTask::UnmountSubtree(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    Opened res;
    if (uint32_t e = OpenRequestPath(p, n, true, &id, true, &res.r)) {
        return e;
    }
    if (res->Type() != RES_TYPE_MOUNT) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    if (auto* node = dynamic_cast<CServerResource*>(res.r)) {
        node->PrepareUnmount();
    }
    // The tree tells its subscribers about the removal itself.
    if (res->Delete(RES_NOWAIT, 0, &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0xE3);
}

}  // namespace ZYRK
