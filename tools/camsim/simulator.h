// The simulator's event loop: one UDP socket per service port on the lab
// interface (any address, with the destination of each datagram taken from
// IP_PKTINFO), answers sent from each camera's own address, delayed answers,
// announcements and address changes.
#pragma once

#include "tools/camsim/config.h"
#include "tools/camsim/dhcp.h"
#include "tools/camsim/log.h"

#include "discovery/udp_socket.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

namespace camsim {

class Simulator {
public:
    Simulator(Config config, Log& log);
    ~Simulator();
    // Binds the sockets and puts every camera's address on the interface.
    bool Start(std::string& error);
    // Runs until `stop` becomes true.
    void Run(const std::atomic<bool>& stop);

    // Hands an address change to the event loop from another thread (the
    // TCP services); it is carried out like one of a datagram. A change with
    // dhcp set makes the camera obtain its address from a DHCP server.
    // `delayMs` lets the service answer its client before the address goes.
    void Post(const AddressChange& change, const std::string& why, int delayMs = 0);
    // Called on the event loop after a camera's settings changed (and once
    // per camera when the loop starts).
    void OnCameraChanged(std::function<void(size_t, const Camera&)> callback) { changed_ = std::move(callback); }
    const Cameras& cameras() const { return config_.cameras; }

private:
    struct Pending {
        Clock::time_point due;
        Reply reply;
        CUdpSocket* socket;
    };
    bool OpenSocket(CUdpSocket& socket, uint16_t port, bool multicast, std::string& error);
    void Receive(CUdpSocket& socket, uint16_t port);
    void Process(const Outcome& outcome, const char* service, const Datagram& in, CUdpSocket& socket);
    void Send(const Reply& reply, CUdpSocket& socket);
    void Apply(const AddressChange& change);
    // Carries out a change: DHCP (link-local at once, the lease when it comes) or fixed.
    void Carry(const AddressChange& change);
    void SendDhcp(const std::vector<DhcpClients::Send>& sends);
    void FinishDhcp(const std::vector<DhcpClients::Done>& done);
    void TakePosted();
    std::string Who(size_t camera) const;

    Config config_;
    Log& log_;
    int ifindex_ = 0;
    std::map<uint16_t, CUdpSocket> sockets_;  // by port
    CUdpSocket sender_;                       // announcements
    std::vector<Pending> pending_;     // kept sorted by due time
    DhcpClients dhcp_;
    int wakeFd_ = -1;                  // eventfd: a change was posted
    std::mutex postMutex_;
    struct Posted {
        AddressChange change;
        std::string why;
        Clock::time_point due;
    };
    std::vector<Posted> posted_;
    std::function<void(size_t, const Camera&)> changed_;
};

}  // namespace camsim
