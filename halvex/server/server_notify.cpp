// Subscribers of the server resource tree and their notifications: the
// subscriber lists of nodes and of the tree, the datagrams of value and tree
// changes, and their delivery (never to broadcast or multicast
// destinations), after the tree mutex is let go.
#include <halvex/server/server_tree.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/value_codec.h>

#include "halvex/server/server_tree_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

namespace {

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
            be_put32(out, v.GetBool() ? 1u : 0u);
        }
        break;
    case VALUE_TYPE_INT32:
        if (cap >= 4) {
            be_put32(out, static_cast<uint32_t>(v.GetInt()));
        }
        break;
    case VALUE_TYPE_DOUBLE: {
        if (cap >= 8) {
            be_put_double(out, v.GetDouble());
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
        const auto* u = v.GetUTF16Ptr();  // 16-bit units in host order
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

unsigned long CServerResource::AddSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                         unsigned long identifier, unsigned long param5, RES_SUBSCR_T replyKind,
                                         unsigned long replyDestination, unsigned long param8,
                                         const USER_IDENT_T* ident)
{
    std::lock_guard<std::recursive_mutex> g(m_tree->m_lock);
    if (unsigned long refused = Refusal((m_attr & RES_ATTR_SUBSCR) != 0, ident, RES_ATTR_OWNER_GET)) {
        return refused;
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
            be_put32(&d.bytes[0], SRV_MSG_VALUE);
            be_put32(&d.bytes[4], 4098);
            be_put32(&d.bytes[8], static_cast<uint32_t>(SRV_NOTIFY_EXTENDED_SIZE));
            be_put32(&d.bytes[12], vt);
            be_put32(&d.bytes[20], s.identifier);
            PutNotifyBody(node->m_value, &d.bytes[24], SRV_NOTIFY_EXTENDED_SIZE - 24);
        } else {
            d.bytes.assign(SRV_NOTIFY_SHORT_SIZE, 0);
            be_put32(&d.bytes[0], SRV_MSG_VALUE);
            be_put32(&d.bytes[4], vt);
            be_put32(&d.bytes[8], s.identifier);
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
        be_put32(&d.bytes[0], SRV_MSG_TREE);
        be_put32(&d.bytes[4], VALUE_TYPE_ASCII);
        be_put32(&d.bytes[8], cause);
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
        std::vector<std::string> names = ServerTree::SplitNames(path);
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

}  // namespace ZYRK
