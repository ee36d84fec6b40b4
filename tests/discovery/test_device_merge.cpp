// The merge of scan results into the camera list, the platform rules and
// reachability, with a sink that records every row change.
#include "discovery/device_list.h"
#include "loopback_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

using ::testing::ElementsAre;

namespace {

DeviceInfo Record(const std::string& name, const std::string& ip, uint32_t adapter, const std::string& bsp = "J3") {
    DeviceInfo i;
    i.name = name;
    i.hostName = name.empty() ? "host" : "host-" + name;
    i.ipAddress = ip;
    i.adapterIndex = adapter;
    i.interfaceName = GetInterfaceName(adapter);
    i.macAddress = "00:11:22:33:44:55";
    if (!bsp.empty()) i.txt["bsp"] = bsp;
    return i;
}

class Merge : public ::testing::Test {
protected:
    ScopedAdapterTable table{AdapterTable{MakeAdapter(11, "192.168.1.10", "255.255.255.0"),
                                          MakeAdapter(12, "10.0.0.5", "255.0.0.0")}};
    RecordingSink sink;
    CDeviceList list{&sink};
};

}  // namespace

TEST_F(Merge, NewRowThenRefreshOfTheSameCamera) {
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.20", 11));
    EXPECT_THAT(sink.Take(), ElementsAre("insert 0 cam1", "text 0 1 192.168.1.20", "text 0 2 00:11:22:33:44:55",
                                         "text 0 3 Ethernet 11 (192.168.1.10)", "image 0 0 0"));

    // Same address, same adapter, another name and MAC: one row; only the
    // address, image and interface are refreshed.
    auto again = Record("other", "192.168.1.20", 11);
    again.macAddress = "AA:AA:AA:AA:AA:AA";
    list.AddOrUpdateDevice(again);
    EXPECT_THAT(sink.Take(), ElementsAre("text 0 3 Ethernet 11 (192.168.1.10)", "text 0 1 192.168.1.20", "image 0 0 0",
                                         "text 0 2 00:11:22:33:44:55", "text 0 3 Ethernet 11 (192.168.1.10)"));
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "cam1");
    EXPECT_EQ(rows[0].hostName, "host-cam1");
    EXPECT_EQ(rows[0].macAddress, "00:11:22:33:44:55");

    // An update without interface name empties the cell but keeps the record's name.
    auto bare = Record("cam1", "192.168.1.20", 11);
    bare.interfaceName.clear();
    list.AddOrUpdateDevice(bare);
    EXPECT_THAT(sink.Take(), ElementsAre("text 0 1 192.168.1.20", "image 0 0 0", "text 0 2 00:11:22:33:44:55",
                                         "text 0 3 "));
    EXPECT_EQ(list.Snapshot()[0].interfaceName, "Ethernet 11 (192.168.1.10)");
}

TEST_F(Merge, SameAddressOnTwoAdaptersGivesTwoRows) {
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.20", 11));
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.20", 12));
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].interfaceName, "Ethernet 11 (192.168.1.10)");
    EXPECT_EQ(rows[1].interfaceName, "Ethernet 12 (10.0.0.5)");
    EXPECT_EQ(rows[1].row, 1);
    EXPECT_TRUE(rows[0].reachable);
    EXPECT_FALSE(rows[1].reachable);
    auto calls = sink.Take();
    EXPECT_EQ(calls.back(), "image 1 0 1");  // red cross: not on adapter 12's subnet
}

TEST_F(Merge, NameNormalisation) {
    EXPECT_EQ(NormaliseDeviceName("  cam1.site.local"), "cam1");
    EXPECT_EQ(NormaliseDeviceName("\tcam2 \r\n"), "cam2");
    EXPECT_EQ(NormaliseDeviceName(".hidden.local"), ".hidden.local");
    EXPECT_EQ(NormaliseDeviceName("a.b"), "a");
    EXPECT_EQ(NormaliseDeviceName("   "), "");
    EXPECT_EQ(NormaliseDeviceName("Kamera Süd.local"), "Kamera Süd");

    list.AddOrUpdateDevice(Record("  cam1.site.local", "192.168.1.20", 11));
    ASSERT_EQ(list.DeviceCount(), 1);
    EXPECT_EQ(list.Snapshot()[0].name, "cam1");
    // A new record whose name normalises to nothing is dropped.
    list.AddOrUpdateDevice(Record("   ", "192.168.1.21", 11));
    EXPECT_EQ(list.DeviceCount(), 1);
}

TEST_F(Merge, EmptyHostNameNeverChangesTheList) {
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.20", 11));
    sink.Take();
    auto r = Record("cam1", "192.168.1.20", 11);
    r.hostName.clear();
    list.AddOrUpdateDevice(r);
    r.ipAddress = "192.168.1.99";
    list.AddOrUpdateDevice(r);
    EXPECT_TRUE(sink.Take().empty());
    EXPECT_EQ(list.DeviceCount(), 1);
}

