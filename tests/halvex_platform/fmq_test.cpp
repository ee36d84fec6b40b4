#include "child_process.h"
#include "fmq_support.h"

#include <halvex/platform/fmq.h>

#include "halvex/platform/fmq_wire.h"
#include "halvex/platform/namedevent.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <vector>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ZYRK;
using fmqtest::UniqueQueueName;

namespace {

uint16_t gPort = 0;

class ServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        gPort = fmqtest::StartServer("fmqtest_listen");
        ASSERT_NE(gPort, 0);
        setenv("HALVEX_FMQ_PORT", std::to_string(gPort).c_str(), 1);
    }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

uint32_t Msg(uint32_t first, uint8_t* buf, size_t size)
{
    std::memset(buf, 0, size);
    std::memcpy(buf, &first, 4);
    return first;
}

uint32_t FirstWord(const uint8_t* buf)
{
    uint32_t v;
    std::memcpy(&v, buf, 4);
    return v;
}

TEST(Queue, TwentyWritesThenFull)
{
    CQueue q;
    std::string name = UniqueQueueName();
    ASSERT_EQ(q.Init(name.c_str(), 20, 512, 0, 0), 0u);
    EXPECT_EQ(q.GetMsgSize(), 512u);
    uint8_t buf[512];
    for (uint32_t i = 0; i < 20; ++i) {
        Msg(i, buf, sizeof buf);
        ASSERT_EQ(q.Send(buf, sizeof buf), 0u) << i;
    }
    Msg(99, buf, sizeof buf);
    EXPECT_EQ(q.Send(buf, sizeof buf), FMQ_ERR_FULL);
    // Oldest first, across the wrap of the ring.
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
        EXPECT_EQ(FirstWord(buf), i);
    }
    for (uint32_t i = 20; i < 25; ++i) {
        Msg(i, buf, sizeof buf);
        ASSERT_EQ(q.Send(buf, sizeof buf), 0u);
    }
    for (uint32_t i = 5; i < 25; ++i) {
        ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
        EXPECT_EQ(FirstWord(buf), i);
    }
    EXPECT_EQ(q.Receive(buf, 0, 0, sizeof buf), FMQ_ERR_EMPTY);
    EXPECT_EQ(q.Delete(), 0u);
}

TEST(Queue, EmptyReadAndWaitingReceive)
{
    CQueue q;
    std::string name = UniqueQueueName();
    ASSERT_EQ(q.Init(name.c_str(), 4, 16, 0, 0), 0u);
    uint8_t buf[16] = {1, 2, 3};
    EXPECT_EQ(q.Receive(buf, 0, 0, sizeof buf), FMQ_ERR_EMPTY);
    EXPECT_EQ(buf[0], 0);  // the reply of an empty read is zeros
    EXPECT_EQ(q.Receive(buf, CQueue::RECEIVE_WAIT, 30, sizeof buf), ERR_TIMEOUT);

    std::thread writer([&] {
        CQueue w;
        ASSERT_EQ(w.Attach(name.c_str()), 0u);
        uint8_t m[16];
        Msg(0x1234, m, sizeof m);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(w.Send(m, sizeof m), 0u);
    });
    EXPECT_EQ(q.Receive(buf, CQueue::RECEIVE_WAIT, 0, sizeof buf), 0u);
    EXPECT_EQ(FirstWord(buf), 0x1234u);
    writer.join();
    // A queue object without the event cannot receive.
    CQueue attached;
    ASSERT_EQ(attached.Attach(name.c_str()), 0u);
    EXPECT_EQ(attached.Receive(buf, 0, 0, sizeof buf), ERR_CANT_GET_HANDLE);
    EXPECT_EQ(attached.GetQueueId(), q.GetQueueId());
    char qname[16];
    ASSERT_EQ(attached.GetQueueName(qname, sizeof qname), 0u);
    EXPECT_EQ(name, qname);
}

