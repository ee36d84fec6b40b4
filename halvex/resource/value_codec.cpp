#include <halvex/resource/value_codec.h>

#include <halvex/platform/errcodes.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

namespace {

void PutBE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBE32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void PutDouble(uint8_t* p, double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
}

uint16_t GetBE16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t GetBE32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

double GetDoubleBE(const uint8_t* p)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits = (bits << 8) | p[i];
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Length of the 0-terminated text at p within len bytes, or -1 without a 0.
long TextLen(const uint8_t* p, size_t len)
{
    const void* z = std::memchr(p, 0, len);
    return z ? static_cast<const uint8_t*>(z) - p : -1;
}

// Code units (little-endian) of the 0-unit-terminated UTF-16 text at p;
// false without a terminating unit inside len.
bool ReadUnits(const uint8_t* p, size_t len, std::vector<char16_t>& units, size_t* consumed)
{
    units.clear();
    for (size_t off = 0; off + 1 < len; off += 2) {
        char16_t u = static_cast<char16_t>(p[off] | (p[off + 1] << 8));
        units.push_back(u);
        if (u == 0) {
            if (consumed) {
                *consumed = off + 2;
            }
            return true;
        }
    }
    return false;
}

void PutUnits(uint8_t* out, const char16_t* units, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<uint8_t>(units[i]);
        out[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
}

bool ValidType(uint8_t t)
{
    return t >= 1 && t <= 9;
}

int Result(unsigned long r)
{
    return r == ERR_OK ? RES_CODEC_OK : static_cast<int>(r);
}

}  // namespace

// ---------------------------------------------------------------------------
// Value bodies

size_t res_value_body_size(const CResourceValue& v)
{
    switch (v.Type()) {
    case VALUE_TYPE_BOOL:
        return 1;
    case VALUE_TYPE_INT32:
        return 4;
    case VALUE_TYPE_DOUBLE:
        return 8;
    case VALUE_TYPE_ASCII:
        return v.GetLength() + 1;
    case VALUE_TYPE_UNICODE:
        return (v.GetLength() + 1) * 2;
    case VALUE_TYPE_TRANSPARENT:
        return RES_TRANSPARENT_REQUEST_PREAMBLE;
    default:
        return 0;
    }
}

static int EncodeBody(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written, bool reply)
{
    if (written) {
        *written = 0;
    }
    if (!out || !written) {
        return RES_CODEC_NO_ROOM;
    }
    size_t need = res_value_body_size(v);
    if (need == 0) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (reply && v.Type() == VALUE_TYPE_TRANSPARENT) {
        need = RES_TRANSPARENT_REPLY_PREAMBLE + v.GetSize();
    }
    if (cap < need) {
        return RES_CODEC_NO_ROOM;
    }
    switch (v.Type()) {
    case VALUE_TYPE_BOOL:
        out[0] = v.GetBool() ? 1 : 0;
        break;
    case VALUE_TYPE_INT32:
        PutBE32(out, static_cast<uint32_t>(v.GetInt()));
        break;
    case VALUE_TYPE_DOUBLE:
        PutDouble(out, v.GetDouble());
        break;
    case VALUE_TYPE_ASCII:
        // The text with its 0 byte; the last byte is forced to 0 whatever
        // the buffer held, and a value without text sends the empty text.
        std::memcpy(out, v.GetAscii(), need - 1);
        out[need - 1] = 0;
        break;
    case VALUE_TYPE_UNICODE: {
        const char16_t* units = v.GetUTF16Ptr();
        size_t count = need / 2 - 1;
        if (units) {
            PutUnits(out, units, count);
        }
        out[need - 2] = 0;
        out[need - 1] = 0;
        break;
    }
    case VALUE_TYPE_TRANSPARENT: {
        TRANSPARENT_FRAGMENT_T* first = nullptr;
        unsigned long size = 0, revision = 0;
        v.GetTransparent(&first, size, revision);
        TRANSPARENT_PREAMBLE_T pre{};
        pre.size = static_cast<uint32_t>(size);
        pre.revision = static_cast<uint32_t>(revision);
        if (reply) {
            res_encode_transparent_reply_preamble(pre, out);
            size_t data = 0;
            int r = res_encode_fragments(v, out + RES_TRANSPARENT_REPLY_PREAMBLE, cap - RES_TRANSPARENT_REPLY_PREAMBLE,
                                         &data);
            if (r != RES_CODEC_OK) {
                return r;
            }
            break;
        }
        if (v.CopyType() != COPY_TYPE_REFERENCE) {
            pre.copyFlag = 1;
            pre.reference = 0;
        } else {
            pre.copyFlag = 0;
            // Only the low 32 bits of an address fit the field; a reference is
            // meaningful only to a peer that shares this memory.
            pre.reference = first ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(first->data)) : 0;
        }
        res_encode_transparent_request_preamble(pre, out);
        break;
    }
    default:
        return RES_CODEC_PROTOCOL_ERROR;
    }
    *written = need;
    return RES_CODEC_OK;
}

