// CResourceValue's public calls in random order on a few values, with
// caller buffers of every kind: static ones a value may reference, heap ones
// it may take over, and its own bytes handed back to it. Address sanitizer
// and leak detection watch that every byte is freed once, by its owner.
#include "fuzz/fuzz_input.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_value.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

constexpr size_t kStaticSize = 64;
char g_static[4][kStaticSize];  // caller storage that outlives every value

const VALUE_TYPE_T kTypes[] = {VALUE_TYPE_BOOL,  VALUE_TYPE_INT32,   VALUE_TYPE_DOUBLE,
                               VALUE_TYPE_ASCII, VALUE_TYPE_UNICODE, VALUE_TYPE_TRANSPARENT,
                               static_cast<VALUE_TYPE_T>(5)};

bool InStatic(const char* p)
{
    return p >= &g_static[0][0] && p < &g_static[0][0] + sizeof g_static;
}

// What every sequence of calls must leave true.
void CheckValue(const CResourceValue& v)
{
    FUZZ_CHECK(v.GetAscii() != nullptr && v.GetUnicode() != nullptr);
    FUZZ_CHECK(v.CopyType() <= COPY_TYPE_EXISTING && v.CopyType() != COPY_TYPE_TAKEOVER);
    switch (v.Type()) {
    case VALUE_TYPE_ASCII:
        FUZZ_CHECK(v.GetSize() == 0 || v.GetSize() == std::strlen(v.GetAscii()) + 1);
        break;
    case VALUE_TYPE_UNICODE:
        FUZZ_CHECK(v.GetSize() == 0 || v.GetSize() == (v.GetLength() + 1) * 2);
        break;
    case VALUE_TYPE_TRANSPARENT: {
        TRANSPARENT_FRAGMENT_T* first = nullptr;
        unsigned long size = 0, rev = 0;
        FUZZ_CHECK(v.GetTransparent(&first, size, rev) == 0);
        unsigned long sum = 0;
        for (TRANSPARENT_FRAGMENT_T* f = first; f; f = f->next) {
            sum += f->length;
            if (f->length) {
                // Touch the first and last byte: both must be alive.
                volatile char a = f->data[0], b = f->data[f->length - 1];
                (void)a;
                (void)b;
            }
        }
        FUZZ_CHECK(sum == size && size == v.GetSize());
        break;
    }
    default:
        break;
    }
}

void Exercise(const CResourceValue& v)
{
    CheckValue(v);
    char* text = nullptr;
    if (v.GetAsAscii(&text, true) == 0) {
        std::free(text);
    }
    if (v.GetLimitsAsAscii(&text, true) == 0) {
        std::free(text);
    }
    if (v.TypeAsAscii(TYPE_CONVERSION_LONG, &text) == 0) {
        std::free(text);
    }
    char* copy = nullptr;
    unsigned long size = 0;
    if (v.GetAsTransparent(&copy, size, COPY_TYPE_COPY) == 0) {
        std::free(copy);
    }
}

// A source of transparent bytes and whether the value may take it over.
struct Source {
    const char* data = nullptr;
    unsigned long length = 0;
    char* heap = nullptr;    // a fresh malloc'd buffer: the caller's until taken over
    bool ownHeap = false;    // bytes the value itself owns
};

Source PickSource(FuzzInput& in, const CResourceValue& v)
{
    Source s;
    switch (in.Byte() % 4) {
    case 0: {
        size_t buf = in.Byte() % 4, off = in.Byte() % kStaticSize;
        s.data = g_static[buf] + off;
        s.length = in.Byte() % (kStaticSize - off + 1);
        break;
    }
    case 1: {
        std::string bytes = in.Bytes(40);
        s.heap = static_cast<char*>(std::malloc(bytes.size() ? bytes.size() : 1));
        std::memcpy(s.heap, bytes.data(), bytes.size());
        s.data = s.heap;
        s.length = bytes.size();
        break;
    }
    case 2: {
        // The value's own bytes: somewhere inside one of its fragments.
        TRANSPARENT_FRAGMENT_T* f = nullptr;
        unsigned long size = 0, rev = 0;
        if (v.Type() == VALUE_TYPE_TRANSPARENT && v.GetTransparent(&f, size, rev) == 0) {
            for (int skip = in.Byte() % 4; f && f->next && skip > 0; --skip) {
                f = f->next;
            }
            if (f && f->length) {
                unsigned long off = in.Byte() % f->length;
                s.data = f->data + off;
                s.length = in.Byte() % (f->length - off + 1);
                s.ownHeap = !InStatic(s.data);
            }
        }
        break;
    }
    default:
        break;  // null, length 0
    }
    return s;
}

