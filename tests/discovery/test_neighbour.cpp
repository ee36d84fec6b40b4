// Neighbour resolution: the address rules, the reading of the kernel's
// neighbour messages, and the blocking look-up against a kernel table in a
// network namespace of the test's own (a child process that leaves the
// caller's namespace untouched).
#include "discovery/neighbour.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

uint32_t Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

// A neighbour message as the kernel writes it: header, ndmsg, attributes.
std::vector<uint8_t> NeighbourMessage(uint16_t type, int ifindex, uint16_t state, const char* dst,
                                      std::vector<uint8_t> lladdr, uint8_t family = AF_INET) {
    std::vector<uint8_t> m(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)));
    ndmsg n{};
    n.ndm_family = family;
    n.ndm_ifindex = ifindex;
    n.ndm_state = state;
    std::memcpy(m.data() + NLMSG_HDRLEN, &n, sizeof n);
    auto attr = [&m](uint16_t t, const void* p, size_t len) {
        rtattr a{};
        a.rta_type = t;
        a.rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
        size_t at = m.size();
        m.resize(at + RTA_ALIGN(a.rta_len));
        std::memcpy(m.data() + at, &a, sizeof a);
        std::memcpy(m.data() + at + RTA_LENGTH(0), p, len);
    };
    if (dst) {
        in_addr d{};
        inet_pton(AF_INET, dst, &d);
        attr(NDA_DST, &d, 4);
    }
    if (!lladdr.empty()) attr(NDA_LLADDR, lladdr.data(), lladdr.size());
    nlmsghdr h{};
    h.nlmsg_len = static_cast<uint32_t>(m.size());
    h.nlmsg_type = type;
    std::memcpy(m.data(), &h, sizeof h);
    return m;
}

const std::vector<uint8_t> kMac = {0x00, 0x1c, 0xab, 0x01, 0x02, 0xff};

// Runs `check` in a child process inside a network namespace of its own
// (root only); its exit code 0 means the check passed. Returns why it could
// not run, or empty.
std::string InPrivateNetwork(const std::function<int()>& check, int& exitCode) {
    if (geteuid() != 0) return "needs root for a network namespace of its own";
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        _exit(check());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "child did not end normally";
    exitCode = WEXITSTATUS(status);
    if (exitCode == 77) return "cannot create a network namespace";
    return {};
}

int Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

TEST(Neighbour, UnicastRules) {
    EXPECT_TRUE(IsUnicastIPv4(Ip("192.168.0.5")));
    EXPECT_TRUE(IsUnicastIPv4(Ip("10.0.0.1")));
    EXPECT_TRUE(IsUnicastIPv4(Ip("169.254.3.4")));
    EXPECT_TRUE(IsUnicastIPv4(Ip("223.255.255.254")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("0.0.0.0")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("0.1.2.3")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("127.0.0.1")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("224.0.0.1")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("224.0.0.251")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("239.255.255.250")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("240.0.0.1")));
    EXPECT_FALSE(IsUnicastIPv4(Ip("255.255.255.255")));
}

TEST(Neighbour, NonUnicastAndMalformedAddressesAreRefusedWithoutWaiting) {
    for (const char* a : {"0.0.0.0", "224.0.0.1", "224.0.0.251", "255.255.255.255", "240.1.2.3", "127.0.0.1",
                          "", "not-an-ip", "192.168.000.005", "1.2.3", "1.2.3.4.5"}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(ResolveNeighbourMac(1, a, 20s).has_value()) << a;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << a << ": waited for an address that has no entry";
    }
}

TEST(Neighbour, UnknownAdapterGivesNothingWithinTheTimeout) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ResolveNeighbourMac(999999, "10.1.2.3", 1s).has_value());
    EXPECT_FALSE(ResolveNeighbourMac(1, "10.1.2.3", 1s).has_value());  // loopback: never an entry with ARP
    EXPECT_FALSE(ResolveNeighbourMac(0, "10.1.2.3", 1s).has_value());  // no route: no adapter to ask
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s + 1500ms);
}

TEST(NeighbourMessage, ReadsAddressStateAndMac) {
    auto m = NeighbourMessage(RTM_NEWNEIGH, 7, NUD_REACHABLE, "10.1.1.2", kMac);
    auto e = ParseNeighbourMessage(m.data(), m.size());
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->adapterIndex, 7u);
    EXPECT_EQ(e->address, Ip("10.1.1.2"));
    EXPECT_EQ(e->state, NUD_REACHABLE);
    EXPECT_EQ(e->mac, "00:1C:AB:01:02:FF");
    EXPECT_FALSE(e->deleted);
    EXPECT_EQ(CompleteMac(*e), "00:1C:AB:01:02:FF");

    auto d = NeighbourMessage(RTM_DELNEIGH, 7, NUD_STALE, "10.1.1.2", kMac);
    auto de = ParseNeighbourMessage(d.data(), d.size());
    ASSERT_TRUE(de.has_value());
    EXPECT_TRUE(de->deleted);
    EXPECT_FALSE(CompleteMac(*de).has_value());
}

