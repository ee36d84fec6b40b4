// Value bodies and limits blocks as the protocol engine writes them into
// requests and reads them from replies, on top of the library's value codec.
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_request.h>
#include <halvex/resource/value_codec.h>

namespace ZYRK {

bool res_wire_writable(VALUE_TYPE_T t) {
    return t == VALUE_TYPE_BOOL || t == VALUE_TYPE_INT32 || t == VALUE_TYPE_DOUBLE || t == VALUE_TYPE_ASCII ||
           t == VALUE_TYPE_UNICODE || t == VALUE_TYPE_TRANSPARENT;
}

bool res_wire_copies_data(const CResourceValue& value) {
    return value.Type() == VALUE_TYPE_TRANSPARENT && value.CopyType() != COPY_TYPE_REFERENCE;
}

size_t res_wire_body_size(const CResourceValue& value) { return res_value_body_size(value); }

int res_wire_body_write(const CResourceValue& value, CResWriter& w) {
    const size_t n = res_value_body_size(value);
    uint8_t* out = n ? w.Reserve(n) : nullptr;
    size_t written = 0;
    return out && res_encode_value_body(value, out, n, &written) == RES_CODEC_OK ? 0 : RES_ERR_PROTOCOL;
}

int res_wire_body_read(CResourceValue& value, uint8_t type, const uint8_t* body, size_t length, uint8_t version,
                       const uint8_t* tail, size_t tailLength) {
    if (type < 1 || type > 9) return RES_ERR_PROTOCOL;
    if (!tail) return res_decode_value_body(type, body, length, value, version) == RES_CODEC_OK ? 0 : RES_ERR_PROTOCOL;

    // A combined read: long texts and copied transparent data follow the
    // limits block instead of the data block.
    if ((type == RES_WIRE_ASCII || type == RES_WIRE_UNICODE) && tailLength > 0)
        return res_decode_value_body(type, tail, tailLength, value, version) == RES_CODEC_OK ? 0 : RES_ERR_PROTOCOL;
    if (type == RES_WIRE_TRANSPARENT && length > 0) {
        TRANSPARENT_PREAMBLE_T pre{};
        if (res_decode_transparent_reply_preamble(body, length, pre) != RES_CODEC_OK) return RES_ERR_PROTOCOL;
        value.SetType(VALUE_TYPE_TRANSPARENT);
        if (length > RES_TRANSPARENT_REPLY_PREAMBLE)  // data inline after all
            return res_apply_transparent_reply(pre, body + RES_TRANSPARENT_REPLY_PREAMBLE,
                                               length - RES_TRANSPARENT_REPLY_PREAMBLE, value) == RES_CODEC_OK
                       ? 0
                       : RES_ERR_PROTOCOL;
        return res_apply_transparent_reply(pre, tail, tailLength, value) == RES_CODEC_OK ? 0 : RES_ERR_PROTOCOL;
    }
    return res_decode_value_body(type, body, length, value, version) == RES_CODEC_OK ? 0 : RES_ERR_PROTOCOL;
}

void res_wire_limits_read(CResourceValue& value, const uint8_t* block, size_t length) {
    // The block starts with its reply code; the codec reads from the type byte.
    if (length >= 2) res_decode_limits(block + 1, length - 1, value);
}

}  // namespace ZYRK
