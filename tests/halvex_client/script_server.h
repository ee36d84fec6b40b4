// A scripted resource server for the client tests: a TCP listener on
// 127.0.0.1 (any free port) whose connections are handled by a test-supplied
// function on a thread of its own. The helpers read request frames and write
// replies; bytes received are kept for the test to check after the join.
#pragma once

#include <halvex/bigendian.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsrv {

using Bytes = std::vector<uint8_t>;

// A port of the given socket type (SOCK_STREAM or SOCK_DGRAM) that is free
// on 127.0.0.1 right now.
inline uint16_t FreeLoopbackPort(int type = SOCK_STREAM) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Waits for data at most this long before a helper gives up, so that a
// failing test never hangs.
constexpr int kWaitMs = 10000;

inline bool WaitReadable(int fd, int ms = kWaitMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// Reads exactly n bytes; fewer when the peer closes or goes quiet.
inline Bytes ReadExact(int fd, size_t n) {
    Bytes out;
    out.reserve(n);
    uint8_t buf[4096];
    while (out.size() < n) {
        if (!WaitReadable(fd)) break;
        size_t want = std::min(sizeof buf, n - out.size());
        ssize_t r = ::recv(fd, buf, want, 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// Reads one request frame (8-byte header and its length). Empty on failure.
inline Bytes ReadFrame(int fd) {
    Bytes head = ReadExact(fd, 8);
    if (head.size() < 8) return {};
    Bytes body = ReadExact(fd, ZYRK::be_get32(head.data() + 4));
    head.insert(head.end(), body.begin(), body.end());
    return head;
}

inline void WriteAll(int fd, const Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t r = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (r <= 0) return;
        off += size_t(r);
    }
}

// A reply frame around a payload (no extensions).
inline Bytes Frame(const Bytes& payload) {
    Bytes f;
    ZYRK::CBigEndianWriter(f).U8(0xFE).Zeros(3).U32(uint32_t(payload.size())).Bytes(payload.data(), payload.size());
    return f;
}

// Answers the session request (C0 -> C1) and the version request (F0 -> F1
// version) with which a client tree in session mode starts; false when the
// client asked something else.
inline bool AnswerSessionInit(int fd, uint8_t version = 12) {
    Bytes open = ReadFrame(fd);
    if (open.size() < 9 || open[8] != 0xC0) return false;
    WriteAll(fd, Frame({0xC1}));
    Bytes ask = ReadFrame(fd);
    if (ask.size() < 9 || ask[8] != 0xF0) return false;
    WriteAll(fd, Frame({0xF1, version}));
    return true;
}

// Operation code of a request frame sent at protocol version 6 or later
// (after the 18-byte header with both identity extensions), or 0.
inline uint8_t RequestCode(const Bytes& frame) { return frame.size() > 18 ? frame[18] : 0; }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Str(const char* s, bool withNul = true) {
    Bytes b(s, s + std::strlen(s));
    if (withNul) b.push_back(0);
    return b;
}

// The payload of a request frame: what follows the header and `skip` more
// bytes (the identity extensions).
inline Bytes Payload(const Bytes& frame, size_t skip = 0) {
    if (frame.size() < 8 + skip) return {};
    return Bytes(frame.begin() + 8 + skip, frame.end());
}

class ScriptServer {
public:
    // `session` runs once per accepted connection, up to `connections` times.
    explicit ScriptServer(std::function<void(int fd)> session, int connections = 1, int backlog = 8) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listen, backlog) != 0)
            throw std::runtime_error("listen on 127.0.0.1 failed");
        socklen_t len = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        if (session) {
            m_thread = std::thread([this, session, connections] {
                for (int i = 0; i < connections; ++i) {
                    if (!WaitReadable(m_listen)) return;
                    int fd = ::accept(m_listen, nullptr, nullptr);
                    if (fd < 0) return;
                    session(fd);
                    ::close(fd);
                }
            });
        }
    }
    ~ScriptServer() {
        if (m_thread.joinable()) m_thread.join();
        ::close(m_listen);
    }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }
    uint16_t Port() const { return m_port; }
    int ListenFd() const { return m_listen; }

private:
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

}  // namespace testsrv
