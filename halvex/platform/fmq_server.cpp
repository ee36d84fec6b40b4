// The queue server: the queue table and the listening and session tasks.
#include <halvex/platform/fmq.h>

#include <halvex/platform/postlog.h>
#include <halvex/platform/syslogext.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/platform/fmq_wire.h"
#include "halvex/platform/listener_internal.h"
#include "halvex/platform/namedevent.h"
#include "halvex/platform/platform_internal.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ZYRK {

using Platform::FMQ_REQUEST_T;

namespace {

// Bounds of what one queue may claim, so that a request cannot make the
// server allocate without limit; the messages of all queues together are
// bounded by the server's memory cap as well.
constexpr uint64_t kMaxRingBytes = 16u * 1024u * 1024u;

// A record that has begun to arrive must be complete within this time, and
// so must the client's acknowledgement and the sending of a reply.
constexpr uint32_t kRecordDeadlineMs = 5000;

struct Message {
    std::unique_ptr<uint8_t[]> data;  // msgSize bytes
    bool marked = false;
};

// Messages are held one by one as they arrive (a queue's capacity is a
// bound, not an allocation), so that empty queues cost nothing.
struct Queue {
    std::string name;
    std::string eventName;
    uint16_t nameField[FMQ_NAME_CHARS] = {};
    uint32_t key = 0;
    uint32_t capacity = 0;
    uint32_t msgSize = 0;
    std::deque<Message> messages;
    uint32_t threshold = 0;
    uint32_t markedCount = 0;
    uint32_t readCounter = 0;
    uint32_t further = 0;
};

std::atomic<uint64_t> gMemoryCap{CFMQServerTask::DEFAULT_MEMORY_CAP};
uint64_t gHeldBytes = 0;  // under gTableLock
std::shared_ptr<Platform::CSessionGate> gSessions = Platform::CSessionGate::Create();

std::mutex gTableLock;
std::unique_ptr<Queue> gQueues[FMQ_MAX_QUEUES];

int FindByName(const std::string& name)
{
    for (uint32_t i = 0; i < FMQ_MAX_QUEUES; ++i) {
        if (gQueues[i] && gQueues[i]->name == name)
            return static_cast<int>(i);
    }
    return -1;
}

Queue* ById(uint32_t id)
{
    return id < FMQ_MAX_QUEUES ? gQueues[id].get() : nullptr;
}

// The queue a request names, when the request holds its key: 0 and *out,
// else why not.
RESULT_T Opened(const FMQ_REQUEST_T& req, Queue** out)
{
    *out = ById(req.queueId);
    if (!*out)
        return FMQ_ERR_NO_QUEUE;
    if ((*out)->key != req.key)
        return FMQ_ERR_WRONG_KEY;
    return 0;
}

uint32_t Word(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

RESULT_T DoCreate(const FMQ_REQUEST_T& req)
{
    std::string name = Platform::FieldToName(req.name);
    if (name.empty() || req.dataLength < 8)
        return FMQ_ERR_NO_MEMORY;
    uint32_t capacity = Word(req.data);
    uint32_t msgSize = Word(req.data + 4);
    uint32_t threshold = req.dataLength >= 12 ? Word(req.data + 8) : 0;
    if (msgSize > FMQ_MAX_MSG_SIZE)
        return FMQ_ERR_MSG_SIZE;
    if (FindByName(name) >= 0)
        return FMQ_ERR_EXISTS;
    if (capacity == 0 || msgSize == 0 || uint64_t(capacity) * msgSize > kMaxRingBytes)
        return FMQ_ERR_NO_MEMORY;
    int place = -1;
    for (uint32_t i = 0; i < FMQ_MAX_QUEUES; ++i) {
        if (!gQueues[i]) {
            place = static_cast<int>(i);
            break;
        }
    }
    if (place < 0)
        return FMQ_ERR_NO_MEMORY;
    auto q = std::unique_ptr<Queue>(new (std::nothrow) Queue);
    if (!q)
        return FMQ_ERR_NO_MEMORY;
    q->name = name;
    q->eventName = Platform::EventNameOf(name);
    std::memcpy(q->nameField, req.name, sizeof q->nameField);
    q->capacity = capacity;
    q->msgSize = msgSize;
    q->threshold = threshold <= capacity ? threshold : 0;
    q->key = Platform::Random32();
    q->further = req.further;
    gQueues[place] = std::move(q);
    return 0;
}

RESULT_T DoClose(const FMQ_REQUEST_T& req)
{
    Queue* q = nullptr;
    if (RESULT_T refused = Opened(req, &q))
        return refused;
    gHeldBytes -= uint64_t(q->messages.size()) * q->msgSize;
    gQueues[req.queueId].reset();
    return 0;
}

RESULT_T DoQueryState(const FMQ_REQUEST_T& req, uint8_t* reply)
{
    int id = req.name[0] != 0 ? FindByName(Platform::FieldToName(req.name))
                              : (ById(req.queueId) ? static_cast<int>(req.queueId) : -1);
    if (id < 0)
        return FMQ_ERR_NO_QUEUE;
    const Queue& q = *gQueues[id];
    FMQ_STATE_T state{};
    std::memcpy(state.name, q.nameField, sizeof state.name);
    state.queueId = static_cast<uint32_t>(id);
    state.key = q.key;
    state.further = q.further;
    state.msgSize = q.msgSize;
    state.msgCount = static_cast<uint32_t>(q.messages.size());
    state.threshold = q.threshold;
    state.markedCount = q.markedCount;
    std::memcpy(reply, &state, sizeof state);
    return 0;
}

RESULT_T DoRead(const FMQ_REQUEST_T& req, uint8_t* reply)
{
    Queue* q = nullptr;
    if (RESULT_T refused = Opened(req, &q))
        return refused;
    if (q->messages.empty())
        return FMQ_ERR_EMPTY;
    Message& m = q->messages.front();
    std::memcpy(reply, m.data.get(), q->msgSize);
    if (m.marked)
        --q->markedCount;
    q->messages.pop_front();
    gHeldBytes -= q->msgSize;
    Platform::CNamedEvent::TryConsumeByName(q->eventName);
    ++q->readCounter;
    return 0;
}

// Removes every marked message, keeping the others in their order.
void DropMarked(Queue& q)
{
    const size_t before = q.messages.size();
    std::erase_if(q.messages, [](const Message& m) { return m.marked; });
    gHeldBytes -= uint64_t(before - q.messages.size()) * q.msgSize;
    q.markedCount = 0;
}

RESULT_T DoWrite(const FMQ_REQUEST_T& req)
{
    Queue* q = nullptr;
    if (RESULT_T refused = Opened(req, &q))
        return refused;
    if (!Platform::CNamedEvent::Exists(q->eventName))
        return FMQ_ERR_NO_EVENT;
    const bool mark = req.dataLength >= 4 && (Word(req.data) & FMQ_DISCARDABLE);
    if (q->threshold && q->messages.size() >= q->threshold) {
        if (q->markedCount > 0)
            DropMarked(*q);
        else if (mark)
            return 0;  // the new discardable message is dropped
    }
    if (q->messages.size() >= q->capacity)
        return FMQ_ERR_FULL;
    // All queues together hold at most the memory cap: past it every queue
    // is full until readers take messages out.
    if (gHeldBytes + q->msgSize > gMemoryCap.load())
        return FMQ_ERR_FULL;
    Message m;
    m.data.reset(new (std::nothrow) uint8_t[q->msgSize]());
    if (!m.data)
        return FMQ_ERR_FULL;
    std::memcpy(m.data.get(), req.data, std::min(req.dataLength, q->msgSize));
    if (mark && q->msgSize >= 4) {
        uint32_t first = Word(m.data.get()) & ~FMQ_DISCARDABLE;
        std::memcpy(m.data.get(), &first, 4);
    }
    m.marked = mark;
    q->messages.push_back(std::move(m));
    gHeldBytes += q->msgSize;
    if (mark)
        ++q->markedCount;
    Platform::CNamedEvent::SignalByName(q->eventName);
    return 0;
}

// Answers one record; reply holds FMQ_MAX_REPLY bytes.
RESULT_T Handle(const FMQ_REQUEST_T& req, uint8_t* reply)
{
    std::lock_guard<std::mutex> guard(gTableLock);
    switch (req.operation) {
    case FMQ_OP_CREATE:
        return DoCreate(req);
    case FMQ_OP_CLOSE:
        return DoClose(req);
    case FMQ_OP_QUERY_STATE:
        return DoQueryState(req, reply);
    case FMQ_OP_READ:
        return DoRead(req, reply);
    case FMQ_OP_WRITE:
        return DoWrite(req);
    case FMQ_OP_QUERY_VERSION: {
        uint32_t version = FMQ_SERVER_VERSION;
        std::memcpy(reply, &version, 4);
        return 0;
    }
    default:
        return FMQ_ERR_NO_QUEUE;
    }
}

}  // namespace

std::atomic<uint32_t> CFMQServerTask::mulForkCounter{0};

CFMQServerTask::CFMQServerTask() = default;

CFMQServerTask::~CFMQServerTask()
{
    int fd = mSocket.exchange(-1);
    if (fd >= 0)
        close(fd);
}

RESULT_T CFMQServerTask::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    mSocket = -1;
    return CTaskContainer::Init(name, priority, stackSize, flags);
}

