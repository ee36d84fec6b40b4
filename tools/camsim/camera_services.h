// The cameras' TCP services, run beside the simulator's datagram loop: per
// camera its HTTP server (web page, setup wizard, certificate upload) and,
// for a camera whose plain resource service is off ("enabled" false), the TLS
// front on its TLS port that relays to the camera's resource server on
// loopback. The services follow the camera: when its address changes they
// are started again on the new one. Each camera keeps its TLS certificate,
// key and trusted uploads in STATE_DIR/HOSTNAME/, so its certificate stays the
// same across address changes and restarts.
#pragma once

#include "tools/camsim/camera.h"
#include "tools/camsim/log.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace camsim {

class HttpService;
class TlsService;

// The loopback port of the resource server behind a camera's TLS front.
uint16_t LoopbackResourcePort(size_t index);

class CameraServices {
public:
    CameraServices(std::string stateDir, Log& log);
    ~CameraServices();
    CameraServices(const CameraServices&) = delete;
    CameraServices& operator=(const CameraServices&) = delete;

    // Starts, moves or keeps the services of camera `index` after its
    // settings changed. Called on the simulator's loop.
    void Update(size_t index, const Camera& camera);
    void StopAll();

    // The folders of a camera (for tests and the log).
    std::string CameraDir(const Camera& camera) const;

private:
    struct Entry {
        uint32_t address = 0;
        std::unique_ptr<HttpService> http;
        std::unique_ptr<TlsService> tls;
    };
    std::string stateDir_;
    Log& log_;
    std::mutex mutex_;  // entries_: the upload callback reaches the TLS front from a server thread
    std::vector<Entry> entries_;
};

}  // namespace camsim
