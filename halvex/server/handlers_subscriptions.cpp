// The subscription requests of the resource server: adding and removing a
// subscriber of one resource or of the whole tree, with the kinds of the
// request mapped to RES_SUBSCR_T.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_codec.h>

#include "halvex/server/request_internal.h"

#include <string>

namespace ZYRK {

using namespace Server;

namespace {

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

}  // namespace

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

}  // namespace ZYRK
