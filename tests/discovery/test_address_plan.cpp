// The address planner: the pool from a start address and mask, what it
// passes over (network and broadcast address, the computer's addresses, the
// gateway, listed cameras, addresses a probe finds in use), the order of
// the cameras, and the refusals that come before anything changes. The
// probe is a stand-in; nothing goes to a network.
#include "discovery/address_plan.h"

#include "loopback_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

using ::testing::ElementsAre;

namespace {

constexpr uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

CDevice Camera(const std::string& name, const std::string& ip, const std::string& mac, const std::string& bsp = "J3",
               uint32_t adapter = 11) {
    CDevice d;
    d.name = name;
    d.hostName = name;
    d.ipAddress = ip;
    d.macAddress = mac;
    d.platform = bsp;
    d.adapterIndex = adapter;
    d.reachable = true;
    return d;
}

// Answers for the addresses it knows, records what it was asked.
struct StandInProbe {
    std::map<std::string, std::string> inUse;
    std::mutex mutex;
    std::vector<std::pair<uint32_t, std::string>> asked;
    int running = 0, maxRunning = 0;

    NeighbourProbe Fn() {
        return [this](uint32_t adapter, const std::string& address, std::chrono::milliseconds) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                asked.emplace_back(adapter, address);
                maxRunning = std::max(maxRunning, ++running);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            auto it = inUse.find(address);
            return it == inUse.end() ? std::optional<std::string>() : std::optional<std::string>(it->second);
        };
    }
};

std::vector<std::string> Addresses(const AddressPlan& plan) {
    std::vector<std::string> out;
    for (const PlannedChange& c : plan.changes) out.push_back(PlannedAddressText(c));
    return out;
}

std::vector<std::string> Skipped(const AddressPlan& plan) {
    std::vector<std::string> out;
    for (const SkippedAddress& s : plan.skipped) out.push_back(FormatIPv4(s.address) + " " + s.reason);
    return out;
}

class Planner : public ::testing::Test {
protected:
    ScopedAdapterTable table{AdapterTable{MakeAdapter(11, "192.168.1.10", "255.255.255.0", "192.168.1.1"),
                                          MakeAdapter(12, "10.0.0.5", "255.0.0.0")}};
    StandInProbe probe;

    AddressPlanRequest Request(std::vector<CDevice> cameras, uint32_t start, uint32_t mask = 0xFFFFFF00u,
                               uint32_t gateway = 0) {
        AddressPlanRequest r;
        r.listed = cameras;
        r.cameras = std::move(cameras);
        r.start = start;
        r.mask = mask;
        r.gateway = gateway;
        r.probe = probe.Fn();
        return r;
    }
};

}  // namespace

TEST_F(Planner, PassesOverEverythingInUse) {
    std::vector<CDevice> cams = {Camera("a", "192.168.1.50", "02:00:00:00:00:0A"),
                                 Camera("b", "192.168.1.51", "02:00:00:00:00:0B"),
                                 Camera("c", "192.168.1.9", "02:00:00:00:00:0C")};
    auto request = Request(cams, Ip(192, 168, 1, 0), 0xFFFFFF00u, Ip(192, 168, 1, 1));
    request.listed.push_back(Camera("other", "192.168.1.3", "02:00:00:00:00:99"));
    probe.inUse["192.168.1.2"] = "02:00:00:00:00:77";
    const AddressPlan plan = PlanAddresses(request);
    ASSERT_EQ(plan.error, "");
    // .0 is the network address; .1 the gateway; .2 answers the probe; .3 is
    // a listed camera; then .4, .5, .6.
    EXPECT_THAT(Addresses(plan), ElementsAre("192.168.1.4", "192.168.1.5", "192.168.1.6"));
    EXPECT_THAT(Skipped(plan), ElementsAre("192.168.1.1 the default gateway", "192.168.1.2 in use by 02:00:00:00:00:77",
                                           "192.168.1.3 in use by camera other (02:00:00:00:00:99)"));
    for (const PlannedChange& c : plan.changes) {
        EXPECT_EQ(c.mask, 0xFFFFFF00u);
        EXPECT_EQ(c.gateway, Ip(192, 168, 1, 1));
    }
    // 254 host addresses, less the gateway, the computer's .10, the four
    // listed cameras in the pool and the probed one.
    EXPECT_EQ(plan.available, 254u - 1 - 1 - 4 - 1);
    EXPECT_EQ(PlanSummary(plan), "3 cameras, 247 addresses available, 3 skipped");
    // Only free-looking candidates are probed, on the adapter of their network.
    for (const auto& [adapter, address] : probe.asked) {
        EXPECT_EQ(adapter, 11u) << address;
        EXPECT_NE(address, "192.168.1.1");
        EXPECT_NE(address, "192.168.1.3");
    }
}

