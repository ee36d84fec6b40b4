// The value codec's limits blocks: after the type byte a 16-bit count, then
// a range, a maximum length or the entries of an allowed list.
#include <halvex/resource/value_codec.h>

#include <halvex/resource/value_codec_internal.h>
#include <halvex/resource/value_storage_internal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

using namespace ValueCodec;
using ValueStorage::NullTerminated;

namespace {

// Writes the type byte, the count and every entry of the value's allowed
// list of Char texts. Nothing is written when the value has no such list.
template <class Char, class WriteEntry>
int WriteList(const CResourceValue& v, uint8_t typeByte, CBigEndianWriter& w, WriteEntry writeEntry)
{
    Char** list = nullptr;
    bool caseSensitive = false;
    if (v.GetLimits(&list, caseSensitive) != ERR_OK) {
        return RES_CODEC_OK;  // neither a list nor a maximum length
    }
    size_t n = 0;
    while (list[n]) {
        ++n;
    }
    if (n > 0xFFFF) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    w.U8(typeByte).U16(static_cast<uint16_t>(n));
    for (size_t k = 0; k < n; ++k) {
        writeEntry(list[k]);
    }
    return RES_CODEC_OK;
}

// Reads what follows the count of a text limits block: a maximum length
// (count 1, then `zeros` 0 bytes: one 0 byte or one 0 unit) or `count`
// entries, each read by readEntry, installed as a case-insensitive list.
template <class Char, class ReadEntry>
int ReadList(CBigEndianReader& in, uint16_t count, size_t zeros, CResourceValue& v, ReadEntry readEntry)
{
    const uint8_t* mark = in.Here();
    if (count == 1 && in.Has(zeros) && std::all_of(mark, mark + zeros, [](uint8_t b) { return b == 0; })) {
        uint32_t maxLength = 0;
        if (!in.Skip(zeros) || !in.U32(maxLength)) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        return Result(v.SetLimits(static_cast<unsigned long>(maxLength)));
    }
    // Every entry needs at least its terminator: the list never grows beyond
    // what the buffer holds.
    std::vector<std::basic_string<Char>> entries;
    for (uint16_t k = 0; k < count; ++k) {
        entries.emplace_back();
        if (!readEntry(in, entries.back())) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
    }
    return Result(v.SetLimits(NullTerminated(entries).data(), false));
}

}  // namespace

int res_encode_limits(const CResourceValue& v, uint8_t* out, size_t cap, size_t* written)
{
    if (written) {
        *written = 0;
    }
    if (!written) {
        return RES_CODEC_NO_ROOM;
    }
    std::vector<uint8_t> buf;
    CBigEndianWriter w(buf);
    int r = RES_CODEC_OK;
    switch (v.LimitType()) {
    case LIMIT_TYPE_INT_RANGE: {
        int mn = 0, mx = 0;
        v.GetLimits(mn, mx);
        w.U8(RES_WIRE_INT32).U16(2).U32(static_cast<uint32_t>(mn)).U32(static_cast<uint32_t>(mx));
        break;
    }
    case LIMIT_TYPE_DOUBLE_RANGE: {
        double mn = 0, mx = 0;
        v.GetLimits(mn, mx);
        w.U8(RES_WIRE_DOUBLE).U16(2).Double(mn).Double(mx);
        break;
    }
    case LIMIT_TYPE_ASCII_MAXLEN:
    case LIMIT_TYPE_UNICODE_MAXLEN: {
        unsigned long maxLength = 0;
        v.GetLimits(maxLength);
        bool wide = v.LimitType() == LIMIT_TYPE_UNICODE_MAXLEN;
        w.U8(wide ? RES_WIRE_UNICODE : RES_WIRE_ASCII).U16(1).Zeros(wide ? 2 : 1);
        w.U32(static_cast<uint32_t>(maxLength));
        break;
    }
    case LIMIT_TYPE_ASCII_LIST:
        r = WriteList<char>(v, RES_WIRE_ASCII, w, [&w](const char* e) { w.Bytes(e, std::strlen(e) + 1); });
        break;
    case LIMIT_TYPE_UNICODE_LIST:
        // The units exactly as the value holds them.
        r = WriteList<char16_t>(v, RES_WIRE_UNICODE, w, [&w](const char16_t* e) {
            WriteUnits(w, e, std::char_traits<char16_t>::length(e) + 1);
        });
        break;
    default:
        break;  // no limits: nothing is written, the server answers "unsupported"
    }
    if (r != RES_CODEC_OK || buf.empty()) {
        return r;
    }
    if (!w.Ok() || !out || buf.size() > cap) {
        return RES_CODEC_NO_ROOM;
    }
    std::memcpy(out, buf.data(), buf.size());
    *written = buf.size();
    return RES_CODEC_OK;
}

int res_decode_limits(const uint8_t* p, size_t len, CResourceValue& v)
{
    if (!p || len == 0 || !IsWireType(p[0])) {
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
    CBigEndianReader in(p + 1, len - 1);
    uint16_t count = 0;
    if (!in.U16(count)) {
        return RES_CODEC_PROTOCOL_ERROR;
    }
    switch (type) {
    case RES_WIRE_INT32: {
        uint32_t mn = 0, mx = 0;
        if (count != 2 || !in.U32(mn) || !in.U32(mx)) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        return Result(v.SetLimits(static_cast<int>(mn), static_cast<int>(mx)));
    }
    case RES_WIRE_DOUBLE: {
        double mn = 0, mx = 0;
        // A NaN bound would switch the range check off: refused.
        if (count != 2 || !in.Double(mn) || !in.Double(mx) || std::isnan(mn) || std::isnan(mx)) {
            return RES_CODEC_PROTOCOL_ERROR;
        }
        return Result(v.SetLimits(mn, mx));
    }
    case RES_WIRE_ASCII:
        return ReadList<char>(in, count, 1, v, [](CBigEndianReader& at, std::string& entry) {
            long n = TextLength(at.Here(), at.Remaining());
            if (n < 0) {
                return false;
            }
            entry.assign(reinterpret_cast<const char*>(at.Here()), static_cast<size_t>(n));
            return at.Skip(static_cast<size_t>(n) + 1);
        });
    case RES_WIRE_UNICODE:
        return ReadList<char16_t>(in, count, 2, v, [](CBigEndianReader& at, std::u16string& entry) {
            std::vector<char16_t> units;
            if (!ReadUnits(at, units)) {
                return false;
            }
            entry = units.data();
            return true;
        });
    default:
        return RES_CODEC_PROTOCOL_ERROR;
    }
}

}  // namespace ZYRK
