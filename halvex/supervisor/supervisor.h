// The process-wide task registry of the supervisor and its reader-writer lock.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/platform/errcodes.h>
#include <halvex/supervisor/container.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

namespace ZYRK {

class CResourceTree;

// Reader-writer lock: a writer may take it again for writing or reading, a
// reader again for reading, without waiting. New readers wait while writers
// wait; a writer waits while a writer or any reader holds it. A reader that
// asks for the write lock is refused (it would wait for itself).
class HALVEX_API CProtRsc {
public:
    CProtRsc();
    ~CProtRsc();
    CProtRsc(const CProtRsc&) = delete;
    CProtRsc& operator=(const CProtRsc&) = delete;

    void LockRead();
    void UnlockRead();
    bool LockWrite();  // false: the caller holds it for reading only
    void UnlockWrite();

private:
    std::mutex mLock;
    std::condition_variable mReaders;
    std::condition_variable mWriters;
    std::thread::id mWriter{};
    int mWriterDepth = 0;
    int mWaitingWriters = 0;
    int mReaderCount = 0;                  // read holds of all threads
    std::map<std::thread::id, int> mReadHolds;
};

class HALVEX_API CSupervisor {
public:
    CSupervisor();
    ~CSupervisor();

    RESULT_T AddTask(CTaskContainer* task, CLibContainer::STATE_T state);
    // Raises the task's open count; the caller lets go of it with Release().
    CTaskContainer* GetTask(const char* name);
    RESULT_T Start(const char* name, const uint32_t* startArgument);
    RESULT_T Stop(const char* name);
    RESULT_T RemoveTask(CTaskContainer* task);
    RESULT_T DeleteTask(CTaskContainer* task);
    CResourceTree* GetLocalResourceTree();

    // The process's local resource tree, set by the host of the servers.
    static void SetLocalResourceTree(CResourceTree* tree);

private:
    struct TaskNode {
        CTaskContainer* task;
        TaskNode* previous;
        TaskNode* next;
    };

    // Internal to the library, not part of its interface.
    __attribute__((visibility("hidden"))) static TaskNode* FindNode(CTaskContainer* task);
    // Runs what(task) on the registered task of that name under the read
    // lock and releases the task afterwards; 0x64070000 when there is none.
    template <typename F>
    RESULT_T WithTask(const char* name, F&& what);

    __attribute__((visibility("hidden"))) static TaskNode* mpLoadedTasks;
    __attribute__((visibility("hidden"))) static CProtRsc* mpListLock;
    __attribute__((visibility("hidden"))) static CResourceTree* mpLocalResourceTree;
};

}  // namespace ZYRK
