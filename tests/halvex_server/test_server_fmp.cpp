// The FMP connection tasks over a queue server task of this process: raw
// request frames on FMP sockets.
#include "server_fixture.h"
#include "tests/halvex_client/fmp_test_support.h"

#include <halvex/client/fmp_socket.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/fmq.h>
#include <halvex/supervisor/supervisor.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <type_traits>

using namespace ZYRK;
using namespace srvtest;
using fmptest::ReadFmpFrame;

namespace {

// The FMP task shares the connection handling with the TCP task, but not the
// TCP task's host grants, bind address and timeouts.
static_assert(std::is_base_of_v<CResourceConnectionTask, CResourceFMPServerTask>);
static_assert(!std::is_base_of_v<CResourceTCPServerTask, CResourceFMPServerTask>);

bool FmpSend(int s, const Bytes& b) { return fmp_send(s, b.data(), int(b.size())) == int(b.size()); }

int FmpConnect(uint16_t port)
{
    int s = fmp_socket();
    if (s <= 0) return -1;
    if (fmp_connect(s, port) != 0) {
        fmp_close(s);
        return -1;
    }
    return s;
}

TEST(ServerFmp, RequestsAndSessionsOverFmpSockets)
{
    const uint16_t qport = fmptest::QueueServerPort();
    ASSERT_NE(qport, 0) << "queue server task did not start";
    ::setenv("HALVEX_FMQ_PORT", std::to_string(qport).c_str(), 1);

    CServerResourceTree tree;
    BuildTree(tree);
    const std::string name = "resource_fmp_listener_" + std::to_string(getpid());
    auto* task = new CResourceFMPServerTask;
    task->SetTree(&tree);
    ASSERT_EQ(task->Init(name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE), ERR_OK);
    ASSERT_EQ(CSupervisor().AddTask(task, CLibContainer::INITED), ERR_OK);
    const uint32_t arg[4] = {0, uint32_t(0x5000 + getpid() % 0x3000), 0, 0};
    ASSERT_EQ(CSupervisor().Start(name.c_str(), arg), ERR_OK);
    for (int i = 0; i < 500 && task->GetPort() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint16_t port = task->GetPort();
    ASSERT_NE(port, 0);

    // One request per connection.
    int s = FmpConnect(port);
    ASSERT_GT(s, 0);
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0xF0).b)));
    EXPECT_EQ(ReadFmpFrame(s), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 2, 0xF1, 0x0C}));
    fmp_close(s);

    // A session; requests count as local, so the user extension is honoured
    // and host authentication is unknown here.
    s = FmpConnect(port);
    ASSERT_GT(s, 0);
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0xC0).u8(0).b)));
    EXPECT_EQ(ReadFmpFrame(s), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1}));
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0x01).cstr(".secret").u8(0).b)));
    EXPECT_EQ(ReadFmpFrame(s), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 6, 0x02, 0x02, 0, 0, 0, 42}));
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0xF2).u8(2).be16(7).u8(0x01).cstr(".secret").u8(0).b, 1)));
    EXPECT_EQ(ReadFmpFrame(s), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 2, 0xFF, 0xAA}));
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0xD0).lstr("shell").lstr("").b)));
    EXPECT_EQ(ReadFmpFrame(s), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 2, 0xFF, 0xA6}));
    // A reply larger than one queue message.
    std::string text(1500, 'y');
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0x11).u8(0x04).cstr(".net.LAN.address").cstr(text.c_str()).b)));
    EXPECT_EQ(ReadFmpFrame(s).size(), 10u);
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0x01).cstr(".net.LAN.address").u8(0).b)));
    EXPECT_EQ(ReadFmpFrame(s).size(), 8u + 2u + 1501u);
    ASSERT_TRUE(FmpSend(s, Frame(Req().u8(0xC2).b)));
    EXPECT_EQ(ReadFmpFrame(s), (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC3}));
    uint8_t b;
    EXPECT_EQ(fmp_recv(s, &b, 1, 0), 0);
    fmp_close(s);

    CSupervisor().Stop(name.c_str());
    task->Shutdown();
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = true;
        for (const std::string& n : {name, std::string("fmpserver_") + std::to_string(CResourceFMPServerTask::mulForkCounter.load())}) {
            CTaskContainer* t = CSupervisor().GetTask(n.c_str());
            if (t) {
                t->Release();
                gone = false;
            }
        }
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
}

}  // namespace
