// Pieces shared by the parts of the value codec (value bodies, limits
// blocks, node bodies): 0-terminated texts and UTF-16 units inside a body,
// and the mapping of value results to codec results.
#pragma once

#include <halvex/bigendian.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_codec.h>

#include <cstring>
#include <vector>

namespace ZYRK::ValueCodec {

// Length of the 0-terminated text at p within len bytes, or -1 without a 0.
inline long TextLength(const uint8_t* p, size_t len)
{
    const void* z = len ? std::memchr(p, 0, len) : nullptr;
    return z ? static_cast<const uint8_t*>(z) - p : -1;
}

// Code units (little-endian, as this library sends them) of the
// 0-unit-terminated UTF-16 text at the reader's position, terminator
// included; false without a terminating unit before the end.
inline bool ReadUnits(CBigEndianReader& in, std::vector<char16_t>& units)
{
    units.clear();
    uint16_t u = 0;
    do {
        if (!in.U16LE(u)) {
            return false;
        }
        units.push_back(static_cast<char16_t>(u));
    } while (u != 0);
    return true;
}

// Writes count code units exactly as they are held (little-endian).
inline void WriteUnits(CBigEndianWriter& out, const char16_t* units, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        out.U16LE(static_cast<uint16_t>(units[i]));
    }
}

inline bool IsWireType(uint8_t t)
{
    return t >= RES_WIRE_BOOL && t <= RES_WIRE_MOUNT;
}

// A value's result code as a codec result.
inline int Result(unsigned long r)
{
    return r == ERR_OK ? RES_CODEC_OK : static_cast<int>(r);
}

// Reply bodies of the node types (5, 6: child names; 9: mount point).
int DecodeChildNames(const uint8_t* body, size_t len, CResourceValue& v);
int DecodeMountPoint(const uint8_t* body, size_t len, CResourceValue& v, unsigned version);

}  // namespace ZYRK::ValueCodec
