// The UDP socket calls that mDNS discovery and the listener threads need on
// Linux: device binding, multicast interface and group membership, and a
// receive that treats an over-long datagram as an error (the discovery code
// reads into fixed 512-byte buffers and drops what does not fit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class CDiscoverySocket {
public:
    CDiscoverySocket() = default;
    ~CDiscoverySocket();
    CDiscoverySocket(const CDiscoverySocket&) = delete;
    CDiscoverySocket& operator=(const CDiscoverySocket&) = delete;
    CDiscoverySocket(CDiscoverySocket&& other) noexcept;
    CDiscoverySocket& operator=(CDiscoverySocket&& other) noexcept;

    bool Open();  // IPv4 UDP, close-on-exec
    void Close();
    bool IsOpen() const { return fd >= 0; }
    int Handle() const { return fd; }
    int LastError() const { return lastError; }  // errno of the last failed call

    bool SetReuseAddress();
    // Receive only what arrives on `device`, send multicast out of it.
    bool BindToDevice(const std::string& device);
    // Outgoing multicast interface, by the adapter's address and index.
    bool SetMulticastInterface(uint32_t hostOrderAddress, uint32_t interfaceIndex);
    // Only the groups this socket joined, not every group of the host.
    bool SetMulticastAll(bool on);
    bool JoinGroup(uint32_t hostOrderGroup, uint32_t hostOrderInterface, uint32_t interfaceIndex);
    void LeaveGroup();  // the group joined last, if any
    bool Bind(uint32_t hostOrderAddress, uint16_t port);
    bool SendTo(uint32_t hostOrderAddress, uint16_t port, const void* data, size_t size);

    // One datagram into `buffer`. -1 on error, and on a datagram longer than
    // `size` (it is consumed and lost). Sender in host order.
    ssize_t Receive(void* buffer, size_t size, uint32_t& fromAddress, uint16_t& fromPort);

private:
    bool Fail();
    int fd = -1;
    int lastError = 0;
    bool joined = false;
    uint32_t joinedGroup = 0, joinedInterface = 0, joinedIndex = 0;
};

// Waits up to timeoutMs for any of `fds` to become readable (interrupted waits
// resume with the rest of the time). Index of the first readable one at or
// after `start` (wrapping), -2 on time-out, -1 on error or an empty set.
int WaitAnyReadable(const std::vector<int>& fds, int timeoutMs, size_t start = 0);

// Writes one line "teliox: <text>" to the standard error stream.
void LogDiscoveryError(const std::string& text);
