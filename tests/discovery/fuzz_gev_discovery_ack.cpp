// Feeds arbitrary datagrams to the DISCOVERY_ACK parser and, for those that
// parse, to the model mapping and the list merge with a fixed adapter table.
#include "discovery/adapters.h"
#include "discovery/gev_scanner.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The fuzzer calls on one thread: the table stays installed there.
    static const CAdapterTableSource adapters([] {
        return std::optional<AdapterTable>(AdapterTable{{1, "192.168.1.10", "255.255.255.0", "0.0.0.0", ""}});
    });

    // The first byte picks the sender's family so that odd addresses are covered too.
    sockaddr_storage sender{};
    socklen_t senderLength = 0;
    if (size > 0) {
        switch (data[0] % 3) {
            case 0: {
                auto* s = reinterpret_cast<sockaddr_in*>(&sender);
                s->sin_family = AF_INET;
                s->sin_addr.s_addr = htonl(0xC0A80114);
                senderLength = sizeof(sockaddr_in);
                break;
            }
            case 1: {
                auto* s = reinterpret_cast<sockaddr_in6*>(&sender);
                s->sin6_family = AF_INET6;
                senderLength = sizeof(sockaddr_in6);
                break;
            }
            default:
                senderLength = static_cast<socklen_t>(size % (sizeof sender + 8));
                if (senderLength > 0) std::memcpy(&sender, data, std::min<size_t>(senderLength, std::min(size, sizeof sender)));
                break;
        }
    }
    GEVDiscoveryAnswer answer;
    if (!ParseDiscoveryAck(data, size, reinterpret_cast<const sockaddr*>(&sender), senderLength, answer)) return 0;
    if (size < 256 || answer.status != 0 || answer.answer != 3) __builtin_trap();
    answer.adapterIndex = 1;
    CDeviceList list;
    std::vector<GEVDiscoveryAnswer> answers{answer, answer};
    AddGEVDevices(list, answers);
    if (list.DeviceCount() > 1) __builtin_trap();
    return 0;
}
