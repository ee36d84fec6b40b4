// CClientResource: the local proxy of one remote resource. Reads and writes
// send one request each through the tree's connection; attributes are cached
// after the first read; a locked structured node collects the writes to its
// children and sends them as one multiple write when it is unlocked.
#include <halvex/client/resourceclientlib.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/postlog.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>
#include <halvex/resource/client_resource.h>
#include <halvex/resource/subscr_kind_internal.h>

#include <cstdlib>
#include <new>

namespace ZYRK {

CClientResource::CClientResource(const CResourcePath& path)
    : m_path(path),
      m_batchIdent{RES_NO_USER, 0},
      m_kind(RES_TYPE_VALUE),
      m_valueType(VALUE_TYPE_INT32),
      m_attr(0xFFFFFFFFu),
      m_openCount(0),
      m_ownerUid(0),
      m_ownerGid(0),
      m_limitsMayExist(true),
      m_locked(false),
      m_tree(nullptr),
      m_next(nullptr) {}

CClientResource::~CClientResource() {
    if (m_tree) m_tree->Remove(this);
}

unsigned long CClientResource::Usable(bool needOpen) const {
    if (!m_tree) return ERR_RES_NOT_IN_TREE;
    if (needOpen && m_openCount.load() <= 0) return ERR_RES_NOT_OPEN;
    return 0;
}

unsigned long CClientResource::GetAbsName(CResourcePath& path) const {
    path = m_path;
    return 0;
}

void CClientResource::CacheAttributes(const ResAttr& a) const {
    m_attr = res_attr_to_word(a);
    if (a.type > 9) {
        SysLogExt::PrintF(1, "CClientResource::CacheAttributes. Invalid value:%d", int(a.type));
    } else if (a.type == 5 || a.type == 6 || a.type == 9) {
        m_kind = RES_TYPE_T(a.type);
        m_valueType = VALUE_TYPE_INT32;
    } else if (a.type != 0) {
        m_kind = RES_TYPE_VALUE;
        m_valueType = VALUE_TYPE_T(a.type);
    }
    m_ownerUid = a.ownerUid;
    m_ownerGid = a.ownerGid;
}

unsigned long CClientResource::ReadAttributes(ResAttr* out) const {
    if (!m_tree) return ERR_RES_NOT_IN_TREE;
    ResAttr a{};
    int r;
    {
        CClientResourceTree::CRequest req(*m_tree);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResReadAttributes(req.Comm(), req.Send(), req.Recv(), m_path.AsChar(), a);
    }
    if (r != 0) return CClientResourceTree::ConvertErrcode(r);
    CacheAttributes(a);
    if (out) *out = a;
    return 0;
}

// ---- values -------------------------------------------------------------------

unsigned long CClientResource::Get(CResourceValue& value, const USER_IDENT_T* ident) const {
    if (unsigned long e = Usable(true)) return e;
    CClientResourceTree::CRequest req(*m_tree);
    CResourceClientLib* lib = req.Lib();
    if (!lib) return req.Refusal();
    if (m_tree->m_version >= 2) {
        ResAttr a{};
        int r = lib->ResReadAttrDataLimits(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), a, value);
        if (r == 0) {
            value.SetHint(a.hintBin ? VALUE_HINT_BINARY
                          : a.hintHex ? VALUE_HINT_HEX
                          : a.hintTime ? VALUE_HINT_TIME
                          : a.hintTemperature ? VALUE_HINT_TEMPERATURE
                                              : VALUE_HINT_NONE);
            CacheAttributes(a);
            return 0;
        }
        // The separate reads are asked for only when the server answered
        // that it does not know or support the combined read. After any other
        // failure (a timeout, a broken or out-of-step stream, a refusal) a
        // second request could only be answered by a stale reply, so the
        // combined read's own result is reported.
        if (r != RES_SERR_OPCODE && r != RES_SERR_NO_READ) return CClientResourceTree::ConvertErrcode(r);
    }
    int r = lib->ResReadData(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), value);
    if (r != 0) return CClientResourceTree::ConvertErrcode(r);
    if (m_limitsMayExist) {
        if (lib->ResReadLimits(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), value) != 0)
            m_limitsMayExist = false;
    }
    return 0;
}

