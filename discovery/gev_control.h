// GigE Vision control of one camera for one address change: register writes
// (WRITEREG_CMD / WRITEREG_ACK) to the camera's address and the FORCEIP_CMD
// broadcast that reaches a camera by its MAC address on any subnet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Registers this program writes.
constexpr uint32_t kRegControlChannelPrivilege = 0x0A00;
constexpr uint32_t kRegCurrentIPConfiguration = 0x0014;
constexpr uint32_t kRegPersistentIPAddress = 0x064C;
constexpr uint32_t kRegPersistentSubnetMask = 0x065C;
constexpr uint32_t kRegPersistentGateway = 0x066C;
constexpr uint32_t kRegCameraReset = 0xD340;

constexpr uint16_t kGEVControlLocalPort = 54567;

// The 16 bytes of a WRITEREG_CMD.
std::vector<uint8_t> BuildWriteRegCmd(uint16_t reqId, uint32_t registerAddress, uint32_t value);
// The 64 bytes of a FORCEIP_CMD; `mac` is the 8-byte MAC field of the discovery answer.
std::vector<uint8_t> BuildForceIPCmd(uint16_t reqId, const uint8_t mac[8], uint32_t address, uint32_t mask,
                                     uint32_t gateway);
// True for status 0, answer 0x0083 and the whole announced payload present.
bool ParseWriteRegAck(const uint8_t* data, size_t size);

class CGEVControl {
public:
    CGEVControl() = default;
    virtual ~CGEVControl() = default;

    // Each: true when the camera acknowledged the write with status 0.
    bool SetControlChannelPrivilege(uint32_t value, const std::string& camera);
    bool SetAddressConfiguration(uint32_t value, const std::string& camera);
    bool SetPersistentIPAddress(uint32_t address, const std::string& camera);
    bool SetPersistentSubnetMask(uint32_t mask, const std::string& camera);
    bool SetPersistentGateway(uint32_t gateway, const std::string& camera);
    bool ResetCamera(const std::string& camera);

    // Broadcasts FORCEIP_CMD from the adapter whose address is `adapterAddress`.
    // False without sending when `mac` is not 8 bytes; true when the command went out.
    bool ForceIP(const std::vector<uint8_t>& mac, uint32_t address, uint32_t mask, uint32_t gateway,
                 const std::string& adapterAddress);

    // One WRITEREG_CMD and one wait of up to a second for its acknowledge; no retry.
    bool WriteRegister(uint32_t registerAddress, uint32_t value, const std::string& camera);

    // req_id of the last command sent (4096 before the first).
    uint16_t RequestId() const { return requestId; }

    // Where the commands go. Defaults: local port 54567, the camera's GVCP
    // port and the limited broadcast address; tests on loopback change them.
    uint16_t localPort = kGEVControlLocalPort;
    uint16_t cameraPort = 3956;
    std::string forceIPDestination = "255.255.255.255";
    int replyTimeoutMs = 1000;

private:
    uint16_t requestId = 0x1000;
};
