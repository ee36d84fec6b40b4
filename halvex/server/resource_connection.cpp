// The connection handling of the TCP resource server: the listening task
// only accepts, and every accepted connection gets a task of its own that
// reads its first request (with a deadline), checks the grants and, for a
// session, goes on serving it. A slow or silent client thus holds nobody but
// its own task, and the number of such tasks is capped.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/platform/listener_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

namespace ZYRK {

namespace {

// Start argument word 0 of a connection task that has not yet read its first
// request (1 is a session handed over already, 0 a listening task).
constexpr uint32_t kModeFreshConnection = 2;

// The answer to a connection beyond the cap: one frame FF AC ("session
// failed").
constexpr uint8_t kRefusal[10] = {0xFE, 0, 0, 0, 0, 0, 0, 2, RES_ERROR_REPLY, RES_SERR_SESSION};

}  // namespace

void CResourceTCPServerTask::SetSessionCap(uint32_t connections) { m_gate->SetCap(connections); }

uint32_t CResourceTCPServerTask::ActiveConnections() const { return m_gate->Active(); }

void CResourceTCPServerTask::StartConnection(int socket, uint32_t clientAddress)
{
    std::shared_ptr<void> slot = m_gate->TryEnter();
    if (!slot) {
        // Counted per refusal only in the log of the first one of a burst.
        static std::atomic<uint32_t> refused{0};
        if (refused.fetch_add(1) % 100 == 0) {
            SysLogExt::PrintF(2, "ZYRK::CResourceTCPServerTask::ManageConnection[%p](): %u connections served "
                              "already, connection refused",
                              static_cast<void*>(this), m_gate->Cap());
        }
        ConnSend(socket, kRefusal, sizeof kRefusal);
        DrainBeforeRefusal(socket);
        ConnClose(socket);
        return;
    }
    CResourceTCPServerTask* task = NewSessionTask();
    if (!task) {
        ConnClose(socket);
        return;
    }
    char name[32];
    SessionName(name, sizeof name);
    task->SetTree(m_tree);
    task->SetMaxRequestSize(m_maxRequest);
    task->m_idleTimeoutMs = m_idleTimeoutMs;
    task->m_sessionIdleMs = m_sessionIdleMs;
    task->m_gate = m_gate;
    task->m_grants = m_grants;  // a single request uses the listener's grants
    task->m_slot = std::move(slot);
    RESULT_T r = task->Init(name, 0, 0, TASK_FLAG_NO_HANDSHAKE);
    if (r == ERR_OK) {
        r = CSupervisor().AddTask(task, CLibContainer::INITED);
        if (r == ERR_OK) {
            const uint32_t arg[4] = {kModeFreshConnection, static_cast<uint32_t>(socket), clientAddress, 0};
            r = CSupervisor().Start(name, arg);
            if (r == ERR_OK) {
                return;  // the connection now belongs to the task
            }
            CSupervisor().DeleteTask(task);
            ConnClose(socket);
            return;
        }
    }
    SysLogExt::PrintF(2, "ZYRK::CResourceTCPServerTask::ManageConnection[%p](): no task for a connection, 0x%X",
                      static_cast<void*>(this), r);
    delete task;
    ConnClose(socket);
}

void CResourceTCPServerTask::ServeConnection(int socket, uint32_t clientAddress, bool session)
{
    {
        std::lock_guard<std::recursive_mutex> g(m_socketLock);
        m_session = session;
        m_socket = socket;
    }
    uint32_t r;
    do {
        r = ManageCommand(socket, clientAddress);
        std::lock_guard<std::recursive_mutex> g(m_socketLock);
        session = m_session;
    } while (r == 1 && session && !m_stopping.load());
    {
        std::lock_guard<std::recursive_mutex> g(m_socketLock);
        m_socket = -1;
    }
    ConnClose(socket);
    m_slot.reset();
}

void CResourceTCPServerTask::ManageConnection(int listenSocket)
{
    for (;;) {
        sockaddr_in peer{};
        const int c = Platform::AcceptRetrying(listenSocket, &peer, m_stopping,
                                               "ZYRK::CResourceTCPServerTask::ManageConnection");
        if (c < 0) {
            return;  // the server is shutting down
        }
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        StartConnection(c, peer.sin_addr.s_addr);
    }
}

void CResourceTCPServerTask::taskbody(uint32_t* startArgument)
{
    const uint32_t mode = startArgument ? startArgument[0] : 0;
    if (mode == 1 || mode == kModeFreshConnection) {
        // Every connection starts as user 2, group 4; a grant raises that.
        set_user_id(2);
        set_group_id(4);
        ServeConnection(static_cast<int>(startArgument[1]), startArgument[2], mode == 1);
        return;
    }
    uint32_t port = startArgument ? (startArgument[1] & 0xFFFF) : 0;
    if (port == 0) {
        port = DEFAULT_TCP_PORT;
    }
    for (uint32_t attempts = 0; attempts < 0x10000; ++attempts) {
        if (m_stopping.load() || GetStateRequest() == UNLOADED) {
            return;
        }
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) {
            // No descriptor now (the process is at its limit): try again.
            std::this_thread::sleep_for(std::chrono::milliseconds(Platform::ACCEPT_BACKOFF_MAX_MS));
            continue;
        }
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = m_bindAddress;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(s);
            port = port >= 0xFFFF ? DEFAULT_TCP_PORT : port + 1;
            continue;
        }
        if (listen(s, 10) != 0) {
            close(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        {
            std::lock_guard<std::recursive_mutex> g(m_socketLock);
            m_socket = s;
            m_port = static_cast<uint16_t>(port);
        }
        ManageConnection(s);
        {
            std::lock_guard<std::recursive_mutex> g(m_socketLock);
            m_socket = -1;
            m_port = 0;
        }
        close(s);
        return;
    }
}

}  // namespace ZYRK