unsigned long CClientResource::CacheLockedChildValue(CClientResource* child, const CResourceValue& value,
                                                     RES_WAIT_T wait, unsigned long waitTime,
                                                     const USER_IDENT_T* ident) {
    CResourcePath name;
    child->GetName(name);
    CResource* held = nullptr;
    unsigned long r = OpenChild(name, &held, ident);
    if (r != 0) return r;
    // The batch set keeps its own hold; the open made here is given back.
    m_batch.Add(held);
    held->Close();
    m_batchValues.AddVal(value);
    m_batchWaits.AddVal(CResourceValue(int(wait)));
    m_batchTimes.AddVal(CResourceValue(int(waitTime)));
    if (ident) m_batchIdent = *ident;
    return 0;
}

unsigned long CClientResource::Set(const CResourceValue& value, RES_WAIT_T wait, unsigned long waitTime,
                                   const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    CClientResourceTree* tree = m_tree;
    std::lock_guard<std::recursive_mutex> lock(*tree->m_mutex);
    CResourcePath parentPath(m_path);
    parentPath.StripName();
    CClientResource* parent = tree->Find(parentPath);
    if (parent && parent != this && parent->m_locked)
        return parent->CacheLockedChildValue(this, value, wait, waitTime, ident);
    CClientResourceTree::CRequest req(*tree);
    if (!req.Lib()) return req.Refusal();
    int r = tree->m_version >= 2
                ? req.Lib()->ResWriteDataEx(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), value,
                                            int(wait), waitTime)
                : req.Lib()->ResWriteData(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), value,
                                          int(wait), waitTime);
    return CClientResourceTree::ConvertErrcode(r);
}

unsigned long CClientResource::Set(const CResource& source, RES_WAIT_T wait, unsigned long, const USER_IDENT_T* ident) {
    CResource& src = const_cast<CResource&>(source);
    CResourceValue value;
    if (!dynamic_cast<const CClientResource*>(&source) && src.ValueType() == VALUE_TYPE_TRANSPARENT) {
        value.SetType(VALUE_TYPE_TRANSPARENT);
        value.SetCopyType(COPY_TYPE_COPY);
    }
    unsigned long r = source.Get(value, ident);
    if (r != 0) return r;
    return Set(value, wait, 0, nullptr);
}

// ---- attributes ----------------------------------------------------------------

unsigned long CClientResource::GetAttr() {
    if (m_attr == 0xFFFFFFFFu && m_tree) ReadAttributes();
    return m_attr;
}

RES_TYPE_T CClientResource::Type() {
    if (m_attr == 0xFFFFFFFFu && m_tree) ReadAttributes();
    return m_kind;
}

unsigned long CClientResource::ValueType(VALUE_TYPE_T& type) const {
    unsigned long r = 0;
    if (m_attr == 0xFFFFFFFFu) r = m_tree ? ReadAttributes() : ERR_RES_NOT_IN_TREE;
    type = m_valueType;
    return r;
}

VALUE_TYPE_T CClientResource::ValueType() {
    VALUE_TYPE_T t;
    return ValueType(t) == 0 ? t : VALUE_TYPE_T(0);
}

unsigned short CClientResource::OwnerUID() {
    GetAttr();
    return m_ownerUid;
}

unsigned short CClientResource::OwnerGID() {
    GetAttr();
    return m_ownerGid;
}

unsigned long CClientResource::GetOpenCount() {
    ResAttr a{};
    if (!m_tree || ReadAttributes(&a) != 0) return 0;
    return a.openCount + 1ul;
}

unsigned long CClientResource::GetChildCount() {
    if (m_tree && m_tree->m_version < 8) return 0xFFFFFFFFul;
    ResAttr a{};
    if (!m_tree || ReadAttributes(&a) != 0) return 0;
    return a.childCount;
}

unsigned long CClientResource::GetNumSubscr() {
    if (unsigned long e = Usable(true)) return e;
    ResAttr a{};
    if (ReadAttributes(&a) != 0) return 0;
    return a.numSubscr;
}

unsigned long CClientResource::GetNumSubscrReply() { return 0; }

