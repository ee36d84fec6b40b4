// The abstract resource interfaces: CResource (one node of a resource tree)
// and CResourceTree (the tree). The client tree and the server tree implement
// both, and programs call them only through these virtual operations, so the
// order of the declarations below is part of the library's binary interface:
// never reorder, insert or remove a virtual operation.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/resource/resource_types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ZYRK {

class CResourcePath;
class CResourceValue;
class CResourceSet;
class CResourceValueSet;
class CResourceTree;

class HALVEX_API CResource {
public:
    // On whose behalf an operation runs; a null pointer means the calling
    // thread. User id 6 (RES_NO_USER) means no user.
    struct USER_IDENT_T {
        uint16_t uid;
        uint32_t ipAddr;
    };

    CResource() : m_bCached(false) {}
    CResource(const CResource&) = delete;
    CResource& operator=(const CResource&) = delete;

    /*  1 */ virtual ~CResource();
    /*  2 */ virtual unsigned long Set(const CResource& source, RES_WAIT_T wait, unsigned long waitTime,
                                       const USER_IDENT_T* ident) = 0;
    /*  3 */ virtual unsigned long Set(const CResourceValue& value, RES_WAIT_T wait, unsigned long waitTime,
                                       const USER_IDENT_T* ident) = 0;
    /*  4 */ virtual unsigned long Get(CResourceValue& value, const USER_IDENT_T* ident) const = 0;
    /*  5 */ virtual unsigned long Create(const CResourcePath& name, CResource** out, RES_WAIT_T wait,
                                          unsigned long waitTime, const USER_IDENT_T* ident) = 0;
    /*  6 */ virtual unsigned long Create(CResource** out, RES_WAIT_T wait, unsigned long waitTime,
                                          const USER_IDENT_T* ident) = 0;
    /*  7 */ virtual unsigned long Delete(RES_WAIT_T wait, unsigned long waitTime, const USER_IDENT_T* ident) = 0;
    /*  8 */ virtual unsigned long DeleteAll(RES_WAIT_T wait, unsigned long waitTime,
                                             const USER_IDENT_T* ident) = 0;
    /*  9 */ virtual bool IsSetSupported() = 0;
    /* 10 */ virtual bool IsSetAllowed(const USER_IDENT_T* ident) = 0;
    /* 11 */ virtual bool IsAddChildAllowed(const USER_IDENT_T* ident) = 0;
    /* 12 */ virtual bool IsGetSupported() = 0;
    /* 13 */ virtual bool IsGetAllowed(const USER_IDENT_T* ident) = 0;
    /* 14 */ virtual bool IsOpenChildAllowed(const USER_IDENT_T* ident) = 0;
    /* 15 */ virtual bool IsCreateSupported() = 0;
    /* 16 */ virtual bool IsCreateAllowed(const USER_IDENT_T* ident) = 0;
    /* 17 */ virtual bool IsDeleteSupported() = 0;
    /* 18 */ virtual bool IsDeleteAllowed(const USER_IDENT_T* ident) = 0;
    /* 19 */ virtual bool IsSubscrSupported() = 0;
    /* 20 */ virtual bool IsNotifyParent() = 0;
    /* 21 */ virtual bool IsPersistent() = 0;
    /* 22 */ virtual bool IsSync() = 0;
    /* 23 */ virtual bool IsRename() = 0;
    /* 24 */ virtual bool IsDefaultHinted() = 0;
    /* 25 */ virtual bool IsResourceOpenCount(unsigned long count) = 0;
    /* 26 */ virtual unsigned long GetAttr() = 0;
    /* 27 */ virtual unsigned long SetAttr(unsigned long flags, RES_RECURSIVE_T recursive, RES_OPERATOR_T op,
                                           const USER_IDENT_T* ident) = 0;
    /* 28 */ virtual RES_TYPE_T Type() = 0;
    /* 29 */ virtual unsigned long ValueType(VALUE_TYPE_T& type) const = 0;
    /* 30 */ virtual VALUE_TYPE_T ValueType() = 0;
    /* 31 */ virtual unsigned short OwnerUID() = 0;
    /* 32 */ virtual unsigned short OwnerGID() = 0;
    /* 33 */ virtual unsigned long Open() = 0;
    /* 34 */ virtual unsigned long Close() = 0;
    /* 35 */ virtual unsigned long GetOpenCount() = 0;
    /* 36 */ virtual unsigned long OpenChild(unsigned long index, CResource** out, const USER_IDENT_T* ident) = 0;
    /* 37 */ virtual unsigned long OpenChild(CHILD_INDEX_T which, CResource** out, const USER_IDENT_T* ident) = 0;
    /* 38 */ virtual unsigned long OpenChild(const CResourcePath& name, CResource** out,
                                             const USER_IDENT_T* ident) = 0;
    /* 39 */ virtual unsigned long Iterate(CResource** nextSibling, const USER_IDENT_T* ident) const = 0;
    /* 40 */ virtual unsigned long OpenParent(CResource** out, const USER_IDENT_T* ident) const = 0;
    /* 41 */ virtual unsigned long SetName(const CResourcePath& newName, RES_WAIT_T wait, unsigned long waitTime,
                                           const USER_IDENT_T* ident) = 0;
    /* 42 */ virtual unsigned long GetName(CResourcePath& name) const = 0;
    /* 43 */ virtual unsigned long GetChildCount() = 0;
    /* 44 */ virtual unsigned long AddSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                             unsigned long identifier, unsigned long param5,
                                             RES_SUBSCR_T replyKind, unsigned long replyDestination,
                                             unsigned long param8, const USER_IDENT_T* ident) = 0;
    /* 45 */ virtual unsigned long AddInfoSubscr(RES_SUBSCR_T kind, unsigned long destination,
                                                 unsigned short port, unsigned long identifier,
                                                 unsigned long param5, const USER_IDENT_T* ident) = 0;
    /* 46 */ virtual unsigned long RemoveSubscr(RES_SUBSCR_T kind, unsigned long destination, unsigned short port,
                                                unsigned long identifier, const USER_IDENT_T* ident) = 0;
    /* 47 */ virtual unsigned long GetNumSubscr() = 0;
    /* 48 */ virtual unsigned long GetNumSubscrReply() = 0;
    /* 49 */ virtual void DumpSubscr() = 0;
    /* 50 */ virtual void SetCached(bool cached);
    /* 51 */ virtual bool IsCached();
    /* 52 */ virtual CResourceTree* GetTree() const = 0;
    /* 53 */ virtual unsigned long Lock() = 0;
    /* 54 */ virtual unsigned long Unlock() = 0;

