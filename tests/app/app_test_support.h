// Helpers of the window program's tests: a discovery stand-in that records
// what the view asks of it (no thread, no socket), a made-up adapter table,
// and scan results built the way the discovery sources build them.
#pragma once

#include "app/teliox_view.h"
#include "discovery/adapters.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <memory>

struct FakeDiscoveryState {
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<int> scans{0};
    std::atomic<bool> scanning{false};
};

class FakeDiscovery : public IDiscoveryControl {
public:
    explicit FakeDiscovery(std::shared_ptr<FakeDiscoveryState> state) : state(std::move(state)) {}
    void Start() override {
        ++state->starts;
        ++state->scans;  // the first scan
    }
    void Stop() override { ++state->stops; }
    void SignalScan() override { ++state->scans; }
    bool IsScanning() const override { return state->scanning; }

private:
    std::shared_ptr<FakeDiscoveryState> state;
};

inline DiscoveryFactory FakeFactory(const std::shared_ptr<FakeDiscoveryState>& state) {
    return [state](CDeviceList&, CStatusText&) { return std::make_unique<FakeDiscovery>(state); };
}

// Adapter 2: 192.168.0.10/24 via 192.168.0.1; adapter 3: 10.1.0.5/16 via 10.1.0.1.
inline AdapterTable TestAdapterTable() {
    AdapterTable table;
    table.push_back({2, "192.168.0.10", "255.255.255.0", "192.168.0.1", "lab0"});
    table.push_back({3, "10.1.0.5", "255.255.0.0", "10.1.0.1", "lab1"});
    return table;
}

// Installs an adapter table on the test's (the window's) thread for one test
// and restores the system's afterwards.
class ScopedAdapterTable {
public:
    explicit ScopedAdapterTable(std::optional<AdapterTable> table) : source([table] { return table; }) {}

private:
    CAdapterTableSource source;
};

// A view over the discovery stand-in, with the made-up adapter table; rows
// come in through the merge, as discovery would add them.
class FakeViewTest : public ::testing::Test {
protected:
    void MakeView(int width, int height) {
        view = std::make_unique<CTelioxView>(nullptr, FakeFactory(state));
        view->resize(width, height);
    }
    void Add(const DeviceInfo& info) {
        view->Devices().AddOrUpdateDevice(info);
        view->FlushRowChanges();
    }

    ScopedAdapterTable adapters{TestAdapterTable()};
    std::shared_ptr<FakeDiscoveryState> state = std::make_shared<FakeDiscoveryState>();
    std::unique_ptr<CTelioxView> view;
};

inline DeviceInfo CameraInfo(const std::string& name, const std::string& ip, const std::string& platform,
                             const std::string& model = {}, uint32_t adapterIndex = 2) {
    DeviceInfo info;
    info.name = name;
    info.hostName = name + "-host";
    info.ipAddress = ip;
    info.macAddress = "00:11:22:33:44:55";
    info.macKnown = true;
    info.adapterIndex = adapterIndex;
    info.interfaceName = "Ethernet " + std::to_string(adapterIndex) + " (192.168.0.10)";
    info.txt["bsp"] = platform;
    if (!model.empty()) info.txt["model"] = model;
    return info;
}

// Processes events until `done` holds or a generous bound passes (no timing is asserted).
template <typename Pred>
bool ProcessEventsUntil(Pred done, int boundMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}
