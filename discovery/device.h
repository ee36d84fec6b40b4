// The discovered-camera record: the scan result a discovery source hands to the
// merge (DeviceInfo), the listed camera (CDevice) and the platform rules.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One answer of one discovery source; lives only for one merge.
struct DeviceInfo {
    std::string interfaceName;                // GetInterfaceName of the adapter, empty when not found
    std::string name;                         // as the source gives it; normalised by the merge
    std::string hostName;                     // empty makes the merge ignore the record
    std::string serviceName;                  // mDNS SRV owner name (kept, not used by the merge)
    std::string ipAddress;                    // dotted decimal
    std::string macAddress;                   // "%02X:..." or empty
    std::vector<uint8_t> macBytes;            // GigE Vision: the 8 bytes of the MAC field
    std::map<std::string, std::string> txt;   // TXT keys (GigE Vision and announcements: "bsp")
    uint16_t port = 0;                        // SRV port (kept, not used by the merge)
    uint32_t adapterIndex = 0;
    uint32_t gateway = 0;                     // byte order: see the source
    uint32_t subnetMask = 0;
    bool dhcp = false;
    bool macKnown = false;
};

// Images of the camera list, in the order of the image list.
enum DeviceImage : int {
    kImageReachable = 0,     // green check mark
    kImageOtherSubnet = 1,   // red cross
    kImageDisabled = 2,      // closed padlock, column 4
    kImageUnused = 3,        // open padlock
    kImagePending = 4,       // red exclamation mark
    kImageDuplicate = 5,     // warning triangle, column "IP Address": another camera answers at this address
};

// List columns.
enum DeviceColumn : int { kColName = 0, kColIpAddress = 1, kColMacAddress = 2, kColInterface = 3, kColLock = 4 };

// One listed camera. The "wide" texts of the window program are held as UTF-8.
class CDevice {
public:
    virtual ~CDevice() = default;

    std::string name;              // column "Name"
    std::string ipAddress;         // column "IP Address"
    std::string hostName;
    std::string macAddress;        // column "MAC Address"
    std::vector<uint8_t> macBytes;
    std::string platform;          // TXT "bsp"
    std::string model;             // TXT "model"
    int row = 0;
    std::string interfaceName;     // column "Interface"
    bool disabled = false;         // TXT "enabled" was "false"
    uint32_t adapterIndex = 0;
    uint32_t gateway = 0;
    uint32_t subnetMask = 0;
    bool dhcp = false;
    bool reachable = false;
    bool ipChangePending = false;
    bool listed = false;
    // MAC addresses of the other rows with this address on this adapter;
    // not empty means the address is in use by more than one camera.
    std::vector<std::string> sharedAddressMacs;
};

bool IsListable(const CDevice& device);
bool CanModifyIP(const CDevice& device);
bool UsesGEVControl(const CDevice& device);
// Same subnet as the adapter it was found on ("QD" always true).
bool IsReachable(const CDevice& device);

// Whole-string comparison ignoring the case of ASCII letters.
bool EqualsNoCase(const std::string& a, const std::string& b);
