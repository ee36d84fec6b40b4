// Inter-process message queues: named queues of fixed-size messages kept by
// the queue server task on the loopback port 24577, reached through the
// IpcFMQ functions and CQueue. Each queue has a machine-wide event, signalled
// when a message arrives, that exists while the queue's creator holds it.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/platform/errcodes.h>
#include <halvex/supervisor/container.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace ZYRK {

constexpr uint16_t FMQ_DEFAULT_PORT = 24577;
constexpr uint32_t FMQ_MAX_QUEUES = 1024;
constexpr uint32_t FMQ_MAX_MSG_SIZE = 512;
constexpr uint32_t FMQ_NAME_CHARS = 8;
constexpr uint32_t FMQ_RECORD_SIZE = 552;
constexpr uint32_t FMQ_STATE_SIZE = 44;
constexpr uint32_t FMQ_SERVER_VERSION = 2;

// Operations of a request record.
enum FMQ_OP_T : uint32_t {
    FMQ_OP_CREATE = 1,
    FMQ_OP_CLOSE = 2,
    FMQ_OP_QUERY_STATE = 3,
    FMQ_OP_READ = 4,
    FMQ_OP_WRITE = 5,
    FMQ_OP_QUERY_VERSION = 6,
};

// Results of the queue operations.
constexpr RESULT_T FMQ_ERR_NO_MEMORY = 0x20000001;
constexpr RESULT_T FMQ_ERR_EXISTS = 0x20000002;
constexpr RESULT_T FMQ_ERR_NO_QUEUE = 0x20000003;
constexpr RESULT_T FMQ_ERR_MSG_SIZE = 0x20000004;
constexpr RESULT_T FMQ_ERR_WRONG_KEY = 0x20000005;
constexpr RESULT_T FMQ_ERR_NO_EVENT = 0x20000007;
constexpr RESULT_T FMQ_ERR_FULL = 0x20000008;
constexpr RESULT_T FMQ_ERR_EMPTY = 0x20000009;

// A message whose first 32-bit word has this bit set may be discarded when
// its queue reaches the threshold.
constexpr uint32_t FMQ_DISCARDABLE = 0x80000000u;

// Reply of the state query (44 bytes, host byte order).
struct FMQ_STATE_T {
    uint16_t name[FMQ_NAME_CHARS];  // UTF-16, zero-filled
    uint32_t queueId;
    uint32_t key;
    uint32_t further;
    uint32_t msgSize;
    uint32_t msgCount;
    uint32_t threshold;
    uint32_t markedCount;
};
static_assert(sizeof(FMQ_STATE_T) == FMQ_STATE_SIZE, "state layout");

class CNamedEventHandle;  // opaque: a machine-wide event held by its creator

}  // namespace ZYRK

typedef struct FMQConnection* FMQ_HANDLE;            // the process's connection; 0 = none
typedef ZYRK::CNamedEventHandle* FMQ_EVENT_HANDLE;  // null = invalid handle

// Queue names are ASCII texts of at most 8 characters.
HALVEX_C_API FMQ_HANDLE IpcFMQInit(uint16_t port);
HALVEX_C_API uint32_t IpcFMQCloseHandle(FMQ_HANDLE handle);
HALVEX_C_API FMQ_EVENT_HANDLE IpcFMQCreateQueue(FMQ_HANDLE handle, const char* name, uint32_t capacity,
                                                uint32_t msgSize, uint32_t threshold);
HALVEX_C_API uint32_t IpcFMQCloseQueue(FMQ_HANDLE handle, uint32_t id, uint32_t key);
HALVEX_C_API uint32_t IpcFMQQueryQueueState(FMQ_HANDLE handle, const char* name, void* state44);
HALVEX_C_API uint32_t IpcFMQQueryQueueStateById(FMQ_HANDLE handle, uint32_t id, void* state44);
HALVEX_C_API uint32_t IpcFMQQueryVersion(FMQ_HANDLE handle, uint32_t* version);
HALVEX_C_API uint32_t IpcFMQWriteQueue(FMQ_HANDLE handle, uint32_t id, const void* data, uint32_t length,
                                       uint32_t key);
