// The value codec's bodies of nodes, which only replies carry: the names of
// a structured node's children and the server behind a mount point.
#include <halvex/resource/value_codec.h>

#include <halvex/resource/value_codec_internal.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace ZYRK {

using namespace ValueCodec;

int ValueCodec::DecodeChildNames(const uint8_t* body, size_t len, CResourceValue& v)
{
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

int ValueCodec::DecodeMountPoint(const uint8_t* body, size_t len, CResourceValue& v, unsigned version)
{
    if (version < RES_MOUNT_DECODE_VERSION) {
        return RES_CODEC_OK;
    }
    CBigEndianReader in(body, len);
    long alen = TextLength(body, len);
    uint16_t port = 0;
    uint8_t flags = 0;
    if (alen < 0 || !in.Skip(static_cast<size_t>(alen) + 1) || !in.U16(port) || !in.U8(flags)) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
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
    CBigEndianWriter(out, cap).Bytes(address, alen + 1).U16(port).U8(flags);
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
    CBigEndianWriter w(out, cap);
    for (size_t k = 0; k < count; ++k) {
        const char* n = names && names[k] ? names[k] : "";
        w.Bytes(n, std::strlen(n) + 1);
    }
    *written = w.Size();
    return RES_CODEC_OK;
}

}  // namespace ZYRK
