// A stand-in mDNS responder on a loopback address: records the queries it
// receives and answers each with the datagrams it was given, to the sender or
// to a fixed address, optionally from a second loopback address.
#pragma once

#include "mdns_test_util.h"

#include <atomic>
#include <mutex>
#include <poll.h>
#include <thread>

namespace mdnstest {

class LoopbackResponder {
public:
    struct Query {
        Bytes bytes;
        uint32_t fromAddress;  // host order
        uint16_t fromPort;
    };

    // Listens on `address`:`port`; answers come from `replyFrom` (same socket when 0).
    LoopbackResponder(uint32_t address, uint16_t port, uint32_t replyFrom = 0) {
        fd = OpenBound(address, port);
        replyFd = replyFrom ? OpenBound(replyFrom, 0) : -1;
        worker = std::thread([this] { Run(); });
    }
    ~LoopbackResponder() {
        stop = true;
        worker.join();
        ::close(fd);
        if (replyFd >= 0) ::close(replyFd);
    }

    void SetAnswers(std::vector<Bytes> a) {
        std::lock_guard<std::mutex> l(lock);
        answers = std::move(a);
    }
    std::vector<Query> Queries() {
        std::lock_guard<std::mutex> l(lock);
        return queries;
    }
    bool Ok() const { return fd >= 0; }

private:
    static int OpenBound(uint32_t address, uint16_t port) {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    }

    void Run() {
        while (!stop && fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            std::vector<Bytes> toSend;
            {
                std::lock_guard<std::mutex> l(lock);
                queries.push_back({Bytes(buf, buf + n), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
                toSend = answers;
            }
            for (const Bytes& b : toSend)
                ::sendto(replyFd >= 0 ? replyFd : fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    int fd = -1, replyFd = -1;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Bytes> answers;
    std::vector<Query> queries;
    std::thread worker;
};

}  // namespace mdnstest
