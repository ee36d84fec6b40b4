#include "discovery/ipchange.h"

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"

#include <cstring>
#include <string>

namespace {

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint32_t AddressOrAllOnes(const std::string& text) {
    uint32_t v = 0;
    return ParseIPv4(text, v) ? v : 0xFFFFFFFFu;
}

void PutText(uint8_t* field, const std::string& text) {
    std::memcpy(field, text.data(), text.size() < 19 ? text.size() : 19);
}

}  // namespace

std::array<uint8_t, kIPChangeMessageSize> IPChangeMessage(const std::string& hostName, bool dhcp,
                                                         const std::string& address, const std::string& subnetMask,
                                                         const std::string& gateway, const std::string& interfaceName) {
    std::array<uint8_t, kIPChangeMessageSize> m{};
    m[0] = 0x01;
    m[1] = 0x00;
    m[2] = 0x00;
    m[3] = static_cast<uint8_t>(kIPChangeMessageSize);
    Put32(&m[4], 0xABCD0123u);
    Put32(&m[8], AddressOrAllOnes(subnetMask));
    Put32(&m[12], AddressOrAllOnes(address));
    Put32(&m[16], AddressOrAllOnes(gateway));
    Put32(&m[20], dhcp ? 1u : 0u);
    PutText(&m[32], hostName);
    PutText(&m[52], interfaceName);
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