int res_encode_value_body(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written)
{
    return EncodeBody(v, out, cap, written, false);
}

int res_encode_reply_value_body(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written)
{
    return EncodeBody(v, out, cap, written, true);
}

int res_encode_fragments(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written)
{
    if (written) {
        *written = 0;
    }
    if (!written) {
        return RES_CODEC_NO_ROOM;
    }
    TRANSPARENT_FRAGMENT_T* first = nullptr;
    unsigned long size = 0, revision = 0;
    if (v.GetTransparent(&first, size, revision) != ERR_OK) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (size > cap || (size && !out)) {
        return RES_CODEC_NO_ROOM;
    }
    size_t off = 0;
    for (const TRANSPARENT_FRAGMENT_T* f = first; f; f = f->next) {
        if (f->length > cap - off) {
            return RES_CODEC_NO_ROOM;
        }
        std::memcpy(out + off, f->data, f->length);
        off += f->length;
    }
    *written = off;
    return RES_CODEC_OK;
}

int res_decode_value_body(uint8_t typeByte, const uint8_t* body, size_t len, CResourceValue& v, unsigned version)
{
    if (!ValidType(typeByte)) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (len == 0) {
        return RES_CODEC_OK;  // nothing after the type byte: unchanged
    }
    if (!body) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    switch (typeByte) {
    case RES_WIRE_BOOL:
        v.SetType(VALUE_TYPE_BOOL);
        return Result(v.Set(body[0] != 0));
    case RES_WIRE_INT32:
        if (len < 4) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_INT32);
        return Result(v.Set(static_cast<int>(GetBE32(body))));
    case RES_WIRE_DOUBLE:
        if (len < 8) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_DOUBLE);
        return Result(v.Set(GetDoubleBE(body)));
    case RES_WIRE_ASCII: {
        if (TextLen(body, len) < 0) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_ASCII);
        return Result(v.Set(reinterpret_cast<const char*>(body)));
    }
    case RES_WIRE_UNICODE: {
        std::vector<char16_t> units;
        if (!ReadUnits(body, len, units, nullptr)) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_UNICODE);
        return Result(v.Set(units.data()));
    }
    case RES_WIRE_STRUCT:
    case RES_WIRE_STRUCT2: {
        // Names each followed by a 0 byte: one name per line.
        if (body[len - 1] != 0) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        std::string text(reinterpret_cast<const char*>(body), len - 1);
        for (char& c : text) {
            if (c == 0) {
                c = '\n';
            }
        }
        v.SetType(VALUE_TYPE_ASCII);
        return Result(v.Set(text.c_str()));
    }
    case RES_WIRE_TRANSPARENT: {
        TRANSPARENT_PREAMBLE_T pre{};
        int r = res_decode_transparent_reply_preamble(body, len, pre);
        if (r != RES_CODEC_OK) {
            return r;
        }
        return res_apply_transparent_reply(pre, body + RES_TRANSPARENT_REPLY_PREAMBLE,
                                           len - RES_TRANSPARENT_REPLY_PREAMBLE, v);
    }
    case RES_WIRE_MOUNT: {
        if (version < RES_MOUNT_DECODE_VERSION) {
            return RES_CODEC_OK;
        }
        long alen = TextLen(body, len);
        if (alen < 0 || static_cast<size_t>(alen) + 1 + 3 > len) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        const uint8_t* tail = body + alen + 1;
        uint16_t port = GetBE16(tail);
        uint8_t flags = tail[2];
        char portText[16];
        std::snprintf(portText, sizeof portText, ":%X", port);
        std::string text(reinterpret_cast<const char*>(body), static_cast<size_t>(alen));
        text += portText;
        if (flags & RES_MOUNT_TCP) {
            text += "/tcp";
        } else if (flags & RES_MOUNT_FMP) {
            text += "/fmp";
        }
        v.SetType(VALUE_TYPE_ASCII);
        return Result(v.Set(text.c_str()));
    }
    default:
        return RES_CODEC_PROTOCOL_ERROR;
    }
}

