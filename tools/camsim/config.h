// Simulator configuration: a JSON file and command-line flags.
//
// {
//   "interface": "eth0",
//   "stateDir": "/tmp/camsim-cams",   (per camera HOSTNAME/: TLS certificate, key, trusted uploads)
//   "defaults": { ...camera fields... },
//   "cameras": [ { "name": "Cam1", "hostName": "cam1", "address": "192.168.10.50",
//                  "mask": "255.255.255.0", "gateway": "0.0.0.0", "mac": "02:00:00:00:00:01",
//                  "dhcp": false, "info": "KSRV-1234", "model": "Thermal 640", "serial": "1234",
//                  "manufacturer": "ZYRK", "version": "1.0", "bsp": "J3", "modelCode": "x",
//                  "enabled": true, "delayMs": 0, "privilege": true, "broadcastAck": true,
//                  "port": 22136, "announceName": "Cam", "announceIntervalMs": 1000,
//                  "dhcpWaitMs": 3000, "resourceService": true, "httpService": true, "tlsService": false,
//                  "httpPort": 80, "tlsPort": 9100, "tlsStallHandshake": false,
//                  "services": ["gvcp", "mdns", "announce", "ipchange"] } ],
//   "swarm": { "count": 2000, "first": "10.1.0.10", "mask": "255.255.0.0", "spreadMs": 500,
//              "camera": { ...camera fields... } }
// }
// The TCP services default to on for cameras with "mdns" (resource server
// and HTTP), and the TLS front to on for such a camera with "enabled" false.
// "tlsStallHandshake" makes the TLS front take connections and never answer
// the handshake; it logs how long each client waited before it gave up.
// A swarm adds `count` cameras at consecutive addresses from `first`, with
// MACs, names and serials numbered from 0 and answer delays spread over spreadMs.
#pragma once

#include "tools/camsim/camera.h"

#include <string>

namespace camsim {

struct Config {
    std::string interfaceName = "eth0";
    std::string logPath;
    std::string stateDir;  // empty: a folder of this process in the temporary folder
    Cameras cameras;
};

// Parses a configuration text; false with a message on error.
bool ParseConfig(const std::string& json, Config& config, std::string& error);
bool LoadConfigFile(const std::string& path, Config& config, std::string& error);

}  // namespace camsim
