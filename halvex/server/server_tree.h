// The server's own resource tree: nodes held in memory behind the CResource
// and CResourceTree interfaces, which the resource server's request handlers
// call. Value nodes of every value type (with limits and hints), structured
// nodes of kinds 5 and 6 with their children in order, mount points, attribute
// words whose owner, group and others rights are checked against the user
// and group of the caller, open counts, instance creation from a template,
// deletion, renaming, batch locks of a parent and subscriber lists whose UDP
// kinds are notified by datagram.
//
// Each node is its own CResource: OpenResource hands out the node with its
// open count raised, Close lowers it. A deleted node leaves the tree at once
// and its object is freed when its last holder closes it, so a session that
// still holds it only gets "resource not in tree" from it.
//
// Thread safety: one recursive mutex per tree guards every node. The batch
// lock of a node (Lock/Unlock) is a separate mutex, held between the calls.
// Notification datagrams and the change hook run after the tree mutex is let
// go.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ZYRK {

class CServerResourceTree;

// What a node supports at all, independent of who asks (the IsXxxSupported
// answers). The attribute word holds who may do it.
constexpr uint32_t SRV_CAN_GET = 0x1;
constexpr uint32_t SRV_CAN_SET = 0x2;
constexpr uint32_t SRV_CAN_CREATE = 0x4;
constexpr uint32_t SRV_CAN_DELETE = 0x8;
constexpr uint32_t SRV_CAN_ALL = 0xF;

// Owner and group may get and set, everyone may get; subscriptions supported.
constexpr uint32_t SRV_DEFAULT_ATTR = RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET | RES_ATTR_OWNER_CREATE |
                                      RES_ATTR_OWNER_DELETE | RES_ATTR_GROUP_GET | RES_ATTR_GROUP_SET |
                                      RES_ATTR_OTHERS_GET | RES_ATTR_SUBSCR | RES_ATTR_RENAME;

// Attribute bit 24: transparent data of the node is handed to a reply without
// an extra copy.
constexpr uint32_t RES_ATTR_NO_COPY = 1u << 24;

// Tree events (bits of a tree subscription's event mask).
constexpr uint32_t SRV_EVENT_CHANGED = 0x1;
constexpr uint32_t SRV_EVENT_ADDED = 0x2;
constexpr uint32_t SRV_EVENT_REMOVED = 0x4;
constexpr uint32_t SRV_EVENT_RENAMED = 0x8;

// Message types of the notification datagrams.
constexpr uint32_t SRV_MSG_VALUE = 1;
constexpr uint32_t SRV_MSG_TREE = 4;
constexpr size_t SRV_NOTIFY_SHORT_SIZE = 512;
constexpr size_t SRV_NOTIFY_EXTENDED_SIZE = 1020;

struct SERVER_NODE_OPTIONS_T {
    uint32_t attr = SRV_DEFAULT_ATTR;
    uint32_t caps = SRV_CAN_ALL;
    uint16_t ownerUid = 0;
    uint16_t ownerGid = 0;
    // The node is the pattern that Create copies for new instances of its
    // parent; it is hidden from listings and not counted as a child.
    bool isTemplate = false;
};

// A change made through the interfaces, handed to the tree's hook after the
// tree mutex is let go.
struct SERVER_TREE_EVENT_T {
    enum KIND_T { SET, RENAME, CREATE, DELETE };
    KIND_T kind;
    const char* path;              // absolute path (after the change)
    const CResourceValue* value;   // SET: the stored value
    RES_WAIT_T wait;
    unsigned long waitTime;
};

class HALVEX_API CServerResource : public CResource {
public:
    ~CServerResource() override;

