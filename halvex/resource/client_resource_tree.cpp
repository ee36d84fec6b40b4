// CClientResourceTree: connection, session and version handling, the list of
// open resources, opening by path, bulk, subscription and maintenance
// requests, and the waiting for notification datagrams.
#include <halvex/client/res_cancel.h>
#include <halvex/client/resourceclientlib_bio.h>
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/postlog.h>
#include <halvex/resource/client_resource.h>
#include <halvex/resource/subscr_kind_internal.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace ZYRK {

namespace {

constexpr unsigned long kTlsOpenFailed = 0xFFFFFFFFul;

}  // namespace

// ---- request scope -----------------------------------------------------------

CClientResourceTree::CRequest::CRequest(CClientResourceTree& tree) : m_tree(tree) {
    m_tree.m_mutex->lock();
    if (!m_tree.m_session && !m_tree.Cancelled()) m_tree.Connect();  // a failure shows in the request
}

CClientResourceTree::CRequest::~CRequest() {
    CResourceClientLib* lib = m_tree.m_lib;
    if (m_tree.m_session && m_tree.m_connected && lib && lib->StreamFault() != 0) {
        // A reply read from now on could answer an earlier request: the
        // session's connection is given up, and its requests fail with the
        // result that broke it until the caller initialises the tree again.
        m_tree.m_broken = ConvertErrcode(lib->StreamFault());
        m_tree.Disconnect();
    }
    if (!m_tree.m_session) m_tree.Disconnect();
    m_tree.m_mutex->unlock();
}

CResourceClientLib* CClientResourceTree::CRequest::Lib() const {
    return m_tree.m_connected && m_tree.m_broken == 0 && !m_tree.Cancelled() ? m_tree.m_lib : nullptr;
}

unsigned long CClientResourceTree::CRequest::Refusal() const {
    if (m_tree.Cancelled()) return ERR_GROUP_INTERRUPTED;
    if (m_tree.m_broken != 0) return m_tree.m_broken;
    return ERR_CANT_GET_HANDLE;
}

ResCommType CClientResourceTree::CRequest::Comm() const {
    return ResCommType{m_tree.m_kind, m_tree.m_timeout, m_tree.m_version};
}

// ---- construction ------------------------------------------------------------

CClientResourceTree::CClientResourceTree()
    : m_initialised(false),
      m_connected(false),
      m_session(false),
      m_kind(RES_COMM_TCP),
      m_timeout(0),
      m_version(0),
      m_port(0),
      m_mutex(nullptr),
      m_lib(nullptr),
      m_notifySocket(-1),
      m_notifyPort(0),
      m_send(nullptr),
      m_recv(nullptr),
      m_open(nullptr),
      m_highestVersion(0),
      m_useTls(false),
      m_strict(true),
      m_certificate(nullptr),
      m_key(nullptr),
      m_broken(0),
      m_cancel(nullptr) {
    m_trustFile[0] = 0;
}

CClientResourceTree::~CClientResourceTree() {
    if (m_initialised) {
        m_mutex->lock();
        Disconnect();
        Purge();
        // Resources the caller still holds stay valid objects but leave the
        // tree: their requests answer "resource not in tree".
        while (m_open) {
            CClientResource* r = m_open;
            m_open = r->m_next;
            r->m_tree = nullptr;
            r->m_next = nullptr;
        }
        delete[] m_send;
        delete[] m_recv;
        m_send = m_recv = nullptr;
        m_mutex->unlock();
        delete m_mutex;
        m_mutex = nullptr;
    }
}

unsigned long CClientResourceTree::ConvertErrcode(int engineResult) { return res_convert_errcode(engineResult); }

CClientResource* CClientResourceTree::AsClient(const CResource* resource) {
    return const_cast<CClientResource*>(dynamic_cast<const CClientResource*>(resource));
}

// ---- connection ----------------------------------------------------------------

bool CClientResourceTree::Cancelled() const { return m_cancel && m_cancel->IsCancelled(); }

void CClientResourceTree::SetCancel(const CResCancel* cancel) {
    m_cancel = cancel;
    if (m_lib) m_lib->SetCancel(cancel);
}

