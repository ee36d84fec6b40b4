// Events share one process-wide lock and condition: a wait for several events
// then needs no registration with each of them. Events are used for task
// handshakes and similar rare signals, so the shared wake-up costs little.
#include <halvex/platform/event.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

// Pulls the library's start-up object into programs that link it statically.
extern "C" const int halvex_startup_anchor;
[[gnu::used]] static const int* const kStartupAnchor = &halvex_startup_anchor;

namespace ZYRK {

namespace {

struct EventHub {
    std::mutex lock;
    std::condition_variable changed;
};

EventHub& Hub()
{
    static EventHub* hub = new EventHub;  // never destroyed: used at exit
    return *hub;
}

}  // namespace

CEvent::CEvent(bool autoReset, bool signalled) : autoReset_(autoReset), signalled_(signalled) {}

CEvent::~CEvent() = default;

void CEvent::Set()
{
    EventHub& hub = Hub();
    {
        std::lock_guard<std::mutex> guard(hub.lock);
        signalled_ = true;
    }
    hub.changed.notify_all();
}

void CEvent::Reset()
{
    EventHub& hub = Hub();
    std::lock_guard<std::mutex> guard(hub.lock);
    signalled_ = false;
}

int CEvent::Wait(uint32_t timeoutMs)
{
    CEvent* self = this;
    return WaitAny(&self, 1, timeoutMs);
}

int CEvent::WaitAny(CEvent* const* events, int count, uint32_t timeoutMs)
{
    EventHub& hub = Hub();
    std::unique_lock<std::mutex> guard(hub.lock);
    int found = WAIT_TIMEOUT;
    auto ready = [&] {
        for (int i = 0; i < count; ++i) {
            if (events[i] && events[i]->signalled_) {
                found = i;
                return true;
            }
        }
        return false;
    };
    if (timeoutMs == INFINITE_WAIT)
        hub.changed.wait(guard, ready);
    else
        hub.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready);
    if (found >= 0 && events[found]->autoReset_)
        events[found]->signalled_ = false;
    return found;
}

}  // namespace ZYRK
