// Request frames of the resource server, whatever the transport: the 8-byte
// header (0xFE, extension count, payload length), the payload read with the
// transport's deadlines, the extensions (user, address, embedded requests),
// the one operation that follows them, and the reply frame sent back in the
// reply buffer's pieces. Sessions are opened and closed here, the operations
// themselves run through ProcessData.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>

#include <cstring>
#include <memory>
#include <new>

namespace ZYRK {

uint32_t CResourceConnectionTask::ManageCommand(int socket, uint32_t clientAddress)
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
    int64_t deadline = RequestDeadline(session);
    long got = ConnRecv(socket, m_receive, 1, deadline);
    if (got <= 0) {
        return got == 0 ? 0 : ERR_CANT_READ_SOCKET;
    }
    if (session) {
        deadline = RequestDeadline(false);
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
                ident.uid = be_get16(payload + pos + 2);
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
            const uint32_t d = be_get32(payload + pos + 2);
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
            be_put32(ext + 2, r);
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
            return OpenSession(socket);
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
