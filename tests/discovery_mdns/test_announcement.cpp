// Announcement texts: field splitting, the "$TOVRA" rules and the merge.
#include "discovery/announcement.h"
#include "discovery/scan_threads.h"
#include "mdns_test_util.h"

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
    EXPECT_FALSE(ParseAnnouncement("$TOVRA,Cam", f)) << "no host name, no address";
    EXPECT_FALSE(ParseAnnouncement("$TOVRA,Cam,One", f)) << "no address";
    EXPECT_FALSE(ParseAnnouncement("$TOVRA,Cam,One,not-an-address", f));
}

class AnnouncementMerge : public ::testing::Test {
protected:
    void SetUp() override {
        SetAdapterTableProvider([] { return std::optional<AdapterTable>(LoopbackTable()); });
        ScanCycleSteps steps;
        steps.macLookup = [this](const std::string& a, const std::string& s, std::string& mac) {
            lookups.push_back(a + "|" + s);
            if (a != "192.168.0.5") return false;
            mac = "AA:BB:CC:DD:EE:FF";
            return true;
        };
        threads.SetScanCycleSteps(steps);
    }
    void TearDown() override { SetAdapterTableProvider(nullptr); }

    CDeviceList list;
    CStatusText status;
    CDiscoveryThreads threads{list, status};
    std::vector<std::string> lookups;
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
    EXPECT_EQ(rows[0].macAddress, "AA:BB:CC:DD:EE:FF");
    EXPECT_EQ(rows[0].interfaceName, "Ethernet " + std::to_string(LoopbackIndex()) + " (127.0.0.1)");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0], "192.168.0.5|") << "looked up without a source address";
}

TEST_F(AnnouncementMerge, DroppedTextsChangeNothing) {
    threads.HandleAnnouncement(LoopbackIndex(), "$TOVRA,Cam");
    threads.HandleAnnouncement(LoopbackIndex(), "$tovra,Cam,One,192.168.0.5");
    threads.HandleAnnouncement(LoopbackIndex(), "");
    threads.HandleAnnouncement(LoopbackIndex(), ",,,");
    EXPECT_EQ(list.DeviceCount(), 0);
    EXPECT_TRUE(lookups.empty());
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