int res_decode_value(const uint8_t* p, size_t len, CResourceValue& v, unsigned version)
{
    if (!p || len == 0) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    return res_decode_value_body(p[0], p + 1, len - 1, v, version);
}

int res_decode_request_value_body(uint8_t typeByte, const uint8_t* body, size_t len, CResourceValue& v,
                                  size_t* consumed, TRANSPARENT_PREAMBLE_T* preamble)
{
    if (consumed) {
        *consumed = 0;
    }
    if (!body && len) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    size_t used = 0;
    switch (typeByte) {
    case RES_WIRE_BOOL:
        if (len < 1) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_BOOL);
        v.Set(body[0] != 0);
        used = 1;
        break;
    case RES_WIRE_INT32:
        if (len < 4) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_INT32);
        v.Set(static_cast<int>(GetBE32(body)));
        used = 4;
        break;
    case RES_WIRE_DOUBLE:
        if (len < 8) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_DOUBLE);
        v.Set(GetDoubleBE(body));
        used = 8;
        break;
    case RES_WIRE_ASCII: {
        long n = len ? TextLen(body, len) : -1;
        if (n < 0) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_ASCII);
        unsigned long r = v.Set(reinterpret_cast<const char*>(body));
        if (r != ERR_OK) {
            return Result(r);
        }
        used = static_cast<size_t>(n) + 1;
        break;
    }
    case RES_WIRE_UNICODE: {
        std::vector<char16_t> units;
        if (!ReadUnits(body, len, units, &used)) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        v.SetType(VALUE_TYPE_UNICODE);
        unsigned long r = v.Set(units.data());
        if (r != ERR_OK) {
            return Result(r);
        }
        break;
    }
    case RES_WIRE_TRANSPARENT: {
        TRANSPARENT_PREAMBLE_T pre{};
        int r = res_decode_transparent_request_preamble(body, len, pre);
        if (r != RES_CODEC_OK) {
            return r;
        }
        v.SetType(VALUE_TYPE_TRANSPARENT);
        v.ReinterpretCopyType(pre.copyFlag ? COPY_TYPE_COPY : COPY_TYPE_REFERENCE);
        if (preamble) {
            *preamble = pre;
        }
        used = RES_TRANSPARENT_REQUEST_PREAMBLE;
        break;
    }
    default:
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (consumed) {
        *consumed = used;
    }
    return RES_CODEC_OK;
}

// ---------------------------------------------------------------------------
// Transparent preambles