bool CClientResource::IsGetSupported() { return GetAttr() & RES_ATTR_OWNER_GET; }
bool CClientResource::IsSetSupported() { return GetAttr() & RES_ATTR_OWNER_SET; }
bool CClientResource::IsCreateSupported() { return GetAttr() & RES_ATTR_OWNER_CREATE; }
bool CClientResource::IsDeleteSupported() { return GetAttr() & RES_ATTR_OWNER_DELETE; }
bool CClientResource::IsPersistent() { return GetAttr() & RES_ATTR_PERSISTENT; }
bool CClientResource::IsSync() { return GetAttr() & RES_ATTR_SYNC; }
bool CClientResource::IsSubscrSupported() { return GetAttr() & RES_ATTR_SUBSCR; }
bool CClientResource::IsRename() { return GetAttr() & RES_ATTR_RENAME; }
bool CClientResource::IsNotifyParent() { return GetAttr() & RES_ATTR_NOTIFY_PARENT; }
bool CClientResource::IsDefaultHinted() { return GetAttr() & RES_ATTR_DEFAULT_HINTED; }

unsigned long CClientResource::AllowedBy(const USER_IDENT_T* ident, uint32_t ownerBit) {
    const uint16_t user = ident ? ident->uid : get_user_id();
    const uint32_t attr = GetAttr();
    if (user == 0 || user == m_ownerUid) return attr & ownerBit;
    if (user_in_group(user, m_ownerGid)) return attr & (ownerBit << 4);
    return attr & (ownerBit << 8);
}

bool CClientResource::IsGetAllowed(const USER_IDENT_T* ident) { return AllowedBy(ident, RES_ATTR_OWNER_GET); }
bool CClientResource::IsSetAllowed(const USER_IDENT_T* ident) { return AllowedBy(ident, RES_ATTR_OWNER_SET); }
bool CClientResource::IsCreateAllowed(const USER_IDENT_T* ident) { return AllowedBy(ident, RES_ATTR_OWNER_CREATE); }
bool CClientResource::IsDeleteAllowed(const USER_IDENT_T* ident) { return AllowedBy(ident, RES_ATTR_OWNER_DELETE); }

bool CClientResource::IsOpenChildAllowed(const USER_IDENT_T* ident) {
    const uint16_t user = ident ? ident->uid : get_user_id();
    return user == 0 || AllowedBy(ident, RES_ATTR_OWNER_GET);
}

bool CClientResource::IsAddChildAllowed(const USER_IDENT_T* ident) {
    const uint16_t user = ident ? ident->uid : get_user_id();
    return user == 0 || AllowedBy(ident, RES_ATTR_OWNER_SET);
}

bool CClientResource::IsResourceOpenCount(unsigned long count) {
    return static_cast<unsigned long>(m_openCount.load()) == count;
}

unsigned long CClientResource::SetAttr(unsigned long flags, RES_RECURSIVE_T recursive, RES_OPERATOR_T op,
                                       const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    ResAttr a{};
    a.ownerGet = (flags & RES_ATTR_OWNER_GET) ? 1 : 0;
    a.ownerSet = (flags & RES_ATTR_OWNER_SET) ? 1 : 0;
    a.ownerCreate = (flags & RES_ATTR_OWNER_CREATE) ? 1 : 0;
    a.ownerDelete = (flags & RES_ATTR_OWNER_DELETE) ? 1 : 0;
    a.persistent = (flags & RES_ATTR_PERSISTENT) ? 1 : 0;
    a.sync = (flags & RES_ATTR_SYNC) ? 1 : 0;
    a.subscrSupported = (flags & RES_ATTR_SUBSCR) ? 1 : 0;
    a.rename = (flags & RES_ATTR_RENAME) ? 1 : 0;
    a.notifyParent = (flags & RES_ATTR_NOTIFY_PARENT) ? 1 : 0;
    a.defaultHinted = (flags & RES_ATTR_DEFAULT_HINTED) ? 1 : 0;
    int r;
    {
        CClientResourceTree::CRequest req(*m_tree);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResSetAttributes(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), a,
                                        int(recursive), int(op));
    }
    m_attr = 0xFFFFFFFFu;
    GetAttr();
    return CClientResourceTree::ConvertErrcode(r);
}

// ---- open count -----------------------------------------------------------------

unsigned long CClientResource::Open() {
    m_openCount.fetch_add(1);
    return 0;
}

unsigned long CClientResource::Close() {
    int32_t n = m_openCount.load();
    while (n > 0 && !m_openCount.compare_exchange_weak(n, n - 1)) {
    }
    if (n <= 0) {
        ce_printmsg(L"CClientResource::Close is already zero for %S\r\n", m_path.AsChar());
        m_openCount.store(0);
        return ERR_ALREADY_CLOSED;
    }
    return 0;
}

