// Request handling of the resource server: one payload decoded, applied to
// the local tree through the CResource/CResourceTree interfaces, the reply
// appended to the reply buffer. Every field of a request is checked against
// the request's length before it is read.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/value_codec.h>
#include <halvex/server/server_tree.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/server/mount_policy_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ZYRK {

// ---------------------------------------------------------------------------
// CResReplyBuffer

CResReplyBuffer::CResReplyBuffer(size_t blockSize, size_t limit) : m_blockSize(blockSize), m_limit(limit) {}

CResReplyBuffer::~CResReplyBuffer() { Flush(); }

void CResReplyBuffer::Drop(Piece& p)
{
    if (p.owned) {
        delete[] p.data;
    } else if (p.release) {
        p.release(p.context, p.data);
    }
}

uint8_t* CResReplyBuffer::AllocSpace(size_t n)
{
    if (n > m_limit || m_total > m_limit - n) {
        return nullptr;
    }
    if (!m_pieces.empty()) {
        Piece& last = m_pieces.back();
        if (last.owned && last.capacity - last.used >= n) {
            uint8_t* p = last.data + last.used;
            std::memset(p, 0, n);
            last.used += n;
            m_total += n;
            return p;
        }
    }
    size_t cap = std::max(n, m_blockSize);
    uint8_t* block = new (std::nothrow) uint8_t[cap];
    if (!block) {
        return nullptr;
    }
    std::memset(block, 0, n);
    m_pieces.push_back({block, cap, n, true, nullptr, nullptr});
    m_total += n;
    return block;
}

CResReplyBuffer::SNAPSHOT_T CResReplyBuffer::Snapshot() const
{
    return {m_pieces.size(), m_pieces.empty() ? 0 : m_pieces.back().used, m_total};
}

void CResReplyBuffer::Restore(const SNAPSHOT_T& s)
{
    while (m_pieces.size() > s.pieces) {
        Drop(m_pieces.back());
        m_pieces.pop_back();
    }
    if (!m_pieces.empty()) {
        m_pieces.back().used = s.used;
    }
    m_total = s.total;
}

bool CResReplyBuffer::SWAlign()
{
    if (m_total & 1) {
        return AllocSpace(1) != nullptr;
    }
    return true;
}

bool CResReplyBuffer::AttachExtBuffer(const void* data, size_t n, RELEASE_T release, void* context)
{
    if (n > m_limit || m_total > m_limit - n) {
        if (release) {
            release(context, data);
        }
        return false;
    }
    m_pieces.push_back({static_cast<uint8_t*>(const_cast<void*>(data)), n, n, false, release, context});
    m_total += n;
    return true;
}

std::vector<uint8_t> CResReplyBuffer::Bytes() const
{
    std::vector<uint8_t> out;
    out.reserve(m_total);
    ForEachPiece([&out](const uint8_t* p, size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
    });
    return out;
}

void CResReplyBuffer::Flush()
{
    for (Piece& p : m_pieces) {
        Drop(p);
    }
    m_pieces.clear();
    m_total = 0;
}

// ---------------------------------------------------------------------------
// Request parsing helpers

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

bool IsLocal(uint32_t addressNetworkOrder) { return addressNetworkOrder == htonl(kLoopback); }

// Text with its 0 byte at off: true and the text, *next after the 0 byte.
bool CStr(const uint8_t* p, uint32_t n, uint32_t off, std::string& out, uint32_t* next)
{
    if (off >= n) {
        return false;
    }
    const void* z = std::memchr(p + off, 0, n - off);
    if (!z) {
        return false;
    }
    uint32_t end = static_cast<uint32_t>(static_cast<const uint8_t*>(z) - p);
    out.assign(reinterpret_cast<const char*>(p + off), end - off);
    if (next) {
        *next = end + 1;
    }
    return true;
}

// Length byte and text at off.
bool LStr(const uint8_t* p, uint32_t n, uint32_t off, std::string& out, uint32_t* next)
{
    if (off >= n || p[off] > n - off - 1) {
        return false;
    }
    uint32_t len = p[off];
    out.assign(reinterpret_cast<const char*>(p + off + 1), len);
    // A text never reaches past its own 0 byte.
    size_t z = out.find('\0');
    if (z != std::string::npos) {
        out.resize(z);
    }
    if (next) {
        *next = off + 1 + len;
    }
    return true;
}

uint8_t PermissionOr(unsigned long r, uint8_t other) { return r == ERR_PERMISSION_DENIED ? 170 : other; }

void FreeMalloced(void*, const void* data) { std::free(const_cast<void*>(data)); }

RES_SUBSCR_T MapResourceKind(uint8_t kind, uint8_t flavour, bool* known)
{
    static const RES_SUBSCR_T flavour1[7] = {RES_SUBSCR_UDP_FOREVER,         RES_SUBSCR_QUEUE_FOREVER,
                                             RES_SUBSCR_EVENT_FOREVER,       RES_SUBSCR_UDPV2_FOREVER,
                                             RES_SUBSCR_QUEUE_FOREVER_LOWPRIO, RES_SUBSCR_QUEUE_AGGR_FOREVER,
                                             RES_SUBSCR_QUEUE_AGGR_FOREVER_LOWPRIO};
    static const RES_SUBSCR_T other[7] = {RES_SUBSCR_UDP,          RES_SUBSCR_QUEUE,      RES_SUBSCR_EVENT,
                                          RES_SUBSCR_UDPV2,        RES_SUBSCR_QUEUE_LOWPRIO, RES_SUBSCR_QUEUE_AGGR,
                                          RES_SUBSCR_QUEUE_AGGR_LOWPRIO};
    *known = kind <= 6;
    if (!*known) {
        return RES_SUBSCR_QUEUE;
    }
    if (flavour == 1) {
        return flavour1[kind];
    }
    if (flavour == 2 && kind == 0) {
        return RES_SUBSCR_UDP_5MIN;
    }
    return other[kind];
}

