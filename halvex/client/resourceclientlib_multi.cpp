// Operations over sets: the multiple write, the set dump and the four multi
// operations with one embedded request per item. Their requests are
// assembled first and then placed in the send buffer, or in a heap buffer of
// the exact size when they do not fit.
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_request.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_set.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace ZYRK {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned long kMissingItem = ERR_BAD_POINTER;  // 0x64070002

bool AbsolutePath(CResource* resource, const RES_IDENT_T* ident, std::string& out) {
    if (!resource || !resource->GetTree()) return false;
    CResourcePath path;
    if (resource->GetTree()->GetAbsolutePath(resource, path, ident) != 0) return false;
    out = path.AsChar();
    return true;
}

void PutEmbedded(Bytes& payload, const Bytes& item) {
    const size_t at = payload.size();
    payload.resize(at + res_embedded_size(uint32_t(item.size())));
    res_embedded_put(payload.data() + at, RES_EXT_REQUEST, item.data(), uint32_t(item.size()));
}

// The value body of a write, with transparent data inline.
int PutValue(CResWriter& w, const CResourceValue& value) {
    if (res_wire_body_write(value, w) != 0) return w.Ok() ? RES_ERR_PROTOCOL : int(ERR_NO_MEMORY);
    if (res_wire_copies_data(value)) {
        TRANSPARENT_FRAGMENT_T* f = nullptr;
        unsigned long size = 0, revision = 0;
        value.GetTransparent(&f, size, revision);
        for (; f; f = f->next) w.Bytes(f->data, f->length);
    }
    return 0;
}

int IntOf(const CResourceValueSet& set, unsigned long index, bool* present) {
    CResourceValue* v = nullptr;
    *present = set.GetValueByIndex(index, &v) == 0 && v;
    return *present ? v->GetInt() : 0;
}

// Every index below the set's count must hold a member.
unsigned long CheckMembers(const CResourceSet& set) {
    for (unsigned long i = 0; i < set.GetNodeCount(); ++i) {
        CResource* r = nullptr;
        unsigned long e = set.GetNodeByIndex(i, &r);
        if (e != 0) return e;
        if (!r) return kMissingItem;
    }
    return 0;
}

}  // namespace

// Sends an assembled payload with `embedded` embedded requests.
static int SendAssembled(CResourceClientLib& lib, ResCommType comm, const RES_IDENT_T* ident, unsigned char* send,
                         unsigned char* recv, const Bytes& payload, int embedded, const char* name,
                         unsigned char expected, unsigned char** grown, int* received) {
    CResRequest req(send, comm.version);
    unsigned char* p = req.Payload(payload.size());
    if (!p) return int(ERR_NO_MEMORY);
    if (!payload.empty()) std::memcpy(p, payload.data(), payload.size());
    return lib.ResSendAndReceive(comm, ident, req.Buffer(), nullptr, 0, recv, grown, int(payload.size()),
                                 RES_BUFFER_SIZE, received, name, expected, false, embedded);
}

