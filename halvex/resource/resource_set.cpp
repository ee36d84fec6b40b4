#include <halvex/resource/resource_set.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <new>

namespace ZYRK {

namespace {

// The doubly linked entries that both sets are made of.

template <class Entry>
void LinkLast(Entry*& first, Entry*& last, Entry* e)
{
    if (last) {
        last->next = e;
    } else {
        first = e;
    }
    last = e;
}

template <class Entry>
void Unlink(Entry*& first, Entry*& last, Entry* e)
{
    if (e->prev) {
        e->prev->next = e->next;
    } else {
        first = e->next;
    }
    if (e->next) {
        e->next->prev = e->prev;
    } else {
        last = e->prev;
    }
}

// Entry `index` counted from the first; null when the list is shorter.
template <class Entry>
Entry* EntryAt(Entry* first, unsigned long count, unsigned long index)
{
    if (index >= count) {
        return nullptr;
    }
    Entry* e = first;
    for (unsigned long i = 0; i < index; ++i) {
        e = e->next;
    }
    return e;
}

// The element of entry `index` (not opened again, not copied).
template <class Entry, class Element>
unsigned long ElementAt(Entry* first, unsigned long count, unsigned long index, Element** out)
{
    Entry* e = EntryAt(first, count, index);
    if (!e) {
        return ERR_SET_INDEX_OUT_OF_RANGE;
    }
    if (out) {
        *out = e->element;
    }
    return ERR_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// CResourceSet

CResourceSet::CResourceSet()
    : m_first(nullptr), m_last(nullptr), m_cursor(nullptr), m_count(0), m_order(ITERATION_FORWARD), m_unique(false)
{
}

CResourceSet::CResourceSet(CResource* node) : CResourceSet()
{
    AddSubtree(node);
}

CResourceSet::CResourceSet(CResourceTree* tree, char** paths) : CResourceSet()
{
    if (!tree || !paths) {
        return;
    }
    for (char** p = paths; *p; ++p) {
        CResource* r = nullptr;
        if (tree->OpenResource(CResourcePath(*p), &r, nullptr) == ERR_OK && r) {
            Add(r);
            r->Close();  // the set keeps its own open
        }
    }
}

CResourceSet::CResourceSet(CResourceSet* other) : CResourceSet()
{
    if (!other) {
        return;
    }
    other->ResetIteration();
    CResource* r = nullptr;
    while (other->Iterate(&r) == ERR_OK) {
        Add(r);
    }
}

CResourceSet::~CResourceSet()
{
    RemoveAll();
}

CResourceSet::ENTRY_T* CResourceSet::FindEntry(const CResource* resource) const
{
    for (ENTRY_T* e = m_first; e; e = e->next) {
        if (e->element == resource) {
            return e;
        }
    }
    return nullptr;
}

unsigned long CResourceSet::Add(CResource* resource)
{
    if (m_unique && FindEntry(resource)) {
        return ERR_SET_ALREADY_IN_SET;
    }
    ENTRY_T* e = new (std::nothrow) ENTRY_T{resource, nullptr, m_last};
    if (!e) {
        return ERR_NO_MEMORY;
    }
    if (resource) {
        resource->Open();
    }
    LinkLast(m_first, m_last, e);
    if (m_count == 0) {
        m_cursor = e;
    }
    ++m_count;
    return ERR_OK;
}

unsigned long CResourceSet::AddSubtree(CResource* node)
{
    if (!node) {
        return ERR_BAD_DATA;
    }
    CResource* child = nullptr;
    if (node->OpenChild(CHILD_INDEX_FIRST, &child, nullptr) != ERR_OK) {
        return ERR_OK;  // no children
    }
    unsigned long result = ERR_OK;
    while (child) {
        unsigned long r = Add(child);
        if (r != ERR_OK && result == ERR_OK) {
            result = r;
        }
        RES_TYPE_T kind = child->Type();
        if (kind == RES_TYPE_STRUCT || kind == RES_TYPE_STRUCT2) {
            AddSubtree(child);
        }
        CResource* next = nullptr;
        unsigned long it = child->Iterate(&next, nullptr);
        child->Close();
        child = it == ERR_OK ? next : nullptr;
    }
    return result;
}

void CResourceSet::RemoveEntry(ENTRY_T* e)
{
    if (m_cursor == e) {
        // Against the iteration order when possible, else along it, so the
        // cursor never refers to the removed entry.
        ENTRY_T* against = m_order == ITERATION_FORWARD ? e->prev : e->next;
        ENTRY_T* along = m_order == ITERATION_FORWARD ? e->next : e->prev;
        m_cursor = against ? against : along;
    }
    Unlink(m_first, m_last, e);
    if (e->element) {
        e->element->Close();
    }
    delete e;
    --m_count;
}

unsigned long CResourceSet::Remove(CResource* resource)
{
    ENTRY_T* e = FindEntry(resource);
    if (!e) {
        return ERR_SET_NOT_IN_SET;
    }
    RemoveEntry(e);
    return ERR_OK;
}

unsigned long CResourceSet::RemoveAll()
{
    while (m_first) {
        RemoveEntry(m_first);
    }
    m_cursor = nullptr;
    return ERR_OK;
}

unsigned long CResourceSet::GetNodeByIndex(unsigned long index, CResource** out) const
{
    return ElementAt(m_first, m_count, index, out);
}

unsigned long CResourceSet::GetNodeByName(const CResourcePath& path, CResource** out, unsigned long& index) const
{
    unsigned long i = 0;
    for (ENTRY_T* e = m_first; e; e = e->next, ++i) {
        CResourceTree* tree = e->element ? e->element->GetTree() : nullptr;
        if (!tree) {
            continue;
        }
        CResourcePath p;
        if (tree->GetAbsolutePath(e->element, p, nullptr) == ERR_OK && p.Compare(path) == 0) {
            if (out) {
                *out = e->element;
            }
            index = i;
            return ERR_OK;
        }
    }
    return ERR_SET_NOT_IN_SET;
}

void CResourceSet::ResetIteration()
{
    m_cursor = m_order == ITERATION_FORWARD ? m_first : m_last;
}

unsigned long CResourceSet::Iterate(CResource** out)
{
    if (!m_cursor) {
        return ERR_SET_ITERATION_END;
    }
    if (out) {
        *out = m_cursor->element;
    }
    m_cursor = m_order == ITERATION_FORWARD ? m_cursor->next : m_cursor->prev;
    return ERR_OK;
}

unsigned long CResourceSet::SetIterationPoint(CResource* resource)
{
    ENTRY_T* e = FindEntry(resource);
    if (!e) {
        return ERR_BAD_DATA;
    }
    m_cursor = m_order == ITERATION_FORWARD ? e->next : e->prev;
    return ERR_OK;
}

unsigned long CResourceSet::Get(CResourceValueSet** out) const
{
    if (!out) {
        return ERR_BAD_DATA;
    }
    CResourceValueSet* values = new (std::nothrow) CResourceValueSet();
    if (!values) {
        return ERR_NO_MEMORY;
    }
    for (ENTRY_T* e = m_first; e; e = e->next) {
        values->Add(e->element);
    }
    *out = values;
    return ERR_OK;
}

unsigned long CResourceSet::Set(CResourceValueSet* values)
{
    if (!values) {
        return ERR_BAD_DATA;
    }
    for (ENTRY_T* e = m_last; e && values->GetValueCount() > 0; e = e->prev) {
        unsigned long r = values->MoveLast(e->element);
        if (r != ERR_OK) {
            return r;
        }
    }
    return ERR_OK;
}

// ---------------------------------------------------------------------------
// CResourceValueSet

CResourceValueSet::CResourceValueSet() : m_first(nullptr), m_last(nullptr), m_cursor(nullptr), m_count(0) {}

CResourceValueSet::~CResourceValueSet()
{
    RemoveAll();
}

unsigned long CResourceValueSet::Append(CResourceValue* value)
{
    ENTRY_T* e = new (std::nothrow) ENTRY_T{value, nullptr, m_last};
    if (!e) {
        return ERR_NO_MEMORY;
    }
    if (!m_first) {
        m_cursor = e;
    }
    LinkLast(m_first, m_last, e);
    ++m_count;
    return ERR_OK;
}

void CResourceValueSet::RemoveEntry(ENTRY_T* e)
{
    if (m_cursor == e) {
        m_cursor = e->prev ? e->prev : e->next;
    }
    Unlink(m_first, m_last, e);
    delete e->element;
    delete e;
    --m_count;
}

unsigned long CResourceValueSet::AddVal(const CResourceValue& value)
{
    CResourceValue* copy = new (std::nothrow) CResourceValue(value);
    if (!copy) {
        return ERR_BAD_DATA;
    }
    if (Append(copy) != ERR_OK) {
        delete copy;
        return ERR_BAD_DATA;
    }
    return ERR_OK;
}

unsigned long CResourceValueSet::AddPtr(const CResourceValue* value)
{
    CResourceValue* owned = const_cast<CResourceValue*>(value);
    unsigned long r = Append(owned);
    if (r != ERR_OK) {
        delete owned;  // the set was handed the value: it is not leaked
    }
    return r;
}

unsigned long CResourceValueSet::Add(const CResource* resource)
{
    CResourceValue value;
    if (!resource || resource->Get(value, nullptr) != ERR_OK) {
        value = CResourceValue();
    }
    AddVal(value);
    return ERR_OK;
}

unsigned long CResourceValueSet::GetValueByIndex(unsigned long index, CResourceValue** out) const
{
    return ElementAt(m_first, m_count, index, out);
}

unsigned long CResourceValueSet::Set(const CResourceValue& value, unsigned long index)
{
    ENTRY_T* e = EntryAt(m_first, m_count, index);
    if (!e) {
        return ERR_VALSET_INDEX_OUT_OF_RANGE;
    }
    if (e->element) {
        e->element->Set(value, true);
    } else {
        e->element = new (std::nothrow) CResourceValue(value);
    }
    return ERR_OK;
}

unsigned long CResourceValueSet::MoveLast(CResource* resource)
{
    if (!m_last) {
        return ERR_VALSET_EMPTY;
    }
    if (!resource) {
        return ERR_BAD_DATA;
    }
    CResourceValue* value = m_last->element;
    if (!value || value->Type() != resource->ValueType()) {
        return ERR_VALSET_TYPE_MISMATCH;
    }
    resource->Set(*value, RES_NOWAIT, 0, nullptr);
    RemoveEntry(m_last);
    return ERR_OK;
}

unsigned long CResourceValueSet::RemoveAll()
{
    while (m_first) {
        RemoveEntry(m_first);
    }
    m_cursor = nullptr;
    return ERR_OK;
}

CResourceValueSet& CResourceValueSet::operator<<(const CResourceValue& value)
{
    AddVal(value);
    return *this;
}

CResourceValueSet& CResourceValueSet::operator<<(const CResource* resource)
{
    Add(resource);
    return *this;
}

CResourceValueSet& CResourceValueSet::operator>>(CResourceValue& target)
{
    if (m_last) {
        if (m_last->element) {
            target.Set(*m_last->element, true);
        }
        RemoveEntry(m_last);
    }
    return *this;
}

CResourceValueSet& CResourceValueSet::operator>>(CResource* resource)
{
    MoveLast(resource);
    return *this;
}

}  // namespace ZYRK
