// The single operations of the protocol engine: request bytes and reply
// decoding. Every request is built in the caller's send buffer, or in a heap
// buffer of the exact size when it does not fit there, so nothing is ever
// written past the 2048 bytes.
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_request.h>
#include <halvex/resource/value_codec.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ZYRK {

int CResourceClientLib::Originator(ResCommType comm, const CResourceValue& value, uint8_t* out) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    errno = 0;
    if (local_getsockname(comm, reinterpret_cast<sockaddr*>(&local), &len) == -1)
        return res_socket_error(errno ? errno : ENOTCONN);
    ORIGINATOR_T origin{};
    value.GetOriginator(origin);
    // The socket-address fields are already in network order and are
    // converted once more, as every server of this protocol expects.
    res_encode_originator(origin, local.sin_addr.s_addr, local.sin_port, uint32_t(::syscall(SYS_gettid)), out);
    return 0;
}

namespace {

// Sends the request that `w` wrote into `req` and reads the reply into the
// caller's receive buffer; *received tells the reply's size.
int SendBuilt(CResourceClientLib& lib, ResCommType comm, const RES_IDENT_T* ident, const CResRequest& req,
              const CResWriter& w, unsigned char* recv, const char* name, unsigned char expected, int* received) {
    if (!w.Ok()) return int(ERR_BAD_PARAMETER);
    return lib.ResSendAndReceive(comm, ident, req.Buffer(), nullptr, 0, recv, nullptr, int(w.Size()), RES_BUFFER_SIZE,
                                 received, name, expected, false, 0);
}

// An error reply that carries a 32-bit internal result after its error byte.
int InternalCode(int result, const unsigned char* reply, int received, int longerThan) {
    if (result != 0 && received > longerThan && reply[0] == RES_ERROR_REPLY) return int(be_get32(reply + 2));
    return result;
}

}  // namespace

// ---- reading ---------------------------------------------------------------

int CResourceClientLib::ResReadData(ResCommType comm, unsigned char* send, unsigned char* recv,
                                    const RES_IDENT_T* ident, const char* path, CResourceValue& value) {
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_cstr_size(path) + 1)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x01).Cstr(path).U8(uint8_t(value.CopyType()));
    if (!w.Ok()) return int(ERR_BAD_PARAMETER);
    unsigned char* grown = nullptr;
    int n = 0;
    int r = ResSendAndReceive(comm, ident, req.Buffer(), nullptr, 0, recv, &grown, int(w.Size()), RES_BUFFER_SIZE,
                              &n, "ResReadData", 0x02, false, 0);
    const unsigned char* reply = grown ? grown : recv;
    if (r == 0 && n > 2) r = res_wire_body_read(value, reply[1], reply + 2, size_t(n - 2), comm.version);
    std::free(grown);
    return r;
}

int CResourceClientLib::ResReadAttributes(ResCommType comm, unsigned char* send, unsigned char* recv,
                                          const char* path, ResAttr& attr) {
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_cstr_size(path))) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x41).Cstr(path);
    int n = 0;
    int r = SendBuilt(*this, comm, nullptr, req, w, recv, "ResReadAttributes", 0x42, &n);
    if (r == 0) res_attr_decode(recv, size_t(n), attr);
    return r;
}

int CResourceClientLib::ResReadLimits(ResCommType comm, unsigned char* send, unsigned char* recv,
                                      const RES_IDENT_T* ident, const char* path, CResourceValue& value) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path))) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x45).Lstr(path);
    int n = 0;
    int r = SendBuilt(*this, comm, ident, req, w, recv, "ResReadLimits", 0x46, &n);
    if (r == 0) res_wire_limits_read(value, recv, size_t(n));
    return r;
}