TEST(Queue, ThresholdDropsDiscardableMessages)
{
    CQueue q;
    std::string name = UniqueQueueName();
    ASSERT_EQ(q.Init(name.c_str(), 10, 8, 5, 0), 0u);
    FMQ_STATE_T state{};
    FMQ_HANDLE h = IpcFMQInit(CQueue::DefaultPort());
    ASSERT_NE(h, nullptr);
    uint8_t buf[8];
    for (uint32_t i = 1; i <= 5; ++i)
        ASSERT_EQ(q.Send(buf, Msg(i, buf, sizeof buf) ? sizeof buf : 0), 0u);
    // Five plain messages held: a sixth, discardable one is dropped quietly.
    Msg(FMQ_DISCARDABLE | 6, buf, sizeof buf);
    EXPECT_EQ(q.Send(buf, sizeof buf), 0u);
    ASSERT_EQ(IpcFMQQueryQueueState(h, name.c_str(), &state), 0u);
    EXPECT_EQ(state.msgCount, 5u);
    EXPECT_EQ(state.threshold, 5u);
    // A plain sixth message is appended.
    Msg(7, buf, sizeof buf);
    EXPECT_EQ(q.Send(buf, sizeof buf), 0u);
    for (uint32_t expect : {1u, 2u, 3u, 4u, 5u, 7u}) {
        ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
        EXPECT_EQ(FirstWord(buf), expect);
    }
    // One marked among five: the marked one goes, the new one is appended.
    for (uint32_t i : {10u, FMQ_DISCARDABLE | 11u, 12u, 13u, 14u}) {
        Msg(i, buf, sizeof buf);
        ASSERT_EQ(q.Send(buf, sizeof buf), 0u);
    }
    ASSERT_EQ(IpcFMQQueryQueueState(h, name.c_str(), &state), 0u);
    EXPECT_EQ(state.markedCount, 1u);
    Msg(FMQ_DISCARDABLE | 15u, buf, sizeof buf);
    EXPECT_EQ(q.Send(buf, sizeof buf), 0u);
    ASSERT_EQ(IpcFMQQueryQueueState(h, name.c_str(), &state), 0u);
    EXPECT_EQ(state.msgCount, 5u);
    EXPECT_EQ(state.markedCount, 1u);
    for (uint32_t expect : {10u, 12u, 13u, 14u, 15u}) {
        ASSERT_EQ(q.Receive(buf, 0, 0, sizeof buf), 0u);
        EXPECT_EQ(FirstWord(buf), expect);  // delivered with the mark cleared
    }
    // A threshold above the capacity counts as none.
    CQueue wide;
    std::string other = UniqueQueueName();
    ASSERT_EQ(wide.Init(other.c_str(), 3, 8, 4, 0), 0u);
    ASSERT_EQ(IpcFMQQueryQueueState(h, other.c_str(), &state), 0u);
    EXPECT_EQ(state.threshold, 0u);
    IpcFMQCloseHandle(h);
}

TEST(Queue, StaleKeyAndClosedQueue)
{
    CQueue q;
    std::string name = UniqueQueueName();
    ASSERT_EQ(q.Init(name.c_str(), 2, 8, 0, 0), 0u);
    FMQ_HANDLE h = IpcFMQInit(CQueue::DefaultPort());
    ASSERT_NE(h, nullptr);
    uint8_t buf[8] = {};
    EXPECT_EQ(IpcFMQWriteQueue(h, q.GetQueueId(), buf, 8, q.GetKey() + 1), FMQ_ERR_WRONG_KEY);
    EXPECT_EQ(IpcFMQGetLastError(), FMQ_ERR_WRONG_KEY);
    EXPECT_EQ(IpcFMQReadQueue(h, q.GetQueueId(), buf, 8, q.GetKey() ^ 0x5555), FMQ_ERR_WRONG_KEY);
    EXPECT_EQ(IpcFMQCloseQueue(h, q.GetQueueId(), q.GetKey() + 1), FMQ_ERR_WRONG_KEY);
    EXPECT_EQ(IpcFMQWriteQueue(h, 1024, buf, 8, 0), FMQ_ERR_NO_QUEUE);
    EXPECT_EQ(IpcFMQWriteQueue(h, 0xFFFFFFFFu, buf, 8, 0), FMQ_ERR_NO_QUEUE);
    uint32_t id = q.GetQueueId(), key = q.GetKey();
    ASSERT_EQ(q.Delete(), 0u);
    EXPECT_EQ(IpcFMQWriteQueue(h, id, buf, 8, key), FMQ_ERR_NO_QUEUE);
    uint32_t version = 0;
    ASSERT_EQ(IpcFMQQueryVersion(h, &version), 0u);
    EXPECT_EQ(version, 2u);
    IpcFMQCloseHandle(h);
}

