#include "discovery/gev_scanner.h"

#include <algorithm>

#include "discovery/adapters.h"
#include "discovery/udp_socket.h"
#include "halvex/bigendian.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

using ZYRK::CBigEndianReader;

// A 32-bit field kept in network byte order, as the socket API holds addresses.
uint32_t NetworkU32(CBigEndianReader& r) {
    uint32_t v = 0;
    r.Bytes(&v, sizeof v);
    return v;
}

// A text field of `width` bytes: its text ends at the first NUL or the field's end.
std::string Text(CBigEndianReader& r, size_t width) {
    const uint8_t* field = r.Take(width);
    if (!field) return {};
    const char* p = reinterpret_cast<const char*>(field);
    const void* nul = std::memchr(p, 0, width);
    return std::string(p, nul ? static_cast<const char*>(nul) - p : width);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bool ParseDiscoveryAck(const uint8_t* data, size_t size, const sockaddr* sender, socklen_t senderLength,
                       GEVDiscoveryAnswer& answer) {
    if (!data || size == 0) return false;
    answer.senderAddress = sockaddr_storage{};
    answer.senderAddressLength = 0;
    if (sender && senderLength > 0) {
        socklen_t n = senderLength < static_cast<socklen_t>(sizeof answer.senderAddress)
                          ? senderLength
                          : static_cast<socklen_t>(sizeof answer.senderAddress);
        std::memcpy(&answer.senderAddress, sender, n);
        answer.senderAddressLength = n;
    }
    answer.datagram.assign(data, data + size);
    if (size < kDiscoveryAckSize) return false;

    CBigEndianReader r(data, size);
    answer.status = r.U16();
    if (!r.Ok() || answer.status != 0) return false;
    answer.answer = r.U16();
    if (!r.Ok() || answer.answer != 0x0003) return false;
    answer.length = r.U16();
    answer.ackId = r.U16();
    answer.specVersion = r.U32();
    answer.deviceMode = r.U32();
    r.Bytes(answer.macAddress, sizeof answer.macAddress);
    answer.supportedIPOptions = r.U32();
    answer.currentIPOptions = r.U32();
    r.Skip(12);
    answer.currentIP = NetworkU32(r);
    r.Skip(12);
    answer.currentSubnetMask = NetworkU32(r);
    r.Skip(12);
    answer.defaultGateway = NetworkU32(r);
    answer.manufacturerName = Text(r, 32);
    answer.modelName = Text(r, 32);
    answer.deviceVersion = Text(r, 32);
    answer.manufacturerInfo = Text(r, 48);
    answer.serialNumber = Text(r, 16);
    answer.userDefinedName = Text(r, 16);
    return r.Ok();
}

CGEVScanner::CGEVScanner(std::string destination, uint16_t port) : destination(std::move(destination)), port(port) {}

namespace {

// The discovery socket of one adapter and what it received.
struct AdapterScan {
    const AdapterInfo* adapter = nullptr;
    CUdpSocket socket;
    std::vector<RawDatagram> received;
    bool sent = false;
    bool failed = false;
};

// Answers one adapter keeps at most (a flood beyond it is read and dropped).
constexpr size_t kMaxAnswersPerAdapter = 65536;

// Opens, binds and sends on one adapter. False when the socket cannot be
// opened, bound or set to broadcast (the scan then ends); a failed send only
// leaves the adapter out.
bool SendDiscovery(AdapterScan& a, uint32_t target, uint16_t port) {
    uint32_t source = 0;
    if (!ParseIPv4(a.adapter->address, source)) source = 0;
    CUdpSocket& s = a.socket;
    if (!s.Open() || !s.SetReuseAddress(true)) return false;
    // Tied to its device the socket sends the broadcast through this adapter
    // only, and bound to no address it also receives the answers that cameras
    // broadcast back. Without the tie it is bound to the adapter's address,
    // which then picks the way out.
    const bool tied = s.BindToDevice(a.adapter->device);
    if (!s.Bind(tied ? 0u : source, 0) || !s.SetBroadcast(true)) return false;
    s.SetReceiveBuffer(kScanReceiveBuffer);
    a.sent = s.SendTo(target, port, kDiscoveryCmd, sizeof kDiscoveryCmd, tied ? source : 0);
    return true;
}

// Collects on every adapter that sent until `end`, or until `stop` says so
// (asked at least every 100 ms). A wait or receive error fails the
// collection of the adapter (all of them for a wait error).
void CollectAnswers(std::vector<AdapterScan*>& scans, std::chrono::steady_clock::time_point end,
                    const std::function<bool()>& stop) {
    using Clock = std::chrono::steady_clock;
    size_t next = 0;
    for (;;) {
        std::vector<int> fds;
        std::vector<AdapterScan*> open;
        for (AdapterScan* a : scans)
            if (a->sent && !a->failed) {
                fds.push_back(a->socket.Handle());
                open.push_back(a);
            }
        if (fds.empty()) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0 || stop()) return;
        int w = WaitAnyReadable(fds, static_cast<int>(std::min<long long>(left, 100)), next % fds.size());
        if (w == -2) continue;
        if (w < 0) {
            for (AdapterScan* a : open) a->failed = true;
            return;
        }
        next = static_cast<size_t>(w) + 1;
        AdapterScan& a = *open[static_cast<size_t>(w)];
        RawDatagram d;
        d.bytes.resize(kDiscoveryAckSize);
        CUdpSocket::Received from;
        ssize_t n = a.socket.Receive(d.bytes.data(), d.bytes.size(), from);
        if (n < 0) {
            a.failed = true;
            continue;
        }
        if (a.received.size() >= kMaxAnswersPerAdapter) continue;
        d.senderAddress = from.from;
        d.senderAddressLength = from.fromLength;
        d.bytes.resize(static_cast<size_t>(n));
        a.received.push_back(std::move(d));
    }
}

// Parses what one adapter collected, in arrival order, onto `answers`.
void ParseAnswers(const AdapterScan& a, std::vector<GEVDiscoveryAnswer>& answers) {
    if (!a.sent || a.failed) return;
    for (const RawDatagram& d : a.received) {
        GEVDiscoveryAnswer answer;
        if (!ParseDiscoveryAck(d.bytes.data(), d.bytes.size(), reinterpret_cast<const sockaddr*>(&d.senderAddress),
                               d.senderAddressLength, answer))
            continue;
        answer.adapterIndex = a.adapter->index;
        answers.push_back(std::move(answer));
    }
}

}  // namespace

