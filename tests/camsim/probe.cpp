#include "probe.h"

#include "halvex/bigendian.h"

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

using ZYRK::CBigEndianReader;
using ZYRK::CBigEndianWriter;

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
    CBigEndianWriter(o).U16(0x0002).U16(0).U16(reqId);
    return o;
}

std::vector<uint8_t> WriteRegCmd(uint32_t reg, uint32_t value, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, 0x01};
    CBigEndianWriter(o).U16(0x0082).U16(8).U16(reqId).U32(reg).U32(value);
    return o;
}

std::vector<uint8_t> ReadRegCmd(uint32_t reg, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, 0x01};
    CBigEndianWriter(o).U16(0x0080).U16(4).U16(reqId).U32(reg);
    return o;
}

std::vector<uint8_t> ForceIpCmd(const uint8_t mac[6], uint32_t ip, uint32_t mask, uint32_t gateway, uint16_t reqId) {
    std::vector<uint8_t> o{0x42, 0x00};
    CBigEndianWriter w(o);
    w.U16(0x0004).U16(56).U16(reqId).U16(0).Bytes(mac, 6);
    w.Zeros(12).U32(ip).Zeros(12).U32(mask).Zeros(12).U32(gateway);
    return o;
}

std::vector<uint8_t> MdnsQuery(const std::string& name, uint16_t type, uint16_t id) {
    std::vector<uint8_t> o;
    CBigEndianWriter(o).U16(id).U16(0).U16(1).U16(0).U16(0).U16(0);
    std::stringstream ss(name);
    std::string label;
    while (std::getline(ss, label, '.'))
        if (!label.empty()) {
            o.push_back(static_cast<uint8_t>(label.size()));
            o.insert(o.end(), label.begin(), label.end());
        }
    CBigEndianWriter(o).U8(0).U16(type).U16(1);
    return o;
}

std::vector<uint8_t> IpChangeMsg(const std::string& host, const std::string& interfaceName, bool dhcp,
                                 uint32_t address, uint32_t mask, uint32_t gateway) {
    std::vector<uint8_t> o;
    CBigEndianWriter(o).U16(0x0100).U16(72).U32(0xABCD0123).U32(mask).U32(address).U32(gateway).U32(dhcp ? 1 : 0);
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
    CBigEndianReader in(d.data(), d.size());
    return in.Seek(off) ? in.U32() : 0;
}
uint16_t Be16(const std::vector<uint8_t>& d, size_t off) {
    CBigEndianReader in(d.data(), d.size());
    return in.Seek(off) ? in.U16() : 0;
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