void res_encode_transparent_request_preamble(const TRANSPARENT_PREAMBLE_T& pre, uint8_t out[13])
{
    out[0] = pre.copyFlag ? 1 : 0;
    PutBE32(out + 1, pre.size);
    PutBE32(out + 5, pre.revision);
    PutBE32(out + 9, pre.reference);
}

void res_encode_transparent_reply_preamble(const TRANSPARENT_PREAMBLE_T& pre, uint8_t out[12])
{
    PutBE32(out, pre.size);
    PutBE32(out + 4, pre.revision);
    PutBE32(out + 8, pre.reference);
}

int res_decode_transparent_request_preamble(const uint8_t* p, size_t len, TRANSPARENT_PREAMBLE_T& pre)
{
    if (!p || len < RES_TRANSPARENT_REQUEST_PREAMBLE) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    pre.copyFlag = p[0];
    pre.size = GetBE32(p + 1);
    pre.revision = GetBE32(p + 5);
    pre.reference = GetBE32(p + 9);
    return RES_CODEC_OK;
}

int res_decode_transparent_reply_preamble(const uint8_t* p, size_t len, TRANSPARENT_PREAMBLE_T& pre)
{
    if (!p || len < RES_TRANSPARENT_REPLY_PREAMBLE) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    pre.copyFlag = 0;
    pre.size = GetBE32(p);
    pre.revision = GetBE32(p + 4);
    pre.reference = GetBE32(p + 8);
    return RES_CODEC_OK;
}

int res_apply_transparent_reply(const TRANSPARENT_PREAMBLE_T& pre, const uint8_t* data, size_t dataLen,
                                CResourceValue& v)
{
    v.SetType(VALUE_TYPE_TRANSPARENT);
    if (pre.reference != 0) {
        v.SetCopyType(COPY_TYPE_REFERENCE);
        return Result(v.Set(nullptr, 0, COPY_TYPE_REFERENCE, pre.revision));
    }
    if (data && pre.size != 0 && dataLen == pre.size) {
        return Result(v.Set(reinterpret_cast<const char*>(data), pre.size, COPY_TYPE_COPY, pre.revision));
    }
    return Result(v.Set(nullptr, 0, COPY_TYPE_COPY, pre.revision));
}

// ---------------------------------------------------------------------------
// Limits blocks

