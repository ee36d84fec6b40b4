// Camera announcements: comma-separated ASCII datagrams that cameras send by
// themselves to UDP port 1005, "$TOVRA,<name part 1>,<name part 2 = host
// name>,<IPv4 address>[,...]".
#pragma once

#include "discovery/device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint16_t kAnnouncementPort = 1005;
inline constexpr const char* kAnnouncementTag = "$TOVRA";
inline constexpr size_t kAnnouncementMaxDatagram = 512;

// The datagram's text: its bytes up to the first NUL or the end.
std::string AnnouncementText(const uint8_t* data, size_t size);

// Splits at ",": a run of commas is one separator, empty fields do not count,
// leading and trailing commas are ignored. Pure.
std::vector<std::string> SplitAnnouncementFields(std::string_view text);

struct AnnouncementFields {
    std::string name;       // fields 1 and 2 joined by one blank (field 1 alone without field 2)
    std::string hostName;   // field 2, empty when missing
    std::string ipAddress;  // field 3, empty when missing
};

// False when there is no field or field 0 is not exactly "$TOVRA". Field 3
// is taken as it stands: a camera that announces no address, or one that is
// no dotted quad, is still listed (with an empty address, or that text), since
// finding misconfigured cameras is what the list is for. Pure.
bool ParseAnnouncement(std::string_view text, AnnouncementFields& out);

using AnnouncementMacLookup = std::function<bool(const std::string& address, std::string& mac)>;

// The record of one announcement: adapter index and its interface name, "bsp"
// = "QD", the fields, the MAC address through `lookup` (asked only for a
// record with a host name and an address that parses). False when the text
// is dropped.
bool MakeAnnouncementDeviceInfo(uint32_t adapterIndex, std::string_view text, const AnnouncementMacLookup& lookup,
                                DeviceInfo& info);
