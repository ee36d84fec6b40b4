// The resource server over FMP sockets: the listening task serves one request
// per connection, a session request hands the connection to an
// "fmpserver_%d" task. Requests count as local.
#include <halvex/server/resource_server.h>

#include <halvex/client/fmp_socket.h>
#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>

#include "halvex/platform/stream_io_internal.h"
#include "halvex/server/request_internal.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <new>

namespace ZYRK {

std::atomic<int> CResourceFMPServerTask::mulForkCounter{0};

CResourceFMPServerTask::CResourceFMPServerTask() = default;

CResourceFMPServerTask::~CResourceFMPServerTask() = default;

CResourceFMPServerTask* CResourceFMPServerTask::NewSessionTask() { return new (std::nothrow) CResourceFMPServerTask; }

void CResourceFMPServerTask::SessionName(char* name, size_t size)
{
    std::snprintf(name, size, "fmpserver_%d", ++mulForkCounter);
}

long CResourceFMPServerTask::ConnRecv(int socket, uint8_t* p, size_t n, int64_t)
{
    return Platform::MoveAll(n, [&](size_t at, size_t left) -> long {
        const int r = fmp_recv(socket, p + at, static_cast<int>(std::min<size_t>(left, 0x7FFFFFFF)), 0);
        return r < 0 ? -1 : r;
    });
}

bool CResourceFMPServerTask::ConnSend(int socket, const uint8_t* p, size_t n)
{
    return Platform::MoveAll(n, [&](size_t at, size_t left) -> long {
        const int chunk = static_cast<int>(std::min<size_t>(left, 0x10000));
        // A chunk that went out only in part is a failure.
        return fmp_send(socket, p + at, chunk) == chunk ? chunk : -1;
    }) == static_cast<long>(n);
}

void CResourceFMPServerTask::ConnClose(int socket) { fmp_close(socket); }

// Local sockets have no receive deadline: sessions stay until closed.
int64_t CResourceFMPServerTask::RequestDeadline(bool) { return 0; }

void CResourceFMPServerTask::DrainBeforeRefusal(int) {}

USER_IDENT_T CResourceFMPServerTask::RequestIdentity(uint32_t)
{
    m_authenticated = true;
    // Kept in network order like every other address of the server.
    return {get_user_id(), Server::LoopbackAddress()};
}

bool CResourceFMPServerTask::TrustsIdentityExtensions(uint32_t) { return true; }

uint32_t CResourceFMPServerTask::HandleAuth(const uint8_t* p, uint32_t n, uint32_t, const USER_IDENT_T& ident)
{
    // Host authentication belongs to TCP; here 0xD0 is an unknown operation.
    return ProcessData(p, n, ident);
}

void CResourceFMPServerTask::WakeListener()
{
    uint16_t port = 0;
    {
        std::lock_guard<std::recursive_mutex> g(m_socketLock);
        if (m_socket > 0 && !m_session) {
            port = m_port;
        }
    }
    if (port) {
        // An accept cannot be interrupted: a connection of our own wakes it
        // and the body sees that it has to end.
        int c = fmp_socket();
        if (c > 0) {
            fmp_connect(c, port);
            fmp_close(c);
        }
    }
}

void CResourceFMPServerTask::taskbody(uint32_t* startArgument)
{
    const uint32_t mode = startArgument ? startArgument[0] : 0;
    if (mode != MODE_LISTEN) {
        ServeConnection(static_cast<int>(startArgument[1]), Server::LoopbackAddress(), mode == MODE_SESSION);
        return;
    }
    uint32_t port = startArgument ? (startArgument[1] & 0xFFFF) : 0;
    if (port == 0) {
        port = DEFAULT_FMP_PORT;
    }
    while (!m_stopping && GetStateRequest() != UNLOADED) {
        int s = fmp_socket();
        if (s <= 0) {
            return;
        }
        if (fmp_bind(s, static_cast<unsigned short>(port)) != 0) {
            fmp_close(s);
            if (port >= 0xFFFF) {
                return;  // after 65535 comes 0: no port left
            }
            ++port;
            continue;
        }
        if (fmp_listen(s, 10) != 0) {
            fmp_close(s);
            return;
        }
        SetListening(s, static_cast<uint16_t>(port));
        // Only accepting here: each connection is served by a task of its own.
        bool restart = false;
        while (!m_stopping) {
            int c = fmp_accept(s, nullptr, nullptr);
            if (c <= 0) {
                restart = true;  // listening starts over on the same port
                break;
            }
            if (m_stopping) {
                fmp_close(c);
                break;
            }
            StartConnection(c, Server::LoopbackAddress());
        }
        SetListening(-1, 0);
        fmp_close(s);
        if (!restart) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace ZYRK
