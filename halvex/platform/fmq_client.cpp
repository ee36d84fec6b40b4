// Queue client: the process's one connection to the queue server, the
// IpcFMQ functions and CQueue.
#include <halvex/platform/fmq.h>

#include <halvex/platform/syslogext.h>

#include "halvex/platform/fmq_wire.h"
#include "halvex/platform/namedevent.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct FMQConnection {
    std::mutex exchange;  // one exchange at a time on the connection
    int fd = -1;
    int users = 0;
    uint16_t port = 0;
};

// Pulls the library's start-up object into programs that link it statically.
extern "C" const int halvex_startup_anchor;
[[gnu::used]] static const int* const kStartupAnchor = &halvex_startup_anchor;

namespace ZYRK {

class CNamedEventHandle {
public:
    explicit CNamedEventHandle(Platform::CNamedEvent* e) : event(e) {}
    ~CNamedEventHandle() { delete event; }
    Platform::CNamedEvent* event;
};

namespace Platform {

namespace {

// A server that died or hangs must not block its clients for long.
constexpr int kConnectTimeoutMs = 2000;
constexpr int kIoTimeoutMs = 5000;

FMQConnection gConnection;
thread_local uint32_t tLastError = 0;

uint32_t SetLast(uint32_t result)
{
    tLastError = result;
    return result;
}

uint32_t Tick()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec * 1000u + ts.tv_nsec / 1000000u);
}

int ConnectLoopback(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (ConnectSocket(fd, htonl(INADDR_LOOPBACK), port, {DeadlineIn(kConnectTimeoutMs), nullptr}) != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kIoTimeoutMs / 1000, (kIoTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

// One exchange: record out, status and reply in, acknowledgement out. A
// broken connection is closed; the next exchange connects again.
uint32_t Exchange(FMQConnection* c, FMQ_REQUEST_T& req, void* reply, uint32_t replyLength)
{
    if (!c)
        return SetLast(ERR_CANT_WRITE_SOCKET);
    if (replyLength > FMQ_MAX_REPLY)
        replyLength = FMQ_MAX_REPLY;
    req.replyLength = replyLength;
    std::lock_guard<std::mutex> guard(c->exchange);
    if (c->fd < 0)
        c->fd = ConnectLoopback(c->port);
    if (c->fd < 0)
        return SetLast(ERR_CANT_WRITE_SOCKET);
    uint8_t buffer[4 + FMQ_MAX_REPLY];
    uint32_t status = 0;
    // One deadline for the whole exchange, however the server doles it out.
    const StreamWait wait{DeadlineIn(kIoTimeoutMs)};
    if (SendAllBy(c->fd, &req, sizeof req, &wait) != static_cast<long>(sizeof req)) {
        status = ERR_CANT_WRITE_SOCKET;
    } else if (RecvAllBy(c->fd, buffer, 4 + replyLength, &wait) != static_cast<long>(4 + replyLength)) {
        status = ERR_CANT_READ_SOCKET;
    } else {
        uint32_t ack = Tick();
        if (SendAllBy(c->fd, &ack, sizeof ack, &wait) != static_cast<long>(sizeof ack))
            status = ERR_CANT_WRITE_SOCKET;
    }
    if (status != 0) {
        close(c->fd);
        c->fd = -1;
        return SetLast(status);
    }
    std::memcpy(&status, buffer, 4);
    if (reply && replyLength)
        std::memcpy(reply, buffer + 4, replyLength);
    return SetLast(status);
}

FMQ_REQUEST_T* NewRequest(uint32_t op)
{
    static thread_local FMQ_REQUEST_T req;
    std::memset(&req, 0, sizeof req);
    req.operation = op;
    return &req;
}

}  // namespace

bool NameToField(const char* name, uint16_t field[FMQ_NAME_CHARS])
{
    std::memset(field, 0, FMQ_NAME_CHARS * sizeof(uint16_t));
    if (!name)
        return false;
    size_t n = std::strlen(name);
    if (n > FMQ_NAME_CHARS)
        return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80)
            return false;
        field[i] = c;
    }
    return true;
}

std::string FieldToName(const uint16_t field[FMQ_NAME_CHARS])
{
    std::string name;
    for (uint32_t i = 0; i < FMQ_NAME_CHARS && field[i]; ++i)
        name += field[i] < 0x80 ? static_cast<char>(field[i]) : '?';
    return name;
}

std::string EventNameOf(const std::string& queueName)
{
    return "FMQEv" + queueName;
}

}  // namespace Platform
}  // namespace ZYRK

