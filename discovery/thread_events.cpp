#include "discovery/thread_events.h"

#include <algorithm>
#include <chrono>

// ---------------------------------------------------------------------------
// CAutoResetEvent

void CAutoResetEvent::Set() {
    std::vector<std::shared_ptr<Watcher>> toWake;
    {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
        toWake = watchers;
    }
    cv.notify_one();
    // Taking the watcher's mutex orders this wake-up after the watcher's last
    // look at the events, so it cannot be lost.
    for (const auto& w : toWake) {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->cv.notify_all();
    }
}

bool CAutoResetEvent::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    if (timeoutMs < 0) {
        cv.wait(lock, [this] { return signalled; });
    } else if (!cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled; })) {
        return false;
    }
    signalled = false;
    return true;
}

bool CAutoResetEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(mutex);
    return signalled;
}

bool CAutoResetEvent::TryConsume() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!signalled) return false;
    signalled = false;
    return true;
}

void CAutoResetEvent::AddWatcher(const std::shared_ptr<Watcher>& w) {
    std::lock_guard<std::mutex> lock(mutex);
    watchers.push_back(w);
}

void CAutoResetEvent::RemoveWatcher(const std::shared_ptr<Watcher>& w) {
    std::lock_guard<std::mutex> lock(mutex);
    watchers.erase(std::remove(watchers.begin(), watchers.end(), w), watchers.end());
}

int CAutoResetEvent::WaitAny(std::initializer_list<CAutoResetEvent*> events, int timeoutMs) {
    // The index of the first event that was set, whose set is consumed; -1 when none was.
    auto consumeFirst = [&events] {
        int i = 0;
        for (CAutoResetEvent* e : events) {
            if (e->TryConsume()) return i;
            ++i;
        }
        return -1;
    };
    auto w = std::make_shared<Watcher>();
    for (CAutoResetEvent* e : events) e->AddWatcher(w);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int result = -1;
    {
        std::unique_lock<std::mutex> lock(w->mutex);
        for (;;) {
            result = consumeFirst();
            if (result >= 0) break;
            if (timeoutMs < 0) {
                w->cv.wait(lock);
            } else if (w->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                result = consumeFirst();  // one last look: a set may have come with the time-out
                break;
            }
        }
    }
    for (CAutoResetEvent* e : events) e->RemoveWatcher(w);
    return result;
}

// ---------------------------------------------------------------------------
// CStatusText

void CStatusText::Set(const std::string& t) {
    std::lock_guard<std::mutex> lock(mutex);
    text = t;
}

std::string CStatusText::Get() const {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
}
