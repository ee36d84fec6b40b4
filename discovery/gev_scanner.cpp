#include "discovery/gev_scanner.h"

bool ParseDiscoveryAck(const uint8_t*, size_t, const sockaddr*, socklen_t, GEVDiscoveryAnswer&) { return false; }
bool CGEVScanner::Scan(std::vector<GEVDiscoveryAnswer>& answers) {
    answers.clear();
    return true;
}
std::string SenderAddressText(const sockaddr_storage&, socklen_t) { return {}; }
void AddGEVDevices(CDeviceList&, const std::vector<GEVDiscoveryAnswer>&) {}
