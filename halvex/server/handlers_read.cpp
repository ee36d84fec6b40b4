// The reading requests of the resource server: data, attributes, limits,
// the three together, whether a path exists, and the walk over children.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_codec.h>
#include <halvex/server/server_tree.h>

#include "halvex/server/request_internal.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace ZYRK {

using namespace Server;

uint32_t CResourceServerTask::OpenForRead(const uint8_t* p, uint32_t n, const USER_IDENT_T& id, CResource** out,
                                         uint32_t* attr, bool* copy, CResourceValue& value)
{
    uint32_t next = 0;
    Opened res;
    if (uint32_t e = OpenRequestPath(p, n, false, &id, false, &res.r, &next)) {
        return e;
    }
    *attr = static_cast<uint32_t>(res->GetAttr());
    *copy = next < n && res->Type() == RES_TYPE_VALUE && p[next] == 1;
    if (*copy && !(*attr & RES_ATTR_NO_COPY)) {
        value.SetCopyType(COPY_TYPE_COPY);
    }
    if (res->Get(value, &id) == ERR_OK) {
        *out = res.r;
        res.r = nullptr;  // the caller closes it
        return 0;
    }
    if (!res->IsGetAllowed(&id)) {
        return ErrorResponse(RES_SERR_PERMISSION);
    }
    return ErrorResponse(res->IsGetSupported() ? RES_SERR_FAILED : RES_SERR_NO_READ);
}

uint32_t CResourceServerTask::OpenWithValue(const uint8_t* p, uint32_t n, bool lengthPrefixed, const USER_IDENT_T& id,
                                           bool noMem174, CResource** out, CResourceValue& value)
{
    if (uint32_t e = OpenRequestPath(p, n, lengthPrefixed, &id, noMem174, out)) {
        return e;
    }
    // Blocks of attributes and limits describe also what the caller may not
    // read: the value is read without identity and its result not looked at.
    (*out)->Get(value, nullptr);
    return 0;
}

uint32_t CResourceServerTask::ReadData(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    Opened res;
    uint32_t attr = 0;
    bool copy = false;
    CResourceValue value;
    if (uint32_t e = OpenForRead(p, n, id, &res.r, &attr, &copy, value)) {
        return e;
    }
    return ReadDataInternal(res.r, attr, value, copy, SIZE_MAX, id, nullptr);
}

uint32_t CResourceServerTask::ReadAttributes(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    Opened res;
    CResourceValue value;
    if (uint32_t e = OpenWithValue(p, n, false, id, false, &res.r, value)) {
        return e;
    }
    uint32_t r = ReadAttributesInternal(res.r, value, static_cast<uint32_t>(res->GetAttr()));
    // The block and the pad byte that follows it inside a multi reply.
    return r == RES_ATTR_BLOCK_SIZE ? RES_ATTR_BLOCK_SIZE + 1 : r;
}

uint32_t CResourceServerTask::ReadLimits(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    Opened res;
    CResourceValue value;
    if (uint32_t e = OpenWithValue(p, n, true, id, true, &res.r, value)) {
        return e;
    }
    return ReadLimitsInternal(res.r, value, SIZE_MAX, id);
}

