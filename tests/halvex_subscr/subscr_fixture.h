// Helpers of the subscription and maintenance tests: a resource server on
// 127.0.0.1 serving a server tree, and a client tree connected to it.
#pragma once

#include <halvex/platform/errcodes.h>
#include <halvex/resource/client_resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/resource_value.h>
#include <halvex/server/resource_server.h>
#include <halvex/server/server_tree.h>
#include <halvex/supervisor/supervisor.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace subscrtest {

using namespace ZYRK;

template <typename F>
bool WaitFor(F cond, int tenthsOfSeconds = 50)
{
    for (int i = 0; i < tenthsOfSeconds * 10; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// A resource server task on 127.0.0.1 serving a tree; stopped on destruction.
class Server {
public:
    explicit Server(CServerResourceTree& tree)
    {
        static std::atomic<int> serial{0};
        m_name = "subscr_listener_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
        auto* t = new CResourceTCPServerTask;
        t->SetTree(&tree);
        t->SetBindAddress(htonl(0x7F000001));
        if (t->Init(m_name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE) != ERR_OK ||
            CSupervisor().AddTask(t, CLibContainer::INITED) != ERR_OK) {
            delete t;
            return;
        }
        std::random_device rd;
        const uint32_t arg[4] = {0, 30000 + rd() % 25000, 0, 0};
        if (CSupervisor().Start(m_name.c_str(), arg) != ERR_OK) return;
        m_task = t;
        WaitFor([t] { return t->GetPort() != 0; });
        m_port = t->GetPort();
    }
    ~Server()
    {
        if (!m_task) return;
        CSupervisor().Stop(m_name.c_str());
        m_task->Shutdown();
        WaitFor([this] {
            CTaskContainer* t = CSupervisor().GetTask(m_name.c_str());
            if (t) t->Release();
            return t == nullptr;
        });
    }
    uint16_t Port() const { return m_port; }

private:
    std::string m_name;
    CResourceTCPServerTask* m_task = nullptr;
    uint16_t m_port = 0;
};

// A UDP socket on 127.0.0.1 with an ephemeral port; receive buffer as asked.
inline int UdpSocket(uint16_t& port, int rcvbuf = 0)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (rcvbuf > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

inline CResource* Open(CResourceTree& tree, const char* path)
{
    CResource* r = nullptr;
    if (tree.OpenResource(CResourcePath(path), &r, nullptr) != ERR_OK) return nullptr;
    return r;
}

}  // namespace subscrtest
