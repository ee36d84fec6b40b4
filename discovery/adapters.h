// The program's view of the local IPv4 adapters: the adapter table, lookups by
// adapter index and the MAC address of a camera from the neighbour table.
// Nothing is cached: every lookup reads the table anew, unless the calling
// thread holds a snapshot of it (CAdapterTableSnapshot).
#pragma once

#include "discovery/ipv4.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct AdapterInfo {
    uint32_t index = 0;          // kernel interface index: the adapter's identity everywhere
    std::string address;         // first IPv4 address, dotted decimal; "0.0.0.0" when none
    std::string mask;            // subnet mask of that address; "0.0.0.0" when none
    std::string gateway;         // first default gateway through this adapter; "0.0.0.0" when none
    std::string device;          // kernel device name (eth0, ...): what sockets bind to on Linux
};

using AdapterTable = std::vector<AdapterInfo>;

// Where a thread reads the adapter table from.
using AdapterTableProvider = std::function<std::optional<AdapterTable>()>;

// The system's table: IPv4-capable interfaces that are up, loopback left out,
// ordered by index. Empty optional when the table cannot be read.
std::optional<AdapterTable> ReadSystemAdapterTable();

// The adapter table as the calling thread sees it: the reading of the
// snapshot it holds (CAdapterTableSnapshot), else what the source installed
// for it gives (CAdapterTableSource), else the system's table.
std::optional<AdapterTable> ReadAdapterTable();

// For the life of the object, the calling thread reads the adapter table
// from `source` (null: the system's table). A source installed while another
// is hides it until its own end; a snapshot the thread holds still wins.
// The discovery threads install the source they were given; any other
// thread reads the system's table until it installs one itself.
class CAdapterTableSource {
public:
    explicit CAdapterTableSource(AdapterTableProvider source);
    ~CAdapterTableSource();
    // The source installed for the calling thread (null: none, the system's
    // table). A thread that starts others hands it to them, so that they
    // read the table it reads.
    static AdapterTableProvider Current();
    CAdapterTableSource(const CAdapterTableSource&) = delete;
    CAdapterTableSource& operator=(const CAdapterTableSource&) = delete;

private:
    AdapterTableProvider source;
    const AdapterTableProvider* outer;
};

// For the life of the object, ReadAdapterTable and the lookups by index on
// the calling thread see one reading of the table: a scan cycle or a batch of
// merges reads it once instead of several times per camera. A snapshot made
// while another is active on the thread keeps the outer one.
class CAdapterTableSnapshot {
public:
    CAdapterTableSnapshot();                                      // reads the table now
    explicit CAdapterTableSnapshot(std::optional<AdapterTable> table);  // this reading
    ~CAdapterTableSnapshot();
    CAdapterTableSnapshot(const CAdapterTableSnapshot&) = delete;
    CAdapterTableSnapshot& operator=(const CAdapterTableSnapshot&) = delete;

private:
    std::optional<AdapterTable> table;
    bool active = false;
};

// First entry with that index, or none.
std::optional<AdapterInfo> FindAdapter(uint32_t adapterIndex);

std::string GetAdapterAddress(uint32_t adapterIndex);     // empty when not found
std::string GetAdapterSubnetMask(uint32_t adapterIndex);  // empty when not found
std::string GetAdapterGateway(uint32_t adapterIndex);     // empty when not found
// "Ethernet <index> (<first address>)", empty when not found.
std::string GetInterfaceName(uint32_t adapterIndex);

// Reader of the kernel's route table (exposed for tests).
// /proc/net/route: device name to the dotted text of its first default gateway.
#include <map>
std::map<std::string, std::string> ParseDefaultGateways(const std::string& routeText);
