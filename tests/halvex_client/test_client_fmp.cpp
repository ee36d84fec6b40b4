// The FMP transport: a resource exchange between two FMP sockets of this
// process over a queue server task on a free loopback port.
#include <halvex/client/fmp_socket.h>
#include <halvex/client/resourceclientlib_fmp.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/fmq.h>
#include <halvex/supervisor/supervisor.h>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "fmp_test_support.h"
#include "script_server.h"

using namespace ZYRK;
using fmptest::ReadFmpFrame;
using testsrv::Bytes;

namespace {

// An FMP port of this process's own, so that parallel runs do not meet.
uint16_t OwnFmpPort() { return uint16_t(0x4000 + getpid() % 0x3000); }

}  // namespace

TEST(ClientFmp, ExchangeOverFmpSockets) {
    const uint16_t qport = fmptest::QueueServerPort();
    ASSERT_NE(qport, 0) << "queue server task did not start";
    ::setenv("HALVEX_FMQ_PORT", std::to_string(qport).c_str(), 1);
    const uint16_t port = OwnFmpPort();

    int listener = fmp_socket();
    ASSERT_GT(listener, 0);
    ASSERT_EQ(fmp_bind(listener, port), 0);
    ASSERT_EQ(fmp_listen(listener, 1), 0);

    std::vector<Bytes> got;
    int closedResult = -2;
    std::thread server([&] {
        int c = fmp_accept(listener, nullptr, nullptr);
        if (c <= 0) return;
        for (int i = 0; i < 2; ++i) {
            Bytes req = ReadFmpFrame(c);
            got.push_back(req);
            Bytes reply = i == 0 ? testsrv::Frame({0xF1, 12}) : testsrv::Frame({0xFF, 171});
            fmp_send(c, reply.data(), int(reply.size()));
        }
        uint8_t b;
        closedResult = fmp_recv(c, &b, 1, 0);
        fmp_close(c);
    });

    CResourceClientLibFMP lib(port);
    EXPECT_EQ(lib.TmpGetSocket(), 0u);
    ASSERT_EQ(lib.Open(), 0);
    EXPECT_NE(lib.TmpGetSocket(), 0u);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    EXPECT_EQ(lib.clientlib_getsockname(reinterpret_cast<sockaddr*>(&a), &len), 0);
    EXPECT_EQ(a.sin_port, port);
    EXPECT_EQ(a.sin_addr.s_addr, uint32_t(INADDR_LOOPBACK));

    unsigned char send[RES_BUFFER_SIZE] = {}, recv[RES_BUFFER_SIZE] = {};
    ResCommType comm{RES_COMM_FMP, 0, 0};
    unsigned char version = 0;
    EXPECT_EQ(lib.ResProtocolVersion(comm, send, recv, &version), 0);
    EXPECT_EQ(version, 12);
    // A request larger than one queue message travels in pieces.
    std::string user(255, 'u'), password(255, 'p');
    EXPECT_EQ(lib.ResSendAuth(comm, send, recv, user.c_str(), password.c_str()), 171);
    EXPECT_EQ(lib.ResFlushBuffers(), 0);
    lib.Close();
    server.join();
    fmp_close(listener);

    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xF0}));
    ASSERT_EQ(got[1].size(), 8u + 2u + 255u + 1u + 255u);
    EXPECT_EQ(got[1][8], 0xD0);
    EXPECT_EQ(got[1].back(), 'p');
    EXPECT_EQ(closedResult, 0);  // the close reached the server side
}

TEST(ClientFmp, OutOfRangeAndUnconnectedSockets) {
    const uint16_t qport = fmptest::QueueServerPort();
    ASSERT_NE(qport, 0);
    ::setenv("HALVEX_FMQ_PORT", std::to_string(qport).c_str(), 1);
    EXPECT_EQ(fmp_send(FMP_MAX_SOCKETS + 1, "x", 1), -1);
    int s = fmp_socket();
    ASSERT_GT(s, 0);
    uint8_t b;
    EXPECT_EQ(uint32_t(fmp_recv(s, &b, 1, 0)), 0xAD000002u);  // not connected
    fmp_close(s);
}

// Connecting to a port nobody serves, or whose server never accepts, gives
// up within the connect bound the caller set, not after the socket layer's
// own ten seconds.
TEST(ClientFmp, ConnectingEndsWithinTheConnectBound) {
    const uint16_t qport = fmptest::QueueServerPort();
    ASSERT_NE(qport, 0) << "queue server task did not start";
    ::setenv("HALVEX_FMQ_PORT", std::to_string(qport).c_str(), 1);
    auto ms = [](auto start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    {
        CResourceClientLibFMP lib(uint16_t(OwnFmpPort() + 2));
        lib.SetConnectTimeout(300);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_LT(lib.Open(), 0);
        EXPECT_LE(ms(start), 300 + 500);
        EXPECT_EQ(fmp_get_last_error(), ERR_FMP_NO_SERVER);
    }
    // A listener that never accepts: the bound covers the wait for the accept.
    const uint16_t port = uint16_t(OwnFmpPort() + 3);
    int listener = fmp_socket();
    ASSERT_GT(listener, 0);
    ASSERT_EQ(fmp_bind(listener, port), 0);
    ASSERT_EQ(fmp_listen(listener, 1), 0);
    CResourceClientLibFMP lib(port);
    lib.SetConnectTimeout(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(lib.Open(), 0);
    EXPECT_LE(ms(start), 300 + 500);
    EXPECT_EQ(fmp_get_last_error(), ERR_FMP_NO_ACCEPT);
    fmp_close(listener);
}

// A peer that takes the request and never answers: with a timeout the
// exchange ends at its deadline instead of waiting while the peer exists.
TEST(ClientFmp, ASilentPeerEndsTheExchangeAtTheDeadline) {
    const uint16_t qport = fmptest::QueueServerPort();
    ASSERT_NE(qport, 0) << "queue server task did not start";
    ::setenv("HALVEX_FMQ_PORT", std::to_string(qport).c_str(), 1);
    const uint16_t port = uint16_t(OwnFmpPort() + 1);
    int listener = fmp_socket();
    ASSERT_GT(listener, 0);
    ASSERT_EQ(fmp_bind(listener, port), 0);
    ASSERT_EQ(fmp_listen(listener, 1), 0);
    std::thread server([&] {
        int c = fmp_accept(listener, nullptr, nullptr);
        if (c <= 0) return;
        ReadFmpFrame(c);
        uint8_t b;
        fmp_recv(c, &b, 1, 0);  // until the client closes
        fmp_close(c);
    });
    CResourceClientLibFMP lib(port);
    ASSERT_EQ(lib.Open(), 0);
    unsigned char send[RES_BUFFER_SIZE] = {}, recv[RES_BUFFER_SIZE] = {};
    unsigned char version = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib.ResProtocolVersion(ResCommType{RES_COMM_FMP, 300, 0}, send, recv, &version), RES_ERR_TIMEOUT);
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              300 + 500);
    lib.Close();
    server.join();
    fmp_close(listener);
}
