// IPv4 addresses as text: dotted decimal to and from host-order values.
// Belongs to the UDP socket layer's library, so that the camera simulator shares
// it without the rest of discovery.
#pragma once

#include <cstdint>
#include <string>

// Dotted decimal to a host-order value; false when the text is not an address.
bool ParseIPv4(const std::string& text, uint32_t& hostOrder);
std::string FormatIPv4(uint32_t hostOrder);
