// The exchange routine of the protocol engine and the connection-level
// operations (sessions, version, authentication).
#include <halvex/client/resourceclientlib.h>
#include <halvex/client/res_cancel.h>
#include <halvex/client/res_engine_internal.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ZYRK {

CResourceClientLib::CResourceClientLib(const char* host, unsigned short port) : m_port(port) {
    std::memset(m_host, 0, sizeof m_host);
    if (host) std::strncpy(m_host, host, sizeof m_host - 1);
}

CResourceClientLib::~CResourceClientLib() = default;

int CResourceClientLib::FlushSock(ResCommType comm, const char* /*name*/) {
    if (!(comm.commType & 1)) return 0;
    // Drain whatever the peer has already sent, without waiting; the next
    // exchange then starts on a frame boundary. A peer that keeps sending is
    // not followed for ever: the drain stops after a bounded amount of bytes
    // and time.
    ResCommType drain = comm;
    drain.timeout = 0;
    SetSocketBlocking(0);
    unsigned char scratch[512];
    int dropped = 0;
    const int64_t end = Platform::DeadlineIn(RES_FLUSH_MAX_MS);
    while (dropped < RES_FLUSH_MAX_BYTES && Platform::MsUntil(end) > 0) {
        const int r = ResRecv(drain, scratch, int(sizeof scratch));
        if (r <= 0) break;
        dropped += r;
    }
    // Back to the mode the connection runs in: blocking, or non-blocking for
    // the timeout mode, so that a timeout still applies after a drain.
    SetSocketBlocking(comm.timeout == 0 ? 1 : 0);
    return 0;
}

int CResourceClientLib::ResFlushBuffers() { return 0; }

void CResourceClientLib::SetConnectTimeout(unsigned long milliseconds) {
    m_connectMs = (milliseconds == 0 || milliseconds > unsigned(RES_CONNECT_WAIT_MS)) ? RES_CONNECT_WAIT_MS
                                                                                     : int(milliseconds);
}

bool CResourceClientLib::ResolveHost(uint32_t* addrNet) const {
    in_addr a{};
    if (::inet_pton(AF_INET, m_host, &a) == 1) {
        *addrNet = a.s_addr;
        return true;
    }
    return (m_lookup ? m_lookup : res_lookup_ipv4)(m_host, addrNet);
}

int CResourceClientLib::WaitBudgetMs(const ResCommType& comm) const {
    if (comm.timeout == 0) return -1;
    if (m_inExchange) return Platform::MsUntil(m_deadline);
    return comm.timeout > 0x7FFFFFFFu ? 0x7FFFFFFF : int(comm.timeout);
}

int64_t CResourceClientLib::WaitDeadline(const ResCommType& comm) const {
    const int budget = WaitBudgetMs(comm);
    return budget < 0 ? 0 : Platform::MonotonicMs() + budget;
}

int CResourceClientLib::Fault(int result) {
    if (m_fault == 0) m_fault = result;
    return result;
}

// One exchange's deadline: with a timeout, every wait of the exchange
// (sends and receives alike) shares the same end.
class CResExchangeScope {
public:
    CResExchangeScope(CResourceClientLib& lib, const ResCommType& comm) : m_lib(lib) {
        m_lib.m_inExchange = comm.timeout != 0;
        m_lib.m_deadline = Platform::DeadlineIn(comm.timeout);
    }
    ~CResExchangeScope() { m_lib.m_inExchange = false; }
    CResExchangeScope(const CResExchangeScope&) = delete;
    CResExchangeScope& operator=(const CResExchangeScope&) = delete;

private:
    CResourceClientLib& m_lib;
};

namespace {

// Receives exactly `length` bytes. Returns the length, 0 when the peer closed
// the connection, or the transport's negative result.
int RecvAll(CResourceClientLib& lib, ResCommType comm, unsigned char* buffer, size_t length) {
    return int(Platform::MoveAll(length, [&](size_t at, size_t left) -> long {
        return lib.ResRecv(comm, buffer + at, int(left < 0x40000000u ? left : 0x40000000u));
    }));
}

}  // namespace

