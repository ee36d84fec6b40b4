// Query-and-collect and the multicast query against a responder on a
// loopback address: the destination is redirected, so nothing leaves the
// machine.
#include "discovery/bonjour_scanner.h"
#include "discovery/udp_socket.h"
#include "loopback_responder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace mdnstest;

class BonjourLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        port = FreeLoopbackPort();
        scanner.SetDestination("127.0.0.2", port);
    }

    std::optional<AdapterTable> table = LoopbackTable();
    AdapterTableProvider tableSource = [this] { return table; };
    CAdapterTableSource adapters{tableSource};
    uint16_t port = 0;
    CBonjourScanner scanner;
};

TEST_F(BonjourLoopback, CollectsUnicastAnswersAndDropsThoseThatDoNotParse) {
    LoopbackResponder responder(0x7F000002, port);
    ASSERT_TRUE(responder.Ok());
    Bytes truncated = CameraResponse("T", "t", {"bsp=J3"});
    truncated[2] = 0x86;  // flags 0x8600
    responder.SetAnswers({CameraResponse("Cam1", "cam1", {"bsp=J3"}), truncated});

    std::vector<BonjourResponse> responses(3);  // emptied first
    ASSERT_TRUE(scanner.QueryAndCollect(1, responses, kCameraServiceType));
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].senderAddress, 0x7F000002u);
    EXPECT_EQ(responses[0].senderPort, port);
    EXPECT_EQ(responses[0].adapterIndex, LoopbackIndex());
    EXPECT_EQ(responses[0].datagram, CameraResponse("Cam1", "cam1", {"bsp=J3"}));

    auto queries = responder.Queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].bytes, BuildBonjourQuery(kCameraServiceType));
    EXPECT_NE(queries[0].fromPort, port) << "query-and-collect asks from an ephemeral port";
}

// mDNS allows datagrams up to 9000 bytes: large answers are read; one that is
// longer, or that does not parse, is dropped alone and the answers beside it
// stay, in arrival order.
TEST_F(BonjourLoopback, LargeAnswersAreReadAndBadOnesDroppedAlone) {
    LoopbackResponder responder(0x7F000002, port);
    ASSERT_TRUE(responder.Ok());
    Bytes tooLong = Header();
    Append(tooLong, Record(Name("pad"), 99, Bytes(9001 - 12 - 5 - 10, 0)));
    ASSERT_EQ(tooLong.size(), 9001u);
    Bytes exactly9000 = Header();
    Append(exactly9000, Record(Name("pad"), 99, Bytes(9000 - 12 - 5 - 10, 0)));
    ASSERT_EQ(exactly9000.size(), 9000u);
    Bytes malformed = CameraResponse("Bad", "bad", {"bsp=J3"});
    malformed.resize(malformed.size() - 3);  // the last record runs past the end
    const Bytes large = LargeCameraResponse("Large", 1200);
    ASSERT_GT(large.size(), 1200u);
    responder.SetAnswers({CameraResponse("Cam1", "cam1", {"bsp=J3"}), tooLong, malformed, large, exactly9000,
                          CameraResponse("Cam2", "cam2", {"bsp=J3"})});

    std::vector<BonjourResponse> responses;
    ASSERT_TRUE(scanner.QueryAndCollect(1, responses, kCameraServiceType));
    ASSERT_EQ(responses.size(), 4u);
    EXPECT_EQ(responses[0].datagram, CameraResponse("Cam1", "cam1", {"bsp=J3"}));
    EXPECT_EQ(responses[1].datagram, large);
    EXPECT_EQ(responses[2].datagram.size(), 9000u);
    EXPECT_EQ(responses[3].datagram, CameraResponse("Cam2", "cam2", {"bsp=J3"}));
    DeviceInfo info;
    ApplyBonjourRecords(responses[1], info);
    EXPECT_EQ(info.name, "Large._zyrk-ircam._tcp.local");
    EXPECT_EQ(info.txt["bsp"], "J3");
    EXPECT_GT(info.txt.size(), 5u);
}

