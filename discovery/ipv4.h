// IPv4 addresses as text: dotted decimal to and from host-order values.
// Belongs to the UDP socket layer's library, so that the camera simulator shares
// it without the rest of discovery.
#pragma once

#include <cstdint>
#include <string>

// Dotted decimal to a host-order value; false when the text is not an address.
bool ParseIPv4(const std::string& text, uint32_t& hostOrder);
std::string FormatIPv4(uint32_t hostOrder);
// False for 0.0.0.0/8, loopback 127.0.0.0/8, multicast 224.0.0.0/4 and
// 240.0.0.0/4 with the limited broadcast address: no single host answers
// there. Host order.
bool IsUnicastIPv4(uint32_t hostOrder);