RES_SUBSCR_T MapTreeKind(uint8_t kind, uint8_t flavour, bool removing)
{
    if (flavour == 1) {
        if (kind == 1) {
            return RES_SUBSCR_QUEUE_FOREVER;
        }
        if (kind == 2) {
            return RES_SUBSCR_EVENT_FOREVER;
        }
        if (kind == 0 || (removing && kind == 3)) {
            return RES_SUBSCR_UDP_FOREVER;
        }
    }
    if (flavour == 2 && kind == 0) {
        return RES_SUBSCR_UDP_5MIN;
    }
    if (kind == 0) {
        return RES_SUBSCR_UDP;
    }
    if (kind == 2) {
        return RES_SUBSCR_EVENT;
    }
    return RES_SUBSCR_QUEUE;
}

// Closes a resource when the handler leaves.
struct Opened {
    CResource* r = nullptr;
    ~Opened()
    {
        if (r) {
            r->Close();
        }
    }
    CResource* operator->() const { return r; }
};

}  // namespace

// ---------------------------------------------------------------------------
// CResourceServerTask

CResourceServerTask::CResourceServerTask() = default;

CResourceServerTask::~CResourceServerTask() = default;

RESULT_T CResourceServerTask::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    RESULT_T r = CTaskContainer::Init(name, priority, stackSize, flags);
    if (r != ERR_OK) {
        return r;
    }
    if (!m_tree) {
        m_tree = CSupervisor().GetLocalResourceTree();
    }
    return m_tree ? ERR_OK : ERR_TASK_INIT;
}

RESULT_T CResourceServerTask::Unload()
{
    m_reply.Flush();
    return ERR_OK;
}

uint32_t CResourceServerTask::ShortReply(uint8_t code, uint8_t second)
{
    uint8_t* p = m_reply.AllocSpace(2);
    if (!p) {
        return ERR_NO_MEMORY;
    }
    p[0] = code;
    p[1] = second;
    return 2;
}

uint32_t CResourceServerTask::ErrorResponse(uint8_t error)
{
    return ShortReply(RES_ERROR_REPLY, error);
}

uint8_t CResourceServerTask::FlattenType(CResource* resource)
{
    RES_TYPE_T t = resource->Type();
    return static_cast<uint8_t>(t != RES_TYPE_VALUE ? static_cast<uint32_t>(t)
                                                   : static_cast<uint32_t>(resource->ValueType()));
}

uint32_t CResourceServerTask::OpenPath(const char* path, CResource** out, const USER_IDENT_T* id, bool noMem174)
{
    *out = nullptr;
    unsigned long r = m_tree->OpenResource(CResourcePath(path), out, id);
    if (r == ERR_OK && *out) {
        return 0;
    }
    *out = nullptr;
    uint8_t e = r == ERR_PERMISSION_DENIED ? 170 : (noMem174 && r == ERR_NO_MEMORY ? 174 : 160);
    return ErrorResponse(e);
}

void CResourceServerTask::CheckPrefixMountPath(const char* requestPath, CResourcePath& resultPath)
{
    std::string req = requestPath ? requestPath : "";
    if (req.empty() || req[0] != '.') {
        req.insert(req.begin(), '.');
    }
    size_t dot = req.find('.', 1);
    std::string first = req.substr(0, dot);  // ".name"
    if (first.size() <= 1) {
        return;
    }
    std::string res = resultPath.AsChar() ? resultPath.AsChar() : "";
    if (res.compare(0, first.size(), first) == 0 && (res.size() == first.size() || res[first.size()] == '.')) {
        return;
    }
    if (res == ".") {
        res.clear();
    } else if (!res.empty() && res[0] != '.') {
        res.insert(res.begin(), '.');
    }
    resultPath = CResourcePath((first + res).c_str());
}

uint32_t CResourceServerTask::ProcessData(const uint8_t* data, uint32_t length, const USER_IDENT_T& ident)
{
    if (!data || length == 0) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    switch (data[0]) {
    case 0x01: return ReadData(data, length, ident);
    case 0x0A:
    case 0x0C: return ReadAttrDataLimits(data, length, ident);
    case 0x11:
    case 0x13: return WriteData(data, length, ident);
    case 0x14: return WriteDataEx(data, length, ident);
    case 0x15: return WriteDataMulti(data, length, ident);
    case 0x21:
    case 0x23:
    case 0x24:
    case 0x25: return CreateInstance(data, length, ident);
    case 0x31:
    case 0x33: return DeleteInstance(data, length, ident);
    case 0x41: return ReadAttributes(data, length, ident);
    case 0x43: return SetAttributes(data, length, ident);
    case 0x45: return ReadLimits(data, length, ident);
    case 0x47: return VerifyResource(data, length, ident);
    case 0x53: return IterateChild(data, length, ident);
    case 0x61: return DumpResource(data, length, ident);
    case 0x63: return DumpSet(data, length, ident);
    case 0x71: return ReloadResource(data, length, ident);
    case 0x91:
    case 0x93: return RenameResource(data, length, ident);
    case 0xA0: return AddSubscr(data, length, ident);
    case 0xA2: return RemoveSubscr(data, length, ident);
    case 0xA4: return AddTreeSubscr(data, length, ident);
    case 0xA6: return RemoveTreeSubscr(data, length, ident);
    case 0xE0: return MountSubtree(data, length, ident);
    case 0xE2: return UnmountSubtree(data, length, ident);
    case 0xF0: return ProtocolVersion(data, length, ident);
    case 0xFA: return DebugCommand(data, length, ident);
    default: return ErrorResponse(RES_SERR_OPCODE);
    }
}

