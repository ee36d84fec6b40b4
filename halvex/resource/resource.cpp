#include <halvex/resource/resource.h>

#include <halvex/platform/errcodes.h>

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

unsigned long CResourceTree::Dump(CResource*, CResource*, const char*, CResourceSet*, PATH_TYPE_T, const char*,
                                  const char*, PERSISTENCE_T, DEFAULT_T, const USER_IDENT_T*, GID_FILTER_T,
                                  unsigned long)
{
    return ERR_UNSUPPORTED;
}

}  // namespace ZYRK
