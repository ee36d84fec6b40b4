#include "discovery/device.h"

#include "discovery/adapters.h"

#include <initializer_list>

namespace {

bool IsOneOf(const std::string& code, std::initializer_list<const char*> codes) {
    for (const char* c : codes)
        if (EqualsNoCase(code, c)) return true;
    return false;
}

// Codes whose cameras can be changed; the GigE Vision ones among them.
constexpr std::initializer_list<const char*> kModifiable = {"J3", "J5", "J7", "W3", "W6", "W8", "B9", "HU", "HV"};
constexpr std::initializer_list<const char*> kGEV = {"HU", "HV"};
// Codes that are listed but offer no address change.
constexpr std::initializer_list<const char*> kListOnly = {"W", "U4", "V6Q", "Q4", "HB", "B2", "U7", "QD", "U6"};

}  // namespace

bool IsListable(const CDevice& device) {
    if (EqualsNoCase(device.platform, "M")) return EqualsNoCase(device.model, "L");
    return IsOneOf(device.platform, kModifiable) || IsOneOf(device.platform, kListOnly);
}

bool CanModifyIP(const CDevice& device) {
    if (EqualsNoCase(device.platform, "M")) return EqualsNoCase(device.model, "L");
    return IsOneOf(device.platform, kModifiable);
}

bool UsesGEVControl(const CDevice& device) {
    if (EqualsNoCase(device.platform, "M")) return EqualsNoCase(device.model, "D");
    return IsOneOf(device.platform, kGEV);
}

bool IsReachable(const CDevice& device) {
    if (EqualsNoCase(device.platform, "QD")) return true;
    auto adapter = FindAdapter(device.adapterIndex);
    if (!adapter) return false;
    uint32_t a = 0, m = 0, d = 0;
    // A text that does not parse counts as 0, as the platform's address parser gives.
    if (!ParseIPv4(adapter->address, a)) a = 0;
    if (!ParseIPv4(adapter->mask, m)) m = 0;
    if (!ParseIPv4(device.ipAddress, d)) d = 0;
    return (d & m) == (a & m);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}