// --- Blocks -----------------------------------------------------------------

uint32_t CResourceServerTask::ReadDataInternal(CResource* res, uint32_t attr, CResourceValue& value, bool copy,
                                               size_t capacity, const USER_IDENT_T& id, uint8_t* head)
{
    const CResReplyBuffer::SNAPSHOT_T snap = m_reply.Snapshot();
    auto fail = [&](uint8_t e) {
        m_reply.Restore(snap);
        return ErrorResponse(e);
    };
    const uint8_t type = FlattenType(res);
    if (type < 1 || type > 9) {
        return fail(RES_SERR_UNKNOWN_TYPE);
    }
    switch (type) {
    case RES_WIRE_BOOL:
    case RES_WIRE_INT32:
    case RES_WIRE_DOUBLE:
    case RES_WIRE_ASCII:
    case RES_WIRE_UNICODE: {
        if (value.Type() != type) {
            return fail(RES_SERR_FAILED);
        }
        size_t body = res_value_body_size(value);
        if (body == 0 || 2 + body > capacity) {
            return fail(RES_SERR_FAILED);
        }
        uint8_t* p = m_reply.AllocSpace(2 + body);
        if (!p) {
            m_reply.Restore(snap);
            return ERR_NO_MEMORY;
        }
        p[0] = 0x02;
        p[1] = type;
        size_t written = 0;
        if (res_encode_reply_value_body(value, p + 2, body, &written) != RES_CODEC_OK || written != body) {
            return fail(RES_SERR_FAILED);
        }
        return static_cast<uint32_t>(2 + body);
    }
    case RES_WIRE_TRANSPARENT: {
        if (!head || value.Type() != VALUE_TYPE_TRANSPARENT) {
            return fail(RES_SERR_FAILED);
        }
        if (!copy && !IsLocal(id.ipAddr)) {
            return fail(RES_SERR_PERMISSION);
        }
        // The data always travels in the reply: an address in this process
        // means nothing to the peer and would only disclose the layout of
        // the server's memory.
        char* data = nullptr;
        unsigned long size = 0, revision = 0;
        if (value.GetTransparent(&data, size, revision, COPY_TYPE_COPY) != ERR_OK) {
            return fail(RES_SERR_FAILED);
        }
        if (!data) {
            size = 0;
        }
        if (size > capacity) {
            std::free(data);
            return fail(RES_SERR_FAILED);
        }
        head[0] = 0x02;
        head[1] = RES_WIRE_TRANSPARENT;
        TRANSPARENT_PREAMBLE_T pre{0, static_cast<uint32_t>(size), static_cast<uint32_t>(revision), 0};
        res_encode_transparent_reply_preamble(pre, head + 2);
        if (size) {
            if (attr & RES_ATTR_NO_COPY) {
                if (!m_reply.AttachExtBuffer(data, size, FreeMalloced, nullptr)) {
                    m_reply.Restore(snap);
                    return ERR_NO_MEMORY;
                }
            } else {
                uint8_t* p = m_reply.AllocSpace(size);
                if (!p) {
                    std::free(data);
                    m_reply.Restore(snap);
                    return ERR_NO_MEMORY;
                }
                std::memcpy(p, data, size);
                std::free(data);
            }
        } else {
            std::free(data);
        }
        return 14;
    }
    case RES_WIRE_MOUNT: {
        std::string address;
        uint16_t port = 0;
        uint8_t flags = 0;
        auto* node = dynamic_cast<CServerResource*>(res);
        if (!node || node->GetMountInfo(address, port, flags) != ERR_OK) {
            return fail(RES_SERR_FAILED);
        }
        size_t need = 2 + address.size() + 1 + 3;
        if (need > capacity) {
            return fail(RES_SERR_FAILED);
        }
        uint8_t* p = m_reply.AllocSpace(need);
        if (!p) {
            m_reply.Restore(snap);
            return ERR_NO_MEMORY;
        }
        p[0] = 0x02;
        p[1] = RES_WIRE_MOUNT;
        size_t written = 0;
        res_encode_mount_point(address.c_str(), port, flags, p + 2, need - 2, &written);
        return static_cast<uint32_t>(need);
    }
    case RES_WIRE_STRUCT:
    case RES_WIRE_STRUCT2: {
        if (!res->IsOpenChildAllowed(&id)) {
            return fail(RES_SERR_PERMISSION);
        }
        uint8_t* p = m_reply.AllocSpace(2);
        if (!p) {
            m_reply.Restore(snap);
            return ERR_NO_MEMORY;
        }
        p[0] = 0x02;
        p[1] = type;
        size_t total = 2;
        CResource* child = nullptr;
        unsigned long r = m_tree->OpenResource(res, CHILD_INDEX_FIRST, &child, &id);
        while (r == ERR_OK && child) {
            CResourcePath name;
            child->GetName(name);
            size_t len = static_cast<size_t>(name.GetLength()) + 1;
            if (total + len > capacity) {
                child->Close();
                return fail(RES_SERR_FAILED);
            }
            uint8_t* q = m_reply.AllocSpace(len);
            if (!q) {
                child->Close();
                m_reply.Restore(snap);
                return ERR_NO_MEMORY;
            }
            std::memcpy(q, name.AsChar(), len - 1);
            total += len;
            CResource* next = nullptr;
            r = child->Iterate(&next, &id);
            child->Close();
            child = next;
        }
        if (total == 2) {
            if (total + 1 > capacity) {
                return fail(RES_SERR_FAILED);
            }
            if (!m_reply.AllocSpace(1)) {
                m_reply.Restore(snap);
                return ERR_NO_MEMORY;
            }
            total = 3;
        }
        return static_cast<uint32_t>(total);
    }
    default:
        return fail(RES_SERR_UNKNOWN_TYPE);
    }
}

