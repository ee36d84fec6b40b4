// The cameras' TCP services, run beside the simulator's datagram loop: per
// camera its resource server (the interface tree; on the camera's address and
// port while "enabled" is true, else on loopback only), its HTTP server (web
// page, setup wizard, certificate upload) and, for a camera whose plain
// resource service is off, the TLS front on its TLS port that relays to that
// loopback resource server. A commit in the tree is handed to the simulator,
// which applies it like the GigE Vision route; the tree's values follow the
// camera's current settings. The services follow the camera: when its address changes they
// are started again on the new one. Each camera keeps its TLS certificate,
// key and trusted uploads in STATE_DIR/HOSTNAME/, so its certificate stays the
// same across address changes and restarts.
#pragma once

#include "tools/camsim/camera.h"
#include "tools/camsim/log.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace camsim {

class HttpService;
class TlsService;
class ResourceService;
struct InterfaceSettings;

// The loopback port of the resource server behind a camera's TLS front.
uint16_t LoopbackResourcePort(size_t index);

class CameraServices {
public:
    // Hands a committed change to the simulator (any thread).
    using Apply = std::function<void(const AddressChange& change, const std::string& why)>;
    CameraServices(std::string stateDir, Log& log, Apply apply);
    ~CameraServices();
    CameraServices(const CameraServices&) = delete;
    CameraServices& operator=(const CameraServices&) = delete;

    // Starts, moves or keeps the services of camera `index` after its
    // settings changed. Called on the simulator's loop.
    void Update(size_t index, const Camera& camera);
    void StopAll();

    // The folders of a camera (for tests and the log).
    std::string CameraDir(const Camera& camera) const;

    // What a commit of `settings` asks of camera `index`, or false (with the
    // reason) when the camera cannot take it.
    static bool CommitChange(const Camera& camera, size_t index, const InterfaceSettings& settings,
                             AddressChange& change, std::string& why);

private:
    struct Entry {
        uint32_t address = 0;
        Camera camera;                        // as last seen by Update, for the commit callback
        std::unique_ptr<ResourceService> resource;
        std::unique_ptr<HttpService> http;
        std::unique_ptr<TlsService> tls;
    };
    std::string stateDir_;
    Log& log_;
    Apply apply_;
    std::mutex mutex_;  // entries_: the upload callback reaches the TLS front from a server thread
    std::vector<Entry> entries_;
};

}  // namespace camsim
