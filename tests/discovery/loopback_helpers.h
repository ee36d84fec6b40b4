// Helpers of the discovery tests: a provided adapter table on loopback, a
// recording list sink and a fake GigE Vision camera on 127.0.0.1. Nothing
// here leaves the loopback device.
#pragma once

#include "discovery/adapters.h"
#include "discovery/device_list.h"
#include "discovery/udp_socket.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

inline AdapterInfo MakeAdapter(uint32_t index, std::string address, std::string mask, std::string gateway = "0.0.0.0",
                               std::string device = "") {
    return AdapterInfo{index, std::move(address), std::move(mask), std::move(gateway), std::move(device)};
}

// The loopback device as adapter 1: what the socket tests bind to.
inline AdapterInfo LoopbackAdapter() { return MakeAdapter(1, "127.0.0.1", "255.0.0.0", "0.0.0.0", "lo"); }

// Installs a table for the calling thread, for the life of the object.
class ScopedAdapterTable {
public:
    explicit ScopedAdapterTable(std::optional<AdapterTable> table) : source([table] { return table; }) {}

private:
    CAdapterTableSource source;
};

// Writes every row change as one line of text.
class RecordingSink : public IDeviceListSink {
public:
    void InsertRow(int row, const std::string& nameText) override { Add("insert " + std::to_string(row) + " " + nameText); }
    void SetItemText(int row, int column, const std::string& text) override {
        Add("text " + std::to_string(row) + " " + std::to_string(column) + " " + text);
    }
    void SetItemImage(int row, int column, int image) override {
        Add("image " + std::to_string(row) + " " + std::to_string(column) + " " + std::to_string(image));
    }
    void DeleteAllRows() override { Add("delete all"); }

    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        auto c = std::move(calls);
        calls.clear();
        return c;
    }

private:
    void Add(std::string s) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(s));
    }
    std::mutex mutex;
    std::vector<std::string> calls;
};

// A UDP peer on 127.0.0.1 that hands each received datagram to `reply`, which
// returns the datagrams to send back to the sender (none: stay silent).
class FakeCamera {
public:
    using Reply = std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>&)>;

    explicit FakeCamera(Reply reply, const char* address = "127.0.0.1") : reply(std::move(reply)) {
        socket.Open();
        socket.SetReceiveBuffer(1 << 20);
        socket.Bind(address, 0);
        port = socket.LocalPort();
        thread = std::thread([this] { Run(); });
    }
    ~FakeCamera() {
        stop = true;
        thread.join();
    }
    uint16_t Port() const { return port; }
    std::vector<std::vector<uint8_t>> Received() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

private:
    void Run() {
        while (!stop) {
            if (socket.WaitReadable(50) != 1) continue;
            std::vector<uint8_t> buf(2048);
            CUdpSocket::Received from;
            ssize_t n = socket.Receive(buf.data(), buf.size(), from);
            if (n < 0) continue;
            buf.resize(static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(buf);
            }
            for (const auto& out : reply(buf)) socket.SendTo(from.fromAddress, from.fromPort, out.data(), out.size());
        }
    }
    Reply reply;
    CUdpSocket socket;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> received;
    std::thread thread;
};

// A port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreeLoopbackPort() {
    CUdpSocket s;
    s.Open();
    s.Bind("127.0.0.1", 0);
    return s.LocalPort();
}