unsigned long CClientResourceTree::Connect() {
    if (m_connected) return 0;
    if (Cancelled()) return ERR_GROUP_INTERRUPTED;
    const char* address = m_address.AsChar();
    if (m_useTls) {
        CResourceClientLibBio* bio = new (std::nothrow)
            CResourceClientLibBio(address, m_port, m_certificate, m_key, m_trustFile, m_strict);
        if (!bio) return ERR_NO_MEMORY;
        bio->SetCancel(m_cancel);
        bio->SetConnectTimeout(m_timeout);
        if (bio->Open() < 0) {
            delete bio;
            return kTlsOpenFailed;
        }
        m_lib = bio;
        m_kind = RES_COMM_TLS;
    } else {
        CResourceClientLibSocket* sock = new (std::nothrow) CResourceClientLibSocket(address, m_port);
        if (!sock) return ERR_NO_MEMORY;
        sock->SetCancel(m_cancel);
        sock->SetConnectTimeout(m_timeout);
        sock->Open();
        m_lib = sock;
        m_kind = RES_COMM_TCP;
    }
    if (m_lib->TmpGetSocket() == 0) {
        delete m_lib;
        m_lib = nullptr;
        return ERR_CANT_GET_HANDLE;
    }
    unsigned long result = 0;
    if (m_timeout) m_lib->ResSetTimeout(m_timeout);
    m_connected = true;
    if (m_session) {
        ResCommType comm{m_kind, m_timeout, m_version};
        result = ConvertErrcode(m_lib->ResOpenSession(comm, m_send, m_recv, 0));
    }
    return result;
}

unsigned long CClientResourceTree::Disconnect() {
    if (m_connected) {
        // The session is closed politely only on a stream that is in step.
        if (m_session && m_lib && m_lib->StreamFault() == 0) {
            ResCommType comm{m_kind, m_timeout, m_version};
            m_lib->ResCloseSession(comm, m_send, m_recv);
        }
        if ((m_kind == RES_COMM_TCP || m_kind == RES_COMM_TLS) && m_lib) {
            m_lib->Close();
            delete m_lib;
            m_lib = nullptr;
        }
        m_connected = false;
    }
    if (m_notifySocket >= 0) {
        ::close(m_notifySocket);
        m_notifySocket = -1;
    }
    return 0;
}

unsigned long CClientResourceTree::NegotiateVersion() {
    ResCommType comm{m_kind, m_timeout, m_version};
    unsigned char version = 0;
    int r = m_lib->ResProtocolVersion(comm, m_send, m_recv, &version);
    if (r == 0) m_version = version;
    return ConvertErrcode(r);
}

unsigned long CClientResourceTree::Init(const char* address, unsigned short port, bool session) {
    if (!m_initialised) {
        unsigned char* send = new (std::nothrow) unsigned char[RES_BUFFER_SIZE];
        unsigned char* recv = new (std::nothrow) unsigned char[RES_BUFFER_SIZE];
        std::recursive_mutex* mutex = new (std::nothrow) std::recursive_mutex;
        if (!send || !recv || !mutex) {
            delete[] send;
            delete[] recv;
            delete mutex;
            return ERR_NO_MEMORY;
        }
        std::memset(send, 0, RES_BUFFER_SIZE);
        std::memset(recv, 0, RES_BUFFER_SIZE);
        m_send = send;
        m_recv = recv;
        m_mutex = mutex;
        m_address = address ? address : "";
        m_port = port;
        m_session = session;
        m_initialised = true;
    }
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    // Initialising again gives a broken session a new connection.
    if (m_broken != 0) {
        Disconnect();
        m_broken = 0;
    }
    unsigned long result = Connect();
    if (result == 0) {
        result = NegotiateVersion();
        if (result == 0) m_highestVersion = m_version;
    }
    if (!m_session || result != 0) Disconnect();
    return result;
}

unsigned long CClientResourceTree::Init(const char* address, unsigned short port, X509* certificate, EVP_PKEY* key,
                                        char* trustFile, bool strict, bool session) {
    m_strict = strict;
    m_certificate = certificate;
    m_key = key;
    m_useTls = true;
    std::snprintf(m_trustFile, sizeof m_trustFile, "%s", trustFile ? trustFile : "");
    return Init(address, port, session);
}