bool CGEVScanner::Scan(std::vector<GEVDiscoveryAnswer>& answers) {
    answers.clear();
    auto table = ReadAdapterTable();
    if (!table) return true;
    uint32_t target = 0;
    if (!ParseIPv4(destination, target)) return false;
    using Clock = std::chrono::steady_clock;
    const auto window = std::chrono::milliseconds(collectMs);

    const std::function<bool()> stop = [this] { return stopRequested && stopRequested(); };
    std::vector<std::unique_ptr<AdapterScan>> scans;
    bool ok = true;
    if (concurrentAdapters) {
        // Every broadcast first, then one window for all adapters.
        std::vector<AdapterScan*> all;
        for (const AdapterInfo& adapter : *table) {
            scans.push_back(std::make_unique<AdapterScan>());
            scans.back()->adapter = &adapter;
            if (!SendDiscovery(*scans.back(), target, port)) {
                scans.pop_back();
                ok = false;
                break;
            }
            all.push_back(scans.back().get());
        }
        CollectAnswers(all, Clock::now() + window, stop);
        for (const auto& a : scans) ParseAnswers(*a, answers);
        return ok;
    }
    for (const AdapterInfo& adapter : *table) {
        if (stop()) break;
        AdapterScan a;
        a.adapter = &adapter;
        if (!SendDiscovery(a, target, port)) return false;
        std::vector<AdapterScan*> one{&a};
        CollectAnswers(one, Clock::now() + window, stop);
        ParseAnswers(a, answers);
    }
    return true;
}

std::string SenderAddressText(const sockaddr_storage& address, socklen_t length) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, buf, sizeof buf);
        return buf;
    }
    if (address.ss_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, buf, sizeof buf);
        return buf;
    }
    return {};
}

bool MapGEVModel(const GEVDiscoveryAnswer& answer, std::string& platform, std::string& name) {
    const std::string& info = answer.manufacturerInfo;
    if (StartsWith(info, "KSRV")) {
        platform = "HU";
        name = answer.modelName;
    } else if (StartsWith(info, "K210R")) {
        platform = "HV";
        name = "ZYRK K2X0";
    } else if (StartsWith(info, "K460")) {
        platform = "HV";
        name = "ZYRK K4X0";
    } else {
        return false;
    }
    return true;
}

void AddGEVDevices(CDeviceList& list, const std::vector<GEVDiscoveryAnswer>& answers) {
    CAdapterTableSnapshot adapters;  // one reading of the table for the whole batch
    for (size_t i = 0; i < answers.size(); ++i) {
        const GEVDiscoveryAnswer& a = answers[i];
        DeviceInfo info;
        info.ipAddress = SenderAddressText(a.senderAddress, a.senderAddressLength);
        info.interfaceName = GetInterfaceName(a.adapterIndex);
        if (GetAdapterAddress(a.adapterIndex) == "0.0.0.0") continue;
        info.adapterIndex = a.adapterIndex;
        info.gateway = ntohl(a.defaultGateway);
        info.subnetMask = ntohl(a.currentSubnetMask);
        info.dhcp = (a.currentIPOptions & 0x2) != 0;
        info.macBytes.assign(a.macAddress, a.macAddress + 8);
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", a.macAddress[2], a.macAddress[3],
                      a.macAddress[4], a.macAddress[5], a.macAddress[6], a.macAddress[7]);
        info.macAddress = mac;
        info.macKnown = true;
        std::string platform, name;
        if (!MapGEVModel(a, platform, name)) continue;
        info.txt["bsp"] = platform;
        info.name = name;
        info.hostName = "GigE" + std::to_string(i);
        list.AddOrUpdateDevice(info);
    }
}
