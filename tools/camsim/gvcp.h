// GigE Vision control protocol (GVCP, UDP 3956) on the device side: discovery,
// register and memory reads, register writes with the control channel
// privilege, the reset register and FORCEIP.
#pragma once

#include "tools/camsim/camera.h"

#include <optional>

namespace camsim {

constexpr uint16_t kGvcpPort = 3956;

namespace gvcp {
constexpr uint16_t kDiscoveryCmd = 0x0002, kDiscoveryAck = 0x0003;
constexpr uint16_t kForceIpCmd = 0x0004, kForceIpAck = 0x0005;
constexpr uint16_t kReadRegCmd = 0x0080, kReadRegAck = 0x0081;
constexpr uint16_t kWriteRegCmd = 0x0082, kWriteRegAck = 0x0083;
constexpr uint16_t kReadMemCmd = 0x0084, kReadMemAck = 0x0085;

constexpr uint16_t kStatusSuccess = 0x0000;
constexpr uint16_t kStatusNotImplemented = 0x8001;
constexpr uint16_t kStatusInvalidParameter = 0x8002;
constexpr uint16_t kStatusInvalidAddress = 0x8003;
constexpr uint16_t kStatusWriteProtect = 0x8004;
constexpr uint16_t kStatusAccessDenied = 0x8006;

constexpr uint8_t kFlagAckRequired = 0x01;
constexpr uint8_t kFlagBroadcastAck = 0x10;

constexpr uint32_t kRegNetworkConfig = 0x0014;
constexpr uint32_t kRegPersistentAddress = 0x064C;
constexpr uint32_t kRegPersistentMask = 0x065C;
constexpr uint32_t kRegPersistentGateway = 0x066C;
constexpr uint32_t kRegHeartbeat = 0x0938;
constexpr uint32_t kRegPrivilege = 0x0A00;
constexpr uint32_t kRegReset = 0xD340;
constexpr uint32_t kXmlAddress = 0x00100000;  // where the device description file is mapped
}  // namespace gvcp

// The 256-byte DISCOVERY_ACK of a camera for the request id given.
std::vector<uint8_t> BuildDiscoveryAck(const Camera& camera, uint16_t ackId);

// Value of a 32-bit bootstrap register; none for an unknown register.
std::optional<uint32_t> ReadRegister(const Camera& camera, uint32_t address);
// Bytes of the device's memory map (bootstrap texts, URLs, description file).
std::optional<std::vector<uint8_t>> ReadMemory(const Camera& camera, uint32_t address, uint32_t count);
// The small device description file that the first URL names.
const std::string& DeviceDescription();

// Handles one GVCP datagram for every camera it concerns. Bad, short or
// unknown datagrams give an outcome without replies.
Outcome HandleGvcp(Cameras& cameras, const Datagram& in, Clock::time_point now);

}  // namespace camsim
