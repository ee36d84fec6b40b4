// CLibContainer and CTaskContainer: request operations under the task's
// mutex, the handshake with the body, and the task thread's entry.
#include <halvex/supervisor/container.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/postlog.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>
#include <halvex/supervisor/supervisor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

namespace ZYRK {

using SysLogExt::PrintF;
using SysLogExt::ResultF;

namespace {

// The states in which a body waits in StopReceived for a resume or a
// shutdown (or missed its stop and still runs).
bool BodyStopped(CLibContainer::STATE_T state)
{
    return state == CLibContainer::STOPPED || state == CLibContainer::STOP_FAILED ||
           state == CLibContainer::STOP_FAILED_SUSPENDED;
}

const char* NameOr(const CLibContainer* c)
{
    const char* name = c->NameText();
    return name ? name : "";
}

}  // namespace

// ---- CLibContainer ----

CLibContainer::CLibContainer() = default;

CLibContainer::~CLibContainer()
{
    if (mlOpenCount.load() > 0)
        PrintF(2, "Container '%s' not released, open counter is %d", NameOr(this), mlOpenCount.load());
    std::free(mpName);
}

RESULT_T CLibContainer::Init() { return ERR_UNSUPPORTED; }
RESULT_T CLibContainer::Start() { return ERR_UNSUPPORTED; }
RESULT_T CLibContainer::Stop() { return ERR_UNSUPPORTED; }
RESULT_T CLibContainer::Unload() { return ERR_UNSUPPORTED; }

RESULT_T CLibContainer::SetName(const char* name)
{
    char* copy = name ? strdup(name) : nullptr;
    if (name && !copy)
        return ERR_NO_MEMORY;
    std::free(mpName);
    mpName = copy;
    return 0;
}

RESULT_T CLibContainer::GetName(char** name) const
{
    if (!name)
        return ERR_BAD_DATA;
    *name = nullptr;
    if (!mpName)
        return ERR_BAD_DATA;
    *name = strdup(mpName);
    return *name ? 0 : ERR_NO_MEMORY;
}

RESULT_T CLibContainer::Lock()
{
    ++mlOpenCount;
    return 0;
}

RESULT_T CLibContainer::Release()
{
    if (--mlOpenCount < 0) {
        // A release without a matching open: keep the count at 0.
        PrintF(1, "ZYRK::CLibContainer::Release[%p](): open counter below 0, name=%s", static_cast<void*>(this),
               NameOr(this));
        mlOpenCount.store(0);
    }
    return 0;
}

const char* CLibContainer::STATE_T_to_string(STATE_T state)
{
    static const char* const texts[] = {"UNDEFINED", "CREATED", "INITED", "INIT_FAILED",
                                        "STARTED", "START_FAILED", "STOPPED", "STOP_FAILED",
                                        "STOP_FAILED_SUSPENDED", "UNLOADED", "UNLOAD_FAILED"};
    int value = static_cast<int>(state);
    if (value < 0 || value > UNLOAD_FAILED)
        return "Invalid value";
    return texts[value];
}

// ---- CTaskContainer ----

CTaskContainer::CTaskContainer() = default;

CTaskContainer::~CTaskContainer()
{
    Delete();
}

RESULT_T CTaskContainer::Init() { return ERR_UNSUPPORTED; }

RESULT_T CTaskContainer::Start() { return Start(nullptr); }

uint16_t CTaskContainer::GetPort() { return 0; }

void CTaskContainer::taskbody(uint32_t*) {}

uint32_t CTaskContainer::GetQueueID() const
{
    // The task's queue (none for the tasks of this library) reports its id.
    return 0xFFFFFFFFu;
}

RESULT_T CTaskContainer::SetPrio(uint32_t priority)
{
    mulPriority = priority;
    return 0;
}

CLibContainer::STATE_T CTaskContainer::GetStableState() const
{
    STATE_T request = meStateRequest.load();
    return request == GetState() ? request : UNDEFINED;
}

RESULT_T CTaskContainer::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    RESULT_T refused = 0;
    if (!AcceptsRequest("Init", INITED, {CREATED}, &refused)) {
        return refused;
    }
    meStateRequest.store(INITED);
    if (GetState() == INITED) {
        PrintF(4, "ZYRK::CTaskContainer::Init[%p](): OK <= task '%s' already in state", static_cast<void*>(this),
               NameOr(this));
        return 0;
    }
    mulPriority = priority;
    mulStackSize = stackSize;
    mulFlags = flags | (stackSize ? TASK_CREATE_STACK_RESERVATION : 0);
    if (SetName(name) != 0) {
        PrintF(1, "ZYRK::CTaskContainer::Init[%p](): ERR_CANT_GET_HANDLE, name=%s", static_cast<void*>(this),
               name ? name : "");
        return ERR_CANT_GET_HANDLE;
    }
    mpStartEvent = new (std::nothrow) CEvent(true, false);
    mpStopEvent = new (std::nothrow) CEvent(true, false);
    mpAckEvent = new (std::nothrow) CEvent(true, false);
    mpShutdownEvent = new (std::nothrow) CEvent(true, false);
    if (!mpStartEvent || !mpStopEvent || !mpAckEvent || !mpShutdownEvent) {
        PrintF(1, "ZYRK::CTaskContainer::Init[%p](): ERR_CANT_GET_HANDLE, name=%s", static_cast<void*>(this),
               NameOr(this));
        return ERR_CANT_GET_HANDLE;
    }
    return 0;
}

