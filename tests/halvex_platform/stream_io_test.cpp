// The library's stream piece against peers that misbehave on purpose: one
// that drips, one that stays silent, one that never reads, one that closes
// in mid-buffer, and a caller that gives up.
#include "halvex/platform/stream_io_internal.h"

#include <halvex/client/res_cancel.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

using namespace ZYRK;
using namespace ZYRK::Platform;

namespace {

using Clock = std::chrono::steady_clock;

// A connected pair of non-blocking stream sockets.
struct Pair {
    Pair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~Pair()
    {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    void CloseB()
    {
        close(b);
        b = -1;
    }
    int a = -1;
    int b = -1;
};

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(StreamIo, DrippingPeerIsReadWholeWithinTheDeadline)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    std::thread drip([&] {
        for (uint8_t i = 0; i < 8; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ(send(p.b, &i, 1, MSG_NOSIGNAL), 1);
        }
    });
    uint8_t got[8] = {};
    size_t received = 0;
    const StreamWait wait{DeadlineIn(5000)};
    EXPECT_EQ(RecvAllBy(p.a, got, sizeof got, &wait, &received), 8);
    drip.join();
    EXPECT_EQ(received, 8u);
    for (uint8_t i = 0; i < 8; ++i) EXPECT_EQ(got[i], i);
}

TEST(StreamIo, CloseBeforeAndInTheMiddleOfABuffer)
{
    uint8_t got[4];
    const StreamWait wait{DeadlineIn(5000)};
    {
        Pair p;
        p.CloseB();
        EXPECT_EQ(RecvAllBy(p.a, got, sizeof got, &wait), 0);
    }
    {
        Pair p;
        ASSERT_EQ(send(p.b, "xy", 2, MSG_NOSIGNAL), 2);
        p.CloseB();
        size_t received = 0;
        const long r = RecvAllBy(p.a, got, sizeof got, &wait, &received);
        EXPECT_EQ(StreamErrno(r), ECONNRESET);
        EXPECT_EQ(received, 2u);
    }
    {
        // A send to a peer that has gone raises no signal and fails.
        Pair p;
        p.CloseB();
        EXPECT_EQ(StreamErrno(SendAllBy(p.a, "z", 1, &wait)), EPIPE);
    }
}

TEST(StreamIo, SilentAndNonReadingPeersEndAtTheDeadline)
{
    Pair p;
    uint8_t got[4];
    auto start = Clock::now();
    const StreamWait recvWait{DeadlineIn(200)};
    EXPECT_EQ(RecvAllBy(p.a, got, sizeof got, &recvWait), STREAM_TIMEOUT);
    EXPECT_LT(MsSince(start), 200 + 500);

    // More than the socket buffers hold, to a peer that never reads.
    std::vector<uint8_t> big(8 << 20, 0x55);
    start = Clock::now();
    const StreamWait sendWait{DeadlineIn(200)};
    EXPECT_EQ(SendAllBy(p.a, big.data(), big.size(), &sendWait), STREAM_TIMEOUT);
    EXPECT_LT(MsSince(start), 200 + 500);
}

TEST(StreamIo, CancelEndsAWaitWithoutDeadlineAtOnce)
{
    Pair p;
    CResCancel cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel.Cancel();
    });
    const auto start = Clock::now();
    uint8_t got[4];
    const StreamWait wait{0, &cancel};
    EXPECT_EQ(RecvAllBy(p.a, got, sizeof got, &wait), STREAM_CANCELLED);
    canceller.join();
    EXPECT_LT(MsSince(start), 50 + 500);
    // Once cancelled, a wait ends before it looks at the socket.
    EXPECT_EQ(WaitSocket(p.a, true, wait), STREAM_CANCELLED);
}

TEST(StreamIo, ConnectReportsRefusalAndSuccess)
{
    // A listener that is closed again leaves a port that refuses.
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(l, 4), 0);
    socklen_t len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);

    int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const StreamWait wait{DeadlineIn(5000)};
    EXPECT_EQ(ConnectSocket(c, htonl(INADDR_LOOPBACK), port, wait), 0);
    close(c);
    close(l);

    c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    EXPECT_EQ(StreamErrno(ConnectSocket(c, htonl(INADDR_LOOPBACK), port, wait)), ECONNREFUSED);
    close(c);
}

TEST(StreamIo, MoveAllStopsAtTheFirstEndOrError)
{
    size_t moved = 0;
    int calls = 0;
    auto threeThenEnd = [&](size_t, size_t left) -> long {
        ++calls;
        return calls <= 3 ? long(left < 2 ? left : 2) : 0;
    };
    EXPECT_EQ(MoveAll(5, threeThenEnd, &moved), 5);
    EXPECT_EQ(moved, 5u);
    calls = 0;
    EXPECT_EQ(MoveAll(10, threeThenEnd, &moved), 0);
    EXPECT_EQ(moved, 6u);
    EXPECT_EQ(MoveAll(10, [](size_t, size_t) -> long { return StreamError(EIO); }, &moved), StreamError(EIO));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(StreamErrno(STREAM_TIMEOUT), 0);
    EXPECT_EQ(StreamErrno(StreamError(0)), EIO);
}

}  // namespace
