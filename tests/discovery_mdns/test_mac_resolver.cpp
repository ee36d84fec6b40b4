// The MAC resolver against a neighbour table of the test's own: bounded look-ups,
// one look-up per address, remembered results, no fill after Stop, and the
// list's filling of a row that was merged without its MAC address.
#include "discovery/device_list.h"
#include "discovery/mac_resolver.h"
#include "fake_neighbours.h"
#include "mdns_test_util.h"

#include <gtest/gtest.h>

#include <thread>

using namespace mdnstest;
using namespace std::chrono_literals;

namespace {

struct Fills {
    std::mutex mutex;
    std::vector<std::string> lines;
    CMacResolver::FillFn Fn() {
        return [this](uint32_t adapter, const std::string& address, const std::string& mac) {
            std::lock_guard<std::mutex> l(mutex);
            lines.push_back(std::to_string(adapter) + " " + address + " " + mac);
        };
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> l(mutex);
        return lines;
    }
};

}  // namespace

TEST(MacResolver, LookupsInFlightAndWaitingAreBounded) {
    auto table = std::make_shared<FakeNeighbours>();  // nothing ever resolves
    Fills fills;
    MacResolverLimits limits;
    limits.maxInFlight = 3;
    limits.maxQueued = 4;
    limits.timeout = 30s;
    CMacResolver r(table, fills.Fn(), limits);
    r.Start();
    for (int i = 1; i <= 3; ++i) r.Request(1, 1, "10.0.0." + std::to_string(i));
    ASSERT_TRUE(Eventually([&] { return table->Running() == 3; }));
    for (int i = 4; i <= 9; ++i) r.Request(1, 1, "10.0.0." + std::to_string(i));
    EXPECT_EQ(r.Dropped(), 2u) << "four wait, the rest is dropped";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(table->MaxRunning(), 3);
    EXPECT_FALSE(r.WaitIdle(std::chrono::steady_clock::now() + 20ms));

    // Stop ends the look-ups in progress instead of waiting out their 30 s.
    const auto start = std::chrono::steady_clock::now();
    r.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(table->Running(), 0);
    EXPECT_EQ(table->Calls().size(), 3u);
    EXPECT_TRUE(fills.Get().empty());
}

TEST(MacResolver, OneLookupPerAddressFillsEveryRowAndIsRemembered) {
    auto table = std::make_shared<FakeNeighbours>();
    table->Set("10.0.0.7", "02:00:00:00:00:07", 100ms);
    Fills fills;
    CMacResolver r(table, fills.Fn());
    r.Start();
    r.Request(5, 5, "10.0.0.7");
    r.Request(5, 6, "10.0.0.7");  // the same camera listed on a second adapter's row
    r.Request(5, 5, "10.0.0.7");
    ASSERT_TRUE(r.WaitIdle(std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(table->Calls().size(), 1u);
    auto got = fills.Get();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"5 10.0.0.7 02:00:00:00:00:07", "6 10.0.0.7 02:00:00:00:00:07"}));

    std::string mac;
    EXPECT_TRUE(r.Known(5, "10.0.0.7", mac));
    EXPECT_EQ(mac, "02:00:00:00:00:07");
    EXPECT_FALSE(r.Known(0, "10.0.0.7", mac)) << "remembered per adapter it was resolved on";
    // A row made again (after a refresh) gets the remembered address at once.
    r.Request(5, 9, "10.0.0.7");
    EXPECT_EQ(fills.Get().back(), "9 10.0.0.7 02:00:00:00:00:07");
    EXPECT_EQ(table->Calls().size(), 1u);
}

