#include "discovery/ipv4.h"

#include <arpa/inet.h>

bool ParseIPv4(const std::string& text, uint32_t& hostOrder) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    hostOrder = ntohl(a.s_addr);
    return true;
}

std::string FormatIPv4(uint32_t hostOrder) {
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool IsUnicastIPv4(uint32_t a) {
    const uint32_t first = a >> 24;
    return first != 0 && first != 127 && first < 224;
}