int res_encode_limits(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written)
{
    if (written) {
        *written = 0;
    }
    if (!written) {
        return RES_CODEC_NO_ROOM;
    }
    std::vector<uint8_t> buf;
    auto put16 = [&buf](uint16_t x) {
        buf.push_back(static_cast<uint8_t>(x >> 8));
        buf.push_back(static_cast<uint8_t>(x));
    };
    auto put32 = [&buf](uint32_t x) {
        uint8_t b[4];
        PutBE32(b, x);
        buf.insert(buf.end(), b, b + 4);
    };
    switch (v.LimitType()) {
    case LIMIT_TYPE_NONE:
        return RES_CODEC_OK;
    case LIMIT_TYPE_INT_RANGE: {
        int mn = 0, mx = 0;
        v.GetLimits(mn, mx);
        buf.push_back(RES_WIRE_INT32);
        put16(2);
        put32(static_cast<uint32_t>(mn));
        put32(static_cast<uint32_t>(mx));
        break;
    }
    case LIMIT_TYPE_DOUBLE_RANGE: {
        double mn = 0, mx = 0;
        v.GetLimits(mn, mx);
        buf.push_back(RES_WIRE_DOUBLE);
        put16(2);
        uint8_t b[8];
        PutDouble(b, mn);
        buf.insert(buf.end(), b, b + 8);
        PutDouble(b, mx);
        buf.insert(buf.end(), b, b + 8);
        break;
    }
    case LIMIT_TYPE_ASCII_MAXLEN:
    case LIMIT_TYPE_UNICODE_MAXLEN: {
        unsigned long maxLength = 0;
        v.GetLimits(maxLength);
        bool wide = v.LimitType() == LIMIT_TYPE_UNICODE_MAXLEN;
        buf.push_back(wide ? RES_WIRE_UNICODE : RES_WIRE_ASCII);
        put16(1);
        buf.push_back(0);
        if (wide) {
            buf.push_back(0);
        }
        put32(static_cast<uint32_t>(maxLength));
        break;
    }
    case LIMIT_TYPE_ASCII_LIST: {
        char** list = nullptr;
        bool cs = false;
        buf.push_back(RES_WIRE_ASCII);
        if (v.GetLimits(&list, cs) != ERR_OK) {
            return RES_CODEC_OK;  // neither a list nor a maximum length
        }
        size_t n = 0;
        while (list[n]) {
            ++n;
        }
        if (n > 0xFFFF) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        put16(static_cast<uint16_t>(n));
        for (size_t k = 0; k < n; ++k) {
            buf.insert(buf.end(), list[k], list[k] + std::strlen(list[k]) + 1);
        }
        break;
    }
    case LIMIT_TYPE_UNICODE_LIST: {
        char16_t** list = nullptr;
        bool cs = false;
        buf.push_back(RES_WIRE_UNICODE);
        if (v.GetLimits(&list, cs) != ERR_OK) {
            return RES_CODEC_OK;
        }
        size_t n = 0;
        while (list[n]) {
            ++n;
        }
        if (n > 0xFFFF) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        put16(static_cast<uint16_t>(n));
        // The units exactly as the value holds them.
        for (size_t k = 0; k < n; ++k) {
            size_t count = std::char_traits<char16_t>::length(list[k]) + 1;
            size_t at = buf.size();
            buf.resize(at + 2 * count, 0);
            PutUnits(buf.data() + at, list[k], count);
        }
        break;
    }
    default:
        return RES_CODEC_OK;
    }
    if (!out || buf.size() > cap) {
        return RES_CODEC_NO_ROOM;
    }
    std::memcpy(out, buf.data(), buf.size());
    *written = buf.size();
    return RES_CODEC_OK;
}

int res_decode_limits(const uint8_t* p, size_t len, CResourceValue& v)
{
    if (!p || len == 0 || !ValidType(p[0])) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    uint8_t type = p[0];
    if (type == RES_WIRE_STRUCT || type == RES_WIRE_STRUCT2 || type == RES_WIRE_MOUNT) {
        return RES_CODEC_OK;  // nodes have no limits
    }
    if (static_cast<uint32_t>(v.Type()) != type) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (type == RES_WIRE_BOOL || type == RES_WIRE_TRANSPARENT) {
        return RES_CODEC_OK;
    }
    if (len < 3) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    uint16_t count = GetBE16(p + 1);
    const uint8_t* q = p + 3;
    size_t rest = len - 3;
    switch (type) {
    case RES_WIRE_INT32:
        if (count != 2 || rest < 8) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        return Result(v.SetLimits(static_cast<int>(GetBE32(q)), static_cast<int>(GetBE32(q + 4))));
    case RES_WIRE_DOUBLE:
        if (count != 2 || rest < 16) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        // A NaN bound would switch the range check off: refused.
        if (std::isnan(GetDoubleBE(q)) || std::isnan(GetDoubleBE(q + 8))) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        return Result(v.SetLimits(GetDoubleBE(q), GetDoubleBE(q + 8)));
    case RES_WIRE_ASCII: {
        if (count == 1 && rest >= 1 && q[0] == 0) {
            if (rest < 5) {
                return RES_CODEC_PROTOCOL_ERROR;
            }
            return Result(v.SetLimits(static_cast<unsigned long>(GetBE32(q + 1))));
        }
        // Every entry needs at least its 0 byte: the list never grows beyond
        // what the buffer holds.
        std::vector<std::string> entries;
        for (uint16_t k = 0; k < count; ++k) {
            long n = rest ? TextLen(q, rest) : -1;
            if (n < 0) {
                return RES_CODEC_PROTOCOL_ERROR;
            }
            entries.emplace_back(reinterpret_cast<const char*>(q), static_cast<size_t>(n));
            q += n + 1;
            rest -= static_cast<size_t>(n) + 1;
        }
        std::vector<const char*> list;
        for (const std::string& e : entries) {
            list.push_back(e.c_str());
        }
        list.push_back(nullptr);
        return Result(v.SetLimits(list.data(), false));
    }
    case RES_WIRE_UNICODE: {
        if (count == 1 && rest >= 2 && q[0] == 0 && q[1] == 0) {
            if (rest < 6) {
                return RES_CODEC_PROTOCOL_ERROR;
            }
            return Result(v.SetLimits(static_cast<unsigned long>(GetBE32(q + 2))));
        }
        std::vector<std::u16string> entries;
        std::vector<char16_t> units;
        for (uint16_t k = 0; k < count; ++k) {
            size_t used = 0;
            if (!ReadUnits(q, rest, units, &used)) {
                return RES_CODEC_PROTOCOL_ERROR;
            }
            entries.emplace_back(units.data());
            q += used;
            rest -= used;
        }
        std::vector<const char16_t*> list;
        for (const std::u16string& e : entries) {
            list.push_back(e.c_str());
        }
        list.push_back(nullptr);
        return Result(v.SetLimits(list.data(), false));
    }
    default:
        return RES_CODEC_PROTOCOL_ERROR;
    }
}

