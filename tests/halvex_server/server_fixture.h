// Helpers of the resource server tests: a request builder, a camera-like
// tree, and raw frames over loopback TCP.
#pragma once

#include <halvex/bigendian.h>
#include <halvex/client/res_protocol.h>
#include <halvex/resource/resource_value.h>
#include <halvex/server/resource_server.h>
#include <halvex/server/server_tree.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace srvtest {

using Bytes = std::vector<uint8_t>;

class Req {
public:
    Req& u8(uint8_t v) { b.push_back(v); return *this; }
    Req& be16(uint16_t v) { ZYRK::CBigEndianWriter(b).U16(v); return *this; }
    Req& be32(uint32_t v) { ZYRK::CBigEndianWriter(b).U32(v); return *this; }
    Req& cstr(const char* s) { b.insert(b.end(), s, s + std::strlen(s) + 1); return *this; }
    Req& lstr(const char* s)
    {
        b.push_back(uint8_t(std::strlen(s)));
        b.insert(b.end(), s, s + std::strlen(s));
        return *this;
    }
    Req& raw(const Bytes& v) { b.insert(b.end(), v.begin(), v.end()); return *this; }
    Bytes b;
};

inline ZYRK::USER_IDENT_T LocalRoot() { return {0, htonl(0x7F000001)}; }
inline ZYRK::USER_IDENT_T Remote(uint16_t uid) { return {uid, htonl(0x0A010203)}; }

// .net.LAN (struct) with address (ascii), mtu (int32 100..9000), dhcp (bool);
// .secret (int owned by user 9, owner rights only); .wo (int, not readable);
// .blob (transparent); .list with a template instance; .empty (struct).
inline void BuildTree(ZYRK::CServerResourceTree& t)
{
    using namespace ZYRK;
    t.AddNode(".net", RES_TYPE_STRUCT);
    t.AddNode(".net.LAN", RES_TYPE_STRUCT);
    t.AddValue(".net.LAN.address", CResourceValue("192.168.0.2"));
    t.AddValue(".net.LAN.mtu", CResourceValue(1500, 100, 9000));
    t.AddValue(".net.LAN.dhcp", CResourceValue(false));
    SERVER_NODE_OPTIONS_T owner;
    owner.attr = RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET;
    owner.ownerUid = 9;
    owner.ownerGid = 9;
    t.AddValue(".secret", CResourceValue(42), owner);
    SERVER_NODE_OPTIONS_T wo;
    wo.caps = SRV_CAN_SET;
    t.AddValue(".wo", CResourceValue(1), wo);
    char data[5] = {1, 2, 3, 4, 5};
    t.AddValue(".blob", CResourceValue(data, 5, COPY_TYPE_COPY));
    t.AddNode(".list", RES_TYPE_STRUCT);
    SERVER_NODE_OPTIONS_T tmpl;
    tmpl.isTemplate = true;
    t.AddNode(".list.tmpl", RES_TYPE_STRUCT, tmpl);
    t.AddValue(".list.tmpl.x", CResourceValue(7));
    t.AddNode(".empty", RES_TYPE_STRUCT);
}

// Runs one payload through the handlers; the reply bytes.
inline Bytes Run(ZYRK::CResourceServerTask& task, const Bytes& payload, const ZYRK::USER_IDENT_T& id,
                 uint32_t* result = nullptr)
{
    task.Reply().Flush();
    uint32_t r = task.ProcessData(payload.data(), uint32_t(payload.size()), id);
    if (result) *result = r;
    Bytes out = task.Reply().Bytes();
    task.Reply().Flush();
    return out;
}

// --- Loopback TCP ------------------------------------------------------------

inline int Connect(uint16_t port, uint32_t from = 0x7F000001)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (from != 0x7F000001) {
        sockaddr_in b{};
        b.sin_family = AF_INET;
        b.sin_addr.s_addr = htonl(from);
        if (bind(s, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
            close(s);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

inline bool SendBytes(int s, const Bytes& b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t r = send(s, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (r <= 0) return false;
        off += size_t(r);
    }
    return true;
}

inline Bytes Frame(const Bytes& payload, uint8_t extensions = 0)
{
    Bytes f(8);
    ZYRK::res_frame_build_header(f.data(), extensions, uint32_t(payload.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// Exactly n bytes, or fewer when the peer closed (or 10 s passed).
inline Bytes RecvN(int s, size_t n)
{
    Bytes b(n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(s, b.data() + got, n - got, 0);
        if (r <= 0) break;
        got += size_t(r);
    }
    b.resize(got);
    return b;
}

// One reply frame: its payload; empty when the connection closed instead.
inline Bytes RecvFrame(int s, Bytes* header = nullptr)
{
    Bytes h = RecvN(s, 8);
    if (header) *header = h;
    if (h.size() != 8 || h[0] != 0xFE) return {};
    return RecvN(s, ZYRK::be_get32(h.data() + 4));
}

// True when the peer closed the connection (a read returns 0, or a reset
// when the peer closed with unread bytes).
inline bool PeerClosed(int s)
{
    uint8_t c;
    ssize_t r = recv(s, &c, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
}

}  // namespace srvtest
