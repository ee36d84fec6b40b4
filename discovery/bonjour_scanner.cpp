#include "discovery/bonjour_scanner.h"

#include "discovery/discovery_log.h"
#include "discovery/udp_socket.h"
#include "halvex/bigendian.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>

namespace {

using ZYRK::CBigEndianReader;

bool IsPointer(uint8_t b) { return (b & 0xC0) == 0xC0; }

// Inline labels joined with "."; a zero byte or a compression pointer (not
// followed) ends the name. False when a label or the pointer runs past the end.
bool ReadInlineName(CBigEndianReader& r, std::string& name) {
    name.clear();
    for (;;) {
        if (!r.Has(1)) return false;
        const uint8_t len = *r.Here();
        if (len == 0) return r.Skip(1);
        if (IsPointer(len)) return r.Skip(2);
        const uint8_t* label = r.Take(1 + static_cast<size_t>(len));
        if (!label) return false;
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(label + 1), len);
    }
}

// The one label at `offset` of the datagram: its length byte and that many
// bytes. False when either lies outside.
bool LabelAt(const uint8_t* data, size_t size, size_t offset, std::string& label) {
    if (offset >= size) return false;
    size_t len = data[offset];
    if (size - offset - 1 < len) return false;
    label.assign(reinterpret_cast<const char*>(data + offset + 1), len);
    return true;
}

size_t PointerOffset(uint8_t first, uint8_t second) {
    return (static_cast<size_t>(first & 0x3F) << 8) | second;
}

void ApplyTxt(const std::vector<uint8_t>& rdata, std::map<std::string, std::string>& txt) {
    size_t pos = 0;
    while (pos < rdata.size()) {
        size_t len = rdata[pos];
        size_t start = pos + 1;
        size_t avail = rdata.size() - start;
        std::string s(reinterpret_cast<const char*>(rdata.data() + start), len < avail ? len : avail);
        pos = start + len;
        size_t eq = s.find('=');
        std::string key = eq == std::string::npos ? s : s.substr(0, eq);
        std::string value = eq == std::string::npos ? s : s.substr(eq + 1);
        txt.emplace(std::move(key), std::move(value));  // the first value of a key wins
    }
}

void ApplySrv(const BonjourRecord& rec, const std::vector<uint8_t>& datagram, DeviceInfo& info) {
    info.serviceName = rec.ownerName;
    info.name = rec.ownerName;
    const auto& d = rec.rdata;
    // Priority (2) and weight (2), then the port, then the target name.
    if (d.size() >= 6) info.port = ZYRK::be_get16(&d[4]);
    if (d.size() <= 6) return;
    if (IsPointer(d[6])) {
        if (d.size() < 8) return;
        std::string label;
        if (LabelAt(datagram.data(), datagram.size(), PointerOffset(d[6], d[7]), label)) info.hostName = label;
        return;
    }
    size_t len = d[6];
    size_t avail = d.size() - 7;
    info.hostName.assign(reinterpret_cast<const char*>(d.data() + 7), len < avail ? len : avail);
}

}  // namespace

std::vector<uint8_t> BuildBonjourQuery(const std::string& serviceType) {
    std::vector<uint8_t> q = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t start = 0;
    while (start <= serviceType.size()) {
        size_t dot = serviceType.find('.', start);
        if (dot == std::string::npos) dot = serviceType.size();
        size_t len = dot - start;
        if (len > 63) len = 63;  // the longest label a name may carry
        if (len > 0) {
            q.push_back(static_cast<uint8_t>(len));
            q.insert(q.end(), serviceType.begin() + static_cast<std::ptrdiff_t>(start),
                     serviceType.begin() + static_cast<std::ptrdiff_t>(start + len));
        }
        start = dot + 1;
    }
    q.push_back(0);
    q.insert(q.end(), {0x00, 0xFF, 0x00, 0x01});
    return q;
}

bool ParseBonjourResponse(const uint8_t* data, size_t size, uint32_t senderAddress, uint16_t senderPort,
                          BonjourResponse& out) {
    out = BonjourResponse{};
    out.senderAddress = senderAddress;
    out.senderPort = senderPort;
    if (data == nullptr || size == 0) return false;

    CBigEndianReader r(data, size);
    uint16_t flags = 0, qdcount = 0;
    if (!r.Skip(2) || !r.U16(flags)) return false;
    if (flags != 0x8400) return false;
    if (!r.U16(qdcount) || !r.Skip(6)) return false;

    if (qdcount != 0) {
        if (!ReadInlineName(r, out.questionName)) return false;
        if (!r.U16(out.questionType) || !r.Skip(2)) return false;
        out.hasQuestion = true;
    }

    std::vector<BonjourRecord> records;
    while (r.Remaining() > 0) {
        BonjourRecord rec;
        rec.offset = r.Position();
        if (IsPointer(*r.Here())) {
            const uint8_t* pointer = r.Take(2);
            if (!pointer) return false;
            if (!LabelAt(data, size, PointerOffset(pointer[0], pointer[1]), rec.ownerName)) return false;
        } else {
            CBigEndianReader probe = r;
            if (!ReadInlineName(probe, rec.ownerName)) break;  // keep the records read so far
            r = probe;
        }
        uint16_t rdlength = 0;
        if (!r.U16(rec.type) || !r.Skip(2 + 4) || !r.U16(rdlength)) return false;
        const uint8_t* rdata = r.Take(rdlength);
        if (!rdata) return false;
        rec.rdata.assign(rdata, rdata + rdlength);
        rec.size = r.Position() - rec.offset;
        records.push_back(std::move(rec));
    }
    out.records = std::move(records);
    out.datagram.assign(data, data + size);
    return true;
}