TEST(Queue, SecondCreatorFailsAtTheEvent)
{
    std::string name = UniqueQueueName();
    CQueue first;
    ASSERT_EQ(first.Init(name.c_str(), 2, 8, 0, 0), 0u);
    FMQ_HANDLE h = IpcFMQInit(CQueue::DefaultPort());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(IpcFMQCreateQueue(h, name.c_str(), 2, 8, 0), nullptr);
    EXPECT_EQ(IpcFMQGetLastError(), FMQ_ERR_EXISTS);
    CQueue second;
    EXPECT_NE(second.Init(name.c_str(), 2, 8, 0, 0), 0u);
    EXPECT_TRUE(first.QueueValid());
    // Once the first has let go, a new creator replaces the old queue.
    uint32_t oldKey = first.GetKey();
    first.Delete();
    EXPECT_FALSE(first.QueueValid());
    FMQ_EVENT_HANDLE ev = IpcFMQCreateQueue(h, name.c_str(), 2, 8, 0);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(IpcFMQGetLastError(), 0u);
    FMQ_STATE_T state{};
    ASSERT_EQ(IpcFMQQueryQueueState(h, name.c_str(), &state), 0u);
    EXPECT_NE(state.key, oldKey == state.key ? state.key + 1 : oldKey);
    IpcFMQCloseQueue(h, state.queueId, state.key);
    IpcFMQCloseEvent(ev);
    IpcFMQCloseHandle(h);
}

TEST(Queue, BadSizesAndNames)
{
    FMQ_HANDLE h = IpcFMQInit(CQueue::DefaultPort());
    ASSERT_NE(h, nullptr);
    std::string name = UniqueQueueName();
    FMQ_EVENT_HANDLE ev = IpcFMQCreateQueue(h, name.c_str(), 4, 513, 0);
    ASSERT_NE(ev, nullptr);  // the event is handed back even so
    EXPECT_EQ(IpcFMQGetLastError(), FMQ_ERR_MSG_SIZE);
    FMQ_STATE_T state{};
    EXPECT_EQ(IpcFMQQueryQueueState(h, name.c_str(), &state), FMQ_ERR_NO_QUEUE);
    IpcFMQCloseEvent(ev);
    EXPECT_EQ(IpcFMQCreateQueue(h, "NineChars", 4, 8, 0), nullptr);
    EXPECT_EQ(IpcFMQCreateQueue(h, "", 4, 8, 0), nullptr);
    EXPECT_EQ(IpcFMQCreateQueue(h, nullptr, 4, 8, 0), nullptr);
    // Capacities that make no ring, or an unbounded one, are refused.
    CQueue zero;
    EXPECT_EQ(zero.Init(UniqueQueueName().c_str(), 0, 8, 0, 0), FMQ_ERR_NO_MEMORY);
    CQueue huge;
    EXPECT_EQ(huge.Init(UniqueQueueName().c_str(), 0x7FFFFFFF, 512, 0, 0), FMQ_ERR_NO_MEMORY);
    uint8_t big[600] = {};
    EXPECT_EQ(IpcFMQWriteQueue(h, 0, big, 513, 0), ERR_BAD_PARAMETER);
    IpcFMQCloseHandle(h);
}

