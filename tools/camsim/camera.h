// One emulated camera: its identity, its network settings as the services see
// them, and the few pieces of run-time state of its GigE Vision control channel.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace camsim {

using Clock = std::chrono::steady_clock;

struct Camera {
    // Identity (GigE Vision bootstrap texts and mDNS/announcement names).
    std::string manufacturer = "ZYRK";
    std::string modelName = "Thermal Camera";
    std::string deviceVersion = "1.0";
    std::string info = "KSRV";            // manufacturer-specific information
    std::string serial = "00000000";
    std::string userName = "Camera";      // user-defined name; mDNS instance name
    std::string hostName = "camera";      // mDNS host label, announcement host name, IP-change target
    std::string announceName;             // first field of an announcement (empty: userName)
    std::array<uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

    // Current network settings (host byte order).
    uint32_t address = 0;
    uint32_t mask = 0xFFFFFF00;
    uint32_t gateway = 0;
    bool dhcp = false;

    // Persistent settings, applied by a reset (register 0xD340).
    uint32_t persistentAddress = 0;
    uint32_t persistentMask = 0;
    uint32_t persistentGateway = 0;
    uint32_t ipConfig = 5;                // register 0x0014: bit 0 persistent, bit 1 DHCP, bit 2 link-local

    // Behaviour.
    int answerDelayMs = 0;                // delay of discovery and mDNS answers
    std::string bsp = "J3";               // platform code (TXT "bsp")
    std::string modelCode;                // TXT "model"
    bool enabled = true;                  // TXT "enabled"
    bool grantPrivilege = true;           // control channel privilege granted on request
    bool broadcastAckAllowed = true;      // honour the broadcast-acknowledge flag of DISCOVERY_CMD
    uint16_t servicePort = 22136;         // SRV port
    int announceIntervalMs = 1000;
    int dhcpWaitMs = 3000;                // how long a DHCP exchange may take before the link-local fallback stays

    // Services it runs.
    bool gvcp = false;
    bool mdns = false;
    bool announce = false;
    bool ipchange = false;

    // TCP services (unset: the default below). The resource server listens
    // on servicePort of the camera's address while "enabled" is true; for a
    // disabled camera it listens on loopback only, behind the TLS front.
    std::optional<bool> resourceService;  // default: an mDNS camera has one
    std::optional<bool> httpService;      // default: an mDNS camera has one
    std::optional<bool> tlsService;       // default: a disabled camera with a resource service
    uint16_t httpPort = 80;
    uint16_t tlsPort = 9100;
    // A camera whose TLS front takes the connection and then never answers
    // the handshake (for the clients' bounds).
    bool tlsStallHandshake = false;
    bool WantsResource() const { return resourceService.value_or(mdns); }
    bool WantsHttp() const { return httpService.value_or(mdns); }
    bool WantsTls() const { return tlsService.value_or(!enabled && WantsResource()); }

    // Run-time state of the control channel.
    uint32_t controller = 0;              // address of the application holding the privilege, 0: none
    uint16_t controllerPort = 0;
    uint32_t heartbeatMs = 3000;
    Clock::time_point controllerSeen{};
    Clock::time_point nextAnnouncement{};

    // Interface name that IP-change messages must name for this camera.
    std::string IpChangeInterface() const;
    bool HoldsControl(uint32_t from, uint16_t port, Clock::time_point now) const;
};

using Cameras = std::vector<Camera>;

// An address change the simulator carries out on the lab interface.
struct AddressChange {
    size_t camera = 0;
    uint32_t address = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    bool dhcp = false;
};

// One datagram as received: addresses and ports in host order.
struct Datagram {
    uint32_t src = 0;
    uint16_t srcPort = 0;
    uint32_t dst = 0;                     // destination address of the IP header
    uint16_t dstPort = 0;
    std::vector<uint8_t> data;
};

// One datagram to send on behalf of a camera (its current address is the source).
struct Reply {
    size_t camera = 0;
    uint32_t to = 0;
    uint16_t toPort = 0;
    std::vector<uint8_t> data;
    int delayMs = 0;
    bool afterChanges = false;            // send after the address changes of the same outcome
};

// What a service makes of one datagram.
struct Outcome {
    std::vector<Reply> replies;
    std::vector<AddressChange> changes;
    std::string summary;                  // for the log line of the datagram
};

// The address a camera takes when it is told to use DHCP and no server
// answers: a link-local 169.254.x.y address derived from its MAC.
AddressChange LinkLocalChange(const Camera& camera, size_t index);
// The change a reset applies: DHCP, persistent address or link-local.
AddressChange PersistentChange(const Camera& camera, size_t index);

std::string FormatAddress(uint32_t hostOrder);
bool ParseAddress(const std::string& text, uint32_t& hostOrder);
std::string FormatMac(const std::array<uint8_t, 6>& mac);
bool ParseMac(const std::string& text, std::array<uint8_t, 6>& mac);
bool SameSubnet(uint32_t a, uint32_t b, uint32_t mask);

}  // namespace camsim