COPY_TYPE_T PickCopyType(FuzzInput& in)
{
    return static_cast<COPY_TYPE_T>(in.Byte() % 5);  // 4 is no copy type at all
}

// Transparent Set or AddFragment with a source the caller may legally pass.
void SetBytes(FuzzInput& in, CResourceValue& v, bool add)
{
    Source s = PickSource(in, v);
    COPY_TYPE_T ct = PickCopyType(in);
    // Handing over a pointer that is not a heap block of its own, or
    // referencing a heap block that the caller frees, is the caller's fault.
    bool legal = ct != COPY_TYPE_TAKEOVER || s.heap || s.ownHeap || !s.data;
    if (ct == COPY_TYPE_REFERENCE && s.heap) {
        legal = false;
    }
    unsigned long r = ERR_BAD_DATA;
    if (legal) {
        r = add ? v.AddFragment(s.data, s.length, ct) : v.Set(s.data, s.length, ct, in.U32());
    }
    if (s.ownHeap && s.length && (ct == COPY_TYPE_TAKEOVER || ct == COPY_TYPE_REFERENCE)) {
        // A value never takes over or references the bytes it owns.
        FUZZ_CHECK(r != 0);
    }
    bool taken = r == 0 && ct == COPY_TYPE_TAKEOVER && s.length > 0 && s.heap;
    if (s.heap && !taken) {
        std::free(s.heap);
    }
}

void SetScalar(FuzzInput& in, CResourceValue& v)
{
    switch (in.Byte() % 12) {
    case 0: v.Set(static_cast<bool>(in.Byte() & 1)); break;
    case 1: v.Set(static_cast<int>(in.U32())); break;
    case 2: v.Set(static_cast<long>(static_cast<int64_t>(in.U32()) << (in.Byte() % 40))); break;
    case 3: v.Set(static_cast<unsigned long>(in.U32()) << (in.Byte() % 40)); break;
    case 4: v.Set(in.Byte() & 1 ? std::numeric_limits<double>::quiet_NaN() : in.Double()); break;
    case 5: v.Set(in.Bytes(80).c_str()); break;
    case 6: {
        std::string b = in.Bytes(80);
        std::u16string u;
        for (size_t i = 0; i + 1 < b.size(); i += 2) {
            u += static_cast<char16_t>(static_cast<uint8_t>(b[i]) | static_cast<uint8_t>(b[i + 1]) << 8);
        }
        v.Set(u.c_str());
        break;
    }
    case 7: {
        std::wstring w;
        for (int n = in.Byte() % 20; n > 0; --n) {
            w += static_cast<wchar_t>(in.U32() % 0x120000);
        }
        v.Set(w.c_str());
        break;
    }
    case 8: {
        // Its own text handed back, from some position on.
        std::string own = v.GetAscii();
        v.Set(v.GetAscii() + (own.empty() ? 0 : in.Byte() % (own.size() + 1)));
        v.Set(v.GetUnicode());
        const char16_t* u = v.GetUTF16Ptr();
        if (u) {
            v.Set(u + in.Byte() % (v.GetLength() + 1));
        }
        break;
    }
    case 9: v = v.GetAscii(); break;
    case 10: v = v.GetUnicode(); break;
    default: {
        unsigned short units[] = {'a', 0xD800, static_cast<unsigned short>(in.U32()), 0};
        v.Set(units);
        break;
    }
    }
}

void SetLimits(FuzzInput& in, CResourceValue& v, const CResourceValue& other)
{
    const char* alist[] = {"manual", "dhcp", "", nullptr};
    const wchar_t* wlist[] = {L"on", L"\U0001F600", L"OFF", nullptr};
    const char16_t* ulist[] = {u"on", u"\xD800", u"\U0001F600", nullptr};
    switch (in.Byte() % 8) {
    case 0: v.SetLimits(static_cast<int>(in.U32()), static_cast<int>(in.U32())); break;
    case 1: {
        double nan = std::numeric_limits<double>::quiet_NaN();
        v.SetLimits(in.Byte() & 1 ? nan : in.Double(), in.Byte() & 1 ? nan : in.Double());
        break;
    }
    case 2: v.SetLimits(alist, in.Byte() & 1); break;
    case 3: v.SetLimits(wlist, in.Byte() & 1); break;
    case 4: v.SetLimits(ulist, in.Byte() & 1); break;
    case 5: v.SetLimits(static_cast<unsigned long>(in.Byte() % 8)); break;
    case 6: v.SetLimits(other); break;
    default: v.RemoveLimits(); break;
    }
}

