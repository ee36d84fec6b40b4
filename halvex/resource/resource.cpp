#include <halvex/resource/resource.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/resource_value.h>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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

// Visits every child of node in child order, each open during its visit and
// closed after it. False when node has no child to visit.
template <class Visit>
bool ForEachChild(CResource* node, const USER_IDENT_T* ident, Visit visit)
{
    CResource* child = nullptr;
    if (node->OpenChild(CHILD_INDEX_FIRST, &child, ident) != ERR_OK || !child) {
        return false;
    }
    while (child) {
        visit(child);
        child = NextSibling(child, ident);
    }
    return true;
}

// Visits every child of master with its name, for building target after it.
template <class Visit>
unsigned long ForEachMasterChild(CResource* target, CResource* master, const USER_IDENT_T* ident, Visit visit)
{
    if (!target || !master) {
        return ERR_BAD_DATA;
    }
    ForEachChild(master, ident, [&](CResource* child) {
        CResourcePath name;
        child->GetName(name);
        visit(child, name);
    });
    return ERR_OK;
}

// Visits target's child of the given name, open during the visit; nothing
// when target has no such child.
template <class Visit>
void WithChildNamed(CResource* target, const CResourcePath& name, const USER_IDENT_T* ident, Visit visit)
{
    CResource* own = nullptr;
    if (target->OpenChild(name, &own, ident) == ERR_OK && own) {
        visit(own);
        own->Close();
    }
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
    bool any = ForEachChild(node, ident, [&](CResource* child) {
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
    });
    if (!any) {
        return;
    }
    ForEachChild(node, ident, [&](CResource* child) {
        RES_TYPE_T kind = child->Type();
        if (IsStructured(kind) || kind == RES_TYPE_MOUNT) {
            FindAndAdd(pattern, child, match, caseType, exact, set, ident);
        }
    });
}

unsigned long CResourceTree::CreateFromMaster(CResource* target, CResource* master, const USER_IDENT_T* ident)
{
    return ForEachMasterChild(target, master, ident, [&](CResource* child, const CResourcePath& name) {
        if (child->Type() == RES_TYPE_STRUCT2 && target->IsCreateSupported()) {
            CResource* instance = nullptr;
            if (target->Create(name, &instance, RES_NOWAIT, 0, ident) == ERR_OK && instance) {
                CopyChildrenFromMaster(instance, child, ident);
                instance->Close();
            }
            return;
        }
        WithChildNamed(target, name, ident, [&](CResource* own) {
            if (child->Type() != RES_TYPE_VALUE) {
                CreateFromMaster(own, child, ident);
            } else {
                own->Set(*child, RES_NOWAIT, 0, ident);
            }
        });
    });
}

unsigned long CResourceTree::CopyChildrenFromMaster(CResource* target, CResource* master, const USER_IDENT_T* ident)
{
    return ForEachMasterChild(target, master, ident, [&](CResource* child, const CResourcePath& name) {
        WithChildNamed(target, name, ident, [&](CResource* own) {
            RES_TYPE_T kind = child->Type();
            if (kind == RES_TYPE_VALUE) {
                own->Set(*child, RES_NOWAIT, 0, ident);
            } else if (own->IsCreateSupported()) {
                CreateFromMaster(own, child, ident);
            } else if (IsStructured(kind) || kind == RES_TYPE_MOUNT) {
                CopyChildrenFromMaster(own, child, ident);
            }
        });
    });
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

CHashFunc::~CHashFunc() = default;

namespace {

// CRC-32 as zlib computes it: polynomial 0x04C11DB7, reflected, initial and
// final value 0xFFFFFFFF.
class CCrc32HashFunc : public CHashFunc {
public:
    const char* Name() const override { return "CRC32"; }
    void Reset() override { m_crc = crc32(0L, Z_NULL, 0); }
    void Update(const void* data, size_t size) override
    {
        const Bytef* p = static_cast<const Bytef*>(data);
        while (size > 0) {
            uInt chunk = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
            m_crc = crc32(m_crc, p, chunk);
            p += chunk;
            size -= chunk;
        }
    }
    std::string Digest() const override
    {
        char text[9];
        std::snprintf(text, sizeof text, "%08lx", m_crc & 0xFFFFFFFFul);
        return text;
    }

private:
    uLong m_crc = crc32(0L, Z_NULL, 0);
};

}  // namespace

std::unique_ptr<CHashFunc> CHashFunc::Create(const char* name)
{
    if (!name) {
        return nullptr;
    }
    std::string upper(name);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (upper == "CRC32" || upper == "CRC-32") {
        return std::make_unique<CCrc32HashFunc>();
    }
    return nullptr;
}

std::unique_ptr<CHashFunc> CResourceTree::GetHashFunc(const char* fileName)
{
    if (!fileName) {
        return nullptr;
    }
    FILE* f = std::fopen(fileName, "rb");
    if (!f) {
        return nullptr;
    }
    char tail[31] = {};
    size_t got = 0;
    if (std::fseek(f, -30, SEEK_END) != 0) {
        std::rewind(f);  // shorter than 30 bytes: all of it
    }
    got = std::fread(tail, 1, 30, f);
    std::fclose(f);
    std::string text(tail, got);
    size_t at = text.find("# CRC");
    if (at == std::string::npos) {
        return std::make_unique<CCrc32HashFunc>();
    }
    // The name runs from after "# " to the next blank or line end.
    size_t start = at + 2;
    size_t end = text.find_first_of(" \t\r\n", start);
    return CHashFunc::Create(text.substr(start, end == std::string::npos ? std::string::npos : end - start).c_str());
}

}  // namespace ZYRK
