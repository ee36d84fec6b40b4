// The task registry: a list of tasks by name under a reader-writer lock.
#include <halvex/supervisor/supervisor.h>

#include <halvex/platform/syslogext.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace ZYRK {

namespace {

std::once_flag gListLockOnce;

bool SameName(const CTaskContainer* task, const char* name)
{
    const char* own = task->NameText();
    return own && name && std::strcmp(own, name) == 0;
}

}  // namespace

// ---- CProtRsc ----

CProtRsc::CProtRsc() = default;
CProtRsc::~CProtRsc() = default;

void CProtRsc::LockRead()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(mLock);
    auto held = mReadHolds.find(self);
    if (mWriter == self || held != mReadHolds.end()) {
        ++mReadHolds[self];
        ++mReaderCount;
        return;
    }
    mReaders.wait(guard, [&] { return mWriterDepth == 0 && mWaitingWriters == 0; });
    ++mReadHolds[self];
    ++mReaderCount;
}

void CProtRsc::UnlockRead()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(mLock);
    auto held = mReadHolds.find(self);
    if (held == mReadHolds.end())
        return;
    if (--held->second == 0)
        mReadHolds.erase(held);
    --mReaderCount;
    if (mReaderCount == 0 && mWriterDepth == 0)
        mWriters.notify_one();
}

bool CProtRsc::LockWrite()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(mLock);
    if (mWriter == self && mWriterDepth > 0) {
        ++mWriterDepth;
        return true;
    }
    if (mReadHolds.count(self))
        return false;
    ++mWaitingWriters;
    mWriters.wait(guard, [&] { return mWriterDepth == 0 && mReaderCount == 0; });
    --mWaitingWriters;
    mWriter = self;
    mWriterDepth = 1;
    return true;
}

void CProtRsc::UnlockWrite()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(mLock);
    if (mWriter != self || mWriterDepth == 0)
        return;
    if (--mWriterDepth > 0)
        return;
    mWriter = std::thread::id{};
    // Read holds the writer took on top stay counted until released.
    if (mWaitingWriters > 0 && mReaderCount == 0)
        mWriters.notify_one();
    else
        mReaders.notify_all();
}

// ---- CSupervisor ----

CSupervisor::TaskNode* CSupervisor::mpLoadedTasks = nullptr;
CProtRsc* CSupervisor::mpListLock = nullptr;
CResourceTree* CSupervisor::mpLocalResourceTree = nullptr;

CSupervisor::CSupervisor()
{
    std::call_once(gListLockOnce, [] { mpListLock = new CProtRsc; });
}

CSupervisor::~CSupervisor() = default;

CResourceTree* CSupervisor::GetLocalResourceTree()
{
    return mpLocalResourceTree;
}

void CSupervisor::SetLocalResourceTree(CResourceTree* tree)
{
    mpLocalResourceTree = tree;
}

CSupervisor::TaskNode* CSupervisor::FindNode(CTaskContainer* task)
{
    for (TaskNode* node = mpLoadedTasks; node; node = node->next) {
        if (node->task == task)
            return node;
    }
    return nullptr;
}

RESULT_T CSupervisor::AddTask(CTaskContainer* task, CLibContainer::STATE_T state)
{
    if (!task)
        return ERR_BAD_DATA;
    if (!mpListLock->LockWrite())
        return ERR_WRONG_STATE;
    RESULT_T result = 0;
    if (CTaskContainer* existing = GetTask(task->NameText())) {
        existing->Release();
        result = ERR_DUPLICATE;
    } else if (FindNode(task)) {
        result = ERR_DUPLICATE;  // an unnamed task registered twice
    } else {
        auto* node = new (std::nothrow) TaskNode{task, nullptr, mpLoadedTasks};
        if (!node) {
            result = ERR_NO_MEMORY;
        } else {
            if (state != CLibContainer::UNDEFINED)
                task->SetState(state);
            if (mpLoadedTasks)
                mpLoadedTasks->previous = node;
            mpLoadedTasks = node;
        }
    }
    mpListLock->UnlockWrite();
    return result;
}

CTaskContainer* CSupervisor::GetTask(const char* name)
{
    if (!name)
        return nullptr;
    mpListLock->LockRead();
    CTaskContainer* found = nullptr;
    for (TaskNode* node = mpLoadedTasks; node; node = node->next) {
        if (SameName(node->task, name)) {
            found = node->task;
            found->Lock();
            break;
        }
    }
    mpListLock->UnlockRead();
    return found;
}

