// Announcement texts: field splitting, the "$TOVRA" rules and the merge.
#include "discovery/announcement.h"
#include "discovery/scan_threads.h"
#include "fake_neighbours.h"
#include "loopback_cycle.h"

#include <thread>

#include <gtest/gtest.h>

using namespace mdnstest;

TEST(AnnouncementFields, RunsOfCommasAreOneSeparator) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitAnnouncementFields("$TOVRA,Cam,One,192.168.0.5"), (V{"$TOVRA", "Cam", "One", "192.168.0.5"}));
    EXPECT_EQ(SplitAnnouncementFields(",,$TOVRA,,,Cam,,One,192.168.0.5,,"),
              (V{"$TOVRA", "Cam", "One", "192.168.0.5"}));
    EXPECT_EQ(SplitAnnouncementFields(""), V{});
    EXPECT_EQ(SplitAnnouncementFields(",,,"), V{});
    EXPECT_EQ(SplitAnnouncementFields("a b, c "), (V{"a b", " c "})) << "blanks are part of a field";
}

TEST(AnnouncementFields, TextEndsAtTheFirstNul) {
    const uint8_t d[] = {'$', 'T', 'O', 'V', 'R', 'A', ',', 'a', 0, ',', 'b'};
    EXPECT_EQ(AnnouncementText(d, sizeof d), "$TOVRA,a");
    EXPECT_EQ(AnnouncementText(d, 3), "$TO");
    EXPECT_EQ(AnnouncementText(nullptr, 0), "");
}

TEST(AnnouncementFields, TagAndAddressRules) {
    AnnouncementFields f;
    ASSERT_TRUE(ParseAnnouncement("$TOVRA,Cam,One,192.168.0.5,extra,fields", f));
    EXPECT_EQ(f.name, "Cam One");
    EXPECT_EQ(f.hostName, "One");
    EXPECT_EQ(f.ipAddress, "192.168.0.5");

    ASSERT_TRUE(ParseAnnouncement("$TOVRA,,Cam,One,192.168.0.5", f));
    EXPECT_EQ(f.name, "Cam One");

    EXPECT_FALSE(ParseAnnouncement("$tovra,Cam,One,192.168.0.5", f)) << "tag compared with case";
    EXPECT_FALSE(ParseAnnouncement("TOVRA,Cam,One,192.168.0.5", f));
    EXPECT_FALSE(ParseAnnouncement("", f));
}

// Field 3 is taken as it stands: a misconfigured camera is still listed, with
// its text or with no address at all.
TEST(AnnouncementFields, FieldThreeAsItStands) {
    AnnouncementFields f;
    ASSERT_TRUE(ParseAnnouncement("$TOVRA,Cam", f));
    EXPECT_EQ(f.name, "Cam");
    EXPECT_EQ(f.hostName, "");
    EXPECT_EQ(f.ipAddress, "");
    ASSERT_TRUE(ParseAnnouncement("$TOVRA,Cam,One", f));
    EXPECT_EQ(f.name, "Cam One");
    EXPECT_EQ(f.hostName, "One");
    EXPECT_EQ(f.ipAddress, "");
    for (const char* odd : {"not-an-ip", "192.168.000.005", "192.168.0", "300.1.1.1", "224.0.0.1", "0.0.0.0",
                            " 10.0.0.1"}) {
        ASSERT_TRUE(ParseAnnouncement(std::string("$TOVRA,Cam,One,") + odd + ",tail", f)) << odd;
        EXPECT_EQ(f.ipAddress, odd);
    }
}

// The merge of announcements through the threads' own merge, with the
// threads running on loopback (no scan step leaves this machine) and a
// neighbour table of the test's own.
class AnnouncementMerge : public ::testing::Test {
protected:
    void SetUp() override {
        StandIns().InstallOn(threads);
        UseLoopback(threads, LoopbackEndpoints());
        neighbours->Set("192.168.0.5", "AA:BB:CC:DD:EE:FF");
        threads.SetNeighbourSource(neighbours);
        threads.Start();
    }
    void TearDown() override { threads.Stop(); }
    // The merges on this thread read the same table as the threads.
    CAdapterTableSource adapters{LoopbackTableSource()};
    std::shared_ptr<FakeNeighbours> neighbours = std::make_shared<FakeNeighbours>();
    CDeviceList list;
    CStatusText status;
    CDiscoveryThreads threads{list, status};
};

TEST_F(AnnouncementMerge, AnnouncedCameraIsListedAsQDWhateverTheSubnet) {
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam,One,192.168.0.5");
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Cam One");
    EXPECT_EQ(rows[0].hostName, "One");
    EXPECT_EQ(rows[0].platform, "QD");
    EXPECT_EQ(rows[0].ipAddress, "192.168.0.5");
    EXPECT_TRUE(rows[0].reachable) << "outside the loopback subnet, but announced";
    EXPECT_EQ(rows[0].interfaceName, "Ethernet " + std::to_string(LoopbackIndex()) + " (127.0.0.1)");
    // The MAC address is resolved after the merge and fills the row.
    ASSERT_TRUE(Eventually([&] { return list.Snapshot()[0].macAddress == "AA:BB:CC:DD:EE:FF"; }));
    auto calls = neighbours->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 0u) << "resolved on the route's adapter: announcements name no source";
    EXPECT_EQ(calls[0].second, "192.168.0.5");
}

TEST_F(AnnouncementMerge, DroppedTextsChangeNothing) {
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam");  // no host name: the merge ignores it
    threads.HandleAnnouncement(LoopbackIndex(), "$tovra,Cam,One,192.168.0.5");
    threads.HandleAnnouncement(LoopbackIndex(), "");
    threads.HandleAnnouncement(LoopbackIndex(), ",,,");
    EXPECT_EQ(list.DeviceCount(), 0);
    EXPECT_TRUE(neighbours->Calls().empty());
}

// A camera announcing no address, or one that is no dotted quad, gets a row
// with that text (or none); no neighbour look-up is made for it, and none for
// an address that is not unicast.
TEST_F(AnnouncementMerge, MisconfiguredAddressesAreListedAsTheyStand) {
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam,NoAddress");
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam,Words,not-an-ip");
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam,Zeros,192.168.000.005");
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam,Group,224.0.0.1");
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].name, "Cam NoAddress");
    EXPECT_EQ(rows[0].ipAddress, "");
    EXPECT_EQ(rows[1].ipAddress, "not-an-ip");
    EXPECT_EQ(rows[2].ipAddress, "192.168.000.005");
    EXPECT_EQ(rows[3].ipAddress, "224.0.0.1");
    for (const auto& r : rows) {
        EXPECT_EQ(r.platform, "QD");
        EXPECT_TRUE(r.reachable);
        EXPECT_EQ(r.macAddress, "");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(neighbours->Calls().empty()) << "asked the neighbour table about an address it cannot hold";
}

TEST_F(AnnouncementMerge, RepeatedAnnouncementsUpdateOneRow) {
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam,One,192.168.0.5");
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,,Renamed,,Two,192.168.0.5");
    threads.HandleAnnouncement(LoopbackIndex(), std::string("$TOVRA,Cam,Three,10.1.2.3\0,x", 29));
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "Cam One") << "a listed camera keeps its name";
    EXPECT_EQ(rows[1].ipAddress, "10.1.2.3");
    EXPECT_EQ(rows[1].macAddress, "");
}
