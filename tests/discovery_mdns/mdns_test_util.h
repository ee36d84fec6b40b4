// Builders for DNS response datagrams, a loopback adapter table and a
// sender of single datagrams on loopback.
#pragma once

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"
#include "tests/discovery/loopback_helpers.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <net/if.h>

namespace mdnstest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void Put32(Bytes& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v));
}

inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// "cam1.local" as inline labels with the closing zero.
inline Bytes Name(const std::string& dotted) {
    Bytes b;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) dot = dotted.size();
        b.push_back(static_cast<uint8_t>(dot - start));
        b.insert(b.end(), dotted.begin() + static_cast<long>(start), dotted.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    b.push_back(0);
    return b;
}

inline Bytes Pointer(uint16_t offset) {
    return {static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset)};
}

inline Bytes Header(uint16_t flags = 0x8400, uint16_t qdcount = 0, uint16_t ancount = 0) {
    Bytes b;
    Put16(b, 0);
    Put16(b, flags);
    Put16(b, qdcount);
    Put16(b, ancount);
    Put16(b, 0);
    Put16(b, 0);
    return b;
}

inline Bytes Record(const Bytes& owner, uint16_t type, const Bytes& rdata) {
    Bytes b = owner;
    Put16(b, type);
    Put16(b, 0x8001);  // class IN, cache flush
    Put32(b, 120);
    Put16(b, static_cast<uint16_t>(rdata.size()));
    Append(b, rdata);
    return b;
}

inline Bytes Txt(std::initializer_list<std::string> strings) {
    Bytes b;
    for (const auto& s : strings) {
        b.push_back(static_cast<uint8_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
    }
    return b;
}

inline Bytes Srv(uint16_t port, const Bytes& target) {
    Bytes b;
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, port);
    Append(b, target);
    return b;
}

inline Bytes A(uint32_t hostOrder) {
    Bytes b;
    Put32(b, hostOrder);
    return b;
}

// A typical camera answer: SRV "<instance>._zyrk-ircam._tcp.local" with the
// target "<host>.local", an A record for it and the TXT keys.
inline Bytes CameraResponse(const std::string& instance, const std::string& host,
                            std::initializer_list<std::string> txt) {
    Bytes b = Header(0x8400, 0, 3);
    Append(b, Record(Name(instance + "._zyrk-ircam._tcp.local"), 33, Srv(22136, Name(host + ".local"))));
    Append(b, Record(Name(host + ".local"), 1, A(0x7F000002)));
    Append(b, Record(Name(instance + "._zyrk-ircam._tcp.local"), 16, Txt(txt)));
    return b;
}

// A camera answer with at least `txtBytes` bytes of TXT strings besides bsp=J3
// (as an avahi-published camera with a long TXT record sends).
inline Bytes LargeCameraResponse(const std::string& instance, size_t txtBytes) {
    Bytes b = Header(0x8400, 0, 2);
    Append(b, Record(Name(instance + "._zyrk-ircam._tcp.local"), 33, Srv(22136, Name(instance + ".local"))));
    Bytes txt = Txt({"bsp=J3"});
    for (size_t i = 0; txt.size() < txtBytes; ++i) {
        std::string s = "k" + std::to_string(i) + "=" + std::string(200, 'v');
        txt.push_back(static_cast<uint8_t>(s.size()));
        txt.insert(txt.end(), s.begin(), s.end());
    }
    Append(b, Record(Name(instance + "._zyrk-ircam._tcp.local"), 16, txt));
    return b;
}

inline uint32_t LoopbackIndex() { return if_nametoindex("lo"); }

// One adapter: the loopback device, so that every socket stays on this machine.
inline AdapterTable LoopbackTable() {
    AdapterInfo a;
    a.index = LoopbackIndex();
    a.address = "127.0.0.1";
    a.mask = "255.0.0.0";
    a.gateway = "127.0.0.254";
    a.device = "lo";
    return {a};
}

// Waits (boundedly, ten seconds) until `pred` holds; the tests assert the
// outcome, never the time.
template <class Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 1000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

using ::FreeLoopbackPort;  // tests/discovery/loopback_helpers.h

// Sends one datagram to `address`:`port` from `from` (all host order), on loopback.
inline void SendTo(uint32_t address, uint16_t port, const Bytes& b, uint32_t from = 0x7F000001) {
    CUdpSocket s;
    if (s.Open() && s.Bind(from, 0)) s.SendTo(address, port, b.data(), b.size());
}

}  // namespace mdnstest
