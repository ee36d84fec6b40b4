// A camera's resource server for the IP-change tests: a small store of value
// resources that answers the version exchange (12), opens by path, reads and
// writes; behind the scripted loopback server of the client tests it keeps
// every request so a test can check what was written, in which order and on
// which connection.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake_server.h"

namespace rtcam {

using testsrv::Bytes;

// A value as it travels: type byte and body.
struct Value {
    uint8_t type = 0;
    Bytes body;
    bool operator==(const Value&) const = default;
};

inline Value Text(const std::string& s) {
    Value v{4, Bytes(s.begin(), s.end())};
    v.body.push_back(0);
    return v;
}
inline Value Bool(bool b) { return Value{1, Bytes{uint8_t(b ? 1 : 0)}}; }

struct Write {
    int connection = 0;
    std::string path;
    Value value;
    uint8_t wait = 0xFF;
    uint32_t time = 0xFFFFFFFF;
};

inline std::string OpenPath(const Bytes& p) {
    if (p.size() < 2) return {};
    const size_t n = std::min<size_t>(p[1], p.size() - 2);
    std::string s(p.begin() + 2, p.begin() + 2 + n);
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

inline std::string NulPath(const Bytes& p) {
    std::string s;
    for (size_t i = 1; i < p.size() && p[i]; ++i) s.push_back(char(p[i]));
    return s;
}

// A write request (0x14) decoded; false for anything else.
inline bool DecodeWrite(const Bytes& p, Write& w) {
    if (p.size() < 20 || p[0] != 0x14) return false;
    const size_t pathLen = p[3] ? p[3] - 1u : 0u;
    const size_t at = p[2];
    if (at + pathLen + 1 > p.size()) return false;
    w.value.type = p[1];
    w.wait = p[4];
    w.time = (uint32_t(p[5]) << 24) | (uint32_t(p[6]) << 16) | (uint32_t(p[7]) << 8) | p[8];
    w.path.assign(p.begin() + at, p.begin() + at + pathLen);
    w.value.body.assign(p.begin() + at + pathLen + 1, p.end());
    return true;
}

// The camera's resources and its answers to one request payload. A commit
// of true sets the method resource from the DHCP flag, as a camera does.
class CameraStore {
public:
    explicit CameraStore(std::map<std::string, Value> resources, std::set<std::string> refuseWrites = {})
        : m_resources(std::move(resources)), m_refuse(std::move(refuseWrites)) {}

    Value Get(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_resources.find(path);
        return it == m_resources.end() ? Value{} : it->second;
    }

    Bytes Handle(const Bytes& p) {
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (p.empty() ? 0 : p[0]) {
            case 0xF0: return {0xF1, 12};
            case 0x47: return m_resources.count(OpenPath(p)) ? Bytes{0x48} : Bytes{0xFF, 160};
            case 0x0C: {
                auto it = m_resources.find(NulPath(p));
                if (it == m_resources.end()) return {0xFF, 160};
                const Value& v = it->second;
                Bytes attr(41, 0);
                attr[0] = v.type;
                attr[1] = attr[2] = 1;  // owner may get and set
                Bytes data{0x02, v.type};
                data.insert(data.end(), v.body.begin(), v.body.end());
                Bytes head{0x0D, 0, 0, 41, uint8_t(data.size() >> 8), uint8_t(data.size()), 0, 0};
                return testsrv::Cat({head, attr, data});
            }
            case 0x14: {
                Write w;
                if (!DecodeWrite(p, w)) return {0xFF, 166};
                auto it = m_resources.find(w.path);
                if (it == m_resources.end()) return {0xFF, 160};
                if (m_refuse.count(w.path)) return {0xFF, 166};
                it->second = w.value;
                const std::string commit = ".commit";
                if (w.path.size() > commit.size() && w.path.ends_with(commit) && w.value == Bool(true)) {
                    const std::string base = w.path.substr(0, w.path.size() - commit.size());
                    auto dhcp = m_resources.find(base + ".DHCP");
                    auto method = m_resources.find(".services.net.interface.LAN90001.method");
                    if (dhcp != m_resources.end() && method != m_resources.end())
                        method->second = Text(dhcp->second == Bool(true) ? "dhcp" : "manual");
                }
                return {0x12, 0};
            }
            default: return {0xFF, 166};
        }
    }

private:
    std::mutex m_mutex;
    std::map<std::string, Value> m_resources;
    std::set<std::string> m_refuse;
};

// The store behind the scripted server on 127.0.0.1.
class ScriptedCamera {
public:
    explicit ScriptedCamera(std::map<std::string, Value> resources, std::set<std::string> refuseWrites = {})
        : m_store(std::move(resources), std::move(refuseWrites)),
          m_server([this](const Bytes& p) {
              std::this_thread::sleep_for(std::chrono::milliseconds(m_answerDelayMs.load()));
              return m_store.Handle(p);
          }) {}

    // Every answer but the session's comes this much later: a camera that
    // answers slowly, each time within the bound of one exchange.
    void SetAnswerDelay(int ms) { m_answerDelayMs = ms; }

    uint16_t Port() const { return m_server.Port(); }
    int Connections() { return m_server.Connections(); }
    Value Get(const std::string& path) { return m_store.Get(path); }

    // The requests once the session close (0xC2) of `sessions` connections
    // has arrived: the client sends it without waiting for an answer.
    std::vector<testsrv::Request> Requests(size_t sessions = 1) {
        for (int i = 0; i < 250; ++i) {
            size_t closes = 0;
            for (const auto& r : m_server.Requests())
                if (!r.payload.empty() && r.payload[0] == 0xC2) ++closes;
            if (closes >= sessions) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return m_server.Requests();
    }

    // The write requests, decoded, in arrival order.
    std::vector<Write> Writes(size_t sessions = 1) {
        std::vector<Write> out;
        for (const auto& r : Requests(sessions)) {
            Write w;
            w.connection = r.connection;
            if (DecodeWrite(r.payload, w)) out.push_back(w);
        }
        return out;
    }

    // Paths of the opens (0x47) and of the reads, in arrival order.
    std::vector<std::string> Opened(size_t sessions = 1) { return Paths(0x47, sessions); }
    std::vector<std::string> Read(size_t sessions = 1) { return Paths(0x0C, sessions); }

private:
    std::vector<std::string> Paths(uint8_t code, size_t sessions) {
        std::vector<std::string> out;
        for (const auto& r : Requests(sessions)) {
            if (r.payload.empty() || r.payload[0] != code) continue;
            out.push_back(code == 0x47 ? OpenPath(r.payload) : NulPath(r.payload));
        }
        return out;
    }

    CameraStore m_store;
    std::atomic<int> m_answerDelayMs{0};
    testsrv::FakeServer m_server;  // last: its threads stop before the store goes
};

// The resources of one interface of a camera, with the given current mode.
inline void AddInterface(std::map<std::string, Value>& r, const std::string& iface, bool dhcp) {
    const std::string base = ".services.net.interface." + iface + ".";
    r[base + "DHCP"] = Bool(dhcp);
    r[base + "address"] = Text("127.0.0.1");
    r[base + "netmask"] = Text("255.0.0.0");
    r[base + "gateway"] = Text("0.0.0.0");
    r[base + "commit"] = Bool(false);
}

}  // namespace rtcam
