// The IP-change listener (UDP 810): a 72-byte message naming the camera's host
// name and interface sets DHCP or a fixed address, mask and gateway.
#pragma once

#include "tools/camsim/camera.h"

namespace camsim {

constexpr uint16_t kIpChangePort = 810;

struct IpChangeMessage {
    uint32_t mask = 0, address = 0, gateway = 0;
    bool dhcp = false;
    std::string hostName, interfaceName;
};

// False unless the datagram is exactly one well-formed message.
bool ParseIpChange(const std::vector<uint8_t>& data, IpChangeMessage& msg);
Outcome HandleIpChange(Cameras& cameras, const Datagram& in);

}  // namespace camsim
