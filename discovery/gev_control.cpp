#include "discovery/gev_control.h"

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"
#include "halvex/bigendian.h"


namespace {

using ZYRK::CBigEndianReader;
using ZYRK::CBigEndianWriter;

// The header of every GVCP command: key 0x42, flags, command, payload
// length, req_id.
CBigEndianWriter& PutCommandHeader(CBigEndianWriter& w, uint8_t flags, uint16_t command, uint16_t length,
                                   uint16_t reqId) {
    return w.U8(0x42).U8(flags).U16(command).U16(length).U16(reqId);
}

}  // namespace

std::vector<uint8_t> BuildWriteRegCmd(uint16_t reqId, uint32_t registerAddress, uint32_t value) {
    std::vector<uint8_t> b;
    CBigEndianWriter w(b);
    PutCommandHeader(w, 0x01, 0x0082, 0x0008, reqId).U32(registerAddress).U32(value);
    return b;
}

std::vector<uint8_t> BuildForceIPCmd(uint16_t reqId, const uint8_t mac[8], uint32_t address, uint32_t mask,
                                     uint32_t gateway) {
    std::vector<uint8_t> b;
    CBigEndianWriter w(b);
    // The MAC field, then address, mask and gateway, each at the end of a 16-byte field.
    PutCommandHeader(w, 0x00, 0x0004, 0x0038, reqId).Bytes(mac, 8);
    w.Zeros(12).U32(address).Zeros(12).U32(mask).Zeros(12).U32(gateway);
    return b;
}

bool ParseWriteRegAck(const uint8_t* data, size_t size) {
    CBigEndianReader r(data, size);
    uint16_t status = 0, answer = 0, length = 0;
    if (!r.U16(status) || !r.U16(answer) || !r.U16(length) || !r.Skip(2)) return false;  // ack_id
    return status == 0 && answer == 0x0083 && r.Has(length);
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
