// Tiny peers for testing camsim on its own: run inside a lab host (see
// labtest::Lab::RunIn); every call is bounded in time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

struct Answer {
    std::string from;             // sender address
    uint16_t fromPort = 0;
    std::vector<uint8_t> data;
};

// Sends `data` from a socket on `device` (any address, so broadcast answers
// arrive too) to addr:port and collects answers for `windowMs`.
std::vector<Answer> Exchange(const std::string& device, const std::string& to, uint16_t port,
                             const std::vector<uint8_t>& data, int windowMs, uint16_t localPort = 0);
// Receives datagrams on a port for `windowMs`.
std::vector<Answer> Listen(const std::string& device, uint16_t port, int windowMs);

std::vector<uint8_t> DiscoveryCmd(uint8_t flags = 0x11, uint16_t reqId = 0x5FFF);
std::vector<uint8_t> WriteRegCmd(uint32_t reg, uint32_t value, uint16_t reqId);
std::vector<uint8_t> ReadRegCmd(uint32_t reg, uint16_t reqId);
std::vector<uint8_t> ForceIpCmd(const uint8_t mac[6], uint32_t ip, uint32_t mask, uint32_t gateway, uint16_t reqId);
std::vector<uint8_t> MdnsQuery(const std::string& name, uint16_t type, uint16_t id);
std::vector<uint8_t> IpChangeMsg(const std::string& host, const std::string& interfaceName, bool dhcp,
                                 uint32_t address, uint32_t mask, uint32_t gateway);

// Serialises answers as text lines "<from> <port> <hex bytes>" and back, to
// carry them out of the lab host's child process.
std::string Encode(const std::vector<Answer>& answers);
std::vector<Answer> Decode(const std::string& text);

uint32_t Be32(const std::vector<uint8_t>& d, size_t off);
uint16_t Be16(const std::vector<uint8_t>& d, size_t off);
std::string Text(const std::vector<uint8_t>& d, size_t off, size_t width);
uint32_t Ip(const char* dotted);

}  // namespace probe
