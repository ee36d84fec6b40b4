// Containers of the library: the base CLibContainer and the task container
// CTaskContainer, whose taskbody runs on a thread of its own and answers a
// start, stop, resume and shutdown handshake.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/event.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <pthread.h>

namespace ZYRK {

class CQueue;

// Results of task bodies and task initialisation.
constexpr RESULT_T ERR_TASK_INIT = 0xA0010000;      // the task cannot initialise
constexpr RESULT_T ERR_TASK_MUST_END = 0xA0010010;  // the body must return

// Task flag: the task takes no part in the stop/resume/shutdown handshake.
constexpr uint32_t TASK_FLAG_NO_HANDSHAKE = 0x200000;
// Creation flag: the stack size is a reservation.
constexpr uint32_t TASK_CREATE_STACK_RESERVATION = 0x10000;

class HALVEX_API CLibContainer {
public:
    enum STATE_T {
        UNDEFINED = 0,
        CREATED = 1,
        INITED = 2,
        INIT_FAILED = 3,
        STARTED = 4,
        START_FAILED = 5,
        STOPPED = 6,
        STOP_FAILED = 7,
        STOP_FAILED_SUSPENDED = 8,
        UNLOADED = 9,
        UNLOAD_FAILED = 10,
    };

    CLibContainer();
    virtual ~CLibContainer();
    CLibContainer(const CLibContainer&) = delete;
    CLibContainer& operator=(const CLibContainer&) = delete;

    virtual RESULT_T Init();
    virtual RESULT_T Start();
    virtual RESULT_T Stop();
    virtual RESULT_T Unload();

    RESULT_T SetName(const char* name);
    // A new copy of the name in *name; the caller frees it with free().
    RESULT_T GetName(char** name) const;
    STATE_T GetState() const { return meState.load(); }
    RESULT_T Release();

    static const char* STATE_T_to_string(STATE_T state);

    // The name without copying (null when none); valid while the name is not changed.
    const char* NameText() const { return mpName; }

protected:
    friend class CSupervisor;
    void SetState(STATE_T state) { meState.store(state); }
    RESULT_T Lock();
    int32_t GetOpenCount() const { return mlOpenCount.load(); }

private:
    char* mpName = nullptr;
    std::atomic<STATE_T> meState{CREATED};
    std::atomic<int32_t> mlOpenCount{0};
};

class HALVEX_API CTaskContainer : public CLibContainer {
public:
    CTaskContainer();
    ~CTaskContainer() override;

    RESULT_T Start() override;
    RESULT_T Stop() override;
    virtual RESULT_T Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags);
    virtual RESULT_T Start(const uint32_t* startArgument);
    virtual RESULT_T Resume();
    virtual RESULT_T Shutdown();
    virtual RESULT_T Delete();
    virtual uint16_t GetPort();
    virtual void taskbody(uint32_t* startArgument);

    uint32_t GetTid() const { return mulTid.load(); }
    pthread_t GetHandle() const { return mHandle; }
    CEvent* GetStartEvent() const { return mpStartEvent; }
    CEvent* GetShutdownEvent() const { return mpShutdownEvent; }
    uint32_t GetQueueID() const;
    uint32_t GetFlags() const { return mulFlags & 0xFFF00000u; }
    uint32_t GetPrio() const { return mulPriority; }
    RESULT_T SetPrio(uint32_t priority);
    void SetTimeout(uint32_t milliseconds) { mulTimeout = milliseconds; }
    STATE_T GetStateRequest() const { return meStateRequest.load(); }
    STATE_T GetStableState() const;

    // The task's thread, once stopped by the registry after it missed the
    // stop handshake, parks at its next call of StopReceived or
    // CheckSuspended until the registry starts it again. No thread is
    // suspended from outside (Linux has no safe way to do that): a body that
    // never calls either keeps running, and the registry's state says so
    // (STOP_FAILED, STOP_FAILED_SUSPENDED only once it has parked).
    void Suspend();
    void ResumeSuspended();
    bool IsSuspended() const;

protected:
    RESULT_T StopReceived();
    // Parks the calling task thread while the registry holds it suspended.
    void CheckSuspended();
    CEvent* GetStopEvent() const { return mpStopEvent; }
    // The lock of the request operations (recursive). A derived request
    // operation that does work of its own before the base's takes it, so that
    // the task's thread cannot destroy the object in between.
    std::recursive_mutex& RequestLock() { return mMutex; }

    CQueue* mpQueue = nullptr;

private:
    RESULT_T Init() override;
    __attribute__((visibility("hidden"))) RESULT_T WaitForAcknowledge(const char* operation);
    // The check every request operation starts with (the caller holds the
    // task's mutex): true when the request state is one that operation
    // accepts; false with *result 0 and the multiple-request line when
    // wanted is requested already, with 0x64090000 and the wrong-state line
    // otherwise.
    __attribute__((visibility("hidden"))) bool AcceptsRequest(const char* operation, STATE_T wanted,
                                                              std::initializer_list<STATE_T> accepted,
                                                              RESULT_T* result);
    // Signals the body with signal and waits for its acknowledgement, when
    // the body is in a state to answer and the task takes part in the
    // handshake; else 0 at once.
    __attribute__((visibility("hidden"))) RESULT_T Handshake(bool bodyAnswers, CEvent* signal,
                                                         const char* operation);
    __attribute__((visibility("hidden"))) static void* ThreadEntry(void* self);
    __attribute__((visibility("hidden"))) void Execute();
    __attribute__((visibility("hidden"))) void ParkIfSuspended();

    std::atomic<uint32_t> mulTid{0};
    std::recursive_mutex mMutex;
    pthread_t mHandle{};
    bool mbHasThread = false;
    CEvent* mpStartEvent = nullptr;
    CEvent* mpStopEvent = nullptr;
    CEvent* mpAckEvent = nullptr;
    CEvent* mpShutdownEvent = nullptr;
    uint32_t mulStackSize = 0;
    uint32_t mulFlags = 0;
    uint32_t mulTimeout = 1000;
    uint32_t mulPriority = 0;
    std::atomic<STATE_T> meStateRequest{CREATED};
    uint32_t mulStartArg[4] = {0, 0, 0, 0};
    uint16_t muStarterUser = 0;
    uint16_t muStarterGroup = 0;

    friend class CSupervisor;
    std::atomic<bool> mbRemoving{false};  // a RemoveTask is under way

    std::mutex mSuspendLock;
    CEvent mResumeEvent{false, false};
    bool mbSuspended = false;
};

}  // namespace ZYRK