uint32_t CResourceServerTask::ReadAttributesInternal(CResource* res, const CResourceValue& value, uint32_t attr)
{
    uint8_t* b = m_reply.AllocSpace(RES_ATTR_BLOCK_SIZE);
    if (!b) {
        return ErrorResponse(RES_SERR_NO_MEMORY);
    }
    auto bit = [attr](int n) { return static_cast<uint8_t>((attr >> n) & 1u); };
    const VALUE_HINT_T hint = value.Hint();
    b[0] = 0x42;
    b[1] = FlattenType(res);
    b[2] = bit(0);
    b[3] = bit(1);
    b[4] = bit(2);
    b[5] = bit(3);
    b[6] = bit(14);
    b[7] = bit(12);
    unsigned long open = res->GetOpenCount();
    res_put_be32(b + 8, static_cast<uint32_t>(open ? open - 1 : 0));
    res_put_be32(b + 12, static_cast<uint32_t>(res->GetNumSubscr()));
    b[16] = bit(13);
    b[17] = bit(16);
    b[18] = bit(18);
    b[19] = hint == VALUE_HINT_HEX;
    b[20] = hint == VALUE_HINT_BINARY;
    b[21] = hint == VALUE_HINT_TIME;
    b[22] = bit(19);
    for (int i = 0; i < 8; ++i) {
        b[23 + i] = bit(4 + i);
    }
    b[31] = bit(23);
    res_put_be16(b + 32, res->OwnerUID());
    res_put_be16(b + 34, res->OwnerGID());
    res_put_be32(b + 36, static_cast<uint32_t>(res->GetChildCount()));
    b[40] = hint == VALUE_HINT_TEMPERATURE;
    return RES_ATTR_BLOCK_SIZE;
}

uint32_t CResourceServerTask::ReadLimitsInternal(CResource* res, const CResourceValue& value, size_t capacity,
                                                 const USER_IDENT_T&)
{
    const uint8_t type = FlattenType(res);
    if (type == RES_WIRE_INT32 || type == RES_WIRE_DOUBLE || type == RES_WIRE_ASCII || type == RES_WIRE_UNICODE) {
        if (value.Type() != type || value.LimitType() == LIMIT_TYPE_NONE) {
            return ErrorResponse(RES_SERR_NO_READ);
        }
        std::vector<uint8_t> tmp(capacity < 0x20000 ? capacity + 16 : 0x20000);
        size_t written = 0;
        int r = res_encode_limits(value, tmp.data(), tmp.size(), &written);
        if (r == RES_CODEC_NO_ROOM || (r == RES_CODEC_OK && 1 + written > capacity)) {
            return ErrorResponse(RES_SERR_FAILED);
        }
        if (r != RES_CODEC_OK || written == 0) {
            return ErrorResponse(RES_SERR_NO_READ);
        }
        uint8_t* p = m_reply.AllocSpace(1 + written);
        if (!p) {
            return ErrorResponse(RES_SERR_NO_MEMORY);
        }
        p[0] = 0x46;
        std::memcpy(p + 1, tmp.data(), written);
        return static_cast<uint32_t>(1 + written);
    }
    uint8_t* p = m_reply.AllocSpace(2);
    if (!p) {
        return ErrorResponse(RES_SERR_NO_MEMORY);
    }
    p[0] = 0x46;
    p[1] = type;
    return 2;
}

// --- Reading ----------------------------------------------------------------

uint32_t CResourceServerTask::GetForRead(CResource* res, uint32_t attr, bool copy, CResourceValue& value,
                                        const USER_IDENT_T& id)
{
    if (copy && !(attr & RES_ATTR_NO_COPY)) {
        value.SetCopyType(COPY_TYPE_COPY);
    }
    if (res->Get(value, &id) == ERR_OK) {
        return 0;
    }
    if (!res->IsGetAllowed(&id)) {
        return ErrorResponse(RES_SERR_PERMISSION);
    }
    return ErrorResponse(res->IsGetSupported() ? RES_SERR_FAILED : RES_SERR_NO_READ);
}