int CResourceClientLib::ResWriteDataMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                                          const RES_IDENT_T* ident, CResource* parent, const CResourceSet& children,
                                          const CResourceValueSet& values, const CResourceValueSet& waits,
                                          const CResourceValueSet& timeouts) try {
    CResourceValue probe;
    uint8_t origin[10];
    int r = Originator(comm, probe, origin);  // the local address query comes first
    if (r != 0) return r;
    if (children.GetNodeCount() == 0) return int(ERR_BAD_DATA);
    if (unsigned long e = CheckMembers(children)) return int(e);
    std::string parentPath;
    if (!AbsolutePath(parent, ident, parentPath)) return int(ERR_BAD_DATA);
    if (parentPath.size() + 7 > 255) return int(ERR_BAD_PARAMETER);  // offsets travel in one byte

    struct Item {
        std::string name;
        const CResourceValue* value;
        int wait;
        uint32_t timeout;
    };
    std::vector<Item> items;
    for (unsigned long k = 0;; ++k) {
        CResource* child = nullptr;
        CResourceValue* value = nullptr;
        bool haveWait = false, haveTime = false;
        if (children.GetNodeByIndex(k, &child) != 0 || !child) break;
        if (values.GetValueByIndex(k, &value) != 0 || !value) break;
        int wait = IntOf(waits, k, &haveWait);
        int time = IntOf(timeouts, k, &haveTime);
        if (!haveWait || !haveTime) break;
        CResourcePath name;
        child->GetName(name);
        if (name.GetLength() + 1 > 255) return int(ERR_BAD_PARAMETER);
        if (!res_wire_writable(value->Type())) return RES_ERR_PROTOCOL;
        items.push_back({name.AsChar(), value, wait, uint32_t(time)});
    }
    if (items.empty()) return int(ERR_BAD_DATA);

    Bytes b;
    CResWriter w(b);
    w.U8(0x15).U8(uint8_t(parent->Type())).U8(4).U8(uint8_t(parentPath.size() + 1)).Cstr(parentPath.c_str());
    w.U8(uint8_t(w.Size() + 2));  // the first item follows these two bytes
    w.U8(uint8_t(items[0].name.size() + 1));
    for (size_t k = 0; k < items.size(); ++k) {
        const Item& it = items[k];
        w.U8(uint8_t(it.value->Type())).Cstr(it.name.c_str());
        size_t nextAt = w.Size();
        w.U32(0).U8(k + 1 < items.size() ? uint8_t(items[k + 1].name.size() + 1) : 0);
        w.U8(uint8_t(it.wait)).U32(it.timeout);
        r = Originator(comm, *it.value, origin);
        if (r != 0) return r;
        w.Bytes(origin, 10);
        r = PutValue(w, *it.value);
        if (r != 0) return r;
        if (k + 1 < items.size()) w.U32At(nextAt, uint32_t(w.Size()));
    }
    if (!w.Ok()) return int(ERR_NO_MEMORY);
    int n = 0;
    r = SendAssembled(*this, comm, ident, send, recv, b, 0, "ResWriteDataMulti", 0x12, nullptr, &n);
    if (r == 0 && n > 6) r = int(be_get32(recv + 3));
    return r;
} catch (const std::bad_alloc&) {
    return int(ERR_NO_MEMORY);
}

int CResourceClientLib::ResDumpSet(ResCommType comm, unsigned char* send, unsigned char* recv,
                                   const RES_IDENT_T* ident, const char* path, const CResourceSet& set,
                                   const char* file, int pathType, const char* hash, const char* info,
                                   int persistence, int defaults, int gidFilter, unsigned long option) try {
    if (unsigned long e = CheckMembers(set)) return int(e);
    // Code, a pad byte and four offsets (path, file, hash, member paths).
    Bytes b;
    CResWriter w(b);
    w.U8(0x63).U8(0).U16(10).Zeros(6).Cstr(path);
    w.U16At(4, uint16_t(w.Size()));
    w.Cstr(file);
    w.U16At(6, uint16_t(w.Size()));
    w.Cstr(hash).Cstr(info);
    w.U8(uint8_t(pathType)).U8(uint8_t(persistence)).U8(uint8_t(defaults)).U8(uint8_t(gidFilter));
    w.U32LE(uint32_t(option));  // in the sender's byte order
    if (w.Size() > 0xFFFF) return int(ERR_BAD_PARAMETER);
    w.U16At(8, uint16_t(w.Size()));
    for (unsigned long i = 0; i < set.GetNodeCount(); ++i) {
        CResource* member = nullptr;
        set.GetNodeByIndex(i, &member);
        std::string p;
        if (!AbsolutePath(member, ident, p)) return int(ERR_BAD_DATA);
        w.Cstr(p.c_str());
    }
    if (!w.Ok()) return int(ERR_NO_MEMORY);
    int n = 0;
    return SendAssembled(*this, comm, ident, send, recv, b, 0, "ResDumpSet", 0x64, nullptr, &n);
} catch (const std::bad_alloc&) {
    return int(ERR_NO_MEMORY);
}

namespace {

// Positions of the sent items among all items, and a place for each result.
struct MultiPlan {
    Bytes payload;
    std::vector<unsigned long> sentIndex;  // item index of each embedded request
    unsigned long items = 0;
};

}  // namespace

// Walks the embedded replies of a multi exchange: one per sent item, in order.
// `decode` gives the result of one sub-reply. Every item gets a result; when
// the reply holds fewer sub-replies than items were sent, the rest get "bad
// data" and the walk answers false.
template <typename Decode>
static bool WalkReplies(const unsigned char* reply, int n, const MultiPlan& plan, CResourceValueSet& results,
                        Decode decode) {
    CResEmbeddedWalker walk(reply, size_t(n > 0 ? n : 0));
    size_t sent = 0;
    bool complete = true;
    for (unsigned long i = 0; i < plan.items; ++i) {
        if (sent < plan.sentIndex.size() && plan.sentIndex[sent] == i) {
            const uint8_t* item = nullptr;
            uint32_t len = 0;
            ++sent;
            if (complete && !walk.Next(&item, &len)) complete = false;  // reply exhausted
            results.AddVal(CResourceValue(int(complete ? decode(item, len, i) : ERR_BAD_DATA)));
        } else {
            results.AddVal(CResourceValue(int(kMissingItem)));
        }
    }
    return complete;
}

