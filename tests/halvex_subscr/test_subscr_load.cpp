// Bounded load: 100 UDP subscribers on one resource of the library's server,
// 1000 writes through the client over TCP. Every subscriber must see the
// writes in order; a lost datagram is counted and reported. Loss is only
// asserted to be zero when every socket's receive buffer can hold all of its
// datagrams, which makes delivery on loopback independent of the reader's
// speed.
#include "subscr_fixture.h"

#include <halvex/client/resourceclientlib.h>

#include <poll.h>

#include <cstdio>
#include <memory>
#include <vector>

using namespace ZYRK;
using namespace subscrtest;

namespace {

constexpr int kSubscribers = 100;
constexpr int kWrites = 1000;
// What one 512-byte datagram may take of a loopback receive buffer.
constexpr int kBytesPerDatagram = 4096;

TEST(SubscrLoad, HundredSubscribersSeeEveryWriteInOrder)
{
    CServerResourceTree tree;
    tree.AddValue(".counter", CResourceValue(-1));
    Server server(tree);
    ASSERT_NE(server.Port(), 0);
    CClientResourceTree client;
    ASSERT_EQ(client.Init("127.0.0.1", server.Port(), true), ERR_OK);
    CResource* counter = Open(client, ".counter");
    ASSERT_NE(counter, nullptr);

    std::vector<int> sockets(kSubscribers, -1);
    bool buffersHoldEverything = true;
    for (int i = 0; i < kSubscribers; ++i) {
        uint16_t port = 0;
        sockets[i] = UdpSocket(port, kWrites * kBytesPerDatagram / 2);  // the kernel doubles it
        ASSERT_GE(sockets[i], 0);
        int got = 0;
        socklen_t len = sizeof got;
        getsockopt(sockets[i], SOL_SOCKET, SO_RCVBUF, &got, &len);
        if (got < kWrites * kBytesPerDatagram) buffersHoldEverything = false;
        ASSERT_EQ(counter->AddSubscr(RES_SUBSCR_UDP, 0, port, 1000 + i, 0, RES_SUBSCR_NOREPLY, 0, 0, nullptr), ERR_OK);
    }

    // One reader drains every socket while the writes go on.
    std::vector<int> received(kSubscribers, 0), last(kSubscribers, -1), outOfOrder(kSubscribers, 0),
        wrongId(kSubscribers, 0);
    std::atomic<bool> writing{true};
    std::thread reader([&] {
        std::vector<pollfd> fds(kSubscribers);
        for (int i = 0; i < kSubscribers; ++i) fds[i] = {sockets[i], POLLIN, 0};
        // After the writes, wait until a quiet second passes.
        int quiet = 0;
        while (writing || quiet < 10) {
            int n = poll(fds.data(), fds.size(), 100);
            if (n <= 0) {
                if (!writing) ++quiet;
                continue;
            }
            quiet = 0;
            for (int i = 0; i < kSubscribers; ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                uint8_t d[1020];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t r;
                while ((r = recvfrom(sockets[i], d, sizeof d, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                     &len)) > 0) {
                    unsigned long id = 0;
                    CResourceValue v;
                    if (res_decode_notify(d, size_t(r), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), &id, v) !=
                        0) {
                        continue;
                    }
                    ++received[i];
                    if (id != unsigned(1000 + i)) ++wrongId[i];
                    if (v.GetInt() <= last[i]) ++outOfOrder[i];
                    last[i] = v.GetInt();
                    len = sizeof from;
                }
            }
        }
    });

    int writeFailures = 0;
    for (int k = 0; k < kWrites; ++k) {
        if (counter->Set(CResourceValue(k), RES_NOWAIT, 0, nullptr) != ERR_OK) ++writeFailures;
    }
    writing = false;
    reader.join();

    long lost = 0;
    for (int i = 0; i < kSubscribers; ++i) {
        lost += kWrites - received[i];
        EXPECT_EQ(outOfOrder[i], 0) << "subscriber " << i;
        EXPECT_EQ(wrongId[i], 0) << "subscriber " << i;
        EXPECT_LE(received[i], kWrites);
        if (buffersHoldEverything) {
            EXPECT_EQ(last[i], kWrites - 1) << "subscriber " << i;
        }
    }
    std::printf("UDP notifications: %d subscribers x %d writes, %ld lost (buffers %s hold every datagram)\n",
                kSubscribers, kWrites, lost, buffersHoldEverything ? "do" : "do not");
    ::testing::Test::RecordProperty("lost_notifications", std::to_string(lost));
    EXPECT_EQ(writeFailures, 0);
    if (buffersHoldEverything) {
        EXPECT_EQ(lost, 0);
    }

    for (int i = 0; i < kSubscribers; ++i) {
        uint16_t port = 0;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(sockets[i], reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        EXPECT_EQ(counter->RemoveSubscr(RES_SUBSCR_UDP, 0, port, 1000 + i, nullptr), ERR_OK);
        close(sockets[i]);
    }
    counter->Close();
}

}  // namespace
