// mDNS / DNS-SD discovery: the query for the cameras' service type, sent on
// every adapter either from an ephemeral port (responders answer by unicast and
// the scanner collects the answers itself) or from port 5353 (responders answer
// to the multicast group, where the mDNS listener thread picks them up), the
// response parser, and the turning of parsed responses into list records.
#pragma once

#include "discovery/adapters.h"
#include "discovery/device_list.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The service type every scan cycle asks for.
inline constexpr const char* kCameraServiceType = "_zyrk-ircam._tcp.local";

// mDNS port and group.
inline constexpr uint16_t kMdnsPort = 5353;
inline constexpr const char* kMdnsGroup = "224.0.0.251";

// Largest datagram the scanner and the listener accept: mDNS allows up to
// 9000 bytes. A longer one is dropped alone; the answers beside it stay.
inline constexpr size_t kMdnsMaxDatagram = 9000;

// Record types the conversion reads.
enum BonjourRecordType : uint16_t {
    kRecordA = 1,
    kRecordTXT = 16,
    kRecordAAAA = 28,
    kRecordSRV = 33,
};

// One resource record of a response.
struct BonjourRecord {
    uint16_t type = 0;
    size_t offset = 0;          // where the record starts in the datagram
    size_t size = 0;            // bytes the whole record takes
    std::string ownerName;
    std::vector<uint8_t> rdata;
};

// One parsed response datagram.
struct BonjourResponse {
    uint32_t senderAddress = 0;  // host order
    uint16_t senderPort = 0;
    bool hasQuestion = false;
    uint16_t questionType = 0;
    std::string questionName;
    std::vector<BonjourRecord> records;  // datagram order
    uint32_t adapterIndex = 0;
    std::vector<uint8_t> datagram;
};

// The DNS query for `serviceType`: ID 0, flags 0, one question of type ANY
// (0x00FF), class IN without the unicast-response bit. 40 bytes for the
// camera service type.
std::vector<uint8_t> BuildBonjourQuery(const std::string& serviceType);

// Parses one received datagram. Fails on an empty datagram, on flags other
// than exactly 0x8400, on an unreadable question name and on any read past the
// datagram's end (the records read before it are lost with it). Records are
// read until the datagram ends; the header's record counts are not used. Pure:
// safe on any input. On success `out` holds the sender, the question, the
// records and the datagram's bytes; the adapter index is the caller's to set.
bool ParseBonjourResponse(const uint8_t* data, size_t size, uint32_t senderAddress, uint16_t senderPort,
                          BonjourResponse& out);

// Fills the record-derived fields of `info` from one response: host name from
// A/AAAA owner names and the first label of the SRV target, name, service name
// and port from the SRV record, TXT keys (the first value of a key wins). A
// later record overwrites what an earlier one set. Pure.
void ApplyBonjourRecords(const BonjourResponse& response, DeviceInfo& info);

using MacLookupFn = std::function<bool(const std::string& address, const std::string& source, std::string& mac)>;

// The whole record for one response: sender address, adapter's interface
// name, mask and gateway (network byte order), MAC address through `lookup`
// from the adapter's first address, then the records.
DeviceInfo MakeBonjourDeviceInfo(const BonjourResponse& response, const MacLookupFn& lookup);

// Merges every response, in list order, into the list.
void AddBonjourDevices(CDeviceList& list, const std::vector<BonjourResponse>& responses, const MacLookupFn& lookup);

// What a scan cycle asks of mDNS discovery: CBonjourScanner on the network,
// stand-ins in tests.
class IBonjourScanner {
public:
    virtual ~IBonjourScanner() = default;
    virtual bool QueryAndCollect(int windowSeconds, std::vector<BonjourResponse>& responses,
                                 const std::string& serviceType) = 0;
    virtual bool MulticastQuery(const std::string& serviceType) = 0;
};

class CBonjourScanner : public IBonjourScanner {
public:

    // Where queries go: the mDNS group and port unless a test points them at a
    // loopback responder.
    void SetDestination(const std::string& address, uint16_t port);

    // Query-and-collect: on every adapter whose first address is not zero, in
    // table order, sends the query from an ephemeral port and collects the
    // answers for `windowSeconds`. `responses` is emptied first. Always true.
    // A datagram that is too long or does not parse is dropped alone; a wait
    // that fails ends the adapter's collection with what it collected so far.
    bool QueryAndCollect(int windowSeconds, std::vector<BonjourResponse>& responses,
                         const std::string& serviceType) override;

    // Adapters one after another (the window's scan cycle, one window per
    // adapter), or all at once in one window (the command-line scan). The
    // responses come in table order either way.
    void SetConcurrentAdapters(bool on) { concurrentAdapters = on; }

    // Multicast query: on every adapter whose first address is not zero, sends
    // the query from port 5353 (the destination port when redirected) so that
    // the answers go to the group. Always true.
    bool MulticastQuery(const std::string& serviceType) override;

    // Asked between adapters and at least every 100 ms while collecting:
    // true ends the query early (the scan thread's owner is going away).
    std::function<bool()> stopRequested;

private:
    std::string destination = kMdnsGroup;
    uint16_t destinationPort = kMdnsPort;
    bool concurrentAdapters = false;
};
