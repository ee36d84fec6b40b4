// The TCP connection tasks of the resource server: the listening task serves
// one request per connection, a session request hands the connection to a
// session task of the same class, which serves it until it closes.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/platform/listener_internal.h"
#include "halvex/platform/stream_io_internal.h"
#include "halvex/server/request_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace ZYRK {

std::atomic<uint32_t> CResourceTCPServerTask::mulForkCounter{0};

struct CResourceTCPServerTask::GRANT_TABLE_T {
    std::mutex lock;
    GRANT_T entries[GRANT_COUNT];
};

std::shared_ptr<CResourceTCPServerTask::GRANT_TABLE_T> CResourceTCPServerTask::NewGrantTable()
{
    std::shared_ptr<GRANT_TABLE_T> table(new (std::nothrow) GRANT_TABLE_T);
    if (table) {
        std::memset(table->entries, 0, sizeof table->entries);
        table->entries[0] = {Server::LoopbackAddress(), GRANT_PERMANENT, 0, 0};
    }
    return table;
}

CResourceTCPServerTask::CResourceTCPServerTask() = default;

CResourceTCPServerTask::~CResourceTCPServerTask() = default;

int64_t CResourceTCPServerTask::Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RESULT_T CResourceTCPServerTask::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    RESULT_T r = CResourceConnectionTask::Init(name, priority, stackSize, flags);
    if (r != ERR_OK) {
        return r;
    }
    if (!m_grants) {
        m_grants = NewGrantTable();
    }
    return m_grants ? ERR_OK : ERR_TASK_INIT;
}

RESULT_T CResourceTCPServerTask::Unload()
{
    m_grants.reset();
    return CResourceConnectionTask::Unload();
}

void CResourceTCPServerTask::WakeListener()
{
    std::lock_guard<std::recursive_mutex> g(m_socketLock);
    if (m_socket >= 0) {
        // Wakes the body's accept or receive; the body closes the socket.
        ::shutdown(m_socket, SHUT_RDWR);
    }
}

bool CResourceTCPServerTask::CheckHostAuth(uint32_t address)
{
    if (!m_grants) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_grants->lock);
    const int64_t now = Now();
    for (int i = 0; i < GRANT_COUNT; ++i) {
        const GRANT_T& g = m_grants->entries[i];
        if (g.address == address && (g.expiry == GRANT_PERMANENT || g.expiry > now)) {
            set_user_id(g.uid);
            set_group_id(g.gid);
            return true;
        }
    }
    return false;
}

RESULT_T CResourceTCPServerTask::AddToHostAuth(uint32_t address, uint16_t uid, uint16_t gid)
{
    if (!m_grants) {
        return ERR_CANT_GET_HANDLE;
    }
    std::lock_guard<std::mutex> lock(m_grants->lock);
    const int64_t now = Now();
    for (int i = 0; i < GRANT_COUNT; ++i) {
        GRANT_T& g = m_grants->entries[i];
        if (g.address == address && g.uid == uid && g.gid == gid) {
            // A renewal never shortens a grant (the permanent one stays).
            if (g.expiry != GRANT_PERMANENT && g.expiry < now + GRANT_SECONDS) {
                g.expiry = now + GRANT_SECONDS;
            }
            return ERR_OK;
        }
    }
    for (int i = 0; i < GRANT_COUNT; ++i) {
        GRANT_T& g = m_grants->entries[i];
        if (g.expiry != GRANT_PERMANENT && g.expiry <= now) {
            g = {address, now + GRANT_SECONDS, uid, gid};
            return ERR_OK;
        }
    }
    return ERR_CANT_GET_HANDLE;
}

