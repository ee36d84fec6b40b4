// A small scripted resource server for the client tree tests: it accepts
// connections on 127.0.0.1, strips the frame header and its extensions from
// each request, records the payload and answers with what the test's handler
// returns for it. A session request keeps the connection open; without one
// the connection ends after one answer, as a real server does.
#pragma once

#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

#include "script_server.h"

namespace testsrv {

struct Request {
    Bytes payload;
    int extensions = 0;  // extension count of the frame
    uint16_t uid = 0xFFFF;
    int connection = 0;
};

class FakeServer {
public:
    // handler: request payload in, reply payload out (empty: no reply).
    using Handler = std::function<Bytes(const Bytes& payload)>;

    explicit FakeServer(Handler handler, int connections = 64)
        : m_handler(std::move(handler)),
          m_server(
              [this](int fd) {
                  // Each connection gets a thread of its own, so that a kept
                  // session never holds up other connections.
                  int own = ::dup(fd);
                  m_threads.emplace_back([this, own] {
                      Serve(own);
                      ::close(own);
                  });
              },
              connections) {}

    uint16_t Port() const { return m_server.Port(); }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // The requests once at least n have arrived (or after a few seconds):
    // for requests that get no answer the client does not wait for.
    std::vector<Request> WaitRequests(size_t n) {
        for (int i = 0; i < 250; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_requests.size() >= n) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Requests();
    }
    std::vector<uint8_t> Codes() {
        std::vector<uint8_t> out;
        for (const Request& r : Requests())
            if (!r.payload.empty()) out.push_back(r.payload[0]);
        return out;
    }
    int Connections() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connections;
    }
    // Waits for the accept loop to end (it ends when the test closes the
    // listener by destroying the server, or after `connections`).
    ~FakeServer() {
        ::shutdown(m_server.ListenFd(), SHUT_RDWR);
        m_server.Join();
        for (std::thread& t : m_threads) t.join();
    }

private:
    void Serve(int fd) {
        int id;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            id = ++m_connections;
        }
        bool session = false;
        for (;;) {
            Bytes frame = ReadFrame(fd);
            if (frame.size() < 8) return;
            Request req;
            req.connection = id;
            req.extensions = frame[1];
            size_t p = 8;
            for (int k = 0; k < req.extensions && p + 2 <= frame.size(); ++k) {
                uint8_t tag = frame[p];
                if (tag == 0xF4) break;  // embedded requests belong to the payload
                if (tag == 0xF2 && p + 4 <= frame.size()) req.uid = ZYRK::be_get16(&frame[p + 2]);
                p += 2 + frame[p + 1];
            }
            req.payload.assign(frame.begin() + std::min(p, frame.size()), frame.end());
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(req);
            }
            const uint8_t code = req.payload.empty() ? 0 : req.payload[0];
            if (code == 0xC0) {
                session = true;
                WriteAll(fd, Frame({0xC1}));
                continue;
            }
            if (code == 0xC2) {
                WriteAll(fd, Frame({0xC3}));
                return;
            }
            Bytes reply = m_handler(req.payload);
            if (!reply.empty()) WriteAll(fd, Frame(reply));
            if (!session) return;
        }
    }

    Handler m_handler;
    std::mutex m_mutex;
    std::vector<Request> m_requests;
    int m_connections = 0;
    std::vector<std::thread> m_threads;
    ScriptServer m_server;
};

// Answers of a camera with a few resources, protocol version `version`.
inline FakeServer::Handler CameraHandler(uint8_t version) {
    return [version](const Bytes& p) -> Bytes {
        switch (p[0]) {
            case 0xF0: return {0xF1, version};
            case 0x47: return {0x48};
            case 0x41: {
                Bytes attr(41, 0);
                attr[0] = 0x42;
                attr[1] = 2;
                attr[2] = attr[3] = 1;
                return attr;
            }
            case 0x11:
            case 0x13:
            case 0x14: return {0x12, 0};
            case 0x01: return {0x02, 0x02, 0, 0, 0, 3};
            case 0x45: return {0xFF, 161};
            case 0x31: return {0x32, 0};
            default: return {0xFF, 166};
        }
    };
}

}  // namespace testsrv
