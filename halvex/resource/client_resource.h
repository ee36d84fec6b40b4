// The client side of a resource tree: CClientResourceTree connects to a
// resource server (plain TCP or TLS), negotiates the protocol version and
// hands out CClientResource objects, local proxies of remote nodes opened by
// path. Every request of one tree runs under its recursive mutex; results of
// the protocol engine pass through ConvertErrcode.
//
// Both classes implement the abstract CResource and CResourceTree, whose
// virtual operations keep their declared order.
#pragma once

#include <halvex/client/res_protocol.h>
#include <halvex/halvex_export.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/resource_value.h>
#include <halvex/text/text.h>

#include <atomic>
#include <cstdint>
#include <mutex>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace ZYRK {

class CResCancel;
class CResourceClientLib;
class CClientResourceTree;

class HALVEX_API CClientResource : public CResource {
public:
    explicit CClientResource(const CResourcePath& path);
    ~CClientResource() override;

    unsigned long Set(const CResource& source, RES_WAIT_T wait, unsigned long waitTime,
                      const USER_IDENT_T* ident) override;
    unsigned long Set(const CResourceValue& value, RES_WAIT_T wait, unsigned long waitTime,
                      const USER_IDENT_T* ident) override;
    unsigned long Get(CResourceValue& value, const USER_IDENT_T* ident) const override;
    unsigned long Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                         const USER_IDENT_T* ident) override;
    unsigned long Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) override;
    unsigned long Delete(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) override;
    unsigned long DeleteAll(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) override;
    bool IsSetSupported() override;
    bool IsSetAllowed(const USER_IDENT_T* ident) override;
    bool IsAddChildAllowed(const USER_IDENT_T* ident) override;
    bool IsGetSupported() override;
    bool IsGetAllowed(const USER_IDENT_T* ident) override;
    bool IsOpenChildAllowed(const USER_IDENT_T* ident) override;
    bool IsCreateSupported() override;
    bool IsCreateAllowed(const USER_IDENT_T* ident) override;
    bool IsDeleteSupported() override;
    bool IsDeleteAllowed(const USER_IDENT_T* ident) override;
    bool IsSubscrSupported() override;
    bool IsNotifyParent() override;
    bool IsPersistent() override;
    bool IsSync() override;
    bool IsRename() override;
    bool IsDefaultHinted() override;
    bool IsResourceOpenCount(unsigned long count) override;
    unsigned long GetAttr() override;
    unsigned long SetAttr(unsigned long flags, RES_RECURSIVE_T recursive, RES_OPERATOR_T op,
                          const USER_IDENT_T* ident) override;
    RES_TYPE_T Type() override;
    unsigned long ValueType(VALUE_TYPE_T& type) const override;
    VALUE_TYPE_T ValueType() override;
    unsigned short OwnerUID() override;
    unsigned short OwnerGID() override;
    unsigned long Open() override;
    unsigned long Close() override;
    unsigned long GetOpenCount() override;
    unsigned long OpenChild(unsigned long index, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long OpenChild(CHILD_INDEX_T which, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long OpenChild(const CResourcePath& name, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long Iterate(CResource** nextSibling, const USER_IDENT_T* ident) const override;
    unsigned long OpenParent(CResource** out, const USER_IDENT_T* ident) const override;
    unsigned long SetName(const CResourcePath& newName, RES_WAIT_T wait, unsigned long waitTime,
                          const USER_IDENT_T* ident) override;
    unsigned long GetName(CResourcePath& name) const override;
    unsigned long GetChildCount() override;
    unsigned long AddSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                            unsigned long identifier, unsigned long param5, RES_SUBSCR_T replyKind,
                            unsigned long replyDestination, unsigned long param8, const USER_IDENT_T* ident) override;
    unsigned long AddInfoSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                unsigned long identifier, unsigned long param5, const USER_IDENT_T* ident) override;
    unsigned long RemoveSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                               unsigned long identifier, const USER_IDENT_T* ident) override;
    unsigned long GetNumSubscr() override;
    unsigned long GetNumSubscrReply() override;
    void DumpSubscr() override;
    CResourceTree* GetTree() const override;
    unsigned long Lock() override;
    unsigned long Unlock() override;

    unsigned long GetClientOpenCount() const { return static_cast<unsigned long>(m_openCount.load()); }
    bool IsLocked() const { return m_locked; }