uint32_t CResourceServerTask::ReadData(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    uint32_t next = 0;
    if (!CStr(p, n, 1, path, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, false)) {
        return e;
    }
    const uint32_t attr = static_cast<uint32_t>(res->GetAttr());
    const bool copy = next < n && res->Type() == RES_TYPE_VALUE && p[next] == 1;
    CResourceValue value;
    if (uint32_t e = GetForRead(res.r, attr, copy, value, id)) {
        return e;
    }
    return ReadDataInternal(res.r, attr, value, copy, SIZE_MAX, id, nullptr);
}

uint32_t CResourceServerTask::ReadAttributes(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    if (!CStr(p, n, 1, path, nullptr)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, false)) {
        return e;
    }
    CResourceValue value;
    res->Get(value, nullptr);
    uint32_t r = ReadAttributesInternal(res.r, value, static_cast<uint32_t>(res->GetAttr()));
    // The block and the pad byte that follows it inside a multi reply.
    return r == RES_ATTR_BLOCK_SIZE ? RES_ATTR_BLOCK_SIZE + 1 : r;
}

uint32_t CResourceServerTask::ReadLimits(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    if (!LStr(p, n, 1, path, nullptr)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    CResourceValue value;
    res->Get(value, nullptr);
    return ReadLimitsInternal(res.r, value, SIZE_MAX, id);
}

uint32_t CResourceServerTask::ReadAttrDataLimits(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    const bool wide = p[0] == 0x0C;
    std::string path;
    uint32_t next = 0;
    if (!CStr(p, n, 1, path, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, false)) {
        return e;
    }
    const uint32_t attr = static_cast<uint32_t>(res->GetAttr());
    const bool copy = next < n && res->Type() == RES_TYPE_VALUE && p[next] == 1;
    CResourceValue value;
    if (uint32_t e = GetForRead(res.r, attr, copy, value, id)) {
        return e;
    }
    const CResReplyBuffer::SNAPSHOT_T snap = m_reply.Snapshot();
    const size_t cap = wide ? 65535 : 255;
    const uint32_t headSize = wide ? 8 : 4;
    uint8_t* h = m_reply.AllocSpace(headSize);
    if (!h) {
        return ERR_NO_MEMORY;
    }
    uint32_t la = ReadAttributesInternal(res.r, value, attr);
    if (la >= RES_HANDLER_ERROR_BASE) {
        m_reply.Restore(snap);
        return la;
    }
    uint32_t ld, ll;
    const bool transparent = FlattenType(res.r) == RES_WIRE_TRANSPARENT;
    if (transparent && (copy || IsLocal(id.ipAddr))) {
        uint8_t* head = m_reply.AllocSpace(14);
        if (!head) {
            m_reply.Restore(snap);
            return ERR_NO_MEMORY;
        }
        ll = ReadLimitsInternal(res.r, value, cap, id);
        if (ll >= RES_HANDLER_ERROR_BASE) {
            m_reply.Restore(snap);
            return ll;
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
            m_reply.Restore(snap);
            return ld;
        }
        ll = ReadLimitsInternal(res.r, value, cap, id);
        if (ll >= RES_HANDLER_ERROR_BASE) {
            m_reply.Restore(snap);
            return ll;
        }
    }
    if (wide) {
        h[0] = 0x0D;
        h[1] = 0x00;
        res_put_be16(h + 2, static_cast<uint16_t>(la));
        res_put_be16(h + 4, static_cast<uint16_t>(ld));
        res_put_be16(h + 6, static_cast<uint16_t>(ll));
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
    std::string path;
    if (!LStr(p, n, 1, path, nullptr)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
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

// --- Writing ----------------------------------------------------------------

namespace {

// Decodes the value of a write into v. Returns 0, or the error byte. *used
// receives the bytes taken including copied transparent data.
uint8_t DecodeWriteValue(uint8_t type, const uint8_t* body, size_t len, bool localWriter, CResourceValue& v,
                         size_t* used)
{
    if (type != RES_WIRE_BOOL && type != RES_WIRE_INT32 && type != RES_WIRE_DOUBLE && type != RES_WIRE_ASCII &&
        type != RES_WIRE_UNICODE && type != RES_WIRE_TRANSPARENT) {
        return RES_SERR_UNKNOWN_TYPE;
    }
    v.SetType(static_cast<VALUE_TYPE_T>(type));
    size_t consumed = 0;
    TRANSPARENT_PREAMBLE_T pre{};
    if (res_decode_request_value_body(type, body, len, v, &consumed, &pre) != RES_CODEC_OK) {
        return RES_SERR_INDATA_SIZE;
    }
    if (type == RES_WIRE_TRANSPARENT) {
        if (pre.copyFlag != 1) {
            // A reference names memory of the writer's process, which this
            // server never reads.
            return localWriter ? RES_SERR_FAILED : RES_SERR_PERMISSION;
        }
        if (pre.size > len - consumed) {
            return RES_SERR_INDATA_SIZE;
        }
        v.SetCopyType(COPY_TYPE_COPY);
        if (v.Set(reinterpret_cast<const char*>(body + consumed), pre.size, COPY_TYPE_COPY, pre.revision) !=
            ERR_OK) {
            return RES_SERR_FAILED;
        }
        consumed += pre.size;
    }
    *used = consumed;
    return 0;
}

}  // namespace

uint32_t CResourceServerTask::WriteData(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    uint32_t body = 0;
    if (n < 3 || !CStr(p, n, 2, path, &body)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const bool wait = p[0] == 0x13;
    const uint8_t type = p[1];
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, false)) {
        return e;
    }
    if (type != FlattenType(res.r)) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    if (!res->IsSetAllowed(&id)) {
        return ErrorResponse(res->IsSetSupported() ? RES_SERR_PERMISSION : RES_SERR_NO_WRITE);
    }
    CResourceValue value;
    size_t used = 0;
    const size_t tail = wait ? 4 : 0;
    if (n - body < tail) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    if (uint8_t e = DecodeWriteValue(type, p + body, n - body - tail, IsLocal(id.ipAddr), value, &used)) {
        return ErrorResponse(e);
    }
    if (body + used + tail != n) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t timeout = wait ? res_get_be32(p + body + used) : 0;
    if (res->Set(value, wait ? RES_WAIT : RES_NOWAIT, timeout, &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x12);
}

uint32_t CResourceServerTask::WriteDataEx(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 19) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t off = p[2];
    const uint32_t plen = p[3];
    if (off < 19 || plen == 0 || off + plen > n || p[off + plen - 1] != 0) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    std::string path(reinterpret_cast<const char*>(p + off));
    const uint8_t type = p[1];
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, false)) {
        return e;
    }
    if (type != FlattenType(res.r)) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    if (!res->IsSetAllowed(&id)) {
        return ErrorResponse(res->IsSetSupported() ? RES_SERR_PERMISSION : RES_SERR_NO_WRITE);
    }
    ORIGINATOR_T origin{};
    res_decode_originator(p + 9, 10, origin);
    const bool localWriter = res_get_be32(p + 9) == htonl(kLoopback);
    CResourceValue value;
    size_t used = 0;
    const uint32_t body = off + plen;
    if (uint8_t e = DecodeWriteValue(type, p + body, n - body, localWriter, value, &used)) {
        return ErrorResponse(e);
    }
    value.SetOriginator(origin);
    const RES_WAIT_T wait = static_cast<RES_WAIT_T>(p[4]);
    const uint32_t timeout = res_get_be32(p + 5);
    unsigned long r = res->Set(value, wait, timeout, &id);
    if (r != ERR_OK) {
        uint8_t* q = m_reply.AllocSpace(6);
        if (!q) {
            return ErrorResponse(RES_SERR_NO_MEMORY);
        }
        q[0] = RES_ERROR_REPLY;
        q[1] = RES_SERR_FAILED;
        res_put_be32(q + 2, static_cast<uint32_t>(r));
        return 6;
    }
    return ShortReply(0x12);
}

uint32_t CResourceServerTask::WriteDataMulti(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 4) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t off = p[2];
    const uint32_t plen = p[3];
    if (off < 4 || plen == 0 || off + plen + 2 > n || p[off + plen - 1] != 0) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    std::string path(reinterpret_cast<const char*>(p + off));
    Opened parent;
    if (uint32_t e = OpenPath(path.c_str(), &parent.r, &id, false)) {
        return e;
    }
    if (p[1] != FlattenType(parent.r)) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    const CResReplyBuffer::SNAPSHOT_T snap = m_reply.Snapshot();
    uint8_t* head = m_reply.AllocSpace(2);
    if (!head) {
        return ERR_NO_MEMORY;
    }
    bool failed = false;
    uint32_t item = p[off + plen];
    parent->Lock();
    // Items are chained by offsets; each must lie after the one before, so
    // a chain can neither loop nor point outside the request.
    uint32_t previous = off + plen;
    while (item != 0) {
        uint8_t* rec = m_reply.AllocSpace(5);
        if (!rec) {
            parent->Unlock();
            m_reply.Restore(snap);
            return ERR_NO_MEMORY;
        }
        std::string name;
        uint32_t after = 0;
        if (item <= previous || item >= n || !CStr(p, n, item + 1, name, &after) || after + 20 > n) {
            rec[0] = RES_SERR_INDATA_SIZE;
            failed = true;
            break;
        }
        const uint8_t type = p[item];
        const uint32_t nextItem = res_get_be32(p + after);
        const RES_WAIT_T wait = static_cast<RES_WAIT_T>(p[after + 5]);
        const uint32_t timeout = res_get_be32(p + after + 6);
        ORIGINATOR_T origin{};
        res_decode_originator(p + after + 10, 10, origin);
        const bool localWriter = res_get_be32(p + after + 10) == htonl(kLoopback);
        const uint32_t body = after + 20;
        previous = item;
        item = nextItem;
        Opened child;
        if (parent->OpenChild(CResourcePath(name.c_str()), &child.r, &id) != ERR_OK || !child.r) {
            // Nothing was written: the record says so.
            child.r = nullptr;
            rec[0] = RES_SERR_PATH_NOT_FOUND;
            continue;
        }
        if (child->Type() != RES_TYPE_VALUE || child->ValueType() != type) {
            rec[0] = RES_SERR_TYPE_MISMATCH;
            continue;
        }
        if (!child->IsSetAllowed(&id)) {
            rec[0] = child->IsSetSupported() ? RES_SERR_PERMISSION : RES_SERR_NO_WRITE;
            continue;
        }
        CResourceValue value;
        size_t used = 0;
        if (uint8_t e = DecodeWriteValue(type, p + body, n - body, localWriter, value, &used)) {
            rec[0] = e;
            failed = true;
            break;
        }
        value.SetOriginator(origin);
        unsigned long r = child->Set(value, wait, timeout, &id);
        if (r != ERR_OK) {
            rec[0] = RES_SERR_FAILED;
            res_put_be32(rec + 1, static_cast<uint32_t>(r));
            failed = true;
        }
    }
    parent->Unlock();
    if (failed) {
        head[0] = RES_ERROR_REPLY;
        head[1] = RES_SERR_FAILED;
    } else {
        head[0] = 0x12;
        head[1] = 0x00;
    }
    return static_cast<uint32_t>(m_reply.Length() - snap.total);
}

