// The connection handling that every transport of the resource server
// shares: the listening task only accepts, and every accepted connection gets
// a task of its own that reads its first request (with the transport's
// deadlines) and, for a session, goes on serving it. A slow or silent client
// thus holds nobody but its own task, and the number of such tasks is capped.
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

// The answer to a connection beyond the cap: one frame FF AC ("session
// failed").
constexpr uint8_t kRefusal[10] = {0xFE, 0, 0, 0, 0, 0, 0, 2, RES_ERROR_REPLY, RES_SERR_SESSION};

}  // namespace

CResourceConnectionTask::CResourceConnectionTask() : m_gate(Platform::CSessionGate::Create()) {}

CResourceConnectionTask::~CResourceConnectionTask() { delete[] m_receive; }

RESULT_T CResourceConnectionTask::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    RESULT_T r = CResourceServerTask::Init(name, priority, stackSize, flags);
    if (r != ERR_OK) {
        return ERR_TASK_INIT;
    }
    if (!m_receive) {
        m_receive = new (std::nothrow) uint8_t[RECEIVE_BUFFER_SIZE];
    }
    return m_receive ? ERR_OK : ERR_TASK_INIT;
}

RESULT_T CResourceConnectionTask::Unload()
{
    delete[] m_receive;
    m_receive = nullptr;
    return CResourceServerTask::Unload();
}

RESULT_T CResourceConnectionTask::Shutdown()
{
    // Held until the base is done, so that the task's thread cannot destroy
    // this object in between.
    std::lock_guard<std::recursive_mutex> guard(RequestLock());
    m_stopping = true;
    WakeListener();
    return CTaskContainer::Shutdown();
}

uint16_t CResourceConnectionTask::GetPort()
{
    std::lock_guard<std::recursive_mutex> g(m_socketLock);
    return m_socket >= 0 && !m_session ? m_port : 0;
}

void CResourceConnectionTask::SetListening(int socket, uint16_t port)
{
    std::lock_guard<std::recursive_mutex> g(m_socketLock);
    m_socket = socket;
    m_port = port;
}

void CResourceConnectionTask::InheritSettings(CResourceConnectionTask&) {}

RESULT_T CResourceConnectionTask::PrepareSession() { return ERR_OK; }

uint32_t CResourceConnectionTask::OpenSession(int socket)
{
    static const uint8_t kOpened[9] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1};
    if (!ConnSend(socket, kOpened, sizeof kOpened)) {
        return ERR_CANT_WRITE_SOCKET;
    }
    // The connection already has a task of its own, which from now on
    // serves it as a session.
    std::lock_guard<std::recursive_mutex> g(m_socketLock);
    if (!m_session) {
        if (RESULT_T r = PrepareSession()) {
            return r;
        }
    }
    m_session = true;
    return 1;
}

uint32_t CResourceConnectionTask::CloseSession(int socket)
{
    static const uint8_t kClosed[9] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC3};
    ConnSend(socket, kClosed, sizeof kClosed);
    return 0;
}

void CResourceConnectionTask::SetSessionCap(uint32_t connections) { m_gate->SetCap(connections); }

uint32_t CResourceConnectionTask::ActiveConnections() const { return m_gate->Active(); }

void CResourceConnectionTask::StartConnection(int socket, uint32_t clientAddress)
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
    CResourceConnectionTask* task = NewSessionTask();
    if (!task) {
        ConnClose(socket);
        return;
    }
    char name[32];
    SessionName(name, sizeof name);
    task->SetTree(m_tree);
    task->SetMaxRequestSize(m_maxRequest);
    task->m_gate = m_gate;
    task->m_slot = std::move(slot);
    InheritSettings(*task);
    RESULT_T r = task->Init(name, 0, 0, TASK_FLAG_NO_HANDSHAKE);
    if (r == ERR_OK) {
        r = CSupervisor().AddTask(task, CLibContainer::INITED);
        if (r == ERR_OK) {
            const uint32_t arg[4] = {MODE_CONNECTION, static_cast<uint32_t>(socket), clientAddress, 0};
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

void CResourceConnectionTask::ServeConnection(int socket, uint32_t clientAddress, bool session)
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

}  // namespace ZYRK
