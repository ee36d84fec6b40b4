// The one layer over POSIX UDP sockets: discovery, control, the listener
// threads and the camera simulator all send and receive through it. IPv4
// only; every call reports success as bool and keeps errno for callers that
// return or print a socket error.
//
// Stands alone (no other part of the discovery code), so that the simulator
// in tools/camsim links it without the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

// Receive buffer of a socket that collects answers of many cameras at once
// (discovery answers, mDNS answers to a query): room for a burst of a few
// thousand datagrams.
constexpr int kScanReceiveBuffer = 4 * 1024 * 1024;

class CUdpSocket {
public:
    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;
    CUdpSocket(CUdpSocket&& other) noexcept;
    CUdpSocket& operator=(CUdpSocket&& other) noexcept;

    bool Open();  // close-on-exec
    void Close();
    bool IsOpen() const { return fd >= 0; }
    int Handle() const { return fd; }
    // errno of the last failed call (0 when none failed yet).
    int LastError() const { return lastError; }

    bool SetReuseAddress(bool on);
    bool SetReusePort(bool on);
    bool SetBroadcast(bool on);
    // Ties the socket to a network device: it receives only what arrives
    // there, and traffic to the limited broadcast address or a multicast
    // group leaves through that device only.
    bool BindToDevice(const std::string& device);
    // Best effort: asks for `bytes` of receive buffer, beyond the system's
    // limit when the process is privileged.
    void SetReceiveBuffer(int bytes);
    void SetSendBuffer(int bytes);  // best effort
    // Asks the kernel for the destination address of every received datagram.
    bool EnablePacketInfo();

    // Outgoing multicast interface, by the adapter's address and index.
    bool SetMulticastInterface(uint32_t hostOrderAddress, uint32_t interfaceIndex);
    // Only the groups this socket joined, not every group of the host.
    bool SetMulticastAll(bool on);
    bool SetMulticastTtl(int ttl);
    bool SetMulticastLoop(bool on);
    bool JoinGroup(uint32_t hostOrderGroup, uint32_t hostOrderInterface, uint32_t interfaceIndex);
    void LeaveGroup();  // the group joined last, if any

    bool Bind(uint32_t hostOrderAddress, uint16_t port);
    bool Bind(const std::string& address, uint16_t port);  // false when the text is no address
    uint16_t LocalPort() const;  // 0 when unbound or unknown

    // Sends one datagram, all of it or nothing. `source` (host order) and
    // `interfaceIndex` (0: let the system choose either) set the source
    // address and the way out of this datagram only.
    bool SendTo(uint32_t hostOrderAddress, uint16_t port, const void* data, size_t size, uint32_t source = 0,
                uint32_t interfaceIndex = 0);
    bool SendTo(const std::string& address, uint16_t port, const void* data, size_t size);

    // 1 readable, 0 time-out, -1 error (WaitAnyReadable for this socket alone).
    int WaitReadable(int timeoutMs);

    // What a receive tells beside the bytes.
    struct Received {
        sockaddr_storage from{};  // the sender as the kernel gave it
        socklen_t fromLength = 0;
        uint32_t fromAddress = 0;  // host order; 0 for a sender that is not IPv4
        uint16_t fromPort = 0;
        uint32_t destination = 0;  // host order, once EnablePacketInfo is on; else 0
        bool truncated = false;    // the datagram was longer than the buffer: its bytes are cut
    };
    // One datagram into `buffer`: the bytes received (cut to `size`), -1 on
    // error. Without `wait` it returns at once (-1, EAGAIN) when none is there.
    ssize_t Receive(void* buffer, size_t size, Received& info, bool wait = true);

private:
    bool Fail();
    bool SetOption(int level, int name, int value);
    int fd = -1;
    int lastError = 0;
    bool joined = false;
    uint32_t joinedGroup = 0, joinedInterface = 0, joinedIndex = 0;
};

// Waits up to timeoutMs (negative: without end) for any of `fds` (sockets or
// event descriptors) to become readable; interrupted waits resume with the
// rest of the time. Index of the first readable one at or after `start`
// (wrapping, so that no descriptor starves), -2 on time-out, -1 on error or
// an empty set. An error or hang-up condition counts as readable: the
// receive then reports it.
int WaitAnyReadable(const std::vector<int>& fds, int timeoutMs, size_t start = 0);