unsigned long CClientResourceTree::Reinit(const char* address, unsigned short port, bool session) {
    if (!m_initialised) return ERR_UNINITIALIZED;
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    Disconnect();
    m_broken = 0;
    if (address) m_address = address;
    if (port) m_port = port;
    m_session = session;
    m_version = 0;
    unsigned long result = Connect();
    int r = 0;
    if (result == 0) {
        ResCommType comm{m_kind, m_timeout, m_version};
        unsigned char version = 0;
        r = m_lib->ResProtocolVersion(comm, m_send, m_recv, &version);
        if (r == 0) m_version = version;
    }
    if (!m_session || result != 0 || r != 0) Disconnect();
    return result != 0 ? result : static_cast<unsigned long>(uint32_t(r));
}

unsigned long CClientResourceTree::SetTimeout(unsigned long milliseconds) {
    if (!m_initialised) {
        m_timeout = uint32_t(milliseconds);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    m_timeout = uint32_t(milliseconds);
    if ((m_kind == RES_COMM_TCP || m_kind == RES_COMM_TLS) && m_lib) m_lib->ResSetTimeout(m_timeout);
    return 0;
}

unsigned long CClientResourceTree::SetVersion(unsigned char version) {
    if (version > m_highestVersion) return ERR_UNSUPPORTED;
    m_version = version;
    return 0;
}

unsigned long CClientResourceTree::DumpInternalSocketStructure(char*, unsigned long) {
    return m_kind == RES_COMM_FMP ? 0 : ERR_UNSUPPORTED;
}

unsigned long CClientResourceTree::Authenticate(const char* user, const char* password) {
    if (m_kind == RES_COMM_FMP || m_kind == RES_COMM_FMP_TCP) return ERR_UNSUPPORTED;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResSendAuth(req.Comm(), req.Send(), req.Recv(), user, password));
}

unsigned long CClientResourceTree::Ping() {
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    req.Lib()->ResFlushBuffers();
    CResourceValue scratch;
    return ConvertErrcode(req.Lib()->ResReadData(req.Comm(), req.Send(), req.Recv(), nullptr, ".", scratch));
}

// ---- list of open resources ------------------------------------------------------

CClientResource* CClientResourceTree::Find(const CResourcePath& path) {
    for (CClientResource* r = m_open; r; r = r->m_next)
        if (r->m_path.Compare(path) == 0) return r;
    return nullptr;
}

void CClientResourceTree::Add(CClientResource* resource) {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    resource->m_tree = this;
    resource->m_next = m_open;
    m_open = resource;
    resource->Open();
}

unsigned long CClientResourceTree::Remove(CClientResource* resource) {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    if (!m_open) return ERR_RES_NOT_IN_TREE;
    for (CClientResource** p = &m_open; *p; p = &(*p)->m_next) {
        if (*p == resource) {
            *p = resource->m_next;
            resource->m_tree = nullptr;
            resource->m_next = nullptr;
            return 0;
        }
    }
    return ERR_NOT_FOUND;
}

void CClientResourceTree::Purge() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    CClientResource* r = m_open;
    while (r) {
        CClientResource* next = r->m_next;
        if (r->m_openCount.load() == 0) {
            Remove(r);
            delete r;
        }
        r = next;
    }
}

// ---- opening -------------------------------------------------------------------

unsigned long CClientResourceTree::OpenResource(const CResourcePath& path, CResource** out,
                                                const USER_IDENT_T* ident) {
    if (!out) return ERR_BAD_POINTER;
    *out = nullptr;
    if (!m_initialised) return ERR_UNINITIALIZED;
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    if (CClientResource* found = Find(path)) {
        found->Open();
        *out = found;
        return 0;
    }
    int r;
    {
        CRequest req(*this);
        if (!req.Lib()) return req.Refusal();
        if (m_version >= 2) {
            r = req.Lib()->ResVerify(req.Comm(), req.Send(), req.Recv(), ident, path.AsChar());
        } else {
            ResAttr attr{};
            r = req.Lib()->ResReadAttributes(req.Comm(), req.Send(), req.Recv(), path.AsChar(), attr);
        }
    }
    if (r != 0) return ConvertErrcode(r);
    CClientResource* created = new (std::nothrow) CClientResource(path);
    if (!created) return ERR_NO_MEMORY;
    Purge();
    Add(created);
    *out = created;
    return 0;
}