int res_decode_attr_data_limits(const unsigned char* reply, size_t n, uint8_t version, ResAttr& attr,
                                CResourceValue& value) {
    size_t la, ld, ll, off;
    if (reply[0] == 0x0D) {
        if (n < 8) return RES_ERR_PROTOCOL;
        la = be_get16(reply + 2);
        ld = be_get16(reply + 4);
        ll = be_get16(reply + 6);
        off = 8;
    } else {
        if (n < 4) return RES_ERR_PROTOCOL;
        la = reply[1];
        ld = reply[2];
        ll = reply[3];
        off = 4;
    }
    if (off + la + ld + ll > n) return RES_ERR_PROTOCOL;
    const unsigned char* a = reply + off;
    const unsigned char* d = a + la;
    const unsigned char* l = d + ld;
    const unsigned char* tail = l + ll;
    const size_t tailLength = n - (off + la + ld + ll);
    res_attr_decode(a, la, attr);
    if (ld >= 2) {
        int r = res_wire_body_read(value, d[1], d + 2, ld - 2, version, tail, tailLength);
        if (r != 0) return r;
    }
    if (ll >= 2) res_wire_limits_read(value, l, ll);
    return 0;
}

int CResourceClientLib::ResReadAttrDataLimits(ResCommType comm, unsigned char* send, unsigned char* recv,
                                              const RES_IDENT_T* ident, const char* path, ResAttr& attr,
                                              CResourceValue& value) {
    const bool wide = comm.version > 2;
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_cstr_size(path) + 1)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(wide ? 0x0C : 0x0A).Cstr(path).U8(uint8_t(value.CopyType()));
    if (!w.Ok()) return int(ERR_BAD_PARAMETER);
    unsigned char* grown = nullptr;
    int n = 0;
    int r = ResSendAndReceive(comm, ident, req.Buffer(), nullptr, 0, recv, &grown, int(w.Size()), RES_BUFFER_SIZE,
                              &n, "ResReadAttrDataLimits", wide ? 0x0D : 0x0B, false, 0);
    const unsigned char* reply = grown ? grown : recv;
    if (r == 0) r = res_decode_attr_data_limits(reply, size_t(n), comm.version, attr, value);
    std::free(grown);
    return r;
}

int CResourceClientLib::ResVerify(ResCommType comm, unsigned char* send, unsigned char* recv,
                                  const RES_IDENT_T* ident, const char* path) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path))) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x47).Lstr(path);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResVerify", 0x48, nullptr);
}

int CResourceClientLib::ResIterate(ResCommType comm, unsigned char* send, unsigned char* recv,
                                   const RES_IDENT_T* ident, const char* path, unsigned char selector,
                                   char** name) {
    if (name) *name = nullptr;
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(2 + res_lstr_size(path))) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x53).U8(selector).Lstr(path);
    int n = 0;
    int r = SendBuilt(*this, comm, ident, req, w, recv, "ResIterate", 0x54, &n);
    if (r != 0) return r;
    if (n < 2) return RES_ERR_PROTOCOL;
    size_t len = recv[1];
    // The name ends at its terminator, its length byte or the reply, whichever
    // comes first.
    size_t avail = size_t(n) - 2;
    size_t k = 0;
    while (k < len && k < avail && recv[2 + k]) ++k;
    char* text = static_cast<char*>(std::malloc(len + 1));
    if (text) {
        std::memcpy(text, recv + 2, k);
        text[k] = 0;
    }
    if (name) *name = text;
    else std::free(text);
    return 0;
}

// ---- writing ---------------------------------------------------------------

