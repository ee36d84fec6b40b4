// Fuzzer of camsim's services: a short sequence of datagrams (each one byte
// for the service and the sender, one byte of length, then the bytes) fed to
// the GigE Vision, mDNS, IP-change and DHCP-client handlers of two cameras, so
// that state carried between datagrams (privilege, persistent settings, a
// DHCP exchange) is reached too.
#include "tools/camsim/dhcp.h"
#include "tools/camsim/gvcp.h"
#include "tools/camsim/ipchange.h"
#include "tools/camsim/mdns.h"

#include <cstddef>
#include <cstdint>

using namespace camsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Cameras cams(2);
    for (size_t i = 0; i < cams.size(); ++i) {
        Camera& c = cams[i];
        c.address = 0xC0A80A32 + static_cast<uint32_t>(i);
        c.mac[5] = static_cast<uint8_t>(i);
        c.gvcp = c.mdns = c.ipchange = true;
        c.grantPrivilege = i == 0;
    }
    auto now = Clock::now();
    DhcpClients dhcp;
    std::vector<DhcpClients::Send> sends;
    std::vector<DhcpClients::Done> done;
    for (size_t i = 0; i < cams.size(); ++i)
        dhcp.Begin(cams[i], i, AddressChange{i, cams[i].address, cams[i].mask, 0, true}, 3000, now, sends);
    size_t off = 0;
    for (int step = 0; step < 8 && off + 2 <= size; ++step) {
        uint8_t selector = data[off];
        size_t len = data[off + 1] * 4u;
        off += 2;
        if (len > size - off) len = size - off;
        Datagram d;
        // Bit 0: camera, bits 1-2: service, bit 3: broadcast, bit 4: from 5353, bits 5-7: sender.
        d.src = 0xC0A80A01 + (selector >> 5);
        d.srcPort = selector & 16 ? 5353 : 54567;
        d.dst = selector & 8 ? 0xFFFFFFFF : cams[selector & 1].address;
        d.data.assign(data + off, data + off + len);
        off += len;
        Outcome o;
        switch ((selector >> 1) & 3) {
        case 0: o = HandleGvcp(cams, d, now); break;
        case 1: o = HandleMdns(cams, d); break;
        case 2: o = HandleIpChange(cams, d); break;
        default:
            if (selector & 16) {
                std::string summary;
                dhcp.Receive(d.data, cams, now, sends, done, summary);
                dhcp.Tick(cams, now + std::chrono::milliseconds(400 * step), sends, done);
            } else {
                o = HandleGvcp(cams, d, now + std::chrono::seconds(5));
            }
            break;
        }
        for (const auto& s : sends)
            if (s.camera >= cams.size() || s.data.size() < 300) __builtin_trap();
        for (const auto& r : done)
            if (r.change.camera >= cams.size() || (r.obtained && r.change.address == 0)) __builtin_trap();
        for (const Reply& r : o.replies)
            if (r.camera >= cams.size()) __builtin_trap();
        for (const AddressChange& ch : o.changes) {
            if (ch.camera >= cams.size()) __builtin_trap();
            cams[ch.camera].address = ch.address;
            cams[ch.camera].mask = ch.mask;
        }
    }
    return 0;
}