using namespace ZYRK;
using namespace ZYRK::Platform;

FMQ_HANDLE IpcFMQInit(uint16_t port)
{
    FMQConnection* c = &gConnection;
    std::lock_guard<std::mutex> guard(c->exchange);
    if (c->users == 0 || c->fd < 0) {
        if (c->fd < 0 || c->port != port) {
            if (c->fd >= 0)
                close(c->fd);
            c->port = port;
            c->fd = ConnectLoopback(port);
        }
        if (c->fd < 0) {
            SetLast(ERR_CANT_WRITE_SOCKET);
            return nullptr;
        }
    }
    ++c->users;
    SetLast(0);
    return c;
}

uint32_t IpcFMQCloseHandle(FMQ_HANDLE handle)
{
    if (!handle)
        return SetLast(FMQ_ERR_NO_QUEUE);
    std::lock_guard<std::mutex> guard(handle->exchange);
    if (handle->users > 0 && --handle->users == 0 && handle->fd >= 0) {
        close(handle->fd);
        handle->fd = -1;
    }
    return SetLast(0);
}

uint32_t IpcFMQCloseQueue(FMQ_HANDLE handle, uint32_t id, uint32_t key)
{
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_CLOSE);
    req->queueId = id;
    req->key = key;
    return Exchange(handle, *req, nullptr, 0);
}

uint32_t IpcFMQQueryQueueState(FMQ_HANDLE handle, const char* name, void* state44)
{
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_QUERY_STATE);
    if (!state44 || !name || !*name || !NameToField(name, req->name))
        return SetLast(FMQ_ERR_NO_QUEUE);
    return Exchange(handle, *req, state44, FMQ_STATE_SIZE);
}

uint32_t IpcFMQQueryQueueStateById(FMQ_HANDLE handle, uint32_t id, void* state44)
{
    if (!state44)
        return SetLast(FMQ_ERR_NO_QUEUE);
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_QUERY_STATE);
    req->queueId = id;
    return Exchange(handle, *req, state44, FMQ_STATE_SIZE);
}

uint32_t IpcFMQQueryVersion(FMQ_HANDLE handle, uint32_t* version)
{
    if (!version)
        return SetLast(ERR_BAD_POINTER);
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_QUERY_VERSION);
    return Exchange(handle, *req, version, 4);
}

uint32_t IpcFMQWriteQueue(FMQ_HANDLE handle, uint32_t id, const void* data, uint32_t length, uint32_t key)
{
    if (!data || length > FMQ_MAX_MSG_SIZE)
        return SetLast(ERR_BAD_PARAMETER);
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_WRITE);
    req->queueId = id;
    req->key = key;
    req->dataLength = length;
    std::memcpy(req->data, data, length);
    return Exchange(handle, *req, nullptr, 0);
}

uint32_t IpcFMQReadQueue(FMQ_HANDLE handle, uint32_t id, void* buffer, uint32_t length, uint32_t key)
{
    if (!buffer && length)
        return SetLast(ERR_BAD_POINTER);
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_READ);
    req->queueId = id;
    req->key = key;
    uint8_t reply[FMQ_MAX_REPLY];
    uint32_t want = length > FMQ_MAX_REPLY ? FMQ_MAX_REPLY : length;
    uint32_t r = Exchange(handle, *req, reply, want);
    if (buffer && want)
        std::memcpy(buffer, reply, want);
    return r;
}