int CResourceClientLib::ResWriteData(ResCommType comm, unsigned char* send, unsigned char* recv,
                                     const RES_IDENT_T* ident, const char* path, const CResourceValue& value,
                                     int wait, unsigned long timeout) {
    if (!res_wire_writable(value.Type())) return RES_ERR_PROTOCOL;
    const size_t body = res_wire_body_size(value);
    const bool data = res_wire_copies_data(value);
    const size_t head = 2 + res_cstr_size(path) + body;  // bytes before any transparent data
    const size_t after = wait ? 4 : 0;
    CResRequest req(send, comm.version);
    if (!req.Payload(head + after)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(wait ? 0x13 : 0x11).U8(uint8_t(value.Type())).Cstr(path);
    res_wire_body_write(value, w);
    if (wait) w.U32(uint32_t(timeout));
    if (!w.Ok()) return int(ERR_BAD_PARAMETER);
    TRANSPARENT_FRAGMENT_T* first = nullptr;
    unsigned long size = 0, revision = 0;
    if (data) value.GetTransparent(&first, size, revision);
    const size_t payload = w.Size() + (first ? value.GetSize() : 0);
    int n = 0;
    return ResSendAndReceive(comm, ident, req.Buffer(), first, first ? head : 0, recv, nullptr, int(payload),
                             RES_BUFFER_SIZE, &n, "ResWriteData", 0x12, false, 0);
}

int CResourceClientLib::ResWriteDataEx(ResCommType comm, unsigned char* send, unsigned char* recv,
                                       const RES_IDENT_T* ident, const char* path, const CResourceValue& value,
                                       int wait, unsigned long timeout) {
    uint8_t origin[10];
    int r = Originator(comm, value, origin);
    if (r != 0) return r;
    if (!res_wire_writable(value.Type())) return RES_ERR_PROTOCOL;
    const size_t pathLength = std::strlen(path ? path : "");
    if (pathLength + 1 > 255) return int(ERR_BAD_PARAMETER);  // one length byte
    const size_t body = res_wire_body_size(value);
    const bool data = res_wire_copies_data(value);
    const size_t head = 19 + pathLength + 1 + body;
    CResRequest req(send, comm.version);
    if (!req.Payload(head)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x14).U8(uint8_t(value.Type())).U8(19).U8(uint8_t(pathLength + 1)).U8(uint8_t(wait));
    w.U32(uint32_t(timeout)).Bytes(origin, 10).Cstr(path);
    res_wire_body_write(value, w);
    if (!w.Ok()) return int(ERR_BAD_PARAMETER);
    TRANSPARENT_FRAGMENT_T* first = nullptr;
    unsigned long size = 0, revision = 0;
    if (data) value.GetTransparent(&first, size, revision);
    const size_t payload = w.Size() + (first ? value.GetSize() : 0);
    int n = 0;
    r = ResSendAndReceive(comm, ident, req.Buffer(), first, first ? head : 0, recv, nullptr, int(payload),
                          RES_BUFFER_SIZE, &n, "ResWriteDataEx", 0x12, false, 0);
    return InternalCode(r, recv, n, 5);
}

// ---- structure -------------------------------------------------------------

namespace {

int CopyCreated(int r, const unsigned char* recv, int n, char** created) {
    if (r != 0) return r;
    if (n < 2) return RES_ERR_PROTOCOL;
    size_t k = 0;
    while (2 + k < size_t(n) && recv[2 + k]) ++k;
    char* text = static_cast<char*>(std::malloc(k + 1));
    if (!text) return int(ERR_NO_MEMORY);
    std::memcpy(text, recv + 2, k);
    text[k] = 0;
    if (created) *created = text;
    else std::free(text);
    return 0;
}

}  // namespace

int CResourceClientLib::ResCreateInstance(ResCommType comm, unsigned char* send, unsigned char* recv,
                                          const RES_IDENT_T* ident, const char* path, int wait,
                                          unsigned long timeout, char** created) {
    if (created) *created = nullptr;
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_cstr_size(path) + 4)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(wait ? 0x23 : 0x21).Cstr(path);
    if (wait) w.U32(uint32_t(timeout));
    int n = 0;
    int r = SendBuilt(*this, comm, ident, req, w, recv, "ResCreateInstance", 0x22, &n);
    return CopyCreated(r, recv, n, created);
}

int CResourceClientLib::ResCreateNamedInstance(ResCommType comm, unsigned char* send, unsigned char* recv,
                                               const RES_IDENT_T* ident, const char* path, const char* name,
                                               int wait, unsigned long timeout, char** created) {
    if (created) *created = nullptr;
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_cstr_size(path) + res_cstr_size(name) + 4)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(wait ? 0x25 : 0x24).Cstr(path).Cstr(name);
    if (wait) w.U32(uint32_t(timeout));
    int n = 0;
    int r = SendBuilt(*this, comm, ident, req, w, recv, "ResCreateNamedInstance", 0x22, &n);
    return CopyCreated(r, recv, n, created);
}

