// The blocks that the read handlers append to a reply: a resource's data
// (ReadDataInternal), its attribute block (ReadAttributesInternal) and its
// limits (ReadLimitsInternal), each within a capacity and each dropped again
// when it cannot be completed.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_codec.h>
#include <halvex/server/server_tree.h>

#include "halvex/server/request_internal.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

using namespace Server;

namespace {

void FreeMalloced(void*, const void* data) { std::free(const_cast<void*>(data)); }

}  // namespace

uint32_t CResourceServerTask::ReadDataInternal(CResource* res, uint32_t attr, CResourceValue& value, bool copy,
                                               size_t capacity, const USER_IDENT_T& id, uint8_t* head)
{
    const CResReplyBuffer::SNAPSHOT_T snap = m_reply.Snapshot();
    auto fail = [&](uint8_t e) {
        m_reply.Restore(snap);
        return ErrorResponse(e);
    };
    auto noMemory = [&] {
        m_reply.Restore(snap);
        return ERR_NO_MEMORY;
    };
    const uint8_t type = FlattenType(res);
    // The block of size bytes with its head (0x02, type byte); null when the
    // buffer cannot grow.
    auto block = [&](size_t size) {
        uint8_t* b = m_reply.AllocSpace(size);
        if (b) {
            b[0] = 0x02;
            b[1] = type;
        }
        return b;
    };
    if (type < 1 || type > 9) {
        return fail(RES_SERR_UNKNOWN_TYPE);
    }
    switch (type) {
    case RES_WIRE_BOOL:
    case RES_WIRE_INT32:
    case RES_WIRE_DOUBLE:
    case RES_WIRE_ASCII:
    case RES_WIRE_UNICODE: {
        if (value.Type() != type) {
            return fail(RES_SERR_FAILED);
        }
        size_t body = res_value_body_size(value);
        if (body == 0 || 2 + body > capacity) {
            return fail(RES_SERR_FAILED);
        }
        uint8_t* p = block(2 + body);
        if (!p) {
            return noMemory();
        }
        size_t written = 0;
        if (res_encode_reply_value_body(value, p + 2, body, &written) != RES_CODEC_OK || written != body) {
            return fail(RES_SERR_FAILED);
        }
        return static_cast<uint32_t>(2 + body);
    }
    case RES_WIRE_TRANSPARENT: {
        if (!head || value.Type() != VALUE_TYPE_TRANSPARENT) {
            return fail(RES_SERR_FAILED);
        }
        if (!copy && !IsLocal(id.ipAddr)) {
            return fail(RES_SERR_PERMISSION);
        }
        // The data always travels in the reply: an address in this process
        // means nothing to the peer and would only disclose the layout of
        // the server's memory.
        char* data = nullptr;
        unsigned long size = 0, revision = 0;
        if (value.GetTransparent(&data, size, revision, COPY_TYPE_COPY) != ERR_OK) {
            return fail(RES_SERR_FAILED);
        }
        if (!data) {
            size = 0;
        }
        if (size > capacity) {
            std::free(data);
            return fail(RES_SERR_FAILED);
        }
        head[0] = 0x02;
        head[1] = RES_WIRE_TRANSPARENT;
        TRANSPARENT_PREAMBLE_T pre{0, static_cast<uint32_t>(size), static_cast<uint32_t>(revision), 0};
        res_encode_transparent_reply_preamble(pre, head + 2);
        if (size) {
            if (attr & RES_ATTR_NO_COPY) {
                if (!m_reply.AttachExtBuffer(data, size, FreeMalloced, nullptr)) {
                    return noMemory();
                }
            } else {
                uint8_t* p = m_reply.AllocSpace(size);
                if (!p) {
                    std::free(data);
                    return noMemory();
                }
                std::memcpy(p, data, size);
                std::free(data);
            }
        } else {
            std::free(data);
        }
        return 14;
    }
    case RES_WIRE_MOUNT: {
        std::string address;
        uint16_t port = 0;
        uint8_t flags = 0;
        auto* node = dynamic_cast<CServerResource*>(res);
        if (!node || node->GetMountInfo(address, port, flags) != ERR_OK) {
            return fail(RES_SERR_FAILED);
        }
        size_t need = 2 + address.size() + 1 + 3;
        if (need > capacity) {
            return fail(RES_SERR_FAILED);
        }
        uint8_t* p = block(need);
        if (!p) {
            return noMemory();
        }
        size_t written = 0;
        res_encode_mount_point(address.c_str(), port, flags, p + 2, need - 2, &written);
        return static_cast<uint32_t>(need);
    }
    case RES_WIRE_STRUCT:
    case RES_WIRE_STRUCT2: {
        if (!res->IsOpenChildAllowed(&id)) {
            return fail(RES_SERR_PERMISSION);
        }
        if (!block(2)) {
            return noMemory();
        }
        size_t total = 2;
        CResource* child = nullptr;
        unsigned long r = m_tree->OpenResource(res, CHILD_INDEX_FIRST, &child, &id);
        while (r == ERR_OK && child) {
            CResourcePath name;
            child->GetName(name);
            size_t len = static_cast<size_t>(name.GetLength()) + 1;
            if (total + len > capacity) {
                child->Close();
                return fail(RES_SERR_FAILED);
            }
            uint8_t* q = m_reply.AllocSpace(len);
            if (!q) {
                child->Close();
                return noMemory();
            }
            std::memcpy(q, name.AsChar(), len - 1);
            total += len;
            CResource* next = nullptr;
            r = child->Iterate(&next, &id);
            child->Close();
            child = next;
        }
        if (total == 2) {
            if (total + 1 > capacity) {
                return fail(RES_SERR_FAILED);
            }
            if (!m_reply.AllocSpace(1)) {
                return noMemory();
            }
            total = 3;
        }
        return static_cast<uint32_t>(total);
    }
    default:
        return fail(RES_SERR_UNKNOWN_TYPE);
    }
}