int RawConnect()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(gPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(Queue, ServerRefusesOversizedRecords)
{
    for (int variant = 0; variant < 2; ++variant) {
        int fd = RawConnect();
        ASSERT_GE(fd, 0);
        Platform::FMQ_REQUEST_T req{};
        req.operation = FMQ_OP_WRITE;
        if (variant == 0)
            req.dataLength = 513;
        else
            req.replyLength = 0x100000;  // would make the server send a megabyte
        ASSERT_TRUE(Platform::SendAll(fd, &req, sizeof req));
        char byte;
        // The session ends without an answer.
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
        close(fd);
    }
    // An unterminated name of eight characters is read within its field.
    int fd = RawConnect();
    ASSERT_GE(fd, 0);
    Platform::FMQ_REQUEST_T req{};
    req.operation = FMQ_OP_QUERY_STATE;
    req.replyLength = FMQ_STATE_SIZE;
    for (auto& c : req.name)
        c = 'Z';
    req.queueId = 0x41414141;
    ASSERT_TRUE(Platform::SendAll(fd, &req, sizeof req));
    uint8_t reply[4 + FMQ_STATE_SIZE];
    ASSERT_TRUE(Platform::RecvAll(fd, reply, sizeof reply));
    uint32_t status;
    std::memcpy(&status, reply, 4);
    EXPECT_EQ(status, FMQ_ERR_NO_QUEUE);
    uint32_t ack = 0;
    Platform::SendAll(fd, &ack, 4);
    close(fd);
}

// ---- between processes ----

TEST(QueueProcesses, ExchangeAndTheEventVanishesWithItsCreator)
{
    std::string name = UniqueQueueName('P');
    std::string replyName = name.substr(0, 7) + "R";
    CQueue replies;
    ASSERT_EQ(replies.Init(replyName.c_str(), 8, 64, 0, 0), 0u);
    Child helper = Spawn({FMQ_HELPER_PATH, "creator", name}, {{"HALVEX_FMQ_PORT", std::to_string(gPort)}});
    ASSERT_EQ(ReadLine(helper), "ready");

    CQueue to;
    ASSERT_EQ(to.Attach(name.c_str()), 0u);
    EXPECT_TRUE(to.QueueValid());
    for (const char* text : {"one", "two"}) {
        ASSERT_EQ(to.Send(text, static_cast<uint32_t>(strlen(text) + 1)), 0u);
        char answer[64] = {};
        ASSERT_EQ(replies.Receive(answer, CQueue::RECEIVE_WAIT, 10000, sizeof answer), 0u);
        EXPECT_EQ(std::string("echo:") + text, answer);
    }

    Kill(helper);
    // The queue is still kept by the server, but its creator is gone.
    EXPECT_FALSE(to.QueueValid());
    EXPECT_EQ(to.Send("x", 2), FMQ_ERR_NO_EVENT);
    // Another process may now create the queue afresh.
    CQueue again;
    EXPECT_EQ(again.Init(name.c_str(), 4, 16, 0, 0), 0u);
    EXPECT_TRUE(again.QueueValid());
    EXPECT_FALSE(to.QueueValid());  // the old key is stale
}

TEST(QueueProcesses, RestartedServerDoesNotLeaveClientsHanging)
{
    Child server = Spawn({FMQ_HELPER_PATH, "server"});
    std::string port = ReadLine(server);
    ASSERT_FALSE(port.empty());
    Child client = Spawn({FMQ_HELPER_PATH, "client"}, {{"HALVEX_FMQ_PORT", port}});
    ASSERT_EQ(ReadLine(client), "ready");
    WriteLine(client, "send");
    EXPECT_EQ(ReadLine(client), "0x00000000");

    Kill(server);
    // The server is gone: the client gets an error instead of waiting.
    WriteLine(client, "send");
    std::string answer = ReadLine(client);
    EXPECT_FALSE(answer.empty());
    EXPECT_NE(answer, "0x00000000");
    WriteLine(client, "send");
    answer = ReadLine(client);
    EXPECT_FALSE(answer.empty());
    EXPECT_NE(answer, "0x00000000");

    // A new server on the same port serves new queues of the same client.
    Child restarted = Spawn({FMQ_HELPER_PATH, "server", port});
    EXPECT_EQ(ReadLine(restarted), port);
    WriteLine(client, "new");
    EXPECT_EQ(ReadLine(client), "0x00000000");
    // The old queue's key is unknown to the new server.
    WriteLine(client, "send");
    EXPECT_NE(ReadLine(client), "0x00000000");
    Finish(client);
    Kill(restarted);
}

}  // namespace

