// The adapter table from the kernel: getifaddrs for the interfaces and their
// IPv4 addresses, /proc/net/route for the default gateways. MAC addresses of
// cameras come from the neighbour table through rtnetlink (neighbour.h,
// mac_resolver.h).
#include "discovery/adapters.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

std::string ReadFileText(const char* path) {
    std::ifstream in(path);
    if (!in) return {};
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

std::map<std::string, std::string> ParseDefaultGateways(const std::string& routeText) {
    std::map<std::string, std::string> gateways;
    std::istringstream in(routeText);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, destination, gateway, flags, refCnt, use, metric, mask;
        if (!(fields >> device >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask)) continue;
        unsigned long dest = 0, gw = 0, fl = 0, msk = 0;
        try {
            dest = std::stoul(destination, nullptr, 16);
            gw = std::stoul(gateway, nullptr, 16);
            fl = std::stoul(flags, nullptr, 16);
            msk = std::stoul(mask, nullptr, 16);
        } catch (...) {
            continue;
        }
        const unsigned long kUp = 0x1, kGateway = 0x2;
        if (dest != 0 || msk != 0 || !(fl & kUp) || !(fl & kGateway) || gw == 0) continue;
        if (gateways.count(device)) continue;  // the first default route of a device wins
        in_addr a{};
        a.s_addr = static_cast<in_addr_t>(gw);  // printed as the raw network-order word
        char buf[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a, buf, sizeof buf);
        gateways[device] = buf;
    }
    return gateways;
}

std::optional<AdapterTable> ReadSystemAdapterTable() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    struct Entry {
        AdapterInfo info;
        bool hasAddress = false;
    };
    std::map<uint32_t, Entry> byIndex;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_name) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        unsigned index = if_nametoindex(i->ifa_name);
        if (index == 0) continue;  // an alias label ("eth0:1") or a vanished device
        Entry& e = byIndex[index];
        if (e.info.index == 0) {
            e.info.index = index;
            e.info.device = i->ifa_name;
            e.info.address = e.info.mask = e.info.gateway = "0.0.0.0";
        }
        if (e.hasAddress || !i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char buf[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof buf);
        e.info.address = buf;
        if (i->ifa_netmask && i->ifa_netmask->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr, buf, sizeof buf);
            e.info.mask = buf;
        }
        e.hasAddress = true;
    }
    freeifaddrs(list);
    const auto gateways = ParseDefaultGateways(ReadFileText("/proc/net/route"));
    AdapterTable table;
    for (auto& [index, e] : byIndex) {
        auto g = gateways.find(e.info.device);
        if (g != gateways.end()) e.info.gateway = g->second;
        table.push_back(e.info);
    }
    return table;
}

namespace {
// What the calling thread reads: the innermost source it installed and the
// outermost snapshot it holds.
thread_local const AdapterTableProvider* threadSource = nullptr;
thread_local const std::optional<AdapterTable>* threadSnapshot = nullptr;
}  // namespace

CAdapterTableSource::CAdapterTableSource(AdapterTableProvider s) : source(std::move(s)), outer(threadSource) {
    threadSource = &source;
}

CAdapterTableSource::~CAdapterTableSource() { threadSource = outer; }

AdapterTableProvider CAdapterTableSource::Current() { return threadSource ? *threadSource : nullptr; }

CAdapterTableSnapshot::CAdapterTableSnapshot() : CAdapterTableSnapshot(ReadAdapterTable()) {}

CAdapterTableSnapshot::CAdapterTableSnapshot(std::optional<AdapterTable> t) : table(std::move(t)) {
    if (threadSnapshot) return;
    threadSnapshot = &table;
    active = true;
}

CAdapterTableSnapshot::~CAdapterTableSnapshot() {
    if (active) threadSnapshot = nullptr;
}

std::optional<AdapterTable> ReadAdapterTable() {
    if (threadSnapshot) return *threadSnapshot;
    if (threadSource && *threadSource) return (*threadSource)();
    return ReadSystemAdapterTable();
}

std::optional<AdapterInfo> FindAdapter(uint32_t adapterIndex) {
    auto table = ReadAdapterTable();
    if (!table) return std::nullopt;
    for (const auto& a : *table)
        if (a.index == adapterIndex) return a;
    return std::nullopt;
}

std::string GetAdapterAddress(uint32_t adapterIndex) {
    auto a = FindAdapter(adapterIndex);
    return a ? a->address : std::string();
}

std::string GetAdapterSubnetMask(uint32_t adapterIndex) {
    auto a = FindAdapter(adapterIndex);
    return a ? a->mask : std::string();
}

std::string GetAdapterGateway(uint32_t adapterIndex) {
    auto a = FindAdapter(adapterIndex);
    return a ? a->gateway : std::string();
}

std::string GetInterfaceName(uint32_t adapterIndex) {
    auto a = FindAdapter(adapterIndex);
    if (!a) return {};
    return "Ethernet " + std::to_string(adapterIndex) + " (" + a->address + ")";
}

