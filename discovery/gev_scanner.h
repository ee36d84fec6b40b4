// GigE Vision device discovery: one DISCOVERY_CMD broadcast per local adapter,
// one second of collecting DISCOVERY_ACK answers each, and the turning of the
// maker's camera models among the answers into camera-list records.
#pragma once

#include "discovery/device_list.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/socket.h>

// GVCP port of every GigE Vision device.
constexpr uint16_t kGVCPPort = 3956;

// DISCOVERY_CMD as this program sends it: key 0x42, flags 0x11 (acknowledge
// required, broadcast acknowledge allowed), command 0x0002, length 0, req_id 0x5FFF.
constexpr uint8_t kDiscoveryCmd[8] = {0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0x5F, 0xFF};

// Answers shorter than this are dropped; the receive buffer is this large.
constexpr size_t kDiscoveryAckSize = 256;

// One parsed DISCOVERY_ACK, with the adapter it arrived on and its sender.
struct GEVDiscoveryAnswer {
    sockaddr_storage senderAddress{};   // as the receive call delivered it
    socklen_t senderAddressLength = 0;
    uint16_t status = 0;
    uint16_t answer = 0;
    uint16_t length = 0;
    uint16_t ackId = 0;
    uint32_t specVersion = 0;           // major in the upper 16 bits
    uint32_t deviceMode = 0;
    uint8_t macAddress[8] = {};         // reserved (2) and the device MAC (6)
    uint32_t supportedIPOptions = 0;
    uint32_t currentIPOptions = 0;      // bit 1 (value 2): DHCP
    uint32_t currentIP = 0;             // network byte order, as received
    uint32_t currentSubnetMask = 0;     // network byte order, as received
    uint32_t defaultGateway = 0;        // network byte order, as received
    std::string manufacturerName;
    std::string modelName;
    std::string deviceVersion;
    std::string manufacturerInfo;       // selects the camera model
    std::string serialNumber;
    std::string userDefinedName;
    uint32_t adapterIndex = 0;
    std::vector<uint8_t> datagram;      // the received bytes
};
using GEVDiscoveryAck = GEVDiscoveryAnswer;

// One received datagram before parsing.
struct RawDatagram {
    sockaddr_storage senderAddress{};
    socklen_t senderAddressLength = 0;
    std::vector<uint8_t> bytes;
};

// Parses one datagram: copies the sender and the bytes, then reads the
// fields. False when it is empty, shorter than 256 bytes, has a non-zero
// status or is not a DISCOVERY_ACK (the fields are then partly filled). Pure:
// safe on any input.
bool ParseDiscoveryAck(const uint8_t* data, size_t size, const sockaddr* sender, socklen_t senderLength,
                       GEVDiscoveryAnswer& answer);

// What a scan cycle asks of GigE Vision discovery: CGEVScanner on the
// network, stand-ins in tests.
class IGEVScanner {
public:
    virtual ~IGEVScanner() = default;
    virtual bool Scan(std::vector<GEVDiscoveryAnswer>& answers) = 0;
};

class CGEVScanner : public IGEVScanner {
public:
    // The destination is the limited broadcast address; tests on loopback
    // point the scanner at a fake camera instead.
    explicit CGEVScanner(std::string destination = "255.255.255.255", uint16_t port = kGVCPPort);

    // Empties `answers`, then broadcasts DISCOVERY_CMD on every adapter in
    // table order and collects for one second on each. False only when a
    // socket cannot be opened, bound or set to broadcast (the scan then ends;
    // answers of earlier adapters stay).
    bool Scan(std::vector<GEVDiscoveryAnswer>& answers) override;

    // Adapters one after another, one window each (the window's scan cycle),
    // or every broadcast at once and one window for all (the command-line
    // scan). Answers come adapter by adapter in table order either way.
    void SetConcurrentAdapters(bool on) { concurrentAdapters = on; }

    // Collection time per adapter (one second; tests may shorten it).
    int collectMs = 1000;
    // Asked between adapters and at least every 100 ms while collecting:
    // true ends the scan early (the scan thread's owner is going away).
    std::function<bool()> stopRequested;

private:
    std::string destination;
    uint16_t port;
    bool concurrentAdapters = false;
};

// Text of a socket address: dotted decimal for IPv4, the standard text for
// IPv6, empty for any other family.
std::string SenderAddressText(const sockaddr_storage& address, socklen_t length);

// Platform code and list name of one answer's model; false for devices that
// are not the maker's cameras.
bool MapGEVModel(const GEVDiscoveryAnswer& answer, std::string& platform, std::string& name);

// Merges every answer of the maker's models (by the start of the
// manufacturer-specific information: "KSRV", "K210R", "K460") into the list;
// host names "GigE<i>" count over the whole answer list.
void AddGEVDevices(CDeviceList& list, const std::vector<GEVDiscoveryAnswer>& answers);
