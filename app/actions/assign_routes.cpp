#include "app/actions/assign_routes.h"

#include "discovery/adapters.h"
#include "discovery/gev_modify.h"

#include <halvex/client/res_protocol.h>

#include <cstdio>

namespace {

// The record as a discovery source would hand it to the merge, so that the
// route works on a list of its own: the window's list may change meanwhile.
DeviceInfo InfoFromRecord(const CDevice& d) {
    DeviceInfo info;
    info.interfaceName = d.interfaceName;
    info.name = d.name;
    info.hostName = d.hostName;
    info.ipAddress = d.ipAddress;
    info.macAddress = d.macAddress;
    info.macBytes = d.macBytes;
    info.txt["bsp"] = d.platform;
    if (!d.model.empty()) info.txt["model"] = d.model;
    if (d.disabled) info.txt["enabled"] = "false";
    info.adapterIndex = d.adapterIndex;
    info.gateway = d.gateway;
    info.subnetMask = d.subnetMask;
    info.dhcp = d.dhcp;
    info.macKnown = !d.macAddress.empty();
    return info;
}

// The library's text of a result code, with the code itself.
std::string ResultText(uint32_t code) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", code);
    const char* text = nullptr;
    if (res_interpret_errcode(code, &text) == 0 && text) return std::string(text) + " (" + number + ")";
    return std::string("result ") + number;
}

CameraChangeResult Failed(std::string text, std::string detail = {}) {
    return {AssignState::Failed, std::move(text), std::move(detail)};
}

CameraChangeResult ViaGigEVision(CDeviceList& list, const CDevice& camera, GEVSettings settings, unsigned slot,
                                 const AssignRouteOptions& options) {
    std::unique_ptr<CGEVControl> control = options.gevControl ? options.gevControl(slot) : nullptr;
    if (!control) {
        control = std::make_unique<CGEVControl>();
        control->localPort = static_cast<uint16_t>(kGEVControlLocalPort + slot);
    }
    if (settings.dhcp) {
        // What the settings dialog holds when DHCP is chosen; a forced address carries it.
        const GEVDialogPreset preset = PrepareGEVDialog(camera);
        settings.address = preset.address;
        settings.netmask = preset.netmask;
        settings.gateway = preset.gatewayAddress;
    }
    if (!camera.sharedAddressMacs.empty()) {
        if (!control->ForceIP(camera.macBytes, settings.address, settings.netmask, settings.gateway,
                              GetAdapterAddress(camera.adapterIndex)))
            return Failed("The forced address could not be sent");
        return {AssignState::BroadcastSent, {}, "forced address to " + camera.macAddress};
    }
    const GEVModifyResult r = ModifyViaGigEVision(list, 0, settings, {}, control.get());
    if (!r.cameraFound) return Failed("The camera's record vanished");
    if (r.privilegeGranted)
        return r.writesAcknowledged ? CameraChangeResult{AssignState::Done, {}, "register writes"}
                                    : Failed("The camera did not acknowledge every register write");
    if (!r.forceIPSent) return Failed("Control refused and the forced address could not be sent");
    return {AssignState::BroadcastSent, {}, "control refused: forced address to " + camera.macAddress};
}

// What the write phase came to, in the grid's words.
CameraChangeResult FromWritePhase(const RTWriteResult& written, const std::string& status) {
    if (!written.connected) return Failed("Failed to connect", ResultText(written.connectResult));
    if (!written.skipped.empty()) {
        std::string detail;
        for (const std::string& s : written.skipped) detail += (detail.empty() ? "" : "; ") + s;
        return Failed("Not every setting was accepted", detail);
    }
    if (!written.committed) return Failed("The camera did not accept the commit", status);
    return {AssignState::Done, {}, "resource tree"};
}

// The broadcast counts as sent only when it went out on every adapter: a
// camera behind an adapter that got nothing would stay where it is.
CameraChangeResult FromBroadcast(const IPChangeBroadcastReport& report, const std::string& hostName) {
    if (report.result != 0 || report.sent == 0)
        return Failed("The broadcast did not go out on every adapter (" + std::to_string(report.result) + ")",
                      report.failure);
    return {AssignState::BroadcastSent, {}, "IP-change message for " + hostName};
}

CameraChangeResult ViaResourceTree(CDeviceList& list, const CDevice& camera, GEVSettings settings,
                                   const AssignRouteOptions& options) {
    RTRouteOptions route = options.resourceTree;
    if (!route.connect.timeoutMs) route.connect.timeoutMs = kAssignRequestTimeoutMs;
    if (camera.sharedAddressMacs.empty()) {
        // The whole change as "Modify..." makes it, on this worker's thread.
        const RTChangeResult r = ChangeViaResourceTree(camera, settings, {}, route);
        if (r.outcome == RTOutcome::Done) return {AssignState::Done, {}, "resource tree"};
        if (r.read.connected) return FromWritePhase(r.written, r.status);
        return FromBroadcast(r.broadcast, camera.hostName);
    }
    // Connecting to the address could reach the other camera: the broadcast,
    // which names the camera by its host name, with what the read phase of an
    // unreachable camera would have offered.
    RTReadResult read;
    read.camera = camera;
    uint32_t a = 0;
    if (ParseIPv4(camera.ipAddress, a)) read.preset.address = a;
    if (settings.dhcp) {
        settings.address = read.preset.address;
        settings.netmask = read.preset.netmask;
        settings.gateway = read.preset.gatewayAddress;
    }
    const RTApplyResult applied = ApplyViaResourceTree(list, 0, read, settings, {}, route);
    if (!applied.broadcast) return Failed("Nothing was sent");
    return FromBroadcast(applied.broadcastReport, camera.hostName);
}

}  // namespace

CameraChangeResult ChangeCameraAddress(const PlannedChange& change, unsigned slot, const AssignRouteOptions& options) {
    if (!change.change) return Failed(change.note);
    GEVSettings settings;
    settings.dhcp = change.dhcp;
    settings.address = change.address;
    settings.netmask = change.mask;
    settings.gateway = change.gateway;

    CDeviceList list;
    list.AddOrUpdateDevice(InfoFromRecord(change.camera));
    CDevice camera;
    if (!list.WithDevice(0, [&camera](CDevice& d) { camera = d; })) return Failed("The camera cannot be listed");
    // What the merge cannot know on a list of one.
    camera.sharedAddressMacs = change.camera.sharedAddressMacs;
    list.WithDevice(0, [&camera](CDevice& d) { d.sharedAddressMacs = camera.sharedAddressMacs; });

    return UsesGEVControl(camera) ? ViaGigEVision(list, camera, settings, slot, options)
                                  : ViaResourceTree(list, camera, settings, options);
}