TEST_F(Planner, ComputersOwnAddressAndTheEndOfTheSubnet) {
    std::vector<CDevice> cams = {Camera("a", "192.168.1.50", "02:00:00:00:00:0A"),
                                 Camera("b", "192.168.1.51", "02:00:00:00:00:0B")};
    // .10 is the adapter's; .254 is the last host address, .255 broadcast.
    AddressPlan plan = PlanAddresses(Request(cams, Ip(192, 168, 1, 10)));
    ASSERT_EQ(plan.error, "");
    EXPECT_THAT(Addresses(plan), ElementsAre("192.168.1.11", "192.168.1.12"));
    EXPECT_THAT(Skipped(plan), ElementsAre("192.168.1.10 this computer's address"));

    plan = PlanAddresses(Request(cams, Ip(192, 168, 1, 253)));
    ASSERT_EQ(plan.error, "");
    EXPECT_THAT(Addresses(plan), ElementsAre("192.168.1.253", "192.168.1.254"));
    probe.asked.clear();
    plan = PlanAddresses(Request(cams, Ip(192, 168, 1, 254)));
    EXPECT_THAT(plan.error, ::testing::StartsWith("Not enough addresses: 2 cameras, 1 addresses available"))
        << "the broadcast address is never given";
    EXPECT_TRUE(probe.asked.empty());
}

TEST_F(Planner, TooFewAddressesIsRefusedBeforeAnything) {
    std::vector<CDevice> cams;
    for (int i = 0; i < 5; ++i)
        cams.push_back(Camera("c" + std::to_string(i), "192.168.1." + std::to_string(100 + i),
                              "02:00:00:00:01:0" + std::to_string(i)));
    // A /29 from .0: hosts .1 to .6, less the gateway .1 and a probed .4.
    probe.inUse["192.168.1.4"] = "02:00:00:00:00:44";
    auto request = Request(cams, Ip(192, 168, 1, 0), 0xFFFFFFF8u, Ip(192, 168, 1, 1));
    AddressPlan plan = PlanAddresses(request);
    EXPECT_THAT(plan.error, ::testing::StartsWith("Not enough addresses"));
    for (const PlannedChange& c : plan.changes) EXPECT_EQ(c.address, 0u) << "no address when refused";

    // Known exclusions alone make it too few: refused without a single probe.
    probe.asked.clear();
    request.start = Ip(192, 168, 1, 5);
    plan = PlanAddresses(request);
    EXPECT_THAT(plan.error, ::testing::StartsWith("Not enough addresses: 5 cameras, 2 addresses available"));
    EXPECT_TRUE(probe.asked.empty());
}

