// Frame header, extensions, embedded items, attribute block and result codes
// of the resource-tree protocol.
#include <halvex/client/res_protocol.h>

#include <cstring>

namespace ZYRK {

int GetHeaderSize(unsigned char version) {
    if (version < 5) return 8;
    if (version == 5) return 12;
    return 18;
}

void res_frame_build_header(uint8_t* out, int extensions, uint32_t length) {
    out[0] = RES_FRAME_MAGIC;
    out[1] = uint8_t(extensions);
    out[2] = 0;
    out[3] = 0;
    be_put32(out + 4, length);
}

bool res_frame_parse_header(const uint8_t* in, int* extensions, uint32_t* length) {
    if (in[0] != RES_FRAME_MAGIC) return false;
    if (extensions) *extensions = in[1];
    if (length) *length = be_get32(in + 4);
    return true;
}

int res_frame_put_user(uint8_t* out, uint16_t uid) {
    out[0] = RES_EXT_USER;
    out[1] = 2;
    be_put16(out + 2, uid);
    return 4;
}

int res_frame_put_address(uint8_t* out, uint32_t addr_net) {
    out[0] = RES_EXT_ADDRESS;
    out[1] = 4;
    std::memcpy(out + 2, &addr_net, 4);
    return 6;
}

bool res_frame_has_uncounted_items(const uint8_t* p, uint32_t n, int extensions) {
    uint32_t pos = 0;
    for (int i = 0; i < extensions && pos < n; ++i) {
        uint64_t step = 2;
        if (p[pos] == RES_EXT_USER) {
            step = 4;
        } else if (p[pos] == RES_EXT_ADDRESS) {
            step = 6;
        } else if (p[pos] == RES_EXT_REQUEST) {
            if (n - pos < 6) return false;
            const uint32_t d = be_get32(p + pos + 2);
            step = 6ull + d + (d & 1u);
        }
        if (step > n - pos) return false;
        pos += uint32_t(step);
    }
    return pos < n && p[pos] == RES_EXT_REQUEST;
}

size_t res_embedded_put(uint8_t* out, uint8_t tag, const uint8_t* data, uint32_t n) {
    out[0] = tag;
    out[1] = 4;
    be_put32(out + 2, n);
    if (data && n) std::memmove(out + 6, data, n);
    if (n & 1u) out[6 + n] = 0;
    return res_embedded_size(n);
}

bool CResEmbeddedWalker::Next(const uint8_t** item, uint32_t* length) {
    while (m_pos < m_length && m_data[m_pos] != m_tag) ++m_pos;
    if (m_pos + 6 > m_length) {
        m_pos = m_length;
        return false;
    }
    uint32_t n = be_get32(m_data + m_pos + 2);
    if (n > m_length - m_pos - 6) {
        m_pos = m_length;
        return false;
    }
    *item = m_data + m_pos + 6;
    *length = n;
    size_t step = res_embedded_size(n);
    m_pos = (step > m_length - m_pos) ? m_length : m_pos + step;
    return true;
}

void res_attr_decode(const uint8_t* b, size_t length, ResAttr& a) {
    std::memset(&a, 0, sizeof a);
    if (length < 17) return;
    a.type = b[1];
    a.ownerGet = b[2];
    a.ownerSet = b[3];
    a.ownerCreate = b[4];
    a.ownerDelete = b[5];
    a.subscrSupported = b[6];
    a.persistent = b[7];
    a.openCount = be_get32(b + 8);
    a.numSubscr = be_get32(b + 12);
    a.sync = b[16];
    if (length > 22) {
        a.rename = b[17];
        a.notifyParent = b[18];
        a.hintHex = b[19];
        a.hintBin = b[20];
        a.hintTime = b[21];
        a.defaultHinted = b[22];
    }
    if (length > 35) {
        a.groupGet = b[23];
        a.groupSet = b[24];
        a.groupCreate = b[25];
        a.groupDelete = b[26];
        a.otherGet = b[27];
        a.otherSet = b[28];
        a.otherCreate = b[29];
        a.otherDelete = b[30];
        a.hidden = b[31];
        a.ownerUid = be_get16(b + 32);
        a.ownerGid = be_get16(b + 34);
    }
    if (length > 39) a.childCount = be_get32(b + 36);
    if (length > 40) a.hintTemperature = b[40];
}

void res_attr_encode(const ResAttr& a, uint8_t* b) {
    std::memset(b, 0, RES_ATTR_BLOCK_SIZE);
    b[0] = 0x42;
    b[1] = a.type;
    b[2] = a.ownerGet;
    b[3] = a.ownerSet;
    b[4] = a.ownerCreate;
    b[5] = a.ownerDelete;
    b[6] = a.subscrSupported;
    b[7] = a.persistent;
    be_put32(b + 8, a.openCount);
    be_put32(b + 12, a.numSubscr);
    b[16] = a.sync;
    b[17] = a.rename;
    b[18] = a.notifyParent;
    b[19] = a.hintHex;
    b[20] = a.hintBin;
    b[21] = a.hintTime;
    b[22] = a.defaultHinted;
    b[23] = a.groupGet;
    b[24] = a.groupSet;
    b[25] = a.groupCreate;
    b[26] = a.groupDelete;
    b[27] = a.otherGet;
    b[28] = a.otherSet;
    b[29] = a.otherCreate;
    b[30] = a.otherDelete;
    b[31] = a.hidden;
    be_put16(b + 32, a.ownerUid);
    be_put16(b + 34, a.ownerGid);
    be_put32(b + 36, a.childCount);
    b[40] = a.hintTemperature;
}

uint32_t res_attr_to_word(const ResAttr& a) {
    auto bit = [](uint8_t flag, int n) { return flag ? (1u << n) : 0u; };
    return bit(a.ownerGet, 0) | bit(a.ownerSet, 1) | bit(a.ownerCreate, 2) | bit(a.ownerDelete, 3) |
           bit(a.groupGet, 4) | bit(a.groupSet, 5) | bit(a.groupCreate, 6) | bit(a.groupDelete, 7) |
           bit(a.otherGet, 8) | bit(a.otherSet, 9) | bit(a.otherCreate, 10) | bit(a.otherDelete, 11) |
           bit(a.persistent, 12) | bit(a.sync, 13) | bit(a.subscrSupported, 14) | bit(a.rename, 16) |
           bit(a.notifyParent, 18) | bit(a.defaultHinted, 19) | bit(a.hidden, 23);
}

uint32_t res_convert_errcode(int r) {
    switch (r) {
        case 0: return 0;
        case RES_SERR_PATH_NOT_FOUND: return ERR_RES_NOT_IN_TREE;
        case RES_SERR_NO_READ:
        case RES_SERR_NO_WRITE:
        case RES_SERR_NO_CREATE:
        case RES_SERR_NO_DELETE: return ERR_UNSUPPORTED;
        case RES_SERR_FAILED: return ERR_RES_OPERATION_FAILED;
        case RES_SERR_OPCODE: return ERR_RES_OPCODE_NOT_FOUND;
        case RES_SERR_UNKNOWN_TYPE:
        case RES_SERR_INDATA_SIZE: return ERR_BAD_DATA;
        case RES_SERR_TYPE_MISMATCH:
        case RES_ERR_PROTOCOL: return ERR_RES_WRONG_TYPE;
        case RES_SERR_PERMISSION:
        case RES_SERR_AUTH: return ERR_PERMISSION_DENIED;
        case RES_SERR_SESSION: return ERR_CANT_GET_HANDLE;
        case RES_SERR_NOT_UNIQUE: return ERR_RES_NOT_UNIQUE;
        case RES_SERR_NO_MEMORY: return ERR_NO_MEMORY;
        case RES_ERR_TIMEOUT: return ERR_TIMEOUT;
        case RES_ERR_INTERRUPTED: return ERR_GROUP_INTERRUPTED;
        case RES_ERR_TOO_LONG: return ERR_BAD_PARAMETER;
        case RES_ERR_BAD_HEADER: return ERR_BAD_HEADER;
        case RES_ERR_HOST: return ERR_LOOKUP_FAILED;
        case RES_ERR_NOT_INITIALISED: return ERR_UNINITIALIZED;
        default: return uint32_t(r);
    }
}

namespace {

struct ErrText {
    uint32_t code;
    bool isClass;
    const char* text;
};

const ErrText kErrTexts[] = {
    {0x64010000, true, "i/o error"},
    {0x64010001, false, "already opened"},
    {0x64010002, false, "already closed"},
    {0x64010003, false, "can't open file"},
    {0x64010004, false, "can't open file for reading"},
    {0x64010005, false, "can't open file for writing"},
    {0x64010009, false, "can't write file"},
    {0x6401000A, false, "can't read file"},
    {0x6401000D, false, "can't write socket"},
    {0x6401000E, false, "can't read socket"},
    {0x6401000F, false, "file truncated"},
    {0x64011000, true, "JPEG lib error"},
    {0x64012000, true, "SQL lib error"},
    {0x64030000, false, "illegal mode"},
    {0x64040000, false, "out of memory"},
    {0x64040001, false, "no disk space"},
    {0x64040002, false, "cannot get handle"},
    {0x64060000, true, "unsupported"},
    {0x64060001, false, "unsupported version"},
    {0x64060002, false, "unsupported type"},
    {0x64060003, false, "unsupported feature"},
    {0x64070000, true, "bad data"},
    {0x64070001, false, "bad parameter"},
    {0x64070002, false, "bad pointer"},
    {0x64070003, false, "out of range"},
    {0x64070004, false, "bad offset"},
    {0x64070005, false, "bad token"},
    {0x64070006, false, "bad header"},
    {0x64070007, false, "can't compress"},
    {0x64070008, false, "can't decompress"},
    {0x64070009, false, "bad checksum"},
    {0x6407000A, false, "uncalibrated"},
    {0x64080000, true, "timeout"},
    {0x64090000, false, "in wrong state"},
    {0x64090001, false, "undefined state"},
    {0x64090002, false, "operation not completed"},
    {0x64090003, false, "uninitialized"},
    {0x64090004, false, "execution failed"},
    {0x640B0000, false, "duplicate not accepted"},
    {0x640B0001, false, "duplicated filename"},
    {0x640B0002, false, "no change"},
    {0x640C0000, true, "permission denied"},
    {0x640F0000, true, "interrupted"},
    {0x640D0000, true, "not found"},
    {0x640D0001, false, "file not found"},
    {0x640D0002, false, "lookup failed"},
    {0xAB010001, false, "resource not open"},
    {0xAB010002, false, "resource not closed"},
    {0xAB010003, false, "wrong resource type"},
    {0xAB010004, false, "resource not in tree"},
    {0xAB010005, false, "resource not unique"},
    {0xAB010006, false, "duplicate resource subscribers"},
    {0x000000A0, false, "path not found"},
    {0x000000A1, false, "unsupported"},
    {0x000000A2, false, "unsupported"},
    {0x000000A3, false, "unsupported"},
    {0x000000A4, false, "unsupported"},
    {0x000000A5, false, "operation failed"},
    {0x000000A6, false, "opcode not found"},
    {0x000000A7, false, "unknown type"},
    {0x000000A8, false, "type mismatch"},
    {0x000000A9, false, "wrong indata size"},
    {0x000000AA, false, "permisson denied"},
    {0x000000AB, false, "authentication failed"},
    {0x000000AC, false, "session failed"},
    {0x000000AD, false, "name not unique"},
    {0x00000001, false, "undefined error"},
};

}  // namespace

}  // namespace ZYRK

uint32_t res_interpret_errcode(uint32_t code, const char** text) {
    using namespace ZYRK;
    for (const ErrText& e : kErrTexts) {
        if (e.code == code) {
            if (text) *text = e.text;
            return 0;
        }
    }
    const uint32_t cls = code & ~0xFFFu;
    for (const ErrText& e : kErrTexts) {
        if (e.isClass && e.code == cls) {
            if (text) *text = e.text;
            return 0;
        }
    }
    return ERR_NOT_FOUND;
}
