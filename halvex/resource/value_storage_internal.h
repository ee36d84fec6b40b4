// How CResourceValue holds its data, shared by the files that make up the
// class (construction, typed access, transparent fragments, limits) and by
// the value codec: fragments with the room of their storage, copy types,
// malloc'd UTF-16 texts and null-terminated lists.
#pragma once

#include <halvex/resource/resource_value.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace ZYRK::ValueStorage {

// A fragment as a value allocates it: the exported record followed by the
// room of its storage, so that copying into the storage already present
// never shrinks it for good.
struct Fragment : TRANSPARENT_FRAGMENT_T {
    uint32_t capacity;
};

// A fragment of length bytes: a new copy of data when copy is set, else data
// itself. Null when memory runs out.
Fragment* NewFragment(const char* data, uint32_t length, bool copy);

inline Fragment* AsFragment(TRANSPARENT_FRAGMENT_T* f)
{
    return static_cast<Fragment*>(f);
}

// The fragment whose storage holds p, or null.
const Fragment* FragmentHolding(const TRANSPARENT_FRAGMENT_T* first, const char* p);

inline bool ValidCopyType(COPY_TYPE_T ct)
{
    return ct <= COPY_TYPE_EXISTING;
}

// The copy type a value records after taking data: a take-over leaves bytes
// the value owns, as a copy does.
inline COPY_TYPE_T Stored(COPY_TYPE_T ct)
{
    return ct == COPY_TYPE_TAKEOVER ? COPY_TYPE_COPY : ct;
}

// Size of the types of fixed size (bool, int32, double); 0 for the others.
inline uint32_t FixedSize(VALUE_TYPE_T type)
{
    switch (type) {
    case VALUE_TYPE_BOOL:
        return 1;
    case VALUE_TYPE_INT32:
        return 4;
    case VALUE_TYPE_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

// The id of the calling thread, as an originator records it.
inline uint32_t CallingThreadId()
{
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

// A malloc'd copy of count UTF-16 units with a terminating unit.
char16_t* DupUnits(const char16_t* units, size_t count);

// A malloc'd wchar_t form of count UTF-16 units.
wchar_t* WideOf(const char16_t* units, size_t count);

// Position of the first (with last: the last) entry of a null-terminated
// list that matches, or -1.
template <class T, class Match>
int32_t IndexOf(T* const* list, Match matches, bool last = false)
{
    int32_t found = -1;
    for (int32_t k = 0; list[k]; ++k) {
        if (matches(list[k])) {
            found = k;
            if (!last) {
                break;
            }
        }
    }
    return found;
}

// Pointers to the entries' texts followed by a null pointer: the form of an
// allowed list that SetLimits takes. Valid while the entries are.
template <class Char>
std::vector<const Char*> NullTerminated(const std::vector<std::basic_string<Char>>& entries)
{
    std::vector<const Char*> list;
    list.reserve(entries.size() + 1);
    for (const std::basic_string<Char>& e : entries) {
        list.push_back(e.c_str());
    }
    list.push_back(nullptr);
    return list;
}

// Frees a malloc'd null-terminated list and its entries.
template <class T>
void FreeList(T** list)
{
    if (list) {
        for (T** p = list; *p; ++p) {
            std::free(*p);
        }
        std::free(list);
    }
}

}  // namespace ZYRK::ValueStorage
