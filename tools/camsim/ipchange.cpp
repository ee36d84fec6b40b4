#include "tools/camsim/ipchange.h"

#include "halvex/bigendian.h"

#include <cstring>

namespace camsim {
namespace {

using ZYRK::be_get16;
using ZYRK::be_get32;

std::string Text(const uint8_t* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool ParseIpChange(const std::vector<uint8_t>& d, IpChangeMessage& m) {
    if (d.size() != 72) return false;
    if (be_get16(&d[0]) != 0x0100 || be_get16(&d[2]) != 72 || be_get32(&d[4]) != 0xABCD0123u) return false;
    m.mask = be_get32(&d[8]);
    m.address = be_get32(&d[12]);
    m.gateway = be_get32(&d[16]);
    m.dhcp = be_get32(&d[20]) != 0;
    m.hostName = Text(&d[32], 20);
    m.interfaceName = Text(&d[52], 20);
    return true;
}

Outcome HandleIpChange(Cameras& cameras, const Datagram& in) {
    Outcome out;
    IpChangeMessage m;
    if (!ParseIpChange(in.data, m)) {
        out.summary = "ignored: not an IP-change message (" + std::to_string(in.data.size()) + " bytes)";
        return out;
    }
    out.summary = "IPCHANGE host=" + m.hostName + " interface=" + m.interfaceName + " dhcp=" + (m.dhcp ? "1" : "0") +
                  " address=" + FormatAddress(m.address) + " mask=" + FormatAddress(m.mask) +
                  " gateway=" + FormatAddress(m.gateway);
    bool applied = false;
    for (size_t i = 0; i < cameras.size(); ++i) {
        Camera& c = cameras[i];
        if (!c.ipchange || m.hostName != c.hostName || m.interfaceName != c.IpChangeInterface()) continue;
        if (m.dhcp) {
            out.changes.push_back(LinkLocalChange(c, i));
        } else {
            uint32_t a = m.address, k = m.mask;
            // An address the camera could not use is refused rather than applied.
            bool usable = a != 0 && a != 0xFFFFFFFF && (a >> 28) < 14 && k != 0 && (~k & (~k + 1)) == 0;
            if (!usable) {
                out.summary += " refused: unusable address or mask";
                continue;
            }
            out.changes.push_back(AddressChange{i, a, k, m.gateway, false});
        }
        applied = true;
    }
    if (!applied) out.summary += " ignored: addressed to no camera here";
    return out;
}

}  // namespace camsim
