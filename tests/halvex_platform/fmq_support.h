// Helpers of the queue tests: a queue server task in this process on a free
// loopback port, and queue names unique to this process.
#pragma once

#include <halvex/platform/fmq.h>
#include <halvex/supervisor/supervisor.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace fmqtest {

// 8 characters at most: a letter, the pid in base 36, a counter.
inline std::string UniqueQueueName(char prefix = 'T')
{
    static std::atomic<unsigned> counter{0};
    const char* digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string name(1, prefix);
    unsigned pid = static_cast<unsigned>(getpid());
    std::string p;
    do {
        p.insert(p.begin(), digits[pid % 36]);
        pid /= 36;
    } while (pid);
    name += p;
    unsigned c = counter++;
    name += digits[(c / 36) % 36];
    name += digits[c % 36];
    return name.substr(0, 8);
}

// Starts a listening queue server task; returns its port, 0 on failure.
inline uint16_t StartServer(const std::string& taskName, uint32_t listenPort = 0xFFFF)
{
    using namespace ZYRK;
    auto* task = new CFMQServerTask;
    CSupervisor sup;
    if (task->Init(taskName.c_str(), 0, 0, 0) != 0 || sup.AddTask(task, CLibContainer::INITED) != 0) {
        delete task;
        return 0;
    }
    CTaskContainer* held = sup.GetTask(taskName.c_str());
    const uint32_t arg[4] = {0, listenPort, 0, 0};
    uint16_t port = 0;
    if (sup.Start(taskName.c_str(), arg) == 0 && task->WaitUntilListening(10000))
        port = task->GetPort();
    if (held)
        held->Release();
    return port;
}

}  // namespace fmqtest
