// Splits one datagram as an announcement, as the announcement listener does
// with whatever arrives on port 1005.
#include "discovery/announcement.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kAnnouncementMaxDatagram) size = kAnnouncementMaxDatagram;
    std::string text = AnnouncementText(data, size);
    std::vector<std::string> fields = SplitAnnouncementFields(text);
    size_t total = 0;
    for (const std::string& f : fields) {
        if (f.empty() || f.find(',') != std::string::npos) std::abort();
        total += f.size();
    }
    if (total > text.size()) std::abort();
    AnnouncementFields parsed;
    if (ParseAnnouncement(text, parsed)) {
        if (fields.empty() || fields[0] != kAnnouncementTag) std::abort();
        if (parsed.ipAddress != (fields.size() > 3 ? fields[3] : std::string())) std::abort();
        if (parsed.hostName != (fields.size() > 2 ? fields[2] : std::string())) std::abort();
    }
    return 0;
}
