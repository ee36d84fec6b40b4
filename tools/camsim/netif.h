// Addresses of the lab interface the cameras live on. The simulator runs as
// root inside its lab host and moves cameras for real: `ip addr` changes the
// interface, so later answers come from the new address.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

struct InterfaceAddress {
    uint32_t address;
    int prefix;
};

int PrefixLength(uint32_t mask);
// Adds and removes addresses in one batch; false with a message when `ip` fails.
bool ChangeAddresses(const std::string& interfaceName, const std::vector<InterfaceAddress>& add,
                     const std::vector<InterfaceAddress>& remove, std::string& error);

}  // namespace camsim