FMQ_EVENT_HANDLE IpcFMQCreateQueue(FMQ_HANDLE handle, const char* name, uint32_t capacity, uint32_t msgSize,
                                   uint32_t threshold)
{
    uint16_t field[FMQ_NAME_CHARS];
    if (!name || !*name || !NameToField(name, field)) {
        SetLast(ERR_BAD_PARAMETER);
        return nullptr;
    }
    bool exists = false;
    CNamedEvent* event = CNamedEvent::Create(EventNameOf(name), &exists);
    if (!event) {
        SetLast(exists ? FMQ_ERR_EXISTS : ERR_CANT_GET_HANDLE);
        return nullptr;
    }
    auto* result = new CNamedEventHandle(event);
    // A queue left by a creator that is gone (we now hold its event) is
    // closed first.
    FMQ_STATE_T state{};
    if (IpcFMQQueryQueueState(handle, name, &state) == 0)
        IpcFMQCloseQueue(handle, state.queueId, state.key);
    if (msgSize > FMQ_MAX_MSG_SIZE) {
        SetLast(FMQ_ERR_MSG_SIZE);
        return result;
    }
    FMQ_REQUEST_T* req = NewRequest(FMQ_OP_CREATE);
    std::memcpy(req->name, field, sizeof field);
    const uint32_t words[3] = {capacity, msgSize, threshold};
    std::memcpy(req->data, words, sizeof words);
    req->dataLength = sizeof words;
    Exchange(handle, *req, nullptr, 0);
    return result;
}

void IpcFMQCloseEvent(FMQ_EVENT_HANDLE event)
{
    delete event;
}

uint32_t IpcFMQGetLastError(void)
{
    return tLastError;
}

