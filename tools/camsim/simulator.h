// The simulator's event loop: one UDP socket per service port on the lab
// interface (any address, with the destination of each datagram taken from
// IP_PKTINFO), answers sent from each camera's own address, delayed answers,
// announcements and address changes.
#pragma once

#include "tools/camsim/config.h"
#include "tools/camsim/log.h"

#include <atomic>
#include <map>

namespace camsim {

class Simulator {
public:
    Simulator(Config config, Log& log);
    ~Simulator();
    // Binds the sockets and puts every camera's address on the interface.
    bool Start(std::string& error);
    // Runs until `stop` becomes true.
    void Run(const std::atomic<bool>& stop);

private:
    struct Pending {
        Clock::time_point due;
        Reply reply;
        int fd;
    };
    int OpenSocket(uint16_t port, bool multicast, std::string& error);
    void Receive(int fd, uint16_t port);
    void Process(const Outcome& outcome, const char* service, const Datagram& in, int fd);
    void Send(const Reply& reply, int fd);
    void Apply(const AddressChange& change);
    std::string Who(size_t camera) const;

    Config config_;
    Log& log_;
    int ifindex_ = 0;
    std::map<uint16_t, int> sockets_;  // port -> socket
    int sender_ = -1;                  // announcements
    std::vector<Pending> pending_;     // kept sorted by due time
};

}  // namespace camsim