RESULT_T CTaskContainer::Start(const uint32_t* startArgument)
{
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    RESULT_T refused = 0;
    if (!AcceptsRequest("Start", STARTED, {INITED}, &refused)) {
        return refused;
    }
    meStateRequest.store(STARTED);
    muStarterUser = get_user_id();
    muStarterGroup = get_group_id();
    if (startArgument)
        std::memcpy(mulStartArg, startArgument, sizeof mulStartArg);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (mulStackSize) {
        size_t size = mulStackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : mulStackSize;
        pthread_attr_setstacksize(&attr, size);
    }
    int rc = pthread_create(&mHandle, &attr, &CTaskContainer::ThreadEntry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        PrintF(1, "ZYRK::CTaskContainer::Start[%p](): 0x%X, name=%s", static_cast<void*>(this), ERR_CANT_GET_HANDLE,
               NameOr(this));
        meStateRequest.store(INITED);  // nothing runs: the start may be tried again
        return ERR_CANT_GET_HANDLE;
    }
    mbHasThread = true;
    return 0;
}

RESULT_T CTaskContainer::WaitForAcknowledge(const char* operation)
{
    RESULT_T result = 0;
    if (!mpAckEvent)
        result = ERR_CANT_GET_HANDLE;
    else if (mpAckEvent->Wait(mulTimeout) != CEvent::WAIT_SIGNALLED)
        result = ERR_TIMEOUT;
    ResultF(result, 4, "ZYRK::CTaskContainer::%s[%p](): 0x%X, name=%s", operation, static_cast<void*>(this), result,
            NameOr(this));
    return result;
}

bool CTaskContainer::AcceptsRequest(const char* operation, STATE_T wanted, std::initializer_list<STATE_T> accepted,
                                    RESULT_T* result)
{
    const STATE_T request = meStateRequest.load();
    *result = 0;
    if (request == wanted) {
        PrintF(3, "ZYRK::CTaskContainer::%s[%p](): OK <= multiple request for task '%s'", operation,
               static_cast<void*>(this), NameOr(this));
        return false;
    }
    for (STATE_T state : accepted) {
        if (request == state) {
            return true;
        }
    }
    PrintF(2, "ZYRK::CTaskContainer::%s[%p](): ERR_WRONG_STATE, name=%s, meStateRequest=%u", operation,
           static_cast<void*>(this), NameOr(this), static_cast<unsigned>(request));
    *result = ERR_WRONG_STATE;
    return false;
}

RESULT_T CTaskContainer::Handshake(bool bodyAnswers, CEvent* signal, const char* operation)
{
    if (!bodyAnswers || (mulFlags & TASK_FLAG_NO_HANDSHAKE) || !signal)
        return 0;
    // An acknowledgement left over from an earlier, timed-out request must
    // not answer this one.
    if (mpAckEvent)
        mpAckEvent->Reset();
    signal->Set();
    return WaitForAcknowledge(operation);
}

RESULT_T CTaskContainer::Stop()
{
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    RESULT_T refused = 0;
    if (!AcceptsRequest("Stop", STOPPED, {STARTED}, &refused)) {
        return refused;
    }
    if (mpStartEvent)
        mpStartEvent->Reset();
    meStateRequest.store(STOPPED);
    return Handshake(GetState() == STARTED, mpStopEvent, "Stop");
}

RESULT_T CTaskContainer::Resume()
{
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    RESULT_T refused = 0;
    if (!AcceptsRequest("Resume", STARTED, {STOPPED}, &refused)) {
        return refused;
    }
    if (mpStopEvent)
        mpStopEvent->Reset();
    meStateRequest.store(STARTED);
    return Handshake(BodyStopped(GetState()), mpStartEvent, "Resume");
}

