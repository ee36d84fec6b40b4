// Announcements: "$TOVRA,<name part 1>,<host name>,<address>" broadcast to UDP 1005.
#pragma once

#include "tools/camsim/camera.h"

namespace camsim {

constexpr uint16_t kAnnouncePort = 1005;

std::string AnnouncementText(const Camera& camera);
// Announcements of every camera whose interval has run out; moves their next time on.
std::vector<Reply> DueAnnouncements(Cameras& cameras, Clock::time_point now);
// The earliest next announcement, or none when no camera announces.
bool NextAnnouncement(const Cameras& cameras, Clock::time_point& when);

}  // namespace camsim