// ---------------------------------------------------------------------------
// Originator

void res_encode_originator(const ORIGINATOR_T& origin, uint32_t localAddrField, uint16_t localPortField,
                           uint32_t threadId, uint8_t out[10])
{
    if (origin.address != 0) {
        PutBE32(out, origin.address);
        PutBE16(out + 4, origin.port);
        PutBE32(out + 6, origin.threadId);
    } else {
        PutBE32(out, localAddrField);
        PutBE16(out + 4, localPortField);
        PutBE32(out + 6, threadId);
    }
}

int res_decode_originator(const uint8_t* p, size_t len, ORIGINATOR_T& origin)
{
    if (!p || len < RES_ORIGINATOR_SIZE) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    origin.address = GetBE32(p);
    origin.port = GetBE16(p + 4);
    origin.threadId = GetBE32(p + 6);
    return RES_CODEC_OK;
}

// ---------------------------------------------------------------------------
// Mount points and child names

int res_encode_mount_point(const char* address, uint16_t port, uint8_t flags, uint8_t* out, size_t cap,
                           size_t* written)
{
    if (written) {
        *written = 0;
    }
    if (!written) {
        return RES_CODEC_NO_ROOM;
    }
    if (!address) {
        address = "";
    }
    size_t alen = std::strlen(address);
    size_t need = alen + 1 + 3;
    if (!out || cap < need) {
        return RES_CODEC_NO_ROOM;
    }
    std::memcpy(out, address, alen + 1);
    PutBE16(out + alen + 1, port);
    out[alen + 3] = flags;
    *written = need;
    return RES_CODEC_OK;
}

int res_encode_child_names(const char* const* names, size_t count, uint8_t* out, size_t cap, size_t* written)
{
    if (written) {
        *written = 0;
    }
    if (!written) {
        return RES_CODEC_NO_ROOM;
    }
    size_t need = 0;
    for (size_t k = 0; k < count; ++k) {
        need += (names && names[k] ? std::strlen(names[k]) : 0) + 1;
    }
    if (need && (!out || cap < need)) {
        return RES_CODEC_NO_ROOM;
    }
    size_t off = 0;
    for (size_t k = 0; k < count; ++k) {
        const char* n = names && names[k] ? names[k] : "";
        size_t l = std::strlen(n) + 1;
        std::memcpy(out + off, n, l);
        off += l;
    }
    *written = off;
    return RES_CODEC_OK;
}

}  // namespace ZYRK