int CResourceClientLib::ResDeleteInstance(ResCommType comm, unsigned char* send, unsigned char* recv,
                                          const RES_IDENT_T* ident, const char* path, int wait,
                                          unsigned long timeout) {
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_cstr_size(path) + 4)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(wait ? 0x33 : 0x31).Cstr(path);
    if (wait) w.U32(uint32_t(timeout));
    return SendBuilt(*this, comm, ident, req, w, recv, "ResDeleteInstance", 0x32, nullptr);
}

int CResourceClientLib::ResRenameResource(ResCommType comm, unsigned char* send, unsigned char* recv,
                                          const RES_IDENT_T* ident, const char* path, const char* newName,
                                          char type, int wait, unsigned long timeout) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(2 + res_lstr_size(path) + res_cstr_size(newName) + 4)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(wait ? 0x93 : 0x91).U8(uint8_t(type)).Lstr(path).Cstr(newName);
    if (wait) w.U32(uint32_t(timeout));
    return SendBuilt(*this, comm, ident, req, w, recv, "ResRenameResource", 0x92, nullptr);
}

int CResourceClientLib::ResSetAttributes(ResCommType comm, unsigned char* send, unsigned char* recv,
                                         const RES_IDENT_T* ident, const char* path, const ResAttr& attr,
                                         int recursive, int op) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path) + 15)) return int(ERR_NO_MEMORY);
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&attr);
    CResWriter w = req.Writer();
    w.U8(0x43).Lstr(path).Bytes(a + 1, 7).U8(uint8_t(recursive)).Bytes(a + 16, 6).U8(uint8_t(op));
    return SendBuilt(*this, comm, ident, req, w, recv, "ResSetAttributes", 0x44, nullptr);
}

// ---- persistence -----------------------------------------------------------

int CResourceClientLib::ResDump(ResCommType comm, unsigned char* send, unsigned char* recv,
                                const RES_IDENT_T* ident, const char* path, const char* file, int pathType,
                                const char* hash, const char* info, int persistence, int defaults,
                                int gidFilter, unsigned long option) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    if (!hash) hash = "";
    if (!info) info = "";
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path) + res_cstr_size(file) + res_cstr_size(hash) + res_cstr_size(info) + 8))
        return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x61).Lstr(path).Cstr(file).Cstr(hash).Cstr(info);
    w.U8(uint8_t(pathType)).U8(uint8_t(persistence)).U8(uint8_t(defaults)).U8(uint8_t(gidFilter));
    w.U32LE(uint32_t(option));  // in the sender's byte order
    return SendBuilt(*this, comm, ident, req, w, recv, "ResDump", 0x62, nullptr);
}

int CResourceClientLib::ResReload(ResCommType comm, unsigned char* send, unsigned char* recv,
                                  const RES_IDENT_T* ident, const char* path, const char* file,
                                  unsigned char hashType, const char* info, unsigned char infoType) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    if (!info) info = "";
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path) + res_cstr_size(file) + 2 + res_cstr_size(info)))
        return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0x71).Lstr(path).Cstr(file).U8(hashType).U8(infoType).Cstr(info);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResReload", 0x72, nullptr);
}

// ---- subscriptions ---------------------------------------------------------

uint8_t res_reply_kind_byte(int replyKind) {
    switch (replyKind) {
        case 0: return 1;
        case 8: return 2;
        default: return 0;
    }
}

int CResourceClientLib::ResAddSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                         const RES_IDENT_T* ident, const char* path, unsigned char flavour,
                                         uint32_t id, unsigned char kind, uint32_t destination, uint32_t param5,
                                         int replyKind, uint32_t replyDestination, uint32_t param8) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(17 + res_lstr_size(path) + 12)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xA0).U32(id).U8(0).U8(res_reply_kind_byte(replyKind)).U8(flavour).U8(kind).U32(destination);
    w.U32(replyDestination).Lstr(path).U32(param5).U32(param8).U32(0);
    int n = 0;
    int r = SendBuilt(*this, comm, ident, req, w, recv, "ResAddSubscriber", 0xA1, &n);
    return InternalCode(r, recv, n, 5);
}

int CResourceClientLib::ResAddUDPSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                            const RES_IDENT_T* ident, const char* path, unsigned char flavour,
                                            unsigned char kind, uint32_t id, uint16_t port, uint32_t param8) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(9 + res_lstr_size(path) + 4)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xA0).U32(id).U16(port).U8(flavour).U8(kind).Lstr(path).U32(param8);
    int n = 0;
    int r = SendBuilt(*this, comm, ident, req, w, recv, "ResAddUDPSubscriber", 0xA1, &n);
    return InternalCode(r, recv, n, 5);
}