protected:
    unsigned long GetAbsName(CResourcePath& path) const;
    void CacheAttributes(const ResAttr& attr) const;
    unsigned long CacheLockedChildValue(CClientResource* child, const CResourceValue& value, RES_WAIT_T wait,
                                        unsigned long waitTime, const USER_IDENT_T* ident);

private:
    friend class CClientResourceTree;

    // 0 when in a tree (and open, when asked), else the refusal.
    unsigned long Usable(bool needOpen) const;
    // Reads and caches the attributes; the engine's converted result.
    unsigned long ReadAttributes(ResAttr* out = nullptr) const;
    unsigned long AllowedBy(const USER_IDENT_T* ident, uint32_t ownerBit);
    // Has the server create an instance below this resource (named, when
    // `name` is given) and adds it to the tree.
    unsigned long CreateChild(const CResourcePath* name, CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                              const USER_IDENT_T* ident);

    CResourcePath m_path;
    CResourceSet m_batch;
    CResourceValueSet m_batchValues;
    CResourceValueSet m_batchWaits;
    CResourceValueSet m_batchTimes;
    USER_IDENT_T m_batchIdent;
    mutable RES_TYPE_T m_kind;
    mutable VALUE_TYPE_T m_valueType;
    mutable uint32_t m_attr;
    std::atomic<int32_t> m_openCount;
    mutable uint16_t m_ownerUid;
    mutable uint16_t m_ownerGid;
    mutable bool m_limitsMayExist;
    bool m_locked;
    CClientResourceTree* m_tree;
    CClientResource* m_next;
};

class HALVEX_API CClientResourceTree : public CResourceTree {
public:
    CClientResourceTree();
    ~CClientResourceTree() override;

    unsigned long Authenticate(const char* user, const char* password) override;
    CResource* OpenRoot() override;
    unsigned long OpenResource(CResource* parent, unsigned long index, CResource** out,
                               const USER_IDENT_T* ident) override;
    unsigned long OpenResource(CResource* parent, CHILD_INDEX_T which, CResource** out,
                               const USER_IDENT_T* ident) override;
    unsigned long OpenResource(CResource* parent, const CResourcePath& relativePath, CResource** out,
                               const USER_IDENT_T* ident) override;
    unsigned long OpenResource(const CResourcePath& path, CResource** out, const USER_IDENT_T* ident) override;
    unsigned long OpenResources(const CResourceValueSet& paths, CResourceSet** out,
                                const USER_IDENT_T* ident) override;
    unsigned long GetResources(const CResourceSet& resources, CResourceValueSet& values, CResourceValueSet& results,
                               const USER_IDENT_T* ident) override;
    unsigned long AddResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind, unsigned long destination,
                                     unsigned short port, const CResourceValueSet& identifiers,
                                     unsigned long param5, CResourceValueSet& results, RES_SUBSCR_T replyKind,
                                     unsigned long replyDestination, const USER_IDENT_T* ident) override;
    unsigned long RemoveResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind, unsigned long destination,
                                        unsigned short port, const CResourceValueSet& identifiers,
                                        CResourceValueSet& results, const USER_IDENT_T* ident) override;
    unsigned long GetAbsolutePath(const CResource* resource, CResourcePath& path,
                                  const USER_IDENT_T* ident) override;
    unsigned long GetRelativePath(const CResource* resource, const CResource* base, CResourcePath& path,
                                  const USER_IDENT_T* ident) override;
    unsigned long GetLevelsDown(CResource* resource) override;
    using CResourceTree::Dump;
    unsigned long Dump(CResource* resource, const char* fileName, CResourceSet* set, PATH_TYPE_T pathType,
                       const char* hash, const char* info, PERSISTENCE_T persistence, DEFAULT_T defaults,
                       const USER_IDENT_T* ident, GID_FILTER_T gidFilter, unsigned long option) override;
    unsigned long Reload(CResource* resource, const wchar_t* fileName, HASH_TYPE_T hash, const char* info,
                         INFO_TYPE_T infoType, const USER_IDENT_T* ident) override;
    unsigned long Reload(CResource* resource, const char* fileName, HASH_TYPE_T hash, const char* info,
                         INFO_TYPE_T infoType, const USER_IDENT_T* ident) override;
    unsigned long Reload(CResource* resource, const wchar_t* fileName, unsigned long length, HASH_TYPE_T hash,
                         const char* info, INFO_TYPE_T infoType, const USER_IDENT_T* ident) override;
    unsigned long Reload(CResource* resource, const char* fileName, unsigned long length, HASH_TYPE_T hash,
                         const char* info, INFO_TYPE_T infoType, const USER_IDENT_T* ident) override;
    unsigned long AddSubscr(unsigned long eventMask, RES_SUBSCR_T kind, unsigned long destination,
                            unsigned short port, unsigned long param, unsigned long sixth,
                            const USER_IDENT_T* ident) override;
    unsigned long RemoveSubscr(unsigned long eventMask, RES_SUBSCR_T kind, unsigned long destination,
                               unsigned short port, const USER_IDENT_T* ident) override;
    void DumpAggregates() override;

    unsigned long Init(const char* address, unsigned short port, bool session);
    unsigned long Init(const char* address, unsigned short port, X509* certificate, EVP_PKEY* key,
                       char* trustFile, bool strict, bool session);
    unsigned long Reinit(const char* address, unsigned short port, bool session);
    // Bounds every exchange of one request (its sends and receives
    // together), and a connection made for a request; 0: no bound.
    unsigned long SetTimeout(unsigned long milliseconds);
    // Lets another thread end this tree's work at once: the running wait
    // ends and every later request fails with 0x640F0000 (interrupted)
    // without sending. The object stays the caller's and must outlive the
    // tree; null removes it.
    void SetCancel(const CResCancel* cancel);
    unsigned long Ping();
    unsigned char GetVersion() const { return m_version; }
    unsigned long SetVersion(unsigned char version);
    const CText& GetServerAddr() const { return m_address; }
    unsigned short GetServerPort() const { return m_port; }
    void SetName(const CText& name) { m_name = name; }
    unsigned long DumpInternalSocketStructure(char* buffer, unsigned long size);
    unsigned long GetNodeServerAddrPort(const CClientResource* resource, CText& address, unsigned short& port,
                                        CResourcePath& mountPath, const USER_IDENT_T* ident);
    unsigned long MountSubtree(CResource* at, const CResourcePath& name, unsigned short port,
                               const USER_IDENT_T* ident);
    unsigned long UnmountSubtree(CResource* at, const CResourcePath& relative, const USER_IDENT_T* ident);
    unsigned long WaitForNotify(unsigned short port, unsigned long& id, CResourceValue& value,
                                unsigned int cancelSocket);

    static unsigned long ConvertErrcode(int engineResult);

