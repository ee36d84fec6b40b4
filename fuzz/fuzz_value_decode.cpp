// The value, limits and transparent-preamble decoders: they read what a
// resource server (or, on the server side, any client) sends.
#include <halvex/resource/value_codec.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace ZYRK;

namespace {

void Exercise(const CResourceValue& v)
{
    // What a decoded value is used for next: shown, compared, sent back.
    CText shown = v.GetAsAscii(true);
    char* limits = nullptr;
    if (v.GetLimitsAsAscii(&limits, true) == 0) {
        std::free(limits);
    }
    CResourceValue copy(v);
    copy.Compare(v);
    std::vector<uint8_t> out(res_value_body_size(v) + 64 + v.GetSize());
    size_t n = 0;
    res_encode_value_body(v, out.data(), out.size(), &n);
    res_encode_reply_value_body(v, out.data(), out.size(), &n);
    std::vector<uint8_t> lim(4096);
    res_encode_limits(v, lim.data(), lim.size(), &n);
}

const VALUE_TYPE_T kTypes[] = {VALUE_TYPE_BOOL,    VALUE_TYPE_INT32,   VALUE_TYPE_DOUBLE,
                               VALUE_TYPE_ASCII,   VALUE_TYPE_UNICODE, VALUE_TYPE_TRANSPARENT};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    uint8_t mode = data[0];
    uint8_t param = data[1];
    const uint8_t* p = data + 2;
    size_t len = size - 2;
    switch (mode % 6) {
    case 0: {
        CResourceValue v(kTypes[param % 6]);
        if (res_decode_value(p, len, v, param >> 3) == RES_CODEC_OK) {
            Exercise(v);
        }
        break;
    }
    case 1: {
        CResourceValue v(kTypes[param % 6]);
        if (res_decode_limits(p, len, v) == RES_CODEC_OK) {
            Exercise(v);
            if (v.Type() == VALUE_TYPE_ASCII) {
                v.Set("probe");
            }
        }
        break;
    }
    case 2: {
        TRANSPARENT_PREAMBLE_T pre{};
        if (res_decode_transparent_request_preamble(p, len, pre) == RES_CODEC_OK) {
            CResourceValue v(VALUE_TYPE_TRANSPARENT);
            res_apply_transparent_reply(pre, p + 13, len - 13, v);
            Exercise(v);
        }
        break;
    }
    case 3: {
        TRANSPARENT_PREAMBLE_T pre{};
        if (res_decode_transparent_reply_preamble(p, len, pre) == RES_CODEC_OK) {
            CResourceValue v(VALUE_TYPE_TRANSPARENT);
            res_apply_transparent_reply(pre, p + 12, len - 12, v);
            Exercise(v);
        }
        break;
    }
    case 4: {
        CResourceValue v;
        size_t used = 0;
        TRANSPARENT_PREAMBLE_T pre{};
        if (res_decode_request_value_body(param % 10, p, len, v, &used, &pre) == RES_CODEC_OK) {
            Exercise(v);
        }
        break;
    }
    default: {
        ORIGINATOR_T o{};
        res_decode_originator(p, len, o);
        // A combined reply: value, then limits on the same value.
        CResourceValue v;
        size_t split = len ? param % (len + 1) : 0;
        if (res_decode_value(p, split, v, 12) == RES_CODEC_OK) {
            res_decode_limits(p + split, len - split, v);
            Exercise(v);
        }
        break;
    }
    }
    return 0;
}
