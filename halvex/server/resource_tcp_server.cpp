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

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

}  // namespace

struct CResourceTCPServerTask::GRANT_TABLE_T {
    std::mutex lock;
    GRANT_T entries[GRANT_COUNT];
};

std::shared_ptr<CResourceTCPServerTask::GRANT_TABLE_T> CResourceTCPServerTask::NewGrantTable()
{
    std::shared_ptr<GRANT_TABLE_T> table(new (std::nothrow) GRANT_TABLE_T);
    if (table) {
        std::memset(table->entries, 0, sizeof table->entries);
        table->entries[0] = {htonl(kLoopback), GRANT_PERMANENT, 0, 0};
    }
    return table;
}

CResourceTCPServerTask::CResourceTCPServerTask() : m_gate(Platform::CSessionGate::Create()) {}

CResourceTCPServerTask::~CResourceTCPServerTask() { delete[] m_receive; }

int64_t CResourceTCPServerTask::Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RESULT_T CResourceTCPServerTask::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    RESULT_T r = CResourceServerTask::Init(name, priority, stackSize, flags);
    if (r != ERR_OK) {
        return ERR_TASK_INIT;
    }
    if (!m_receive) {
        m_receive = new (std::nothrow) uint8_t[RECEIVE_BUFFER_SIZE];
    }
    if (!m_grants) {
        m_grants = NewGrantTable();
    }
    if (!m_receive || !m_grants) {
        return ERR_TASK_INIT;
    }
    return ERR_OK;
}

RESULT_T CResourceTCPServerTask::Unload()
{
    delete[] m_receive;
    m_receive = nullptr;
    m_grants.reset();
    return CResourceServerTask::Unload();
}

RESULT_T CResourceTCPServerTask::Shutdown()
{
    // Held until the base is done, so that the task's thread cannot destroy
    // this object in between.
    std::lock_guard<std::recursive_mutex> guard(RequestLock());
    m_stopping = true;
    {
        std::lock_guard<std::recursive_mutex> g(m_socketLock);
        if (m_socket >= 0) {
            // Wakes the body's accept or receive; the body closes the socket.
            ::shutdown(m_socket, SHUT_RDWR);
        }
    }
    return CTaskContainer::Shutdown();
}

uint16_t CResourceTCPServerTask::GetPort()
{
    std::lock_guard<std::recursive_mutex> g(m_socketLock);
    return m_socket >= 0 && !m_session ? m_port : 0;
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

uint32_t CResourceTCPServerTask::SessionWord(uint32_t clientAddress, uint8_t) { return clientAddress; }

long CResourceTCPServerTask::ConnRecv(int socket, uint8_t* p, size_t n, int64_t deadline)
{
    return Platform::RecvAllBy(socket, p, n, deadline);
}

bool CResourceTCPServerTask::ConnSend(int socket, const uint8_t* p, size_t n)
{
    // A client that does not read its reply holds nobody but its own task,
    // and that only until the deadline.
    return Platform::SendAllBy(socket, p, n, Platform::DeadlineIn(m_idleTimeoutMs));
}

void CResourceTCPServerTask::ConnClose(int socket) { close(socket); }

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
    return clientAddress == htonl(kLoopback);
}

uint32_t CResourceTCPServerTask::HandleAuth(const uint8_t* p, uint32_t n, uint32_t clientAddress, const USER_IDENT_T&)
{
    return AuthHost(p, n, clientAddress);
}

uint32_t CResourceTCPServerTask::OpenSession(int socket, uint32_t, uint8_t)
{
    static const uint8_t kOpened[9] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1};
    if (!ConnSend(socket, kOpened, sizeof kOpened)) {
        return ERR_CANT_WRITE_SOCKET;
    }
    // The connection already has a task of its own, which from now on
    // serves it as a session, with a grant table of its own.
    if (!m_session) {
        std::shared_ptr<GRANT_TABLE_T> own = NewGrantTable();
        if (!own) {
            return ERR_NO_MEMORY;
        }
        m_grants = std::move(own);
    }
    std::lock_guard<std::recursive_mutex> g(m_socketLock);
    m_session = true;
    return 1;
}

uint32_t CResourceTCPServerTask::CloseSession(int socket)
{
    static const uint8_t kClosed[9] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC3};
    ConnSend(socket, kClosed, sizeof kClosed);
    return 0;
}