RESULT_T CTaskContainer::Shutdown()
{
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    RESULT_T refused = 0;
    if (!AcceptsRequest("Shutdown", UNLOADED, {CREATED, INITED, STOPPED}, &refused)) {
        return refused;
    }
    if (meStateRequest.load() != STOPPED) {
        meStateRequest.store(UNLOADED);  // nothing runs yet
        return 0;
    }
    if (mpStopEvent)
        mpStopEvent->Reset();
    meStateRequest.store(UNLOADED);
    return Handshake(BodyStopped(GetState()), mpShutdownEvent, "Shutdown");
}

RESULT_T CTaskContainer::StopReceived()
{
    CheckSuspended();
    if (meStateRequest.load() != STOPPED)
        return 0;
    if (mpAckEvent)
        mpAckEvent->Set();
    SetState(STOPPED);
    CEvent* waits[2] = {mpStartEvent, mpShutdownEvent};
    int which = CEvent::WaitAny(waits, 2, CEvent::INFINITE_WAIT);
    if (mpAckEvent)
        mpAckEvent->Set();
    if (meStateRequest.load() == UNLOADED || which == 1)
        return ERR_TASK_MUST_END;
    SetState(STARTED);
    return 0;
}

void CTaskContainer::Suspend()
{
    std::lock_guard<std::mutex> guard(mSuspendLock);
    mbSuspended = true;
    mResumeEvent.Reset();
}

// Called by the task's own thread when it reaches a stop check while the
// registry asks it to park: from now on it is truly suspended.
void CTaskContainer::ParkIfSuspended()
{
    {
        std::lock_guard<std::mutex> guard(mSuspendLock);
        if (!mbSuspended)
            return;
        if (GetState() == STOP_FAILED)
            SetState(STOP_FAILED_SUSPENDED);
    }
    PrintF(4, "ZYRK::CTaskContainer::CheckSuspended[%p](): task '%s' parked", static_cast<void*>(this),
           NameOr(this));
    while (IsSuspended())
        mResumeEvent.Wait(CEvent::INFINITE_WAIT);
}

void CTaskContainer::ResumeSuspended()
{
    std::lock_guard<std::mutex> guard(mSuspendLock);
    mbSuspended = false;
    mResumeEvent.Set();
}

bool CTaskContainer::IsSuspended() const
{
    std::lock_guard<std::mutex> guard(const_cast<std::mutex&>(mSuspendLock));
    return mbSuspended;
}

void CTaskContainer::CheckSuspended()
{
    ParkIfSuspended();
}

RESULT_T CTaskContainer::Delete()
{
    // The thread was created detached: there is no handle left to close.
    mbHasThread = false;
    delete mpStartEvent;
    delete mpStopEvent;
    delete mpAckEvent;
    delete mpShutdownEvent;
    mpStartEvent = mpStopEvent = mpAckEvent = mpShutdownEvent = nullptr;
    return 0;
}

void* CTaskContainer::ThreadEntry(void* self)
{
    static_cast<CTaskContainer*>(self)->Execute();
    return nullptr;
}

void CTaskContainer::Execute()
{
    mulTid.store(static_cast<uint32_t>(syscall(SYS_gettid)));
    set_user_id(muStarterUser);
    set_group_id(muStarterGroup);
    const char* name = NameOr(this);
    if (std::strncmp(name, "tcpserver_", 10) != 0)
        CPostLog().Log("%s tid 0x%08X qid %u", name, mulTid.load(), GetQueueID());
    taskbody(mulStartArg);

    // A request that is still waiting for this body's acknowledgement holds
    // the task's mutex: let it return before the object is destroyed.
    { std::lock_guard<std::recursive_mutex> guard(mMutex); }

    // From here on the registry may destroy this object.
    STATE_T request = meStateRequest.load();
    char* copy = nullptr;
    GetName(&copy);
    RESULT_T result = CSupervisor().DeleteTask(this);
    if (result != 0) {
        const char* text = nullptr;
        char code[16];
        if (res_interpret_errcode(result, &text) != 0 || !text) {
            std::snprintf(code, sizeof code, "0x%08X", result);
            text = code;
        }
        PrintF(2, "ZYRK::CTaskContainer::execute(): %s, name=%s, meStateRequest=%u", text, copy ? copy : "",
               static_cast<unsigned>(request));
    }
    std::free(copy);
}

}  // namespace ZYRK