private:
    friend class CClientResource;

    // Holds the tree mutex for one request and, outside session mode,
    // connects before and disconnects after it.
    class CRequest {
    public:
        explicit CRequest(CClientResourceTree& tree);
        ~CRequest();
        CRequest(const CRequest&) = delete;
        CRequest& operator=(const CRequest&) = delete;
        // The transport, or null when there is no usable connection.
        CResourceClientLib* Lib() const;
        // Why Lib() is null: interrupted, the result that broke the
        // session's connection, or "cannot get handle".
        unsigned long Refusal() const;
        ResCommType Comm() const;
        unsigned char* Send() const { return m_tree.m_send; }
        unsigned char* Recv() const { return m_tree.m_recv; }

    private:
        CClientResourceTree& m_tree;
    };

    unsigned long Connect();
    unsigned long Disconnect();
    bool Cancelled() const;
    unsigned long NegotiateVersion();
    unsigned long OpenByIteration(CResource* parent, unsigned char selector, CResource** out,
                                  const USER_IDENT_T* ident);
    CClientResource* Find(const CResourcePath& path);
    void Add(CClientResource* resource);
    unsigned long Remove(CClientResource* resource);
    void Purge();
    static CClientResource* AsClient(const CResource* resource);

    bool m_initialised;
    bool m_connected;
    bool m_session;
    int m_kind;
    uint32_t m_timeout;
    uint8_t m_version;
    CText m_address;
    unsigned short m_port;
    std::recursive_mutex* m_mutex;
    CResourceClientLib* m_lib;
    int m_notifySocket;
    unsigned short m_notifyPort;
    unsigned char* m_send;
    unsigned char* m_recv;
    CClientResource* m_open;
    CText m_name;
    uint8_t m_highestVersion;
    bool m_useTls;
    bool m_strict;
    X509* m_certificate;
    EVP_PKEY* m_key;
    char m_trustFile[256];
    // Once an exchange of the session left requests and replies out of step
    // (timeout, transport error, framing error), the connection is closed
    // and every request fails with this result until Init or Reinit.
    unsigned long m_broken;
    const CResCancel* m_cancel;
};

}  // namespace ZYRK