    unsigned long Set(const CResource& source, RES_WAIT_T wait, unsigned long waitTime,
                      const USER_IDENT_T* ident) override;
    unsigned long Set(const CResourceValue& value, RES_WAIT_T wait, unsigned long waitTime,
                      const USER_IDENT_T* ident) override;
    unsigned long Get(CResourceValue& value, const USER_IDENT_T* ident) const override;
    unsigned long Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                         const USER_IDENT_T* ident) override;
    unsigned long Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                         const USER_IDENT_T* ident) override;
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
                            unsigned long replyDestination, unsigned long param8,
                            const USER_IDENT_T* ident) override;
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

    // Mount points: the address, port and transport flags of the tree behind
    // the node (Type() 9).
    unsigned long GetMountInfo(std::string& address, uint16_t& port, uint8_t& flags);
    // Releases the tree bound to a mount point before it is deleted.
    unsigned long PrepareUnmount();

private:
    friend class CServerResourceTree;
    struct Subscriber {
        RES_SUBSCR_T kind;
        uint32_t destination;  // UDP kinds: IPv4 address in network order
        uint16_t port;
        uint32_t identifier;
        uint32_t param5;
        RES_SUBSCR_T replyKind;
        uint32_t replyDestination;
        uint32_t param8;
        bool info;
    };

    CServerResource(CServerResourceTree* tree, CServerResource* parent, const std::string& name, RES_TYPE_T kind);
    bool Allowed(const USER_IDENT_T* ident, uint32_t ownerBit) const;
    // The same two questions under the tree mutex; rootAlways: user 0 may
    // whatever the bits say.
    bool AllowedNow(const USER_IDENT_T* ident, uint32_t ownerBit, bool rootAlways = false);
    bool Supports(uint32_t cap);
    // Why a change of this node is refused (the caller holds the tree mutex):
    // removed from the tree, not supported, not allowed for the caller; 0
    // when it is not.
    unsigned long Refusal(bool supported, const USER_IDENT_T* ident, uint32_t ownerBit) const;
    // A mount point's tree with this node held open (the caller closes it);
    // null for other nodes and mount points without a tree.
    CResourceTree* HoldMounted();
    // Create with the notification and the change hook after the tree
    // mutex is let go; name null: the next free instance number.
    unsigned long CreateAndNotify(const std::string* name, CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                                  const USER_IDENT_T* ident);
    CServerResource* CloneInto(CServerResource* parent, const std::string& name) const;
    unsigned long CreateLocked(const std::string* name, CResource** out, const USER_IDENT_T* ident,
                               std::string* createdPath);

    CServerResourceTree* m_tree;
    CServerResource* m_parent;
    std::vector<CServerResource*> m_children;  // in order; templates are not listed here
    CServerResource* m_template = nullptr;     // owned pattern of new instances
    std::string m_name;
    RES_TYPE_T m_kind;
    CResourceValue m_value;
    uint32_t m_attr = SRV_DEFAULT_ATTR;
    uint32_t m_caps = SRV_CAN_ALL;
    uint16_t m_uid = 0;
    uint16_t m_gid = 0;
    unsigned long m_open = 0;
    bool m_removed = false;
    unsigned long m_nextInstance = 0;
    std::vector<Subscriber> m_subscr;
    std::recursive_mutex m_batch;
    // Mount point.
    std::string m_mountAddress;
    uint16_t m_mountPort = 0;
    uint8_t m_mountFlags = 0;
    CResourceTree* m_mounted = nullptr;  // owned
};

class HALVEX_API CServerResourceTree : public CResourceTree {
public:
    // Connects a client tree to a resource server for a mount point; 0 and
    // the new tree in *out, or a result code.
    using MountConnector =
        std::function<unsigned long(const char* address, uint16_t port, const char* name, CResourceTree** out)>;
    using ChangeHook = std::function<void(const SERVER_TREE_EVENT_T&)>;

    CServerResourceTree();
    ~CServerResourceTree() override;

    // Building the tree. path is absolute; its parent must exist and be a
    // structured node; a name that exists gives 0xAB010005.
    unsigned long AddNode(const char* path, RES_TYPE_T kind, const SERVER_NODE_OPTIONS_T& options = {});
    unsigned long AddValue(const char* path, const CResourceValue& value, const SERVER_NODE_OPTIONS_T& options = {});
    // A mount point bound to tree (taken over; may be null for a mount point
    // that only reports where its subtree lives).
    unsigned long AddMountPoint(const char* path, const char* address, uint16_t port, uint8_t flags,
                                CResourceTree* tree);

