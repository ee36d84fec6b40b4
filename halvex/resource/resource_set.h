// CResourceSet: an ordered collection of opened resources (each entry holds
// one open of its resource). CResourceValueSet: an ordered collection of
// owned values. Entry i of a value set belongs to entry i of a resource set.
// Both are doubly linked lists; neither is copied by value.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/resource/resource_types.h>

#include <cstdint>

namespace ZYRK {

class CResource;
class CResourceTree;
class CResourcePath;
class CResourceValue;
class CResourceValueSet;

class HALVEX_API CResourceSet {
public:
    CResourceSet();
    explicit CResourceSet(CResource* node);
    CResourceSet(CResourceTree* tree, char** paths);
    explicit CResourceSet(CResourceSet* other);
    CResourceSet(const CResourceSet&) = delete;
    CResourceSet& operator=(const CResourceSet&) = delete;
    virtual ~CResourceSet();

    unsigned long Add(CResource* resource);
    unsigned long AddSubtree(CResource* node);
    unsigned long Remove(CResource* resource);
    unsigned long RemoveAll();
    unsigned long GetNodeCount() const { return m_count; }
    unsigned long GetNodeByIndex(unsigned long index, CResource** out) const;
    unsigned long GetNodeByName(const CResourcePath& path, CResource** out, unsigned long& index) const;
    void SetIterationOrder(ITERATION_ORDER_T order) { m_order = order; }
    ITERATION_ORDER_T GetIterationOrder() const { return m_order; }
    void ResetIteration();
    unsigned long Iterate(CResource** out);
    unsigned long SetIterationPoint(CResource* resource);
    void SetUniqueCheck(bool on) { m_unique = on; }
    bool GetUniqueCheck() const { return m_unique; }
    unsigned long Get(CResourceValueSet** out) const;
    unsigned long Set(CResourceValueSet* values);

private:
    struct ENTRY_T {
        CResource* element;
        ENTRY_T* next;
        ENTRY_T* prev;
    };
    ENTRY_T* FindEntry(const CResource* resource) const;
    void RemoveEntry(ENTRY_T* entry);

    ENTRY_T* m_first;
    ENTRY_T* m_last;
    ENTRY_T* m_cursor;
    uint32_t m_count;
    ITERATION_ORDER_T m_order;
    bool m_unique;
};

class HALVEX_API CResourceValueSet {
public:
    CResourceValueSet();
    CResourceValueSet(const CResourceValueSet&) = delete;
    CResourceValueSet& operator=(const CResourceValueSet&) = delete;
    virtual ~CResourceValueSet();

    unsigned long AddVal(const CResourceValue& value);
    // The set owns the value from now on (null allowed).
    unsigned long AddPtr(const CResourceValue* value);
    unsigned long Add(const CResource* resource);
    unsigned long GetValueCount() const { return m_count; }
    unsigned long GetValueByIndex(unsigned long index, CResourceValue** out) const;
    unsigned long Set(const CResourceValue& value, unsigned long index);
    unsigned long MoveLast(CResource* resource);
    unsigned long RemoveAll();

    CResourceValueSet& operator<<(const CResourceValue& value);
    CResourceValueSet& operator<<(const CResource* resource);
    CResourceValueSet& operator>>(CResourceValue& target);
    CResourceValueSet& operator>>(CResource* resource);

private:
    struct ENTRY_T {
        CResourceValue* element;
        ENTRY_T* next;
        ENTRY_T* prev;
    };
    unsigned long Append(CResourceValue* value);
    void RemoveEntry(ENTRY_T* entry);

    ENTRY_T* m_first;
    ENTRY_T* m_last;
    ENTRY_T* m_cursor;
    uint32_t m_count;
};

}  // namespace ZYRK
