// The queue server: the queue table and the listening and session tasks.
#include <halvex/platform/fmq.h>

#include <halvex/platform/postlog.h>
#include <halvex/platform/syslogext.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/platform/fmq_wire.h"
#include "halvex/platform/namedevent.h"
#include "halvex/platform/platform_internal.h"

#include <cerrno>
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

// Bounds of a queue's ring, so that a request cannot make the server
// allocate without limit.
constexpr uint64_t kMaxRingBytes = 16u * 1024u * 1024u;

struct Queue {
    std::string name;
    std::string eventName;
    uint16_t nameField[FMQ_NAME_CHARS] = {};
    uint32_t key = 0;
    uint32_t capacity = 0;
    uint32_t msgSize = 0;
    std::vector<uint8_t> ring;
    std::vector<uint8_t> marked;  // per slot
    uint32_t readIndex = 0;
    uint32_t writeIndex = 0;
    uint32_t count = 0;
    uint32_t threshold = 0;
    uint32_t markedCount = 0;
    uint32_t readCounter = 0;
    uint32_t further = 0;
};

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
    try {
        q->ring.assign(size_t(capacity) * msgSize, 0);
        q->marked.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
        return FMQ_ERR_NO_MEMORY;
    }
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
    Queue* q = ById(req.queueId);
    if (!q)
        return FMQ_ERR_NO_QUEUE;
    if (q->key != req.key)
        return FMQ_ERR_WRONG_KEY;
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
    state.msgCount = q.count;
    state.threshold = q.threshold;
    state.markedCount = q.markedCount;
    std::memcpy(reply, &state, sizeof state);
    return 0;
}

RESULT_T DoRead(const FMQ_REQUEST_T& req, uint8_t* reply)
{
    Queue* q = ById(req.queueId);
    if (!q)
        return FMQ_ERR_NO_QUEUE;
    if (q->key != req.key)
        return FMQ_ERR_WRONG_KEY;
    if (q->count == 0)
        return FMQ_ERR_EMPTY;
    const uint8_t* slot = &q->ring[size_t(q->readIndex) * q->msgSize];
    std::memcpy(reply, slot, q->msgSize);
    if (q->marked[q->readIndex]) {
        q->marked[q->readIndex] = 0;
        --q->markedCount;
    }
    q->readIndex = (q->readIndex + 1) % q->capacity;
    --q->count;
    Platform::CNamedEvent::TryConsumeByName(q->eventName);
    ++q->readCounter;
    return 0;
}

// Removes every marked message, keeping the others in their order.
void DropMarked(Queue& q)
{
    std::vector<uint8_t> ring(q.ring.size(), 0);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < q.count; ++i) {
        uint32_t slot = (q.readIndex + i) % q.capacity;
        if (q.marked[slot])
            continue;
        std::memcpy(&ring[size_t(kept) * q.msgSize], &q.ring[size_t(slot) * q.msgSize], q.msgSize);
        ++kept;
    }
    q.ring.swap(ring);
    std::fill(q.marked.begin(), q.marked.end(), 0);
    q.readIndex = 0;
    q.count = kept;
    q.writeIndex = kept % q.capacity;
    q.markedCount = 0;
}

RESULT_T DoWrite(const FMQ_REQUEST_T& req)
{
    Queue* q = ById(req.queueId);
    if (!q)
        return FMQ_ERR_NO_QUEUE;
    if (q->key != req.key)
        return FMQ_ERR_WRONG_KEY;
    if (!Platform::CNamedEvent::Exists(q->eventName))
        return FMQ_ERR_NO_EVENT;
    const bool mark = req.dataLength >= 4 && (Word(req.data) & FMQ_DISCARDABLE);
    if (q->threshold && q->count >= q->threshold) {
        if (q->markedCount > 0)
            DropMarked(*q);
        else if (mark)
            return 0;  // the new discardable message is dropped
    }
    if (q->count >= q->capacity)
        return FMQ_ERR_FULL;
    uint8_t* slot = &q->ring[size_t(q->writeIndex) * q->msgSize];
    std::memset(slot, 0, q->msgSize);
    std::memcpy(slot, req.data, std::min(req.dataLength, q->msgSize));
    if (mark && q->msgSize >= 4) {
        uint32_t first = Word(slot) & ~FMQ_DISCARDABLE;
        std::memcpy(slot, &first, 4);
    }
    q->marked[q->writeIndex] = mark ? 1 : 0;
    q->writeIndex = (q->writeIndex + 1) % q->capacity;
    ++q->count;
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
            int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                ce_printmsg(L"CFMQServerTask accept failed %u\n", static_cast<unsigned>(errno));
                break;
            }
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char name[32];
            std::snprintf(name, sizeof name, "fmqserv_%u", mulForkCounter.fetch_add(1));
            auto* session = new (std::nothrow) CFMQServerTask;
            bool started = false;
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
    for (;;) {
        size_t got = 0;
        if (!Platform::RecvAll(fd, req.get(), sizeof *req, &got)) {
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
        if (!Platform::SendAll(fd, reply, 4 + req->replyLength) || !Platform::RecvAll(fd, &ack, sizeof ack))
            break;
    }
    mSocket = -1;
    close(fd);
}

}  // namespace ZYRK
