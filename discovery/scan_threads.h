// The discovery threads of the camera list: the scan cycle (mDNS query and
// collect, multicast query, GigE Vision discovery), the mDNS listener and the
// announcement listener, with the events and flags they share with the view.
#pragma once

#include "discovery/device_list.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Auto-reset event: each Set is consumed by exactly one wait; sets while no one
// waits are remembered once.
class CAutoResetEvent {
public:
    void Set();
    // Waits until set or until timeoutMs (negative: forever); true when it was set.
    bool Wait(int timeoutMs = -1);
    bool IsSet() const;

private:
    mutable std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;
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

class CDiscoveryThreads {
public:
    CDiscoveryThreads(CDeviceList& devices, CStatusText& statusText);
    ~CDiscoveryThreads();  // Stop()

    // listenersRunning := 1; start BonjourListenerThread, AnnouncementListenerThread
    // and ScanThread in this order; then set scanEvent (first cycle).
    void Start();
    // quitEvent, listenersRunning := 0, then waits for the threads (they never
    // touch the list after Stop returns).
    void Stop();

    void SignalScan();                 // scanEvent.Set()
    bool IsScanning() const;           // the scanning flag
    bool ListenersRunning() const;

    // The announcement merge (also used by tests with texts of their own).
    void HandleAnnouncement(uint32_t adapterIndex, const std::string& text);

private:
    void ScanThread();
    void BonjourListenerThread();
    void AnnouncementListenerThread();

    CDeviceList& devices;
    CStatusText& statusText;
    CAutoResetEvent scanEvent;
    CAutoResetEvent quitEvent;
    std::atomic<bool> listenersRunning{false};
    std::atomic<bool> scanning{false};
    std::thread scanThread, bonjourThread, announcementThread;
};