TEST(NeighbourMessage, OnlyCompleteEntriesGiveAMac) {
    for (uint16_t s : {NUD_REACHABLE, NUD_STALE, NUD_DELAY, NUD_PROBE, NUD_PERMANENT}) {
        auto m = NeighbourMessage(RTM_NEWNEIGH, 3, s, "10.1.1.2", kMac);
        EXPECT_TRUE(CompleteMac(*ParseNeighbourMessage(m.data(), m.size())).has_value()) << s;
    }
    for (uint16_t s : {NUD_NONE, NUD_INCOMPLETE, NUD_FAILED, NUD_NOARP}) {
        auto m = NeighbourMessage(RTM_NEWNEIGH, 3, s, "10.1.1.2", kMac);
        EXPECT_FALSE(CompleteMac(*ParseNeighbourMessage(m.data(), m.size())).has_value()) << s;
    }
    auto zero = NeighbourMessage(RTM_NEWNEIGH, 3, NUD_REACHABLE, "10.1.1.2", {0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(CompleteMac(*ParseNeighbourMessage(zero.data(), zero.size())).has_value());
    auto none = NeighbourMessage(RTM_NEWNEIGH, 3, NUD_REACHABLE, "10.1.1.2", {});
    EXPECT_FALSE(CompleteMac(*ParseNeighbourMessage(none.data(), none.size())).has_value());
    auto longAddress = NeighbourMessage(RTM_NEWNEIGH, 3, NUD_REACHABLE, "10.1.1.2", {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_FALSE(CompleteMac(*ParseNeighbourMessage(longAddress.data(), longAddress.size())).has_value());
}

TEST(NeighbourMessage, MalformedOrForeignMessagesAreRefused) {
    auto good = NeighbourMessage(RTM_NEWNEIGH, 3, NUD_REACHABLE, "10.1.1.2", kMac);
    EXPECT_FALSE(ParseNeighbourMessage(nullptr, 0).has_value());
    // Cut anywhere short of its stated length.
    for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(ParseNeighbourMessage(good.data(), n).has_value()) << n;
    // Other message types and families.
    auto route = NeighbourMessage(RTM_NEWROUTE, 3, NUD_REACHABLE, "10.1.1.2", kMac);
    EXPECT_FALSE(ParseNeighbourMessage(route.data(), route.size()).has_value());
    auto v6 = NeighbourMessage(RTM_NEWNEIGH, 3, NUD_REACHABLE, "10.1.1.2", kMac, AF_INET6);
    EXPECT_FALSE(ParseNeighbourMessage(v6.data(), v6.size()).has_value());
    // No destination address.
    auto noDst = NeighbourMessage(RTM_NEWNEIGH, 3, NUD_REACHABLE, nullptr, kMac);
    EXPECT_FALSE(ParseNeighbourMessage(noDst.data(), noDst.size()).has_value());
    // An attribute whose length runs past the message: reading stops there.
    auto bad = good;
    rtattr a{};
    std::memcpy(&a, bad.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)), sizeof a);
    a.rta_len = 0xFFFF;
    std::memcpy(bad.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)), &a, sizeof a);
    EXPECT_FALSE(ParseNeighbourMessage(bad.data(), bad.size()).has_value());
    // A header that claims more than was received.
    auto longer = good;
    nlmsghdr h{};
    std::memcpy(&h, longer.data(), sizeof h);
    h.nlmsg_len += 64;
    std::memcpy(longer.data(), &h, sizeof h);
    EXPECT_FALSE(ParseNeighbourMessage(longer.data(), longer.size()).has_value());
}

// Against the kernel's table: a veth pair whose far end nobody answers on.
// A permanent entry is read as it stands; an address nobody answers gives
// nothing, within the time given; a broadcast of the subnet and our own
// address are refused.
TEST(Neighbour, KernelTableInAPrivateNamespace) {
    int code = -1;
    std::string why = InPrivateNetwork(
        [] {
            if (Sh("ip link set lo up") || Sh("ip link add tn0 type veth peer name tn1") ||
                Sh("ip addr add 10.88.0.1/24 dev tn0") || Sh("ip link set tn0 up") || Sh("ip link set tn1 up") ||
                Sh("ip neigh add 10.88.0.9 lladdr 02:00:5e:10:20:30 dev tn0 nud permanent"))
                return 78;
            const uint32_t index = if_nametoindex("tn0");
            if (ResolveNeighbourMac(index, "10.88.0.9", 1s) != std::optional<std::string>("02:00:5E:10:20:30"))
                return 1;
            if (ResolveNeighbourMac(0, "10.88.0.9", 1s) != std::optional<std::string>("02:00:5E:10:20:30"))
                return 2;  // adapter 0: the route's adapter
            const auto start = std::chrono::steady_clock::now();
            if (ResolveNeighbourMac(index, "10.88.0.20", 700ms).has_value()) return 3;
            if (std::chrono::steady_clock::now() - start > 700ms + 500ms) return 4;
            if (ResolveNeighbourMac(index, "10.88.0.255", 1s).has_value()) return 5;  // the subnet's broadcast
            if (ResolveNeighbourMac(index, "10.88.0.1", 1s).has_value()) return 6;    // our own address
            return 0;
        },
        code);
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_NE(code, 78) << "could not build the veth pair (iproute2 missing?)";
    EXPECT_EQ(code, 0) << "failed check " << code;
}
