#include "tools/camsim/announce.h"

namespace camsim {

std::string AnnouncementText(const Camera& c) {
    return "$TOVRA," + (c.announceName.empty() ? c.userName : c.announceName) + "," + c.hostName + "," +
           FormatAddress(c.address);
}

std::vector<Reply> DueAnnouncements(Cameras& cameras, Clock::time_point now) {
    std::vector<Reply> out;
    for (size_t i = 0; i < cameras.size(); ++i) {
        Camera& c = cameras[i];
        if (!c.announce || c.nextAnnouncement > now) continue;
        std::string text = AnnouncementText(c);
        out.push_back(Reply{i, 0xFFFFFFFF, kAnnouncePort, std::vector<uint8_t>(text.begin(), text.end()), 0, false});
        c.nextAnnouncement = now + std::chrono::milliseconds(std::max(c.announceIntervalMs, 50));
    }
    return out;
}

bool NextAnnouncement(const Cameras& cameras, Clock::time_point& when) {
    bool any = false;
    for (const Camera& c : cameras) {
        if (!c.announce) continue;
        if (!any || c.nextAnnouncement < when) when = c.nextAnnouncement;
        any = true;
    }
    return any;
}

}  // namespace camsim