static unsigned long SubReplyResult(const uint8_t* item, uint32_t len, uint8_t code, bool internal) {
    if (len >= 1 && item[0] == code) return 0;
    if (internal && len == 6 && item[0] == RES_ERROR_REPLY) return be_get32(item + 2);
    if (len >= 2 && item[0] == RES_ERROR_REPLY) return item[1];
    return unsigned(RES_ERR_PROTOCOL);
}

// Sends a planned multi request (nothing when no item was sent) and gives
// every item its result: `code` answers success, an error reply carries the
// server's byte (with `internal`, also a 32-bit internal result).
static int ExchangePlan(CResourceClientLib& lib, ResCommType comm, const RES_IDENT_T* ident, unsigned char* send,
                        unsigned char* recv, const MultiPlan& plan, const char* name, uint8_t code, bool internal,
                        CResourceValueSet& results) {
    int n = 0;
    int r = plan.sentIndex.empty() ? 0
                                   : SendAssembled(lib, comm, ident, send, recv, plan.payload,
                                                   int(plan.sentIndex.size()), name, RES_EXT_REPLY, nullptr, &n);
    if (r != 0) return r;
    const bool complete = WalkReplies(recv, n, plan, results, [&](const uint8_t* item, uint32_t len, unsigned long) {
        return SubReplyResult(item, len, code, internal);
    });
    return complete ? 0 : int(ERR_BAD_DATA);
}

// Plans one embedded subscriber request per member of `set` that has an
// identifier in `ids` and an absolute path; `write(w, id, path)` writes it.
// The others are not sent and get the missing-item result.
template <typename Write>
static int PlanSubscribers(const CResourceSet& set, const CResourceValueSet& ids, const RES_IDENT_T* ident,
                           MultiPlan& plan, Write write) {
    plan.items = set.GetNodeCount();
    for (unsigned long i = 0; i < plan.items; ++i) {
        CResource* member = nullptr;
        set.GetNodeByIndex(i, &member);
        bool haveId = false;
        uint32_t id = uint32_t(IntOf(ids, i, &haveId));
        std::string p;
        if (!haveId || !AbsolutePath(member, ident, p)) continue;
        if (p.size() > 255) return int(ERR_BAD_PARAMETER);
        Bytes item;
        CResWriter w(item);
        write(w, id, p.c_str());
        if (!w.Ok()) return int(ERR_NO_MEMORY);
        PutEmbedded(plan.payload, item);
        plan.sentIndex.push_back(i);
    }
    return 0;
}

int CResourceClientLib::ResVerifyMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                                       const RES_IDENT_T* ident, const CResourceValueSet& paths,
                                       CResourceValueSet& results) try {
    MultiPlan plan;
    plan.items = paths.GetValueCount();
    for (unsigned long i = 0; i < plan.items; ++i) {
        CResourceValue* v = nullptr;
        if (paths.GetValueByIndex(i, &v) != 0 || !v || v->Type() != VALUE_TYPE_ASCII) continue;
        std::string p = v->GetAscii();
        if (p.size() > 255) return int(ERR_BAD_PARAMETER);
        Bytes item;
        if (!CResWriter(item).U8(0x47).Lstr(p.c_str()).Ok()) return int(ERR_NO_MEMORY);
        PutEmbedded(plan.payload, item);
        plan.sentIndex.push_back(i);
    }
    return ExchangePlan(*this, comm, ident, send, recv, plan, "ResVerifyMulti", 0x48, false, results);
} catch (const std::bad_alloc&) {
    return int(ERR_NO_MEMORY);
}

int CResourceClientLib::ResAddSubscriberMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                                              const RES_IDENT_T* ident, const CResourceSet& set,
                                              unsigned char flavour, const CResourceValueSet& ids, unsigned char kind,
                                              uint32_t destination, uint32_t param5, int replyKind,
                                              uint32_t replyDestination, CResourceValueSet& results) try {
    if (unsigned long e = CheckMembers(set)) return int(e);
    MultiPlan plan;
    int r = PlanSubscribers(set, ids, ident, plan, [&](CResWriter& w, uint32_t id, const char* path) {
        w.U8(0xA0).U32(id).U8(0).U8(res_reply_kind_byte(replyKind)).U8(flavour).U8(kind).U32(destination);
        w.U32(replyDestination).Lstr(path).U32(param5).U32(0);
    });
    if (r != 0) return r;
    return ExchangePlan(*this, comm, ident, send, recv, plan, "ResAddSubscriberMulti", 0xA1, true, results);
} catch (const std::bad_alloc&) {
    return int(ERR_NO_MEMORY);
}