int CResourceClientLib::ResSendAndReceive(ResCommType comm, const RES_IDENT_T* ident, unsigned char* send,
                                          TRANSPARENT_FRAGMENT_T* fragments, unsigned long prefix,
                                          unsigned char* recv, unsigned char** grown, int payload,
                                          int capacity, int* received, const char* name,
                                          unsigned char expected, bool noReply, int embedded) {
    if (received) *received = 0;
    if (grown) *grown = nullptr;
    // Nothing more goes out once the caller has given up on the connection.
    if (m_cancel && m_cancel->IsCancelled()) return Fault(RES_ERR_INTERRUPTED);

    // 1. Identity extensions. The header counts them and the embedded
    //    requests in one byte: a request with more is refused, never sent
    //    with a count that wrapped.
    int extensions = embedded + (comm.version >= 5 ? 1 : 0) + (comm.version >= 6 ? 1 : 0);
    if (embedded < 0 || extensions > 255) return int(ERR_BAD_PARAMETER);
    int offset = RES_FRAME_HEADER_SIZE;
    if (comm.version >= 5) {
        uint16_t uid = ident ? res_ident_uid(*ident) : res_current_uid();
        offset += res_frame_put_user(send + offset, uid);
    }
    if (comm.version >= 6) {
        uint32_t addr = 0;
        if (ident) {
            addr = htonl(res_ident_address(*ident));
        } else {
            sockaddr_in local{};
            socklen_t len = sizeof local;
            errno = 0;
            if (local_getsockname(comm, reinterpret_cast<sockaddr*>(&local), &len) == -1)
                return res_socket_error(errno ? errno : ENOTCONN);
            addr = local.sin_addr.s_addr;
        }
        offset += res_frame_put_address(send + offset, addr);
    }
    const int header = GetHeaderSize(comm.version);

    // 2. Frame header.
    res_frame_build_header(send, extensions, uint32_t(payload + header - RES_FRAME_HEADER_SIZE));

    // From here on one deadline covers every send and receive.
    CResExchangeScope scope(*this, comm);

    // 3. Send, in as few pieces as the frame has.
    if (!fragments) {
        int r = ResSend(comm, send, header + payload);
        if (r < 0) return Fault(r);
    } else {
        int r = ResSend(comm, send, header + int(prefix));
        if (r < 0) return Fault(r);
        unsigned long sent = prefix;
        for (TRANSPARENT_FRAGMENT_T* f = fragments; f; f = res_fragment_next(f)) {
            unsigned long n = res_fragment_length(f);
            if (n) {
                r = ResSend(comm, res_fragment_data(f), int(n));
                if (r < 0) return Fault(r);
            }
            sent += n;
        }
        if (static_cast<unsigned long>(payload) > sent) {
            r = ResSend(comm, send + header + prefix, int(static_cast<unsigned long>(payload) - sent));
            if (r < 0) return Fault(r);
        }
    }

    // 4.
    if (noReply) return 0;

    // 5. Reply frame header.
    unsigned char head[RES_FRAME_HEADER_SIZE];
    int r = RecvAll(*this, comm, head, sizeof head);
    if (r < 0) return Fault(r);
    if (r == 0) return Fault(int(ERR_CANT_READ_SOCKET));
    uint32_t n = 0;
    if (!res_frame_parse_header(head, nullptr, &n)) {
        FlushSock(comm, name);
        return Fault(RES_ERR_BAD_HEADER);
    }

    // 6. Length.
    unsigned char* target = recv;
    if (n > uint32_t(capacity)) {
        if (!grown || n > RES_MAX_REPLY_SIZE) {
            FlushSock(comm, name);
            return Fault(RES_ERR_TOO_LONG);
        }
        target = static_cast<unsigned char*>(std::malloc(n));
        if (!target) {
            FlushSock(comm, name);
            return Fault(int(ERR_NO_MEMORY));
        }
        *grown = target;
    }

    // 7. Payload.
    r = RecvAll(*this, comm, target, n);
    if (r < 0) return Fault(r);
    if (r == 0 && n) return Fault(int(ERR_CANT_READ_SOCKET));
    if (received) *received = int(n);

    // 8. Reply code.
    if (n >= 1 && target[0] == expected) return 0;
    if (n >= 2 && target[0] == RES_ERROR_REPLY) return target[1];
    FlushSock(comm, name);
    return Fault(RES_ERR_PROTOCOL);
}

int CResourceClientLib::ResOpenSession(ResCommType comm, unsigned char* send, unsigned char* recv,
                                       int option) {
    unsigned char* p = send + GetHeaderSize(comm.version);
    p[0] = 0xC0;
    p[1] = uint8_t(option);
    int received = 0;
    return ResSendAndReceive(comm, nullptr, send, nullptr, 0, recv, nullptr, 2, RES_BUFFER_SIZE, &received,
                             "ResOpenSession", 0xC1, false, 0);
}

int CResourceClientLib::ResCloseSession(ResCommType comm, unsigned char* send, unsigned char* recv) {
    unsigned char* p = send + GetHeaderSize(comm.version);
    p[0] = 0xC2;
    int received = 0;
    return ResSendAndReceive(comm, nullptr, send, nullptr, 0, recv, nullptr, 1, RES_BUFFER_SIZE, &received,
                             "ResCloseSession", 0xC3, true, 0);
}

int CResourceClientLib::ResProtocolVersion(ResCommType comm, unsigned char* send, unsigned char* recv,
                                           unsigned char* version) {
    unsigned char* p = send + GetHeaderSize(comm.version);
    p[0] = 0xF0;
    int received = 0;
    int r = ResSendAndReceive(comm, nullptr, send, nullptr, 0, recv, nullptr, 1, RES_BUFFER_SIZE, &received,
                              "ResProtocolVersion", 0xF1, false, 0);
    if (r == 0) {
        if (received < 2) return RES_ERR_PROTOCOL;
        if (version) *version = recv[1];
    }
    return r;
}

int CResourceClientLib::ResSendAuth(ResCommType comm, unsigned char* send, unsigned char* recv,
                                    const char* user, const char* password) {
    if (!user) user = "";
    if (!password) password = "";
    size_t ul = std::strlen(user), pl = std::strlen(password);
    // Each text travels behind a single length byte.
    if (ul > 255 || pl > 255) return int(ERR_BAD_PARAMETER);
    const int header = GetHeaderSize(comm.version);
    unsigned char* p = send + header;
    size_t k = 0;
    p[k++] = 0xD0;
    p[k++] = uint8_t(ul);
    std::memcpy(p + k, user, ul);
    k += ul;
    p[k++] = uint8_t(pl);
    std::memcpy(p + k, password, pl);
    k += pl;
    int received = 0;
    return ResSendAndReceive(comm, nullptr, send, nullptr, 0, recv, nullptr, int(k), RES_BUFFER_SIZE,
                             &received, "ResSendAuth", 0xD1, false, 0);
}

}  // namespace ZYRK
