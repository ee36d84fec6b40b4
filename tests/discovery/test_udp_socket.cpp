// The UDP socket layer on loopback: what a receive reports beside the bytes
// (sender, destination, truncation), the source address of a send, moves
// and the readiness wait over several descriptors.
#include "discovery/udp_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include <netinet/in.h>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A socket bound to `address` on a port of the system's choice.
CUdpSocket Bound(uint32_t address = kLoopback) {
    CUdpSocket s;
    EXPECT_TRUE(s.Open());
    EXPECT_TRUE(s.Bind(address, 0));
    return s;
}

}  // namespace

TEST(UdpSocket, ReceiveReportsSenderAndCutsOverlongDatagrams) {
    CUdpSocket receiver = Bound();
    CUdpSocket sender = Bound(0x7F000002);
    const std::vector<uint8_t> big(600, 0xAB);
    ASSERT_TRUE(sender.SendTo(kLoopback, receiver.LocalPort(), big.data(), big.size()));
    ASSERT_TRUE(sender.SendTo(kLoopback, receiver.LocalPort(), big.data(), 100));

    std::vector<uint8_t> buf(512);
    CUdpSocket::Received from;
    ASSERT_EQ(receiver.WaitReadable(2000), 1);
    EXPECT_EQ(receiver.Receive(buf.data(), buf.size(), from), 512);
    EXPECT_TRUE(from.truncated);
    EXPECT_EQ(from.fromAddress, 0x7F000002u);
    EXPECT_EQ(from.fromPort, sender.LocalPort());
    EXPECT_EQ(from.from.ss_family, AF_INET);
    EXPECT_EQ(from.fromLength, static_cast<socklen_t>(sizeof(sockaddr_in)));

    ASSERT_EQ(receiver.WaitReadable(2000), 1);
    EXPECT_EQ(receiver.Receive(buf.data(), buf.size(), from), 100);
    EXPECT_FALSE(from.truncated) << "what a receive reports is its own, not the last one's";

    // Nothing left: a receive that does not wait says so at once.
    EXPECT_EQ(receiver.Receive(buf.data(), buf.size(), from, false), -1);
    EXPECT_TRUE(receiver.LastError() == EAGAIN || receiver.LastError() == EWOULDBLOCK);
    EXPECT_EQ(receiver.WaitReadable(0), 0);
}

TEST(UdpSocket, PacketInfoGivesTheDestinationAndSendsFromAChosenSource) {
    // Bound to any address: which of the loopback addresses a datagram was
    // sent to is known only from the packet information.
    CUdpSocket receiver = Bound(INADDR_ANY);
    ASSERT_TRUE(receiver.EnablePacketInfo());
    CUdpSocket sender = Bound(INADDR_ANY);
    const uint8_t byte = 1;
    ASSERT_TRUE(sender.SendTo(0x7F000005, receiver.LocalPort(), &byte, 1, 0x7F000007));

    uint8_t buf[16];
    CUdpSocket::Received from;
    ASSERT_EQ(receiver.WaitReadable(2000), 1);
    ASSERT_EQ(receiver.Receive(buf, sizeof buf, from), 1);
    EXPECT_EQ(from.destination, 0x7F000005u);
    EXPECT_EQ(from.fromAddress, 0x7F000007u) << "the source set for this datagram alone";
}

TEST(UdpSocket, MovedSocketKeepsItsPortAndBadInputFailsCleanly) {
    CUdpSocket first = Bound();
    const uint16_t port = first.LocalPort();
    CUdpSocket second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(second.LocalPort(), port);
    CUdpSocket third;
    third = std::move(second);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(third.LocalPort(), port);

    EXPECT_FALSE(third.Bind("not an address", 0));
    EXPECT_EQ(third.LastError(), EINVAL);
    EXPECT_FALSE(third.SendTo("300.1.1.1", port, "x", 1));
    EXPECT_FALSE(third.BindToDevice(""));
    EXPECT_EQ(third.LastError(), ENODEV);
    CUdpSocket closed;
    EXPECT_EQ(closed.LocalPort(), 0);
}

TEST(UdpSocket, WaitAnyReadableStartsItsLookWhereAskedAndEndsOnTime) {
    CUdpSocket a = Bound(), b = Bound(), c = Bound();
    EXPECT_EQ(WaitAnyReadable({}, 0), -1);
    EXPECT_EQ(WaitAnyReadable({a.Handle(), b.Handle(), c.Handle()}, 20), -2);

    CUdpSocket sender = Bound();
    const uint8_t byte = 1;
    ASSERT_TRUE(sender.SendTo(kLoopback, a.LocalPort(), &byte, 1));
    ASSERT_TRUE(sender.SendTo(kLoopback, c.LocalPort(), &byte, 1));
    const std::vector<int> fds{a.Handle(), b.Handle(), c.Handle()};
    ASSERT_EQ(WaitAnyReadable(fds, 2000, 0), 0);
    ASSERT_EQ(WaitAnyReadable(fds, 2000, 2), 2);  // both readable by now
    EXPECT_EQ(WaitAnyReadable(fds, 2000, 1), 2) << "from 1 on, c comes before a";
    EXPECT_EQ(WaitAnyReadable(fds, 2000, 3), 0) << "the start wraps";
}