uint32_t CResourceServerTask::ReadAttrDataLimits(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    const bool wide = p[0] == 0x0C;
    Opened res;
    uint32_t attr = 0;
    bool copy = false;
    CResourceValue value;
    if (uint32_t e = OpenForRead(p, n, id, &res.r, &attr, &copy, value)) {
        return e;
    }
    const CResReplyBuffer::SNAPSHOT_T snap = m_reply.Snapshot();
    // Drops what this reply appended and ends it with r.
    auto abandon = [&](uint32_t r) {
        m_reply.Restore(snap);
        return r;
    };
    const size_t cap = wide ? 65535 : 255;
    const uint32_t headSize = wide ? 8 : 4;
    uint8_t* h = m_reply.AllocSpace(headSize);
    if (!h) {
        return ERR_NO_MEMORY;
    }
    uint32_t la = ReadAttributesInternal(res.r, value, attr);
    if (la >= RES_HANDLER_ERROR_BASE) {
        return abandon(la);
    }
    uint32_t ld, ll;
    const bool transparent = FlattenType(res.r) == RES_WIRE_TRANSPARENT;
    if (transparent && (copy || IsLocal(id.ipAddr))) {
        uint8_t* head = m_reply.AllocSpace(14);
        if (!head) {
            return abandon(ERR_NO_MEMORY);
        }
        ll = ReadLimitsInternal(res.r, value, cap, id);
        if (ll >= RES_HANDLER_ERROR_BASE) {
            return abandon(ll);
        }
        ld = ReadDataInternal(res.r, attr, value, copy, cap, id, head);
        if (ld != 14) {
            // The data could not be appended after the blocks.
            m_reply.Restore(snap);
            return ld >= RES_HANDLER_ERROR_BASE ? ld : ErrorResponse(RES_SERR_FAILED);
        }
    } else {
        // A transparent value that may not be referenced gets its error
        // reply as data block.
        ld = transparent ? ErrorResponse(RES_SERR_PERMISSION) : ReadDataInternal(res.r, attr, value, copy, cap, id,
                                                                                  nullptr);
        if (ld >= RES_HANDLER_ERROR_BASE) {
            return abandon(ld);
        }
        ll = ReadLimitsInternal(res.r, value, cap, id);
        if (ll >= RES_HANDLER_ERROR_BASE) {
            return abandon(ll);
        }
    }
    if (wide) {
        h[0] = 0x0D;
        h[1] = 0x00;
        be_put16(h + 2, static_cast<uint16_t>(la));
        be_put16(h + 4, static_cast<uint16_t>(ld));
        be_put16(h + 6, static_cast<uint16_t>(ll));
    } else {
        h[0] = 0x0B;
        h[1] = static_cast<uint8_t>(la);
        h[2] = static_cast<uint8_t>(ld);
        h[3] = static_cast<uint8_t>(ll);
    }
    return static_cast<uint32_t>(m_reply.Length() - snap.total);
}

uint32_t CResourceServerTask::VerifyResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    Opened res;
    if (uint32_t e = OpenRequestPath(p, n, true, &id, true, &res.r)) {
        return e;
    }
    uint8_t* q = m_reply.AllocSpace(1);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0x48;
    return 1;
}

uint32_t CResourceServerTask::IterateChild(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    if (n < 2 || !LStr(p, n, 2, path, nullptr)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint8_t selector = p[1];
    Opened res;
    {
        unsigned long r = m_tree->OpenResource(CResourcePath(path.c_str()), &res.r, &id);
        if (r != ERR_OK || !res.r) {
            res.r = nullptr;
            return ErrorResponse(r == ERR_NO_MEMORY ? RES_SERR_NO_MEMORY : RES_SERR_PATH_NOT_FOUND);
        }
    }
    Opened child;
    unsigned long r;
    if (selector == 0 || selector == 1) {
        r = res->OpenChild(selector == 0 ? CHILD_INDEX_FIRST : CHILD_INDEX_LAST, &child.r, &id);
    } else if (selector == 2) {
        r = res->Iterate(&child.r, &id);
    } else if (selector == 3) {
        return ErrorResponse(RES_SERR_UNKNOWN_TYPE);
    } else {
        r = res->OpenChild(static_cast<unsigned long>(selector - 4), &child.r, &id);
    }
    if (r != ERR_OK || !child.r) {
        child.r = nullptr;
        return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
    }
    CResourcePath name;
    child->GetName(name);
    size_t len = static_cast<size_t>(name.GetLength());
    if (len > 255) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    uint8_t* q = m_reply.AllocSpace(len + 3);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0x54;
    q[1] = static_cast<uint8_t>(len);
    std::memcpy(q + 2, name.AsChar(), len);
    return static_cast<uint32_t>(len + 3);
}

}  // namespace ZYRK