TEST_F(Planner, BadInputIsRefused) {
    std::vector<CDevice> cams = {Camera("a", "192.168.1.50", "02:00:00:00:00:0A")};
    EXPECT_THAT(PlanAddresses(Request(cams, Ip(192, 168, 1, 20), 0xFFFFFF00u, Ip(192, 168, 2, 1))).error,
                ::testing::HasSubstr("is not in the subnet"));
    EXPECT_THAT(PlanAddresses(Request(cams, Ip(192, 168, 1, 20), 0xFF00FF00u)).error,
                ::testing::HasSubstr("not a valid mask"));
    EXPECT_THAT(PlanAddresses(Request(cams, Ip(224, 0, 0, 251))).error, ::testing::HasSubstr("not a unicast"));
    EXPECT_THAT(PlanAddresses(Request(cams, Ip(127, 0, 0, 5))).error, ::testing::HasSubstr("not a unicast"));
    EXPECT_THAT(PlanAddresses(Request({Camera("q", "192.168.1.9", "02:00:00:00:00:0F", "QD")}, Ip(192, 168, 1, 20)))
                    .error,
                "No camera whose address can be changed");
}

TEST_F(Planner, SharedAddressesFirstAndEachCameraOnce) {
    CDevice a = Camera("a", "192.168.1.50", "02:00:00:00:00:0A");
    CDevice dup1 = Camera("d1", "192.168.1.70", "02:00:00:00:00:D1", "HU");
    dup1.sharedAddressMacs = {"02:00:00:00:00:D2"};
    CDevice dup2 = Camera("d2", "192.168.1.70", "02:00:00:00:00:D2", "HU");
    dup2.sharedAddressMacs = {"02:00:00:00:00:D1"};
    CDevice aOnOtherAdapter = Camera("a", "10.0.0.50", "02:00:00:00:00:0A", "J3", 12);
    // Two cameras that answer behind one MAC address stay two cameras.
    CDevice behindA = Camera("b", "192.168.1.52", "02:00:00:00:00:0A");
    CDevice locked = Camera("q", "192.168.1.60", "02:00:00:00:00:0F", "QD");
    auto request = Request({a, dup1, aOnOtherAdapter, locked, dup2, behindA}, Ip(192, 168, 1, 100));
    const AddressPlan plan = PlanAddresses(request);
    ASSERT_EQ(plan.error, "");
    std::vector<std::string> order;
    for (const PlannedChange& c : plan.changes) order.push_back(c.camera.name + "@" + c.camera.ipAddress);
    EXPECT_THAT(order, ElementsAre("d1@192.168.1.70", "d2@192.168.1.70", "a@192.168.1.50", "q@192.168.1.60",
                                   "b@192.168.1.52"));
    EXPECT_THAT(Addresses(plan), ElementsAre("192.168.1.100", "192.168.1.101", "192.168.1.102", "", "192.168.1.103"));
    EXPECT_EQ(plan.changes[3].note, "offers no address change");
    EXPECT_EQ(plan.cameraCount, 4u);
}

TEST_F(Planner, DhcpPlanLeavesOutWhatOnlyAForcedAddressReaches) {
    CDevice far = Camera("far", "172.16.5.5", "02:00:00:00:00:05", "HV");
    far.reachable = false;
    CDevice dup = Camera("dup", "192.168.1.70", "02:00:00:00:00:D1", "HU");
    dup.sharedAddressMacs = {"02:00:00:00:00:D2"};
    CDevice rt = Camera("rt", "192.168.1.71", "02:00:00:00:00:0B");
    auto request = Request({far, dup, rt}, 0);
    request.dhcp = true;
    const AddressPlan plan = PlanAddresses(request);
    ASSERT_EQ(plan.error, "");
    EXPECT_THAT(Addresses(plan), ElementsAre("", "", "DHCP"));
    EXPECT_EQ(plan.changes[0].note, "shares its address: give it a static address");
    EXPECT_EQ(plan.changes[1].note, "outside its adapter's subnet: give it a static address");
    EXPECT_EQ(PlanSummary(plan), "1 camera, addresses obtained automatically");
    EXPECT_TRUE(probe.asked.empty());
}

