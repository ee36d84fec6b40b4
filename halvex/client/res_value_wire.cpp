// Value bodies and limits blocks as the protocol engine writes them into
// requests and reads them from replies. Every read stays inside the bytes
// received; a text without its terminator ends at the end of the reply.
#include <halvex/client/res_engine_internal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

namespace {

void PutDouble(uint8_t* out, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    for (int i = 7; i >= 0; --i) {
        out[i] = uint8_t(bits);
        bits >>= 8;
    }
}

double GetDouble(const uint8_t* p) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// UTF-16 code units as they travel (in this library's memory order).
std::vector<unsigned short> ReadUnits(const uint8_t* p, size_t length) {
    std::vector<unsigned short> units;
    for (size_t i = 0; i + 1 < length; i += 2) {
        unsigned short u;
        std::memcpy(&u, p + i, 2);
        if (u == 0) break;
        units.push_back(u);
    }
    units.push_back(0);
    return units;
}

std::wstring UnitsToWide(const unsigned short* u) {
    std::wstring w;
    for (; *u; ++u) {
        uint32_t c = *u;
        if (c >= 0xD800 && c < 0xDC00 && u[1] >= 0xDC00 && u[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (u[1] - 0xDC00);
            ++u;
        }
        w.push_back(wchar_t(c));
    }
    return w;
}

std::string ReadText(const uint8_t* p, size_t length) {
    size_t n = 0;
    while (n < length && p[n]) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool res_wire_copies_data(const CResourceValue& value) {
    return value.Type() == VALUE_TYPE_TRANSPARENT && value.CopyType() != COPY_TYPE_REFERENCE;
}

size_t res_wire_body_size(const CResourceValue& value) {
    switch (value.Type()) {
        case VALUE_TYPE_BOOL: return 1;
        case VALUE_TYPE_INT32: return 4;
        case VALUE_TYPE_DOUBLE: return 8;
        case VALUE_TYPE_ASCII: return value.GetSize() ? value.GetSize() : 1;
        case VALUE_TYPE_UNICODE: return (value.GetLength() + 1) * 2;
        case VALUE_TYPE_TRANSPARENT: return 13;
        default: return 0;
    }
}

int res_wire_body_write(const CResourceValue& value, uint8_t* out) {
    switch (value.Type()) {
        case VALUE_TYPE_BOOL:
            out[0] = value.GetBool() ? 1 : 0;
            return 0;
        case VALUE_TYPE_INT32:
            res_put_be32(out, uint32_t(value.GetInt()));
            return 0;
        case VALUE_TYPE_DOUBLE:
            PutDouble(out, value.GetDouble());
            return 0;
        case VALUE_TYPE_ASCII: {
            size_t n = res_wire_body_size(value);
            const char* text = value.GetAscii();
            size_t have = std::strlen(text);
            std::memset(out, 0, n);
            std::memcpy(out, text, have < n ? have : n - 1);
            out[n - 1] = 0;
            return 0;
        }
        case VALUE_TYPE_UNICODE: {
            size_t units = value.GetLength() + 1;
            const unsigned short* u = value.GetUTF16Ptr();
            std::memset(out, 0, units * 2);
            if (u) std::memcpy(out, u, (units - 1) * 2);
            return 0;
        }
        case VALUE_TYPE_TRANSPARENT: {
            const bool copy = res_wire_copies_data(value);
            TRANSPARENT_FRAGMENT_T* first = nullptr;
            unsigned long size = 0, revision = 0;
            value.GetTransparent(&first, size, revision);
            out[0] = copy ? 1 : 0;
            res_put_be32(out + 1, uint32_t(value.GetSize()));
            res_put_be32(out + 5, uint32_t(value.GetRevision()));
            // By reference the peer gets the address of the first fragment's
            // bytes (meaningful only to a peer in this machine's memory).
            uint32_t ref = 0;
            if (!copy && first) ref = uint32_t(reinterpret_cast<uintptr_t>(first->data));
            res_put_be32(out + 9, ref);
            return 0;
        }
        default: return RES_ERR_PROTOCOL;
    }
}

int res_wire_body_read(CResourceValue& value, uint8_t type, const uint8_t* body, size_t length, uint8_t version,
                       const uint8_t* tail, size_t tailLength) {
    if (type < 1 || type > 9) return RES_ERR_PROTOCOL;
    if (length == 0) return 0;  // nothing after the type byte: unchanged
    switch (type) {
        case 1:
            value.SetType(VALUE_TYPE_BOOL);
            value.Set(body[0] != 0);
            return 0;
        case 2:
            if (length < 4) return 0;
            value.SetType(VALUE_TYPE_INT32);
            value.Set(int(res_get_be32(body)));
            return 0;
        case 3:
            if (length < 8) return 0;
            value.SetType(VALUE_TYPE_DOUBLE);
            value.Set(GetDouble(body));
            return 0;
        case 4: {
            std::string t = (tail && tailLength) ? ReadText(tail, tailLength) : ReadText(body, length);
            value.SetType(VALUE_TYPE_ASCII);
            value.Set(t.c_str());
            return 0;
        }
        case 7: {
            std::vector<unsigned short> u =
                (tail && tailLength) ? ReadUnits(tail, tailLength) : ReadUnits(body, length);
            value.SetType(VALUE_TYPE_UNICODE);
            value.Set(u.data());
            return 0;
        }
        case 5:
        case 6: {
            // Child names, each with its 0 byte: one name per line.
            std::string t(reinterpret_cast<const char*>(body), length);
            if (!t.empty() && t.back() == 0) t.pop_back();
            for (char& c : t)
                if (c == 0) c = '\n';
            value.SetType(VALUE_TYPE_ASCII);
            value.Set(t.c_str());
            return 0;
        }
        case 8: {
            value.SetType(VALUE_TYPE_TRANSPARENT);
            if (length < 12) return 0;
            uint32_t size = res_get_be32(body);
            uint32_t revision = res_get_be32(body + 4);
            uint32_t ref = res_get_be32(body + 8);
            if (ref != 0) {
                // A reference into the server's memory cannot be followed from
                // here; the value stays without data.
                value.SetCopyType(COPY_TYPE_REFERENCE);
                return 0;
            }
            const uint8_t* data = nullptr;
            if (tail && tailLength == size) data = tail;
            else if (!tail && length - 12 == size) data = body + 12;
            if (data && size) {
                value.SetCopyType(COPY_TYPE_COPY);
                value.Set(reinterpret_cast<const char*>(data), size, COPY_TYPE_COPY, revision);
            }
            return 0;
        }
        case 9: {
            if (version < 10) return 0;
            size_t n = 0;
            while (n < length && body[n]) ++n;
            if (n + 4 > length) return 0;
            std::string addr(reinterpret_cast<const char*>(body), n);
            uint16_t port = res_get_be16(body + n + 1);
            uint8_t flags = body[n + 3];
            char text[300];
            std::snprintf(text, sizeof text, "%s:%X%s", addr.c_str(), unsigned(port),
                          (flags & 1) ? "/tcp" : (flags & 2) ? "/fmp" : "");
            value.SetType(VALUE_TYPE_ASCII);
            value.Set(text);
            return 0;
        }
        default: return RES_ERR_PROTOCOL;  // 0 cannot occur here; kept for the compiler
    }
}

void res_wire_limits_read(CResourceValue& value, const uint8_t* p, size_t length) {
    if (length < 4) return;
    const uint8_t type = p[1];
    const uint16_t count = res_get_be16(p + 2);
    const uint8_t* q = p + 4;
    const uint8_t* end = p + length;
    switch (type) {
        case 2:
            if (count == 2 && end - q >= 8) value.SetLimits(int(res_get_be32(q)), int(res_get_be32(q + 4)));
            return;
        case 3:
            if (count == 2 && end - q >= 16) value.SetLimits(GetDouble(q), GetDouble(q + 8));
            return;
        case 4: {
            if (count == 1 && end - q >= 5 && q[0] == 0) {
                value.SetLimits((unsigned long)res_get_be32(q + 1));
                return;
            }
            std::vector<std::string> texts;
            for (uint16_t i = 0; i < count && q < end; ++i) {
                texts.push_back(ReadText(q, size_t(end - q)));
                q += texts.back().size() + 1;
            }
            std::vector<const char*> list;
            for (const std::string& t : texts) list.push_back(t.c_str());
            list.push_back(nullptr);
            value.SetLimits(list.data(), false);
            return;
        }
        case 7: {
            if (count == 1 && end - q >= 6 && q[0] == 0 && q[1] == 0) {
                value.SetLimits((unsigned long)res_get_be32(q + 2));
                return;
            }
            std::vector<std::wstring> texts;
            for (uint16_t i = 0; i < count && q + 1 < end; ++i) {
                std::vector<unsigned short> u = ReadUnits(q, size_t(end - q));
                texts.push_back(UnitsToWide(u.data()));
                q += u.size() * 2;
            }
            std::vector<const wchar_t*> list;
            for (const std::wstring& t : texts) list.push_back(t.c_str());
            list.push_back(nullptr);
            value.SetLimits(list.data(), false);
            return;
        }
        default: return;
    }
}

}  // namespace ZYRK