// ---- navigation -----------------------------------------------------------------

unsigned long CClientResource::OpenChild(const CResourcePath& name, CResource** out, const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    CResourcePath path(m_path);
    path.Append(name);
    return m_tree->OpenResource(path, out, ident);
}

unsigned long CClientResource::OpenChild(CHILD_INDEX_T which, CResource** out, const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    return m_tree->OpenResource(this, which, out, ident);
}

unsigned long CClientResource::OpenChild(unsigned long index, CResource** out, const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    return m_tree->OpenResource(this, index, out, ident);
}

unsigned long CClientResource::OpenParent(CResource** out, const USER_IDENT_T* ident) const {
    if (unsigned long e = Usable(true)) return e;
    CResourcePath path(m_path);
    path.StripName();
    return m_tree->OpenResource(path, out, ident);
}

unsigned long CClientResource::Iterate(CResource** next, const USER_IDENT_T* ident) const {
    if (next) *next = nullptr;
    if (unsigned long e = Usable(true)) return e;
    CClientResourceTree* tree = m_tree;
    std::lock_guard<std::recursive_mutex> lock(*tree->m_mutex);
    char* name = nullptr;
    int r;
    {
        CClientResourceTree::CRequest req(*tree);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResIterate(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), 2, &name);
    }
    if (r != 0) return static_cast<unsigned long>(uint32_t(r));
    if (!name) return ERR_NO_MEMORY;
    CResourcePath path(m_path);
    path.StripName();
    path.Append(CResourcePath(name));
    std::free(name);
    return tree->OpenResource(path, next, ident);
}

unsigned long CClientResource::GetName(CResourcePath& name) const {
    name = m_path;
    name.StripPath();
    return 0;
}

CResourceTree* CClientResource::GetTree() const { return m_tree; }

// ---- structure -----------------------------------------------------------------

unsigned long CClientResource::SetName(const CResourcePath& newName, RES_WAIT_T wait, unsigned long waitTime,
                                       const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(false)) return e;
    int r;
    {
        CClientResourceTree::CRequest req(*m_tree);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResRenameResource(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                         newName.AsChar(), char(m_kind), int(wait), waitTime);
    }
    if (r == 0) {
        CResourcePath path(m_path);
        path.StripName();
        path.Append(newName);
        m_path = path;
    }
    return CClientResourceTree::ConvertErrcode(r);
}

unsigned long CClientResource::Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                                      const USER_IDENT_T* ident) {
    return CreateChild(nullptr, out, wait, waitTime, ident);
}

unsigned long CClientResource::Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait,
                                      unsigned long waitTime, const USER_IDENT_T* ident) {
    return CreateChild(&name, out, wait, waitTime, ident);
}

unsigned long CClientResource::CreateChild(const CResourcePath* name, CResource** out, RES_WAIT_T wait,
                                           unsigned long waitTime, const USER_IDENT_T* ident) {
    if (out) *out = nullptr;
    if (unsigned long e = Usable(true)) return e;
    char* created = nullptr;
    int r;
    {
        CClientResourceTree::CRequest req(*m_tree);
        if (!req.Lib()) return req.Refusal();
        r = name ? req.Lib()->ResCreateNamedInstance(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                                     name->AsChar(), int(wait), waitTime, &created)
                 : req.Lib()->ResCreateInstance(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                                int(wait), waitTime, &created);
    }
    if (r != 0) return CClientResourceTree::ConvertErrcode(r);
    CClientResource* res = new (std::nothrow) CClientResource(CResourcePath(created));
    std::free(created);
    if (!res) return ERR_NO_MEMORY;
    m_tree->Add(res);
    if (out) *out = res;
    return 0;
}

unsigned long CClientResource::Delete(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(false)) return e;
    if (m_openCount.load() != 1) return ERR_RES_NOT_CLOSED;
    int r;
    {
        CClientResourceTree::CRequest req(*m_tree);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResDeleteInstance(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), int(wait),
                                         waitTime);
    }
    if (r != 0) return CClientResourceTree::ConvertErrcode(r);
    return m_tree->Remove(this);
}

unsigned long CClientResource::DeleteAll(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) {
    return Delete(wait, waitTime, ident);
}

// ---- subscriptions --------------------------------------------------------------

