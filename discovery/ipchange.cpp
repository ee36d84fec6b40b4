#include "discovery/ipchange.h"

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"

#include <cstring>

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
                          const IPChangeTarget& target) {
    const auto message = IPChangeMessage(hostName, dhcp, address, subnetMask, gateway, interfaceName);
    uint32_t destination = 0;
    if (!ParseIPv4(target.address, destination)) return -1;
    auto table = ReadAdapterTable();
    if (!table) return -1;
    for (const AdapterInfo& adapter : *table) {
        uint32_t source = 0;
        if (!ParseIPv4(adapter.address, source) || source == 0) return -1;
        CUdpSocket s;
        if (!s.Open()) return -1;
        if (!s.SetReuseAddress(true)) return s.LastError();
        if (!adapter.device.empty()) s.BindToDevice(adapter.device);
        if (!s.Bind(source, target.port)) return s.LastError();
        if (!s.SetBroadcast(true)) return s.LastError();
        s.SendTo(destination, target.port, message.data(), message.size());
    }
    return 0;
}