TEST_F(Merge, TxtKeysSetPlatformModelAndLock) {
    auto disabled = Record("cam1", "192.168.1.20", 11, "j3");  // codes ignore case
    disabled.txt["enabled"] = "FALSE";
    disabled.txt["model"] = "X";
    list.AddOrUpdateDevice(disabled);
    auto calls = sink.Take();
    EXPECT_EQ(calls.back(), "image 0 4 2");
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].disabled);
    EXPECT_EQ(rows[0].platform, "j3");
    EXPECT_EQ(rows[0].model, "X");
    EXPECT_TRUE(rows[0].listed);

    auto no = Record("cam2", "192.168.1.21", 11);
    no.txt["enabled"] = "no";
    list.AddOrUpdateDevice(no);
    calls = sink.Take();
    EXPECT_EQ(calls.back(), "image 1 0 0");
    EXPECT_FALSE(list.Snapshot()[1].disabled);
}

TEST_F(Merge, UnlistablePlatformsAreDroppedEveryTime) {
    list.AddOrUpdateDevice(Record("x", "192.168.1.20", 11, "ZZ"));
    list.AddOrUpdateDevice(Record("x", "192.168.1.20", 11, ""));  // no TXT at all
    auto md = Record("m", "192.168.1.21", 11, "M");
    md.txt["model"] = "D";
    list.AddOrUpdateDevice(md);
    EXPECT_EQ(list.DeviceCount(), 0);
    EXPECT_TRUE(sink.Take().empty());
    auto ml = Record("m", "192.168.1.21", 11, "M");
    ml.txt["model"] = "l";
    list.AddOrUpdateDevice(ml);
    EXPECT_EQ(list.DeviceCount(), 1);
}

TEST_F(Merge, AnnouncedCameraOffSubnetIsReachable) {
    auto qd = Record("announced", "172.16.9.9", 11, "QD");
    list.AddOrUpdateDevice(qd);
    EXPECT_EQ(sink.Take().back(), "image 0 0 0");
    EXPECT_TRUE(list.Snapshot()[0].reachable);
}

// Announcements whose address field is empty or free text carry no address
// to tell cameras apart: each host name keeps a row of its own, and the same
// host announcing again refreshes its row.
TEST_F(Merge, CamerasWithoutAnAddressAreToldApartByHostName) {
    for (const char* text : {"", "not-an-ip"}) {
        CDeviceList own;
        own.AddOrUpdateDevice(Record("a", text, 11, "QD"));
        own.AddOrUpdateDevice(Record("b", text, 11, "QD"));
        own.AddOrUpdateDevice(Record("a", text, 11, "QD"));
        const auto rows = own.Snapshot();
        ASSERT_EQ(rows.size(), 2u) << '"' << text << '"';
        EXPECT_EQ(rows[0].hostName, "host-a");
        EXPECT_EQ(rows[1].hostName, "host-b");
        EXPECT_EQ(rows[1].ipAddress, text);
    }
}

TEST_F(Merge, PendingChangeShowsOnTheNextUpdate) {
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.20", 11));
    ASSERT_TRUE(list.WithDevice(0, [](CDevice& d) {
        d.ipChangePending = true;
        d.ipAddress = "192.168.1.50";
    }));
    sink.Take();
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.50", 11));
    auto calls = sink.Take();
    EXPECT_THAT(calls, ::testing::Contains("image 0 0 4"));
    EXPECT_EQ(list.DeviceCount(), 1);
    EXPECT_FALSE(list.WithDevice(5, [](CDevice&) {}));
    EXPECT_FALSE(list.WithDevice(-1, [](CDevice&) {}));
}

TEST_F(Merge, RefreshThenTheKnownCameraIsRowZeroAgain) {
    list.AddOrUpdateDevice(Record("cam1", "192.168.1.20", 11));
    list.AddOrUpdateDevice(Record("cam2", "192.168.1.21", 11));
    list.RemoveAll();
    EXPECT_EQ(list.DeviceCount(), 0);
    sink.Take();
    list.AddOrUpdateDevice(Record("cam2", "192.168.1.21", 11));
    auto calls = sink.Take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "insert 0 cam2");
    EXPECT_EQ(list.Snapshot()[0].row, 0);
}

