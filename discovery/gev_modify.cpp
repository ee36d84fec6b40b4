#include "discovery/gev_modify.h"

#include "discovery/adapters.h"

GEVDialogPreset PrepareGEVDialog(const CDevice& record) {
    GEVDialogPreset p;
    p.cameraName = record.name;
    p.settingsKnown = true;
    // A text that is no address leaves the preset's 0.
    if (record.reachable) {
        ParseIPv4(record.ipAddress, p.address);
        p.netmask = record.subnetMask;
        p.gatewayAddress = record.gateway;
        p.obtainAutomatically = record.dhcp;
        p.automaticAllowed = true;
    } else {
        ParseIPv4(GetAdapterAddress(record.adapterIndex), p.address);
        ParseIPv4(GetAdapterSubnetMask(record.adapterIndex), p.netmask);
        ParseIPv4(GetAdapterGateway(record.adapterIndex), p.gatewayAddress);
        p.obtainAutomatically = false;
        p.automaticAllowed = false;
    }
    return p;
}

GEVModifyResult ModifyViaGigEVision(CDeviceList& list, int row, const GEVSettings& settings,
                                    const GEVStatusCallback& status, CGEVControl* control) {
    GEVModifyResult result;
    auto say = [&](const std::string& text, bool showNow) {
        if (status) status(text, showNow);
    };
    CDevice camera;
    if (!list.WithDevice(row, [&](CDevice& d) { camera = d; })) return result;
    result.cameraFound = true;

    CGEVControl ownControl;
    CGEVControl& gev = control ? *control : ownControl;

    say("Connecting to camera...", true);
    std::string failure;
    if (gev.SetControlChannelPrivilege(2, camera.ipAddress)) {
        result.privilegeGranted = true;
        // Each write must be acknowledged before the next one goes out; a
        // refused or unanswered write ends the change before the reset, so the
        // camera never restarts into half of the new settings.
        const char* refused = nullptr;
        if (!gev.SetAddressConfiguration(settings.dhcp ? 6 : 5, camera.ipAddress)) {
            refused = "addressing mode";
        } else if (!settings.dhcp) {
            if (!gev.SetPersistentIPAddress(settings.address, camera.ipAddress))
                refused = "IP address";
            else if (!gev.SetPersistentSubnetMask(settings.netmask, camera.ipAddress))
                refused = "subnet mask";
            else if (!gev.SetPersistentGateway(settings.gateway, camera.ipAddress))
                refused = "default gateway";
        }
        if (!refused) {
            say("Reset camera", true);
            if (!gev.ResetCamera(camera.ipAddress)) refused = "reset";
        }
        result.writesAcknowledged = refused == nullptr;
        if (refused) failure = std::string("IP change failed: the camera did not acknowledge the ") + refused;
        // Nothing is pending: the settings were either written or refused.
        list.WithDevice(row, [](CDevice& d) { d.ipChangePending = false; });
    } else {
        say("Force IP on camera...", true);
        result.forceIPSent = gev.ForceIP(camera.macBytes, settings.address, settings.netmask, settings.gateway,
                                         GetAdapterAddress(camera.adapterIndex));
        const std::string newAddress = FormatIPv4(settings.address);
        list.WithDevice(row, [&](CDevice& d) {
            d.ipChangePending = true;
            d.ipAddress = newAddress;
        });
        list.SetItemText(row, kColIpAddress, "");
        result.rescan = true;
    }
    result.failure = failure;
    if (failure.empty())
        say("", false);
    else
        say(failure, true);
    return result;
}
