// The value codec's value bodies (in write requests and read replies), the
// transparent preambles and the originator.
#include <halvex/resource/value_codec.h>

#include <halvex/resource/value_codec_internal.h>
#include <halvex/resource/value_storage_internal.h>

#include <cstring>
#include <vector>

namespace ZYRK {

using namespace ValueCodec;

namespace {

// Writes the preamble of a write request (13 bytes, with the copy flag) or of
// a read reply (12 bytes).
void WritePreamble(const TRANSPARENT_PREAMBLE_T& pre, bool request, uint8_t* out)
{
    CBigEndianWriter w(out, request ? RES_TRANSPARENT_REQUEST_PREAMBLE : RES_TRANSPARENT_REPLY_PREAMBLE);
    if (request) {
        w.U8(pre.copyFlag ? 1 : 0);
    }
    w.U32(pre.size).U32(pre.revision).U32(pre.reference);
}

// Reads a block of fixed fields with read; out changes only when the whole
// block is there.
template <class T, class Read>
int ReadBlock(const uint8_t* p, size_t len, T& out, Read read)
{
    CBigEndianReader in(p, len);
    T block{};
    read(in, block);
    if (!in.Ok()) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    out = block;
    return RES_CODEC_OK;
}

// Reads a preamble of either form (the reply form gives copy flag 0).
int ReadPreamble(const uint8_t* p, size_t len, bool request, TRANSPARENT_PREAMBLE_T& pre)
{
    return ReadBlock(p, len, pre, [request](CBigEndianReader& in, TRANSPARENT_PREAMBLE_T& block) {
        if (request) {
            block.copyFlag = in.U8();
        }
        block.size = in.U32();
        block.revision = in.U32();
        block.reference = in.U32();
    });
}

// What reading a value body at the reader came to.
enum class BodyRead { kDone, kTruncated, kNotAValue };

// A body of fixed size read with `read`: v takes the type and the field as
// `convert` makes it the value's.
template <class Field, class Convert>
BodyRead ReadNumber(CBigEndianReader& in, bool (CBigEndianReader::*read)(Field&), VALUE_TYPE_T type,
                    CResourceValue& v, unsigned long& result, Convert convert)
{
    Field field{};
    if (!(in.*read)(field)) {
        return BodyRead::kTruncated;
    }
    v.SetType(type);
    result = v.Set(convert(field));
    return BodyRead::kDone;
}

// Reads the body of a value type (bool, int32, double, 8-bit text up to and
// including its 0 byte, UTF-16 text up to and including its 0 unit) into v,
// whose type becomes the body's; result is what v's Set gave. Other type
// bytes read nothing.
BodyRead ReadValueBody(uint8_t typeByte, CBigEndianReader& in, CResourceValue& v, unsigned long& result)
{
    switch (typeByte) {
    case RES_WIRE_BOOL:
        return ReadNumber(in, &CBigEndianReader::U8, VALUE_TYPE_BOOL, v, result, [](uint8_t b) { return b != 0; });
    case RES_WIRE_INT32:
        return ReadNumber(in, &CBigEndianReader::U32, VALUE_TYPE_INT32, v, result,
                          [](uint32_t i) { return static_cast<int>(i); });
    case RES_WIRE_DOUBLE:
        return ReadNumber(in, &CBigEndianReader::Double, VALUE_TYPE_DOUBLE, v, result, [](double d) { return d; });
    case RES_WIRE_ASCII: {
        long n = TextLength(in.Here(), in.Remaining());
        if (n < 0) {
            return BodyRead::kTruncated;
        }
        v.SetType(VALUE_TYPE_ASCII);
        result = v.Set(reinterpret_cast<const char*>(in.Take(static_cast<size_t>(n) + 1)));
        return BodyRead::kDone;
    }
    case RES_WIRE_UNICODE: {
        std::vector<char16_t> units;
        if (!ReadUnits(in, units)) {
            return BodyRead::kTruncated;
        }
        v.SetType(VALUE_TYPE_UNICODE);
        result = v.Set(units.data());
        return BodyRead::kDone;
    }
    default:
        return BodyRead::kNotAValue;
    }
}

int EncodeBody(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written, bool reply)
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
    CBigEndianWriter w(out, cap);
    switch (v.Type()) {
    case VALUE_TYPE_BOOL:
        w.U8(v.GetBool() ? 1 : 0);
        break;
    case VALUE_TYPE_INT32:
        w.U32(static_cast<uint32_t>(v.GetInt()));
        break;
    case VALUE_TYPE_DOUBLE:
        w.Double(v.GetDouble());
        break;
    case VALUE_TYPE_ASCII:
        // The text with its 0 byte; the last byte is forced to 0 whatever
        // the buffer held, and a value without text sends the empty text.
        w.Bytes(v.GetAscii(), need - 1).U8(0);
        break;
    case VALUE_TYPE_UNICODE:
        WriteUnits(w, v.GetUTF16Ptr(), need / 2 - 1);
        w.U16LE(0);
        break;
    case VALUE_TYPE_TRANSPARENT: {
        TRANSPARENT_FRAGMENT_T* first = nullptr;
        unsigned long size = 0, revision = 0;
        v.GetTransparent(&first, size, revision);
        TRANSPARENT_PREAMBLE_T pre{};
        pre.size = static_cast<uint32_t>(size);
        pre.revision = static_cast<uint32_t>(revision);
        if (reply) {
            WritePreamble(pre, false, out);
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
        WritePreamble(pre, true, out);
        break;
    }
    default:
        return RES_CODEC_PROTOCOL_ERROR;
    }
    *written = need;
    return RES_CODEC_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Value bodies

size_t res_value_body_size(const CResourceValue& v)
{
    switch (v.Type()) {
    case VALUE_TYPE_ASCII:
        return v.GetLength() + 1;
    case VALUE_TYPE_UNICODE:
        return (v.GetLength() + 1) * 2;
    case VALUE_TYPE_TRANSPARENT:
        return RES_TRANSPARENT_REQUEST_PREAMBLE;
    default:
        return ValueStorage::FixedSize(v.Type());
    }
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
    CBigEndianWriter w(out, cap);
    for (const TRANSPARENT_FRAGMENT_T* f = first; f; f = f->next) {
        if (!w.Bytes(f->data, f->length).Ok()) {
            return RES_CODEC_NO_ROOM;
        }
    }
    *written = w.Size();
    return RES_CODEC_OK;
}

int res_decode_value_body(uint8_t typeByte, const uint8_t* body, size_t len, CResourceValue& v, unsigned version)
{
    if (!IsWireType(typeByte)) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (len == 0) {
        return RES_CODEC_OK;  // nothing after the type byte: unchanged
    }
    if (!body) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    CBigEndianReader in(body, len);
    unsigned long result = ERR_OK;
    switch (ReadValueBody(typeByte, in, v, result)) {
    case BodyRead::kDone:
        return Result(result);
    case BodyRead::kTruncated:
        return RES_CODEC_PROTOCOL_ERROR;
    case BodyRead::kNotAValue:
        break;
    }
    switch (typeByte) {
    case RES_WIRE_STRUCT:
    case RES_WIRE_STRUCT2:
        return DecodeChildNames(body, len, v);
    case RES_WIRE_TRANSPARENT: {
        TRANSPARENT_PREAMBLE_T pre{};
        int r = res_decode_transparent_reply_preamble(body, len, pre);
        if (r != RES_CODEC_OK) {
            return r;
        }
        return res_apply_transparent_reply(pre, body + RES_TRANSPARENT_REPLY_PREAMBLE,
                                           len - RES_TRANSPARENT_REPLY_PREAMBLE, v);
    }
    default:
        return DecodeMountPoint(body, len, v, version);
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
    CBigEndianReader in(body, len);
    unsigned long result = ERR_OK;
    BodyRead read = ReadValueBody(typeByte, in, v, result);
    if (read == BodyRead::kTruncated) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    if (read == BodyRead::kNotAValue) {
        // Transparent data travels after the request; its preamble is here.
        TRANSPARENT_PREAMBLE_T pre{};
        int r = typeByte == RES_WIRE_TRANSPARENT ? res_decode_transparent_request_preamble(body, len, pre)
                                                 : RES_CODEC_PROTOCOL_ERROR;
        if (r != RES_CODEC_OK) {
            return r;
        }
        v.SetType(VALUE_TYPE_TRANSPARENT);
        v.ReinterpretCopyType(pre.copyFlag ? COPY_TYPE_COPY : COPY_TYPE_REFERENCE);
        if (preamble) {
            *preamble = pre;
        }
        in.Skip(RES_TRANSPARENT_REQUEST_PREAMBLE);
    }
    if (result != ERR_OK) {
        return Result(result);
    }
    if (consumed) {
        *consumed = in.Position();
    }
    return RES_CODEC_OK;
}

// ---------------------------------------------------------------------------
// Transparent preambles

void res_encode_transparent_request_preamble(const TRANSPARENT_PREAMBLE_T& pre, uint8_t out[13])
{
    WritePreamble(pre, true, out);
}

void res_encode_transparent_reply_preamble(const TRANSPARENT_PREAMBLE_T& pre, uint8_t out[12])
{
    WritePreamble(pre, false, out);
}

int res_decode_transparent_request_preamble(const uint8_t* p, size_t len, TRANSPARENT_PREAMBLE_T& pre)
{
    return ReadPreamble(p, len, true, pre);
}

int res_decode_transparent_reply_preamble(const uint8_t* p, size_t len, TRANSPARENT_PREAMBLE_T& pre)
{
    return ReadPreamble(p, len, false, pre);
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
// Originator

void res_encode_originator(const ORIGINATOR_T& origin, uint32_t localAddrField, uint16_t localPortField,
                           uint32_t threadId, uint8_t out[10])
{
    const ORIGINATOR_T sent =
        origin.address != 0 ? origin : ORIGINATOR_T{localAddrField, localPortField, threadId};
    CBigEndianWriter(out, RES_ORIGINATOR_SIZE).U32(sent.address).U16(sent.port).U32(sent.threadId);
}

void res_encode_originator(const CResourceValue& v, uint32_t localAddrField, uint16_t localPortField,
                           uint8_t out[10])
{
    ORIGINATOR_T origin{};
    v.GetOriginator(origin);
    res_encode_originator(origin, localAddrField, localPortField, ValueStorage::CallingThreadId(), out);
}

int res_decode_originator(const uint8_t* p, size_t len, ORIGINATOR_T& origin)
{
    return ReadBlock(p, len, origin, [](CBigEndianReader& in, ORIGINATOR_T& block) {
        block.address = in.U32();
        block.port = in.U16();
        block.threadId = in.U32();
    });
}

}  // namespace ZYRK