private:
    bool m_bCached;
};

using USER_IDENT_T = CResource::USER_IDENT_T;

// A hash function over a byte stream, as dump files name it in their trailer
// ("# CRC32 1a2b3c4d"). Create makes one by that name (case-insensitive);
// null for a name the library does not know.
class HALVEX_API CHashFunc {
public:
    virtual ~CHashFunc();
    virtual const char* Name() const = 0;
    virtual void Reset() = 0;
    virtual void Update(const void* data, size_t size) = 0;
    // The hash of everything since the last Reset, as lower-case hex digits.
    virtual std::string Digest() const = 0;

    static std::unique_ptr<CHashFunc> Create(const char* name);
};

class HALVEX_API CResourceTree {
public:
    CResourceTree() = default;
    CResourceTree(const CResourceTree&) = delete;
    CResourceTree& operator=(const CResourceTree&) = delete;

    /*  1 */ virtual ~CResourceTree();
    /*  2 */ virtual unsigned long Authenticate(const char* user, const char* password) = 0;
    /*  3 */ virtual CResource* OpenRoot() = 0;
    /*  4 */ virtual unsigned long OpenResource(CResource* parent, unsigned long index, CResource** out,
                                                const USER_IDENT_T* ident) = 0;
    /*  5 */ virtual unsigned long OpenResource(CResource* parent, CHILD_INDEX_T which, CResource** out,
                                                const USER_IDENT_T* ident) = 0;
    /*  6 */ virtual unsigned long OpenResource(CResource* parent, const CResourcePath& relativePath,
                                                CResource** out, const USER_IDENT_T* ident) = 0;
    /*  7 */ virtual unsigned long OpenResource(const CResourcePath& path, CResource** out,
                                                const USER_IDENT_T* ident) = 0;
    /*  8 */ virtual unsigned long OpenResources(const CResourceValueSet& paths, CResourceSet** out,
                                                 const USER_IDENT_T* ident) = 0;
    /*  9 */ virtual unsigned long CloseResources(CResourceSet& set);
    /* 10 */ virtual unsigned long FindResources(const CResourcePath& pattern, CResource* start, MATCH_TYPE_T match,
                                                 CASE_TYPE_T caseType, EXACT_TYPE_T exact, CResourceSet** out,
                                                 const USER_IDENT_T* ident);
    /* 11 */ virtual unsigned long GetResources(const CResourceSet& resources, CResourceValueSet& values,
                                                CResourceValueSet& results, const USER_IDENT_T* ident) = 0;
    /* 12 */ virtual unsigned long AddResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind,
                                                      unsigned long destination, unsigned short port,
                                                      const CResourceValueSet& identifiers, unsigned long param5,
                                                      CResourceValueSet& results, RES_SUBSCR_T replyKind,
                                                      unsigned long replyDestination,
                                                      const USER_IDENT_T* ident) = 0;
    /* 13 */ virtual unsigned long RemoveResourceSubscrs(const CResourceSet& resources, RES_SUBSCR_T kind,
                                                         unsigned long destination, unsigned short port,
                                                         const CResourceValueSet& identifiers,
                                                         CResourceValueSet& results,
                                                         const USER_IDENT_T* ident) = 0;
    /* 14 */ virtual unsigned long GetAbsolutePath(const CResource* resource, CResourcePath& path,
                                                   const USER_IDENT_T* ident) = 0;
    /* 15 */ virtual unsigned long GetRelativePath(const CResource* resource, const CResource* base,
                                                   CResourcePath& path, const USER_IDENT_T* ident) = 0;
    /* 16 */ virtual unsigned long GetLevelsDown(CResource* resource) = 0;
    /* 17 */ virtual unsigned long CreateFromMaster(CResource* target, CResource* master, const USER_IDENT_T* ident);
    /* 18 */ virtual unsigned long CreateFromRegistry(CResource* resource, CResource* registry,
                                                      const USER_IDENT_T* ident);
    /* 19 */ virtual unsigned long DeleteInstances(CResource* node, const USER_IDENT_T* ident);
    /* 20 */ virtual unsigned long Dump(CResource* resource, CResource* base, const char* fileName, CResourceSet* set,
                                        PATH_TYPE_T pathType, const char* hash, const char* info,
                                        PERSISTENCE_T persistence, DEFAULT_T defaults, const USER_IDENT_T* ident,
                                        GID_FILTER_T gidFilter, unsigned long option);
    /* 21 */ virtual unsigned long Dump(CResource* resource, const char* fileName, CResourceSet* set,
                                        PATH_TYPE_T pathType, const char* hash, const char* info,
                                        PERSISTENCE_T persistence, DEFAULT_T defaults, const USER_IDENT_T* ident,
                                        GID_FILTER_T gidFilter, unsigned long option) = 0;
    /* 22 */ virtual unsigned long Reload(CResource* resource, const wchar_t* fileName, HASH_TYPE_T hash,
                                          const char* info, INFO_TYPE_T infoType, const USER_IDENT_T* ident) = 0;
    /* 23 */ virtual unsigned long Reload(CResource* resource, const char* fileName, HASH_TYPE_T hash,
                                          const char* info, INFO_TYPE_T infoType, const USER_IDENT_T* ident) = 0;
    /* 24 */ virtual unsigned long Reload(CResource* resource, const wchar_t* fileName, unsigned long length,
                                          HASH_TYPE_T hash, const char* info, INFO_TYPE_T infoType,
                                          const USER_IDENT_T* ident) = 0;
    /* 25 */ virtual unsigned long Reload(CResource* resource, const char* fileName, unsigned long length,
                                          HASH_TYPE_T hash, const char* info, INFO_TYPE_T infoType,
                                          const USER_IDENT_T* ident) = 0;
    /* 26 */ virtual unsigned long AddSubscr(unsigned long eventMask, RES_SUBSCR_T kind, unsigned long destination,
                                             unsigned short port, unsigned long param, unsigned long sixth,
                                             const USER_IDENT_T* ident) = 0;
    /* 27 */ virtual unsigned long RemoveSubscr(unsigned long eventMask, RES_SUBSCR_T kind,
                                                unsigned long destination, unsigned short port,
                                                const USER_IDENT_T* ident) = 0;
    /* 28 */ virtual void DumpAggregates() = 0;

    // True when the resource and every ancestor up to the root are persistent.
    bool IsPersistentToRoot(CResource* resource);

    // The hash function that protects a dump file: the one its trailer names
    // when the last 30 bytes hold "# CRC..." (null for an unknown name), else
    // a CRC-32 (polynomial 0x04C11DB7); null when the file cannot be opened.
    static std::unique_ptr<CHashFunc> GetHashFunc(const char* fileName);

protected:
    // Adds the children of node matching pattern to set, then descends into
    // every child of kind 5, 6 or 9.
    void FindAndAdd(const CResourcePath& pattern, CResource* node, MATCH_TYPE_T match, CASE_TYPE_T caseType,
                    EXACT_TYPE_T exact, CResourceSet* set, const USER_IDENT_T* ident);
    unsigned long CopyChildrenFromMaster(CResource* target, CResource* master, const USER_IDENT_T* ident);
};

}  // namespace ZYRK
