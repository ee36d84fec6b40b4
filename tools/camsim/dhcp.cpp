#include "tools/camsim/dhcp.h"

#include "halvex/bigendian.h"

#include <algorithm>
#include <cstring>

namespace camsim {
namespace dhcp {
namespace {

using ZYRK::be_get32;
using ZYRK::be_put32;

constexpr uint32_t kCookie = 0x63825363;
constexpr size_t kFixed = 236;           // BOOTP header up to the options
constexpr size_t kMinimumLength = 300;   // what BOOTP relays and old servers expect

enum : uint8_t {
    kOptPad = 0, kOptMask = 1, kOptRouter = 3, kOptHostName = 12, kOptRequested = 50, kOptLease = 51,
    kOptType = 53, kOptServerId = 54, kOptParams = 55, kOptClientId = 61, kOptEnd = 255,
};

std::vector<uint8_t> Header(uint32_t xid, const std::array<uint8_t, 6>& mac) {
    std::vector<uint8_t> m(kFixed, 0);
    m[0] = 1;   // BOOTREQUEST
    m[1] = 1;   // Ethernet
    m[2] = 6;
    be_put32(&m[4], xid);
    // The camera has no address yet to receive a unicast reply on: ask for broadcast.
    m[10] = 0x80;
    std::memcpy(&m[28], mac.data(), 6);
    ZYRK::CBigEndianWriter(m).U32(kCookie);
    return m;
}

void Option(std::vector<uint8_t>& m, uint8_t code, const void* p, size_t n) {
    m.push_back(code);
    m.push_back(static_cast<uint8_t>(n));
    auto b = static_cast<const uint8_t*>(p);
    m.insert(m.end(), b, b + n);
}

void Option32(std::vector<uint8_t>& m, uint8_t code, uint32_t v) {
    uint8_t b[4];
    be_put32(b, v);
    Option(m, code, b, 4);
}

void Common(std::vector<uint8_t>& m, const std::array<uint8_t, 6>& mac, const std::string& hostName) {
    uint8_t id[7] = {1};
    std::memcpy(id + 1, mac.data(), 6);
    Option(m, kOptClientId, id, sizeof id);
    if (!hostName.empty()) Option(m, kOptHostName, hostName.data(), std::min<size_t>(hostName.size(), 63));
    const uint8_t params[] = {kOptMask, kOptRouter, kOptLease, kOptServerId};
    Option(m, kOptParams, params, sizeof params);
}

void Finish(std::vector<uint8_t>& m) {
    m.push_back(kOptEnd);
    if (m.size() < kMinimumLength) m.resize(kMinimumLength, 0);
}

}  // namespace

std::vector<uint8_t> BuildDiscover(uint32_t xid, const std::array<uint8_t, 6>& mac, const std::string& hostName) {
    auto m = Header(xid, mac);
    uint8_t type = kDiscover;
    Option(m, kOptType, &type, 1);
    Common(m, mac, hostName);
    Finish(m);
    return m;
}

std::vector<uint8_t> BuildRequest(uint32_t xid, const std::array<uint8_t, 6>& mac, const std::string& hostName,
                                  uint32_t requested, uint32_t serverId) {
    auto m = Header(xid, mac);
    uint8_t type = kRequest;
    Option(m, kOptType, &type, 1);
    Option32(m, kOptRequested, requested);
    Option32(m, kOptServerId, serverId);
    Common(m, mac, hostName);
    Finish(m);
    return m;
}

bool Parse(const std::vector<uint8_t>& d, Message& m) {
    if (d.size() < kFixed + 4) return false;
    if (d[0] != 2 || d[1] != 1 || d[2] != 6) return false;  // BOOTREPLY on Ethernet
    if (be_get32(&d[kFixed]) != kCookie) return false;
    m = Message{};
    m.op = d[0];
    m.xid = be_get32(&d[4]);
    m.yiaddr = be_get32(&d[16]);
    std::memcpy(m.mac.data(), &d[28], 6);
    size_t i = kFixed + 4;
    while (i < d.size()) {
        uint8_t code = d[i++];
        if (code == kOptPad) continue;
        if (code == kOptEnd) break;
        if (i >= d.size()) return false;
        size_t len = d[i++];
        if (i + len > d.size()) return false;
        const uint8_t* v = &d[i];
        switch (code) {
        case kOptType: if (len == 1) m.type = v[0]; break;
        case kOptMask: if (len == 4) m.mask = be_get32(v); break;
        case kOptRouter: if (len >= 4 && len % 4 == 0) m.router = be_get32(v); break;
        case kOptLease: if (len == 4) m.leaseSeconds = be_get32(v); break;
        case kOptServerId: if (len == 4) m.serverId = be_get32(v); break;
        default: break;
        }
        i += len;
    }
    return m.type != 0;
}

const char* TypeName(uint8_t type) {
    switch (type) {
    case 1: return "DHCPDISCOVER";
    case 2: return "DHCPOFFER";
    case 3: return "DHCPREQUEST";
    case 4: return "DHCPDECLINE";
    case 5: return "DHCPACK";
    case 6: return "DHCPNAK";
    case 7: return "DHCPRELEASE";
    case 8: return "DHCPINFORM";
    default: return "DHCP?";
    }
}

}  // namespace dhcp

namespace {

constexpr auto kResend = std::chrono::milliseconds(1000);

bool UsableAddress(uint32_t a) { return a != 0 && a != 0xFFFFFFFF && (a >> 28) < 14 && (a >> 24) != 127; }
bool ContiguousMask(uint32_t k) { return k != 0 && (~k & (~k + 1)) == 0; }

}  // namespace

std::vector<uint8_t> DhcpClients::Packet(const Camera& c, const Session& s) const {
    return s.requesting ? dhcp::BuildRequest(s.xid, c.mac, c.hostName, s.offered, s.serverId)
                        : dhcp::BuildDiscover(s.xid, c.mac, c.hostName);
}

void DhcpClients::Begin(const Camera& camera, size_t index, const AddressChange& fallback, int waitMs,
                        Clock::time_point now, std::vector<Send>& out) {
    Session s;
    // Unique per camera and exchange: the MAC's last bytes and a counter.
    ++counter_;
    s.xid = (static_cast<uint32_t>(camera.mac[3]) << 24 | static_cast<uint32_t>(camera.mac[4]) << 16 |
             static_cast<uint32_t>(camera.mac[5]) << 8) ^ (counter_ * 0x9E3779B1u);
    s.fallback = fallback;
    s.fallback.camera = index;
    s.deadline = now + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
    s.resend = now + kResend;
    out.push_back({index, Packet(camera, s)});
    sessions_[index] = s;
}

void DhcpClients::Cancel(size_t index) { sessions_.erase(index); }

void DhcpClients::Receive(const std::vector<uint8_t>& data, const Cameras& cameras, Clock::time_point now,
                          std::vector<Send>& out, std::vector<Done>& done, std::string& summary) {
    dhcp::Message m;
    if (!dhcp::Parse(data, m)) {
        summary = "ignored: not a DHCP reply";
        return;
    }
    summary = std::string(dhcp::TypeName(m.type)) + " xid=" + std::to_string(m.xid) + " mac=" + FormatMac(m.mac) +
              " yiaddr=" + FormatAddress(m.yiaddr) + " server=" + FormatAddress(m.serverId);
    auto it = sessions_.begin();
    for (; it != sessions_.end(); ++it)
        if (it->second.xid == m.xid && it->first < cameras.size() && cameras[it->first].mac == m.mac) break;
    if (it == sessions_.end()) {
        summary += " ignored: no exchange of ours";
        return;
    }
    size_t index = it->first;
    Session& s = it->second;
    const Camera& c = cameras[index];
    if (!s.requesting) {
        // The first usable offer is taken; later offers of other servers are ignored.
        if (m.type != dhcp::kOffer) { summary += " ignored: waiting for an offer"; return; }
        if (!UsableAddress(m.yiaddr) || m.serverId == 0) { summary += " ignored: unusable offer"; return; }
        s.requesting = true;
        s.offered = m.yiaddr;
        s.serverId = m.serverId;
        s.mask = m.mask;
        s.router = m.router;
        s.resend = now + kResend;
        out.push_back({index, Packet(c, s)});
        summary += " -> DHCPREQUEST";
        return;
    }
    if (m.serverId != 0 && m.serverId != s.serverId) { summary += " ignored: another server"; return; }
    if (m.type == dhcp::kNak) {
        // Start over with a discovery while the wait lasts.
        s.requesting = false;
        s.xid ^= 0x5A5A0000u;
        s.resend = now + kResend;
        out.push_back({index, Packet(c, s)});
        summary += " -> DHCPDISCOVER";
        return;
    }
    if (m.type != dhcp::kAck) { summary += " ignored: waiting for an acknowledgement"; return; }
    uint32_t address = UsableAddress(m.yiaddr) ? m.yiaddr : s.offered;
    uint32_t mask = m.mask ? m.mask : s.mask;
    if (!ContiguousMask(mask)) mask = 0xFFFFFF00;
    uint32_t router = m.router ? m.router : s.router;
    Done d;
    d.obtained = true;
    d.change = AddressChange{index, address, mask, router, true};
    d.summary = "dhcp " + c.userName + " lease " + FormatAddress(address) + " mask " + FormatAddress(mask) +
                " gateway " + FormatAddress(router) + " from " + FormatAddress(s.serverId) +
                (m.leaseSeconds ? " for " + std::to_string(m.leaseSeconds) + " s" : std::string());
    done.push_back(std::move(d));
    sessions_.erase(it);
}

void DhcpClients::Tick(const Cameras& cameras, Clock::time_point now, std::vector<Send>& out,
                       std::vector<Done>& done) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        Session& s = it->second;
        if (it->first >= cameras.size()) {
            it = sessions_.erase(it);
            continue;
        }
        const Camera& c = cameras[it->first];
        if (now >= s.deadline) {
            Done d;
            d.change = s.fallback;
            d.summary = "dhcp " + c.userName + " no answer: fallback " + FormatAddress(s.fallback.address);
            done.push_back(std::move(d));
            it = sessions_.erase(it);
            continue;
        }
        if (now >= s.resend) {
            s.resend = now + kResend;
            out.push_back({it->first, Packet(c, s)});
        }
        ++it;
    }
}

bool DhcpClients::Next(Clock::time_point& when) const {
    if (sessions_.empty()) return false;
    bool first = true;
    for (const auto& [index, s] : sessions_) {
        Clock::time_point t = std::min(s.deadline, s.resend);
        if (first || t < when) when = t;
        first = false;
    }
    return true;
}

}  // namespace camsim
