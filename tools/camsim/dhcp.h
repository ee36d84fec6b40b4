// The cameras' DHCP client: DISCOVER, OFFER, REQUEST, ACK on UDP 67/68 with
// the camera's MAC as chaddr. Every camera that is told to obtain its address
// automatically runs one exchange, bounded by its wait (default 3 s); when no
// server answers in time the camera keeps to its link-local fallback. The
// exchanges of many cameras share one socket and are told apart by xid and
// chaddr, so a swarm gets one lease per MAC.
#pragma once

#include "tools/camsim/camera.h"

#include <array>
#include <map>
#include <string>
#include <vector>

namespace camsim {

constexpr uint16_t kDhcpServerPort = 67;
constexpr uint16_t kDhcpClientPort = 68;

namespace dhcp {
constexpr uint8_t kDiscover = 1, kOffer = 2, kRequest = 3, kAck = 5, kNak = 6;

// The fields of a server's message that the client uses.
struct Message {
    uint8_t op = 0;
    uint8_t type = 0;          // option 53
    uint32_t xid = 0;
    std::array<uint8_t, 6> mac{};
    uint32_t yiaddr = 0;
    uint32_t serverId = 0;     // option 54
    uint32_t mask = 0;         // option 1, 0 when absent
    uint32_t router = 0;       // option 3 (first router), 0 when absent
    uint32_t leaseSeconds = 0; // option 51, 0 when absent
};

std::vector<uint8_t> BuildDiscover(uint32_t xid, const std::array<uint8_t, 6>& mac, const std::string& hostName);
// REQUEST of the selecting state: the offered address and the server that offered it.
std::vector<uint8_t> BuildRequest(uint32_t xid, const std::array<uint8_t, 6>& mac, const std::string& hostName,
                                  uint32_t requested, uint32_t serverId);
// False unless the datagram is a well-formed BOOTP reply with a DHCP message type.
bool Parse(const std::vector<uint8_t>& data, Message& message);
const char* TypeName(uint8_t type);
}  // namespace dhcp

class DhcpClients {
public:
    struct Send {
        size_t camera = 0;
        std::vector<uint8_t> data;  // to 255.255.255.255:67
    };
    struct Done {
        AddressChange change;  // the lease, or the fallback when nothing was obtained
        bool obtained = false;
        std::string summary;
    };

    // Starts (or restarts) the exchange of camera `index`; `fallback` is applied
    // when no server answers within `waitMs`.
    void Begin(const Camera& camera, size_t index, const AddressChange& fallback, int waitMs, Clock::time_point now,
               std::vector<Send>& out);
    // Forgets the exchange of a camera that was given other settings meanwhile.
    void Cancel(size_t index);
    bool Active(size_t index) const { return sessions_.count(index) != 0; }
    bool Empty() const { return sessions_.empty(); }

    // One datagram received on port 68. `summary` says what it was for the log.
    void Receive(const std::vector<uint8_t>& data, const Cameras& cameras, Clock::time_point now,
                 std::vector<Send>& out, std::vector<Done>& done, std::string& summary);
    // Retransmissions and expired waits.
    void Tick(const Cameras& cameras, Clock::time_point now, std::vector<Send>& out, std::vector<Done>& done);
    // The next moment Tick has something to do; false when no exchange runs.
    bool Next(Clock::time_point& when) const;

private:
    struct Session {
        uint32_t xid = 0;
        bool requesting = false;
        uint32_t offered = 0, serverId = 0, mask = 0, router = 0;
        AddressChange fallback;
        Clock::time_point deadline, resend;
    };
    std::vector<uint8_t> Packet(const Camera& camera, const Session& s) const;

    std::map<size_t, Session> sessions_;
    uint32_t counter_ = 0;
};

}  // namespace camsim