void ApplyBonjourRecords(const BonjourResponse& response, DeviceInfo& info) {
    for (const BonjourRecord& rec : response.records) {
        switch (rec.type) {
        case kRecordA:
        case kRecordAAAA:
            info.hostName = rec.ownerName;
            break;
        case kRecordTXT:
            ApplyTxt(rec.rdata, info.txt);
            break;
        case kRecordSRV:
            ApplySrv(rec, response.datagram, info);
            break;
        default:
            break;
        }
    }
}

DeviceInfo MakeBonjourDeviceInfo(const BonjourResponse& response, const MacLookupFn& lookup) {
    DeviceInfo info;
    info.ipAddress = FormatIPv4(response.senderAddress);
    info.interfaceName = GetInterfaceName(response.adapterIndex);
    info.adapterIndex = response.adapterIndex;

    std::string source;
    if (auto adapter = FindAdapter(response.adapterIndex)) {
        uint32_t v = 0;
        if (ParseIPv4(adapter->mask, v)) info.subnetMask = htonl(v);
        if (ParseIPv4(adapter->gateway, v)) info.gateway = htonl(v);
        source = adapter->address;
    }
    std::string mac;
    if (lookup && lookup(info.ipAddress, source, mac)) {
        info.macAddress = mac;
        info.macKnown = true;
    }
    ApplyBonjourRecords(response, info);
    return info;
}

void AddBonjourDevices(CDeviceList& list, const std::vector<BonjourResponse>& responses, const MacLookupFn& lookup) {
    CAdapterTableSnapshot adapters;  // one reading of the table for the whole batch
    for (const BonjourResponse& response : responses) list.AddOrUpdateDevice(MakeBonjourDeviceInfo(response, lookup));
}

// ---------------------------------------------------------------------------

namespace {

// The adapters the queries go out on: those whose first address is not zero.
struct QueryAdapter {
    AdapterInfo info;
    uint32_t address;
};

std::vector<QueryAdapter> QueryAdapters() {
    std::vector<QueryAdapter> out;
    auto table = ReadAdapterTable();
    if (!table) return out;
    for (const AdapterInfo& a : *table) {
        uint32_t v = 0;
        if (ParseIPv4(a.address, v) && v != 0) out.push_back({a, v});
    }
    return out;
}

// Prepares a query socket on one adapter: address reuse, tied to the
// adapter's device when one is known, multicast out of the adapter's address.
bool PrepareQuerySocket(CUdpSocket& s, const QueryAdapter& a) {
    if (!s.Open()) return false;
    s.SetReuseAddress(true);
    s.SetReceiveBuffer(kScanReceiveBuffer);
    if (!a.info.device.empty() && !s.BindToDevice(a.info.device))
        LogDiscoveryError("mDNS query: cannot tie the socket to " + a.info.device + ": " +
                          std::strerror(s.LastError()));
    if (!s.SetMulticastInterface(a.address, a.info.index)) {
        // Never let the query leave through an interface the system picks.
        LogDiscoveryError("mDNS query: cannot send multicast from " + a.info.address + ": " +
                          std::strerror(s.LastError()));
        return false;
    }
    return true;
}

}  // namespace

void CBonjourScanner::SetDestination(const std::string& address, uint16_t port) {
    destination = address;
    destinationPort = port;
}