HALVEX_C_API uint32_t IpcFMQReadQueue(FMQ_HANDLE handle, uint32_t id, void* buffer, uint32_t length, uint32_t key);
// Closes an event returned by IpcFMQCreateQueue.
HALVEX_C_API void IpcFMQCloseEvent(FMQ_EVENT_HANDLE event);
// The result of the calling thread's last IpcFMQ call.
HALVEX_C_API uint32_t IpcFMQGetLastError(void);

namespace ZYRK {

class HALVEX_API CQueue {
public:
    CQueue();
    ~CQueue();
    CQueue(const CQueue&) = delete;
    CQueue& operator=(const CQueue&) = delete;

    // Receive flag: wait for the queue's event when the queue is empty.
    static constexpr uint32_t RECEIVE_WAIT = 1;

    RESULT_T Init(const char* name, uint32_t capacity, uint32_t msgSize, uint32_t threshold, uint32_t flag);
    RESULT_T Attach(const char* name);
    RESULT_T Attach(uint32_t id);
    RESULT_T Send(const void* data, uint32_t length);
    // timeoutMs 0 waits without limit (with RECEIVE_WAIT).
    RESULT_T Receive(void* buffer, uint32_t flags, uint32_t timeoutMs, uint32_t length);
    RESULT_T Delete();
    RESULT_T Empty();
    // The queue's name (from its state by id) into out, at most size-1 chars.
    RESULT_T GetQueueName(char* out, uint32_t size);
    bool QueueValid();

    uint32_t GetQueueId() const { return mulId; }
    uint32_t GetKey() const { return mulKey; }
    uint32_t GetMsgSize() const { return mulMsgSize; }

    // The port that CQueue objects use: HALVEX_FMQ_PORT when set, else 24577.
    static uint16_t DefaultPort();

private:
    __attribute__((visibility("hidden"))) RESULT_T Connect();
    __attribute__((visibility("hidden"))) RESULT_T KeepState(const FMQ_STATE_T& state);

    FMQ_HANDLE mHandle = nullptr;
    uint32_t mulId = 0xFFFFFFFFu;
    uint32_t mulKey = 0;
    uint32_t mulMsgSize = 0;
    char mName[FMQ_NAME_CHARS + 1] = {};
    CNamedEventHandle* mpEvent = nullptr;
    uint8_t mBuffer[FMQ_MAX_MSG_SIZE] = {};
};

// The queue server: in listening mode (start argument word 0 = 0, word 1 the
// port: 0 = 24577, 0xFFFF = any free port) it accepts connections on the
// loopback address and starts one session task ("fmqserv_%u", word 0 = 1,
// word 1 the socket) per connection.
class HALVEX_API CFMQServerTask : public CTaskContainer {
public:
    CFMQServerTask();
    ~CFMQServerTask() override;

    RESULT_T Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags) override;
    RESULT_T Shutdown() override;
    uint16_t GetPort() override;
    void taskbody(uint32_t* startArgument) override;

    // Blocks until the listening socket is bound (true) or the task gave up.
    bool WaitUntilListening(uint32_t timeoutMs);

    // The most bytes that the messages of all queues may hold together; a
    // write past it is answered 0x20000008 (queue full). Default 64 MiB.
    static constexpr uint64_t DEFAULT_MEMORY_CAP = 64u * 1024u * 1024u;
    static void SetMemoryCap(uint64_t bytes);
    // The bytes that the queues' messages hold now.
    static uint64_t HeldBytes();
    // The most sessions served at once (default 256, 0 = no cap); a
    // connection beyond it is closed at once.
    static void SetSessionCap(uint32_t sessions);
    // Sessions started since the process began (diagnostics and tests).
    static uint32_t SessionsStarted();

private:
    __attribute__((visibility("hidden"))) void Listen(uint32_t port);
    __attribute__((visibility("hidden"))) void Session(int socket);

    std::atomic<int> mSocket{-1};
    std::atomic<uint16_t> mPort{0};
    std::atomic<int> mListenState{0};  // 0 not yet, 1 listening, -1 gave up
    std::atomic<bool> mStopping{false};
    std::shared_ptr<void> mSlot;  // a session's place among the capped ones
    CEvent mListening{false, false};
    __attribute__((visibility("hidden"))) static std::atomic<uint32_t> mulForkCounter;
};

}  // namespace ZYRK