TEST_F(Planner, ProbesAreBoundedInParallelAndInCount) {
    std::vector<CDevice> cams;
    for (int i = 0; i < 20; ++i)
        cams.push_back(Camera("c" + std::to_string(i), "10.9.0." + std::to_string(i + 1),
                              "02:00:00:00:02:" + std::to_string(10 + i), "J3", 12));
    auto request = Request(cams, Ip(10, 1, 0, 1), 0xFFFF0000u);
    request.probeParallel = 3;
    AddressPlan plan = PlanAddresses(request);
    ASSERT_EQ(plan.error, "");
    EXPECT_LE(probe.maxRunning, 3);
    EXPECT_EQ(probe.asked.size(), 20u);

    // Everything answers: the planner gives up after its bound.
    for (int i = 1; i < 200; ++i) probe.inUse["10.1.0." + std::to_string(i)] = "02:00:00:00:03:00";
    probe.asked.clear();
    request.maxProbedInUse = 30;
    request.probeParallel = 8;
    plan = PlanAddresses(request);
    EXPECT_THAT(plan.error, ::testing::HasSubstr("are in use: choose another start address"));
    EXPECT_LE(probe.asked.size(), 30u + 8u);

    std::atomic<bool> cancel{true};
    request.cancel = &cancel;
    plan = PlanAddresses(request);
    EXPECT_TRUE(plan.cancelled);
    EXPECT_FALSE(plan.error.empty());
}

TEST(AddressTexts, MasksAddressesAndMacs) {
    uint32_t m = 0, a = 0;
    EXPECT_TRUE(ParseSubnetMask("24", m));
    EXPECT_EQ(m, 0xFFFFFF00u);
    EXPECT_TRUE(ParseSubnetMask("0", m));
    EXPECT_EQ(m, 0u);
    EXPECT_TRUE(ParseSubnetMask("255.255.252.0", m));
    EXPECT_EQ(m, 0xFFFFFC00u);
    EXPECT_FALSE(ParseSubnetMask("33", m));
    EXPECT_FALSE(ParseSubnetMask("255.0.255.0", m));
    EXPECT_FALSE(ParseSubnetMask("", m));
    EXPECT_FALSE(ParseSubnetMask("2x", m));
    EXPECT_TRUE(ParseAddressWithMask("192.168.1.20/24", a, m));
    EXPECT_EQ(a, Ip(192, 168, 1, 20));
    EXPECT_FALSE(ParseAddressWithMask("192.168.1.20", a, m));
    EXPECT_FALSE(ParseAddressWithMask("192.168.1/24", a, m));
    EXPECT_EQ(NormaliseMacText("02-5a-00-00-10-0b"), "02:5A:00:00:10:0B");
    EXPECT_EQ(NormaliseMacText("02:5a:00:00:10"), "");
    EXPECT_EQ(NormaliseMacText("02:5a:00:00:10:0g"), "");
}

TEST(AddressTexts, SuggestionFromTheAdapterOnTheNetwork) {
    ScopedAdapterTable table{AdapterTable{MakeAdapter(3, "0.0.0.0", "0.0.0.0"),
                                          MakeAdapter(4, "192.168.1.10", "255.255.255.0", "192.168.1.1"),
                                          MakeAdapter(5, "192.168.1.11", "255.255.0.0", "192.168.0.254")}};
    AdapterSuggestion s = SuggestMaskAndGateway(Ip(192, 168, 1, 77));
    EXPECT_TRUE(s.matched);
    EXPECT_EQ(s.adapterIndex, 5u);  // the last match wins
    EXPECT_EQ(s.mask, 0xFFFF0000u);
    EXPECT_EQ(s.gateway, Ip(192, 168, 0, 254));
    s = SuggestMaskAndGateway(Ip(10, 0, 0, 1));
    EXPECT_FALSE(s.matched);
    EXPECT_EQ(s.mask, 0xFFFFFF00u);
    EXPECT_EQ(s.gateway, 0u);
}
