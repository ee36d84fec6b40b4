// The writing requests of the resource server: one value (plain or with
// originator, wait and timeout) and several children of one parent under its
// batch lock.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_codec.h>

#include "halvex/server/request_internal.h"

#include <cstring>
#include <string>

namespace ZYRK {

using namespace Server;

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

// The path that the offset and length bytes at 2 and 3 of a request point
// to: behind the request's fixed head of minOffset bytes, ending in its 0
// byte, with tail more bytes after it inside the request; *end after it.
bool PathByOffset(const uint8_t* p, uint32_t n, uint32_t minOffset, uint32_t tail, std::string& path, uint32_t* end)
{
    if (n < minOffset) {
        return false;
    }
    const uint32_t off = p[2];
    const uint32_t plen = p[3];
    if (off < minOffset || plen == 0 || off + plen + tail > n || p[off + plen - 1] != 0) {
        return false;
    }
    path.assign(reinterpret_cast<const char*>(p + off));
    *end = off + plen;
    return true;
}

}  // namespace

uint32_t CResourceServerTask::OpenForWrite(const char* path, uint8_t type, const USER_IDENT_T& id, CResource** out)
{
    Opened res;
    if (uint32_t e = OpenPath(path, &res.r, &id, false)) {
        return e;
    }
    if (type != FlattenType(res.r)) {
        return ErrorResponse(RES_SERR_TYPE_MISMATCH);
    }
    if (!res->IsSetAllowed(&id)) {
        return ErrorResponse(res->IsSetSupported() ? RES_SERR_PERMISSION : RES_SERR_NO_WRITE);
    }
    *out = res.r;
    res.r = nullptr;  // the caller closes it
    return 0;
}

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
    if (uint32_t e = OpenForWrite(path.c_str(), type, id, &res.r)) {
        return e;
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
    const uint32_t timeout = wait ? be_get32(p + body + used) : 0;
    if (res->Set(value, wait ? RES_WAIT : RES_NOWAIT, timeout, &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x12);
}

uint32_t CResourceServerTask::WriteDataEx(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    uint32_t body = 0;
    if (!PathByOffset(p, n, 19, 0, path, &body)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint8_t type = p[1];
    Opened res;
    if (uint32_t e = OpenForWrite(path.c_str(), type, id, &res.r)) {
        return e;
    }
    ORIGINATOR_T origin{};
    res_decode_originator(p + 9, 10, origin);
    const bool localWriter = IsLocal(be_get32(p + 9));
    CResourceValue value;
    size_t used = 0;
    if (uint8_t e = DecodeWriteValue(type, p + body, n - body, localWriter, value, &used)) {
        return ErrorResponse(e);
    }
    value.SetOriginator(origin);
    const RES_WAIT_T wait = static_cast<RES_WAIT_T>(p[4]);
    const uint32_t timeout = be_get32(p + 5);
    unsigned long r = res->Set(value, wait, timeout, &id);
    if (r != ERR_OK) {
        return ErrorResponseWithResult(RES_SERR_FAILED, r);
    }
    return ShortReply(0x12);
}

uint32_t CResourceServerTask::WriteDataMulti(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path;
    uint32_t chain = 0;
    if (!PathByOffset(p, n, 4, 2, path, &chain)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
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
    uint32_t item = p[chain];
    parent->Lock();
    // Items are chained by offsets; each must lie after the one before, so
    // a chain can neither loop nor point outside the request.
    uint32_t previous = chain;
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
        const uint32_t nextItem = be_get32(p + after);
        const RES_WAIT_T wait = static_cast<RES_WAIT_T>(p[after + 5]);
        const uint32_t timeout = be_get32(p + after + 6);
        ORIGINATOR_T origin{};
        res_decode_originator(p + after + 10, 10, origin);
        const bool localWriter = IsLocal(be_get32(p + after + 10));
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
            be_put32(rec + 1, static_cast<uint32_t>(r));
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

}  // namespace ZYRK
