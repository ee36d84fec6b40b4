// Notification datagrams of UDP subscriptions: a short form (value type at
// offset 4, identifier at 8, value from 12) and an extended form (value type
// at 12, identifier at 20, value from 24).
#include <halvex/client/res_engine_internal.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <vector>


namespace ZYRK {

unsigned long res_decode_notify(const uint8_t* d, size_t length, uint32_t senderAddress, uint16_t senderPort,
                                unsigned long* id, CResourceValue& value) {
    if (length < 12) return ERR_BAD_DATA;
    uint32_t type;
    size_t body;
    if (be_get32(d + 4) <= 4096) {
        type = be_get32(d + 4);
        if (id) *id = be_get32(d + 8);
        body = 12;
    } else {
        if (length < 24) return ERR_BAD_DATA;
        type = be_get32(d + 12);
        if (id) *id = be_get32(d + 20);
        body = 24;
    }
    ORIGINATOR_T origin{senderAddress, senderPort, uint32_t(::syscall(SYS_gettid))};
    value.SetOriginator(origin);

    const uint8_t* p = d + body;
    const size_t n = length - body;
    switch (type) {
        case 1:
            if (n < 4) return ERR_BAD_DATA;
            value.SetType(VALUE_TYPE_BOOL);
            value.Set(be_get32(p) != 0);
            break;
        case 2:
            if (n < 4) return ERR_BAD_DATA;
            value.SetType(VALUE_TYPE_INT32);
            value.Set(int(be_get32(p)));
            break;
        case 3:
            if (n < 8) return ERR_BAD_DATA;
            res_wire_body_read(value, 3, p, n, 0);
            break;
        case 4:
        case 7: {
            // A text without its terminator ends with the datagram.
            std::vector<uint8_t> text(p, p + n);
            text.push_back(0);
            text.push_back(0);
            if (type == 7 && (n & 1)) text.push_back(0);
            res_wire_body_read(value, uint8_t(type), text.data(), text.size(), 0);
            break;
        }
        default: break;
    }
    value.SetOriginator(origin);
    return 0;
}

}  // namespace ZYRK
