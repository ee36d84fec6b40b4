// The GigE Vision route of an address change, without any window: what the
// settings dialog starts with, and the register writes or the forced address
// that apply the chosen settings to the camera of one row.
#pragma once

#include "discovery/device_list.h"
#include "discovery/gev_control.h"

#include <cstdint>
#include <functional>
#include <string>

// What the settings dialog is opened with for a GigE Vision camera. Addresses
// are host order, first octet in the most significant byte.
struct GEVDialogPreset {
    std::string cameraName;
    uint32_t address = 0;
    uint32_t netmask = 0;
    uint32_t gatewayAddress = 0;
    bool obtainAutomatically = false;
    bool settingsKnown = true;
    bool automaticAllowed = true;
};

// A reachable camera is offered its own settings; one on another subnet the
// adapter's network, and no DHCP choice.
GEVDialogPreset PrepareGEVDialog(const CDevice& record);

// The settings the user chose (host order).
struct GEVSettings {
    bool dhcp = false;
    uint32_t address = 0;
    uint32_t netmask = 0;
    uint32_t gateway = 0;
};

// Receives the progress texts. `showNow` set: the text goes to the status
// line and at once to the status pane (the route blocks the window); clear:
// the status line only.
using GEVStatusCallback = std::function<void(const std::string& text, bool showNow)>;

struct GEVModifyResult {
    bool cameraFound = false;       // the row still held a record
    bool privilegeGranted = false;  // the register route ran
    bool writesAcknowledged = false;// every register write of that route was acknowledged
    bool forceIPSent = false;       // the forced address went out
    bool rescan = false;            // a new scan must be signalled (scanEvent)
    std::string failure;            // the failure status of a refused write, else empty
};

// Applies `settings` to the camera of `row`: the control privilege, then the
// addressing registers and a reset, each only once the one before was
// acknowledged. A write that is not acknowledged ends the change with the
// status "IP change failed: the camera did not acknowledge the <what>" and
// no pending mark; a change that went through ends with an empty status.
// When the privilege is refused: a forced address from the camera's adapter,
// after which the record holds the new address with the pending mark and the
// row's address cell is emptied.
// `control` may be given (tests point it at a fake camera); otherwise a new one
// serves this change.
GEVModifyResult ModifyViaGigEVision(CDeviceList& list, int row, const GEVSettings& settings,
                                    const GEVStatusCallback& status, CGEVControl* control = nullptr);
