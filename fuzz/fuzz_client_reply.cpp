// The client's reply decoding: arbitrary bytes from a peer through
//  - the frame header parser, the embedded-reply walker, the attribute block
//    decoder and the notification datagram decoder (pure functions), and
//  - the engine's operations, whose replies come from an in-memory transport
//    that hands out the input as the peer's byte stream.
//
// Input layout: byte 0 picks the operation, byte 1 the protocol version
// (0..12), the rest is what the peer "sends" (for the pure decoders: the
// whole input after the two bytes).
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_protocol.h>
#include <halvex/client/resourceclientlib.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/resource_value.h>

#include <netinet/in.h>

#include <cstdint>
#include <initializer_list>
#include <cstdlib>
#include <cstring>

using namespace ZYRK;

namespace {

// A connection whose peer has sent exactly the given bytes and then closed.
class MemoryTransport : public CResourceClientLib {
public:
    MemoryTransport(const uint8_t* data, size_t size) : CResourceClientLib("127.0.0.1", 22136), m_data(data), m_size(size) {}

    int SetSocketBlocking(int) override { return 0; }
    int ResSend(ResCommType, const void*, int length) override { return length; }
    int ResRecv(ResCommType, void* buffer, int capacity) override
    {
        if (capacity <= 0) return 0;
        size_t n = m_size - m_pos;
        if (n > size_t(capacity)) n = size_t(capacity);
        // Short pieces so that callers that loop over partial reads are exercised.
        if (n > 977) n = 977;
        std::memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        return int(n);
    }
    int Open() override { return 0; }
    int Close() override { return 0; }
    unsigned int TmpGetSocket() override { return 0; }
    int local_getsockname(ResCommType, sockaddr* address, socklen_t* length) override
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(40000);
        if (*length >= socklen_t(sizeof a)) std::memcpy(address, &a, sizeof a);
        *length = sizeof a;
        return 0;
    }
    int ResSetTimeout(unsigned long) override { return 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

void PureDecoders(const uint8_t* d, size_t n)
{
    if (n >= RES_FRAME_HEADER_SIZE) {
        int ext = 0;
        uint32_t len = 0;
        res_frame_parse_header(d, &ext, &len);
    }
    for (uint8_t tag : {RES_EXT_REPLY, RES_EXT_REQUEST}) {
        CResEmbeddedWalker walker(d, n, tag);
        const uint8_t* item = nullptr;
        uint32_t length = 0;
        size_t guard = 0;
        while (walker.Next(&item, &length) && ++guard <= n + 1) {
            if (length > n || item < d || item + length > d + n) std::abort();
            ResAttr attr;
            res_attr_decode(item, length, attr);
            (void)res_attr_to_word(attr);
        }
    }
    ResAttr attr;
    res_attr_decode(d, n, attr);
    uint8_t block[RES_ATTR_BLOCK_SIZE];
    res_attr_encode(attr, block);

    CResourceValue value;
    unsigned long id = 0;
    res_decode_notify(d, n, 0x7F000001, 4000, &id, value);
    if (n >= 1) {
        CResourceValue body;
        res_wire_body_read(body, d[0], d + 1, n - 1, 12);
        CResourceValue limits;
        res_wire_limits_read(limits, d, n);
    }
}

void Operation(uint8_t op, uint8_t version, const uint8_t* d, size_t n)
{
    MemoryTransport lib(d, n);
    ResCommType comm{RES_COMM_TCP, 0, version};
    static unsigned char send[RES_BUFFER_SIZE];
    static unsigned char recv[RES_BUFFER_SIZE];
    const RES_IDENT_T* ident = nullptr;
    CResourceValue value;
    ResAttr attr;
    switch (op % 14) {
        case 0: {
            unsigned char v = 0;
            lib.ResProtocolVersion(comm, send, recv, &v);
            break;
        }
        case 1: lib.ResOpenSession(comm, send, recv, 1); break;
        case 2: lib.ResReadData(comm, send, recv, ident, ".net.LAN.address", value); break;
        case 3: lib.ResReadAttributes(comm, send, recv, ".net.LAN", attr); break;
        case 4: lib.ResReadLimits(comm, send, recv, ident, ".net.LAN.mtu", value); break;
        case 5: lib.ResReadAttrDataLimits(comm, send, recv, ident, ".net.LAN.mtu", attr, value); break;
        case 6: lib.ResVerify(comm, send, recv, ident, ".net"); break;
        case 7: {
            char* name = nullptr;
            lib.ResIterate(comm, send, recv, ident, ".net", 0, &name);
            std::free(name);
            break;
        }
        case 8: {
            CResourceValue v(int(1500));
            lib.ResWriteData(comm, send, recv, ident, ".net.LAN.mtu", v, 1, 1000);
            break;
        }
        case 9: {
            CResourceValue v("10.0.0.2");
            lib.ResWriteDataEx(comm, send, recv, ident, ".net.LAN.address", v, 0, 0);
            break;
        }
        case 10: {
            char* created = nullptr;
            lib.ResCreateInstance(comm, send, recv, ident, ".list.tmpl", 1, 1000, &created);
            std::free(created);
            break;
        }
        case 11: {
            char* created = nullptr;
            lib.ResCreateNamedInstance(comm, send, recv, ident, ".list.tmpl", "a", 0, 0, &created);
            std::free(created);
            break;
        }
        case 12: {
            CResourceValueSet paths, results;
            paths.AddVal(CResourceValue(".net"));
            paths.AddVal(CResourceValue(".net.LAN"));
            paths.AddVal(CResourceValue(".blob"));
            lib.ResVerifyMulti(comm, send, recv, ident, paths, results);
            break;
        }
        case 13:
            lib.ResAddUDPSubscriber(comm, send, recv, ident, ".net.LAN.address", 0, 1, 7, 4000, 0);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 65536) return 0;
    PureDecoders(data + 2, size - 2);
    Operation(data[0], uint8_t(data[1] % 13), data + 2, size - 2);
    return 0;
}