TEST(MacResolver, AddressesThatDidNotResolveAreNotAskedAgainAtOnce) {
    auto table = std::make_shared<FakeNeighbours>();
    Fills fills;
    MacResolverLimits limits;
    limits.timeout = 30ms;
    CMacResolver r(table, fills.Fn(), limits);
    r.Start();
    r.Request(1, 1, "10.0.0.9");
    ASSERT_TRUE(Eventually([&] { return r.Completed() == 1; }));
    for (int i = 0; i < 5; ++i) r.Request(1, 1, "10.0.0.9");  // an announcer, once a second
    ASSERT_TRUE(r.WaitIdle(std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(table->Calls().size(), 1u);

    limits.retryAfter = 0ms;
    CMacResolver eager(table, fills.Fn(), limits);
    eager.Start();
    eager.Request(1, 1, "10.0.0.9");
    ASSERT_TRUE(Eventually([&] { return eager.Completed() == 1; }));
    eager.Request(1, 1, "10.0.0.9");
    ASSERT_TRUE(Eventually([&] { return eager.Completed() == 2; }));
    EXPECT_TRUE(fills.Get().empty());
}

TEST(MacResolver, AddressesWithoutNeighbourEntryAreNeverAskedFor) {
    auto table = std::make_shared<FakeNeighbours>();
    Fills fills;
    CMacResolver r(table, fills.Fn());
    r.Start();
    for (const char* a : {"224.0.0.1", "224.0.0.251", "255.255.255.255", "0.0.0.0", "127.0.0.1", "", "not-an-ip",
                          "192.168.000.005"})
        r.Request(1, 1, a);
    EXPECT_TRUE(r.WaitIdle(std::chrono::steady_clock::now() + 1s));
    EXPECT_TRUE(table->Calls().empty());
}

TEST(MacResolver, NothingIsFilledAfterStop) {
    auto table = std::make_shared<FakeNeighbours>();
    table->Set("10.0.0.5", "02:00:00:00:00:05", 200ms);
    Fills fills;
    CMacResolver r(table, fills.Fn());
    r.Start();
    r.Request(1, 1, "10.0.0.5");
    ASSERT_TRUE(Eventually([&] { return table->Running() == 1; }));
    r.Stop();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(fills.Get().empty());
    r.Request(1, 1, "10.0.0.5");  // stopped: ignored
    EXPECT_EQ(table->Calls().size(), 1u);
    // And it starts again.
    r.Start();
    r.Request(1, 1, "10.0.0.5");
    ASSERT_TRUE(r.WaitIdle(std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(fills.Get(), (std::vector<std::string>{"1 10.0.0.5 02:00:00:00:00:05"}));
}

// The list's side: a late MAC address goes into the rows of that address on
// that adapter whose MAC address is still empty, never over a known one.
TEST(MacResolver, ListFillsOnlyEmptyMacCellsOfTheMatchingRows) {
    CDeviceList list;
    auto add = [&](const std::string& host, const std::string& address, uint32_t adapter, const std::string& mac) {
        DeviceInfo d;
        d.name = d.hostName = host;
        d.ipAddress = address;
        d.adapterIndex = adapter;
        d.macAddress = mac;
        d.txt = {{"bsp", "QD"}};
        list.AddOrUpdateDevice(d);
    };
    add("a", "10.0.0.1", 1, "");
    add("b", "10.0.0.1", 2, "");
    add("c", "10.0.0.2", 1, "02:00:00:00:00:AA");
    EXPECT_TRUE(list.FillMacAddress(1, "10.0.0.1", "02:00:00:00:00:01"));
    EXPECT_FALSE(list.FillMacAddress(1, "10.0.0.2", "02:00:00:00:00:02")) << "a known MAC address is kept";
    EXPECT_FALSE(list.FillMacAddress(3, "10.0.0.1", "02:00:00:00:00:03"));
    EXPECT_FALSE(list.FillMacAddress(2, "10.0.0.1", ""));
    auto rows = list.Snapshot();
    EXPECT_EQ(rows[0].macAddress, "02:00:00:00:00:01");
    EXPECT_EQ(rows[1].macAddress, "");
    EXPECT_EQ(rows[2].macAddress, "02:00:00:00:00:AA");
}

// Waiting for the look-ups leaves out those that have run for the patience
// given already, and waits for younger ones (boundedly).
TEST(MacResolver, WaitIdleLeavesOutLookupsOlderThanThePatience) {
    auto table = std::make_shared<FakeNeighbours>();  // 10.0.0.1 never resolves
    table->Set("10.0.0.2", "02:00:00:00:00:02", 150ms);
    Fills fills;
    MacResolverLimits limits;
    limits.timeout = 30s;
    CMacResolver r(table, fills.Fn(), limits);
    r.Start();
    r.Request(1, 1, "10.0.0.1");
    ASSERT_TRUE(Eventually([&] { return table->Running() == 1; }));
    std::this_thread::sleep_for(120ms);
    EXPECT_TRUE(r.WaitIdle(std::chrono::steady_clock::now() + 20s, 100ms)) << "waited for an old look-up";
    EXPECT_FALSE(r.WaitIdle(std::chrono::steady_clock::now() + 20ms)) << "without patience it is still running";
    r.Request(1, 1, "10.0.0.2");  // young: waited for until it resolves
    EXPECT_TRUE(r.WaitIdle(std::chrono::steady_clock::now() + 20s, 1000ms));
    EXPECT_EQ(fills.Get(), (std::vector<std::string>{"1 10.0.0.2 02:00:00:00:00:02"}));
    r.Stop();
}
