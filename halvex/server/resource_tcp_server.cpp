// The TCP connection tasks of the resource server: the listening task serves
// one request per connection, a session request hands the connection to a
// session task of the same class, which serves it until it closes.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>
#include <halvex/supervisor/supervisor.h>

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
#include <new>
#include <string>
#include <thread>

namespace ZYRK {

std::atomic<uint32_t> CResourceTCPServerTask::mulForkCounter{0};

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// Receives exactly n bytes: n, 0 when the peer closed first, -errno on failure.
long RecvAll(int s, uint8_t* p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(s, p + got, n - got, 0);
        if (r == 0) {
            return 0;
        }
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(n);
}

bool SendAll(int s, const uint8_t* p, size_t n)
{
    while (n) {
        ssize_t r = send(s, p, n, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void SetStreamTimeout(int s, uint32_t ms)
{
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

CResourceTCPServerTask::CResourceTCPServerTask() = default;

CResourceTCPServerTask::~CResourceTCPServerTask()
{
    delete[] m_receive;
    delete[] m_grants;
}

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
        m_grants = new (std::nothrow) GRANT_T[GRANT_COUNT];
    }
    if (!m_receive || !m_grants) {
        return ERR_TASK_INIT;
    }
    std::memset(m_grants, 0, sizeof(GRANT_T) * GRANT_COUNT);
    m_grants[0] = {htonl(kLoopback), GRANT_PERMANENT, 0, 0};
    return ERR_OK;
}

RESULT_T CResourceTCPServerTask::Unload()
{
    delete[] m_receive;
    m_receive = nullptr;
    delete[] m_grants;
    m_grants = nullptr;
    return CResourceServerTask::Unload();
}

RESULT_T CResourceTCPServerTask::Shutdown()
{
    // Held until the base is done, so that the task's thread cannot destroy
    // this object in between.
    std::lock_guard<std::recursive_mutex> guard(RequestLock());
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
    const int64_t now = Now();
    for (int i = 0; i < GRANT_COUNT; ++i) {
        const GRANT_T& g = m_grants[i];
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
    const int64_t now = Now();
    for (int i = 0; i < GRANT_COUNT; ++i) {
        GRANT_T& g = m_grants[i];
        if (g.address == address && g.uid == uid && g.gid == gid) {
            // A renewal never shortens a grant (the permanent one stays).
            if (g.expiry != GRANT_PERMANENT && g.expiry < now + GRANT_SECONDS) {
                g.expiry = now + GRANT_SECONDS;
            }
            return ERR_OK;
        }
    }
    for (int i = 0; i < GRANT_COUNT; ++i) {
        GRANT_T& g = m_grants[i];
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

long CResourceTCPServerTask::ConnRecv(int socket, uint8_t* p, size_t n) { return RecvAll(socket, p, n); }

bool CResourceTCPServerTask::ConnSend(int socket, const uint8_t* p, size_t n) { return SendAll(socket, p, n); }

USER_IDENT_T CResourceTCPServerTask::RequestIdentity(uint32_t clientAddress)
{
    CheckHostAuth(clientAddress);
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

uint32_t CResourceTCPServerTask::OpenSession(int socket, uint32_t clientAddress, uint8_t option)
{
    static const uint8_t kOpened[9] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1};
    if (!ConnSend(socket, kOpened, sizeof kOpened)) {
        return ERR_CANT_WRITE_SOCKET;
    }
    if (m_session) {
        // The connection is a session already: it stays with this task.
        return 1;
    }
    CResourceTCPServerTask* task = NewSessionTask();
    if (!task) {
        return ERR_NO_MEMORY;
    }
    char name[32];
    SessionName(name, sizeof name);
    task->SetTree(m_tree);
    task->SetMaxRequestSize(m_maxRequest);
    RESULT_T r = task->Init(name, 0, 0, TASK_FLAG_NO_HANDSHAKE);
    if (r == ERR_OK) {
        r = CSupervisor().AddTask(task, CLibContainer::INITED);
        if (r != ERR_OK) {
            delete task;
            return r;
        }
        const uint32_t arg[4] = {1, static_cast<uint32_t>(socket), SessionWord(clientAddress, option), 0};
        r = CSupervisor().Start(name, arg);
        if (r != ERR_OK) {
            CSupervisor().DeleteTask(task);
            return r;
        }
        return RES_SESSION_OPENED;
    }
    delete task;
    return r;
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
    long got = ConnRecv(socket, m_receive, RES_FRAME_HEADER_SIZE);
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
    if (n && ConnRecv(socket, payload, n) != static_cast<long>(n)) {
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

void CResourceTCPServerTask::ManageConnection(int listenSocket)
{
    for (;;) {
        set_user_id(2);
        set_group_id(4);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int c = accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            SysLogExt::PrintF(3, "ZYRK::CResourceTCPServerTask::ManageConnection[%p](): accept failed, errno=%d",
                              static_cast<void*>(this), errno);
            return;
        }
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SetStreamTimeout(c, m_idleTimeoutMs);
        if (ManageCommand(c, peer.sin_addr.s_addr) != RES_SESSION_OPENED) {
            close(c);
        }
    }
}

void CResourceTCPServerTask::taskbody(uint32_t* startArgument)
{
    const uint32_t mode = startArgument ? startArgument[0] : 0;
    if (mode == 1) {
        const int s = static_cast<int>(startArgument[1]);
        SetStreamTimeout(s, 0);
        {
            std::lock_guard<std::recursive_mutex> g(m_socketLock);
            m_session = true;
            m_socket = s;
        }
        uint32_t r;
        do {
            r = ManageCommand(s, startArgument[2]);
        } while (r == 1);
        {
            std::lock_guard<std::recursive_mutex> g(m_socketLock);
            m_socket = -1;
        }
        close(s);
        return;
    }
    uint32_t port = startArgument ? (startArgument[1] & 0xFFFF) : 0;
    if (port == 0) {
        port = DEFAULT_TCP_PORT;
    }
    for (uint32_t attempts = 0; attempts < 0x10000; ++attempts) {
        if (GetStateRequest() == UNLOADED) {
            return;
        }
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) {
            return;
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
