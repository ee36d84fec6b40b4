#include "discovery/ipchange.h"

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"
#include "halvex/bigendian.h"

#include <cstring>
#include <string>

namespace {

using ZYRK::CBigEndianWriter;

uint32_t AddressOrAllOnes(const std::string& text) {
    uint32_t v = 0;
    return ParseIPv4(text, v) ? v : 0xFFFFFFFFu;
}

// A 20-byte text field: at most 19 characters, the rest zero.
CBigEndianWriter& PutText(CBigEndianWriter& w, const std::string& text) {
    const size_t n = text.size() < 19 ? text.size() : 19;
    return w.Bytes(text.data(), n).Zeros(20 - n);
}

}  // namespace

std::array<uint8_t, kIPChangeMessageSize> IPChangeMessage(const std::string& hostName, bool dhcp,
                                                         const std::string& address, const std::string& subnetMask,
                                                         const std::string& gateway, const std::string& interfaceName) {
    std::array<uint8_t, kIPChangeMessageSize> m{};
    CBigEndianWriter w(m.data(), m.size());
    w.U8(0x01).U8(0x00).U16(static_cast<uint16_t>(kIPChangeMessageSize)).U32(0xABCD0123u);
    w.U32(AddressOrAllOnes(subnetMask)).U32(AddressOrAllOnes(address)).U32(AddressOrAllOnes(gateway));
    w.U32(dhcp ? 1u : 0u).Zeros(8);
    PutText(w, hostName);
    PutText(w, interfaceName);
    return m;
}

int SendIPChangeBroadcast(const std::string& hostName, bool dhcp, const std::string& address,
                          const std::string& subnetMask, const std::string& gateway, const std::string& interfaceName,
                          const IPChangeTarget& target, IPChangeBroadcastReport* report) {
    IPChangeBroadcastReport local;
    IPChangeBroadcastReport& out = report ? *report : local;
    out = IPChangeBroadcastReport();
    // The first failure is kept; the result is returned as the algorithm has it.
    auto stop = [&out](int result, const std::string& why) {
        if (out.failure.empty()) out.failure = why;
        out.result = result;
        return result;
    };
    auto why = [](const std::string& what, const std::string& where, int error) {
        return what + " " + where + " failed: " + std::strerror(error);
    };
    const auto message = IPChangeMessage(hostName, dhcp, address, subnetMask, gateway, interfaceName);
    uint32_t destination = 0;
    if (!ParseIPv4(target.address, destination)) return stop(-1, "no destination address " + target.address);
    auto table = ReadAdapterTable();
    if (!table) return stop(-1, "the network adapters cannot be read");
    if (table->empty()) return stop(0, "no network adapter with an address");
    for (const AdapterInfo& adapter : *table) {
        uint32_t source = 0;
        if (!ParseIPv4(adapter.address, source) || source == 0)
            return stop(-1, "adapter " + (adapter.device.empty() ? std::to_string(adapter.index) : adapter.device) +
                                " has no address");
        const std::string where = adapter.address + ":" + std::to_string(target.port);
        CUdpSocket s;
        if (!s.Open()) return stop(-1, why("opening a UDP socket for", adapter.address, s.LastError()));
        if (!s.SetReuseAddress(true)) return stop(s.LastError(), why("address reuse on", where, s.LastError()));
        if (!adapter.device.empty()) s.BindToDevice(adapter.device);
        if (!s.Bind(source, target.port)) return stop(s.LastError(), why("binding", where, s.LastError()));
        if (!s.SetBroadcast(true)) return stop(s.LastError(), why("enabling broadcast on", where, s.LastError()));
        if (s.SendTo(destination, target.port, message.data(), message.size()))
            ++out.sent;
        else if (out.failure.empty())
            out.failure = why("sending from", where, s.LastError());
    }
    return 0;
}
