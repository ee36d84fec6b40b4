// The wire form of a subscription kind (RES_SUBSCR_T) as the client resource
// tree sends it, and what each use of the kind allows (internal).
#pragma once

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_types.h>

#include <cstdint>

namespace ZYRK {

struct ResSubscrKind {
    bool known;
    bool udp;         // a UDP subscription (port) rather than a queue or event
    uint8_t kind;     // kind byte
    uint8_t flavour;  // flavour byte
    bool needsV12;    // resource add from protocol version 12 only
    bool removable;   // resource remove
    bool treeUse;     // tree add and remove
    int bulk;         // 0 refused, 1 allowed, 2 unsupported
};

inline ResSubscrKind res_subscr_kind(RES_SUBSCR_T kind, uint8_t version)
{
    // The kinds from 256 are those below with flavour 1; 266 is the UDP kind
    // with flavour 2.
    uint32_t base = uint32_t(kind);
    uint8_t flavour = 0;
    if (base == RES_SUBSCR_UDP_5MIN) {
        base = RES_SUBSCR_UDP;
        flavour = 2;
    } else if (base >= RES_SUBSCR_QUEUE_FOREVER) {
        base -= RES_SUBSCR_QUEUE_FOREVER;
        flavour = 1;
    }
    const uint8_t lowPrio = version < 11 ? 1 : 4;
    switch (base) {
        case RES_SUBSCR_QUEUE: return {true, false, 1, flavour, false, true, true, 1};
        case RES_SUBSCR_QUEUE_LOWPRIO: return {true, false, lowPrio, flavour, false, true, false, 0};
        case RES_SUBSCR_QUEUE_AGGR: return {true, false, 5, flavour, true, false, false, 0};
        case RES_SUBSCR_QUEUE_AGGR_LOWPRIO: return {true, false, 6, flavour, true, false, false, 0};
        case RES_SUBSCR_EVENT: return {true, false, 2, flavour, false, true, true, 1};
        case RES_SUBSCR_UDP: return {true, true, 0, flavour, false, true, true, 2};
        case RES_SUBSCR_UDPV2: return {true, true, 3, flavour, false, true, false, 0};
        default: return {false, false, 0, 0, false, false, false, 0};
    }
}

// Why a resource may not add (or remove) a subscription of this kind at the
// protocol version: 0 when it may.
inline unsigned long res_subscr_refusal(const ResSubscrKind& k, uint8_t version, bool remove)
{
    if (!k.known) return ERR_BAD_DATA;
    if (remove) return k.removable ? 0 : ERR_BAD_DATA;
    return k.needsV12 && version < 12 ? ERR_UNSUPPORTED : 0;
}

// The kinds a subscription's replies may be sent as.
inline bool res_subscr_reply_kind_ok(RES_SUBSCR_T replyKind)
{
    return replyKind == RES_SUBSCR_QUEUE || replyKind == RES_SUBSCR_EVENT || replyKind == RES_SUBSCR_NOREPLY;
}

}  // namespace ZYRK
