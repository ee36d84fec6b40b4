// The IP-change message: the new settings of one camera, named by its host
// name and interface, broadcast on every adapter to UDP port 810 when the
// camera's resource server cannot be reached.
#pragma once

#include <array>
#include <cstdint>
#include <string>

constexpr uint16_t kIPChangePort = 810;
constexpr size_t kIPChangeMessageSize = 72;

// The 72 bytes of the message. Texts are cut to 19 characters; address texts
// that do not parse give 255.255.255.255.
std::array<uint8_t, kIPChangeMessageSize> IPChangeMessage(const std::string& hostName, bool dhcp,
                                                         const std::string& address, const std::string& subnetMask,
                                                         const std::string& gateway, const std::string& interfaceName);

// Where the message goes: the limited broadcast address and port 810 (the
// sending socket is bound to the same port). Tests on loopback change it.
struct IPChangeTarget {
    std::string address = "255.255.255.255";
    uint16_t port = kIPChangePort;
};

// What a broadcast did: SendIPChangeBroadcast's result, on how many adapters
// the kernel took the datagram, and why the broadcast stopped or a send
// failed (empty when nothing went wrong), e.g. "binding 192.168.10.1:810
// failed: Permission denied".
struct IPChangeBroadcastReport {
    int result = 0;
    unsigned sent = 0;
    std::string failure;
};

// 0 when the message went out on every adapter; -1 when the adapter table
// cannot be read, a socket cannot be opened or an adapter has no address (the
// adapters after it get nothing); the socket error of a failed bind or option.
// A failed send is not part of the result; `report`, when given, counts the
// adapters whose datagram was sent and names the first failure.
int SendIPChangeBroadcast(const std::string& hostName, bool dhcp, const std::string& address,
                          const std::string& subnetMask, const std::string& gateway, const std::string& interfaceName,
                          const IPChangeTarget& target = IPChangeTarget(), IPChangeBroadcastReport* report = nullptr);