RESULT_T CFMQServerTask::Shutdown()
{
    // Held across both steps: the task's thread cannot destroy the object
    // between the socket's shut-down, which ends the listening body, and the
    // base's Shutdown. The body closes the socket as it ends.
    std::lock_guard<std::recursive_mutex> guard(RequestLock());
    mStopping = true;
    int fd = mSocket.load();
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
    return CTaskContainer::Shutdown();
}

uint16_t CFMQServerTask::GetPort()
{
    return mPort.load();
}

bool CFMQServerTask::WaitUntilListening(uint32_t timeoutMs)
{
    if (mListenState.load() == 0)
        mListening.Wait(timeoutMs);
    return mListenState.load() == 1;
}

void CFMQServerTask::taskbody(uint32_t* arg)
{
    if (arg[0] == 1)
        Session(static_cast<int>(arg[1]));
    else
        Listen(arg[1]);
}

void CFMQServerTask::Listen(uint32_t port)
{
    if (port == 0)
        port = FMQ_DEFAULT_PORT;
    else if (port == 0xFFFF)
        port = 0;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            ce_printmsg(L"CFMQServerTask bind failed %u\n", static_cast<unsigned>(errno));
            break;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        // Queues are for the processes of this machine only.
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ce_printmsg(L"CFMQServerTask bind failed %u\n", static_cast<unsigned>(errno));
            close(fd);
            break;
        }
        if (listen(fd, 10) != 0) {
            ce_printmsg(L"CFMQServerTask listen failed %u\n", static_cast<unsigned>(errno));
            close(fd);
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        mPort = ntohs(addr.sin_port);
        mSocket = fd;
        mListenState = 1;
        mListening.Set();
        CSupervisor sup;
        for (;;) {
            // Failures (no descriptors left, no buffers) are retried after a
            // pause: the listener ends only when the server shuts down.
            int client = Platform::AcceptRetrying(fd, nullptr, mStopping, "CFMQServerTask");
            if (client < 0)
                break;
            std::shared_ptr<void> slot = gSessions->TryEnter();
            if (!slot) {
                static std::atomic<uint32_t> refused{0};
                if (refused.fetch_add(1) % 100 == 0)
                    SysLogExt::PrintF(2, "CFMQServerTask: %u sessions served already, connection refused",
                                      gSessions->Cap());
                close(client);
                continue;
            }
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char name[32];
            std::snprintf(name, sizeof name, "fmqserv_%u", mulForkCounter.fetch_add(1));
            auto* session = new (std::nothrow) CFMQServerTask;
            bool started = false;
            if (session)
                session->mSlot = std::move(slot);
            if (session && session->Init(name, 0, 0, TASK_FLAG_NO_HANDSHAKE) == 0) {
                if (sup.AddTask(session, INITED) == 0) {
                    const uint32_t sessionArg[4] = {1, static_cast<uint32_t>(client), 0, 0};
                    started = sup.Start(name, sessionArg) == 0;
                    if (!started) {
                        sup.RemoveTask(session);
                    }
                }
            }
            if (!started) {
                delete session;
                close(client);
            }
        }
        mSocket = -1;
        close(fd);
        break;
    }
    if (mListenState.load() != 1)
        mListenState = -1;
    mListening.Set();
}

