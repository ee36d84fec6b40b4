// The IP-change message bytes and its sending, on loopback only.
#include "discovery/ipchange.h"
#include "loopback_helpers.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Slice(const std::array<uint8_t, 72>& m, size_t from, size_t to) { return Bytes(m.begin() + from, m.begin() + to); }

}  // namespace

TEST(IPChangeMessage, HeaderAndDhcpAndTexts) {
    auto m = IPChangeMessage("GigE3", true, "0.0.0.0", "0.0.0.0", "0.0.0.0", "FEC1");
    EXPECT_EQ(Slice(m, 0, 8), (Bytes{0x01, 0x00, 0x00, 0x48, 0xAB, 0xCD, 0x01, 0x23}));
    EXPECT_EQ(Slice(m, 20, 24), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(Slice(m, 24, 32), Bytes(8, 0));
    EXPECT_EQ(Slice(m, 32, 38), (Bytes{'G', 'i', 'g', 'E', '3', 0}));
    EXPECT_EQ(Slice(m, 38, 52), Bytes(14, 0));
    EXPECT_EQ(Slice(m, 52, 57), (Bytes{'F', 'E', 'C', '1', 0}));
    EXPECT_EQ(Slice(m, 57, 72), Bytes(15, 0));
}

TEST(IPChangeMessage, Addresses) {
    auto m = IPChangeMessage("cam", false, "192.168.1.20", "255.255.255.0", "192.168.1.1", "LAN90001");
    EXPECT_EQ(Slice(m, 8, 20), (Bytes{0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xA8, 0x01, 0x14, 0xC0, 0xA8, 0x01, 0x01}));
    EXPECT_EQ(Slice(m, 20, 24), (Bytes{0, 0, 0, 0}));
    // Texts that are no address give 255.255.255.255.
    m = IPChangeMessage("cam", false, "", "300.1.1.1", "x", "LAN90001");
    EXPECT_EQ(Slice(m, 8, 20), Bytes(12, 0xFF));
}

TEST(IPChangeMessage, LongTextsAreCut) {
    const std::string host = "abcdefghijklmnopqrstuvwxy";  // 25 characters
    auto m = IPChangeMessage(host, false, "1.2.3.4", "255.0.0.0", "1.2.3.1", "%s%n-interface-name-long");
    EXPECT_EQ(std::string(m.begin() + 32, m.begin() + 51), host.substr(0, 19));
    EXPECT_EQ(m[51], 0);
    EXPECT_EQ(std::string(m.begin() + 52, m.begin() + 71), std::string("%s%n-interface-name-long").substr(0, 19));
    EXPECT_EQ(m[71], 0);
}

TEST(IPChangeBroadcast, StopsAtTheFirstAdapterWithoutAddress) {
    FakeCamera listener([](const Bytes&) { return std::vector<Bytes>{}; }, "127.0.0.2");
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter(), MakeAdapter(2, "0.0.0.0", "0.0.0.0"),
                                          MakeAdapter(3, "127.0.0.3", "255.0.0.0", "0.0.0.0", "lo")});
    IPChangeTarget target{"127.0.0.2", listener.Port()};
    EXPECT_EQ(SendIPChangeBroadcast("GigE3", false, "10.0.0.9", "255.0.0.0", "10.0.0.1", "LAN90001", target), -1);
    for (int i = 0; i < 100 && listener.Received().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto got = listener.Received();
    ASSERT_EQ(got.size(), 1u);  // only the first adapter sent
    auto expected = IPChangeMessage("GigE3", false, "10.0.0.9", "255.0.0.0", "10.0.0.1", "LAN90001");
    EXPECT_EQ(got[0], Bytes(expected.begin(), expected.end()));
}