uint32_t CResourceTCPServerTask::AuthHost(const uint8_t* p, uint32_t n, uint32_t clientAddress)
{
    uint8_t* answer = m_reply.AllocSpace(2);
    if (!answer) {
        return ERR_NO_MEMORY;
    }
    answer[0] = RES_ERROR_REPLY;
    answer[1] = RES_SERR_INDATA_SIZE;
    if (n < 2) {
        return 2;
    }
    const uint32_t ulen = p[1];
    if (ulen >= 20 || 2 + ulen >= n) {
        return 2;
    }
    const uint32_t plen = p[2 + ulen];
    if (plen >= 20 || 3 + ulen + plen > n) {
        return 2;
    }
    const std::string user(reinterpret_cast<const char*>(p + 2), ulen);
    const std::string password(reinterpret_cast<const char*>(p + 3 + ulen), plen);
    answer[1] = RES_SERR_AUTH;
    unsigned short uid = 0, gid = 0;
    if (user.find('\0') != std::string::npos || password.find('\0') != std::string::npos ||
        !is_valid_user(user.c_str(), password.c_str()) || !get_user_id_from_name(user.c_str(), &uid, &gid) ||
        AddToHostAuth(clientAddress, uid, gid) != ERR_OK) {
        return 2;
    }
    answer[0] = 0xD1;
    answer[1] = 0x00;
    return 2;
}

CResourceTCPServerTask* CResourceTCPServerTask::NewSessionTask() { return new (std::nothrow) CResourceTCPServerTask; }

void CResourceTCPServerTask::SessionName(char* name, size_t size)
{
    std::snprintf(name, size, "tcpserver_%u", ++mulForkCounter);
}

void CResourceTCPServerTask::InheritSettings(CResourceConnectionTask& connection)
{
    // The session tasks of this class are of this class (NewSessionTask).
    auto& task = static_cast<CResourceTCPServerTask&>(connection);
    task.m_idleTimeoutMs = m_idleTimeoutMs;
    task.m_sessionIdleMs = m_sessionIdleMs;
    task.m_grants = m_grants;  // a single request uses the listener's grants
}

long CResourceTCPServerTask::ConnRecv(int socket, uint8_t* p, size_t n, int64_t deadline)
{
    const Platform::StreamWait wait{deadline};
    return Platform::RecvAllBy(socket, p, n, &wait);
}

bool CResourceTCPServerTask::ConnSend(int socket, const uint8_t* p, size_t n)
{
    // A client that does not read its reply holds nobody but its own task,
    // and that only until the deadline.
    const Platform::StreamWait wait{Platform::DeadlineIn(m_idleTimeoutMs)};
    return Platform::SendAllBy(socket, p, n, &wait) == static_cast<long>(n);
}

void CResourceTCPServerTask::ConnClose(int socket) { close(socket); }

int64_t CResourceTCPServerTask::RequestDeadline(bool awaitingNext)
{
    return Platform::DeadlineIn(awaitingNext ? m_sessionIdleMs : m_idleTimeoutMs);
}

void CResourceTCPServerTask::DrainBeforeRefusal(int socket)
{
    uint8_t scratch[2048];
    for (int i = 0; i < 4 && recv(socket, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(socket, SHUT_WR);
}

USER_IDENT_T CResourceTCPServerTask::RequestIdentity(uint32_t clientAddress)
{
    m_authenticated = CheckHostAuth(clientAddress);
    return {get_user_id(), clientAddress};
}

bool CResourceTCPServerTask::TrustsIdentityExtensions(uint32_t clientAddress)
{
    return Server::IsLocal(clientAddress);
}

uint32_t CResourceTCPServerTask::HandleAuth(const uint8_t* p, uint32_t n, uint32_t clientAddress, const USER_IDENT_T&)
{
    return AuthHost(p, n, clientAddress);
}

RESULT_T CResourceTCPServerTask::PrepareSession()
{
    // A session has a grant table of its own.
    std::shared_ptr<GRANT_TABLE_T> own = NewGrantTable();
    if (!own) {
        return ERR_NO_MEMORY;
    }
    m_grants = std::move(own);
    return ERR_OK;
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
    if (mode == MODE_SESSION || mode == MODE_CONNECTION) {
        // Every connection starts as user 2, group 4; a grant raises that.
        set_user_id(2);
        set_group_id(4);
        ServeConnection(static_cast<int>(startArgument[1]), startArgument[2], mode == MODE_SESSION);
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
        SetListening(s, static_cast<uint16_t>(port));
        ManageConnection(s);
        SetListening(-1, 0);
        close(s);
        return;
    }
}

}  // namespace ZYRK
