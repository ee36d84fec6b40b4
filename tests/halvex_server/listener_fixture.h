// A TCP listening task of the resource server on 127.0.0.1 for the tests:
// started on a free port, stopped and waited for.
#pragma once

#include "server_fixture.h"

#include <halvex/platform/errcodes.h>
#include <halvex/supervisor/supervisor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

namespace srvtest {

// Waits (bounded) until cond holds.
template <typename F>
bool WaitFor(F cond)
{
    for (int i = 0; i < 500; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// A listening task on 127.0.0.1 serving tree; its port, or 0. configure
// (when given) sets the task's limits before it starts.
inline uint16_t StartListener(ZYRK::CServerResourceTree& tree, std::string& name, ZYRK::CResourceTCPServerTask** out,
                              uint32_t idleMs = 30000,
                              const std::function<void(ZYRK::CResourceTCPServerTask*)>& configure = {})
{
    using namespace ZYRK;
    static std::atomic<int> serial{0};
    name = "resource_tcp_listener_" + std::to_string(++serial);
    auto* t = new CResourceTCPServerTask;
    t->SetTree(&tree);
    t->SetIdleTimeout(idleMs);
    t->SetBindAddress(htonl(0x7F000001));
    if (configure) configure(t);
    if (t->Init(name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE) != ERR_OK ||
        CSupervisor().AddTask(t, CLibContainer::INITED) != ERR_OK) {
        delete t;
        return 0;
    }
    // A port from a wide range; a taken one makes the task try the next.
    std::random_device rd;
    const uint32_t arg[4] = {0, 30000 + rd() % 25000, 0, 0};
    if (CSupervisor().Start(name.c_str(), arg) != ERR_OK) return 0;
    *out = t;
    WaitFor([t] { return t->GetPort() != 0; });
    return t->GetPort();
}

inline void StopListener(const std::string& name, ZYRK::CResourceTCPServerTask* task)
{
    using namespace ZYRK;
    CSupervisor().Stop(name.c_str());
    task->Shutdown();
    EXPECT_TRUE(WaitFor([&name] {
        CTaskContainer* t = CSupervisor().GetTask(name.c_str());
        if (t) t->Release();
        return t == nullptr;
    }));
}

}  // namespace srvtest
