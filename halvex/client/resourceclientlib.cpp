// The exchange routine of the protocol engine and the connection-level
// operations (sessions, version, authentication).
#include <halvex/client/resourceclientlib.h>
#include <halvex/client/res_engine_internal.h>

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
    // Drain whatever the peer has already sent, one byte at a time, without
    // waiting; the next exchange then starts on a frame boundary.
    ResCommType drain = comm;
    drain.timeout = 0;
    SetSocketBlocking(0);
    unsigned char byte;
    while (ResRecv(drain, &byte, 1) == 1) {
    }
    // Back to the mode the connection runs in: blocking, or non-blocking for
    // the timeout mode, so that a timeout still applies after a drain.
    SetSocketBlocking(comm.timeout == 0 ? 1 : 0);
    return 0;
}

int CResourceClientLib::ResFlushBuffers() { return 0; }

namespace {

// Receives exactly `length` bytes. Returns the length, 0 when the peer closed
// the connection, or the transport's negative result.
int RecvAll(CResourceClientLib& lib, ResCommType comm, unsigned char* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        size_t chunk = length - got;
        if (chunk > 0x40000000u) chunk = 0x40000000u;
        int r = lib.ResRecv(comm, buffer + got, int(chunk));
        if (r < 0) return r;
        if (r == 0) return 0;
        got += size_t(r);
    }
    return int(length);
}

}  // namespace

int CResourceClientLib::ResSendAndReceive(ResCommType comm, const RES_IDENT_T* ident, unsigned char* send,
                                          TRANSPARENT_FRAGMENT_T* fragments, unsigned long prefix,
                                          unsigned char* recv, unsigned char** grown, int payload,
                                          int capacity, int* received, const char* name,
                                          unsigned char expected, bool noReply, int embedded) {
    if (received) *received = 0;
    if (grown) *grown = nullptr;

    // 1. Identity extensions.
    int extensions = embedded;
    int offset = RES_FRAME_HEADER_SIZE;
    if (comm.version >= 5) {
        uint16_t uid = ident ? res_ident_uid(*ident) : res_current_uid();
        offset += res_frame_put_user(send + offset, uid);
        ++extensions;
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
        ++extensions;
    }
    const int header = GetHeaderSize(comm.version);

    // 2. Frame header.
    res_frame_build_header(send, extensions, uint32_t(payload + header - RES_FRAME_HEADER_SIZE));

    // 3. Send, in as few pieces as the frame has.
    if (!fragments) {
        int r = ResSend(comm, send, header + payload);
        if (r < 0) return r;
    } else {
        int r = ResSend(comm, send, header + int(prefix));
        if (r < 0) return r;
        unsigned long sent = prefix;
        for (TRANSPARENT_FRAGMENT_T* f = fragments; f; f = res_fragment_next(f)) {
            unsigned long n = res_fragment_length(f);
            if (n) {
                r = ResSend(comm, res_fragment_data(f), int(n));
                if (r < 0) return r;
            }
            sent += n;
        }
        if (static_cast<unsigned long>(payload) > sent) {
            r = ResSend(comm, send + header + prefix, int(static_cast<unsigned long>(payload) - sent));
            if (r < 0) return r;
        }
    }

    // 4.
    if (noReply) return 0;

    // 5. Reply frame header.
    unsigned char head[RES_FRAME_HEADER_SIZE];
    int r = RecvAll(*this, comm, head, sizeof head);
    if (r < 0) return r;
    if (r == 0) return int(ERR_CANT_READ_SOCKET);
    uint32_t n = 0;
    if (!res_frame_parse_header(head, nullptr, &n)) {
        FlushSock(comm, name);
        return RES_ERR_BAD_HEADER;
    }

    // 6. Length.
    unsigned char* target = recv;
    if (n > uint32_t(capacity)) {
        if (!grown || n > RES_MAX_REPLY_SIZE) {
            FlushSock(comm, name);
            return RES_ERR_TOO_LONG;
        }
        target = static_cast<unsigned char*>(std::malloc(n));
        if (!target) {
            FlushSock(comm, name);
            return int(ERR_NO_MEMORY);
        }
        *grown = target;
    }

    // 7. Payload.
    r = RecvAll(*this, comm, target, n);
    if (r < 0) return r;
    if (r == 0 && n) return int(ERR_CANT_READ_SOCKET);
    if (received) *received = int(n);

    // 8. Reply code.
    if (n >= 1 && target[0] == expected) return 0;
    if (n >= 2 && target[0] == RES_ERROR_REPLY) return target[1];
    FlushSock(comm, name);
    return RES_ERR_PROTOCOL;
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