// Over-long datagrams are dropped one by one however many come: a host that
// sends a run of them does not end the adapter's collection, and an answer
// after them is still collected.
TEST_F(BonjourLoopback, ARunOfOverlongDatagramsLeavesTheWindowOpen) {
    LoopbackResponder responder(0x7F000002, port);  // records the query, answers nothing itself
    ASSERT_TRUE(responder.Ok());
    std::vector<BonjourResponse> responses;
    std::thread scan([&] {
        CAdapterTableSource same(tableSource);
        scanner.QueryAndCollect(2, responses, kCameraServiceType);
    });
    for (int i = 0; i < 300 && responder.Queries().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto queries = responder.Queries();
    if (!queries.empty()) {
        const Bytes tooLong = LargeCameraResponse("Huge", 9100);
        ASSERT_GT(tooLong.size(), 9000u);
        CUdpSocket s;
        ASSERT_TRUE(s.Open());
        ASSERT_TRUE(s.Bind(0x7F000003, 0));
        for (int i = 0; i < 40; ++i) {
            s.SendTo(queries[0].fromAddress, queries[0].fromPort, tooLong.data(), tooLong.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // within the receive buffer's room
        }
        const Bytes answer = CameraResponse("After", "after", {"bsp=J3"});
        s.SendTo(queries[0].fromAddress, queries[0].fromPort, answer.data(), answer.size());
    }
    scan.join();
    ASSERT_EQ(queries.size(), 1u);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].datagram, CameraResponse("After", "after", {"bsp=J3"}));
}

// All adapters at once (the command-line scan): one query on each and one
// window for all, in which every adapter's answers are collected.
TEST_F(BonjourLoopback, ConcurrentAdaptersShareOneWindow) {
    LoopbackResponder responder(0x7F000002, port);
    ASSERT_TRUE(responder.Ok());
    responder.SetAnswers({CameraResponse("Cam1", "cam1", {"bsp=J3"}), CameraResponse("Cam2", "cam2", {"bsp=J3"})});
    AdapterTable two = *table;
    two.push_back(two.front());
    two[1].address = "127.0.0.9";  // a second adapter on the loopback device
    table = two;
    scanner.SetConcurrentAdapters(true);
    std::vector<BonjourResponse> responses;
    ASSERT_TRUE(scanner.QueryAndCollect(1, responses, kCameraServiceType));
    EXPECT_EQ(responder.Queries().size(), 2u);
    ASSERT_EQ(responses.size(), 4u);
    // Each adapter's answers in arrival order.
    EXPECT_EQ(responses[0].datagram, CameraResponse("Cam1", "cam1", {"bsp=J3"}));
    EXPECT_EQ(responses[1].datagram, CameraResponse("Cam2", "cam2", {"bsp=J3"}));
    EXPECT_EQ(responses[2].datagram, CameraResponse("Cam1", "cam1", {"bsp=J3"}));
    EXPECT_EQ(responses[3].datagram, CameraResponse("Cam2", "cam2", {"bsp=J3"}));
}

TEST_F(BonjourLoopback, AdaptersWithoutAddressAndMissingTablesSendNothing) {
    LoopbackResponder responder(0x7F000002, port);
    ASSERT_TRUE(responder.Ok());
    AdapterInfo none;
    none.index = 4242;
    none.address = "0.0.0.0";
    none.mask = "0.0.0.0";
    none.gateway = "0.0.0.0";
    table = AdapterTable{none};
    std::vector<BonjourResponse> responses;
    EXPECT_TRUE(scanner.QueryAndCollect(1, responses, kCameraServiceType));
    EXPECT_TRUE(scanner.MulticastQuery(kCameraServiceType));

    table = std::nullopt;
    EXPECT_TRUE(scanner.QueryAndCollect(1, responses, kCameraServiceType));
    EXPECT_TRUE(responses.empty());
    EXPECT_TRUE(responder.Queries().empty());
}

TEST_F(BonjourLoopback, MulticastQueryIsSentFromTheMdnsPort) {
    LoopbackResponder responder(0x7F000002, port);
    ASSERT_TRUE(responder.Ok());
    ASSERT_TRUE(scanner.MulticastQuery(kCameraServiceType));
    // The responder thread may need a moment; wait boundedly for the query.
    for (int i = 0; i < 200 && responder.Queries().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto queries = responder.Queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].fromPort, port);
    EXPECT_EQ(queries[0].bytes.size(), 40u);
}

TEST_F(BonjourLoopback, AStopRequestEndsTheCollectionEarly) {
    LoopbackResponder responder(0x7F000002, port);
    ASSERT_TRUE(responder.Ok());
    table = AdapterTable{LoopbackTable().front(), LoopbackTable().front()};
    const auto start = std::chrono::steady_clock::now();
    scanner.stopRequested = [start] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); };
    std::vector<BonjourResponse> responses;
    EXPECT_TRUE(scanner.QueryAndCollect(10, responses, kCameraServiceType));  // ten seconds per adapter
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