namespace {

// The query socket of one adapter and what it received.
struct Collection {
    QueryAdapter adapter;
    CUdpSocket socket;
    struct Datagram {
        std::vector<uint8_t> bytes;
        uint32_t from = 0;
        uint16_t port = 0;
    };
    std::vector<Datagram> datagrams;
    size_t bytes = 0;
    bool open = true;  // still collecting
};

// What one adapter's collection keeps at most; a flood beyond it is read and
// dropped, so that the window still ends on time.
constexpr size_t kMaxCollectedDatagrams = 16384;
constexpr size_t kMaxCollectedBytes = 32u << 20;

// Collects on every open socket of `collections` until `window` has passed
// since `start`, or until `stop` says so (asked at least every 100 ms). A
// datagram that is too long or cannot be received is dropped alone; a failed
// wait, or a socket that keeps failing, ends that collection and keeps what
// it received.
void Collect(std::vector<Collection*>& collections, std::chrono::steady_clock::time_point start,
             std::chrono::steady_clock::duration window, const std::function<bool()>& stop) {
    constexpr int kMaxFailedReceives = 16;
    std::vector<int> failures(collections.size(), 0);
    size_t next = 0;
    std::vector<uint8_t> buf(kMdnsMaxDatagram);
    for (;;) {
        std::vector<int> fds;
        std::vector<size_t> which;
        for (size_t i = 0; i < collections.size(); ++i)
            if (collections[i]->open) {
                fds.push_back(collections[i]->socket.Handle());
                which.push_back(i);
            }
        if (fds.empty()) return;
        auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > window || stop()) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(window - elapsed).count();
        int r = WaitAnyReadable(fds, static_cast<int>(std::min<long long>(left + 1, 100)), next % fds.size());
        if (r == -2) continue;
        if (r < 0) {
            for (size_t i : which) collections[i]->open = false;
            return;
        }
        next = static_cast<size_t>(r) + 1;
        const size_t i = which[static_cast<size_t>(r)];
        Collection& c = *collections[i];
        CUdpSocket::Received from;
        ssize_t n = c.socket.Receive(buf.data(), buf.size(), from);
        if (n < 0) {
            if (++failures[i] >= kMaxFailedReceives) c.open = false;
            continue;
        }
        failures[i] = 0;
        // An over-long datagram was received all the same: it is no failure
        // of the socket, and any number of them leaves the window open.
        if (from.truncated) continue;
        if (c.datagrams.size() >= kMaxCollectedDatagrams || c.bytes + static_cast<size_t>(n) > kMaxCollectedBytes)
            continue;
        Collection::Datagram d;
        d.from = from.fromAddress;
        d.port = from.fromPort;
        d.bytes.assign(buf.begin(), buf.begin() + n);
        c.bytes += d.bytes.size();
        c.datagrams.push_back(std::move(d));
    }
}

}  // namespace

bool CBonjourScanner::QueryAndCollect(int windowSeconds, std::vector<BonjourResponse>& responses,
                                      const std::string& serviceType) {
    responses.clear();
    const std::vector<uint8_t> query = BuildBonjourQuery(serviceType);
    uint32_t dest = 0;
    if (!ParseIPv4(destination, dest)) return true;
    const auto window = std::chrono::seconds(windowSeconds < 0 ? 0 : windowSeconds);

    const std::function<bool()> stop = [this] { return stopRequested && stopRequested(); };
    std::vector<std::unique_ptr<Collection>> collections;
    auto sendQuery = [&](const QueryAdapter& a) -> Collection* {
        auto c = std::make_unique<Collection>();
        c->adapter = a;
        if (!PrepareQuerySocket(c->socket, a)) return nullptr;
        if (!c->socket.SendTo(dest, destinationPort, query.data(), query.size())) return nullptr;
        collections.push_back(std::move(c));
        return collections.back().get();
    };
    if (concurrentAdapters) {
        // Every query first, then one window for all of them.
        std::vector<Collection*> all;
        for (const QueryAdapter& a : QueryAdapters())
            if (Collection* c = sendQuery(a)) all.push_back(c);
        Collect(all, std::chrono::steady_clock::now(), window, stop);
    } else {
        for (const QueryAdapter& a : QueryAdapters()) {
            if (stop()) break;
            const auto start = std::chrono::steady_clock::now();
            std::vector<Collection*> one;
            if (Collection* c = sendQuery(a)) one.push_back(c);
            Collect(one, start, window, stop);
        }
    }
    for (const auto& c : collections) {
        for (const Collection::Datagram& d : c->datagrams) {
            BonjourResponse resp;
            if (!ParseBonjourResponse(d.bytes.data(), d.bytes.size(), d.from, d.port, resp)) continue;
            resp.adapterIndex = c->adapter.info.index;
            responses.push_back(std::move(resp));
        }
    }
    return true;
}

bool CBonjourScanner::MulticastQuery(const std::string& serviceType) {
    const std::vector<uint8_t> query = BuildBonjourQuery(serviceType);
    uint32_t dest = 0;
    if (!ParseIPv4(destination, dest)) return true;
    for (const QueryAdapter& a : QueryAdapters()) {
        CUdpSocket s;
        if (!PrepareQuerySocket(s, a)) continue;
        // Sent from the mDNS port itself, so that responders answer to the group.
        if (!s.Bind(INADDR_ANY, destinationPort)) {
            LogDiscoveryError("mDNS multicast query: cannot bind port " + std::to_string(destinationPort) + " on " +
                              a.info.address + ": " + std::strerror(s.LastError()));
            continue;
        }
        s.SendTo(dest, destinationPort, query.data(), query.size());
    }
    return true;
}