int CResourceClientLib::ResRemoveSubscriberMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                                                 const RES_IDENT_T* ident, const CResourceSet& set,
                                                 unsigned char flavour, const CResourceValueSet& ids,
                                                 unsigned char kind, uint32_t destination,
                                                 CResourceValueSet& results) try {
    if (unsigned long e = CheckMembers(set)) return int(e);
    MultiPlan plan;
    int r = PlanSubscribers(set, ids, ident, plan, [&](CResWriter& w, uint32_t id, const char* path) {
        w.U8(0xA2).U32(id).U16(0).U8(flavour).U8(kind).U32(destination).Lstr(path).U32(0);
    });
    if (r != 0) return r;
    return ExchangePlan(*this, comm, ident, send, recv, plan, "ResRemoveSubscriberMulti", 0xA3, false, results);
} catch (const std::bad_alloc&) {
    return int(ERR_NO_MEMORY);
}

int CResourceClientLib::ResReadDataMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                                         const RES_IDENT_T* ident, const CResourceSet& set, CResourceValueSet& attrs,
                                         CResourceValueSet& values, CResourceValueSet& results) try {
    if (unsigned long e = CheckMembers(set)) return int(e);
    MultiPlan plan;
    plan.items = set.GetNodeCount();
    for (unsigned long i = 0; i < plan.items; ++i) {
        CResource* member = nullptr;
        set.GetNodeByIndex(i, &member);
        CResourceValue* target = nullptr;
        std::string p;
        if (values.GetValueByIndex(i, &target) != 0 || !target || !AbsolutePath(member, ident, p)) continue;
        Bytes item;
        if (!CResWriter(item).U8(0x0C).Cstr(p.c_str()).U8(uint8_t(target->CopyType())).Ok())
            return int(ERR_NO_MEMORY);
        PutEmbedded(plan.payload, item);
        plan.sentIndex.push_back(i);
    }
    unsigned char* grown = nullptr;
    int n = 0;
    int r = plan.sentIndex.empty() ? 0
                                   : SendAssembled(*this, comm, ident, send, recv, plan.payload,
                                                   int(plan.sentIndex.size()), "ResReadDataMulti", RES_EXT_REPLY,
                                                   &grown, &n);
    if (r != 0) {
        std::free(grown);
        return r;
    }
    const unsigned char* reply = grown ? grown : recv;
    CResEmbeddedWalker walk(reply, size_t(n > 0 ? n : 0));
    size_t sent = 0;
    for (unsigned long i = 0; i < plan.items; ++i) {
        if (sent >= plan.sentIndex.size() || plan.sentIndex[sent] != i) {
            results.AddVal(CResourceValue(int(kMissingItem)));
            attrs.AddPtr(nullptr);
            continue;
        }
        const uint8_t* item = nullptr;
        uint32_t len = 0;
        if (!walk.Next(&item, &len)) {
            // Fewer sub-replies than requests: the rest have no result.
            for (; i < plan.items; ++i) {
                results.AddVal(CResourceValue(int(ERR_BAD_DATA)));
                attrs.AddPtr(nullptr);
            }
            r = int(ERR_BAD_DATA);
            break;
        }
        ++sent;
        CResourceValue* target = nullptr;
        values.GetValueByIndex(i, &target);
        if (len >= 1 && item[0] == 0x0D) {
            ResAttr a{};
            int d = res_decode_attr_data_limits(item, len, comm.version, a, *target);
            results.AddVal(CResourceValue(d));
            CResourceValue record(VALUE_TYPE_TRANSPARENT);
            if (d == 0) {
                record.SetCopyType(COPY_TYPE_COPY);
                record.Set(reinterpret_cast<const char*>(&a), sizeof a, COPY_TYPE_COPY, 0);
            }
            attrs.AddVal(record);
            if (d != 0) {
                r = d;
                break;
            }
        } else {
            results.AddVal(CResourceValue(int(SubReplyResult(item, len, 0x0D, false))));
            attrs.AddVal(CResourceValue(VALUE_TYPE_TRANSPARENT));
        }
    }
    std::free(grown);
    return r;
} catch (const std::bad_alloc&) {
    return int(ERR_NO_MEMORY);
}

}  // namespace ZYRK
