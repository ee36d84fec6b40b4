#include <halvex/resource/resource.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/resource_value.h>

#include <cstring>
#include <new>

namespace ZYRK {

CResource::~CResource() = default;

void CResource::SetCached(bool cached)
{
    m_bCached = cached;
}

bool CResource::IsCached()
{
    return m_bCached;
}

CResourceTree::~CResourceTree() = default;

namespace {

// Opens the next sibling of child and closes child; null at the end.
CResource* NextSibling(CResource* child, const USER_IDENT_T* ident)
{
    CResource* next = nullptr;
    unsigned long r = child->Iterate(&next, ident);
    child->Close();
    return r == ERR_OK ? next : nullptr;
}

bool IsStructured(RES_TYPE_T kind)
{
    return kind == RES_TYPE_STRUCT || kind == RES_TYPE_STRUCT2;
}

}  // namespace

unsigned long CResourceTree::CloseResources(CResourceSet& set)
{
    for (unsigned long i = 0; i < set.GetNodeCount(); ++i) {
        CResource* r = nullptr;
        if (set.GetNodeByIndex(i, &r) == ERR_OK && r) {
            r->Close();
        }
    }
    return ERR_OK;
}

unsigned long CResourceTree::FindResources(const CResourcePath& pattern, CResource* start, MATCH_TYPE_T match,
                                           CASE_TYPE_T caseType, EXACT_TYPE_T exact, CResourceSet** out,
                                           const USER_IDENT_T* ident)
{
    if (!start || !out) {
        return ERR_BAD_DATA;
    }
    if (start->GetTree() != this) {
        return ERR_RES_NOT_IN_TREE;
    }
    CResourceSet* set = new (std::nothrow) CResourceSet();
    if (!set) {
        return ERR_NO_MEMORY;
    }
    FindAndAdd(pattern, start, match, caseType, exact, set, ident);
    *out = set;
    return ERR_OK;
}

void CResourceTree::FindAndAdd(const CResourcePath& pattern, CResource* node, MATCH_TYPE_T match,
                               CASE_TYPE_T caseType, EXACT_TYPE_T exact, CResourceSet* set,
                               const USER_IDENT_T* ident)
{
    CText wanted(pattern.AsChar());
    if (caseType == CASE_INSENSITIVE) {
        wanted.MakeUpper();
    }
    CResource* child = nullptr;
    if (node->OpenChild(CHILD_INDEX_FIRST, &child, ident) != ERR_OK || !child) {
        return;
    }
    while (child) {
        CResourcePath text;
        if (match == MATCH_PATH) {
            GetAbsolutePath(child, text, ident);
        } else {
            child->GetName(text);
        }
        if (caseType == CASE_INSENSITIVE) {
            text.MakeUpper();
        }
        bool hit = exact == EXACT_MATCH ? std::strcmp(text.AsChar(), wanted.AsChar()) == 0
                                        : (wanted.IsEmpty() || std::strstr(text.AsChar(), wanted.AsChar()) != nullptr);
        if (hit) {
            set->Add(child);
        }
        child = NextSibling(child, ident);
    }
    if (node->OpenChild(CHILD_INDEX_FIRST, &child, ident) != ERR_OK) {
        return;
    }
    while (child) {
        RES_TYPE_T kind = child->Type();
        if (IsStructured(kind) || kind == RES_TYPE_MOUNT) {
            FindAndAdd(pattern, child, match, caseType, exact, set, ident);
        }
        child = NextSibling(child, ident);
    }
}

unsigned long CResourceTree::CreateFromMaster(CResource* target, CResource* master, const USER_IDENT_T* ident)
{
    if (!target || !master) {
        return ERR_BAD_DATA;
    }
    CResource* child = nullptr;
    if (master->OpenChild(CHILD_INDEX_FIRST, &child, ident) != ERR_OK) {
        return ERR_OK;
    }
    while (child) {
        CResourcePath name;
        child->GetName(name);
        if (child->Type() == RES_TYPE_STRUCT2 && target->IsCreateSupported()) {
            CResource* instance = nullptr;
            if (target->Create(name, &instance, RES_NOWAIT, 0, ident) == ERR_OK && instance) {
                CopyChildrenFromMaster(instance, child, ident);
                instance->Close();
            }
        } else {
            CResource* own = nullptr;
            if (target->OpenChild(name, &own, ident) == ERR_OK && own) {
                if (child->Type() != RES_TYPE_VALUE) {
                    CreateFromMaster(own, child, ident);
                } else {
                    own->Set(*child, RES_NOWAIT, 0, ident);
                }
                own->Close();
            }
        }
        child = NextSibling(child, ident);
    }
    return ERR_OK;
}

unsigned long CResourceTree::CopyChildrenFromMaster(CResource* target, CResource* master, const USER_IDENT_T* ident)
{
    if (!target || !master) {
        return ERR_BAD_DATA;
    }
    CResource* child = nullptr;
    if (master->OpenChild(CHILD_INDEX_FIRST, &child, ident) != ERR_OK) {
        return ERR_OK;
    }
    while (child) {
        CResourcePath name;
        child->GetName(name);
        CResource* own = nullptr;
        if (target->OpenChild(name, &own, ident) == ERR_OK && own) {
            RES_TYPE_T kind = child->Type();
            if (kind == RES_TYPE_VALUE) {
                own->Set(*child, RES_NOWAIT, 0, ident);
            } else if (own->IsCreateSupported()) {
                CreateFromMaster(own, child, ident);
            } else if (IsStructured(kind) || kind == RES_TYPE_MOUNT) {
                CopyChildrenFromMaster(own, child, ident);
            }
            own->Close();
        }
        child = NextSibling(child, ident);
    }
    return ERR_OK;
}

unsigned long CResourceTree::CreateFromRegistry(CResource* resource, CResource* registry, const USER_IDENT_T* ident)
{
    if (!resource || !registry) {
        return ERR_BAD_DATA;
    }
    CResourcePath path;
    unsigned long r = GetAbsolutePath(resource, path, ident);
    if (r != ERR_OK) {
        return r;
    }
    path.MakeRelative();
    CResource* node = nullptr;
    r = path.IsEmpty() ? (registry->Open(), node = registry, ERR_OK) : registry->OpenChild(path, &node, ident);
    if (r != ERR_OK || !node) {
        return r != ERR_OK ? r : ERR_NOT_FOUND;
    }
    r = CreateFromMaster(resource, node, ident);
    node->Close();
    return r;
}

unsigned long CResourceTree::DeleteInstances(CResource* node, const USER_IDENT_T* ident)
{
    if (!node) {
        return ERR_BAD_DATA;
    }
    unsigned long result = ERR_OK;
    CResource* child = nullptr;
    if (node->OpenChild(CHILD_INDEX_FIRST, &child, ident) != ERR_OK) {
        return ERR_OK;
    }
    while (child) {
        // Find the sibling first: a deleted child has no place to go on from.
        CResource* next = nullptr;
        if (child->Iterate(&next, ident) != ERR_OK) {
            next = nullptr;
        }
        if (child->IsDeleteSupported()) {
            result = child->Delete(RES_NOWAIT, 0, ident);
            if (result == ERR_OK) {
                // Deleted and taken out of its tree: the object is ours to free.
                delete child;
            } else if (result == ERR_BAD_DATA || result == ERR_TIMEOUT || result == ERR_UNSUPPORTED ||
                       result == ERR_RES_NOT_CLOSED || result == ERR_RES_NOT_IN_TREE) {
                // Not deleted: the tree still knows the object, so only close it.
                child->Close();
            } else {
                child->Close();
                SysLogExt::PrintF(1,
                                  "ZYRK::CResourceTree::DeleteInstances[%p](): Failed to delete node, dangling "
                                  "pointer? 0x%p, err=0x%x",
                                  static_cast<void*>(this), static_cast<void*>(child),
                                  static_cast<unsigned>(result));
                if (next) {
                    next->Close();
                }
                return result;
            }
        } else {
            if (IsStructured(child->Type())) {
                result = DeleteInstances(child, ident);
            }
            child->Close();
        }
        child = next;
    }
    return result;
}

unsigned long CResourceTree::Dump(CResource*, CResource*, const char*, CResourceSet*, PATH_TYPE_T, const char*,
                                  const char*, PERSISTENCE_T, DEFAULT_T, const USER_IDENT_T*, GID_FILTER_T,
                                  unsigned long)
{
    return ERR_UNSUPPORTED;
}

bool CResourceTree::IsPersistentToRoot(CResource* resource)
{
    if (!resource) {
        return false;
    }
    resource->Open();
    CResource* current = resource;
    for (unsigned depth = 0; current; ++depth) {
        bool persistent = current->IsPersistent();
        CResourcePath path;
        GetAbsolutePath(current, path, nullptr);
        bool root = path.IsEmpty() || path.Compare(".") == 0;
        if (!persistent || root || depth > 4096) {
            current->Close();
            return persistent && root;
        }
        CResource* parent = nullptr;
        unsigned long r = current->OpenParent(&parent, nullptr);
        current->Close();
        if (r != ERR_OK || !parent) {
            return false;
        }
        current = parent;
    }
    return false;
}

}  // namespace ZYRK