// --- Structure --------------------------------------------------------------

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
    const uint32_t timeout = next + 4 <= n ? res_get_be32(p + next) : 0;
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
    const uint32_t timeout = wait && next + 4 <= n ? res_get_be32(p + next) : 0;
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
    const uint32_t timeout = wait && next + 4 <= n ? res_get_be32(p + next) : 0;
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

// --- Persistence ------------------------------------------------------------

uint32_t CResourceServerTask::DumpResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, file, hash = "CRC32", info;
    uint32_t next = 0;
    if (!LStr(p, n, 1, path, &next) || !CStr(p, n, next, file, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    bool hasInfo = false;
    uint32_t pathType = 0, persistence = 0, defaults = 1, filter = 0, option = 0;
    if (next < n) {
        if (!CStr(p, n, next, hash, &next) || !CStr(p, n, next, info, &next)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        hasInfo = !info.empty();
        if (next + 3 <= n) {
            pathType = p[next];
            persistence = p[next + 1];
            defaults = p[next + 2];
        }
        if (next + 9 <= n) {
            filter = p[next + 3];
            std::memcpy(&option, p + next + 4, 4);
        }
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    unsigned long r = m_tree->Dump(res.r, file.c_str(), nullptr, static_cast<PATH_TYPE_T>(pathType), hash.c_str(),
                                   hasInfo ? info.c_str() : nullptr, static_cast<PERSISTENCE_T>(persistence),
                                   static_cast<DEFAULT_T>(defaults), &id, static_cast<GID_FILTER_T>(filter),
                                   option);
    if (r != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x62);
}

uint32_t CResourceServerTask::DumpSet(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 10) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t oPath = res_get_be16(p + 2), oFile = res_get_be16(p + 4), oHash = res_get_be16(p + 6),
                   oMembers = res_get_be16(p + 8);
    std::string path, file, hash, info;
    uint32_t next = 0;
    if (oPath >= n || oFile >= n || oHash >= n || oMembers > n || !CStr(p, n, oPath, path, nullptr) ||
        !CStr(p, n, oFile, file, nullptr) || !CStr(p, n, oHash, hash, &next) || !CStr(p, n, next, info, &next) ||
        next + 8 > n) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint8_t* types = p + next;
    std::vector<CResource*> members;
    CResourceSet set;
    for (uint32_t m = oMembers; m < n;) {
        std::string member;
        if (!CStr(p, n, m, member, &m)) {
            break;
        }
        CResource* r = nullptr;
        if (m_tree->OpenResource(CResourcePath(member.c_str()), &r, &id) == ERR_OK && r) {
            members.push_back(r);
            set.Add(r);
        }
    }
    Opened res;
    uint32_t e = OpenPath(path.c_str(), &res.r, &id, false);
    if (e == 0) {
        m_tree->Dump(res.r, file.c_str(), &set, static_cast<PATH_TYPE_T>(types[0]), hash.c_str(),
                     info.empty() ? nullptr : info.c_str(), static_cast<PERSISTENCE_T>(types[1]),
                     static_cast<DEFAULT_T>(types[2]), &id, GID_FILTER_NONE, 0);
    }
    set.RemoveAll();
    for (CResource* r : members) {
        r->Close();
    }
    if (e) {
        return e;
    }
    return ShortReply(0x64);
}

uint32_t CResourceServerTask::ReloadResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, file, info;
    uint32_t next = 0;
    if (!LStr(p, n, 1, path, &next) || !CStr(p, n, next, file, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    uint32_t hashType = 1, infoType = 0;
    bool hasInfo = false;
    if (next + 2 <= n) {
        hashType = p[next];
        infoType = p[next + 1];
        if (CStr(p, n, next + 2, info, nullptr)) {
            hasInfo = !info.empty();
        }
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    if (m_tree->Reload(res.r, file.c_str(), static_cast<HASH_TYPE_T>(hashType), hasInfo ? info.c_str() : nullptr,
                       static_cast<INFO_TYPE_T>(infoType), &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x72);
}

// --- Subscriptions ----------------------------------------------------------

uint32_t CResourceServerTask::AddSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 10) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t identifier = res_get_be32(p + 1);
    const uint8_t flavour = p[7];
    const uint8_t kindByte = p[8] & 0x0F;
    const bool info = (p[8] & 0x10) != 0;
    uint32_t destination = 0, replyDestination = 0, param5 = 0, param8 = 0;
    uint16_t port = 0;
    RES_SUBSCR_T replyKind = RES_SUBSCR_NOREPLY;
    std::string path;
    uint32_t next = 0;
    if (kindByte == 0 || kindByte == 3) {
        // UDP: to the requester's address and the port of the request.
        port = res_get_be16(p + 5);
        destination = id.ipAddr;
        if (!LStr(p, n, 9, path, &next)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        if (next + 4 <= n) {
            param8 = res_get_be32(p + next);
        }
    } else {
        if (n < 18) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        replyKind = p[6] == 1 ? RES_SUBSCR_QUEUE : (p[6] == 2 ? RES_SUBSCR_EVENT : RES_SUBSCR_NOREPLY);
        destination = res_get_be32(p + 9);
        replyDestination = res_get_be32(p + 13);
        if (!LStr(p, n, 17, path, &next)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        if (next + 4 <= n) {
            param5 = res_get_be32(p + next);
        }
        if (next + 8 <= n) {
            param8 = res_get_be32(p + next + 4);
        }
    }
    bool known = false;
    const RES_SUBSCR_T kind = MapResourceKind(kindByte, flavour, &known);
    if (!known) {
        return ErrorResponse(RES_SERR_UNKNOWN_TYPE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    unsigned long r = info ? res->AddInfoSubscr(kind, destination, port, identifier, param5, &id)
                           : res->AddSubscr(kind, destination, port, identifier, param5, replyKind, replyDestination,
                                            param8, &id);
    if (r != ERR_OK) {
        uint8_t* q = m_reply.AllocSpace(6);
        if (!q) {
            return ErrorResponse(RES_SERR_NO_MEMORY);
        }
        q[0] = RES_ERROR_REPLY;
        q[1] = PermissionOr(r, RES_SERR_FAILED);
        res_put_be32(q + 2, static_cast<uint32_t>(r));
        return 6;
    }
    return ShortReply(0xA1);
}

uint32_t CResourceServerTask::RemoveSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 10) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t identifier = res_get_be32(p + 1);
    const uint8_t flavour = p[7];
    const uint8_t kindByte = p[8] & 0x0F;
    uint32_t destination = 0;
    uint16_t port = 0;
    std::string path;
    if (kindByte == 0 || kindByte == 3) {
        port = res_get_be16(p + 5);
        destination = id.ipAddr;
        if (!LStr(p, n, 9, path, nullptr)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
    } else {
        if (n < 14 || !LStr(p, n, 13, path, nullptr)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        destination = res_get_be32(p + 9);
    }
    bool known = false;
    const RES_SUBSCR_T kind = MapResourceKind(kindByte, flavour, &known);
    if (!known) {
        return ErrorResponse(RES_SERR_UNKNOWN_TYPE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, nullptr, true)) {
        return e;
    }
    unsigned long r = res->RemoveSubscr(kind, destination, port, identifier, &id);
    if (r != ERR_OK) {
        return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
    }
    return ShortReply(0xA3);
}

uint32_t CResourceServerTask::AddTreeSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 15) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint8_t kindByte = p[1];
    const uint8_t flavour = p[6];
    const uint32_t mask = res_get_be32(p + 7);
    uint32_t destination, param;
    uint16_t port = 0;
    if (kindByte != 0) {
        destination = res_get_be32(p + 2);
        param = res_get_be32(p + 11);
    } else {
        destination = id.ipAddr;
        port = res_get_be16(p + 2);
        param = 0;
    }
    unsigned long r = m_tree->AddSubscr(mask, MapTreeKind(kindByte, flavour, false), destination, port, param, 0, &id);
    if (r != ERR_OK) {
        return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
    }
    return ShortReply(0xA5);
}

uint32_t CResourceServerTask::RemoveTreeSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 11) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint8_t kindByte = p[1];
    const uint8_t flavour = p[6];
    const uint32_t mask = res_get_be32(p + 7);
    uint32_t destination;
    uint16_t port = 0;
    if (kindByte != 0 && kindByte != 3) {
        destination = res_get_be32(p + 2);
    } else {
        destination = id.ipAddr;
        port = res_get_be16(p + 2);
    }
    unsigned long r = m_tree->RemoveSubscr(mask, MapTreeKind(kindByte, flavour, true), destination, port, &id);
    if (r != ERR_OK) {
        return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
    }
    return ShortReply(0xA7);
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
    const uint16_t port = res_get_be16(p + next);
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
    std::string path;
    if (!LStr(p, n, 1, path, nullptr)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
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

// --- Maintenance ------------------------------------------------------------

uint32_t CResourceServerTask::ProtocolVersion(const uint8_t*, uint32_t, const USER_IDENT_T&)
{
    uint8_t* q = m_reply.AllocSpace(2);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0xF1;
    q[1] = RES_SERVER_PROTOCOL_VERSION;
    return 2;
}

uint32_t CResourceServerTask::DebugCommand(const uint8_t* p, uint32_t n, const USER_IDENT_T&)
{
    const uint8_t command = n > 1 ? p[1] : 0;
    if (command == 16) {
        std::string path;
        if (!CStr(p, n, 2, path, nullptr)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        Opened res;
        if (uint32_t e = OpenPath(path.c_str(), &res.r, nullptr, false)) {
            return e;
        }
        res->DumpSubscr();
    } else if (command == 17) {
        m_tree->DumpAggregates();
    }
    uint8_t* q = m_reply.AllocSpace(1);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0xFB;
    return 1;
}

}  // namespace ZYRK
