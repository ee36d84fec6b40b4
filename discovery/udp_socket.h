// A thin layer over POSIX UDP sockets for the discovery and control code:
// IPv4 only, every call reports success as bool and keeps errno for callers
// that return a socket error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/socket.h>
#include <sys/types.h>

class CUdpSocket {
public:
    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    bool Open();
    void Close();
    bool IsOpen() const { return fd >= 0; }
    int Handle() const { return fd; }
    // errno of the last failed call (0 when none failed yet).
    int LastError() const { return lastError; }

    bool SetReuseAddress(bool on);
    bool SetBroadcast(bool on);
    // Ties the socket to a network device so that traffic to the limited
    // broadcast address leaves through that device only.
    bool BindToDevice(const std::string& device);
    // Best effort: asks for `bytes` of receive buffer, beyond the system's
    // limit when the process is privileged.
    void SetReceiveBuffer(int bytes);
    // Asks the kernel for the destination address of every received datagram.
    bool EnablePacketInfo();

    bool Bind(uint32_t hostOrderAddress, uint16_t port);
    bool Bind(const std::string& address, uint16_t port);  // false when the text is no address
    uint16_t LocalPort() const;  // 0 when unbound or unknown

    // Sends one datagram. `source` (host order, 0: let the system choose)
    // sets the source address of this datagram only.
    bool SendTo(uint32_t hostOrderAddress, uint16_t port, const void* data, size_t size, uint32_t source = 0);
    bool SendTo(const std::string& address, uint16_t port, const void* data, size_t size);

    // 1 readable, 0 time-out, -1 error. Interrupted waits resume with the rest of the time.
    int WaitReadable(int timeoutMs);
    // Length of the received datagram (cut to `size`), -1 on error.
    ssize_t ReceiveFrom(void* buffer, size_t size, sockaddr_storage& from, socklen_t& fromLength);

private:
    bool Fail();
    int fd = -1;
    int lastError = 0;
};
