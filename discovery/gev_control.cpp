#include "discovery/gev_control.h"

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"

#include <cstring>

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::vector<uint8_t> BuildWriteRegCmd(uint16_t reqId, uint32_t registerAddress, uint32_t value) {
    std::vector<uint8_t> b(16, 0);
    b[0] = 0x42;
    b[1] = 0x01;
    Put16(b, 2, 0x0082);
    Put16(b, 4, 0x0008);
    Put16(b, 6, reqId);
    Put32(b, 8, registerAddress);
    Put32(b, 12, value);
    return b;
}

std::vector<uint8_t> BuildForceIPCmd(uint16_t reqId, const uint8_t mac[8], uint32_t address, uint32_t mask,
                                     uint32_t gateway) {
    std::vector<uint8_t> b(64, 0);
    b[0] = 0x42;
    b[1] = 0x00;
    Put16(b, 2, 0x0004);
    Put16(b, 4, 0x0038);
    Put16(b, 6, reqId);
    std::memcpy(&b[8], mac, 8);
    Put32(b, 28, address);
    Put32(b, 44, mask);
    Put32(b, 60, gateway);
    return b;
}

bool ParseWriteRegAck(const uint8_t* data, size_t size) {
    if (!data || size < 8) return false;
    if (Get16(data) != 0) return false;
    if (Get16(data + 2) != 0x0083) return false;
    return size - 8 >= Get16(data + 4);
}

bool CGEVControl::WriteRegister(uint32_t registerAddress, uint32_t value, const std::string& camera) {
    ++requestId;
    const auto cmd = BuildWriteRegCmd(requestId, registerAddress, value);
    CUdpSocket s;
    if (!s.Open() || !s.Bind(0u, localPort)) return false;
    if (!s.SendTo(camera, cameraPort, cmd.data(), cmd.size())) return false;
    if (s.WaitReadable(replyTimeoutMs) != 1) return false;
    uint8_t reply[256];
    CUdpSocket::Received from;
    ssize_t n = s.Receive(reply, sizeof reply, from);
    s.Close();
    if (n < 0) return false;
    return ParseWriteRegAck(reply, static_cast<size_t>(n));
}

bool CGEVControl::SetControlChannelPrivilege(uint32_t value, const std::string& camera) {
    return WriteRegister(kRegControlChannelPrivilege, value, camera);
}

bool CGEVControl::SetAddressConfiguration(uint32_t value, const std::string& camera) {
    return WriteRegister(kRegCurrentIPConfiguration, value, camera);
}

bool CGEVControl::SetPersistentIPAddress(uint32_t address, const std::string& camera) {
    return WriteRegister(kRegPersistentIPAddress, address, camera);
}

bool CGEVControl::SetPersistentSubnetMask(uint32_t mask, const std::string& camera) {
    return WriteRegister(kRegPersistentSubnetMask, mask, camera);
}

bool CGEVControl::SetPersistentGateway(uint32_t gateway, const std::string& camera) {
    return WriteRegister(kRegPersistentGateway, gateway, camera);
}

bool CGEVControl::ResetCamera(const std::string& camera) { return WriteRegister(kRegCameraReset, 1, camera); }

bool CGEVControl::ForceIP(const std::vector<uint8_t>& mac, uint32_t address, uint32_t mask, uint32_t gateway,
                          const std::string& adapterAddress) {
    if (mac.size() != 8) return false;
    ++requestId;
    const auto cmd = BuildForceIPCmd(requestId, mac.data(), address, mask, gateway);
    uint32_t source = 0, target = 0;
    if (!ParseIPv4(adapterAddress, source) || !ParseIPv4(forceIPDestination, target)) return false;
    // The adapter of that address, so that the broadcast leaves through it.
    std::string device;
    if (auto table = ReadAdapterTable())
        for (const auto& a : *table)
            if (a.address == adapterAddress) {
                device = a.device;
                break;
            }
    CUdpSocket s;
    if (!s.Open() || !s.SetReuseAddress(true)) return false;
    if (!device.empty()) s.BindToDevice(device);
    if (!s.Bind(source, 0) || !s.SetBroadcast(true)) return false;
    return s.SendTo(target, cameraPort, cmd.data(), cmd.size());
}
