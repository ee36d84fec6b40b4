#include "tools/camsim/camera.h"

#include "discovery/ipv4.h"


#include <cstdio>
#include <strings.h>

namespace camsim {

std::string Camera::IpChangeInterface() const {
    return strcasecmp(bsp.c_str(), "W6") == 0 ? "FEC1" : "LAN90001";
}

bool Camera::HoldsControl(uint32_t from, uint16_t port, Clock::time_point now) const {
    if (controller == 0 || controller != from || controllerPort != port) return false;
    return now - controllerSeen <= std::chrono::milliseconds(heartbeatMs);
}

AddressChange LinkLocalChange(const Camera& camera, size_t index) {
    AddressChange c;
    c.camera = index;
    // 169.254.1.0 to 169.254.254.255, as the link-local rules reserve the first and last 256.
    uint32_t third = 1 + camera.mac[4] % 254;
    c.address = (169u << 24) | (254u << 16) | (third << 8) | camera.mac[5];
    c.mask = 0xFFFF0000;
    c.gateway = 0;
    c.dhcp = true;
    return c;
}

AddressChange PersistentChange(const Camera& camera, size_t index) {
    if (camera.ipConfig & 2) return LinkLocalChange(camera, index);
    if ((camera.ipConfig & 1) && camera.persistentAddress != 0) {
        AddressChange c;
        c.camera = index;
        c.address = camera.persistentAddress;
        c.mask = camera.persistentMask ? camera.persistentMask : 0xFFFFFF00;
        c.gateway = camera.persistentGateway;
        c.dhcp = false;
        return c;
    }
    AddressChange c = LinkLocalChange(camera, index);
    c.dhcp = false;
    return c;
}

std::string FormatAddress(uint32_t v) { return FormatIPv4(v); }

bool ParseAddress(const std::string& text, uint32_t& v) { return ParseIPv4(text, v); }

std::string FormatMac(const std::array<uint8_t, 6>& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

bool ParseMac(const std::string& text, std::array<uint8_t, 6>& mac) {
    unsigned b[6];
    char tail;
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (b[i] > 255) return false;
        mac[i] = static_cast<uint8_t>(b[i]);
    }
    return true;
}

bool SameSubnet(uint32_t a, uint32_t b, uint32_t mask) { return (a & mask) == (b & mask); }

}  // namespace camsim