CResource* CClientResourceTree::OpenRoot() {
    CResource* root = nullptr;
    return OpenResource(CResourcePath("."), &root, nullptr) == 0 ? root : nullptr;
}

unsigned long CClientResourceTree::OpenResource(CResource* parent, const CResourcePath& relativePath,
                                                CResource** out, const USER_IDENT_T* ident) {
    CClientResource* p = AsClient(parent);
    if (!p || relativePath.Type() != CResourcePath::RELATIVE) return ERR_BAD_DATA;
    CResourcePath path(p->m_path);
    path.Append(relativePath);
    return OpenResource(path, out, ident);
}

unsigned long CClientResourceTree::OpenByIteration(CResource* parent, unsigned char selector, CResource** out,
                                                   const USER_IDENT_T* ident) {
    CClientResource* p = AsClient(parent);
    if (!p) return ERR_BAD_DATA;
    if (!out) return ERR_BAD_POINTER;
    *out = nullptr;
    if (!m_initialised) return ERR_UNINITIALIZED;
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    char* name = nullptr;
    int r;
    {
        CRequest req(*this);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResIterate(req.Comm(), req.Send(), req.Recv(), ident, p->m_path.AsChar(), selector, &name);
    }
    if (r != 0) return ConvertErrcode(r);
    if (!name) return ERR_NO_MEMORY;
    CResourcePath path(p->m_path);
    path.Append(CResourcePath(name));
    std::free(name);
    return OpenResource(path, out, ident);
}

unsigned long CClientResourceTree::OpenResource(CResource* parent, CHILD_INDEX_T which, CResource** out,
                                                const USER_IDENT_T* ident) {
    return OpenByIteration(parent, which == CHILD_INDEX_FIRST ? 0 : 1, out, ident);
}

unsigned long CClientResourceTree::OpenResource(CResource* parent, unsigned long index, CResource** out,
                                                const USER_IDENT_T* ident) {
    if (out) *out = nullptr;
    if (m_version < 8 || index > 251) return ERR_UNSUPPORTED;
    // The iteration codes from 4 upward select a child by its index.
    return OpenByIteration(parent, uint8_t(index + 4), out, ident);
}

unsigned long CClientResourceTree::GetAbsolutePath(const CResource* resource, CResourcePath& path,
                                                   const USER_IDENT_T*) {
    CClientResource* r = AsClient(resource);
    if (!r) return ERR_BAD_DATA;
    path = r->m_path;
    return 0;
}

unsigned long CClientResourceTree::GetRelativePath(const CResource* resource, const CResource* base,
                                                   CResourcePath& path, const USER_IDENT_T*) {
    CClientResource* r = AsClient(resource);
    CClientResource* b = AsClient(base);
    if (!r || !b) return ERR_BAD_DATA;
    path = r->m_path;
    path.Subtract(b->m_path);
    return 0;
}

unsigned long CClientResourceTree::GetLevelsDown(CResource* resource) {
    CClientResource* r = AsClient(resource);
    if (!r) return ERR_BAD_DATA;
    return r->m_path.GetLevelsDown();
}

