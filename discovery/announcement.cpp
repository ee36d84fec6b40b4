#include "discovery/announcement.h"

#include "discovery/adapters.h"

std::string AnnouncementText(const uint8_t* data, size_t size) {
    if (data == nullptr) return {};
    size_t n = 0;
    while (n < size && data[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(data), n);
}

std::vector<std::string> SplitAnnouncementFields(std::string_view text) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string_view::npos) comma = text.size();
        if (comma > pos) fields.emplace_back(text.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return fields;
}

bool ParseAnnouncement(std::string_view text, AnnouncementFields& out) {
    out = AnnouncementFields{};
    std::vector<std::string> f = SplitAnnouncementFields(text);
    if (f.empty() || f[0] != kAnnouncementTag) return false;
    if (f.size() > 1) out.name = f[1];
    if (f.size() > 2) {
        out.hostName = f[2];
        out.name = f[1] + " " + f[2];
    }
    if (f.size() > 3) out.ipAddress = f[3];
    return true;
}

bool MakeAnnouncementDeviceInfo(uint32_t adapterIndex, std::string_view text, const AnnouncementMacLookup& lookup,
                                DeviceInfo& info) {
    info = DeviceInfo{};
    info.adapterIndex = adapterIndex;
    info.interfaceName = GetInterfaceName(adapterIndex);
    info.txt = {{"bsp", "QD"}};
    AnnouncementFields f;
    if (!ParseAnnouncement(text, f)) return false;
    info.name = f.name;
    info.hostName = f.hostName;
    info.ipAddress = f.ipAddress;
    // Without a host name the merge ignores the record, and an address that
    // does not parse has no neighbour entry: spare the lookup.
    uint32_t v = 0;
    if (!info.hostName.empty() && ParseIPv4(info.ipAddress, v) && lookup && lookup(info.ipAddress, info.macAddress)) {
        info.macKnown = true;
    } else {
        info.macAddress.clear();
        info.macKnown = false;
    }
    return true;
}