TEST(PlatformRules, Table) {
    struct Case {
        const char* platform;
        const char* model;
        bool listable, modify, gev;
    } cases[] = {
        {"M", "L", true, true, false},   {"m", "l", true, true, false},    {"M", "D", false, false, true},
        {"M", "", false, false, false},  {"J3", "", true, true, false},    {"w6", "", true, true, false},
        {"HU", "", true, true, true},    {"hv", "", true, true, true},     {"B9", "", true, true, false},
        {"QD", "", true, false, false},  {"V6Q", "", true, false, false},  {"u6", "", true, false, false},
        {"W", "", true, false, false},   {"J", "", false, false, false},   {"", "", false, false, false},
        {"HUX", "", false, false, false},
    };
    for (const auto& c : cases) {
        CDevice d;
        d.platform = c.platform;
        d.model = c.model;
        EXPECT_EQ(IsListable(d), c.listable) << c.platform << "/" << c.model;
        EXPECT_EQ(CanModifyIP(d), c.modify) << c.platform << "/" << c.model;
        EXPECT_EQ(UsesGEVControl(d), c.gev) << c.platform << "/" << c.model;
    }
}

TEST(Reachability, AgainstTheAdapterTable) {
    ScopedAdapterTable table(AdapterTable{MakeAdapter(3, "169.254.3.4", "255.255.0.0")});
    CDevice d;
    d.platform = "J3";
    d.adapterIndex = 3;
    d.ipAddress = "169.254.200.1";
    EXPECT_TRUE(IsReachable(d));
    d.ipAddress = "169.253.0.1";
    EXPECT_FALSE(IsReachable(d));
    d.adapterIndex = 4;  // vanished adapter
    d.ipAddress = "169.254.200.1";
    EXPECT_FALSE(IsReachable(d));
    d.platform = "qd";
    EXPECT_TRUE(IsReachable(d));
}

TEST(Reachability, UnreadableTable) {
    ScopedAdapterTable table(std::nullopt);
    CDevice d;
    d.platform = "J3";
    d.ipAddress = "192.168.1.1";
    EXPECT_FALSE(IsReachable(d));
}

// Three sources merge at once while the window refreshes: every address ends
// in at most one row, rows stay numbered by position, and the records and the
// row count never drift apart.
TEST_F(Merge, ConcurrentSourcesAndRefresh) {
    const int kPerSource = 200;
    std::vector<std::thread> sources;
    for (int s = 0; s < 3; ++s)
        sources.emplace_back([&, s] {
            for (int i = 0; i < kPerSource; ++i)
                list.AddOrUpdateDevice(Record("cam" + std::to_string(i), "192.168.1." + std::to_string(i % 50), 11));
            (void)s;
        });
    std::thread refresher([&] {
        for (int i = 0; i < 20; ++i) {
            list.RemoveAll();
            (void)list.Snapshot();
            std::this_thread::yield();
        }
    });
    for (auto& t : sources) t.join();
    refresher.join();
    auto rows = list.Snapshot();
    EXPECT_LE(rows.size(), 50u);
    std::set<std::string> addresses;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].row, static_cast<int>(i));
        EXPECT_TRUE(addresses.insert(rows[i].ipAddress).second) << "duplicate row for " << rows[i].ipAddress;
    }
    EXPECT_EQ(list.DeviceCount(), static_cast<int>(rows.size()));
}

// Two cameras that share an address: a row each, both marked, and the
// rule of the merge that matches by address alone still holds whenever one
// of the two MAC addresses is unknown.
namespace {

class TipSink : public RecordingSink {
public:
    void SetItemToolTip(int row, int column, const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        tips.push_back("tip " + std::to_string(row) + " " + std::to_string(column) + " " + text);
    }
    std::vector<std::string> TakeTips() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(tips, {});
    }

private:
    std::mutex mutex;
    std::vector<std::string> tips;
};

DeviceInfo WithMac(DeviceInfo info, const std::string& mac, bool known = true) {
    info.macAddress = mac;
    info.macKnown = known;
    return info;
}

class SharedAddress : public ::testing::Test {
protected:
    ScopedAdapterTable table{AdapterTable{MakeAdapter(11, "192.168.1.10", "255.255.255.0"),
                                          MakeAdapter(12, "10.0.0.5", "255.0.0.0")}};
    TipSink sink;
    CDeviceList list{&sink};
};

}  // namespace

