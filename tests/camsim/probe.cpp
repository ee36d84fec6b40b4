#include "probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace probe {
namespace {

void P16(std::vector<uint8_t>& o, uint16_t v) { o.push_back(v >> 8); o.push_back(v & 255); }
void P32(std::vector<uint8_t>& o, uint32_t v) { P16(o, v >> 16); P16(o, v & 0xFFFF); }

int OpenOn(const std::string& device, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size()));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<Answer> Collect(int fd, int windowMs) {
    std::vector<Answer> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(windowMs);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        char addr[16];
        inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
        out.push_back({addr, ntohs(from.sin_port), std::vector<uint8_t>(buf, buf + n)});
    }
    return out;
}

}  // namespace

std::vector<Answer> Exchange(const std::string& device, const std::string& to, uint16_t port,
                             const std::vector<uint8_t>& data, int windowMs, uint16_t localPort) {
    int fd = OpenOn(device, localPort);
    if (fd < 0) return {};
    if (to == "224.0.0.251") {
        // Multicast leaves on the device the socket is bound to.
        ip_mreqn m{};
        m.imr_ifindex = 0;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, to.c_str(), &sa.sin_addr);
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    auto out = Collect(fd, windowMs);
    close(fd);
    return out;
}

std::vector<Answer> Listen(const std::string& device, uint16_t port, int windowMs) {
    int fd = OpenOn(device, port);
    if (fd < 0) return {};
    auto out = Collect(fd, windowMs);
    close(fd);
    return out;
}

std::vector<uint8_t> DiscoveryCmd(uint8_t flags, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, flags};
    P16(o, 0x0002);
    P16(o, 0);
    P16(o, reqId);
    return o;
}

std::vector<uint8_t> WriteRegCmd(uint32_t reg, uint32_t value, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, 0x01};
    P16(o, 0x0082);
    P16(o, 8);
    P16(o, reqId);
    P32(o, reg);
    P32(o, value);
    return o;
}

std::vector<uint8_t> ReadRegCmd(uint32_t reg, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, 0x01};
    P16(o, 0x0080);
    P16(o, 4);
    P16(o, reqId);
    P32(o, reg);
    return o;
}

std::vector<uint8_t> ForceIpCmd(const uint8_t mac[6], uint32_t ip, uint32_t mask, uint32_t gateway, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, 0x00};
    P16(o, 0x0004);
    P16(o, 56);
    P16(o, reqId);
    P16(o, 0);
    o.insert(o.end(), mac, mac + 6);
    o.resize(28, 0);
    P32(o, ip);
    o.resize(44, 0);
    P32(o, mask);
    o.resize(60, 0);
    P32(o, gateway);
    return o;
}

std::vector<uint8_t> MdnsQuery(const std::string& name, uint16_t type, uint16_t id) {
    std::vector<uint8_t> o;
    P16(o, id);
    P16(o, 0);
    P16(o, 1);
    P16(o, 0);
    P16(o, 0);
    P16(o, 0);
    std::stringstream ss(name);
    std::string label;
    while (std::getline(ss, label, '.'))
        if (!label.empty()) {
            o.push_back(static_cast<uint8_t>(label.size()));
            o.insert(o.end(), label.begin(), label.end());
        }
    o.push_back(0);
    P16(o, type);
    P16(o, 1);
    return o;
}

std::vector<uint8_t> IpChangeMsg(const std::string& host, const std::string& interfaceName, bool dhcp,
                                 uint32_t address, uint32_t mask, uint32_t gateway) {
    std::vector<uint8_t> o;
    P16(o, 0x0100);
    P16(o, 72);
    P32(o, 0xABCD0123);
    P32(o, mask);
    P32(o, address);
    P32(o, gateway);
    P32(o, dhcp ? 1 : 0);
    o.resize(72, 0);
    std::memcpy(&o[32], host.data(), std::min<size_t>(host.size(), 19));
    std::memcpy(&o[52], interfaceName.data(), std::min<size_t>(interfaceName.size(), 19));
    return o;
}

std::string Encode(const std::vector<Answer>& answers) {
    std::string out;
    for (const auto& a : answers) {
        out += a.from + " " + std::to_string(a.fromPort) + " ";
        char hex[3];
        for (uint8_t b : a.data) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            out += hex;
        }
        out += "\n";
    }
    return out;
}

std::vector<Answer> Decode(const std::string& text) {
    std::vector<Answer> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        std::stringstream ls(line);
        Answer a;
        std::string hex;
        ls >> a.from >> a.fromPort >> hex;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) a.data.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        out.push_back(std::move(a));
    }
    return out;
}

uint32_t Be32(const std::vector<uint8_t>& d, size_t off) {
    if (off + 4 > d.size()) return 0;
    return (uint32_t(d[off]) << 24) | (uint32_t(d[off + 1]) << 16) | (uint32_t(d[off + 2]) << 8) | d[off + 3];
}
uint16_t Be16(const std::vector<uint8_t>& d, size_t off) {
    if (off + 2 > d.size()) return 0;
    return static_cast<uint16_t>((d[off] << 8) | d[off + 1]);
}
std::string Text(const std::vector<uint8_t>& d, size_t off, size_t width) {
    std::string s;
    for (size_t i = off; i < off + width && i < d.size() && d[i]; ++i) s += static_cast<char>(d[i]);
    return s;
}
uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

}  // namespace probe
