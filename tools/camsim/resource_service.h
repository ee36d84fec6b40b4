// The simulated camera's resource server: halvex's TCP resource server on
// port 22136 of the camera's address, serving the part of the camera's
// resource tree that the program uses for an IP change:
//
//   .services.net.interface.LAN90001.method   text: "manual" or "dhcp"
//   .services.net.interface.<IF>.DHCP         bool
//   .services.net.interface.<IF>.address      text
//   .services.net.interface.<IF>.netmask      text
//   .services.net.interface.<IF>.gateway      text
//   .services.net.interface.<IF>.commit       bool
//
// for the interfaces LAN90001 and FEC1. Writing true to "commit" hands the
// interface's pending settings to the commit callback, so that the simulator
// can apply them; "method" then follows the DHCP flag.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace camsim {

struct InterfaceSettings {
    std::string name;  // "LAN90001" or "FEC1"
    bool dhcp = false;
    std::string address;
    std::string netmask;
    std::string gateway;
};

struct ResourceServiceConfig {
    std::string bindAddress = "127.0.0.1";  // IPv4 of the camera
    // The first port tried; when it is taken the next ones are tried (see
    // ResourceService::Port for the one in use).
    uint16_t port = 22136;
    InterfaceSettings lan{"LAN90001", false, "192.168.0.100", "255.255.255.0", "192.168.0.1"};
    InterfaceSettings fec{"FEC1", false, "10.0.0.100", "255.255.255.0", "10.0.0.1"};
    // Called on the serving thread after a commit, with the settings written
    // before it. Must not block for long (the client waits for the reply).
    std::function<void(const InterfaceSettings&)> onCommit;
};

class ResourceService {
public:
    ResourceService();
    ~ResourceService();  // stops the service
    ResourceService(const ResourceService&) = delete;
    ResourceService& operator=(const ResourceService&) = delete;

    // Builds the tree and starts the listening task. False with a message
    // when it cannot start.
    bool Start(const ResourceServiceConfig& config, std::string& error);
    // Ends the listening task and every session of this service.
    void Stop();
    uint16_t Port() const;
    // The settings as the tree holds them now (written but not yet
    // committed ones included).
    InterfaceSettings Current(const std::string& interfaceName) const;
    // Replaces an interface's values without a commit (e.g. after a DHCP
    // lease); false for an unknown interface.
    bool Update(const InterfaceSettings& settings);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// Starts a resource service on TCP 22136 of address with the camera tree;
// null with a message on failure.
std::unique_ptr<ResourceService> StartResourceService(const std::string& address,
                                                      std::function<void(const InterfaceSettings&)> onCommit,
                                                      std::string& error);

}  // namespace camsim