unsigned long CClientResource::AddSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                         unsigned long identifier, unsigned long param5, RES_SUBSCR_T replyKind,
                                         unsigned long replyDestination, unsigned long param8,
                                         const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    ResSubscrKind m = res_subscr_kind(kind, m_tree->m_version);
    if (unsigned long refusal = res_subscr_refusal(m, m_tree->m_version, false)) return refusal;
    if (!res_subscr_reply_kind_ok(replyKind)) return ERR_BAD_DATA;
    CClientResourceTree::CRequest req(*m_tree);
    if (!req.Lib()) return req.Refusal();
    int r = m.udp ? req.Lib()->ResAddUDPSubscriber(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                                   m.flavour, m.kind, uint32_t(identifier), port, uint32_t(param8))
                  : req.Lib()->ResAddSubscriber(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), m.flavour,
                                                uint32_t(identifier), m.kind, uint32_t(destination), uint32_t(param5),
                                                int(replyKind), uint32_t(replyDestination), uint32_t(param8));
    return CClientResourceTree::ConvertErrcode(r);
}

unsigned long CClientResource::AddInfoSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                             unsigned long identifier, unsigned long param5,
                                             const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    if (m_tree->m_version < 2) return ERR_UNSUPPORTED;
    ResSubscrKind m = res_subscr_kind(kind, m_tree->m_version);
    if (unsigned long refusal = res_subscr_refusal(m, m_tree->m_version, false)) return refusal;
    m.kind = uint8_t(m.kind + 0x10);
    CClientResourceTree::CRequest req(*m_tree);
    if (!req.Lib()) return req.Refusal();
    int r = m.udp ? req.Lib()->ResAddUDPSubscriber(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                                   m.flavour, m.kind, uint32_t(identifier), port, 0)
                  : req.Lib()->ResAddSubscriber(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(), m.flavour,
                                                uint32_t(identifier), m.kind, uint32_t(destination), uint32_t(param5),
                                                10, 0, 0);
    return CClientResourceTree::ConvertErrcode(r);
}

unsigned long CClientResource::RemoveSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                            unsigned long identifier, const USER_IDENT_T* ident) {
    if (unsigned long e = Usable(true)) return e;
    ResSubscrKind m = res_subscr_kind(kind, m_tree->m_version);
    if (unsigned long refusal = res_subscr_refusal(m, m_tree->m_version, true)) return refusal;
    CClientResourceTree::CRequest req(*m_tree);
    if (!req.Lib()) return req.Refusal();
    int r = m.udp ? req.Lib()->ResRemoveUDPSubscriber(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                                      m.flavour, uint32_t(identifier), port)
                  : req.Lib()->ResRemoveSubscriber(req.Comm(), req.Send(), req.Recv(), ident, m_path.AsChar(),
                                                   m.flavour, uint32_t(identifier), m.kind, uint32_t(destination));
    return CClientResourceTree::ConvertErrcode(r);
}

void CClientResource::DumpSubscr() {
    if (Usable(true) != 0) return;
    CClientResourceTree::CRequest req(*m_tree);
    if (req.Lib()) req.Lib()->ResSendDebugCommand(req.Comm(), req.Send(), req.Recv(), nullptr, m_path.AsChar(), 16);
}

// ---- batches --------------------------------------------------------------------

unsigned long CClientResource::Lock() {
    RES_TYPE_T kind = Type();
    if (kind == RES_TYPE_STRUCT || kind == RES_TYPE_STRUCT2) m_locked = true;
    Open();
    return 0;
}

unsigned long CClientResource::Unlock() {
    m_locked = false;
    int r = 0;
    if (m_tree && m_batch.GetNodeCount() > 0) {
        const USER_IDENT_T* ident = m_batchIdent.uid == RES_NO_USER ? nullptr : &m_batchIdent;
        CClientResourceTree::CRequest req(*m_tree);
        r = req.Lib() ? req.Lib()->ResWriteDataMulti(req.Comm(), req.Send(), req.Recv(), ident, this, m_batch,
                                                     m_batchValues, m_batchWaits, m_batchTimes)
                      : int(req.Refusal());
    }
    // The batch is sent once: a later lock starts from an empty one.
    m_batch.RemoveAll();
    m_batchValues.RemoveAll();
    m_batchWaits.RemoveAll();
    m_batchTimes.RemoveAll();
    Close();
    m_batchIdent.uid = RES_NO_USER;
    return static_cast<unsigned long>(uint32_t(r));
}

}  // namespace ZYRK