TEST_F(SharedAddress, DifferentKnownMacsGiveTwoMarkedRows) {
    list.AddOrUpdateDevice(WithMac(Record("a", "192.168.1.20", 11), "02:00:00:00:00:0A"));
    sink.Take();
    EXPECT_TRUE(sink.TakeTips().empty());
    EXPECT_EQ(list.SharedAddressCount(), 0);

    list.AddOrUpdateDevice(WithMac(Record("b", "192.168.1.20", 11), "02:00:00:00:00:0B"));
    const auto calls = sink.Take();
    EXPECT_EQ(calls.front(), "insert 1 b");
    EXPECT_THAT(calls, ::testing::Contains("image 0 1 5"));
    EXPECT_THAT(calls, ::testing::Contains("image 1 1 5"));
    EXPECT_THAT(sink.TakeTips(),
                ::testing::UnorderedElementsAre("tip 0 1 Duplicate IP address: also used by 02:00:00:00:00:0B",
                                                "tip 1 1 Duplicate IP address: also used by 02:00:00:00:00:0A"));
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_THAT(rows[0].sharedAddressMacs, ElementsAre("02:00:00:00:00:0B"));
    EXPECT_THAT(rows[1].sharedAddressMacs, ElementsAre("02:00:00:00:00:0A"));
    EXPECT_EQ(list.SharedAddressCount(), 2);

    // Each camera's next answer refreshes its own row, and the marks do not
    // flicker: nothing about them is sent again.
    list.AddOrUpdateDevice(WithMac(Record("b", "192.168.1.20", 11), "02:00:00:00:00:0b"));
    const auto update = sink.Take();
    EXPECT_THAT(update, ::testing::Contains("text 1 1 192.168.1.20"));
    EXPECT_THAT(update, ::testing::Not(::testing::Contains("text 0 1 192.168.1.20")));
    EXPECT_THAT(update, ::testing::Not(::testing::Contains("image 1 1 5")));
    EXPECT_TRUE(sink.TakeTips().empty());
    EXPECT_EQ(list.Snapshot().size(), 2u);

    // A third camera: every row names the two others.
    list.AddOrUpdateDevice(WithMac(Record("c", "192.168.1.20", 11), "02:00:00:00:00:0C"));
    rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_THAT(rows[0].sharedAddressMacs, ElementsAre("02:00:00:00:00:0B", "02:00:00:00:00:0C"));
    EXPECT_THAT(rows[2].sharedAddressMacs, ElementsAre("02:00:00:00:00:0A", "02:00:00:00:00:0B"));
    EXPECT_EQ(sink.TakeTips().size(), 3u);

    list.RemoveAll();
    EXPECT_EQ(list.SharedAddressCount(), 0);
}

TEST_F(SharedAddress, UnknownMacMatchesByAddressAsBefore) {
    list.AddOrUpdateDevice(WithMac(Record("a", "192.168.1.20", 11), "02:00:00:00:00:0A"));
    // The record's MAC was not obtained (its text does not count) ...
    list.AddOrUpdateDevice(WithMac(Record("x", "192.168.1.20", 11), "02:00:00:00:00:0F", false));
    // ... or the row has none.
    list.AddOrUpdateDevice(WithMac(Record("n", "192.168.1.30", 11), ""));
    list.AddOrUpdateDevice(WithMac(Record("m", "192.168.1.30", 11), "02:00:00:00:00:0E"));
    const auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "a");
    EXPECT_EQ(rows[0].macAddress, "02:00:00:00:00:0A");
    EXPECT_EQ(rows[1].name, "n");
    EXPECT_EQ(rows[1].macAddress, "");  // never refreshed by a later answer
    EXPECT_EQ(list.SharedAddressCount(), 0);
    EXPECT_TRUE(sink.TakeTips().empty());
}

TEST_F(SharedAddress, SameAddressOnAnotherAdapterIsNoDuplicate) {
    list.AddOrUpdateDevice(WithMac(Record("a", "10.0.0.20", 11), "02:00:00:00:00:0A"));
    list.AddOrUpdateDevice(WithMac(Record("b", "10.0.0.20", 12), "02:00:00:00:00:0B"));
    EXPECT_EQ(list.Snapshot().size(), 2u);
    EXPECT_EQ(list.SharedAddressCount(), 0);
}

TEST_F(SharedAddress, MarkClearsWhenTheOtherCameraLeavesTheAddress) {
    list.AddOrUpdateDevice(WithMac(Record("a", "192.168.1.20", 11), "02:00:00:00:00:0A"));
    list.AddOrUpdateDevice(WithMac(Record("b", "192.168.1.20", 11), "02:00:00:00:00:0B"));
    sink.Take();
    sink.TakeTips();
    // A forced address moves the record of row 0 (as the GigE Vision route does).
    list.WithDevice(0, [](CDevice& d) { d.ipAddress = "192.168.1.99"; });
    list.AddOrUpdateDevice(WithMac(Record("b", "192.168.1.20", 11), "02:00:00:00:00:0B"));
    EXPECT_THAT(sink.Take(), ::testing::Contains("image 1 1 -1"));
    EXPECT_THAT(sink.TakeTips(), ElementsAre("tip 1 1 "));
    EXPECT_TRUE(list.Snapshot()[1].sharedAddressMacs.empty());
}
