// CResourceValue: taking the data of another value (with or without its
// hint and limits) and comparing two values.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_storage_internal.h>
#include <halvex/text/unicode_internal.h>

#include <cstdlib>
#include <cstring>

namespace ZYRK {

using namespace ValueStorage;

unsigned long CResourceValue::Set(const CResourceValue& other, bool withHintAndLimits)
{
    if (&other == this) {
        return ERR_OK;
    }
    unsigned long r;
    switch (other.m_type) {
    case VALUE_TYPE_BOOL:
        r = Set(other.m_data.b != 0);
        break;
    case VALUE_TYPE_INT32:
        r = Set(static_cast<int>(other.m_data.i));
        break;
    case VALUE_TYPE_DOUBLE:
        r = Set(other.m_data.d);
        break;
    case VALUE_TYPE_ASCII:
        r = other.m_data.a ? Set(static_cast<const char*>(other.m_data.a)) : ERR_BAD_DATA;
        break;
    case VALUE_TYPE_UNICODE:
        r = other.m_data.u ? SetUnits(other.m_data.u) : ERR_BAD_DATA;
        break;
    case VALUE_TYPE_TRANSPARENT: {
        if (m_type != VALUE_TYPE_TRANSPARENT) {
            r = ERR_BAD_DATA;
            break;
        }
        if (m_copyType == COPY_TYPE_REFERENCE) {
            // A referencing value references the other's bytes, however many
            // fragments hold them.
            r = ReferenceFragments(other);
            break;
        }
        // An owning value gets its own copy; copy type 3 copies the joined
        // bytes into the storage already present.
        char* data = nullptr;
        unsigned long size = 0, revision = 0;
        r = other.GetTransparent(&data, size, revision, COPY_TYPE_COPY);
        if (r != ERR_OK) {
            break;
        }
        if (m_copyType == COPY_TYPE_EXISTING) {
            r = Set(data, size, COPY_TYPE_EXISTING, revision);
            std::free(data);
        } else {
            r = Set(data, size, COPY_TYPE_TAKEOVER, revision);
            if (r != ERR_OK || size == 0) {
                std::free(data);
            }
        }
        break;
    }
    default:
        r = ERR_BAD_DATA;
        break;
    }
    if (r == ERR_OK && withHintAndLimits) {
        SetHint(other.m_hint);
        SetLimits(other);
    }
    return r;
}

unsigned long CResourceValue::Compare(const CResourceValue& other) const
{
    if (m_type != other.m_type) {
        return ERR_RES_WRONG_TYPE;
    }
    switch (m_type) {
    case VALUE_TYPE_BOOL:
        return m_data.b == other.m_data.b ? 0 : 1;
    case VALUE_TYPE_INT32:
        return m_data.i == other.m_data.i ? 0 : 1;
    case VALUE_TYPE_DOUBLE:
        return m_data.d == other.m_data.d ? 0 : 1;
    case VALUE_TYPE_ASCII: {
        if (!m_data.a || !other.m_data.a) {
            return ERR_BAD_DATA;
        }
        int c = std::strcmp(m_data.a, other.m_data.a);
        return c == 0 ? 0 : (c < 0 ? 0xFFFFFFFFUL : 1);
    }
    case VALUE_TYPE_UNICODE: {
        if (!m_data.u || !other.m_data.u) {
            return ERR_BAD_DATA;
        }
        int c = Unicode::Compare(m_data.u, other.m_data.u);
        return c == 0 ? 0 : (c < 0 ? 0xFFFFFFFFUL : 1);
    }
    case VALUE_TYPE_TRANSPARENT: {
        char *pa = nullptr, *pb = nullptr;
        unsigned long sa = 0, sb = 0, ra = 0, rb = 0;
        if (GetTransparent(&pa, sa, ra, COPY_TYPE_REFERENCE) || other.GetTransparent(&pb, sb, rb, COPY_TYPE_REFERENCE)) {
            return 1;
        }
        if (m_size != other.m_size || ra != rb) {
            return 1;
        }
        if (m_size == 0) {
            return 0;
        }
        if (!pa || !pb || sa != m_size || sb != other.m_size) {
            return 1;
        }
        int c = std::memcmp(pa, pb, sa);
        return c == 0 ? 0 : (c < 0 ? 0xFFFFFFFFUL : 1);
    }
    default:
        return 1;
    }
}

}  // namespace ZYRK
