// Adapter lookups against a provided table, the kernel table readers and the
// neighbour lookup (loopback only).
#include "discovery/adapters.h"
#include "loopback_helpers.h"

#include <gtest/gtest.h>

#include <thread>

TEST(Adapters, LookupsByIndex) {
    ScopedAdapterTable table(AdapterTable{MakeAdapter(11, "192.168.1.10", "255.255.255.0", "192.168.1.1", "eth0"),
                                          MakeAdapter(12, "0.0.0.0", "0.0.0.0"),
                                          MakeAdapter(11, "10.9.9.9", "255.0.0.0")});  // first entry wins
    EXPECT_EQ(GetAdapterAddress(11), "192.168.1.10");
    EXPECT_EQ(GetAdapterSubnetMask(11), "255.255.255.0");
    EXPECT_EQ(GetAdapterGateway(11), "192.168.1.1");
    EXPECT_EQ(GetInterfaceName(11), "Ethernet 11 (192.168.1.10)");
    EXPECT_EQ(GetInterfaceName(12), "Ethernet 12 (0.0.0.0)");
    EXPECT_EQ(GetAdapterAddress(13), "");
    EXPECT_EQ(GetAdapterGateway(13), "");
    EXPECT_EQ(GetInterfaceName(13), "");
    ASSERT_TRUE(FindAdapter(11).has_value());
    EXPECT_EQ(FindAdapter(11)->device, "eth0");
}

TEST(Adapters, UnreadableTable) {
    ScopedAdapterTable table(std::nullopt);
    EXPECT_FALSE(ReadAdapterTable().has_value());
    EXPECT_EQ(GetAdapterAddress(1), "");
    EXPECT_EQ(GetInterfaceName(1), "");
}

// A source serves the thread that installed it, innermost first; a snapshot
// the thread holds wins over any source; other threads read the system's.
TEST(Adapters, SourcesAreTheInstallingThreadsAndNest) {
    const AdapterTable outer{MakeAdapter(90021, "10.0.0.1", "255.0.0.0")};
    const AdapterTable inner{MakeAdapter(90022, "10.0.0.2", "255.0.0.0")};
    auto index = [] {
        auto t = ReadAdapterTable();
        return t && t->size() == 1 ? (*t)[0].index : 0u;
    };
    EXPECT_FALSE(CAdapterTableSource::Current());
    CAdapterTableSource a([&] { return std::optional<AdapterTable>(outer); });
    EXPECT_EQ(index(), 90021u);
    {
        CAdapterTableSource b([&] { return std::optional<AdapterTable>(inner); });
        EXPECT_EQ(index(), 90022u);
        EXPECT_EQ(GetAdapterAddress(90022), "10.0.0.2");
        {
            CAdapterTableSource none(nullptr);  // the system's table
            EXPECT_EQ(GetAdapterAddress(90022), "");
        }
        EXPECT_EQ(index(), 90022u);
    }
    EXPECT_EQ(index(), 90021u);
    {
        CAdapterTableSnapshot held;
        CAdapterTableSource later([&] { return std::optional<AdapterTable>(inner); });
        EXPECT_EQ(index(), 90021u) << "the snapshot's reading";
    }
    std::optional<AdapterTable> elsewhere;
    std::thread other([&] { elsewhere = ReadAdapterTable(); });
    other.join();
    ASSERT_TRUE(elsewhere.has_value());
    for (const AdapterInfo& adapter : *elsewhere) EXPECT_NE(adapter.index, 90021u);

    // A thread handed the starting thread's source reads the same table.
    uint32_t handedOver = 0;
    std::thread started([&, source = CAdapterTableSource::Current()] {
        CAdapterTableSource same(source);
        handedOver = index();
    });
    started.join();
    EXPECT_EQ(handedOver, 90021u);
}

TEST(Adapters, SystemTableLeavesLoopbackOutAndIsOrdered) {
    auto table = ReadAdapterTable();  // no source installed on this thread: the system's
    ASSERT_TRUE(table.has_value());
    for (size_t i = 0; i < table->size(); ++i) {
        const auto& a = (*table)[i];
        EXPECT_NE(a.device, "lo");
        EXPECT_NE(a.address.rfind("127.", 0), 0u) << a.device;
        EXPECT_EQ(a.index, if_nametoindex(a.device.c_str()));
        uint32_t v;
        EXPECT_TRUE(ParseIPv4(a.address, v)) << a.address;
        EXPECT_TRUE(ParseIPv4(a.mask, v)) << a.mask;
        EXPECT_TRUE(ParseIPv4(a.gateway, v)) << a.gateway;
        if (i > 0) {
            EXPECT_LT((*table)[i - 1].index, a.index);
        }
    }
}

TEST(Adapters, DefaultGatewaysFromRouteTable) {
    const std::string route =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0201A8C0\t0003\t0\t0\t200\t00000000\t0\t0\t0\n"
        "eth1\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth2\t00000000\t010000C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth3\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "garbage line\n";
    auto g = ParseDefaultGateways(route);
    EXPECT_EQ(g.size(), 2u);
    EXPECT_EQ(g["eth0"], "192.168.1.1");  // first default route of the device
    EXPECT_EQ(g["eth3"], "10.0.0.1");
    EXPECT_EQ(g.count("eth1"), 0u);       // no gateway
    EXPECT_EQ(g.count("eth2"), 0u);       // route not up
    EXPECT_TRUE(ParseDefaultGateways("").empty());
}