template <typename F>
RESULT_T CSupervisor::WithTask(const char* name, F&& what)
{
    mpListLock->LockRead();
    CTaskContainer* task = GetTask(name);
    RESULT_T result = ERR_BAD_DATA;
    if (task) {
        result = what(task);
        task->Release();
    }
    mpListLock->UnlockRead();
    return result;
}

RESULT_T CSupervisor::Start(const char* name, const uint32_t* startArgument)
{
    return WithTask(name, [&](CTaskContainer* task) {
        RESULT_T result;
        switch (task->GetState()) {
        case CLibContainer::INITED:
            task->SetState(CLibContainer::STARTED);
            result = task->Start(startArgument);
            if (result != 0)
                task->SetState(CLibContainer::START_FAILED);
            break;
        case CLibContainer::STOPPED:
            if (CEvent* start = task->GetStartEvent())
                start->Set();
            task->SetState(CLibContainer::STARTED);
            result = 0;
            break;
        case CLibContainer::STOP_FAILED:
        case CLibContainer::STOP_FAILED_SUSPENDED:
            // A body that missed its stop: let it go on (from where it parks,
            // or from where it still runs).
            task->ResumeSuspended();
            task->SetState(CLibContainer::STARTED);
            result = 0;
            break;
        default:
            result = ERR_WRONG_STATE;
            break;
        }
        return result;
    });
}

RESULT_T CSupervisor::Stop(const char* name)
{
    return WithTask(name, [&](CTaskContainer* task) {
        RESULT_T result;
        if (task->GetState() != CLibContainer::STARTED) {
            result = ERR_WRONG_STATE;
        } else {
            result = task->Stop();
            if (result == ERR_TIMEOUT) {
                // Linux offers no safe way to suspend another thread of the
                // process (a thread stopped at an arbitrary point may hold
                // the allocator's or any other lock). The body is asked to
                // park at its next StopReceived or CheckSuspended instead;
                // until it does, the registry says that the stop failed and
                // the body still runs (STOP_FAILED), and once it parks, the
                // task's thread reports STOP_FAILED_SUSPENDED itself.
                task->SetState(CLibContainer::STOP_FAILED);
                task->Suspend();
                char* taskName = nullptr;
                task->GetName(&taskName);
                SysLogExt::PrintF(2, "ZYRK::CSupervisor::Stop(): task '%s' did not acknowledge the stop, its body is "
                                  "still running; it is parked at its next stop check",
                                  taskName ? taskName : "");
                std::free(taskName);
            } else {
                task->SetState(CLibContainer::STOPPED);
            }
        }
        return result;
    });
}

RESULT_T CSupervisor::RemoveTask(CTaskContainer* task)
{
    if (!task)
        return ERR_BAD_DATA;
    if (!mpListLock->LockWrite())
        return ERR_WRONG_STATE;
    TaskNode* node = FindNode(task);
    if (!node) {
        mpListLock->UnlockWrite();
        return ERR_NOT_FOUND;
    }
    if (task->mbRemoving.exchange(true)) {
        mpListLock->UnlockWrite();
        return ERR_NOT_FOUND;  // another thread is removing it
    }
    task->Lock();
    // Wait until nobody else holds the task (GetTask without Release yet).
    // Another thread may unlink it meanwhile: then it is not ours to remove.
    while (task->GetOpenCount() > 1) {
        mpListLock->UnlockWrite();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mpListLock->LockWrite();
        node = FindNode(task);
        if (!node)
            break;
    }
    task->Release();
    if (!node) {
        task->mbRemoving.store(false);
        mpListLock->UnlockWrite();
        return ERR_NOT_FOUND;
    }
    if (node->previous)
        node->previous->next = node->next;
    else
        mpLoadedTasks = node->next;
    if (node->next)
        node->next->previous = node->previous;
    delete node;
    task->mbRemoving.store(false);
    mpListLock->UnlockWrite();
    return 0;
}

RESULT_T CSupervisor::DeleteTask(CTaskContainer* task)
{
    RESULT_T result = RemoveTask(task);
    if (result != 0)
        return result;
    // A task without resources of its own keeps the base's Unload, which
    // answers "unsupported": that is nothing to unload, not a failure.
    result = task->Unload();
    if (result != 0 && result != ERR_UNSUPPORTED) {
        task->SetState(CLibContainer::UNLOAD_FAILED);
        return result;
    }
    task->SetState(CLibContainer::UNLOADED);
    result = task->Delete();
    if (result == 0)
        delete task;
    return result;
}

}  // namespace ZYRK