unsigned long CClientResourceTree::GetNodeServerAddrPort(const CClientResource* resource, CText& address,
                                                         unsigned short& port, CResourcePath& mountPath,
                                                         const USER_IDENT_T* ident) {
    if (!resource) return ERR_BAD_DATA;
    CResourcePath path(resource->m_path);
    while (path.GetLevelsDown() > 0) {
        path.StripName();
        if (path.GetLength() == 0) break;
        CResource* ancestor = nullptr;
        unsigned long r = OpenResource(path, &ancestor, ident);
        if (r != 0) return r;
        if (ancestor->Type() == RES_TYPE_MOUNT) {
            CResourceValue v(VALUE_TYPE_ASCII);
            r = ancestor->Get(v, ident);
            CResourcePath at;
            GetAbsolutePath(ancestor, at, ident);
            ancestor->Close();
            if (r != 0) return r;
            // "<address>:<port in hex>[/tcp|/fmp]", from the server: anything
            // else, a port out of range included, is refused rather than
            // truncated.
            const char* ascii = v.GetAscii();
            const std::string text = ascii ? ascii : "";
            const size_t colon = text.find(':');
            if (colon == std::string::npos) return ERR_BAD_DATA;
            const char* first = text.data() + colon + 1;
            const char* last = text.data() + text.size();
            unsigned int p = 0;
            const auto [end, ec] = std::from_chars(first, last, p, 16);
            if (ec != std::errc() || (end != last && *end != '/') || p > 0xFFFF) return ERR_BAD_DATA;
            address = text.substr(0, colon).c_str();
            port = static_cast<unsigned short>(p);
            mountPath = at;
            return 0;
        }
        ancestor->Close();
    }
    address = m_address;
    port = m_port;
    mountPath = CResourcePath(".");
    return 0;
}

// ---- bulk -------------------------------------------------------------------------

unsigned long CClientResourceTree::OpenResources(const CResourceValueSet& paths, CResourceSet** out,
                                                 const USER_IDENT_T* ident) {
    if (out) *out = nullptr;
    if (!m_initialised) return ERR_UNINITIALIZED;
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    CResourceValueSet results;
    int r;
    {
        CRequest req(*this);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResVerifyMulti(req.Comm(), req.Send(), req.Recv(), ident, paths, results);
    }
    if (r == 0 && out) {
        if (results.GetValueCount() != paths.GetValueCount()) return ERR_BAD_DATA;
        CResourceSet* set = new (std::nothrow) CResourceSet;
        if (!set) return ERR_NO_MEMORY;
        *out = set;
        for (unsigned long i = 0; i < paths.GetValueCount(); ++i) {
            CResourceValue* result = nullptr;
            CResourceValue* text = nullptr;
            if (results.GetValueByIndex(i, &result) != 0 || !result || result->GetInt() != 0) continue;
            if (paths.GetValueByIndex(i, &text) != 0 || !text) continue;
            CResourcePath path(text->GetAscii());
            CClientResource* res = Find(path);
            if (res) {
                res->Open();
            } else {
                res = new (std::nothrow) CClientResource(path);
                if (!res) continue;
                Add(res);
            }
            set->Add(res);
        }
    }
    Purge();
    return ConvertErrcode(r);
}

unsigned long CClientResourceTree::GetResources(const CResourceSet& resources, CResourceValueSet& values,
                                                CResourceValueSet& results, const USER_IDENT_T* ident) {
    if (m_version < 7) return ERR_UNSUPPORTED;
    if (!m_initialised) return ERR_UNINITIALIZED;
    if (values.GetValueCount() == 0)
        for (unsigned long i = 0; i < resources.GetNodeCount(); ++i) values.AddVal(CResourceValue(0));
    CResourceValueSet attrs;
    int r;
    {
        CRequest req(*this);
        if (!req.Lib()) return req.Refusal();
        r = req.Lib()->ResReadDataMulti(req.Comm(), req.Send(), req.Recv(), ident, resources, attrs, values, results);
    }
    if (r == 0) {
        for (unsigned long i = 0; i < resources.GetNodeCount(); ++i) {
            CResource* res = nullptr;
            CResourceValue* record = nullptr;
            CResourceValue* value = nullptr;
            if (resources.GetNodeByIndex(i, &res) != 0 || !res) continue;
            if (attrs.GetValueByIndex(i, &record) != 0 || !record) continue;
            if (values.GetValueByIndex(i, &value) != 0 || !value) continue;
            char* data = nullptr;
            unsigned long size = 0, revision = 0;
            record->GetTransparent(&data, size, revision, COPY_TYPE_REFERENCE);
            if (!data || size != sizeof(ResAttr)) continue;
            ResAttr a;
            std::memcpy(&a, data, sizeof a);
            value->SetHint(a.hintBin ? VALUE_HINT_BINARY
                           : a.hintHex ? VALUE_HINT_HEX
                           : a.hintTime ? VALUE_HINT_TIME
                           : a.hintTemperature ? VALUE_HINT_TEMPERATURE
                                               : value->Hint());
            if (CClientResource* c = AsClient(res)) c->CacheAttributes(a);
        }
    }
    return ConvertErrcode(r);
}