void CFMQServerTask::Session(int fd)
{
    mSocket = fd;
    auto req = std::make_unique<FMQ_REQUEST_T>();
    uint8_t reply[4 + Platform::FMQ_MAX_REPLY];
    auto* record = reinterpret_cast<uint8_t*>(req.get());
    for (;;) {
        // A client keeps its connection for as long as it lives and may stay
        // quiet; a record that has begun must arrive in whole, though.
        size_t got = 0;
        const Platform::StreamWait quiet{};
        long r = Platform::RecvAllBy(fd, record, 1, &quiet);
        if (r == 1) {
            const Platform::StreamWait rest{Platform::DeadlineIn(kRecordDeadlineMs)};
            r = Platform::RecvAllBy(fd, record + 1, sizeof *req - 1, &rest, &got);
            ++got;
        }
        if (r <= 0) {
            if (got > 0)
                ce_printmsg(L"CFMQServerTask recv failed 0x%08x\n", static_cast<unsigned>(got));
            break;
        }
        if (req->operation == 0xFFFFFFFFu)
            break;
        // A record that claims more data than it carries, or asks for more
        // reply bytes than a message holds, is refused and ends the session.
        if (req->dataLength > FMQ_MAX_MSG_SIZE || req->replyLength > Platform::FMQ_MAX_REPLY) {
            SysLogExt::PrintF(2, "CFMQServerTask: refused record, data length %u, reply length %u",
                              req->dataLength, req->replyLength);
            break;
        }
        std::memset(reply, 0, sizeof reply);
        RESULT_T status = Handle(*req, reply + 4);
        std::memcpy(reply, &status, 4);
        uint32_t ack = 0;
        const Platform::StreamWait wait{Platform::DeadlineIn(kRecordDeadlineMs)};
        if (Platform::SendAllBy(fd, reply, 4 + req->replyLength, &wait) != static_cast<long>(4 + req->replyLength) ||
            Platform::RecvAllBy(fd, &ack, sizeof ack, &wait) != sizeof ack)
            break;
    }
    mSocket = -1;
    close(fd);
    mSlot.reset();
}

void CFMQServerTask::SetMemoryCap(uint64_t bytes)
{
    gMemoryCap.store(bytes);
}

uint64_t CFMQServerTask::HeldBytes()
{
    std::lock_guard<std::mutex> guard(gTableLock);
    return gHeldBytes;
}

uint32_t CFMQServerTask::SessionsStarted()
{
    return mulForkCounter.load();
}

void CFMQServerTask::SetSessionCap(uint32_t sessions)
{
    gSessions->SetCap(sessions);
}

}  // namespace ZYRK