uint32_t CResourceServerTask::ReadAttributesInternal(CResource* res, const CResourceValue& value, uint32_t attr)
{
    uint8_t* b = m_reply.AllocSpace(RES_ATTR_BLOCK_SIZE);
    if (!b) {
        return ErrorResponse(RES_SERR_NO_MEMORY);
    }
    auto bit = [attr](int n) { return static_cast<uint8_t>((attr >> n) & 1u); };
    const VALUE_HINT_T hint = value.Hint();
    b[0] = 0x42;
    b[1] = FlattenType(res);
    b[2] = bit(0);
    b[3] = bit(1);
    b[4] = bit(2);
    b[5] = bit(3);
    b[6] = bit(14);
    b[7] = bit(12);
    unsigned long open = res->GetOpenCount();
    be_put32(b + 8, static_cast<uint32_t>(open ? open - 1 : 0));
    be_put32(b + 12, static_cast<uint32_t>(res->GetNumSubscr()));
    b[16] = bit(13);
    b[17] = bit(16);
    b[18] = bit(18);
    b[19] = hint == VALUE_HINT_HEX;
    b[20] = hint == VALUE_HINT_BINARY;
    b[21] = hint == VALUE_HINT_TIME;
    b[22] = bit(19);
    for (int i = 0; i < 8; ++i) {
        b[23 + i] = bit(4 + i);
    }
    b[31] = bit(23);
    be_put16(b + 32, res->OwnerUID());
    be_put16(b + 34, res->OwnerGID());
    be_put32(b + 36, static_cast<uint32_t>(res->GetChildCount()));
    b[40] = hint == VALUE_HINT_TEMPERATURE;
    return RES_ATTR_BLOCK_SIZE;
}

uint32_t CResourceServerTask::ReadLimitsInternal(CResource* res, const CResourceValue& value, size_t capacity,
                                                 const USER_IDENT_T&)
{
    const uint8_t type = FlattenType(res);
    if (type == RES_WIRE_INT32 || type == RES_WIRE_DOUBLE || type == RES_WIRE_ASCII || type == RES_WIRE_UNICODE) {
        if (value.Type() != type || value.LimitType() == LIMIT_TYPE_NONE) {
            return ErrorResponse(RES_SERR_NO_READ);
        }
        std::vector<uint8_t> tmp(capacity < 0x20000 ? capacity + 16 : 0x20000);
        size_t written = 0;
        int r = res_encode_limits(value, tmp.data(), tmp.size(), &written);
        if (r == RES_CODEC_NO_ROOM || (r == RES_CODEC_OK && 1 + written > capacity)) {
            return ErrorResponse(RES_SERR_FAILED);
        }
        if (r != RES_CODEC_OK || written == 0) {
            return ErrorResponse(RES_SERR_NO_READ);
        }
        uint8_t* p = m_reply.AllocSpace(1 + written);
        if (!p) {
            return ErrorResponse(RES_SERR_NO_MEMORY);
        }
        p[0] = 0x46;
        std::memcpy(p + 1, tmp.data(), written);
        return static_cast<uint32_t>(1 + written);
    }
    uint8_t* p = m_reply.AllocSpace(2);
    if (!p) {
        return ErrorResponse(RES_SERR_NO_MEMORY);
    }
    p[0] = 0x46;
    p[1] = type;
    return 2;
}

}  // namespace ZYRK