unsigned long CClientResourceTree::AddResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind,
                                                      unsigned long destination, unsigned short,
                                                      const CResourceValueSet& identifiers, unsigned long param5,
                                                      CResourceValueSet& results, RES_SUBSCR_T replyKind,
                                                      unsigned long replyDestination, const USER_IDENT_T* ident) {
    if (m_version < 7) return ERR_UNSUPPORTED;
    ResSubscrKind k = res_subscr_kind(kind, m_version);
    if (!k.known || k.bulk == 0) return ERR_BAD_DATA;
    if (k.bulk == 2) return ERR_UNSUPPORTED;
    if (!res_subscr_reply_kind_ok(replyKind)) return ERR_BAD_DATA;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResAddSubscriberMulti(
        req.Comm(), req.Send(), req.Recv(), ident, resources, k.flavour, identifiers, k.kind, uint32_t(destination),
        uint32_t(param5), int(replyKind), uint32_t(replyDestination), results));
}

unsigned long CClientResourceTree::RemoveResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind,
                                                         unsigned long destination, unsigned short,
                                                         const CResourceValueSet& identifiers,
                                                         CResourceValueSet& results, const USER_IDENT_T* ident) {
    if (m_version < 7) return ERR_UNSUPPORTED;
    ResSubscrKind k = res_subscr_kind(kind, m_version);
    if (!k.known || k.bulk == 0) return ERR_BAD_DATA;
    if (k.bulk == 2) return ERR_UNSUPPORTED;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResRemoveSubscriberMulti(req.Comm(), req.Send(), req.Recv(), ident, resources,
                                                              k.flavour, identifiers, k.kind,
                                                              uint32_t(destination), results));
}

// ---- tree subscriptions and maintenance ----------------------------------------

unsigned long CClientResourceTree::AddSubscr(unsigned long eventMask, RES_SUBSCR_T kind, unsigned long destination,
                                             unsigned short port, unsigned long param, unsigned long,
                                             const USER_IDENT_T* ident) {
    ResSubscrKind k = res_subscr_kind(kind, m_version);
    if (!k.known || !k.treeUse) return ERR_BAD_DATA;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResAddTreeSubscriber(req.Comm(), req.Send(), req.Recv(), ident,
                                                          uint32_t(eventMask), k.kind, k.flavour,
                                                          uint32_t(destination), port, uint32_t(param)));
}

unsigned long CClientResourceTree::RemoveSubscr(unsigned long eventMask, RES_SUBSCR_T kind, unsigned long destination,
                                                unsigned short port, const USER_IDENT_T* ident) {
    ResSubscrKind k = res_subscr_kind(kind, m_version);
    if (!k.known || !k.treeUse) return ERR_BAD_DATA;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResRemoveTreeSubscriber(req.Comm(), req.Send(), req.Recv(), ident,
                                                             uint32_t(eventMask), k.kind, k.flavour,
                                                             uint32_t(destination), port));
}

unsigned long CClientResourceTree::Dump(CResource* resource, const char* fileName, CResourceSet* set,
                                        PATH_TYPE_T pathType, const char* hash, const char* info,
                                        PERSISTENCE_T persistence, DEFAULT_T defaults, const USER_IDENT_T* ident,
                                        GID_FILTER_T gidFilter, unsigned long option) {
    CClientResource* r = AsClient(resource);
    if (!r) return ERR_BAD_DATA;
    if (r->m_tree != this) return ERR_RES_NOT_IN_TREE;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    int e = set ? req.Lib()->ResDumpSet(req.Comm(), req.Send(), req.Recv(), ident, r->m_path.AsChar(), *set, fileName,
                                        int(pathType), hash, info, int(persistence), int(defaults), int(gidFilter),
                                        option)
                : req.Lib()->ResDump(req.Comm(), req.Send(), req.Recv(), ident, r->m_path.AsChar(), fileName,
                                     int(pathType), hash, info, int(persistence), int(defaults), int(gidFilter),
                                     option);
    return ConvertErrcode(e);
}