int CResourceClientLib::ResRemoveSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                            const RES_IDENT_T* ident, const char* path, unsigned char flavour,
                                            uint32_t id, unsigned char kind, uint32_t destination) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(13 + res_lstr_size(path) + 4)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xA2).U32(id).U16(0).U8(flavour).U8(kind).U32(destination).Lstr(path).U32(0);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResRemoveSubscriber", 0xA3, nullptr);
}

int CResourceClientLib::ResRemoveUDPSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                               const RES_IDENT_T* ident, const char* path, unsigned char flavour,
                                               uint32_t id, uint16_t port) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(9 + res_lstr_size(path))) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xA2).U32(id).U16(port).U8(flavour).U8(0).Lstr(path);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResRemoveUDPSubscriber", 0xA3, nullptr);
}

int CResourceClientLib::ResAddTreeSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                             const RES_IDENT_T* ident, uint32_t mask, unsigned char kind,
                                             unsigned char flavour, uint32_t destination, uint16_t port,
                                             uint32_t param) {
    CResRequest req(send, comm.version);
    if (!req.Payload(20)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xA4).U8(kind);
    if (kind != 0) w.U32(destination);
    else w.U16(port).U16(0);
    w.U8(flavour).U32(mask).U32(param).Zeros(5);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResAddTreeSubscriber", 0xA5, nullptr);
}

int CResourceClientLib::ResRemoveTreeSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                                const RES_IDENT_T* ident, uint32_t mask, unsigned char kind,
                                                unsigned char flavour, uint32_t destination, uint16_t port) {
    CResRequest req(send, comm.version);
    if (!req.Payload(16)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xA6).U8(kind);
    if (kind != 0) w.U32(destination);
    else w.U16(port).U16(0);
    w.U8(flavour).U32(mask).Zeros(5);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResRemoveTreeSubscriber", 0xA7, nullptr);
}

// ---- mounting and maintenance ---------------------------------------------

int CResourceClientLib::ResMountSubtree(ResCommType comm, unsigned char* send, unsigned char* recv,
                                        const RES_IDENT_T* ident, const char* path, const char* name,
                                        uint16_t port) {
    if (!res_lstr_ok(path) || !res_lstr_ok(name)) return int(ERR_BAD_PARAMETER);
    char address[INET_ADDRSTRLEN] = "127.0.0.1";
    if (comm.commType & 1) {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        errno = 0;
        if (local_getsockname(comm, reinterpret_cast<sockaddr*>(&local), &len) == -1)
            return res_socket_error(errno ? errno : ENOTCONN);
        ::inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    }
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path) + res_lstr_size(name) + res_lstr_size(address) + 3))
        return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xE0).Lstr(path).Lstr(name).Lstr(address).U16(port).U8(0);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResMountSubtree", 0xE1, nullptr);
}

int CResourceClientLib::ResUnmountSubtree(ResCommType comm, unsigned char* send, unsigned char* recv,
                                          const RES_IDENT_T* ident, const char* path) {
    if (!res_lstr_ok(path)) return int(ERR_BAD_PARAMETER);
    CResRequest req(send, comm.version);
    if (!req.Payload(1 + res_lstr_size(path) + 1)) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xE2).Lstr(path).U8(0);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResUnmountSubtree", 0xE3, nullptr);
}

int CResourceClientLib::ResSendDebugCommand(ResCommType comm, unsigned char* send, unsigned char* recv,
                                            const RES_IDENT_T* ident, const char* path, unsigned char command) {
    CResRequest req(send, comm.version);
    if (!req.Payload(2 + res_cstr_size(path))) return int(ERR_NO_MEMORY);
    CResWriter w = req.Writer();
    w.U8(0xFA).U8(command).Cstr(path);
    return SendBuilt(*this, comm, ident, req, w, recv, "ResSendDebugCommand", 0xFB, nullptr);
}

}  // namespace ZYRK
