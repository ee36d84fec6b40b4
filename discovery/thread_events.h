// What the discovery threads share with their owner: auto-reset events (the
// scan and quit signals) and the program's one status line.
#pragma once

#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Auto-reset event: each Set is consumed by exactly one wait; sets while no one
// waits are remembered once.
class CAutoResetEvent {
public:
    void Set();
    // Waits until set or until timeoutMs (negative: forever); true when it was set.
    bool Wait(int timeoutMs = -1);
    bool IsSet() const;

    // Waits until any of `events` is set or until timeoutMs (negative:
    // forever) and consumes that one set. Index of the event (the first in the
    // list when several are set), -1 on time-out.
    static int WaitAny(std::initializer_list<CAutoResetEvent*> events, int timeoutMs = -1);

private:
    struct Watcher {
        std::mutex mutex;
        std::condition_variable cv;
    };
    bool TryConsume();
    void AddWatcher(const std::shared_ptr<Watcher>& w);
    void RemoveWatcher(const std::shared_ptr<Watcher>& w);

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;
    std::vector<std::shared_ptr<Watcher>> watchers;  // waits on several events at once
};

// The one status line of the program; written by the UI thread, the scan
// thread and the IP-change thread, read by the status timer.
class CStatusText {
public:
    void Set(const std::string& text);
    std::string Get() const;

private:
    mutable std::mutex mutex;
    std::string text;
};
