// Parses one datagram as an mDNS response and turns it into a record, as the
// listener does with whatever arrives on port 5353.
#include "discovery/bonjour_scanner.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BonjourResponse r;
    if (!ParseBonjourResponse(data, size, 0x7F000001, 5353, r)) return 0;
    size_t end = 0;
    for (const BonjourRecord& rec : r.records) {
        // Records follow each other and lie inside the datagram.
        if (rec.offset < end || rec.size > size || rec.offset > size - rec.size) std::abort();
        if (rec.rdata.size() > rec.size) std::abort();
        end = rec.offset + rec.size;
    }
    if (r.datagram.size() != size) std::abort();
    DeviceInfo info;
    ApplyBonjourRecords(r, info);
    if (info.hostName.size() > size || info.name.size() > size) std::abort();
    return 0;
}