void Read(FuzzInput& in, const CResourceValue& v)
{
    char* data = nullptr;
    unsigned long size = 0, rev = 0;
    COPY_TYPE_T ct = PickCopyType(in);
    std::vector<char> buf(in.Byte());
    if (ct == COPY_TYPE_EXISTING) {
        data = buf.data();
        size = buf.size();
    }
    bool asTransparent = in.Byte() & 1;
    unsigned long r = asTransparent ? v.GetAsTransparent(&data, size, ct) : v.GetTransparent(&data, size, rev, ct);
    if (r == 0 && ct == COPY_TYPE_COPY) {
        std::free(data);
    } else if (r == 0 && data && size) {
        volatile char last = data[size - 1];  // what is handed out is readable
        (void)last;
    }
    int mn = 0, mx = 0;
    double dmn = 0, dmx = 0;
    char** alist = nullptr;
    wchar_t** wlist = nullptr;
    char16_t** ulist = nullptr;
    bool cs = false;
    unsigned long maxLength = 0, index = 0;
    v.GetLimits(mn, mx);
    if (v.GetLimits(dmn, dmx) == 0) {
        FUZZ_CHECK(!std::isnan(dmn) && !std::isnan(dmx));
    }
    v.GetLimits(&alist, cs);
    v.GetLimits(&wlist, cs);
    v.GetLimits(&ulist, cs);
    v.GetLimits(maxLength);
    v.GetAllowedIndex(index);
    v.LimitType();
    std::vector<unsigned short> units(in.Byte() + 1);
    v.GetUTF16(units.data(), units.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384) {
        return 0;
    }
    FuzzInput in(data, size);
    std::unique_ptr<CResourceValue> pool[3];
    for (auto& v : pool) {
        v = std::make_unique<CResourceValue>(VALUE_TYPE_TRANSPARENT);
    }
    for (int step = 0; step < 200 && in.More(); ++step) {
        uint8_t op = in.Byte();
        CResourceValue& v = *pool[op % 3];
        const CResourceValue& other = *pool[(op / 3) % 3];
        switch ((op / 9) % 16) {
        case 0: v.SetType(kTypes[in.Byte() % 7]); break;
        case 1: v.SetCopyType(PickCopyType(in)); break;
        case 2: v.ReinterpretCopyType(PickCopyType(in)); break;
        case 3: SetBytes(in, v, false); break;
        case 4: SetBytes(in, v, true); break;
        case 5: SetScalar(in, v); break;
        case 6: SetLimits(in, v, other); break;
        case 7:
        case 8: {
            // A referencing value takes the other's bytes by reference: that
            // is kept to a copy that does not outlive them.
            bool hazard = v.CopyType() == COPY_TYPE_REFERENCE && other.Type() == VALUE_TYPE_TRANSPARENT;
            CResourceValue local(v);
            CResourceValue& target = hazard ? local : v;
            if ((op / 9) % 16 == 7) {
                target.Set(other, in.Byte() & 1);
            } else {
                target = other;
            }
            Exercise(target);
            break;
        }
        case 9: {
            CResourceValue copy(other);
            Exercise(copy);
            FUZZ_CHECK(copy.Type() == other.Type());
            break;
        }
        case 10: {
            // A new value from one of the constructors.
            std::string bytes = in.Bytes(30);
            switch (in.Byte() % 6) {
            case 0: pool[op % 3] = std::make_unique<CResourceValue>(static_cast<long>(in.U32()) << 20); break;
            case 1: pool[op % 3] = std::make_unique<CResourceValue>(in.Double(), in.Double(), in.Double()); break;
            case 2: pool[op % 3] = std::make_unique<CResourceValue>(bytes.c_str(), 3UL); break;
            case 3: {
                char* heap = static_cast<char*>(std::malloc(bytes.size() + 1));
                std::memcpy(heap, bytes.data(), bytes.size());
                pool[op % 3] = std::make_unique<CResourceValue>(heap, bytes.size(), COPY_TYPE_TAKEOVER);
                break;
            }
            case 4: {
                size_t off = in.Byte() % kStaticSize;
                pool[op % 3] = std::make_unique<CResourceValue>(g_static[0] + off, kStaticSize - off,
                                                                COPY_TYPE_REFERENCE);
                break;
            }
            default:
                pool[op % 3] = std::make_unique<CResourceValue>(bytes.data(), bytes.size(), COPY_TYPE_COPY);
                break;
            }
            break;
        }
        case 11: Read(in, v); break;
        case 12: v.Compare(other); break;
        case 13: Exercise(v); break;
        case 14: v.SetHint(static_cast<VALUE_HINT_T>(in.Byte() % 7)); break;
        default: {
            ORIGINATOR_T o{in.U32(), static_cast<uint16_t>(in.U32()), in.U32()};
            v.SetOriginator(o);
            v.GetOriginator(o);
            break;
        }
        }
        CheckValue(*pool[op % 3]);
    }
    return 0;
}