uint32_t CResourceTCPServerTask::ManageCommand(int socket, uint32_t clientAddress)
{
    if (!m_receive) {
        return ERR_UNINITIALIZED;
    }
    // A fresh connection has the idle limit for its whole first request; a
    // session may wait for its next request as long as the session limit
    // allows, and then has the idle limit for the rest of the frame.
    bool session;
    {
        std::lock_guard<std::recursive_mutex> g(m_socketLock);
        session = m_session;
    }
    int64_t deadline = Platform::DeadlineIn(session ? m_sessionIdleMs : m_idleTimeoutMs);
    long got = ConnRecv(socket, m_receive, 1, deadline);
    if (got <= 0) {
        return got == 0 ? 0 : ERR_CANT_READ_SOCKET;
    }
    if (session) {
        deadline = Platform::DeadlineIn(m_idleTimeoutMs);
    }
    got = ConnRecv(socket, m_receive + 1, RES_FRAME_HEADER_SIZE - 1, deadline);
    if (got <= 0) {
        return got == 0 ? 0 : ERR_CANT_READ_SOCKET;
    }
    int extensions = 0;
    uint32_t n = 0;
    if (!res_frame_parse_header(m_receive, &extensions, &n)) {
        // Not a frame: dropped without answer.
        return 1;
    }
    // The length is the peer's claim: beyond the configured maximum nothing
    // is allocated and the connection is given up.
    if (n > m_maxRequest) {
        SysLogExt::PrintF(2, "ZYRK::CResourceTCPServerTask::ManageCommand[%p](): request of %u bytes refused",
                          static_cast<void*>(this), n);
        m_reply.Flush();
        return ERR_BAD_DATA;
    }
    std::unique_ptr<uint8_t[]> heap;
    uint8_t* payload = m_receive;
    if (n > RECEIVE_PAYLOAD_MAX) {
        heap.reset(new (std::nothrow) uint8_t[n]);
        if (!heap) {
            m_reply.Flush();
            return ERR_NO_MEMORY;
        }
        payload = heap.get();
    }
    if (n && ConnRecv(socket, payload, n, deadline) != static_cast<long>(n)) {
        return 0;
    }
    USER_IDENT_T ident = RequestIdentity(clientAddress);
    const bool local = TrustsIdentityExtensions(clientAddress);

    m_reply.Flush();
    auto finish = [this](uint32_t result) {
        m_reply.Flush();
        return result;
    };
    if (!m_reply.AllocSpace(RES_FRAME_HEADER_SIZE)) {
        return finish(ERR_NO_MEMORY);
    }
    uint32_t pos = 0;
    if (res_frame_has_uncounted_items(payload, n, extensions)) {
        // More embedded requests than the header counts: refused as a whole
        // before any of them runs.
        if (ErrorResponse(RES_SERR_INDATA_SIZE) == ERR_NO_MEMORY) {
            return finish(ERR_NO_MEMORY);
        }
        pos = n;
    }
    for (int i = 0; i < extensions && pos < n; ++i) {
        const uint8_t tag = payload[pos];
        if (tag == RES_EXT_USER) {
            if (n - pos < 4) {
                break;
            }
            if (local) {
                ident.uid = res_get_be16(payload + pos + 2);
            }
            pos += 4;
        } else if (tag == RES_EXT_ADDRESS) {
            if (n - pos < 6) {
                break;
            }
            if (local) {
                // Kept in network order, as the socket reports addresses.
                std::memcpy(&ident.ipAddr, payload + pos + 2, 4);
            }
            pos += 6;
        } else if (tag == RES_EXT_REQUEST) {
            if (n - pos < 6) {
                break;
            }
            const uint32_t d = res_get_be32(payload + pos + 2);
            if (d > n - pos - 6) {
                // An embedded request that runs past the frame.
                uint8_t* e = m_reply.AllocSpace(2);
                if (!e) {
                    return finish(ERR_NO_MEMORY);
                }
                e[0] = RES_ERROR_REPLY;
                e[1] = RES_SERR_INDATA_SIZE;
                pos = n;
                break;
            }
            uint8_t* ext = m_reply.AllocSpace(6);
            if (!ext) {
                return finish(ERR_NO_MEMORY);
            }
            const uint32_t r = ProcessData(payload + pos + 6, d, ident);
            if (r >= RES_HANDLER_ERROR_BASE) {
                return finish(r);
            }
            ext[0] = RES_EXT_REPLY;
            ext[1] = 4;
            res_put_be32(ext + 2, r);
            if (!m_reply.SWAlign()) {
                return finish(ERR_NO_MEMORY);
            }
            const uint64_t step = 6ull + d + (d & 1u);
            pos = step > n - pos ? n : pos + static_cast<uint32_t>(step);
        } else {
            if (n - pos < 2) {
                break;
            }
            pos += 2;
        }
    }
    if (pos < n) {
        const uint8_t op = payload[pos];
        if (op == 0xC0) {
            m_reply.Flush();
            return OpenSession(socket, clientAddress, pos + 1 < n ? payload[pos + 1] : 0);
        }
        if (op == 0xC2) {
            m_reply.Flush();
            return CloseSession(socket);
        }
        const uint32_t r = op == 0xD0 ? HandleAuth(payload + pos, n - pos, clientAddress, ident)
                                      : ProcessData(payload + pos, n - pos, ident);
        if (r >= RES_HANDLER_ERROR_BASE) {
            return finish(r);
        }
    }
    uint32_t result = 1;
    if (m_reply.Length() > RES_FRAME_HEADER_SIZE) {
        uint8_t header[RES_FRAME_HEADER_SIZE];
        res_frame_build_header(header, 0, static_cast<uint32_t>(m_reply.Length() - RES_FRAME_HEADER_SIZE));
        bool first = true;
        bool ok = m_reply.ForEachPiece([&](const uint8_t* piece, size_t len) {
            if (first) {
                first = false;
                // The first piece starts with the reserved header bytes.
                std::memcpy(const_cast<uint8_t*>(piece), header, RES_FRAME_HEADER_SIZE);
            }
            return ConnSend(socket, piece, len);
        });
        if (!ok) {
            result = ERR_CANT_WRITE_SOCKET;
        }
    }
    return finish(result);
}

}  // namespace ZYRK
