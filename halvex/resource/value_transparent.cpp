// CResourceValue: transparent data held in fragments, and the one record of
// whether the value owns their bytes. That record alone decides what is
// freed; a pointer into the value's own storage is refused wherever taking
// it would make the value free or lose bytes it still holds.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/value_storage_internal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace ZYRK {

using namespace ValueStorage;

Fragment* ValueStorage::NewFragment(const char* data, uint32_t length, bool copy)
{
    Fragment* f = new (std::nothrow) Fragment;
    if (!f) {
        return nullptr;
    }
    f->data = const_cast<char*>(data);
    f->length = length;
    f->next = nullptr;
    f->capacity = length;
    if (copy) {
        f->data = static_cast<char*>(std::malloc(length));
        if (!f->data) {
            delete f;
            return nullptr;
        }
        std::memcpy(f->data, data, length);
    }
    return f;
}

const Fragment* ValueStorage::FragmentHolding(const TRANSPARENT_FRAGMENT_T* first, const char* p)
{
    for (const TRANSPARENT_FRAGMENT_T* f = first; f && p; f = f->next) {
        const Fragment* frag = static_cast<const Fragment*>(f);
        if (frag->capacity && p >= frag->data && p < frag->data + frag->capacity) {
            return frag;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Fragments and the ownership of their bytes

void CResourceValue::FreeFragments(TRANSPARENT_FRAGMENT_T* first, bool ownsBytes)
{
    while (first) {
        TRANSPARENT_FRAGMENT_T* next = first->next;
        if (ownsBytes) {
            std::free(first->data);
        }
        delete AsFragment(first);
        first = next;
    }
}

// ---------------------------------------------------------------------------
// Reading

unsigned long CResourceValue::GetTransparent(char** data, unsigned long& size, unsigned long& revision,
                                             COPY_TYPE_T copyType) const
{
    if (m_type != VALUE_TYPE_TRANSPARENT) {
        return ERR_ILLEGAL_MODE;
    }
    revision = m_revision;
    if (!data) {
        return ERR_BAD_DATA;
    }
    auto gather = [this](char* out) {
        size_t off = 0;
        for (const TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
            std::memcpy(out + off, f->data, f->length);
            off += f->length;
        }
    };
    bool hasData = m_data.frag && m_size;
    if (copyType == COPY_TYPE_COPY) {
        // The caller frees what it gets: never one of this value's pointers.
        if (!hasData) {
            *data = nullptr;
            size = 0;
            return ERR_OK;
        }
        size_t alloc = (static_cast<size_t>(m_size) + 3) & ~static_cast<size_t>(3);
        char* buf = static_cast<char*>(std::malloc(alloc));
        if (!buf) {
            return ERR_NO_MEMORY;
        }
        gather(buf);
        *data = buf;
        size = m_size;
        return ERR_OK;
    }
    if (copyType == COPY_TYPE_EXISTING) {
        // The caller's buffer stays the caller's.
        if (!hasData) {
            size = 0;
            return ERR_OK;
        }
        if (!*data || size < m_size) {
            return ERR_BAD_DATA;
        }
        gather(*data);
        size = m_size;
        return ERR_OK;
    }
    if (m_data.frag && !m_data.frag->next) {
        *data = m_data.frag->data;
        size = m_data.frag->length;
    } else {
        *data = nullptr;
        size = 0;
    }
    return ERR_OK;
}

unsigned long CResourceValue::GetTransparent(TRANSPARENT_FRAGMENT_T** first, unsigned long& size,
                                             unsigned long& revision) const
{
    if (m_type != VALUE_TYPE_TRANSPARENT) {
        return ERR_ILLEGAL_MODE;
    }
    if (first) {
        *first = m_data.frag;
    }
    size = m_size;
    revision = m_revision;
    return ERR_OK;
}

unsigned long CResourceValue::GetAsTransparent(char** data, unsigned long& size, COPY_TYPE_T copyType) const
{
    if (m_type == VALUE_TYPE_TRANSPARENT) {
        unsigned long revision = 0;
        return GetTransparent(data, size, revision, copyType);
    }
    if (!data) {
        return ERR_BAD_DATA;
    }
    const char* src = nullptr;
    switch (m_type) {
    case VALUE_TYPE_BOOL:
        src = reinterpret_cast<const char*>(&m_data.b);
        break;
    case VALUE_TYPE_INT32:
        src = reinterpret_cast<const char*>(&m_data.i);
        break;
    case VALUE_TYPE_DOUBLE:
        src = reinterpret_cast<const char*>(&m_data.d);
        break;
    case VALUE_TYPE_ASCII:
        src = m_data.a;
        break;
    case VALUE_TYPE_UNICODE:
        src = reinterpret_cast<const char*>(m_data.u);
        break;
    default:
        break;
    }
    switch (copyType) {
    case COPY_TYPE_REFERENCE:
        *data = const_cast<char*>(src);
        size = src ? m_size : 0;
        return ERR_OK;
    case COPY_TYPE_COPY: {
        if (!src || m_size == 0) {
            *data = nullptr;
            size = 0;
            return ERR_OK;
        }
        char* buf = static_cast<char*>(std::malloc(m_size));
        if (!buf) {
            return ERR_NO_MEMORY;
        }
        std::memcpy(buf, src, m_size);
        *data = buf;
        size = m_size;
        return ERR_OK;
    }
    case COPY_TYPE_EXISTING:
        if (!*data || size < m_size) {
            return ERR_BAD_DATA;
        }
        if (src) {
            std::memcpy(*data, src, m_size);
        }
        size = src ? m_size : 0;
        return ERR_OK;
    default:
        return ERR_OK;
    }
}

// ---------------------------------------------------------------------------
// Writing

// Refuses a pointer into this value's own storage where taking it would
// make the value free or lose bytes it still holds, and a range that runs
// beyond the fragment it starts in.
unsigned long CResourceValue::CheckOwnPointer(const char* data, unsigned long length, COPY_TYPE_T copyType) const
{
    const Fragment* own = FragmentHolding(m_data.frag, data);
    if (!own) {
        return ERR_OK;
    }
    if (length > static_cast<unsigned long>(own->data + own->capacity - data)) {
        return ERR_BAD_POINTER;
    }
    if (m_ownsBytes && (copyType == COPY_TYPE_REFERENCE || copyType == COPY_TYPE_TAKEOVER)) {
        return ERR_BAD_POINTER;
    }
    return ERR_OK;
}

// Copies length bytes into the fragments present, in order, each up to the
// room of its storage.
unsigned long CResourceValue::CopyIntoStorage(const char* data, unsigned long length)
{
    unsigned long room = 0;
    for (TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
        room += AsFragment(f)->capacity;
    }
    if (room < length) {
        return ERR_BAD_DATA;
    }
    // The source may be these very fragments: copy it aside first.
    std::vector<char> aside;
    if (FragmentHolding(m_data.frag, data)) {
        try {
            aside.assign(data, data + length);
        } catch (const std::bad_alloc&) {
            return ERR_NO_MEMORY;
        }
        data = aside.data();
    }
    unsigned long off = 0;
    for (TRANSPARENT_FRAGMENT_T* f = m_data.frag; f; f = f->next) {
        unsigned long n = std::min<unsigned long>(AsFragment(f)->capacity, length - off);
        std::memmove(f->data, data + off, n);
        f->length = static_cast<uint32_t>(n);
        off += n;
    }
    m_size = static_cast<uint32_t>(length);
    return ERR_OK;
}

unsigned long CResourceValue::Set(const char* data, unsigned long length, COPY_TYPE_T copyType,
                                  unsigned long revision)
{
    if (m_type != VALUE_TYPE_TRANSPARENT || !ValidCopyType(copyType) || length > UINT32_MAX || (length && !data)) {
        return ERR_BAD_DATA;
    }
    unsigned long r = length ? CheckOwnPointer(data, length, copyType) : ERR_OK;
    if (r != ERR_OK) {
        return r;
    }
    if (length == 0) {
        FreeFragments(m_data.frag, m_ownsBytes);
        m_data.frag = nullptr;
        m_size = 0;
        m_ownsBytes = false;
    } else if (copyType == COPY_TYPE_EXISTING) {
        // The storage and its ownership stay as they are.
        r = CopyIntoStorage(data, length);
        if (r != ERR_OK) {
            return r;
        }
    } else {
        Fragment* f = NewFragment(data, static_cast<uint32_t>(length), copyType == COPY_TYPE_COPY);
        if (!f) {
            return ERR_NO_MEMORY;
        }
        FreeFragments(m_data.frag, m_ownsBytes);
        m_data.frag = f;
        m_size = static_cast<uint32_t>(length);
        m_ownsBytes = copyType == COPY_TYPE_COPY || copyType == COPY_TYPE_TAKEOVER;
    }
    m_copyType = Stored(copyType);
    m_revision = static_cast<uint32_t>(revision);
    return ERR_OK;
}

unsigned long CResourceValue::AddFragment(const char* data, unsigned long length, COPY_TYPE_T copyType)
{
    if (m_type != VALUE_TYPE_TRANSPARENT) {
        return ERR_BAD_DATA;
    }
    if (!m_data.frag) {
        return Set(data, length, copyType, 0);
    }
    if (length == 0) {
        return ERR_OK;
    }
    if (!data || static_cast<uint64_t>(m_size) + length > UINT32_MAX) {
        return ERR_BAD_DATA;
    }
    // Owned fragments join owned bytes, referenced ones referenced bytes.
    bool owning = (copyType == COPY_TYPE_COPY || copyType == COPY_TYPE_TAKEOVER) && m_ownsBytes;
    bool referencing = copyType == COPY_TYPE_REFERENCE && !m_ownsBytes;
    if (!owning && !referencing) {
        return ERR_UNSUPPORTED;
    }
    unsigned long r = CheckOwnPointer(data, length, copyType);
    if (r != ERR_OK) {
        return r;
    }
    Fragment* f = NewFragment(data, static_cast<uint32_t>(length), copyType == COPY_TYPE_COPY);
    if (!f) {
        return ERR_NO_MEMORY;
    }
    TRANSPARENT_FRAGMENT_T* last = m_data.frag;
    while (last->next) {
        last = last->next;
    }
    last->next = f;
    m_size += static_cast<uint32_t>(length);
    return ERR_OK;
}

// Makes this value reference every fragment of the other one.
unsigned long CResourceValue::ReferenceFragments(const CResourceValue& other)
{
    if (!other.m_data.frag || other.m_size == 0) {
        return Set(nullptr, 0, COPY_TYPE_REFERENCE, other.m_revision);
    }
    Fragment* first = nullptr;
    Fragment** tail = &first;
    for (const TRANSPARENT_FRAGMENT_T* f = other.m_data.frag; f; f = f->next) {
        unsigned long r = CheckOwnPointer(f->data, f->length, COPY_TYPE_REFERENCE);
        Fragment* copy = r == ERR_OK ? NewFragment(f->data, f->length, false) : nullptr;
        if (!copy) {
            FreeFragments(first, false);
            return r != ERR_OK ? r : ERR_NO_MEMORY;
        }
        *tail = copy;
        tail = reinterpret_cast<Fragment**>(&copy->next);
    }
    FreeFragments(m_data.frag, m_ownsBytes);
    m_data.frag = first;
    m_size = other.m_size;
    m_ownsBytes = false;
    m_copyType = COPY_TYPE_REFERENCE;
    m_revision = other.m_revision;
    return ERR_OK;
}

}  // namespace ZYRK
