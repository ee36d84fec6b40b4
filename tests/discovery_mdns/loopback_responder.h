// A stand-in mDNS responder on a loopback address: records the queries it
// receives and answers each with the datagrams it was given, to the sender or
// to a fixed address, optionally from a second loopback address.
#pragma once

#include "mdns_test_util.h"

#include <atomic>
#include <mutex>
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
        ok = OpenBound(socket, address, port) && (replyFrom == 0 || OpenBound(replySocket, replyFrom, 0));
        worker = std::thread([this] { Run(); });
    }
    ~LoopbackResponder() {
        stop = true;
        worker.join();
    }

    void SetAnswers(std::vector<Bytes> a) {
        std::lock_guard<std::mutex> l(lock);
        answers = std::move(a);
    }
    std::vector<Query> Queries() {
        std::lock_guard<std::mutex> l(lock);
        return queries;
    }
    bool Ok() const { return ok; }

private:
    static bool OpenBound(CUdpSocket& s, uint32_t address, uint16_t port) {
        return s.Open() && s.SetReuseAddress(true) && s.Bind(address, port);
    }

    void Run() {
        while (!stop && ok) {
            if (socket.WaitReadable(50) != 1) continue;
            uint8_t buf[2048];
            CUdpSocket::Received from;
            ssize_t n = socket.Receive(buf, sizeof buf, from);
            if (n < 0) continue;
            std::vector<Bytes> toSend;
            {
                std::lock_guard<std::mutex> l(lock);
                queries.push_back({Bytes(buf, buf + n), from.fromAddress, from.fromPort});
                toSend = answers;
            }
            CUdpSocket& out = replySocket.IsOpen() ? replySocket : socket;
            for (const Bytes& b : toSend) out.SendTo(from.fromAddress, from.fromPort, b.data(), b.size());
        }
    }

    CUdpSocket socket, replySocket;
    bool ok = false;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Bytes> answers;
    std::vector<Query> queries;
    std::thread worker;
};

}  // namespace mdnstest