unsigned long CClientResourceTree::Reload(CResource* resource, const char* fileName, HASH_TYPE_T hash,
                                          const char* info, INFO_TYPE_T infoType, const USER_IDENT_T* ident) {
    CClientResource* r = AsClient(resource);
    if (!r) return ERR_BAD_DATA;
    if (r->m_tree != this) return ERR_RES_NOT_IN_TREE;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResReload(req.Comm(), req.Send(), req.Recv(), ident, r->m_path.AsChar(),
                                               fileName, uint8_t(hash), info, uint8_t(infoType)));
}

unsigned long CClientResourceTree::Reload(CResource*, const wchar_t*, HASH_TYPE_T, const char*, INFO_TYPE_T,
                                          const USER_IDENT_T*) {
    return ERR_UNSUPPORTED;
}

unsigned long CClientResourceTree::Reload(CResource*, const wchar_t*, unsigned long, HASH_TYPE_T, const char*,
                                          INFO_TYPE_T, const USER_IDENT_T*) {
    return ERR_UNSUPPORTED;
}

unsigned long CClientResourceTree::Reload(CResource*, const char*, unsigned long, HASH_TYPE_T, const char*,
                                          INFO_TYPE_T, const USER_IDENT_T*) {
    return ERR_UNSUPPORTED;
}

void CClientResourceTree::DumpAggregates() {
    if (!m_initialised) return;
    CRequest req(*this);
    if (req.Lib()) req.Lib()->ResSendDebugCommand(req.Comm(), req.Send(), req.Recv(), nullptr, "", 17);
}

unsigned long CClientResourceTree::MountSubtree(CResource* at, const CResourcePath& name, unsigned short port,
                                                const USER_IDENT_T* ident) {
    CClientResource* r = AsClient(at);
    if (!r) return ERR_BAD_DATA;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(req.Lib()->ResMountSubtree(req.Comm(), req.Send(), req.Recv(), ident, r->m_path.AsChar(),
                                                     name.AsChar(), port));
}

unsigned long CClientResourceTree::UnmountSubtree(CResource* at, const CResourcePath& relative,
                                                  const USER_IDENT_T* ident) {
    CClientResource* r = AsClient(at);
    if (!r) return ERR_BAD_DATA;
    if (!m_initialised) return ERR_UNINITIALIZED;
    CResourcePath path(r->m_path);
    path.Append(relative);
    CRequest req(*this);
    if (!req.Lib()) return req.Refusal();
    return ConvertErrcode(
        req.Lib()->ResUnmountSubtree(req.Comm(), req.Send(), req.Recv(), ident, path.AsChar()));
}

// ---- notifications ------------------------------------------------------------------

unsigned long CClientResourceTree::WaitForNotify(unsigned short port, unsigned long& id, CResourceValue& value,
                                                 unsigned int cancelSocket) {
    if (m_notifySocket >= 0 && m_notifyPort != port) {
        ::close(m_notifySocket);
        m_notifySocket = -1;
    }
    if (m_notifySocket < 0) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return ERR_CANT_READ_SOCKET;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ce_printmsg(L"ResWaitForNotify bind(): errno = %d\r\n", 10000 + errno);
            ::close(fd);
            return ERR_CANT_READ_SOCKET;
        }
        m_notifySocket = fd;
        m_notifyPort = port;
    }
    if (cancelSocket != 0xFFFFFFFFu) {
        pollfd p[2] = {{m_notifySocket, POLLIN, 0}, {int(cancelSocket), POLLIN, 0}};
        int r;
        do {
            r = ::poll(p, 2, -1);
        } while (r < 0 && errno == EINTR);
        if (r < 0 || (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            id = 0xFFFFFFFFul;
            return 0;
        }
    }
    uint8_t datagram[1020];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n;
    do {
        n = ::recvfrom(m_notifySocket, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return ERR_CANT_READ_SOCKET;
    if (res_decode_notify(datagram, size_t(n), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), &id, value) != 0)
        return ERR_CANT_READ_SOCKET;
    m_notifyPort = port;
    return 0;
}

}  // namespace ZYRK