namespace ZYRK {

uint16_t CQueue::DefaultPort()
{
    const char* env = std::getenv("HALVEX_FMQ_PORT");
    if (env && *env) {
        char* end = nullptr;
        unsigned long port = std::strtoul(env, &end, 10);
        if (end && *end == '\0' && port > 0 && port < 65536)
            return static_cast<uint16_t>(port);
    }
    return FMQ_DEFAULT_PORT;
}

CQueue::CQueue() = default;

CQueue::~CQueue()
{
    delete mpEvent;
    mpEvent = nullptr;
    if (mHandle)
        IpcFMQCloseHandle(mHandle);
}

namespace {
std::atomic<uint32_t> gServerVersion{0};  // 0 = not asked yet
}  // namespace

RESULT_T CQueue::Connect()
{
    if (mHandle)
        return 0;
    mHandle = IpcFMQInit(DefaultPort());
    if (!mHandle)
        return ERR_UNSUPPORTED;
    if (gServerVersion.load() == 0) {
        uint32_t version = 0;
        if (IpcFMQQueryVersion(mHandle, &version) == 0)
            gServerVersion = version;
    }
    return 0;
}

RESULT_T CQueue::KeepState(const FMQ_STATE_T& state)
{
    mulId = state.queueId;
    mulKey = state.key;
    mulMsgSize = state.msgSize;
    std::string name = FieldToName(state.name);
    std::memset(mName, 0, sizeof mName);
    std::memcpy(mName, name.data(), std::min<size_t>(name.size(), FMQ_NAME_CHARS));
    return 0;
}

RESULT_T CQueue::Init(const char* name, uint32_t capacity, uint32_t msgSize, uint32_t threshold, uint32_t)
{
    if (Connect() != 0)
        return ERR_UNSUPPORTED;
    delete mpEvent;
    mpEvent = IpcFMQCreateQueue(mHandle, name, capacity, msgSize, threshold);
    if (!mpEvent)
        return IpcFMQGetLastError();
    RESULT_T created = IpcFMQGetLastError();
    FMQ_STATE_T state{};
    RESULT_T r = IpcFMQQueryQueueState(mHandle, name, &state);
    if (r != 0) {
        delete mpEvent;
        mpEvent = nullptr;
        return created ? created : r;
    }
    return KeepState(state);
}

RESULT_T CQueue::Attach(const char* name)
{
    if (Connect() != 0)
        return ERR_UNSUPPORTED;
    FMQ_STATE_T state{};
    RESULT_T r = IpcFMQQueryQueueState(mHandle, name, &state);
    return r ? r : KeepState(state);
}

RESULT_T CQueue::Attach(uint32_t id)
{
    if (Connect() != 0)
        return ERR_UNSUPPORTED;
    FMQ_STATE_T state{};
    RESULT_T r = IpcFMQQueryQueueStateById(mHandle, id, &state);
    return r ? r : KeepState(state);
}

RESULT_T CQueue::Send(const void* data, uint32_t length)
{
    if (!mHandle)
        return FMQ_ERR_NO_QUEUE;
    return IpcFMQWriteQueue(mHandle, mulId, data, length, mulKey);
}

RESULT_T CQueue::Receive(void* buffer, uint32_t flags, uint32_t timeoutMs, uint32_t length)
{
    if (!mpEvent)
        return ERR_CANT_GET_HANDLE;
    RESULT_T r = IpcFMQReadQueue(mHandle, mulId, buffer, length, mulKey);
    if (r == FMQ_ERR_EMPTY && (flags & RECEIVE_WAIT)) {
        int w = mpEvent->event->Wait(timeoutMs == 0 ? 0xFFFFFFFFu : timeoutMs);
        if (w == 1)
            return ERR_TIMEOUT;
        if (w != 0)
            return ERR_BAD_DATA;
        r = IpcFMQReadQueue(mHandle, mulId, buffer, length, mulKey);
    }
    // Servers before version 2 leave the event's signal after a read.
    if (r == 0 && gServerVersion.load() != 0 && gServerVersion.load() <= 1)
        mpEvent->event->Reset();
    return r;
}

RESULT_T CQueue::Delete()
{
    RESULT_T r = 0;
    if (mHandle && mulId != 0xFFFFFFFFu)
        r = IpcFMQCloseQueue(mHandle, mulId, mulKey);
    delete mpEvent;
    mpEvent = nullptr;
    mulId = 0xFFFFFFFFu;
    mulKey = 0;
    return r;
}

RESULT_T CQueue::Empty()
{
    if (!mHandle)
        return FMQ_ERR_NO_QUEUE;
    uint8_t scratch[FMQ_MAX_MSG_SIZE];
    RESULT_T r;
    // Bounded: a queue holds at most its capacity, and writers may be adding.
    for (int i = 0; i < 1 << 20; ++i) {
        r = IpcFMQReadQueue(mHandle, mulId, scratch, mulMsgSize, mulKey);
        if (r != 0)
            return r == FMQ_ERR_EMPTY ? 0 : r;
    }
    return 0;
}

RESULT_T CQueue::GetQueueName(char* out, uint32_t size)
{
    if (!out || size == 0)
        return ERR_BAD_POINTER;
    out[0] = '\0';
    if (!mHandle)
        return FMQ_ERR_NO_QUEUE;
    FMQ_STATE_T state{};
    RESULT_T r = IpcFMQQueryQueueStateById(mHandle, mulId, &state);
    if (r != 0)
        return r;
    std::string name = FieldToName(state.name);
    std::snprintf(out, size, "%s", name.c_str());
    return 0;
}

bool CQueue::QueueValid()
{
    if (!mHandle || mName[0] == '\0')
        return false;
    if (!CNamedEvent::Exists(EventNameOf(mName)))
        return false;
    FMQ_STATE_T state{};
    return IpcFMQQueryQueueStateById(mHandle, mulId, &state) == 0 && state.key == mulKey;
}

}  // namespace ZYRK
