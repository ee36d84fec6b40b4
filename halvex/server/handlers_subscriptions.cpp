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

// The head of a resource subscription request: identifier, flavour, kind
// (and whether it is known) and, for the UDP kinds, the destination: the
// requester itself at the port of the request. The request holds at least
// 10 bytes.
struct SUBSCR_REQUEST_T {
    uint32_t identifier;
    uint8_t flavour;
    uint8_t kindByte;
    bool udp;
    bool known;
    RES_SUBSCR_T kind;
    uint32_t destination;
    uint16_t port;
};

SUBSCR_REQUEST_T SubscrRequest(const uint8_t* p, const USER_IDENT_T& id)
{
    SUBSCR_REQUEST_T r{be_get32(p + 1), p[7], static_cast<uint8_t>(p[8] & 0x0F), false, false, RES_SUBSCR_QUEUE,
                       0, 0};
    r.udp = r.kindByte == 0 || r.kindByte == 3;
    r.kind = MapResourceKind(r.kindByte, r.flavour, &r.known);
    if (r.udp) {
        r.destination = id.ipAddr;
        r.port = be_get16(p + 5);
    }
    return r;
}

}  // namespace

uint32_t CResourceServerTask::AddSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 10) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    SUBSCR_REQUEST_T q = SubscrRequest(p, id);
    const bool info = (p[8] & 0x10) != 0;
    uint32_t replyDestination = 0, param5 = 0, param8 = 0;
    RES_SUBSCR_T replyKind = RES_SUBSCR_NOREPLY;
    std::string path;
    uint32_t next = 0;
    if (q.udp) {
        if (!LStr(p, n, 9, path, &next)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        if (next + 4 <= n) {
            param8 = be_get32(p + next);
        }
    } else {
        if (n < 18) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        replyKind = p[6] == 1 ? RES_SUBSCR_QUEUE : (p[6] == 2 ? RES_SUBSCR_EVENT : RES_SUBSCR_NOREPLY);
        q.destination = be_get32(p + 9);
        replyDestination = be_get32(p + 13);
        if (!LStr(p, n, 17, path, &next)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        if (next + 4 <= n) {
            param5 = be_get32(p + next);
        }
        if (next + 8 <= n) {
            param8 = be_get32(p + next + 4);
        }
    }
    if (!q.known) {
        return ErrorResponse(RES_SERR_UNKNOWN_TYPE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    unsigned long r = info ? res->AddInfoSubscr(q.kind, q.destination, q.port, q.identifier, param5, &id)
                           : res->AddSubscr(q.kind, q.destination, q.port, q.identifier, param5, replyKind,
                                            replyDestination, param8, &id);
    if (r != ERR_OK) {
        return ErrorResponseWithResult(PermissionOr(r, RES_SERR_FAILED), r);
    }
    return ShortReply(0xA1);
}

uint32_t CResourceServerTask::RemoveSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 10) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    SUBSCR_REQUEST_T q = SubscrRequest(p, id);
    std::string path;
    if (q.udp) {
        if (!LStr(p, n, 9, path, nullptr)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
    } else {
        if (n < 14 || !LStr(p, n, 13, path, nullptr)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        q.destination = be_get32(p + 9);
    }
    if (!q.known) {
        return ErrorResponse(RES_SERR_UNKNOWN_TYPE);
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, nullptr, true)) {
        return e;
    }
    unsigned long r = res->RemoveSubscr(q.kind, q.destination, q.port, q.identifier, &id);
    if (r != ERR_OK) {
        return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
    }
    return ShortReply(0xA3);
}

namespace {

// The head of a tree subscription request: kind, flavour, event mask and the
// destination, which the request names for queue and event kinds; a UDP
// subscriber is the requester itself, at the port of the request.
struct TREE_SUBSCR_REQUEST_T {
    uint8_t kind;
    uint8_t flavour;
    uint32_t mask;
    uint32_t destination;
    uint16_t port;
};

TREE_SUBSCR_REQUEST_T TreeSubscrRequest(const uint8_t* p, const USER_IDENT_T& id, bool udp)
{
    TREE_SUBSCR_REQUEST_T r{p[1], p[6], be_get32(p + 7), 0, 0};
    if (udp) {
        r.destination = id.ipAddr;
        r.port = be_get16(p + 2);
    } else {
        r.destination = be_get32(p + 2);
    }
    return r;
}

}  // namespace

uint32_t CResourceServerTask::AddTreeSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 15) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const bool udp = p[1] == 0;
    const TREE_SUBSCR_REQUEST_T q = TreeSubscrRequest(p, id, udp);
    const uint32_t param = udp ? 0 : be_get32(p + 11);
    unsigned long r = m_tree->AddSubscr(q.mask, MapTreeKind(q.kind, q.flavour, false), q.destination, q.port, param,
                                        0, &id);
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
    const TREE_SUBSCR_REQUEST_T q = TreeSubscrRequest(p, id, p[1] == 0 || p[1] == 3);
    unsigned long r = m_tree->RemoveSubscr(q.mask, MapTreeKind(q.kind, q.flavour, true), q.destination, q.port, &id);
    if (r != ERR_OK) {
        return ErrorResponse(PermissionOr(r, RES_SERR_FAILED));
    }
    return ShortReply(0xA7);
}

}  // namespace ZYRK