// ---- limits against clients that misbehave ----

// Queues may claim up to 16 MiB each, but all messages together stay below
// the server's memory cap: past it every write is answered "queue full", and
// reading gives the memory back.
TEST(QueueLimits, FloodPastTheTotalCapIsFullAndMemoryReturns)
{
    const uint64_t base = CFMQServerTask::HeldBytes();
    CFMQServerTask::SetMemoryCap(base + 64 * 1024);
    std::vector<std::unique_ptr<CQueue>> queues;
    for (int i = 0; i < 20; ++i) {
        auto q = std::make_unique<CQueue>();
        // 32768 messages of 512 bytes: 16 MiB each if rings were allocated.
        ASSERT_EQ(q->Init(fmqtest::UniqueQueueName('F').c_str(), 32768, 512, 0, 0), 0u) << i;
        queues.push_back(std::move(q));
    }
    EXPECT_EQ(CFMQServerTask::HeldBytes(), base);
    uint8_t msg[512] = {1, 2, 3};
    int accepted = 0;
    RESULT_T r = 0;
    for (int i = 0; i < 1000 && r == 0; ++i) {
        r = queues[i % queues.size()]->Send(msg, sizeof msg);
        if (r == 0) ++accepted;
    }
    EXPECT_EQ(r, FMQ_ERR_FULL);
    EXPECT_EQ(accepted, 128);  // 64 KiB of 512-byte messages
    EXPECT_EQ(CFMQServerTask::HeldBytes(), base + 64 * 1024);
    EXPECT_EQ(queues.back()->Send(msg, sizeof msg), FMQ_ERR_FULL);
    for (auto& q : queues) ASSERT_EQ(q->Empty(), 0u);
    EXPECT_EQ(CFMQServerTask::HeldBytes(), base);
    EXPECT_EQ(queues[0]->Send(msg, sizeof msg), 0u);
    // Closing a queue gives back what it still holds.
    for (auto& q : queues) q->Delete();
    EXPECT_EQ(CFMQServerTask::HeldBytes(), base);
    CFMQServerTask::SetMemoryCap(CFMQServerTask::DEFAULT_MEMORY_CAP);
}

// Sessions that send half a record, or nothing, hold only themselves.
TEST(QueueLimits, HalfRecordsDoNotHoldOtherClients)
{
    std::vector<int> stalled;
    for (int i = 0; i < 20; ++i) {
        int fd = RawConnect();
        ASSERT_GE(fd, 0);
        if (i % 2 == 0) {
            uint8_t half[100] = {5};
            ASSERT_TRUE(Platform::SendAll(fd, half, sizeof half));
        }
        stalled.push_back(fd);
    }
    CQueue q;
    ASSERT_EQ(q.Init(fmqtest::UniqueQueueName('H').c_str(), 4, 16, 0, 0), 0u);
    uint8_t data[16] = {7};
    EXPECT_EQ(q.Send(data, sizeof data), 0u);
    uint8_t back[16] = {};
    EXPECT_EQ(q.Receive(back, 0, 0, sizeof back), 0u);
    EXPECT_EQ(back[0], 7);
    q.Delete();
    for (int fd : stalled) close(fd);
}