TEST(IPChangeBroadcast, EveryAdapterSends) {
    FakeCamera listener([](const Bytes&) { return std::vector<Bytes>{}; }, "127.0.0.2");
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter(), MakeAdapter(3, "127.0.0.3", "255.0.0.0", "0.0.0.0", "lo")});
    IPChangeTarget target{"127.0.0.2", listener.Port()};
    EXPECT_EQ(SendIPChangeBroadcast("cam", true, "", "", "", "FEC1", target), 0);
    for (int i = 0; i < 100 && listener.Received().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(listener.Received().size(), 2u);
}

TEST(IPChangeBroadcast, FailuresReturnCodes) {
    {
        ScopedAdapterTable table(std::nullopt);
        EXPECT_EQ(SendIPChangeBroadcast("cam", true, "", "", "", "FEC1", {"127.0.0.2", 9}), -1);
    }
    {
        // Not this machine's address: the bind fails with the socket error.
        ScopedAdapterTable table(AdapterTable{MakeAdapter(1, "192.0.2.1", "255.255.255.0")});
        EXPECT_EQ(SendIPChangeBroadcast("cam", true, "", "", "", "FEC1", {"127.0.0.2", 9}), EADDRNOTAVAIL);
    }
}

// The report says how many adapters sent and why a broadcast stopped, so the
// caller never claims a broadcast that did not happen.
TEST(IPChangeBroadcast, ReportCountsTheSendsAndNamesTheFailure) {
    FakeCamera listener([](const Bytes&) { return std::vector<Bytes>{}; }, "127.0.0.2");
    IPChangeBroadcastReport report;
    {
        ScopedAdapterTable table(AdapterTable{LoopbackAdapter(), MakeAdapter(2, "0.0.0.0", "0.0.0.0", "0.0.0.0", "eth9")});
        EXPECT_EQ(SendIPChangeBroadcast("cam", true, "", "", "", "FEC1", {"127.0.0.2", listener.Port()}, &report), -1);
        EXPECT_EQ(report.result, -1);
        EXPECT_EQ(report.sent, 1u);  // the first adapter did send
        EXPECT_EQ(report.failure, "adapter eth9 has no address");
    }
    {
        ScopedAdapterTable table(AdapterTable{});
        EXPECT_EQ(SendIPChangeBroadcast("cam", true, "", "", "", "FEC1", {"127.0.0.2", 9}, &report), 0);
        EXPECT_EQ(report.sent, 0u);
        EXPECT_EQ(report.failure, "no network adapter with an address");
    }
}

// The port is taken by a socket that does not share it: nothing goes out and
// the report names the bind and its error.
TEST(IPChangeBroadcast, ReportWhenThePortCannotBeBound) {
    CUdpSocket holder;
    ASSERT_TRUE(holder.Open());
    ASSERT_TRUE(holder.Bind("127.0.0.1", 0));
    const uint16_t port = holder.LocalPort();
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter()});
    IPChangeBroadcastReport report;
    EXPECT_EQ(SendIPChangeBroadcast("cam", false, "10.0.0.2", "255.0.0.0", "10.0.0.1", "LAN90001", {"127.0.0.2", port},
                                    &report),
              EADDRINUSE);
    EXPECT_EQ(report.sent, 0u);
    EXPECT_EQ(report.failure, "binding 127.0.0.1:" + std::to_string(port) + " failed: " + std::strerror(EADDRINUSE));
}

// Port 810 is privileged: a user without the capability cannot bind it. Run
// in a child that gives up root first (or as it is, when not root).
TEST(IPChangeBroadcast, ReportWhenThePrivilegedPortIsRefused) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        ScopedAdapterTable table(AdapterTable{LoopbackAdapter()});
        IPChangeBroadcastReport report;
        SendIPChangeBroadcast("cam", true, "", "", "", "FEC1", {"127.0.0.2", kIPChangePort}, &report);
        const std::string line = std::to_string(report.result) + " " + std::to_string(report.sent) + " " + report.failure;
        [[maybe_unused]] ssize_t n = ::write(fds[1], line.data(), line.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not give up root";
    EXPECT_EQ(got, std::to_string(EACCES) + " 0 binding 127.0.0.1:810 failed: " + std::strerror(EACCES));
}
