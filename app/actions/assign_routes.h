// How one planned change reaches its camera: through the two routes of the
// IP change, as "Modify..." takes them (GigE Vision register writes or a
// forced address; the resource tree, or its broadcast when the camera's
// resource server cannot be reached). The calls into the routes are
// gathered here, and only here.
#pragma once

#include "app/actions/assign_run.h"
#include "app/actions/ip_change_rt.h"
#include "discovery/gev_control.h"

#include <functional>
#include <memory>
#include <string>

struct AssignRouteOptions {
    RTRouteOptions resourceTree;  // ports and broadcast of the resource-tree route
    // The GigE Vision control of one change; empty: one with the real ports.
    // A camera grants control to one local port, so every change keeps one
    // for all its writes, and changes that run at once use different ones:
    // 54567 for the first worker, the ports after it for the others.
    std::function<std::unique_ptr<CGEVControl>(unsigned slot)> gevControl;
};

inline constexpr unsigned long kAssignRequestTimeoutMs = 10000;

// Changes one camera as planned; on a worker thread. Done only when the
// camera acknowledged (every register write and the reset, or every setting
// and the commit of its resource tree); BroadcastSent when the change went
// out as a forced address or an IP-change broadcast.
//
// A camera whose address another camera shares cannot be told apart by
// that address: a GigE Vision camera gets the forced address (by its MAC),
// any other the IP-change broadcast (by its host name).
CameraChangeResult ChangeCameraAddress(const PlannedChange& change, unsigned slot, const AssignRouteOptions& options);