    // How MountSubtree connects to the tree it mounts; by default a client
    // tree in session mode (an empty connector refuses every mount).
    void SetMountConnector(MountConnector connector);
    unsigned long ConnectMount(const char* address, uint16_t port, const char* name, CResourceTree** out);
    // Binds a connected tree to an existing mount point (taken over).
    unsigned long BindMount(CResource* mountPoint, const char* address, uint16_t port, CResourceTree* tree);
    void SetChangeHook(ChangeHook hook);
    // Notification datagrams on (default) or off; off, subscriptions are kept
    // but nothing is sent.
    void SetDeliveryEnabled(bool enabled);
    // Sends a tree notification for the node at path (its name is the text).
    void NotifyTree(uint32_t cause, const char* path);

    // The folder that Dump writes to and Reload reads from; file names are
    // taken relative to it (absolute names and ".." are refused). Without a
    // folder, dumps and reloads are refused (0x64060000).
    void SetDumpFolder(const char* folder);
    std::string GetDumpFolder();

    // Counters for tests and diagnostics.
    size_t LiveNodeCount();

    // CResourceTree.
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
                                     unsigned short port, const CResourceValueSet& identifiers, unsigned long param5,
                                     CResourceValueSet& results, RES_SUBSCR_T replyKind,
                                     unsigned long replyDestination, const USER_IDENT_T* ident) override;
    unsigned long RemoveResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind, unsigned long destination,
                                        unsigned short port, const CResourceValueSet& identifiers,
                                        CResourceValueSet& results, const USER_IDENT_T* ident) override;
    unsigned long GetAbsolutePath(const CResource* resource, CResourcePath& path, const USER_IDENT_T* ident) override;
    unsigned long GetRelativePath(const CResource* resource, const CResource* base, CResourcePath& path,
                                  const USER_IDENT_T* ident) override;
    unsigned long GetLevelsDown(CResource* resource) override;
    unsigned long Dump(CResource* resource, const char* fileName, CResourceSet* set, PATH_TYPE_T pathType,
                       const char* hash, const char* info, PERSISTENCE_T persistence, DEFAULT_T defaults,
                       const USER_IDENT_T* ident, GID_FILTER_T gidFilter, unsigned long option) override;
    using CResourceTree::Dump;
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

private:
    friend class CServerResource;
    struct TreeSubscriber {
        uint32_t mask;
        RES_SUBSCR_T kind;
        uint32_t destination;
        uint16_t port;
        uint32_t param;
    };
    struct Datagram {
        uint32_t address;  // network order
        uint16_t port;
        std::vector<uint8_t> bytes;
    };

    unsigned long AddInternal(const char* path, RES_TYPE_T kind, const CResourceValue* value,
                              const SERVER_NODE_OPTIONS_T& options, CServerResource** created);
    std::string PathOf(const CServerResource* node) const;
    void Release(CServerResource* node);  // frees a removed node whose count is 0
    void FreeSubtree(CServerResource* node);
    void QueueValueNotify(CServerResource* node, std::vector<Datagram>& out);
    void QueueTreeNotify(uint32_t cause, const std::string& name, std::vector<Datagram>& out);
    void Deliver(std::vector<Datagram>& datagrams);
    void RunHook(const SERVER_TREE_EVENT_T& event);
    unsigned long ResolveDumpFile(const std::string& name, std::string& full);
    unsigned long ReloadFile(CResource* resource, const std::string& fileName, HASH_TYPE_T hash,
                             const USER_IDENT_T* ident);

    std::recursive_mutex m_lock;
    CServerResource* m_root;
    std::set<CServerResource*> m_removed;  // out of the tree, still held by someone
    std::vector<TreeSubscriber> m_treeSubscr;
    MountConnector m_connector;
    ChangeHook m_hook;
    std::recursive_mutex m_hookLock;  // a hook may write to the tree itself
    size_t m_live = 0;
    bool m_deliver = true;
    std::string m_dumpFolder;
};

}  // namespace ZYRK
